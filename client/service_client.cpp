// The client's side of the per-user mount service: one framed JSON request
// per connection on the user's private socket, the service started from this
// program's folder when it is not running, and its replies turned into
// outcomes.
#include "client/client.h"

#include "platform/clock.h"
#include "platform/fingerprint.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "runtime/mount_preferences.h"
#include "runtime/pipes.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

namespace tw {

namespace {

constexpr int kConnectTimeoutMs = 5000;
// Waiting for a service this client started: 100 tries, 50 ms apart, each
// connect waiting up to 1000 ms while the service's queue is full.
constexpr int kStartTries = 100;
constexpr int kStartPollMs = 50;
constexpr int kStartConnectTimeoutMs = 1000;
// Waiting for a stopped service's process to end.
constexpr int kStopTries = 100;
constexpr int kStopPollMs = 50;

constexpr const char *kServiceProgram = "tarnwick-service";
constexpr const char *kWorkerProgram = "tarnwick-worker";

constexpr const char *kNoIdentity = "Cannot identify your account's mount service.";
constexpr const char *kNotRunning = "The mount service is not running.";
constexpr const char *kCouldNotStart = "The mount service could not start. Check the installation "
                                       "and runtime directory permissions.";
constexpr const char *kAccessDenied =
    "Cannot connect to the private mount service: access was denied.";
constexpr const char *kBusy = "The private mount service is busy. Try again shortly.";
constexpr const char *kConnectFailed =
    "Cannot connect to the private mount service (Linux error %d).";
constexpr const char *kNotInstalled =
    "The mount service is not the installed Tarnwick service. Nothing was sent to it.";
constexpr const char *kNotDelivered =
    "The mount request could not be delivered. Refresh the sessions before retrying.";
constexpr const char *kNoReply = "The mount service did not reply. Refresh the sessions before "
                                 "retrying; the operation may have finished.";
constexpr const char *kIncompatibleReply = "The mount service returned an incompatible reply.";
constexpr const char *kUpgradeNeeded =
    "The running mount service does not support this operation. Unmount all containers before "
    "restarting the service with this build. Existing mounts have been left running.";
constexpr const char *kMountFailed = "The mount operation failed.";
constexpr const char *kInvalidPreferences = "Invalid mount preferences.";
constexpr const char *kNotAuthorized = "The mount service did not authorize this request. Refresh "
                                       "its status before retrying.";
constexpr const char *kNoRepairReport = "The mount service returned no repair report.";
constexpr const char *kSelectContainer = "Select an existing regular container file.";
constexpr const char *kOlderService =
    "This older mount service cannot restart itself safely. Unmount all containers, quit other "
    "Tarnwick copies, and sign out before opening this build.";
constexpr const char *kStillStopping =
    "The mount service has not finished stopping. Refresh its status before retrying.";
constexpr const char *kHelpersMissing = "The replacement mount helpers changed or are missing. "
                                        "Reinstall Tarnwick before restarting the service.";
constexpr const char *kOtherService = "Another Tarnwick copy started a different mount service. "
                                      "Quit that copy, then retry the service update.";

bool file_exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Starts the service from this program's folder as a daemon of its own: it
// outlives this client and is never its child.
bool start_service(const std::string &program) {
    const std::string argv[] = {program};
    LaunchOptions options;
    options.detached = true;
    options.session_bus = true; // saved passwords live in the user's keyring
    LaunchedProcess started;
    return launch_process(argv, options, &started) == 0;
}

// Connects to the service, starting it first when allowed. 0, -ESRCH when
// no service runs and none may be started, or another failure in out.
int connect_service(bool may_start, FileHandle *connection, ClientOutcome *out) {
    std::string path;
    if (session_socket_path(&path) != 0)
        return client_fail(out, "service", kNoIdentity);
    int rc = pipe_connect(path.c_str(), kConnectTimeoutMs, connection);
    if (rc == -ENOENT || rc == -ECONNREFUSED) {
        if (!may_start) {
            client_fail(out, "service", kNotRunning);
            return -ESRCH;
        }
        std::string program;
        if (program_file_path(kServiceProgram, &program) != 0 || !start_service(program))
            return client_fail(out, "service", kCouldNotStart);
        rc = -ENOENT;
        for (int i = 0; i < kStartTries && rc != 0; i++) {
            sleep_ms(kStartPollMs);
            rc = pipe_connect(path.c_str(), kStartConnectTimeoutMs, connection);
        }
        if (rc != 0)
            return client_fail(out, "service", kCouldNotStart);
    }
    if (rc == -EACCES || rc == -EPERM)
        return client_fail(out, "service", kAccessDenied);
    if (rc == -EAGAIN)
        return client_fail(out, "service", kBusy);
    if (rc != 0) {
        char *text = format_alloc(kConnectFailed, -rc);
        int result = client_fail(out, "service", text != nullptr ? text : kCouldNotStart);
        std::free(text);
        return result;
    }
    return 0;
}

// A copy of the request with "version" and "operationID" filled in.
JsonValue *complete_request(const JsonValue *request) {
    JsonValue *copy = json_clone(request);
    if (copy == nullptr)
        return nullptr;
    if (!json_has(copy, "version", JsonKind::Number))
        json_set_int(copy, "version", 1);
    if (!json_has(copy, "operationID", JsonKind::String)) {
        char id[kUuidTextSize];
        if (!uuid_generate(id)) {
            json_free(copy);
            return nullptr;
        }
        json_set_string(copy, "operationID", id);
    }
    return copy;
}

// Sends a completed request and takes its reply apart.
int exchange(const JsonValue *request, bool may_start, ClientOutcome *out) {
    FileHandle connection;
    int rc = connect_service(may_start, &connection, out);
    if (rc != 0)
        return rc;
    std::string program;
    if (program_file_path(kServiceProgram, &program) != 0 ||
        !pipe_verify_server(connection.get(), program.c_str(), false))
        return client_fail(out, "service", kNotInstalled);
    if (pipe_send_message(connection.get(), request) != 0)
        return client_fail(out, "transport", kNotDelivered);
    JsonValue *reply = nullptr;
    if (pipe_receive_message(connection.get(), kPipeWaitForever, &reply) != 0)
        return client_fail(out, "transport", kNoReply);

    const JsonValue *version = json_get(reply, "version");
    const char *sent_id = json_get_string(request, "operationID", "");
    const char *reply_id = json_get_string(reply, "operationID", nullptr);
    if (version == nullptr || version->kind != JsonKind::Number || !version->is_integer ||
        version->int_value != 1 || reply_id == nullptr || strcasecmp(sent_id, reply_id) != 0) {
        json_free(reply);
        return client_fail(out, "protocol", kIncompatibleReply);
    }
    const JsonValue *error = json_get(reply, "error");
    if (error != nullptr && error->kind == JsonKind::Object) {
        std::string code = json_get_string(error, "code", "mount");
        std::string message = json_get_string(error, "message", kMountFailed);
        json_free(reply);
        if (code == "protocol" && json_get_int(request, "version", 1) >= 2)
            return client_fail(out, "serviceUpgrade", kUpgradeNeeded);
        return client_fail(out, code, message);
    }
    out->reset();
    out->result = reply;
    return 0;
}

// Replaces the outcome's reply with a copy of one of its members (an empty
// array when absent or of another kind).
void keep_array_member(ClientOutcome *out, const char *name) {
    const JsonValue *member = json_get(out->result, name);
    JsonValue *kept = member != nullptr && member->kind == JsonKind::Array
                          ? json_clone(member)
                          : json_new(JsonKind::Array);
    json_free(out->result);
    out->result = kept;
}

JsonValue *action_request(int version, const char *action) {
    JsonValue *request = json_new(JsonKind::Object);
    json_set_int(request, "version", version);
    json_set_string(request, "action", action);
    return request;
}

int request_and_free(JsonValue *request, bool may_start, ClientOutcome *out) {
    if (request == nullptr)
        return client_fail(out, "service", kCouldNotStart);
    int rc = service_request(request, may_start, out);
    json_free(request);
    return rc;
}

// The base64 text of a kind-1 credential request (cipher 255: the worker
// detects the cipher), or a failure in out.
int credentials_text(std::span<const uint8_t> password, std::span<const uint8_t> system_key,
                     uint32_t cipher, std::string *text, ClientOutcome *out) {
    SecureBuffer record;
    CredentialInput input;
    input.kind = 1;
    input.cipher = cipher;
    input.password = password;
    input.system_key = system_key;
    int rc = credential_request_build(input, &record, out);
    if (rc != 0)
        return rc;
    char *encoded = base64_encode(record.data(), record.size());
    record.wipe();
    if (encoded == nullptr)
        return client_fail(out, "credentials", "Could not read a password.");
    text->assign(encoded);
    wipe_and_free_text(encoded);
    return 0;
}

// Wipes a text that held a secret before it is released.
void wipe_string(std::string *text) {
    secure_wipe(text->data(), text->size());
    text->clear();
}

// Whether a process (id and start time) has ended.
bool wait_process_end(pid_t pid, uint64_t start) {
    for (int i = 0; i < kStopTries; i++) {
        if (!process_is_same(pid, start))
            return true;
        sleep_ms(kStopPollMs);
    }
    return !process_is_same(pid, start);
}

} // namespace

std::string session_service_state() {
    std::string program;
    if (program_file_path(kServiceProgram, &program) != 0 || !file_exists(program))
        return "missing";
    std::string path;
    FileHandle connection;
    if (session_socket_path(&path) != 0 || pipe_connect(path.c_str(), 1000, &connection) != 0)
        return "stopped";
    return pipe_verify_server(connection.get(), program.c_str(), false) ? "running" : "stopped";
}

int service_request(const JsonValue *request, bool may_start, ClientOutcome *out) {
    out->reset();
    JsonValue *complete = complete_request(request);
    if (complete == nullptr)
        return client_fail(out, "service", kCouldNotStart);
    int rc = exchange(complete, may_start, out);
    json_free(complete);
    return rc;
}

int service_list(bool may_start, ClientOutcome *out) {
    int rc = request_and_free(action_request(1, "list"), may_start, out);
    if (rc == -ESRCH) {
        out->reset();
        out->result = json_new(JsonKind::Array);
        return 0;
    }
    if (rc == 0)
        keep_array_member(out, "sessions");
    return rc;
}

int service_status_from_reply(const JsonValue *reply, JsonValue **status) {
    JsonValue *object = json_new(JsonKind::Object);
    if (object == nullptr)
        return -ENOMEM;
    bool empty = true;
    for (const char *name : {"sessions", "warnings"}) {
        const JsonValue *member = json_get(reply, name);
        const bool array = member != nullptr && member->kind == JsonKind::Array;
        if (array && json_first(member) != nullptr)
            empty = false;
        json_set(object, name, array ? json_clone(member) : json_new(JsonKind::Array));
    }
    const JsonValue *service = json_get(reply, "service");
    bool update = true;
    bool can_restart = empty;
    if (service != nullptr && service->kind == JsonKind::Object) {
        std::string build, program;
        if (installation_fingerprint(&build) == 0 &&
            program_file_path(kServiceProgram, &program) == 0)
            update = build != json_get_string(service, "build", "") ||
                     strcasecmp(program.c_str(), json_get_string(service, "path", "")) != 0;
        can_restart = json_get_bool(service, "canRestart", can_restart);
    }
    json_set_bool(object, "serviceUpdateAvailable", update);
    json_set_bool(object, "canRestartService", can_restart);
    *status = object;
    return 0;
}

namespace {

// Replaces the outcome's reply with the status object built from it.
int keep_status(ClientOutcome *out) {
    JsonValue *status = nullptr;
    int rc = service_status_from_reply(out->result, &status);
    json_free(out->result);
    out->result = status;
    return rc == 0 ? 0 : client_fail(out, "service", kIncompatibleReply);
}

} // namespace

int service_status(bool may_start, ClientOutcome *out) {
    int rc = request_and_free(action_request(1, "list"), may_start, out);
    if (rc == -ESRCH) {
        // No service runs: nothing is mounted, and a new one would be current.
        JsonValue *empty = json_new(JsonKind::Object);
        rc = service_status_from_reply(empty, &out->result);
        json_free(empty);
        out->code.clear();
        out->message.clear();
        json_set_bool(out->result, "serviceUpdateAvailable", false);
        return rc;
    }
    if (rc != 0)
        return rc;
    return keep_status(out);
}

int service_mount(const MountRequest &request, ClientOutcome *out) {
    out->reset();
    std::string code, message;
    if (mount_preferences_check(request.preferences, &code, &message) != 0)
        return client_fail(out, code, message);
    std::string path;
    if (resolve_full_path(request.path, &path) != 0)
        return client_fail(out, "source", kSelectContainer);

    bool read_only = mount_preferences_read_only(request.preferences);
    JsonValue *prepare = action_request(read_only ? 5 : 7, "prepare-mount");
    char id[kUuidTextSize];
    if (prepare == nullptr || !uuid_generate(id)) {
        json_free(prepare);
        return client_fail(out, "service", kCouldNotStart);
    }
    json_set_string(prepare, "operationID", id);
    json_set_string(prepare, "path", path.c_str());
    if (request.partition > 0)
        json_set_int(prepare, "partition", request.partition);
    JsonValue *preferences = request.preferences != nullptr ? json_clone(request.preferences)
                                                            : json_new(JsonKind::Object);
    json_remove(preferences, "readOnly");
    json_set_bool(preferences, "readOnly", read_only);
    json_set(prepare, "preferences", preferences);
    if (!request.entry_id.empty())
        json_set_string(prepare, "entryID", request.entry_id.c_str());
    json_set_bool(prepare, "remember", request.remember);

    int rc = service_request(prepare, true, out);
    if (rc != 0) {
        json_free(prepare);
        return rc;
    }
    const char *ticket = json_get_string(out->result, "mountTicket", nullptr);
    const char *instance = json_get_string(json_get(out->result, "service"), "instance", nullptr);
    if (ticket == nullptr || instance == nullptr) {
        json_free(prepare);
        return client_fail(out, "protocol", kNotAuthorized);
    }
    JsonValue *mount = prepare;
    json_remove(mount, "action");
    json_set_string(mount, "action", "mount");
    json_set_string(mount, "mountTicket", ticket);
    json_set_string(mount, "serviceInstance", instance);
    std::string credentials;
    rc = credentials_text(request.password, request.system_key, request.unlock_cipher, &credentials,
                          out);
    if (rc != 0) {
        json_free(mount);
        return rc;
    }
    json_set_string(mount, "credentials", credentials.c_str());
    wipe_string(&credentials);

    rc = service_request(mount, true, out);
    // The ticket makes a second delivery safe: the service mounts once.
    if (rc != 0 && out->code == "transport")
        rc = service_request(mount, true, out);
    json_free(mount);
    if (rc == 0)
        keep_array_member(out, "sessions");
    return rc;
}

int service_repair(std::string_view path, std::span<const uint8_t> password, ClientOutcome *out) {
    return service_repair_unlocking(path, password, {}, 255, out);
}

int service_repair_unlocking(std::string_view path, std::span<const uint8_t> password,
                             std::span<const uint8_t> system_key, uint32_t unlock_cipher,
                             ClientOutcome *out) {
    out->reset();
    std::string full;
    if (resolve_full_path(path, &full) != 0)
        return client_fail(out, "source", kSelectContainer);
    std::string credentials;
    int rc = credentials_text(password, system_key, unlock_cipher, &credentials, out);
    if (rc != 0)
        return rc;
    JsonValue *request = action_request(8, "repair");
    json_set_string(request, "path", full.c_str());
    json_set_string(request, "credentials", credentials.c_str());
    wipe_string(&credentials);
    rc = request_and_free(request, true, out);
    if (rc != 0)
        return rc;
    const JsonValue *report = json_get(out->result, "repair");
    if (report == nullptr || report->kind != JsonKind::Object)
        return client_fail(out, "protocol", kNoRepairReport);
    JsonValue *kept = json_clone(report);
    json_free(out->result);
    out->result = kept;
    return 0;
}

int service_unmount(std::string_view session_id, ClientOutcome *out) {
    JsonValue *request = action_request(1, "unmount");
    json_set_string(request, "sessionID", std::string(session_id).c_str());
    int rc = request_and_free(request, true, out);
    if (rc == 0)
        keep_array_member(out, "sessions");
    return rc;
}

int service_preferences(std::string_view session_id, const JsonValue *preferences,
                        ClientOutcome *out) {
    std::string code, message;
    if (preferences == nullptr)
        return client_fail(out, "protocol", kInvalidPreferences);
    if (mount_preferences_check(preferences, &code, &message) != 0)
        return client_fail(out, code, message);
    JsonValue *request = action_request(2, "preferences");
    json_set_string(request, "sessionID", std::string(session_id).c_str());
    json_set(request, "preferences", json_clone(preferences));
    int rc = request_and_free(request, true, out);
    if (rc == 0)
        keep_array_member(out, "sessions");
    return rc;
}

int service_login(ClientOutcome *out) {
    int rc = request_and_free(action_request(3, "login"), true, out);
    if (rc != 0)
        return rc;
    return keep_status(out);
}

int service_forget(std::string_view entry_id, ClientOutcome *out) {
    JsonValue *request = action_request(2, "forget");
    json_set_string(request, "entryID", std::string(entry_id).c_str());
    int rc = request_and_free(request, true, out);
    if (rc == 0) {
        json_free(out->result);
        out->result = json_new(JsonKind::Object);
    }
    return rc;
}

int service_stop(ClientOutcome *out) {
    // The service has ended (or never ran): an empty object.
    auto stopped = [out] {
        out->reset();
        out->result = json_new(JsonKind::Object);
        return 0;
    };
    int rc = request_and_free(action_request(1, "list"), false, out);
    if (rc == -ESRCH)
        return stopped();
    if (rc != 0)
        return rc;
    const JsonValue *service = json_get(out->result, "service");
    if (service == nullptr || service->kind != JsonKind::Object)
        return client_fail(out, "serviceUpgrade", kOlderService);
    const pid_t pid = static_cast<pid_t>(json_get_int(service, "pid", 0));
    const uint64_t start = static_cast<uint64_t>(json_get_int(service, "start", 0));
    JsonValue *shutdown = action_request(4, "shutdown");
    json_set_string(shutdown, "serviceInstance", json_get_string(service, "instance", ""));
    rc = request_and_free(shutdown, false, out);
    if (rc == -ESRCH)
        return stopped();
    if (rc != 0)
        return rc;
    if (!wait_process_end(pid, start))
        return client_fail(out, "serviceUpgrade", kStillStopping);
    return stopped();
}

int service_restart(ClientOutcome *out) {
    out->reset();
    std::string service, worker;
    if (program_file_path(kServiceProgram, &service) != 0 || !file_exists(service) ||
        program_file_path(kWorkerProgram, &worker) != 0 || !file_exists(worker))
        return client_fail(out, "installation", kHelpersMissing);
    int rc = service_stop(out);
    if (rc != 0)
        return rc;
    rc = service_status(true, out);
    if (rc != 0)
        return rc;
    if (json_get_bool(out->result, "serviceUpdateAvailable", true))
        return client_fail(out, "serviceUpgrade", kOtherService);
    return 0;
}

} // namespace tw
