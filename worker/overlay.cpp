#include "worker/overlay.h"

#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace tw {

namespace {

struct Page {
    uint64_t number;
    Page *next;
    uint8_t *bytes; // kOverlayPageSize bytes inside a slab
};

// Page bytes are decrypted disk data: they come from slabs of locked pages
// (kept out of core dumps always, out of swap where the lock limit allows),
// handed out in order and wiped as a whole when the overlay goes.
constexpr size_t kSlabPages = 256;
constexpr size_t kSlabBytes = kSlabPages * kOverlayPageSize;

struct Slab {
    Slab *next;
    uint8_t *data;
    size_t used; // pages handed out
};

} // namespace

struct Overlay {
    uint64_t disk_size;
    OverlayFillFn fill;
    void *fill_context;
    uint64_t limit;
    uint64_t pages;
    Slab *slabs; // the newest first
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

// Bytes for one more page: the next free page of the newest slab, or of a
// new slab. Null when no memory could be mapped.
uint8_t *page_bytes(Overlay *o) {
    Slab *slab = o->slabs;
    if (!slab || slab->used == kSlabPages) {
        slab = new (std::nothrow) Slab{};
        if (!slab)
            return nullptr;
        slab->data = static_cast<uint8_t *>(locked_pages_alloc(kSlabBytes, nullptr));
        if (!slab->data) {
            delete slab;
            return nullptr;
        }
        slab->next = o->slabs;
        o->slabs = slab;
    }
    return slab->data + slab->used * kOverlayPageSize;
}

int add(Overlay *o, uint64_t number, Page **out) {
    // A new page is allowed only while the overlay leaves room for it.
    if ((o->pages + 1) * kOverlayPageSize > o->limit)
        return -ENOSPC;
    uint8_t *bytes = page_bytes(o);
    auto *page = bytes ? new (std::nothrow) Page{number, nullptr, bytes} : nullptr;
    if (!page)
        return -ENOSPC;
    if (int error =
            o->fill(o->fill_context, bytes, page_length(o, number), number * kOverlayPageSize)) {
        // The slab's page stays free for the next page.
        secure_wipe(bytes, kOverlayPageSize);
        delete page;
        return error;
    }
    ++o->slabs->used;
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
            delete head;
            head = next;
        }
    }
    while (Slab *slab = o->slabs) {
        o->slabs = slab->next;
        secure_wipe(slab->data, slab->used * kOverlayPageSize);
        locked_pages_free(slab->data, kSlabBytes);
        delete slab;
    }
    delete o;
}

} // namespace tw
