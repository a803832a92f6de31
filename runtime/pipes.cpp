#include "runtime/pipes.h"

#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/io.h"
#include "platform/process.h"
#include "runtime/text.h"
#include "runtime/texts.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr int kListenBacklog = 128;
constexpr int kBusyRetryMs = 200;
constexpr const char *kBrokerProgram = "tarnwick-broker";

int fill_address(const char *path, sockaddr_un *address, socklen_t *length) {
    if (path == nullptr || path[0] == '\0')
        return -EINVAL;
    size_t n = strlen(path);
    if (n >= sizeof address->sun_path)
        return -ENAMETOOLONG;
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, path, n);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
    return 0;
}

// Milliseconds left until a deadline in monotonic_now units, at least 0.
int remaining_ms(uint64_t deadline) {
    uint64_t now = monotonic_now();
    if (now >= deadline)
        return 0;
    uint64_t ms = (deadline - now + 9999) / 10000;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

// Writes all bytes; sockets get MSG_NOSIGNAL so a closed peer is an error,
// never a signal. Any failure, or a write that took nothing, is kPipeBroken.
int send_all(int fd, const unsigned char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = send_some(fd, bytes, length, MSG_NOSIGNAL);
        if (n == -ENOTSOCK) // a pipe (make_child_pipe) takes plain writes
            return write_full(fd, bytes, length) == 0 ? 0 : kPipeBroken;
        if (n <= 0)
            return kPipeBroken;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

// Takes the descriptors of a control message: the first into *received (when
// wanted and still empty), the others closed.
void take_descriptors(msghdr *message, FileHandle *received) {
    for (cmsghdr *c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (received != nullptr && !received->valid())
                received->reset(fd);
            else
                close(fd);
        }
    }
}

// Reads exactly `length` bytes before the deadline (0: none). Waiting is done
// with poll, so a silent peer costs nothing until the deadline. With
// `received`, descriptors passed along are collected (recvmsg).
int receive_exact(int fd, unsigned char *bytes, size_t length, bool has_deadline, uint64_t deadline,
                  FileHandle *received = nullptr) {
    while (length > 0) {
        if (has_deadline) {
            pollfd p{fd, POLLIN, 0};
            int ready = poll(&p, 1, remaining_ms(deadline));
            // No helper fits a deadline wait: an interrupted poll goes round
            // again with the time that is left.
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return kPipeBroken;
            if (ready == 0)
                return kPipeTimedOut;
        }
        ssize_t n;
        if (received != nullptr) {
            iovec io{bytes, length};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            n = receive_message_some(fd, &message, MSG_CMSG_CLOEXEC);
            if (n > 0)
                take_descriptors(&message, received);
        } else {
            n = read_some(fd, bytes, length);
        }
        if (n <= 0)
            return kPipeBroken;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

// True when the folder chain from "/" to the folder that holds `path` (an
// absolute path) consists of real folders (no symbolic link anywhere) owned
// by root that nobody else may change, and `path` itself is a socket owned
// by root. Each step is opened relative to the one before, so no name can be
// swapped underneath the walk.
bool root_owned_socket_path(const std::string &path) {
    if (path.empty() || path[0] != '/')
        return false;
    FileHandle dir(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return false;
    size_t pos = 1;
    for (;;) {
        struct stat st;
        if (fstat(dir.get(), &st) != 0 || st.st_uid != 0 || !is_unmodifiable_by_others(dir.get()))
            return false;
        size_t slash = path.find('/', pos);
        std::string name =
            path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (slash == std::string::npos) {
            if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return false;
            return S_ISSOCK(st.st_mode) && st.st_uid == 0;
        }
        FileHandle next(
            openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid())
            return false;
        dir = std::move(next);
        pos = slash + 1;
    }
}

int peer_credentials(int fd, ucred *cred) {
    socklen_t length = sizeof *cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &length) != 0)
        return -errno;
    if (cred->pid <= 0)
        return -ESRCH;
    return 0;
}

std::mutex g_endpoint_lock;
BrokerEndpoint *g_endpoint = nullptr; // set only by tests

} // namespace

int session_socket_path(std::string *out) {
    std::string folder;
    int rc = runtime_folder(&folder);
    if (rc != 0)
        return rc;
    *out = folder + "/Tarnwick.Session." + current_user_id();
    return 0;
}

// ---- Servers ----

int pipe_create_server(const char *path, mode_t mode, PipeServer *out) {
    sockaddr_un address;
    socklen_t address_length = 0;
    int rc = fill_address(path, &address, &address_length);
    if (rc != 0)
        return rc;
    std::string lock_path = std::string(path) + ".lock";
    FileHandle lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.valid())
        return -errno;
    // A non-blocking lock never waits, so no signal can interrupt it.
    if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? -EADDRINUSE : -errno;
    // Holding the lock, any socket file left at the path belongs to a server
    // that has ended. Anything else there is not ours to remove.
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return -EEXIST;
        if (unlink(path) != 0)
            return -errno;
    }
    FileHandle listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid())
        return -errno;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), address_length) != 0)
        return -errno;
    if (chmod(path, mode) != 0 || listen(listener.get(), kListenBacklog) != 0) {
        int e = errno;
        unlink(path);
        return -e;
    }
    out->lock = std::move(lock);
    out->listener = std::move(listener);
    out->path = path;
    return 0;
}

void pipe_close_server(PipeServer *server) {
    if (server->listener.valid()) {
        server->listener.reset();
        unlink(server->path.c_str());
    }
    server->lock.reset();
}

int pipe_accept(PipeServer *server, FileHandle *client) {
    for (;;) {
        int fd = accept4(server->listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            client->reset(fd);
            return 0;
        }
        // A signal, or a client that gave up while queued, is no reason to
        // stop listening (accept has no platform helper: it yields a socket).
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        return -errno;
    }
}

// ---- Clients ----

int pipe_connect(const char *path, int timeout_ms, FileHandle *out) {
    sockaddr_un address;
    socklen_t address_length = 0;
    int rc = fill_address(path, &address, &address_length);
    if (rc != 0)
        return rc;
    uint64_t start = monotonic_now();
    uint64_t deadline = start + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms) * 10000u;
    for (;;) {
        // Non-blocking, so that a full queue is reported at once (EAGAIN)
        // instead of blocking without a time-out.
        FileHandle fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid())
            return -errno;
        int result = connect(fd.get(), reinterpret_cast<sockaddr *>(&address), address_length);
        int e = result == 0 ? 0 : errno;
        // An interrupted connect starts again on a fresh socket: the old one
        // may be half connected, which no retry helper could undo.
        if (e == EINTR)
            continue;
        if (e == 0) {
            int flags = fcntl(fd.get(), F_GETFL);
            if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
                return -errno;
            *out = std::move(fd);
            return 0;
        }
        if (e != EAGAIN)
            return -e;
        int left = remaining_ms(deadline);
        if (left == 0)
            return -EAGAIN;
        usleep(static_cast<useconds_t>(left < kBusyRetryMs ? left : kBusyRetryMs) * 1000u);
    }
}

// ---- Messages ----

namespace {

// Sends one frame; `passed` (when not -1) travels with its first byte.
int send_frame(int fd, const JsonValue *message, int passed) {
    size_t length = 0;
    char *text = json_serialize(message, &length);
    if (text == nullptr)
        return kPipeNoMemory;
    if (length == 0 || length > kPipeMessageMax) {
        json_free_text(text);
        return kPipeTooLong;
    }
    const uint32_t l = static_cast<uint32_t>(length);
    unsigned char header[4] = {static_cast<unsigned char>(l), static_cast<unsigned char>(l >> 8),
                               static_cast<unsigned char>(l >> 16),
                               static_cast<unsigned char>(l >> 24)};
    int rc = 0;
    size_t header_sent = 0;
    if (passed >= 0) {
        iovec io{header, sizeof header};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr m{};
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &passed, sizeof passed);
        ssize_t n = send_message_some(fd, &m, MSG_NOSIGNAL);
        if (n <= 0)
            rc = kPipeBroken;
        else
            header_sent = static_cast<size_t>(n);
    }
    if (rc == 0)
        rc = send_all(fd, header + header_sent, sizeof header - header_sent);
    if (rc == 0)
        rc = send_all(fd, reinterpret_cast<const unsigned char *>(text), length);
    json_free_text(text);
    return rc;
}

int receive_frame(int fd, int timeout_ms, JsonValue **out, FileHandle *received) {
    *out = nullptr;
    const bool has_deadline = timeout_ms >= 0;
    const uint64_t deadline =
        has_deadline ? monotonic_now() + static_cast<uint64_t>(timeout_ms) * 10000u : 0;
    unsigned char header[4];
    int rc = receive_exact(fd, header, sizeof header, has_deadline, deadline, received);
    if (rc != 0)
        return rc;
    const uint32_t length =
        static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
        (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
    if (length == 0)
        return kPipeNotMessage;
    if (length > kPipeMessageMax)
        return kPipeTooLong;
    auto *body = static_cast<unsigned char *>(malloc(length + 1));
    if (body == nullptr)
        return kPipeNoMemory;
    rc = receive_exact(fd, body, length, has_deadline, deadline);
    if (rc == 0) {
        body[length] = '\0';
        JsonValue *value = json_parse(body, length);
        if (value != nullptr && value->kind == JsonKind::Object)
            *out = value;
        else {
            json_free(value);
            rc = kPipeNotMessage;
        }
    }
    wipe_and_free(body, length + 1);
    return rc;
}

} // namespace

int pipe_send_message(int fd, const JsonValue *message) {
    return send_frame(fd, message, -1);
}

int pipe_receive_message(int fd, int timeout_ms, JsonValue **out) {
    return receive_frame(fd, timeout_ms, out, nullptr);
}

int pipe_send_message_with_descriptor(int fd, const JsonValue *message, int passed) {
    return send_frame(fd, message, passed < 0 ? -1 : passed);
}

int pipe_receive_message_with_descriptor(int fd, int timeout_ms, JsonValue **out,
                                         FileHandle *received) {
    received->reset();
    int rc = receive_frame(fd, timeout_ms, out, received);
    if (rc != 0)
        received->reset();
    return rc;
}

// ---- Peers ----

int pipe_identify_client(int fd, PipePeer *out) {
    ucred cred{};
    int rc = peer_credentials(fd, &cred);
    if (rc != 0)
        return rc;
    out->pid = cred.pid;
    out->uid = cred.uid;
    out->user = std::to_string(cred.uid);
    out->session = cred.uid;
    return 0;
}

bool pipe_client_is_admin(int fd) {
    ucred cred{};
    return peer_credentials(fd, &cred) == 0 && cred.uid == 0;
}

int pipe_peer_program(pid_t pid, std::string *out) {
    int rc = process_image_path(pid, out);
    if (rc != -EACCES && rc != -EPERM)
        return rc;
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    FileHandle fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    char buffer[4097];
    size_t got = 0;
    while (got < sizeof buffer - 1) {
        ssize_t n = read_some(fd.get(), buffer + got, sizeof buffer - 1 - got);
        if (n < 0)
            return int(n);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    buffer[got] = '\0';
    // A first argument longer than the buffer cannot be an installed path.
    if (got == 0 || strlen(buffer) >= sizeof buffer - 1)
        return -EIO;
    out->assign(buffer);
    return 0;
}

bool pipe_verify_server(int fd, const char *expected_program, bool privileged) {
    ucred cred{};
    if (peer_credentials(fd, &cred) != 0)
        return false;
    bool running = false;
    if (process_identity(cred.pid, &running, nullptr, nullptr) != 0 || !running)
        return false;
    if (privileged) {
        if (cred.uid != 0)
            return false;
        sockaddr_un peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 ||
            length <= offsetof(sockaddr_un, sun_path) || peer.sun_path[0] == '\0')
            return false;
        std::string path(peer.sun_path,
                         strnlen(peer.sun_path, length - offsetof(sockaddr_un, sun_path)));
        if (!root_owned_socket_path(path))
            return false;
    } else if (cred.uid != geteuid()) {
        return false;
    }
    if (expected_program != nullptr) {
        std::string program;
        if (pipe_peer_program(cred.pid, &program) != 0 || program != expected_program)
            return false;
    }
    return true;
}

// ---- Child pipes ----

int make_child_pipe(ChildPipe direction, FileHandle *parent_end, FileHandle *child_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -errno;
    FileHandle read_end(ends[0]), write_end(ends[1]);
    FileHandle &child = direction == ChildPipe::ChildReads ? read_end : write_end;
    FileHandle &parent = direction == ChildPipe::ChildReads ? write_end : read_end;
    if (fcntl(child.get(), F_SETFD, 0) != 0)
        return -errno;
    *parent_end = std::move(parent);
    *child_end = std::move(child);
    return 0;
}

// ---- The broker ----

void broker_set_endpoint_for_testing(const BrokerEndpoint *endpoint) {
    std::lock_guard<std::mutex> guard(g_endpoint_lock);
    delete g_endpoint;
    g_endpoint = endpoint ? new BrokerEndpoint(*endpoint) : nullptr;
}

int broker_connect(FileHandle *out, const char **message) {
    BrokerEndpoint endpoint;
    {
        std::lock_guard<std::mutex> guard(g_endpoint_lock);
        if (g_endpoint != nullptr)
            endpoint = *g_endpoint;
    }
    if (endpoint.socket_path.empty())
        endpoint.socket_path = kBrokerSocketPath;
    if (endpoint.program_path.empty() &&
        program_file_path(kBrokerProgram, &endpoint.program_path) != 0) {
        *message = kTextBrokerNotInstalled;
        return -EIO;
    }
    FileHandle fd;
    int rc = pipe_connect(endpoint.socket_path.c_str(), endpoint.connect_timeout_ms, &fd);
    if (rc != 0) {
        *message = rc == -EAGAIN ? kTextBrokerBusy : kTextBrokerNotRunning;
        return rc;
    }
    ucred cred{};
    if (peer_credentials(fd.get(), &cred) != 0) {
        *message = kTextBrokerBusy;
        return -ESRCH;
    }
    if (!pipe_verify_server(fd.get(), endpoint.program_path.c_str(), true)) {
        *message = kTextBrokerNotInstalled;
        return -EPERM;
    }
    *out = std::move(fd);
    return 0;
}

int broker_exchange(int fd, JsonValue *request, JsonValue **reply, std::string *message_text,
                    FileHandle *received) {
    *reply = nullptr;
    json_set_int(request, "version", 1);
    int rc = pipe_send_message(fd, request);
    json_free(request);
    if (rc != 0) {
        *message_text = kTextBrokerNotAccepted;
        return -EPIPE;
    }
    JsonValue *answer = nullptr;
    FileHandle descriptor;
    if (receive_frame(fd, kPipeWaitForever, &answer, received ? &descriptor : nullptr) != 0) {
        *message_text = kTextBrokerNoReply;
        return -EPIPE;
    }
    if (const JsonValue *error = json_get(answer, "error");
        error != nullptr && error->kind == JsonKind::String) {
        *message_text = error->string_bytes;
        json_free(answer);
        return -EREMOTEIO;
    }
    const JsonValue *version = json_get(answer, "version");
    if (version == nullptr || version->kind != JsonKind::Number || !version->is_integer ||
        version->int_value != 1) {
        *message_text = kTextBrokerOtherVersion;
        json_free(answer);
        return -EPROTO;
    }
    *reply = answer;
    if (received != nullptr)
        *received = std::move(descriptor);
    return 0;
}

} // namespace tw
