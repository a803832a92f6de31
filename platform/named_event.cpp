#include "platform/named_event.h"

#include "platform/folders.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tw {

struct NamedEvent {
    std::atomic<uint32_t> *flag = nullptr; // the shared mapping of the file
    bool creator = false;
    // The creator keeps the file open with a shared flock for as long as the
    // event lives; the kernel drops it when the creator ends in any way.
    int lock_fd = -1;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);

constexpr off_t kEventSize = sizeof(uint32_t);

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > kNamedEventNameMax || name == "." || name == "..")
        return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

int event_path(std::string_view name, std::string *folder, std::string *path) {
    if (!valid_name(name))
        return -EINVAL;
    int rc = runtime_folder(folder);
    if (rc != 0)
        return rc;
    *path = *folder + "/" + std::string(name);
    return 0;
}

long futex(std::atomic<uint32_t> *addr, int op, uint32_t value, const timespec *timeout,
           uint32_t bitset) {
    // The futex is shared (no FUTEX_PRIVATE_FLAG): the kernel keys it on the
    // file's page, so waiters in other processes are woken too.
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(addr), op, value, timeout, nullptr,
                   bitset);
}

int map_event(int fd, const struct stat &st, bool creator, std::string path, NamedEvent **out) {
    void *map = mmap(nullptr, kEventSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return -errno;
    auto *event = new NamedEvent;
    event->flag = static_cast<std::atomic<uint32_t> *>(map);
    event->creator = creator;
    event->path = std::move(path);
    event->dev = st.st_dev;
    event->ino = st.st_ino;
    *out = event;
    return 0;
}

// Creates the event file with its flag already in place, so that an opener
// never sees a half-made file: an unnamed O_TMPFILE gets its 4 zero bytes and
// is then linked under the name, which fails if the name exists.
int create_file(const std::string &folder, const std::string &path, int *out) {
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        // Locked before it gets its name, so that nobody can take a
        // published event for the leftover of an ended creator.
        if (ftruncate(fd, kEventSize) != 0 || fchmod(fd, 0600) != 0 || flock(fd, LOCK_SH) != 0) {
            int e = errno;
            close(fd);
            return -e;
        }
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (linkat(AT_FDCWD, link.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            int e = errno;
            close(fd);
            return -e;
        }
        *out = fd;
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return -errno;
    // Filesystems without O_TMPFILE: create exclusively, then size it. An
    // opener arriving in between sees a short file and is refused.
    fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -errno;
    if (flock(fd, LOCK_SH) != 0 || ftruncate(fd, kEventSize) != 0) {
        int e = errno;
        close(fd);
        unlink(path.c_str());
        return -e;
    }
    *out = fd;
    return 0;
}

// Removes the file under path when it is the leftover of a creator that ended
// without closing (killed or crashed): no process holds its lock any more.
// Such a file would otherwise refuse the name forever to a later process that
// happens to get the same id. True when a leftover was removed.
bool remove_leftover(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool removed = false;
    struct stat held, named;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
        held.st_size == kEventSize && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Still the same file under the name (not one a racing creator has
        // just published)?
        if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            removed = unlink(path.c_str()) == 0;
    }
    close(fd);
    return removed;
}

} // namespace

int named_event_create(std::string_view name, NamedEvent **out) {
    std::string folder, path;
    int rc = event_path(name, &folder, &path);
    if (rc != 0)
        return rc;
    int fd = -1;
    rc = create_file(folder, path, &fd);
    if (rc == -EEXIST && remove_leftover(path))
        rc = create_file(folder, path, &fd);
    if (rc != 0)
        return rc;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        rc = -errno;
    } else {
        rc = map_event(fd, st, true, path, out);
    }
    if (rc != 0) {
        unlink(path.c_str());
        close(fd);
        return rc;
    }
    (*out)->lock_fd = fd;
    return 0;
}

int named_event_open(std::string_view name, NamedEvent **out) {
    std::string folder, path;
    int rc = event_path(name, &folder, &path);
    if (rc != 0)
        return rc;
    // O_NONBLOCK keeps a FIFO planted under the name from blocking the open.
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        // A symbolic link (ELOOP) or a folder (EISDIR) is not an event.
        return e == ELOOP || e == EISDIR ? -EACCES : -e;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        rc = -errno;
    } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_size != kEventSize) {
        rc = -EACCES;
    } else {
        rc = map_event(fd, st, false, path, out);
    }
    close(fd);
    return rc;
}

int named_event_sweep_leftovers(std::string_view prefix) {
    std::string folder;
    if (prefix.empty() || runtime_folder(&folder) != 0)
        return 0;
    DIR *d = opendir(folder.c_str());
    if (d == nullptr)
        return 0;
    int removed = 0;
    while (dirent *entry = readdir(d)) {
        std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix || !valid_name(name))
            continue;
        if (remove_leftover(folder + "/" + std::string(name)))
            ++removed;
    }
    closedir(d);
    return removed;
}

void named_event_set(NamedEvent *event) {
    if (event == nullptr)
        return;
    event->flag->store(1, std::memory_order_release);
    futex(event->flag, FUTEX_WAKE, INT_MAX, nullptr, 0);
}

bool named_event_is_set(const NamedEvent *event) {
    return event != nullptr && event->flag->load(std::memory_order_acquire) != 0;
}

int named_event_wait(NamedEvent *event, int64_t timeout_ms) {
    if (event == nullptr)
        return -EINVAL;
    timespec deadline{};
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        // Cap at about 68 years so the arithmetic cannot overflow.
        int64_t ms = timeout_ms > (int64_t{1} << 41) ? (int64_t{1} << 41) : timeout_ms;
        deadline.tv_sec += static_cast<time_t>(ms / 1000);
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    for (;;) {
        if (event->flag->load(std::memory_order_acquire) != 0)
            return 0;
        if (timeout_ms == 0)
            return -ETIMEDOUT;
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so
        // spurious wake-ups and signals do not stretch the total wait.
        long r = futex(event->flag, FUTEX_WAIT_BITSET, 0, timeout_ms < 0 ? nullptr : &deadline,
                       FUTEX_BITSET_MATCH_ANY);
        if (r != 0 && errno == ETIMEDOUT)
            return event->flag->load(std::memory_order_acquire) != 0 ? 0 : -ETIMEDOUT;
    }
}

void named_event_remove_name(NamedEvent *event) {
    if (event == nullptr || !event->creator)
        return;
    // Remove the name only while it still refers to this event.
    struct stat st;
    if (lstat(event->path.c_str(), &st) == 0 && st.st_dev == event->dev && st.st_ino == event->ino)
        unlink(event->path.c_str());
    event->creator = false;
}

void named_event_close(NamedEvent *event) {
    if (event == nullptr)
        return;
    named_event_remove_name(event);
    if (event->lock_fd >= 0)
        close(event->lock_fd);
    munmap(event->flag, kEventSize);
    delete event;
}

} // namespace tw
