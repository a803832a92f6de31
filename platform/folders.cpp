#include "platform/folders.h"

#include "platform/descriptor.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/rand.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kMachineRoot = "/var/lib/tarnwick";

std::string proc_fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string join(std::string_view root, std::string_view name) {
    std::string path(root);
    if (!name.empty()) {
        path += '/';
        path += name;
    }
    return path;
}

// Version 4 UUID text; the folder code needs it only to name an untrusted
// machine root that is moved aside.
bool make_uuid_text(std::string *out) {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1)
        return false;
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    snprintf(text, sizeof text,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
             b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
             b[15]);
    out->assign(text, 36);
    return true;
}

// POSIX ACLs as the kernel stores them in the "system.posix_acl_*" extended
// attributes: a 4-byte version header, then 8-byte entries (tag, permissions,
// id). libacl is not needed for this one question.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08,
                   kAclMask = 0x10, kAclOther = 0x20;
constexpr uint16_t kAclWrite = 0x02;

uint16_t le16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// True when the access ACL of the object grants write to anyone but its owner.
// An unreadable or malformed ACL counts as granting it.
bool acl_grants_write_to_others(const std::string &path, uid_t owner) {
    unsigned char buf[4096];
    ssize_t n = getxattr(path.c_str(), "system.posix_acl_access", buf, sizeof buf);
    if (n < 0)
        return !(errno == ENODATA || errno == ENOTSUP);
    if (n < 4 || (n - 4) % 8 != 0 || le32(buf) != kAclVersion)
        return true;
    // Named users and groups are limited by the mask entry when there is one.
    uint16_t mask = 0x07;
    for (ssize_t off = 4; off < n; off += 8)
        if (le16(buf + off) == kAclMask)
            mask = le16(buf + off + 2);
    for (ssize_t off = 4; off < n; off += 8) {
        uint16_t tag = le16(buf + off), perm = le16(buf + off + 2);
        uint32_t id = le32(buf + off + 4);
        switch (tag) {
        case kAclUserObj:
        case kAclMask:
            break;
        case kAclUser:
            if (id != owner && (perm & mask & kAclWrite))
                return true;
            break;
        case kAclGroupObj:
        case kAclGroup:
            if (perm & mask & kAclWrite)
                return true;
            break;
        case kAclOther:
            if (perm & kAclWrite)
                return true;
            break;
        default:
            return true;
        }
    }
    return false;
}

// Sets mode 0700 and drops every ACL of the folder open as fd (O_PATH works:
// the changes go through the /proc link, which names the opened folder itself,
// never a path that could have been swapped meanwhile).
int secure_folder(int fd) {
    std::string link = proc_fd_path(fd);
    if (chmod(link.c_str(), 0700) != 0)
        return -EACCES;
    for (const char *name : {"system.posix_acl_access", "system.posix_acl_default"})
        if (removexattr(link.c_str(), name) != 0 && errno != ENODATA && errno != ENOTSUP)
            return -EACCES;
    return is_unmodifiable_by_others(fd) ? 0 : -EACCES;
}

// Opens an existing folder without following a symbolic link in its last
// component. -ENOTDIR when it is a link or not a folder.
int open_folder_nofollow(const std::string &path, int *out) {
    int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ELOOP || e == ENOTDIR)
            return -ENOTDIR;
        return e == EACCES || e == EPERM ? -EACCES : -EIO;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        close(fd);
        return -ENOTDIR;
    }
    *out = fd;
    return 0;
}

// Creates the missing folders above path (not path itself) with mode 0700,
// the XDG rule for folders a program creates under the user's data home.
int create_parents(const std::string &path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return errno == EACCES || errno == EPERM ? -EACCES : -EIO;
    }
    return 0;
}

bool is_absolute(const char *value) {
    return value != nullptr && value[0] == '/';
}

std::string home_folder() {
    const char *home = getenv("HOME");
    if (is_absolute(home))
        return home;
    passwd pw{}, *result = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr &&
        is_absolute(result->pw_dir))
        return result->pw_dir;
    return {};
}

// "$XDG_DATA_HOME/Tarnwick" or "$HOME/.local/share/Tarnwick"; false without
// either.
bool user_root_path(std::string *out) {
    std::string root;
    const char *data_home = getenv("XDG_DATA_HOME");
    if (is_absolute(data_home)) {
        root = data_home;
    } else {
        std::string home = home_folder();
        if (home.empty())
            return false;
        root = home + "/.local/share";
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    *out = root + "/Tarnwick";
    return true;
}

// Trusted machine root: a real folder owned by root.
int open_trusted_machine_root(const std::string &root, int *out) {
    int fd = -1;
    int rc = open_folder_nofollow(root, &fd);
    if (rc != 0)
        return rc;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != 0) {
        close(fd);
        return -EACCES;
    }
    *out = fd;
    return 0;
}

} // namespace

std::string current_user_id() {
    return std::to_string(geteuid());
}

bool is_unmodifiable_by_others(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return false;
    return !acl_grants_write_to_others(proc_fd_path(fd), st.st_uid);
}

int ensure_private_folder(std::string_view path_view) {
    if (path_view.empty() || path_view.find('\0') != std::string_view::npos)
        return -EINVAL;
    std::string path(path_view);
    if (mkdir(path.c_str(), 0700) != 0) {
        int e = errno;
        if (e == EACCES || e == EPERM)
            return -EACCES;
        if (e != EEXIST)
            return -EIO;
    }
    // A new folder is re-secured as well: a default ACL of the parent may have
    // been inherited into it.
    int fd = -1;
    int rc = open_folder_nofollow(path, &fd);
    if (rc != 0)
        return rc;
    FileHandle guard(fd);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -EIO;
    if (st.st_uid != geteuid())
        return -EACCES;
    return secure_folder(fd);
}

namespace {

// The runtime folder's path; the user root (ensured on the way) when neither
// XDG_RUNTIME_DIR nor /run/user/UID serves. `user_root` gets the root when
// that is where it is, so that a refusal can name it.
int runtime_folder_path(std::string *path, std::string *user_root) {
    std::string uid = current_user_id();
    const char *xdg = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (is_absolute(xdg)) {
        *path = std::string(xdg) + "/tarnwick";
    } else if (std::string run = "/run/user/" + uid;
               lstat(run.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
        *path = run + "/tarnwick";
    } else {
        // Never a predictable name in a shared folder such as /tmp: another
        // user could create it first. The user root is the user's own.
        int rc = user_folder("run", path);
        if (rc != 0 && user_root != nullptr)
            user_root_path(user_root);
        return rc;
    }
    return 0;
}

// Why ensure_private_folder refuses `path`, as a phrase after the folder's
// name; empty when nothing can be seen.
std::string refusal_of(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        int e = errno;
        size_t slash = path.rfind('/');
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        if (e == ENOENT && slash != std::string::npos && access(parent.c_str(), F_OK) != 0)
            return "cannot be made: its parent folder '" + parent + "' does not exist";
        if (e == ENOENT)
            return "cannot be made in '" + parent + "': " + std::strerror(EACCES);
        return std::string("cannot be examined: ") + std::strerror(e);
    }
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link, which is never followed";
    if (!S_ISDIR(st.st_mode))
        return "is not a folder";
    if (st.st_uid != geteuid()) {
        passwd pw{}, *result = nullptr;
        char buf[4096];
        std::string who = "user " + std::to_string(st.st_uid);
        if (getpwuid_r(st.st_uid, &pw, buf, sizeof buf, &result) == 0 && result != nullptr)
            who += " (" + std::string(result->pw_name) + ")";
        return "belongs to " + who + ", not to this user";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return std::string("has mode ") + mode +
               ", which lets others write to it, and cannot be "
               "made private";
    if (acl_grants_write_to_others(path, st.st_uid))
        return "has an access list that lets others write to it and cannot be made private";
    return {};
}

} // namespace

std::string runtime_folder_refusal() {
    std::string path, root;
    if (runtime_folder_path(&path, &root) != 0) {
        std::string reason = root.empty() ? std::string() : refusal_of(root);
        if (root.empty() || reason.empty())
            return "the user root (no home folder or data folder is set) cannot be used";
        return "'" + root + "' " + reason;
    }
    if (ensure_private_folder(path) == 0)
        return {};
    std::string reason = refusal_of(path);
    return "'" + path + "' " + (reason.empty() ? "cannot be made private" : reason);
}

int runtime_folder(std::string *out) {
    std::string path;
    int rc = runtime_folder_path(&path, nullptr);
    if (rc != 0)
        return rc;
    rc = ensure_private_folder(path);
    if (rc != 0)
        return rc;
    *out = std::move(path);
    return 0;
}

int user_folder(std::string_view name, std::string *out) {
    std::string root;
    if (!user_root_path(&root))
        return -ENOENT;
    int rc = create_parents(root);
    if (rc == 0)
        rc = ensure_private_folder(root);
    if (rc != 0)
        return rc;
    *out = join(root, name);
    return 0;
}

int machine_folder_at(std::string_view root_view, std::string_view name, std::string *out) {
    std::string root(root_view);
    if (mkdir(root.c_str(), 0700) != 0) {
        int e = errno;
        if (e == EACCES || e == EPERM)
            return -EACCES;
        if (e != EEXIST)
            return -EIO;
        int fd = -1;
        int rc = open_trusted_machine_root(root, &fd);
        if (rc == 0) {
            FileHandle guard(fd);
            if (secure_folder(fd) != 0)
                return -EACCES;
            *out = join(root, name);
            return 0;
        }
        // Not a root-owned folder: someone else prepared it, so nothing in it
        // is trusted. Keep it for inspection under a new name and start over.
        std::string uuid;
        if (!make_uuid_text(&uuid))
            return -EACCES;
        std::string aside = root + ".untrusted-" + uuid;
        if (renameat2(AT_FDCWD, root.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0)
            return -EACCES;
        if (mkdir(root.c_str(), 0700) != 0)
            return -EACCES;
    }
    int fd = -1;
    if (open_trusted_machine_root(root, &fd) != 0)
        return -EACCES;
    FileHandle guard(fd);
    if (secure_folder(fd) != 0)
        return -EACCES;
    *out = join(root, name);
    return 0;
}

int machine_folder_existing_at(std::string_view root_view, std::string_view name,
                               std::string *out) {
    std::string root(root_view);
    struct stat st;
    if (lstat(root.c_str(), &st) != 0)
        return errno == ENOENT ? -ENOENT : -EACCES;
    int fd = -1;
    if (open_trusted_machine_root(root, &fd) != 0)
        return -EACCES;
    FileHandle guard(fd);
    if (!is_unmodifiable_by_others(fd))
        return -EACCES;
    *out = join(root, name);
    return 0;
}

int machine_folder(std::string_view name, std::string *out) {
    return machine_folder_at(kMachineRoot, name, out);
}

int machine_folder_existing(std::string_view name, std::string *out) {
    return machine_folder_existing_at(kMachineRoot, name, out);
}

int program_file_path(std::string_view name, std::string *out) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf)
        return -EIO;
    std::string_view exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos)
        return -EIO;
    *out = std::string(exe.substr(0, slash)) + "/" + std::string(name);
    return 0;
}

} // namespace tw
