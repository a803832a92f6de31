// Printing: results on standard output, failures and notices on standard
// error, and the progress indicator on a terminal.
#include "cli/cli.h"
#include "cli/texts.h"

#include "platform/io.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace tw {

std::string cli_version_text() {
    return std::string(kCliVersion) + " (build " + std::to_string(kCliBuild) + ")";
}

void cli_print(std::string_view text) {
    write_full(STDOUT_FILENO, std::string(text) + "\n");
}

void cli_print_error(std::string_view text) {
    write_full(STDERR_FILENO, std::string(text) + "\n");
}

void cli_print_json(const JsonValue *value) {
    size_t length = 0;
    char *text = json_serialize(value, &length);
    if (text == nullptr) {
        cli_print_error(kTextResultNotWritten);
        return;
    }
    cli_print(std::string_view(text, length));
    json_free_text(text);
}

int cli_fail(std::string_view code, std::string_view message) {
    cli_print_error(message.empty() ? kTextOperationFailed : message);
    return client_exit_code(code);
}

int cli_fail(const ClientOutcome &outcome) {
    return cli_fail(outcome.code, outcome.message);
}

void progress_line_init(ProgressLine *line, bool json) {
    line->enabled = !json && ::isatty(STDERR_FILENO);
    line->shown = false;
    line->last.clear();
}

void progress_line_update(void *opaque, const char *phase, double fraction) {
    auto *line = static_cast<ProgressLine *>(opaque);
    if (!line->enabled)
        return;
    int percent = static_cast<int>(std::floor(fraction * 100.0));
    std::string text =
        std::string(phase != nullptr ? phase : "exporting") + " " + std::to_string(percent) + "%";
    if (line->shown && text == line->last)
        return;
    // Carriage return and erase-to-end-of-line: the indicator stays one line.
    write_full(STDERR_FILENO, "\r\033[K" + text);
    line->shown = true;
    line->last = std::move(text);
}

void progress_line_clear(ProgressLine *line) {
    if (line->shown)
        write_full(STDERR_FILENO, "\r\033[K");
    line->shown = false;
    line->last.clear();
}

} // namespace tw
