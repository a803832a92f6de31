// The commands of the engine and of the command line, in one table.
//
// Each row says what a command is called on the command line and by the
// engine, which positional arguments it takes, which credential request it
// reads, how its cipher and compression are chosen and how its progress is
// reported. The engine parses its arguments from the table, the client
// builds the engine's arguments from it and the command line checks its
// options and dispatches with it, so the three cannot drift apart.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tw {

enum class EngineCommand {
    None,
    Inspect,
    Verify,
    Export,
    Rekey,
    Convert,
    Replace,
    Create,
    Image,
    ImportVeracrypt,
    CreationOptions,
    Devices,
    ImportRecover,
    RecoverReplacement,
    ApproveImaging,
    VerifyFull,
    Benchmark,
};

// The credential request a command reads. The values are the request's kind
// field as it travels from the client to the engine.
enum class CredentialKind : uint32_t {
    None = 0,          // no request
    Current = 1,       // the current password
    CurrentAndNew = 2, // the current password (possibly empty) and a new one
};

// How the engine turns an operation's reports into progress events.
enum class ProgressMode {
    Copy,   // create, rekey, convert, replace
    Image,  // image: an "imaging" quarter, then the copy phases
    Import, // import-veracrypt
    Export, // export: no phase member, whole percent steps
};

// What one positional argument of the engine holds.
enum class EngineArgument : uint8_t {
    File,       // an existing container, VeraCrypt volume or recovery file
    Output,     // the file to write
    Algorithm,  // the new container's cipher id
    Bytes,      // the new container's size in bytes
    Filesystem, // the new container's filesystem
    Label,      // the new filesystem's label
    Device,     // a removable device
    Identity,   // the device's identity number
    User,       // the user an imaging approval is for
};

inline constexpr size_t kEngineArgumentsMax = 4;

struct EngineCommandInfo {
    const char *cli_name;    // the command-line word; null when the command line has none
    const char *engine_name; // the engine's command word; null when no engine runs it
    EngineCommand command;
    // Special commands are recognised by name and exact argument count before
    // any other; they read no credential request.
    bool special;
    uint8_t cli_arguments; // positional arguments after the command on the command line
    // The engine's positional arguments after the command, in order.
    uint8_t engine_argument_count;
    EngineArgument engine_arguments[kEngineArgumentsMax];
    // The command line takes --algorithm: the new container's cipher is
    // chosen, as the engine's Algorithm argument or the request's cipher.
    bool takes_algorithm;
    bool takes_compression; // the engine takes COMPRESSION CHUNK after its arguments
    CredentialKind credential;
    ProgressMode progress;
    bool available; // the command line runs it in this build
    // The engine's usage message for any other argument count; null for the
    // general "Missing arguments." and "Unexpected arguments.".
    const char *engine_usage;
};

// Every command, engine commands first.
std::span<const EngineCommandInfo> engine_commands();

// The row of a command-line word, of an engine command word, or of an
// engine command; null when there is none.
const EngineCommandInfo *cli_command_find(std::string_view cli_name);
const EngineCommandInfo *engine_command_find(std::string_view engine_name);
const EngineCommandInfo *engine_command_info(EngineCommand command);

// The engine's command word of an engine command ("" for None).
const char *engine_command_name(EngineCommand command);

// The position of an argument among the engine's positional arguments
// (0 for the first), or -1 when the command does not take it.
int engine_argument_index(const EngineCommandInfo &info, EngineArgument argument);

} // namespace tw
