// The commands the mount service runs: mount, unmount, repair, sessions and
// the service's own status, restart and stop.
#include "cli/cli.h"
#include "cli/texts.h"

#include "runtime/text.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace tw {

namespace {

// Reads the one password of mount and repair.
int read_mount_password(const CliArgs &args, SecureBuffer *password, ClientOutcome *out) {
    if (args.password_stdin)
        return read_password_stdin(password, out);
    return read_password_console(kTextPasswordPrompt, password, out);
}

int password_failure(const EngineRunContext *ctx, const ClientOutcome &outcome) {
    if (ctx->cancel_requested.load())
        return cli_fail("cancelled", kTextCancelled);
    return cli_fail(outcome);
}

// The sessions as the service lists them: each on a line of its own, with
// where it is mounted and what it says underneath.
void print_sessions_lines(const JsonValue *sessions) {
    if (json_first(sessions) == nullptr) {
        cli_print(kTextNoSessions);
        return;
    }
    for (const JsonValue *s = json_first(sessions); s != nullptr; s = json_next(s)) {
        const std::string phase = json_get_string(s, "phase", "");
        cli_print(std::string(json_get_string(s, "id", "")) + "  " + phase + "  " +
                  json_get_string(s, "path", ""));
        const char *mount_point = json_get_string(s, "mountPoint", "");
        if (phase == "mounted" && *mount_point != '\0')
            cli_print(std::string(kTextMountPointLine) + mount_point);
        const char *message = json_get_string(s, "message", nullptr);
        if (message != nullptr)
            cli_print(std::string("  ") + message);
    }
}

// Characters of a UTF-8 text (its continuation bytes do not count), so
// columns line up for paths with accented letters.
size_t utf8_display_length(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// The same as an aligned table, for reading many sessions at a glance.
void print_sessions_table(const JsonValue *sessions) {
    if (json_first(sessions) == nullptr) {
        cli_print(kTextNoSessions);
        return;
    }
    struct Row {
        std::string cells[4];
        std::string message;
    };
    std::vector<Row> rows;
    rows.push_back({{"SESSION", "PHASE", "MOUNT POINT", "CONTAINER"}, {}});
    for (const JsonValue *s = json_first(sessions); s != nullptr; s = json_next(s)) {
        const std::string phase = json_get_string(s, "phase", "");
        std::string mount_point = json_get_string(s, "mountPoint", "");
        if (phase != "mounted" || mount_point.empty())
            mount_point.assign(1, '-'); // (GCC 12 -O3 misreads the assignment of a literal)
        rows.push_back(
            {{json_get_string(s, "id", ""), phase, mount_point, json_get_string(s, "path", "")},
             json_get_string(s, "message", "")});
    }
    size_t width[3] = {0, 0, 0};
    for (const Row &r : rows)
        for (size_t i = 0; i < 3; i++)
            width[i] = std::max(width[i], utf8_display_length(r.cells[i]));
    for (const Row &r : rows) {
        std::string line;
        for (size_t i = 0; i < 3; i++)
            line += r.cells[i] + std::string(width[i] - utf8_display_length(r.cells[i]) + 2, ' ');
        cli_print(line + r.cells[3]);
        if (!r.message.empty())
            cli_print("  " + r.message);
    }
}

const JsonValue *sessions_of(const ClientOutcome &outcome) {
    return outcome.result;
}

int run_mount(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 2)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    SecureBuffer password;
    if (read_mount_password(args, &password, &outcome) != 0)
        return password_failure(ctx, outcome);
    JsonValue *preferences = json_new(JsonKind::Object);
    json_set_bool(preferences, "readOnly", !args.experimental_write);
    if (args.label_given)
        json_set_string(preferences, "volumeLabel", args.label.c_str());
    MountRequest request;
    request.path = args.words[1];
    request.password = password.span();
    request.partition = args.partition;
    request.preferences = preferences;
    int rc = service_mount(request, &outcome);
    password.wipe();
    json_free(preferences);
    if (rc != 0)
        return cli_fail(outcome);
    if (args.json)
        cli_print_json(sessions_of(outcome));
    else
        print_sessions_lines(sessions_of(outcome));
    return 0;
}

int run_unmount(const CliArgs &args) {
    std::string id = args.words.size() == 2 ? args.words[1] : std::string();
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (args.words.size() != 2 || !uuid_is_valid(id.c_str()))
        return cli_fail("usage", kTextUnmountUsage);
    ClientOutcome outcome;
    if (service_unmount(id, &outcome) != 0)
        return cli_fail(outcome);
    if (args.json)
        cli_print_json(outcome.result);
    else
        cli_print(kTextUnmounted);
    return 0;
}

int run_repair(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 2)
        return cli_fail("usage", kTextRepairUsage);
    ClientOutcome outcome;
    SecureBuffer password;
    if (read_mount_password(args, &password, &outcome) != 0)
        return password_failure(ctx, outcome);
    int rc = service_repair(args.words[1], password.span(), &outcome);
    password.wipe();
    if (rc != 0)
        return cli_fail(outcome);
    const JsonValue *report = outcome.result;
    const bool clean = json_get_bool(report, "repairClean", false);
    const char *marker_error = json_get_string(report, "markerError", "");
    if (args.json) {
        cli_print_json(report);
    } else {
        const char *output = json_get_string(report, "repairOutput", "");
        if (*output != '\0')
            cli_print(output);
        char *line =
            format_alloc(kTextRepairResult, json_get_string(report, "filesystem", "Filesystem"),
                         clean ? "clean" : "problems remain",
                         static_cast<long long>(json_get_int(report, "repairStatus", -1)));
        cli_print(line != nullptr ? line : "");
        std::free(line);
        const char *repair_error = json_get_string(report, "repairError", "");
        if (*repair_error != '\0')
            cli_print(repair_error);
        if (*marker_error != '\0')
            cli_print(marker_error);
        else if (clean)
            cli_print(kTextWriteAccessAgain);
    }
    return clean && *marker_error == '\0' ? 0 : 1;
}

int run_sessions(const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (service_list(true, &outcome) != 0)
        return cli_fail(outcome);
    if (args.json)
        cli_print_json(outcome.result);
    else
        print_sessions_table(outcome.result);
    return 0;
}

void print_status(const CliArgs &args, const JsonValue *status) {
    if (args.json) {
        cli_print_json(status);
        return;
    }
    cli_print(
        std::string("Mount service: ") +
        (json_get_bool(status, "serviceUpdateAvailable", true) ? "update available" : "current"));
    cli_print(json_get_bool(status, "canRestartService", false) ? kTextServiceCanRestart
                                                                : kTextServiceCannotRestart);
    for (const JsonValue *w = json_first(json_get(status, "warnings")); w != nullptr;
         w = json_next(w))
        if (w->kind == JsonKind::String)
            cli_print(w->string_bytes);
}

int run_service_status(const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (service_status(true, &outcome) != 0)
        return cli_fail(outcome);
    print_status(args, outcome.result);
    return 0;
}

int run_restart_service(const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (service_restart(&outcome) != 0)
        return cli_fail(outcome);
    print_status(args, outcome.result);
    return 0;
}

int run_stop_service(const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (service_stop(&outcome) != 0)
        return cli_fail(outcome);
    if (args.json) {
        JsonValue *stopped = json_new(JsonKind::Object);
        json_set_bool(stopped, "stopped", true);
        cli_print_json(stopped);
        json_free(stopped);
    } else {
        cli_print(kTextServiceStopped);
    }
    return 0;
}

} // namespace

int cli_service_command(EngineRunContext *ctx, const CliArgs &args) {
    const std::string &command = args.words[0];
    if (command == "mount")
        return run_mount(ctx, args);
    if (command == "unmount")
        return run_unmount(args);
    if (command == "repair")
        return run_repair(ctx, args);
    if (command == "sessions")
        return run_sessions(args);
    if (command == "service-status")
        return run_service_status(args);
    if (command == "restart-service")
        return run_restart_service(args);
    if (command == "stop-service")
        return run_stop_service(args);
    return -1;
}

} // namespace tw
