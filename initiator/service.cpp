#include "initiator/service.h"

#include "initiator/session.h"
#include "initiator/texts.h"
#include "platform/io.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/pipes.h"
#include "runtime/random.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kSessionsMax = 64;
constexpr int kRequestTimeoutMs = 10000;

} // namespace

struct InitiatorService {
    std::map<std::string, InitiatorSession *> sessions;
};

namespace {

JsonValue *reply_result(int result, const char *error = nullptr) {
    JsonValue *reply = json_new(JsonKind::Object);
    if (!reply)
        return nullptr;
    json_set_int(reply, "result", result);
    if (result != 0 && error)
        json_set_string(reply, "error", error);
    return reply;
}

InitiatorSession *find_session(InitiatorService *service, const JsonValue *request) {
    const char *id = json_get_string(request, "session", nullptr);
    if (!id)
        return nullptr;
    auto found = service->sessions.find(id);
    return found == service->sessions.end() ? nullptr : found->second;
}

std::string new_session_id() {
    uint8_t bytes[16];
    if (!random_bytes(bytes, sizeof bytes))
        return {};
    std::string id;
    char hex[3];
    for (uint8_t b : bytes) {
        snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

JsonValue *do_login(InitiatorService *service, const JsonValue *request) {
    const char *iqn = json_get_string(request, "iqn", nullptr);
    const char *chap_name = json_get_string(request, "chapName", nullptr);
    const JsonValue *secret = json_get(request, "chapSecret");
    int64_t port = json_get_int(request, "port", 0);
    if (!iqn || !*iqn || !chap_name || !*chap_name || !secret || secret->kind != JsonKind::String ||
        secret->string_length == 0 || port <= 0 || port > 65535)
        return reply_result(-EINVAL, kTextInitiatorBadRequest);
    if (service->sessions.size() >= kSessionsMax)
        return reply_result(-EMFILE, kTextInitiatorTooMany);

    SessionLogin login;
    login.iqn = iqn;
    login.port = static_cast<uint16_t>(port);
    login.chap_name = chap_name;
    login.chap_secret = SecureBuffer::with_capacity(secret->string_length);
    if (!login.chap_secret.valid() ||
        !login.chap_secret.assign(secret->string_bytes, secret->string_length))
        return reply_result(-ENOMEM, kTextInitiatorLoginFailed);
    std::string id = new_session_id();
    if (id.empty())
        return reply_result(-EIO, kTextInitiatorLoginFailed);

    InitiatorSession *session = nullptr;
    const char *message = kTextInitiatorLoginFailed;
    int rc = session_login(id, login, &session, &message);
    if (rc != 0)
        return reply_result(rc, message);
    service->sessions[id] = session;
    JsonValue *reply = reply_result(0);
    json_set_string(reply, "session", id.c_str());
    return reply;
}

JsonValue *do_devices(InitiatorService *service, const JsonValue *request) {
    InitiatorSession *session = find_session(service, request);
    if (!session)
        return reply_result(-ENOENT, kTextInitiatorNoSession);
    JsonValue *reply = reply_result(0);
    json_set_string(reply, "device", session_device(session).c_str());
    json_set_int(reply, "disk", session_disk(session));
    json_set_bool(reply, "readOnly", session_read_only(session));
    return reply;
}

JsonValue *do_logout(InitiatorService *service, const JsonValue *request) {
    InitiatorSession *session = find_session(service, request);
    if (!session)
        return reply_result(-ENOENT, kTextInitiatorNoSession);
    std::string id = session_id(session);
    int rc = session_logout(session);
    if (rc == -EBUSY)
        return reply_result(-EBUSY, kTextInitiatorBusy);
    service->sessions.erase(id);
    if (rc != 0) {
        fprintf(stderr, "tarnwick-initiator: session %s was not removed completely\n", id.c_str());
        return reply_result(-EIO, kTextInitiatorLogoutFailed);
    }
    return reply_result(0);
}

JsonValue *do_sessions(InitiatorService *service, const JsonValue *) {
    JsonValue *reply = reply_result(0);
    JsonValue *list = json_new(JsonKind::Array);
    for (const auto &[id, session] : service->sessions)
        json_append(list, json_new_string(id.c_str()));
    json_set(reply, "sessions", list);
    return reply;
}

JsonValue *do_write_protect(InitiatorService *service, const JsonValue *request) {
    InitiatorSession *session = find_session(service, request);
    if (!session)
        return reply_result(-ENOENT, kTextInitiatorNoSession);
    if (!json_has(request, "enable", JsonKind::Bool))
        return reply_result(-EINVAL, kTextInitiatorBadRequest);
    int rc = session_set_write_protect(session, json_get_bool(request, "enable", true));
    if (rc == -EPERM)
        return reply_result(rc, kTextInitiatorWriteProtectRefused);
    return reply_result(rc, kTextInitiatorWriteProtectFailed);
}

struct Operation {
    const char *action;
    JsonValue *(*handle)(InitiatorService *service, const JsonValue *request);
};

constexpr Operation kOperations[] = {
    {"login", do_login},
    {"devices", do_devices},
    {"logout", do_logout},
    {"sessions", do_sessions},
    {"write-protect", do_write_protect},
};

// Writes the pid file beside its final name and renames it into place, so a
// reader never sees a partial number. Readable by everyone (the targets of
// unprivileged workers read it), writable by root only.
int publish_pid() {
    std::string temporary = std::string(kInitiatorPidFile) + ".new";
    unlink(temporary.c_str());
    FileHandle fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid())
        return -errno;
    std::string text = std::to_string(getpid()) + "\n";
    int rc = write_full(fd.get(), text.data(), text.size());
    if (rc == 0 && fchmod(fd.get(), 0644) != 0)
        rc = -errno;
    if (rc == 0 && rename(temporary.c_str(), kInitiatorPidFile) != 0)
        rc = -errno;
    if (rc != 0)
        unlink(temporary.c_str());
    return rc;
}

void serve_client(InitiatorService *service, FileHandle client) {
    if (!pipe_client_is_admin(client.get()))
        return; // closed unanswered
    JsonValue *request = nullptr;
    if (pipe_receive_message(client.get(), kRequestTimeoutMs, &request) != 0)
        return;
    JsonValue *reply = initiator_handle_request(service, request);
    // The CHAP secret must not stay in freed memory.
    if (JsonValue *secret = json_get(request, "chapSecret");
        secret && secret->kind == JsonKind::String)
        secure_wipe(secret->string_bytes, secret->string_length);
    json_free(request);
    if (reply)
        pipe_send_message(client.get(), reply);
    json_free(reply);
}

} // namespace

InitiatorService *initiator_service_create() {
    return new InitiatorService;
}

void initiator_service_destroy(InitiatorService *service) {
    if (!service)
        return;
    for (auto &[id, session] : service->sessions)
        session_destroy(session);
    delete service;
}

JsonValue *initiator_handle_request(InitiatorService *service, const JsonValue *request) {
    const char *action = json_get_string(request, "action", nullptr);
    for (const Operation &op : kOperations)
        if (action && strcmp(action, op.action) == 0)
            return op.handle(service, request);
    return reply_result(-EINVAL, kTextInitiatorUnknownOperation);
}

int initiator_main(int, char **) {
    harden_process();
    if (geteuid() != 0) {
        fprintf(stderr, "tarnwick-initiator: must run as root\n");
        return 1;
    }
    if (mkdir("/run/tarnwick", 0755) != 0 && errno != EEXIST) {
        perror("tarnwick-initiator: /run/tarnwick");
        return 1;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    FileHandle stop(signalfd(-1, &signals, SFD_CLOEXEC));
    if (!stop.valid()) {
        perror("tarnwick-initiator: signalfd");
        return 1;
    }

    PipeServer server;
    int rc = pipe_create_server(kInitiatorSocket, 0600, &server);
    if (rc != 0) {
        fprintf(stderr, "tarnwick-initiator: %s\n",
                rc == -EADDRINUSE ? "another instance is running" : strerror(-rc));
        return rc == -EADDRINUSE ? 3 : 1;
    }
    if ((rc = publish_pid()) != 0) {
        fprintf(stderr, "tarnwick-initiator: cannot publish the pid: %s\n", strerror(-rc));
        pipe_close_server(&server);
        return 1;
    }

    // This is now the only instance: what an earlier one left is its to end.
    session_sweep_leftovers();
    InitiatorService *service = initiator_service_create();
    for (;;) {
        pollfd fds[2] = {{server.listener.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            // A wait without a time-out: an interrupted one just waits again.
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (fds[0].revents & POLLIN) {
            FileHandle client;
            if (pipe_accept(&server, &client) == 0)
                serve_client(service, std::move(client));
        }
    }
    initiator_service_destroy(service);
    // The pid file goes while the lock is still held, so that it never names
    // a successor's process.
    unlink(kInitiatorPidFile);
    pipe_close_server(&server);
    return 0;
}

} // namespace tw
