// Which process owns the local end of a loopback TCP connection.
//
// The kernel lists every IPv4 TCP socket of the network namespace in
// /proc/net/tcp with its owning uid and inode; the inode is then looked up
// among the descriptors of every process (/proc/PID/fd -> "socket:[INODE]").
#pragma once

#include <cstdint>
#include <sys/types.h>

namespace tw {

struct SocketOwner {
    pid_t pid;
    uint32_t uid; // the socket's owner as the kernel records it
};

// Finds the owner of the IPv4 TCP socket whose local end is
// local_address:local_port and whose remote end is remote_address:remote_port
// (addresses in network byte order, ports in host byte order). Returns 0,
// -ENOENT when there is no such socket, -ESRCH when the socket exists but no
// process holding it is visible (owner->uid is then set and owner->pid is 0:
// /proc/PID/fd of another user's process is closed to unprivileged callers),
// -ENOTUNIQ when descriptors of more than one process refer to it, or another
// negative errno when /proc cannot be read.
int tcp_socket_owner(uint32_t local_address, uint16_t local_port, uint32_t remote_address,
                     uint16_t remote_port, SocketOwner *owner);

// Reads a process id from a pid file that only root can have written: owned by
// uid 0, a regular file, not writable by group or others. Returns 0, -EPERM
// for a file that fails those checks, -EINVAL for a malformed content, or the
// negative errno of opening it.
int read_root_pid_file(const char *path, pid_t *pid);

} // namespace tw
