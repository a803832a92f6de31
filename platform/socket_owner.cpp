#include "platform/socket_owner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

struct DirCloser {
    DIR *dir;
    ~DirCloser() {
        if (dir)
            closedir(dir);
    }
};

bool all_digits(const char *text) {
    if (*text == '\0')
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// Looks the 4-tuple up in /proc/net/tcp: "sl local rem st queues timer retr uid
// timeout inode". Addresses are printed as the raw 32-bit value, which on
// every architecture compares equal to s_addr read as an integer.
int find_socket_inode(uint32_t local_address, uint16_t local_port, uint32_t remote_address,
                      uint16_t remote_port, unsigned long *inode, uint32_t *uid) {
    FILE *file = fopen("/proc/net/tcp", "re");
    if (!file)
        return -errno;
    char line[512];
    int result = -ENOENT;
    bool header = true;
    while (fgets(line, sizeof line, file)) {
        if (header) {
            header = false;
            continue;
        }
        unsigned int laddr, lport, raddr, rport, state, row_uid;
        unsigned long row_inode;
        if (sscanf(line, " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*u %lu", &laddr, &lport,
                   &raddr, &rport, &state, &row_uid, &row_inode) != 7)
            continue;
        if (laddr == local_address && lport == local_port && raddr == remote_address &&
            rport == remote_port && row_inode != 0) {
            *inode = row_inode;
            *uid = row_uid;
            result = 0;
            break;
        }
    }
    fclose(file);
    return result;
}

} // namespace

int tcp_socket_owner(uint32_t local_address, uint16_t local_port, uint32_t remote_address,
                     uint16_t remote_port, SocketOwner *owner) {
    unsigned long inode = 0;
    uint32_t uid = 0;
    int rc =
        find_socket_inode(local_address, local_port, remote_address, remote_port, &inode, &uid);
    if (rc < 0)
        return rc;

    char wanted[64];
    int wanted_length = snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
    DirCloser proc{opendir("/proc")};
    if (!proc.dir)
        return -errno;
    pid_t found = 0;
    while (dirent *process = readdir(proc.dir)) {
        if (!all_digits(process->d_name))
            continue;
        pid_t pid = static_cast<pid_t>(strtol(process->d_name, nullptr, 10));
        char fd_path[64];
        snprintf(fd_path, sizeof fd_path, "/proc/%d/fd", static_cast<int>(pid));
        DirCloser fds{opendir(fd_path)};
        if (!fds.dir)
            continue; // the process ended or is not ours to inspect
        while (dirent *fd = readdir(fds.dir)) {
            if (!all_digits(fd->d_name))
                continue;
            char target[64];
            ssize_t n = readlinkat(dirfd(fds.dir), fd->d_name, target, sizeof target);
            if (n != wanted_length || memcmp(target, wanted, static_cast<size_t>(n)) != 0)
                continue;
            // A socket shared with a second process (inherited across fork)
            // cannot be attributed to one owner.
            if (found != 0 && found != pid)
                return -ENOTUNIQ;
            found = pid;
            break;
        }
    }
    owner->uid = uid;
    owner->pid = found;
    // The socket exists but no visible process holds it: its holder belongs
    // to another user whose descriptors this process may not look into.
    return found == 0 ? -ESRCH : 0;
}

int read_root_pid_file(const char *path, pid_t *pid) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    struct stat st;
    char text[32] = {};
    size_t length = 0;
    int result = 0;
    if (fstat(fd, &st) != 0) {
        result = -errno;
    } else if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        result = -EPERM;
    } else {
        ssize_t n = read(fd, text, sizeof text - 1);
        if (n < 0)
            result = -errno;
        else
            length = static_cast<size_t>(n);
    }
    close(fd);
    if (result < 0)
        return result;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (!all_digits(text) || length > 9)
        return -EINVAL;
    long value = strtol(text, nullptr, 10);
    if (value <= 0)
        return -EINVAL;
    *pid = static_cast<pid_t>(value);
    return 0;
}

} // namespace tw
