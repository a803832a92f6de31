// Reading a source one step ahead of its consumer, for the whole-image
// passes of the container core (the copy writer, export): while the caller
// encrypts, writes or compares one step, the next one is read into the other
// of two buffers on a thread of its own. Internal to the container core.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <signal.h>

namespace tw {

// What a pass reads: a container, or a caller's stream.
struct CopySource {
    uint64_t size;
    int (*read)(void *user, void *buffer, size_t length, uint64_t offset);
    void *user;
    const std::atomic<uint32_t> *cancel;
    bool read_ahead = false; // `read` may run on another thread (one call at a time)
};

// Reads the source one step ahead on a thread of its own (double buffering):
// while the caller encrypts, writes or compares one step, the next one is
// read into the other buffer. Without the thread (a stream source, or no
// thread could be started) each read runs at once on the caller's thread.
class StepReadAhead {
  public:
    explicit StepReadAhead(const CopySource &source) : source_(source) {
        if (!source.read_ahead)
            return;
        // The reader takes no signals: those go to the threads that expect them.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        started_ = pthread_create(&thread_, nullptr, main, this) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    StepReadAhead(const StepReadAhead &) = delete;
    StepReadAhead &operator=(const StepReadAhead &) = delete;
    ~StepReadAhead() {
        if (!started_)
            return;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return !pending_; });
            stopping_ = true;
        }
        changed_.notify_all();
        pthread_join(thread_, nullptr);
    }

    // Starts reading `length` bytes at `offset` into `buffer`.
    void start(void *buffer, size_t length, uint64_t offset) {
        if (!started_) {
            result_ = source_.read(source_.user, buffer, length, offset);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            buffer_ = buffer;
            length_ = length;
            offset_ = offset;
            pending_ = true;
        }
        changed_.notify_all();
    }
    // The result of the read last started, once it is done.
    int finish() {
        if (!started_)
            return result_;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pending_; });
        return result_;
    }

  private:
    static void *main(void *self) {
        auto *r = static_cast<StepReadAhead *>(self);
        std::unique_lock lock(r->mutex_);
        for (;;) {
            r->changed_.wait(lock, [&] { return r->stopping_ || r->pending_; });
            if (r->stopping_)
                return nullptr;
            lock.unlock();
            int result = r->source_.read(r->source_.user, r->buffer_, r->length_, r->offset_);
            lock.lock();
            r->result_ = result;
            r->pending_ = false;
            r->changed_.notify_all();
        }
    }

    const CopySource &source_;
    pthread_t thread_{};
    bool started_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;
    bool stopping_ = false;
    void *buffer_ = nullptr;
    size_t length_ = 0;
    uint64_t offset_ = 0;
    int result_ = 0;
};

} // namespace tw
