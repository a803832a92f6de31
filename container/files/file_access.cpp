#include "container/files/file_access.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "runtime/errors.h"
#include "runtime/random.h"

namespace tw {

namespace {

constexpr int kOpenAttempts = 5; // the first try and four retries
constexpr long kRetryDelayNanoseconds = 10 * 1000 * 1000;

std::atomic<ContainerFileOpenHook> open_hook{nullptr};

bool is_container_type(FileType type) {
    return type == FileType::regular || type == FileType::block_device;
}

int refuse_type(const char *path) {
    std::fprintf(stderr, "Error: '%s' is neither a regular file nor a block device.\n", path);
    return -EINVAL;
}

void retry_delay() {
    struct timespec delay = {0, kRetryDelayNanoseconds};
    // An interrupted sleep goes on for the time that remains.
    while (nanosleep(&delay, &delay) < 0 && errno == EINTR) {
    }
}

int open_unlocked(const char *path, ContainerFile *out) {
    // Non-blocking so that a FIFO given as a container cannot hang the open.
    int fd = file_open(path, FileAccess::read, FileCreate::open_existing, kFileNonBlock);
    if (fd < 0)
        return fd;
    FileHandle file(fd);
    FileStatus status;
    if (int error = file_status(file.get(), &status))
        return error;
    if (!is_container_type(status.type))
        return refuse_type(path);
    out->file = std::move(file);
    out->read_only = true;
    out->status = status;
    return 0;
}

enum class Attempt { done, retry };

// One attempt of a locking open. Sets *error to the result when done.
Attempt open_locked_once(const char *path, int mode, int attempt, ContainerFile *out, int *error) {
    *error = 0;
    // Looking first means that a FIFO or a folder is refused without being
    // opened; opening a FIFO could wait for a writer.
    FileStatus named;
    if (int status_error = file_status_path(path, true, &named)) {
        *error = status_error;
        return Attempt::done;
    }
    if (!is_container_type(named.type)) {
        *error = refuse_type(path);
        return Attempt::done;
    }

    int fd = -1;
    if (mode == kContainerOpenWrite || mode == kContainerOpenReadUpgradable) {
        fd = file_open(path, FileAccess::read_write, FileCreate::open_existing, kFileNonBlock);
        if (fd == -EACCES || fd == -EPERM || fd == -EROFS || fd == -ETXTBSY)
            fd = file_open(path, FileAccess::read, FileCreate::open_existing, kFileNonBlock);
    } else {
        fd = file_open(path, FileAccess::read, FileCreate::open_existing, kFileNonBlock);
    }
    if (fd == -ENOENT)
        return Attempt::retry;
    if (fd < 0) {
        *error = fd;
        return Attempt::done;
    }
    FileHandle file(fd);
    // An upgradable open reads only: it never counts as writable.
    bool read_only = mode == kContainerOpenReadUpgradable || handle_is_read_only(file.get());

    FileStatus status;
    if (int status_error = file_status(file.get(), &status)) {
        *error = status_error;
        return Attempt::done;
    }
    if (!is_container_type(status.type)) {
        *error = refuse_type(path);
        return Attempt::done;
    }

    if (ContainerFileOpenHook hook = open_hook.load())
        hook(path, attempt, ContainerFileOpenStage::before_lock);

    int lock_error = file_lock(file.get(), !read_only);
    if (lock_error == -EWOULDBLOCK) {
        // Busy only if the locked-out file is still the one the path names;
        // a lock on a file that has since been replaced or deleted says
        // nothing about the current one.
        FileStatus now;
        if (file_status_path(path, true, &now) == 0 && now.identity == status.identity &&
            file_status(file.get(), &status) == 0 && status.links > 0) {
            *error = -EBUSY;
            return Attempt::done;
        }
        return Attempt::retry;
    }
    if (lock_error) {
        std::fprintf(stderr, "Error: cannot lock '%s' (%s); refusing to open it without a lock.\n",
                     path, error_text(lock_error));
        *error = lock_error;
        return Attempt::done;
    }

    // The path may have been pointed at another file between the open and
    // the lock: the lock must be on the file the path names now.
    FileStatus now;
    int now_error = file_status_path(path, true, &now);
    if (now_error == -ENOENT || (now_error == 0 && now.identity != status.identity))
        return Attempt::retry;
    if (now_error) {
        *error = now_error;
        return Attempt::done;
    }
    if (ContainerFileOpenHook hook = open_hook.load())
        hook(path, attempt, ContainerFileOpenStage::after_check);
    if (int status_error = file_status(file.get(), &status)) {
        *error = status_error;
        return Attempt::done;
    }
    if (status.links == 0 && !read_only) {
        std::fprintf(stderr,
                     "Error: '%s' is a deleted file; changes to it would be lost. Use -r to "
                     "read it.\n",
                     path);
        *error = -kErrChanged;
        return Attempt::done;
    }
    out->file = std::move(file);
    out->read_only = read_only;
    out->status = status;
    return Attempt::done;
}

} // namespace

void container_file_open_set_hook_for_testing(ContainerFileOpenHook hook) {
    open_hook.store(hook);
}

int container_file_open(const char *path, int mode, ContainerFile *out) {
    if (int error = file_path_check(path))
        return error;
    if (mode == kContainerOpenUnlocked)
        return open_unlocked(path, out);
    if (mode != kContainerOpenRead && mode != kContainerOpenWrite &&
        mode != kContainerOpenReadUpgradable)
        return -EINVAL;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (attempt > 0)
            retry_delay();
        int error = 0;
        if (open_locked_once(path, mode, attempt, out, &error) == Attempt::done)
            return error;
    }
    std::fprintf(stderr, "Error: '%s' keeps being replaced while opening it.\n", path);
    return -EAGAIN;
}

int sidecar_check(const char *path) {
    static constexpr const char *kSuffixes[] = {".idx", ".openzcx-journal"};
    char name[4127];
    for (const char *suffix : kSuffixes) {
        int length = std::snprintf(name, sizeof name, "%s%s", path, suffix);
        if (length < 0 || static_cast<size_t>(length) >= sizeof name)
            return -ENAMETOOLONG;
        FileStatus status;
        int error = file_status_path(name, false, &status);
        if (error == 0)
            return -kErrChanged;
        if (error != -ENOENT)
            return error;
    }
    return 0;
}

uint64_t random_48bit() {
    constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;
    unsigned char bytes[6];
    if (random_bytes(bytes, sizeof bytes)) {
        uint64_t value = 0;
        for (unsigned char byte : bytes)
            value = (value << 8) | byte;
        return value;
    }
    static std::atomic<uint64_t> counter{0};
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t time_value =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    uint64_t value = (static_cast<uint64_t>(getpid()) << 32) ^ time_value ^
                     ((counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15u);
    return value & kMask;
}

} // namespace tw
