#include "worker/status.h"

#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace tw {

struct WorkerStatus {
    int fd = -1;
    uint8_t *view = nullptr;
};

namespace {

template <typename T>
std::atomic_ref<T> field_ref(const WorkerStatus *s, size_t offset) {
    static_assert(std::atomic_ref<T>::required_alignment <= sizeof(T));
    return std::atomic_ref<T>(*reinterpret_cast<T *>(s->view + offset));
}

} // namespace

int worker_status_open(const char *path, WorkerStatus **out) {
    *out = nullptr;
    int fd = file_open(path, FileAccess::read_write, FileCreate::open_existing,
                       kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return fd;
    FileHandle file(fd);
    FileStatus st;
    if (int error = file_status(file.get(), &st))
        return error;
    if (st.type != FileType::regular || st.size < kWorkerStatusSize)
        return -EINVAL;
    void *view =
        mmap(nullptr, kWorkerStatusSize, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
    if (view == MAP_FAILED)
        return -errno;
    auto *status = new (std::nothrow) WorkerStatus;
    if (status == nullptr) {
        munmap(view, kWorkerStatusSize);
        return -ENOMEM;
    }
    status->fd = file.release();
    status->view = static_cast<uint8_t *>(view);
    // Readers see the layout only once every other field is zero.
    for (size_t offset = 4; offset < kWorkerStatusSize; offset += 4)
        field_ref<uint32_t>(status, offset).store(0);
    field_ref<uint32_t>(status, kStatusLayout).store(1);
    *out = status;
    return 0;
}

void worker_status_store32(WorkerStatus *s, size_t field, uint32_t value) {
    if (s)
        field_ref<uint32_t>(s, field).exchange(value);
}

void worker_status_store64(WorkerStatus *s, size_t field, uint64_t value) {
    if (s)
        field_ref<uint64_t>(s, field).exchange(value);
}

void worker_status_store8(WorkerStatus *s, size_t field, uint8_t value) {
    if (s)
        field_ref<uint8_t>(s, field).exchange(value);
}

void worker_status_add64(WorkerStatus *s, size_t field, uint64_t amount) {
    if (s)
        field_ref<uint64_t>(s, field).fetch_add(amount);
}

uint32_t worker_status_load32(const WorkerStatus *s, size_t field) {
    return s ? field_ref<uint32_t>(s, field).load() : 0;
}

uint64_t worker_status_load64(const WorkerStatus *s, size_t field) {
    return s ? field_ref<uint64_t>(s, field).load() : 0;
}

uint32_t worker_status_set_error(WorkerStatus *s, uint32_t error) {
    if (!s)
        return error;
    uint32_t expected = 0;
    auto ref = field_ref<uint32_t>(s, kStatusError);
    if (ref.compare_exchange_strong(expected, error))
        return error;
    return expected;
}

void worker_status_close(WorkerStatus *s) {
    if (!s)
        return;
    msync(s->view, kWorkerStatusSize, MS_SYNC);
    munmap(s->view, kWorkerStatusSize);
    file_flush(s->fd);
    close(s->fd);
    delete s;
}

} // namespace tw
