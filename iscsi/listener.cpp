// The target object: the loopback listener, connection admission and the
// accept loop.
#include "iscsi/session.h"
#include "platform/secure_memory.h"
#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr int kListenBacklog = 4;
constexpr int kStopPollMs = 500;
constexpr int kSendTimeoutSeconds = 30;
constexpr const char *kInitiatorPidFile = "/run/tarnwick/initiator.pid";

bool terminated(const char *text, size_t size) {
    return strnlen(text, size) < size;
}

bool valid_setup(const TargetConfig *config, const BlockDevice *device) {
    return config && device && config->chap_secret_length >= 12 &&
           config->chap_secret_length <= 16 && device->size != 0 &&
           device->size % kBlockSize == 0 && device->read && device->write && device->flush &&
           terminated(config->target_name, sizeof config->target_name) &&
           terminated(config->chap_name, sizeof config->chap_name) &&
           terminated(config->serial, sizeof config->serial);
}

// The object holds the CHAP secret: it lives in its own locked mapping (when
// the memory-lock limit allows), excluded from core dumps, wiped on release.
void *allocate_locked(size_t size) {
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    (void)mlock(memory, size);
    (void)madvise(memory, size, MADV_DONTDUMP);
    return memory;
}

void free_target(IscsiTarget *target) {
    data_buffer_release(target);
    target->~IscsiTarget();
    secure_wipe(static_cast<void *>(target), sizeof *target);
    munlock(target, sizeof *target);
    munmap(target, sizeof *target);
}

int open_listener(uint16_t *port) {
    // Linux refuses a second bind to a port in use unless both sockets ask
    // for SO_REUSEADDR/SO_REUSEPORT, which this socket never does: the
    // exclusive use the port needs is the default.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, kListenBacklog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool admitted(IscsiTarget *target, const sockaddr_in &peer, socklen_t peer_length) {
    if (peer_length < sizeof peer || peer.sin_family != AF_INET ||
        peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        return false;
    TargetPeer who{peer.sin_addr.s_addr, ntohs(peer.sin_port), target->port};
    if (target->config.admit)
        return target->config.admit(target->config.admit_context, &who);
    return target_admit_initiator(target->config.admit_context, &who);
}

void run_admitted(IscsiTarget *target, int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{kSendTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    serve_connection(target, fd);
}

} // namespace

IscsiTarget *target_create(const TargetConfig *config, const BlockDevice *device, uint16_t *port) {
    // Sockets need no library start-up on Linux (no WSAStartup/WSACleanup
    // pair), so creation begins with the checks.
    if (!valid_setup(config, device) || !port) {
        errno = EINVAL;
        return nullptr;
    }
    void *memory = allocate_locked(sizeof(IscsiTarget));
    if (!memory) {
        errno = ENOMEM;
        return nullptr;
    }
    auto *target = new (memory) IscsiTarget{};
    target->config = *config;
    target->device = *device;
    target->connection_fd = -1;
    target->listen_fd = open_listener(&target->port);
    if (target->listen_fd < 0) {
        free_target(target);
        errno = EADDRNOTAVAIL;
        return nullptr;
    }
    *port = target->port;
    return target;
}

int target_serve(IscsiTarget *target) {
    while (!target->stop.load()) {
        pollfd pfd{target->listen_fd, POLLIN, 0};
        int n = poll(&pfd, 1, kStopPollMs);
        if (n < 0) {
            // A signal only cuts the wait short: go round to look at the stop
            // flag again.
            if (errno == EINTR)
                continue;
            return -EIO;
        }
        if (n == 0)
            continue;
        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        int fd = accept4(target->listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length,
                         SOCK_CLOEXEC);
        if (fd < 0)
            continue; // the peer gave up already, or a signal came in
        if (admitted(target, peer, peer_length))
            run_admitted(target, fd);
        close(fd);
    }
    return 0;
}

uint32_t target_stop(IscsiTarget *target) {
    return target->stop.exchange(1);
}

uint32_t target_is_connected(const IscsiTarget *target) {
    return target->session_active.load();
}

void target_destroy(IscsiTarget *target) {
    if (!target)
        return;
    if (target->listen_fd >= 0)
        close(target->listen_fd);
    free_target(target);
}

bool target_admit_initiator(void *context, const TargetPeer *peer) {
    const char *pid_file = context ? static_cast<const char *>(context) : kInitiatorPidFile;
    pid_t initiator = 0;
    if (read_root_pid_file(pid_file, &initiator) < 0)
        return false;
    SocketOwner owner{};
    // The initiator's end of the connection: local = the peer's address and
    // port, remote = this target's port on 127.0.0.1.
    int rc = tcp_socket_owner(peer->address, peer->port, htonl(INADDR_LOOPBACK), peer->listen_port,
                              &owner);
    if (rc == 0)
        return owner.pid == initiator && owner.uid == 0;
    // A target running as a user (the mount worker) cannot see which root
    // process holds a root socket. Only root can make a socket the kernel
    // records as root's, so the connection is admitted when its socket is
    // root's and the published initiator is running.
    if (rc == -ESRCH && owner.uid == 0 && geteuid() != 0)
        return kill(initiator, 0) == 0 || errno == EPERM;
    return false;
}

} // namespace tw
