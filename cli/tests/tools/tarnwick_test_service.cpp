// A scripted stand-in for the mount service, for tests of the client's side
// of the protocol; built with the tests and never installed. Copied next to
// a test's copy of tarnwick as "tarnwick-service", it serves this user's
// session socket like the real one and answers each request with the next
// entry of "service-script.json" beside it:
//
//   {"replies": [ENTRY, ...]}
//
// An ENTRY is the reply to send, with "version" 1 and the request's
// "operationID" filled in unless it has them, and these controls (removed
// before sending): "_drop": true closes the connection unanswered;
// "_self": true adds a "service" object describing this process (instance
// "00000000-0000-4000-8000-000000000001", its pid, start time and path, the
// installation's build, "canRestart" true unless the entry gives
// "_canRestart": false); "_exit": true ends the service after this request.
// Every request received is appended as one line to "service-requests.txt".
// The service also ends when the script runs out, and after 20 s without a
// request, so that no test leaves it behind.
#include "platform/fingerprint.h"
#include "platform/process.h"
#include "runtime/pipes.h"

#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *kInstance = "00000000-0000-4000-8000-000000000001";
constexpr int kIdleMs = 20000;

std::string own_folder() {
    std::string exe;
    if (tw::process_image_path(getpid(), &exe) != 0)
        return {};
    return exe.substr(0, exe.rfind('/'));
}

void log_request(const std::string &folder, const tw::JsonValue *request) {
    char *text = tw::json_serialize(request);
    if (text == nullptr)
        return;
    FILE *f = std::fopen((folder + "/service-requests.txt").c_str(), "a");
    if (f != nullptr) {
        std::fprintf(f, "%s\n", text);
        std::fclose(f);
    }
    tw::json_free_text(text);
}

void add_self(tw::JsonValue *reply, bool can_restart) {
    tw::JsonValue *service = tw::json_new(tw::JsonKind::Object);
    uint64_t start = 0;
    tw::process_identity(getpid(), nullptr, &start, nullptr);
    std::string exe, build;
    tw::process_image_path(getpid(), &exe);
    tw::installation_fingerprint(&build);
    tw::json_set_string(service, "instance", kInstance);
    tw::json_set_int(service, "pid", getpid());
    tw::json_set_int(service, "start", static_cast<int64_t>(start));
    tw::json_set_string(service, "path", exe.c_str());
    tw::json_set_string(service, "build", build.c_str());
    tw::json_set_bool(service, "canRestart", can_restart);
    tw::json_set(reply, "service", service);
}

} // namespace

int main() {
    tw::harden_process();
    const std::string folder = own_folder();
    tw::JsonValue *script = tw::json_read_file((folder + "/service-script.json").c_str(), 1 << 20);
    std::string path;
    tw::PipeServer server;
    if (script == nullptr || tw::session_socket_path(&path) != 0 ||
        tw::pipe_create_server(path.c_str(), 0600, &server) != 0)
        return 1;
    tw::JsonValue *entry = tw::json_first(tw::json_get(script, "replies"));
    while (entry != nullptr) {
        pollfd p{server.listener.get(), POLLIN, 0};
        if (::poll(&p, 1, kIdleMs) <= 0)
            break;
        tw::FileHandle client;
        if (tw::pipe_accept(&server, &client) != 0)
            continue;
        tw::JsonValue *request = nullptr;
        if (tw::pipe_receive_message(client.get(), 10000, &request) != 0)
            continue;
        log_request(folder, request);
        tw::JsonValue *reply = tw::json_clone(entry);
        const bool drop = tw::json_get_bool(reply, "_drop", false);
        const bool exit_after = tw::json_get_bool(reply, "_exit", false);
        if (tw::json_get_bool(reply, "_self", false))
            add_self(reply, tw::json_get_bool(reply, "_canRestart", true));
        for (const char *control : {"_drop", "_exit", "_self", "_canRestart"})
            tw::json_remove(reply, control);
        if (!tw::json_has(reply, "version", tw::JsonKind::Number))
            tw::json_set_int(reply, "version", 1);
        if (!tw::json_has(reply, "operationID", tw::JsonKind::String))
            tw::json_set_string(reply, "operationID",
                                tw::json_get_string(request, "operationID", ""));
        entry = tw::json_next(entry);
        // The last answer goes out after the socket is gone, so the next
        // client never reaches a service that is about to end.
        if (exit_after || entry == nullptr)
            tw::pipe_close_server(&server);
        if (!drop)
            tw::pipe_send_message(client.get(), reply);
        tw::json_free(reply);
        tw::json_free(request);
        if (exit_after)
            break;
    }
    if (server.listener.get() >= 0)
        tw::pipe_close_server(&server);
    tw::json_free(script);
    return 0;
}
