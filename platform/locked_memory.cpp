#include "platform/locked_memory.h"

#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw {

namespace {

// mlock and munlock go straight to the kernel: the sanitizer runtimes replace
// the C library's wrappers with no-ops that report success, which would hide
// a refused lock in exactly the builds that test this path.
int lock_range(void *pages, size_t length) {
    return int(syscall(SYS_mlock, pages, length));
}

void unlock_range(void *pages, size_t length) {
    (void)syscall(SYS_munlock, pages, length);
}

size_t page_rounded(size_t size) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX - (page - 1))
        return 0;
    return (size + page - 1) / page * page;
}

} // namespace

void *locked_pages_alloc(size_t size, bool *locked) {
    if (locked)
        *locked = false;
    size_t length = page_rounded(size);
    if (length == 0)
        return nullptr;
    void *pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    // Keys must not end up in a core file even when locking is refused; the
    // advice is independent of the lock, so its failure is not fatal either.
    (void)madvise(pages, length, MADV_DONTDUMP);
    bool ok = lock_range(pages, length) == 0;
    if (locked)
        *locked = ok;
    return pages;
}

void locked_pages_free(void *pages, size_t size) {
    if (!pages)
        return;
    size_t length = page_rounded(size);
    // munlock fails harmlessly on pages that were never locked.
    unlock_range(pages, length);
    (void)munmap(pages, length);
}

} // namespace tw
