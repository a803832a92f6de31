#include "iscsi/target_state.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <sys/mman.h>

namespace tw {

void data_buffer_release(IscsiTarget *target) {
    if (!target->data)
        return;
    secure_wipe(target->data, target->data_capacity);
    munlock(target->data, target->data_capacity);
    munmap(target->data, target->data_capacity);
    target->data = nullptr;
    target->data_capacity = 0;
}

int data_buffer_reserve(IscsiTarget *target, size_t size) {
    if (size <= target->data_capacity)
        return 0;
    data_buffer_release(target);
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return -ENOMEM;
    // Decrypted sectors pass through here: keep them out of swap when the
    // memory-lock limit allows and out of core dumps always.
    (void)mlock(memory, size);
    (void)madvise(memory, size, MADV_DONTDUMP);
    target->data = static_cast<uint8_t *>(memory);
    target->data_capacity = size;
    return 0;
}

void data_buffer_wipe(IscsiTarget *target, size_t used) {
    if (target->data && used > 0)
        secure_wipe(target->data, used < target->data_capacity ? used : target->data_capacity);
}

} // namespace tw
