#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tw {

namespace {

std::atomic<bool> fault_no_rename_noreplace{false};
std::atomic<bool> fault_no_hard_links{false};
std::atomic<bool> fault_no_unnamed_files{false};

int negative_errno() {
    return errno > 0 ? -errno : -EIO;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool utf8_valid(const unsigned char *s) {
    while (*s) {
        unsigned c = *s;
        if (c < 0x80) {
            ++s;
            continue;
        }
        int extra;
        unsigned min;
        unsigned code;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            min = 0x80;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            min = 0x800;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            min = 0x10000;
            code = c & 0x07;
        } else {
            return false;
        }
        ++s;
        for (int i = 0; i < extra; ++i, ++s) {
            if ((*s & 0xC0) != 0x80)
                return false; // also stops at the terminating NUL
            code = (code << 6) | (*s & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

int name_check(const char *name) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr)
        return -EINVAL;
    if (!utf8_valid(reinterpret_cast<const unsigned char *>(name)))
        return -EILSEQ;
    return 0;
}

int open_flags(FileAccess access, FileCreate create, unsigned flags) {
    int result = O_CLOEXEC;
    switch (access) {
    case FileAccess::read:
        result |= O_RDONLY;
        break;
    case FileAccess::write:
        result |= O_WRONLY;
        break;
    case FileAccess::read_write:
        result |= O_RDWR;
        break;
    }
    switch (create) {
    case FileCreate::open_existing:
        break;
    case FileCreate::create_new:
        result |= O_CREAT | O_EXCL;
        break;
    case FileCreate::truncate:
        result |= O_CREAT | O_TRUNC;
        break;
    }
    if (flags & kFileNoFollow)
        result |= O_NOFOLLOW;
    if (flags & kFileDirectory)
        result |= O_DIRECTORY;
    if (flags & kFileNonBlock)
        result |= O_NONBLOCK;
    return result;
}

mode_t create_mode(unsigned flags) {
    return (flags & kFileOwnerOnly) ? 0600 : 0666;
}

// A non-blocking open only matters for the open itself; reads and writes of
// the file must block as usual.
int finish_open(int fd, unsigned flags) {
    if (fd < 0)
        return negative_errno();
    if (flags & kFileNonBlock) {
        int current = fcntl(fd, F_GETFL);
        if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) < 0) {
            int error = negative_errno();
            close(fd);
            return error;
        }
    }
    return fd;
}

FileType type_of(mode_t mode) {
    if (S_ISREG(mode))
        return FileType::regular;
    if (S_ISDIR(mode))
        return FileType::directory;
    if (S_ISLNK(mode))
        return FileType::link;
    if (S_ISCHR(mode))
        return FileType::char_device;
    if (S_ISBLK(mode))
        return FileType::block_device;
    if (S_ISFIFO(mode) || S_ISSOCK(mode))
        return FileType::pipe;
    return FileType::other;
}

void fill_status(const struct stat &st, FileStatus *status) {
    status->identity.volume = st.st_dev;
    status->identity.file = st.st_ino;
    status->type = type_of(st.st_mode);
    status->links = st.st_nlink;
    status->size = static_cast<uint64_t>(st.st_size);
    status->blocks = static_cast<uint64_t>(st.st_blocks);
    status->last_write = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    status->change = {st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    status->mode = st.st_mode & 07777;
    status->owner = st.st_uid;
    status->group = st.st_gid;
}

int lock_request(int fd, int command, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kInUseLockOffset;
    lock.l_len = 1;
    if (fcntl(fd, command, &lock) < 0)
        return negative_errno();
    if (command == F_OFD_GETLK)
        return lock.l_type == F_UNLCK ? 0 : -EWOULDBLOCK;
    return 0;
}

int rename_without_replacing(int dir, const char *old_name, const char *new_name) {
    if (fault_no_rename_noreplace.load())
        return -EINVAL;
    if (renameat2(dir, old_name, dir, new_name, RENAME_NOREPLACE) < 0)
        return negative_errno();
    return 0;
}

int link_name(int dir, const char *old_name, const char *new_name) {
    if (fault_no_hard_links.load())
        return -EPERM;
    if (linkat(dir, old_name, dir, new_name, 0) < 0)
        return negative_errno();
    return 0;
}

} // namespace

bool file_status_same(const FileStatus &a, const FileStatus &b) {
    return a.identity == b.identity && a.size == b.size && a.last_write == b.last_write &&
           a.change == b.change;
}

int file_path_check(const char *path) {
    if (path == nullptr || path[0] == '\0')
        return -ENOENT;
    if (!utf8_valid(reinterpret_cast<const unsigned char *>(path)))
        return -EILSEQ;
    return 0;
}

int file_open(const char *path, FileAccess access, FileCreate create, unsigned flags) {
    if (int error = file_path_check(path))
        return error;
    return finish_open(open(path, open_flags(access, create, flags), create_mode(flags)), flags);
}

int file_open_at(int dir, const char *name, FileAccess access, FileCreate create, unsigned flags) {
    if (int error = name_check(name))
        return error;
    return finish_open(openat(dir, name, open_flags(access, create, flags), create_mode(flags)),
                       flags);
}

int directory_open(const char *path) {
    return file_open(path, FileAccess::read, FileCreate::open_existing, kFileDirectory);
}

int file_duplicate(int fd) {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? negative_errno() : copy;
}

int file_status(int fd, FileStatus *status) {
    struct stat st;
    if (fstat(fd, &st) < 0)
        return negative_errno();
    fill_status(st, status);
    return 0;
}

int file_status_at(int dir, const char *name, bool follow, FileStatus *status) {
    if (int error = name_check(name))
        return error;
    struct stat st;
    if (fstatat(dir, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) < 0)
        return negative_errno();
    fill_status(st, status);
    return 0;
}

int file_status_path(const char *path, bool follow, FileStatus *status) {
    if (int error = file_path_check(path))
        return error;
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) < 0)
        return negative_errno();
    fill_status(st, status);
    return 0;
}

int file_access_mode(int fd, FileAccess *access) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return negative_errno();
    switch (flags & O_ACCMODE) {
    case O_WRONLY:
        *access = FileAccess::write;
        break;
    case O_RDWR:
        *access = FileAccess::read_write;
        break;
    default:
        *access = FileAccess::read;
        break;
    }
    return 0;
}

bool handle_is_read_only(int fd) {
    FileAccess access;
    return file_access_mode(fd, &access) == 0 && access == FileAccess::read;
}

int file_lock(int fd, bool exclusive) {
    // Dropping the byte first turns an exclusive lock into a shared one (and
    // back) without the kernel's in-place conversion, so a failed request
    // leaves no lock behind rather than the previous one.
    if (int error = lock_request(fd, F_OFD_SETLK, F_UNLCK))
        return error;
    int error = lock_request(fd, F_OFD_SETLK, exclusive ? F_WRLCK : F_RDLCK);
    if (error == -EAGAIN || error == -EACCES)
        return -EWOULDBLOCK;
    return error;
}

int file_unlock(int fd) {
    return lock_request(fd, F_OFD_SETLK, F_UNLCK);
}

int file_lock_test(int fd, bool exclusive) {
    return lock_request(fd, F_OFD_GETLK, exclusive ? F_WRLCK : F_RDLCK);
}

int file_set_size(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX))
        return -EFBIG;
    if (ftruncate(fd, static_cast<off_t>(size)) < 0)
        return negative_errno();
    return 0;
}

int file_reserve(int fd, uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX))
        return -EFBIG;
    if (size == 0)
        return file_set_size(fd, 0);
    // posix_fallocate would emulate the reservation by writing zeros, which
    // guarantees nothing on filesystems that cannot reserve; the plain call
    // reports EOPNOTSUPP there.
    if (fallocate(fd, 0, 0, static_cast<off_t>(size)) < 0)
        return negative_errno();
    return file_set_size(fd, size);
}

int file_flush(int fd) {
    if (fsync(fd) < 0)
        return negative_errno();
    return 0;
}

int file_flush_data(int fd) {
    if (fdatasync(fd) < 0)
        return negative_errno();
    return 0;
}

int file_open_unnamed(int dir) {
    if (fault_no_unnamed_files.load())
        return -EOPNOTSUPP;
    int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return fd < 0 ? negative_errno() : fd;
}

int file_open_in_memory(const char *name) {
    int fd = memfd_create(name, MFD_CLOEXEC);
    return fd < 0 ? negative_errno() : fd;
}

int file_link_at(int fd, int dir, const char *name) {
    if (int error = name_check(name))
        return error;
    // Linking by descriptor (AT_EMPTY_PATH) needs a privilege; the /proc link
    // of the descriptor gives the same result without one.
    char source[40];
    std::snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, source, dir, name, AT_SYMLINK_FOLLOW) < 0)
        return negative_errno();
    return 0;
}

int file_unlink_at(int dir, const char *name) {
    if (int error = name_check(name))
        return error;
    if (unlinkat(dir, name, 0) < 0)
        return negative_errno();
    return 0;
}

int rename_noreplace(int dir, const char *old_name, const char *new_name) {
    if (int error = name_check(old_name))
        return error;
    if (int error = name_check(new_name))
        return error;
    int error = rename_without_replacing(dir, old_name, new_name);
    if (error != -EINVAL && error != -ENOSYS && error != -EOPNOTSUPP)
        return error;
    // The filesystem cannot rename without replacing. A hard link cannot
    // replace either: make the new name, then drop the old one.
    error = link_name(dir, old_name, new_name);
    if (error == -EPERM || error == -EOPNOTSUPP || error == -ENOSYS)
        return -ENOTSUP;
    if (error)
        return error;
    int unlink_error = file_unlink_at(dir, old_name);
    if (unlink_error == 0)
        return 0;
    if (file_unlink_at(dir, new_name) != 0)
        std::fprintf(stderr,
                     "Error: '%s' is now also '%s' in the same directory, and neither name "
                     "could be removed (%s); remove the one you don't want by hand.\n",
                     old_name, new_name, std::strerror(-unlink_error));
    return unlink_error;
}

int volume_is_local_durable(int fd) {
    struct statfs fs;
    if (fstatfs(fd, &fs) < 0)
        return negative_errno();
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case 0x2FC12FC1: // zfs
    case 0xCA451A4E: // bcachefs
    case TMPFS_MAGIC:
        break;
    default:
        return -ENOTSUP;
    }
    if (fs.f_flags & ST_RDONLY)
        return -ENOTSUP;
    return 0;
}

int folder_is_trusted(int dir) {
    struct stat st;
    if (fstat(dir, &st) < 0)
        return negative_errno();
    if (!S_ISDIR(st.st_mode))
        return -ENOTDIR;
    if (st.st_uid != geteuid())
        return -EACCES;
    // With an access ACL the group bits are the ACL's mask, which bounds every
    // named user and group entry and the owning group; so no group or other
    // write bit means that nobody but the owner (and root) can change it.
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return -EACCES;
    return 0;
}

int free_space(int fd, uint64_t *bytes) {
    struct statvfs fs;
    if (fstatvfs(fd, &fs) < 0)
        return negative_errno();
    *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return 0;
}

int file_xattr_names(int fd, std::vector<std::string> *names) {
    names->clear();
    std::vector<char> buffer;
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP)
                return 0;
            return negative_errno();
        }
        buffer.resize(static_cast<size_t>(size) + 1);
        ssize_t got = flistxattr(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == ERANGE)
                continue; // grew in between
            if (errno == ENOTSUP)
                return 0;
            return negative_errno();
        }
        for (ssize_t i = 0; i < got;) {
            size_t length = strnlen(buffer.data() + i, static_cast<size_t>(got - i));
            if (length > 0)
                names->emplace_back(buffer.data() + i, length);
            i += static_cast<ssize_t>(length) + 1;
        }
        return 0;
    }
}

int file_set_group(int fd, uint32_t group) {
    if (fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(group)) < 0)
        return negative_errno();
    return 0;
}

int file_set_mode(int fd, uint32_t mode) {
    if (mode > 07777)
        return -EINVAL;
    if (fchmod(fd, static_cast<mode_t>(mode)) < 0)
        return negative_errno();
    return 0;
}

int file_xattr_get(int fd, const char *name, std::vector<uint8_t> *value) {
    value->clear();
    for (;;) {
        ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0)
            return negative_errno();
        value->resize(static_cast<size_t>(size));
        ssize_t got = fgetxattr(fd, name, value->data(), value->size());
        if (got < 0) {
            if (errno == ERANGE)
                continue; // grew in between
            return negative_errno();
        }
        value->resize(static_cast<size_t>(got));
        return 0;
    }
}

int file_xattr_set(int fd, const char *name, const void *value, size_t length) {
    if (fsetxattr(fd, name, value, length, 0) < 0)
        return negative_errno();
    return 0;
}

int file_xattr_remove(int fd, const char *name) {
    if (fremovexattr(fd, name) < 0)
        return negative_errno();
    return 0;
}

void file_set_facility_faults_for_testing(const FileFacilityFaults &faults) {
    fault_no_rename_noreplace.store(faults.no_rename_noreplace);
    fault_no_hard_links.store(faults.no_hard_links);
    fault_no_unnamed_files.store(faults.no_unnamed_files);
}

} // namespace tw
