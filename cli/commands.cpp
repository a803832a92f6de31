// Start-up, dispatch and the engine file operations of the command line.
#include "cli/cli.h"
#include "cli/texts.h"

#include "platform/process.h"
#include "runtime/engine_commands.h"
#include "runtime/text.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tw {

namespace {

// The run context of the engine operation in progress. Ctrl+C (SIGINT) and
// SIGTERM only set its flag; the client's reader turns the flag into the
// engine's cancellation event.
EngineRunContext g_run;

void on_interrupt(int) {
    g_run.cancel_requested.store(true);
}

void install_interrupt_handler() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a password prompt waiting on the terminal is interrupted.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The passwords of one file operation, in locked memory.
struct Passwords {
    SecureBuffer password;
    SecureBuffer new_password;
    SecureBuffer confirmation;
};

int read_passwords(const CliArgs &args, const EngineCommandInfo &command, Passwords *p,
                   ClientOutcome *out) {
    if (command.credential == CredentialKind::None)
        return 0;
    if (command.credential == CredentialKind::Current) {
        if (args.password_stdin)
            return read_password_stdin(&p->password, out);
        return read_password_console(kTextPasswordPrompt, &p->password, out);
    }
    if (args.credentials_stdin)
        return read_credentials_json(true, &p->password, &p->new_password, &p->confirmation, out);
    const char *first = command.command == EngineCommand::ImportVeracrypt
                            ? kTextVeracryptPasswordPrompt
                            : kTextCurrentPasswordPrompt;
    int rc = read_password_console(first, &p->password, out);
    if (rc == 0)
        rc = read_password_console(kTextNewPasswordPrompt, &p->new_password, out);
    if (rc == 0)
        rc = read_password_console(kTextConfirmPasswordPrompt, &p->confirmation, out);
    return rc;
}

// A failed password read; Ctrl+C at a prompt interrupts the read, and then
// the user has cancelled.
int password_failure(const EngineRunContext *ctx, const ClientOutcome &outcome) {
    if (ctx->cancel_requested.load())
        return cli_fail("cancelled", kTextCancelled);
    return cli_fail(outcome);
}

// Runs an engine operation with the progress line shown while it runs.
template <typename Operation>
int with_progress_line(EngineRunContext *ctx, bool json, Operation operation) {
    ProgressLine line;
    progress_line_init(&line, json);
    ctx->progress = progress_line_update;
    ctx->progress_user = &line;
    int rc = operation();
    ctx->progress = nullptr;
    ctx->progress_user = nullptr;
    progress_line_clear(&line);
    return rc;
}

// The members of an engine result that scripts see, in this order and under
// these names.
constexpr std::pair<const char *, const char *> kSummaryMembers[] = {
    {"allocatedSize", "allocatedSize"},
    {"backupPath", "backupPath"},
    {"cipher", "cipher"},
    {"compression", "compression"},
    {"damagedRanges", "damagedRanges"},
    {"writeFilesystem", "experimentalWriteBackend"},
    {"writeSupported", "experimentalWriteSupported"},
    {"filesystem", "filesystem"},
    {"filesystemType", "filesystemType"},
    {"format", "format"},
    {"isCD", "isCD"},
    {"memoryLocked", "memoryLocked"},
    {"newPasswordLimit", "newPasswordLimit"},
    {"plaintext", "plaintext"},
    {"recoveryCopyAvailable", "recoveryCopyAvailable"},
    {"recoveryRequired", "recoveryRequired"},
    {"size", "size"},
    {"verified", "verified"},
};

void print_summary_json(const JsonValue *result) {
    JsonValue *summary = json_new(JsonKind::Object);
    for (const auto &[from, to] : kSummaryMembers) {
        const JsonValue *member = json_get(result, from);
        if (member != nullptr)
            json_set(summary, to, json_clone(member));
    }
    cli_print_json(summary);
    json_free(summary);
}

std::string format_text(const char *format, const char *a, const char *b = "") {
    char *text = format_alloc(format, a, b);
    std::string s = text != nullptr ? text : "";
    std::free(text);
    return s;
}

void print_summary_text(const CliArgs &args, EngineCommand command, const JsonValue *result) {
    std::string text = "Format: " + std::string(json_get_string(result, "format", "")) +
                       "\nSize: " + std::to_string(json_get_int(result, "size", 0)) +
                       " bytes\nCipher: " + json_get_string(result, "cipher", "");
    cli_print(text);
    if (json_get_bool(result, "recoveryRequired", false))
        cli_print("State: conversion recovery required");
    else if (json_get_bool(result, "verified", false))
        cli_print("Check: " + std::string(json_get_string(result, "filesystem", "")));
    else
        cli_print("Check: not performed");
    if (const JsonValue *ranges = json_get(result, "damagedRanges")) {
        cli_print(json_first(ranges) == nullptr ? kTextFullCheckClean : kTextFullCheckDamaged);
        for (const JsonValue *r = json_first(ranges); r != nullptr; r = json_next(r)) {
            const uint64_t first = static_cast<uint64_t>(json_get_int(r, "firstByte", 0));
            const uint64_t length = static_cast<uint64_t>(json_get_int(r, "length", 0));
            std::string span = std::to_string(first) + " to " +
                               std::to_string(length ? first + length - 1 : first);
            cli_print(format_text(kTextDamagedRange, span.c_str(), json_get_string(r, "part", "")));
            for (const JsonValue *f = json_first(json_get(r, "files")); f != nullptr;
                 f = json_next(f))
                cli_print(format_text(kTextDamagedFile, f->string_bytes));
        }
    }
    if (json_has(result, "backupPath", JsonKind::String))
        cli_print("Replacement verified. Original backup: " +
                  std::string(json_get_string(result, "backupPath", "")));
    if (command == EngineCommand::Export)
        cli_print("Export complete: " + args.words[2]);
    if (command == EngineCommand::Rekey || command == EngineCommand::Convert)
        cli_print(format_text("Encrypted copy verified and saved: %s\nOriginal kept: %s",
                              args.words[2].c_str(), args.words[1].c_str()));
    if (command == EngineCommand::ImportVeracrypt) {
        cli_print(format_text("VeraCrypt volume imported and verified: %s\nKeep the source until "
                              "you have checked your files: %s",
                              args.words[2].c_str(), args.words[1].c_str()));
        if (json_has(result, "metadataError", JsonKind::String))
            cli_print_error("Warning: " +
                            std::string(json_get_string(result, "metadataError", "")));
        if (json_get_int(result, "importRecordsKept", 0) > 0)
            cli_print_error(kTextImportRecordsKept);
    }
}

// The hint appended to a failed copy or replacement: what is safe to do next.
std::string failure_hint(EngineCommand command) {
    if (command == EngineCommand::Rekey || command == EngineCommand::Convert)
        return "Original kept. If a new file exists, verify it before using it. Restart from the "
               "original after an interruption; do not use a .partial file.";
    if (command == EngineCommand::Replace)
        return "Keep all files together. If a journal exists, use tarnwick recover-replacement "
               "FILE.";
    return {};
}

int run_file_command(EngineRunContext *ctx, const CliArgs &args, const EngineCommandInfo &command) {
    if (args.words.size() != size_t{command.cli_arguments} + 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    Passwords passwords;
    if (read_passwords(args, command, &passwords, &outcome) != 0)
        return password_failure(ctx, outcome);

    FileOperation op;
    op.command = args.full ? engine_command_name(EngineCommand::VerifyFull) : command.engine_name;
    op.input = args.words[1];
    if (command.cli_arguments == 2)
        op.output = args.words[2];
    op.algorithm = args.algorithm;
    op.compression = args.compression;
    op.password = passwords.password.span();
    op.new_password = passwords.new_password.span();
    op.confirmation = passwords.confirmation.span();

    int rc = with_progress_line(ctx, args.json,
                                [&] { return engine_file_operation(ctx, op, &outcome); });
    passwords = Passwords{};
    if (rc != 0) {
        std::string hint = failure_hint(command.command);
        if (!hint.empty()) {
            std::string message =
                (outcome.message.empty() ? kTextOperationFailed : outcome.message) + "\n" + hint;
            return cli_fail(outcome.code, message);
        }
        return cli_fail(outcome);
    }
    if (args.json)
        print_summary_json(outcome.result);
    else
        print_summary_text(args, command.command, outcome.result);
    // A full check that found damage fails, after its report.
    const JsonValue *ranges = json_get(outcome.result, "damagedRanges");
    return ranges != nullptr && json_first(ranges) != nullptr ? 1 : 0;
}

int run_create(EngineRunContext *ctx, const CliArgs &args) {
    CreateOperation op;
    if (args.words.size() != 5 || !cli_parse_decimal(args.words[2], &op.size_mib))
        return cli_fail("usage", kTextCreateUsage);
    ClientOutcome outcome;
    Passwords passwords;
    int rc;
    if (args.credentials_stdin) {
        rc = read_credentials_json(false, &passwords.password, &passwords.new_password,
                                   &passwords.confirmation, &outcome);
    } else {
        rc = read_password_console(kTextNewPasswordPrompt, &passwords.new_password, &outcome);
        if (rc == 0)
            rc = read_password_console(kTextConfirmPasswordPrompt, &passwords.confirmation,
                                       &outcome);
    }
    if (rc != 0)
        return password_failure(ctx, outcome);
    op.output = args.words[1];
    op.filesystem = args.words[3];
    op.label = args.words[4];
    op.algorithm = args.algorithm;
    op.compression = args.compression;
    op.new_password = passwords.new_password.span();
    op.confirmation = passwords.confirmation.span();

    rc = with_progress_line(ctx, args.json, [&] { return engine_create(ctx, op, &outcome); });
    passwords = Passwords{};
    if (rc != 0)
        return cli_fail(outcome);
    if (args.json)
        print_summary_json(outcome.result);
    else
        cli_print("Container created and verified: " + args.words[1] +
                  "\nMounts default to read-only.");
    return 0;
}

int run_devices(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (engine_devices(ctx, &outcome) != 0)
        return cli_fail(outcome);
    const JsonValue *devices = json_get(outcome.result, "devices");
    if (args.json) {
        JsonValue *empty = json_new(JsonKind::Array);
        cli_print_json(devices != nullptr && devices->kind == JsonKind::Array ? devices : empty);
        json_free(empty);
        return 0;
    }
    if (json_first(devices) == nullptr || devices->kind != JsonKind::Array) {
        cli_print(kTextNoDevices);
        return 0;
    }
    for (const JsonValue *d = json_first(devices); d != nullptr; d = json_next(d))
        cli_print(std::string(json_get_string(d, "path", "")) + "  " +
                  json_get_string(d, "name", "") + "  " +
                  std::to_string(json_get_int(d, "size", 0)) + " bytes");
    return 0;
}

int run_image(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 3)
        return cli_fail("usage", kTextImageUsage);
    ClientOutcome outcome;
    if (engine_devices(ctx, &outcome) != 0)
        return cli_fail(outcome);
    ImageOperation op;
    const JsonValue *chosen = nullptr;
    for (const JsonValue *d = json_first(json_get(outcome.result, "devices")); d != nullptr;
         d = json_next(d))
        if (args.words[1] == json_get_string(d, "path", ""))
            chosen = d;
    if (chosen == nullptr || json_get_int(chosen, "identity", 0) <= 0)
        return cli_fail("imaging", kTextChooseDevice);
    op.device = args.words[1];
    op.identity = static_cast<uint64_t>(json_get_int(chosen, "identity", 0));
    if (!args.json)
        cli_print_error(format_text(kTextReadingDevice, json_get_string(chosen, "name", ""),
                                    std::to_string(json_get_int(chosen, "size", 0)).c_str()));
    outcome.reset();

    Passwords passwords;
    int rc;
    if (args.credentials_stdin) {
        rc = read_credentials_json(false, &passwords.password, &passwords.new_password,
                                   &passwords.confirmation, &outcome);
    } else {
        rc = read_password_console(kTextNewPasswordPrompt, &passwords.new_password, &outcome);
        if (rc == 0)
            rc = read_password_console(kTextConfirmPasswordPrompt, &passwords.confirmation,
                                       &outcome);
    }
    if (rc != 0)
        return password_failure(ctx, outcome);
    op.output = args.words[2];
    op.algorithm = args.algorithm;
    op.compression = args.compression;
    op.new_password = passwords.new_password.span();
    op.confirmation = passwords.confirmation.span();
    rc = with_progress_line(ctx, args.json, [&] { return engine_image(ctx, op, &outcome); });
    passwords = Passwords{};
    if (rc != 0)
        return cli_fail(outcome);
    if (args.json)
        print_summary_json(outcome.result);
    else
        cli_print("Container created and verified: " + args.words[2] +
                  "\nMounts default to read-only.");
    return 0;
}

int run_recover_replacement(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 2)
        return cli_fail("usage", kTextRecoverUsage);
    ClientOutcome outcome;
    if (engine_recover_replacement(ctx, args.words[1], &outcome) != 0)
        return cli_fail(outcome);
    const char *backup = json_get_string(outcome.result, "backupPath", "");
    if (args.json) {
        JsonValue *object = json_new(JsonKind::Object);
        json_set_string(object, "backupPath", backup);
        cli_print_json(object);
        json_free(object);
    } else {
        cli_print("Replacement recovered. Original backup: " + std::string(backup));
    }
    return 0;
}

int run_version(const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    if (args.json) {
        JsonValue *object = json_new(JsonKind::Object);
        json_set_string(object, "version", kCliVersion);
        json_set_string(object, "build", std::to_string(kCliBuild).c_str());
        cli_print_json(object);
        json_free(object);
    } else {
        cli_print("Tarnwick Pro " + cli_version_text());
    }
    return 0;
}

bool utf8_arguments(int argc, char **argv) {
    for (int i = 0; i < argc; ++i)
        if (!utf8_is_valid(argv[i], std::strlen(argv[i])))
            return false;
    return true;
}

} // namespace

int cli_run_command(EngineRunContext *ctx, const CliArgs &args) {
    const std::string &command = args.words[0];
    if (command == "--version" || command == "version")
        return run_version(args);
    if (command == "doctor") {
        if (args.words.size() != 1)
            return cli_fail("usage", kTextIncorrectArguments);
        return cli_doctor(args);
    }
    const EngineCommandInfo *info = cli_command_find(command);
    if (info == nullptr)
        return cli_fail("usage", kTextUnknownCommand);
    if (!info->available)
        return cli_fail("unavailable", format_text(kTextUnavailableCommand, command.c_str()));
    if (info->engine_name == nullptr)
        return cli_service_command(ctx, args);
    switch (info->command) {
    case EngineCommand::RecoverReplacement:
        return run_recover_replacement(ctx, args);
    case EngineCommand::Create:
        return run_create(ctx, args);
    case EngineCommand::Devices:
        return run_devices(ctx, args);
    case EngineCommand::Image:
        return run_image(ctx, args);
    case EngineCommand::Benchmark:
        return cli_benchmark(ctx, args);
    default:
        return run_file_command(ctx, args, *info);
    }
}

int cli_main(int argc, char **argv) {
    harden_process();
    install_interrupt_handler();
    if (!utf8_arguments(argc, argv))
        return cli_fail("usage", kTextInvalidArguments);
    if (argc < 2 ||
        (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0))) {
        cli_print(cli_usage_text());
        return 0;
    }
    std::vector<std::string> words(argv + 1, argv + argc);
    CliArgs args;
    ClientOutcome outcome;
    if (cli_parse_options(&g_run, std::move(words), &args, &outcome) != 0)
        return cli_fail(outcome);
    return cli_run_command(&g_run, args);
}

} // namespace tw
