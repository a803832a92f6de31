// Read-ahead for the worker's disk: one thread, one locked buffer.
#include "worker/read_ahead.h"

#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <signal.h>

namespace tw {

struct ReadAhead {
    uint64_t size = 0;
    ReadAheadSourceFn read = nullptr;
    void *context = nullptr;
    SecureBuffer buffer;
    pthread_t thread{};
    bool started = false;

    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false; // a read ahead is asked for or in flight
    bool taken = false;   // the thread has begun the read asked for
    bool stopping = false;

    // The range in the buffer (or being read into it) and its outcome.
    uint64_t offset = 0;
    size_t length = 0;
    bool holds = false; // the buffer holds [offset, offset + length)
    int result = 0;

    uint64_t next_expected = UINT64_MAX; // where the last read ended
};

namespace {

void *thread_main(void *raw) {
    auto *ra = static_cast<ReadAhead *>(raw);
    std::unique_lock lock(ra->mutex);
    for (;;) {
        ra->changed.wait(lock, [&] { return ra->stopping || ra->pending; });
        if (ra->stopping)
            return nullptr;
        const uint64_t offset = ra->offset;
        const size_t length = ra->length;
        ra->taken = true;
        lock.unlock();
        const int result = ra->read(ra->context, ra->buffer.data(), length, offset);
        lock.lock();
        ra->result = result;
        ra->holds = result == 0;
        if (result != 0)
            secure_wipe(ra->buffer.data(), length);
        ra->pending = false;
        ra->taken = false;
        ra->changed.notify_all();
    }
}

// Waits for a read ahead in flight. One the thread has not begun yet (on a
// busy machine it may not have run at all) is withdrawn instead: the caller
// is better off reading at once than waiting for a thread to be scheduled.
void settle(ReadAhead *ra) {
    std::unique_lock lock(ra->mutex);
    if (ra->pending && !ra->taken) {
        ra->pending = false;
        return;
    }
    ra->changed.wait(lock, [&] { return !ra->pending; });
}

void drop(ReadAhead *ra) {
    if (ra->holds)
        secure_wipe(ra->buffer.data(), ra->length);
    ra->holds = false;
}

} // namespace

int read_ahead_create(uint64_t size, ReadAheadSourceFn read, void *context, ReadAhead **out) {
    *out = nullptr;
    auto *ra = new (std::nothrow) ReadAhead();
    if (!ra)
        return -ENOMEM;
    ra->size = size;
    ra->read = read;
    ra->context = context;
    ra->buffer = SecureBuffer(kReadAheadLimit);
    if (!ra->buffer.valid()) {
        delete ra;
        return -ENOMEM;
    }
    // The thread takes no signals: those go to the threads that expect them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int error = pthread_create(&ra->thread, nullptr, thread_main, ra);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error) {
        delete ra;
        return -error;
    }
    ra->started = true;
    *out = ra;
    return 0;
}

void read_ahead_destroy(ReadAhead *ra) {
    if (!ra)
        return;
    read_ahead_forget(ra);
    {
        std::lock_guard lock(ra->mutex);
        ra->stopping = true;
    }
    ra->changed.notify_all();
    pthread_join(ra->thread, nullptr);
    delete ra;
}

void read_ahead_settle(ReadAhead *ra) {
    settle(ra);
}

void read_ahead_forget(ReadAhead *ra) {
    read_ahead_settle(ra);
    drop(ra);
    ra->next_expected = UINT64_MAX;
}

int read_ahead_read(ReadAhead *ra, void *buffer, size_t length, uint64_t offset) {
    read_ahead_settle(ra);
    const bool sequential = offset == ra->next_expected;
    ra->next_expected = offset + length;
    if (ra->holds && offset >= ra->offset && length <= ra->length &&
        offset - ra->offset <= ra->length - length) {
        std::memcpy(buffer, ra->buffer.data() + (offset - ra->offset), length);
        drop(ra);
    } else {
        drop(ra);
        if (int error = ra->read(ra->context, buffer, length, offset))
            return error;
    }
    if (!sequential || length == 0 || length > kReadAheadLimit || offset + length >= ra->size)
        return 0;
    const uint64_t next = offset + length;
    const size_t next_length = size_t(std::min<uint64_t>(length, ra->size - next));
    drop(ra);
    {
        std::lock_guard lock(ra->mutex);
        ra->offset = next;
        ra->length = next_length;
        ra->pending = true;
    }
    ra->changed.notify_all();
    return 0;
}

} // namespace tw
