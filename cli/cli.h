// The command line's pieces: options, commands, output.
#pragma once

#include "client/client.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The version text "0.1.1 (build 108)" and its parts.
inline constexpr const char *kCliVersion = "0.1.1";
inline constexpr int kCliBuild = 108;
std::string cli_version_text();

// The command line after the options were taken out: the command and its
// positional arguments, and the options' values.
struct CliArgs {
    std::vector<std::string> words; // words[0] is the command
    bool json = false;
    bool password_stdin = false;
    bool credentials_stdin = false;
    CompressionChoice compression;
    bool algorithm_given = false;
    uint32_t algorithm = 9;
    bool experimental_write = false;
    bool full = false; // verify --full
    bool label_given = false;
    std::string label;
    int partition = 0;
};

// Takes the options out of args (everything after the program name) in
// their fixed order and checks each against the command. --algorithm asks
// the engine for its ciphers. 0, or a failure in out (usually "usage").
int cli_parse_options(EngineRunContext *ctx, std::vector<std::string> args, CliArgs *parsed,
                      ClientOutcome *out);

// A whole unsigned decimal number: digits only (no sign, no spaces), at most
// 19 of them so that it cannot overflow.
bool cli_parse_decimal(const std::string &text, uint64_t *value);

// Runs the command; returns the exit code.
int cli_run_command(EngineRunContext *ctx, const CliArgs &args);

// The program: start-up, options, dispatch. Returns the exit code.
int cli_main(int argc, char **argv);

// ---- Output ----

// A line (a line feed is added) on standard output or standard error.
void cli_print(std::string_view text);
void cli_print_error(std::string_view text);
// A JSON value as one compact line on standard output.
void cli_print_json(const JsonValue *value);
// Prints a failure ("The operation failed." when it has no message) and
// returns its exit code.
int cli_fail(const ClientOutcome &outcome);
int cli_fail(std::string_view code, std::string_view message);

// The usage text with the version in it.
std::string cli_usage_text();

// A one-line progress indicator on standard error while an engine runs,
// only when standard error is a terminal and the output is not JSON.
struct ProgressLine {
    bool enabled = false;
    bool shown = false;
    std::string last;
};
void progress_line_init(ProgressLine *line, bool json);
void progress_line_update(void *line, const char *phase, double fraction);
// Removes the indicator from the terminal (before anything else is printed).
void progress_line_clear(ProgressLine *line);

// The commands the mount service runs (mount, unmount, repair, sessions,
// service-status, restart-service, stop-service): the exit code, or -1 for
// any other command.
int cli_service_command(EngineRunContext *ctx, const CliArgs &args);

// The "doctor" command.
int cli_doctor(const CliArgs &args);

// The "benchmark" command.
int cli_benchmark(EngineRunContext *ctx, const CliArgs &args);

} // namespace tw
