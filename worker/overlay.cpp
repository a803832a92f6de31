#include "worker/overlay.h"

#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tw {

namespace {

struct Page {
    uint64_t number;
    Page *next;
    uint8_t bytes[kOverlayPageSize];
};

} // namespace

struct Overlay {
    uint64_t disk_size;
    OverlayFillFn fill;
    void *fill_context;
    uint64_t limit;
    uint64_t pages;
    Page *buckets[kOverlayBuckets];
};

namespace {

Page *find(const Overlay *o, uint64_t number) {
    for (Page *p = o->buckets[number % kOverlayBuckets]; p; p = p->next)
        if (p->number == number)
            return p;
    return nullptr;
}

// The bytes of page `number` that lie inside the disk.
size_t page_length(const Overlay *o, uint64_t number) {
    const uint64_t start = number * kOverlayPageSize;
    return size_t(std::min<uint64_t>(kOverlayPageSize, o->disk_size - start));
}

int add(Overlay *o, uint64_t number, Page **out) {
    // A new page is allowed only while the overlay leaves room for it.
    if ((o->pages + 1) * kOverlayPageSize > o->limit)
        return -ENOSPC;
    auto *page = static_cast<Page *>(std::calloc(1, sizeof(Page)));
    if (!page)
        return -ENOSPC;
    page->number = number;
    if (int error = o->fill(o->fill_context, page->bytes, page_length(o, number),
                            number * kOverlayPageSize)) {
        secure_wipe(page, sizeof *page);
        std::free(page);
        return error;
    }
    Page *&head = o->buckets[number % kOverlayBuckets];
    page->next = head;
    head = page;
    ++o->pages;
    *out = page;
    return 0;
}

} // namespace

Overlay *overlay_create(uint64_t disk_size, OverlayFillFn fill, void *fill_context,
                        uint64_t limit) {
    auto *o = new (std::nothrow) Overlay{};
    if (!o)
        return nullptr;
    o->disk_size = disk_size;
    o->fill = fill;
    o->fill_context = fill_context;
    o->limit = limit;
    return o;
}

int overlay_write(Overlay *o, const void *data, size_t length, uint64_t offset) {
    const auto *in = static_cast<const uint8_t *>(data);
    while (length) {
        const uint64_t number = offset / kOverlayPageSize;
        const size_t within = size_t(offset % kOverlayPageSize);
        const size_t n = std::min(length, kOverlayPageSize - within);
        Page *page = find(o, number);
        if (!page) {
            if (int error = add(o, number, &page))
                return error;
        }
        std::memcpy(page->bytes + within, in, n);
        in += n;
        offset += n;
        length -= n;
    }
    return 0;
}

int overlay_read(Overlay *o, void *buffer, size_t length, uint64_t offset) {
    auto *out = static_cast<uint8_t *>(buffer);
    if (o->pages == 0)
        return o->fill(o->fill_context, out, length, offset);
    while (length) {
        const uint64_t number = offset / kOverlayPageSize;
        const size_t within = size_t(offset % kOverlayPageSize);
        size_t n = std::min(length, kOverlayPageSize - within);
        if (const Page *page = find(o, number)) {
            std::memcpy(out, page->bytes + within, n);
        } else {
            // Pages missing from the overlay in a row are read in one call.
            uint64_t next = number + 1;
            while (n < length && !find(o, next)) {
                n = std::min(length, n + kOverlayPageSize);
                ++next;
            }
            if (int error = o->fill(o->fill_context, out, n, offset))
                return error;
        }
        out += n;
        offset += n;
        length -= n;
    }
    return 0;
}

uint64_t overlay_pages(const Overlay *o) {
    return o ? o->pages : 0;
}

void overlay_destroy(Overlay *o) {
    if (!o)
        return;
    for (Page *&head : o->buckets) {
        while (head) {
            Page *next = head->next;
            secure_wipe(head, sizeof *head);
            std::free(head);
            head = next;
        }
    }
    delete o;
}

} // namespace tw
