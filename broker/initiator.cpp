#include "broker/initiator.h"

#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "platform/socket_owner.h"
#include "runtime/pipes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kInitiatorPidFile = "/run/tarnwick/initiator.pid";
constexpr const char *kInitiatorSocket = "/run/tarnwick/initiator.sock";
constexpr const char *kInitiatorProgram = "tarnwick-initiator";
constexpr int kConnectTimeoutMs = 5000;
// A login may wait for the target's own time-out, and the service answers
// one request at a time.
constexpr int kReplyTimeoutMs = 60000;
constexpr int kStartTimeoutMs = 10000;

std::string g_program_for_testing;

// 0 and *running, or a negative errno for a pid file that cannot be trusted.
int initiator_running(bool *running) {
    *running = false;
    pid_t pid = 0;
    int rc = read_root_pid_file(kInitiatorPidFile, &pid);
    if (rc == -ENOENT)
        return 0;
    if (rc != 0)
        return rc;
    return process_identity(pid, running, nullptr, nullptr);
}

int program_path(std::string *out) {
    if (!g_program_for_testing.empty()) {
        *out = g_program_for_testing;
        return 0;
    }
    return program_file_path(kInitiatorProgram, out);
}

// Sends one request to the service (after checking that the socket is
// served by the initiator program as root) and returns its reply. The
// request is released in every case. 0 with *reply (the caller owns it;
// its "result" may still be negative), or a negative errno.
int exchange(JsonValue *request, JsonValue **reply) {
    *reply = nullptr;
    std::string program;
    int rc = program_path(&program);
    FileHandle fd;
    if (rc == 0)
        rc = pipe_connect(kInitiatorSocket, kConnectTimeoutMs, &fd);
    if (rc == 0 && !pipe_verify_server(fd.get(), program.c_str(), true))
        rc = -EPERM;
    if (rc == 0)
        rc = pipe_send_message(fd.get(), request) == 0 ? 0 : -EIO;
    if (JsonValue *secret = json_get(request, "chapSecret");
        secret && secret->kind == JsonKind::String)
        secure_wipe(secret->string_bytes, secret->string_length);
    json_free(request);
    if (rc != 0)
        return rc;
    JsonValue *answer = nullptr;
    if (pipe_receive_message(fd.get(), kReplyTimeoutMs, &answer) != 0)
        return -EIO;
    if (!json_has(answer, "result", JsonKind::Number)) {
        json_free(answer);
        return -EIO;
    }
    *reply = answer;
    return 0;
}

JsonValue *request_for(const char *action, const std::string *session = nullptr) {
    JsonValue *request = json_new(JsonKind::Object);
    if (!request)
        return nullptr;
    json_set_string(request, "action", action);
    if (session)
        json_set_string(request, "session", session->c_str());
    return request;
}

// The reply's result, or the exchange's error.
int simple_call(JsonValue *request) {
    if (!request)
        return -ENOMEM;
    JsonValue *reply = nullptr;
    int rc = exchange(request, &reply);
    if (rc != 0)
        return rc;
    rc = static_cast<int>(json_get_int(reply, "result", -EIO));
    json_free(reply);
    return rc;
}

int service_answers() {
    JsonValue *reply = nullptr;
    JsonValue *request = request_for("sessions");
    if (!request)
        return -ENOMEM;
    int rc = exchange(request, &reply);
    if (rc == 0)
        rc = static_cast<int>(json_get_int(reply, "result", -EIO));
    json_free(reply);
    return rc;
}

// ---- The userspace backend: tarnwick-initiator

int daemon_ensure_service() {
    bool running = false;
    int rc = initiator_running(&running);
    if (rc != 0)
        return rc;
    if (running && service_answers() == 0)
        return 0;
    if (!running) {
        std::string program;
        if ((rc = program_path(&program)) != 0)
            return rc;
        // A new process group and no tie to this process: the service must
        // outlive a broker restart.
        LaunchOptions options;
        options.new_process_group = true;
        options.stderr_fd = STDERR_FILENO;
        LaunchedProcess child;
        std::string argv[] = {program};
        if ((rc = launch_process(argv, options, &child)) != 0)
            return rc;
        if (child.pidfd >= 0)
            close(child.pidfd);
    }
    for (int waited = 0; waited < kStartTimeoutMs; waited += 50) {
        if (initiator_running(&running) == 0 && running && service_answers() == 0)
            return 0;
        sleep_ms(50);
    }
    return -ETIMEDOUT;
}

int daemon_login(const IscsiLogin &login, std::string *session, std::string *message) {
    message->clear();
    if (!login.chap_secret || !login.chap_secret->valid())
        return -EINVAL;
    JsonValue *request = request_for("login");
    if (!request)
        return -ENOMEM;
    json_set_string(request, "iqn", login.iqn.c_str());
    json_set_int(request, "port", login.port);
    json_set_string(request, "chapName", login.chap_name.c_str());
    json_set(request, "chapSecret",
             json_new_string_bytes(login.chap_secret->data(), login.chap_secret->size()));
    JsonValue *reply = nullptr;
    int rc = exchange(request, &reply);
    if (rc != 0)
        return rc;
    rc = static_cast<int>(json_get_int(reply, "result", -EIO));
    const char *id = json_get_string(reply, "session", nullptr);
    if (rc == 0 && !id)
        rc = -EIO;
    if (rc == 0)
        *session = id;
    else
        *message = json_get_string(reply, "error", "");
    json_free(reply);
    return rc;
}

int daemon_session_devices(const std::string &session, std::string *device, int *disk) {
    JsonValue *request = request_for("devices", &session);
    if (!request)
        return -ENOMEM;
    JsonValue *reply = nullptr;
    int rc = exchange(request, &reply);
    if (rc != 0)
        return rc;
    rc = static_cast<int>(json_get_int(reply, "result", -EIO));
    const char *path = json_get_string(reply, "device", nullptr);
    if (rc == 0 && !path)
        rc = -EIO;
    if (rc == 0) {
        *device = path;
        *disk = static_cast<int>(json_get_int(reply, "disk", -1));
    }
    json_free(reply);
    return rc;
}

int daemon_session_list(std::vector<std::string> *ids) {
    ids->clear();
    bool running = false;
    int rc = initiator_running(&running);
    if (rc != 0 || !running)
        return rc;
    JsonValue *request = request_for("sessions");
    if (!request)
        return -ENOMEM;
    JsonValue *reply = nullptr;
    if ((rc = exchange(request, &reply)) != 0)
        return rc;
    rc = static_cast<int>(json_get_int(reply, "result", -EIO));
    const JsonValue *list = json_get(reply, "sessions");
    if (rc == 0 && (!list || list->kind != JsonKind::Array))
        rc = -EIO;
    for (const JsonValue *id = rc == 0 ? json_first(list) : nullptr; id; id = json_next(id))
        if (id->kind == JsonKind::String)
            ids->push_back(json_string_bytes(id));
    json_free(reply);
    return rc;
}

int daemon_logout(const std::string &session) {
    bool running = false;
    int rc = initiator_running(&running);
    if (rc != 0 || !running)
        return rc;
    rc = simple_call(request_for("logout", &session));
    return rc == -ENOENT ? 0 : rc;
}

int daemon_set_write_protect(const std::string &session, bool enable) {
    JsonValue *request = request_for("write-protect", &session);
    if (!request)
        return -ENOMEM;
    json_set_bool(request, "enable", enable);
    return simple_call(request);
}

const IscsiBackend kUserspaceBackend = {
    "tarnwick-initiator",     daemon_ensure_service, daemon_login,
    daemon_session_devices,   daemon_logout,         daemon_session_list,
    daemon_set_write_protect,
};

const IscsiBackend &backend() {
    return kUserspaceBackend;
}

} // namespace

int ensure_iscsi_service() {
    return backend().ensure_service();
}

int iscsi_login(const IscsiLogin &login, std::string *session, std::string *message) {
    return backend().login(login, session, message);
}

int iscsi_session_devices(const std::string &session, std::string *device, int *disk) {
    return backend().session_devices(session, device, disk);
}

int iscsi_session_list(std::vector<std::string> *ids) {
    return backend().session_list(ids);
}

int iscsi_logout(const std::string &session) {
    return backend().logout(session);
}

int iscsi_set_write_protect(const std::string &session, bool enable) {
    return backend().set_write_protect(session, enable);
}

bool iscsi_session_exists(const std::vector<std::string> &ids, const std::string &session) {
    return !session.empty() && std::find(ids.begin(), ids.end(), session) != ids.end();
}

void iscsi_set_initiator_program_for_testing(const char *path) {
    g_program_for_testing = path ? path : "";
}

} // namespace tw
