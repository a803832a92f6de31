// The client library shared by the command line and the GUI.
//
// Front-ends never touch a container themselves: every container operation
// runs in a `tarnwick-engine` child process, started from the folder of the
// front-end's own executable. The library writes the passwords to the
// engine's standard input as a binary credential request (never into its
// arguments or environment), reads the engine's JSON event lines, reports
// progress, and turns the run into one outcome: a result object, or an error
// code with a complete sentence to show.
//
// Every outcome-producing function returns 0 when out->result holds the
// result, or a negative number when out->code and out->message hold the
// failure: -ECANCELED for "cancelled", -EPROTO for "protocol", -EACCES for
// "credentials" and "newPassword", -EINVAL for "usage" and "source", -EIO
// for every other code.
#pragma once

#include "platform/secure_memory.h"
#include "runtime/json.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

namespace tw {

// ---- Outcomes ----

struct ClientOutcome {
    JsonValue *result = nullptr; // owned; set exactly on success
    std::string code;            // short camel-case code on failure
    std::string message;         // complete sentence on failure

    ClientOutcome() = default;
    ClientOutcome(const ClientOutcome &) = delete;
    ClientOutcome &operator=(const ClientOutcome &) = delete;
    ~ClientOutcome() { json_free(result); }
    bool succeeded() const { return result != nullptr; }
    // Releases the result and clears code and message.
    void reset();
};

// Records a failure (releasing any result) and returns its negative number.
int client_fail(ClientOutcome *out, std::string_view code, std::string_view message);

// The exit code of a command-line run that ended in this failure code:
// 2 for "credentials", 1 for every other failure.
int client_exit_code(std::string_view code);

// ---- Running the engine ----

// Progress of a running operation: the phase ("initializing", "reencoding",
// "verifying", "publishing", ...; null when the engine sends none, as export
// does) and the fraction done, from 0 to 1.
using EngineProgressFn = void (*)(void *user, const char *phase, double fraction);

// The state of one engine operation. The flag and the process id may be read
// and set from any thread and from a signal handler (both are lock-free).
struct EngineRunContext {
    EngineProgressFn progress = nullptr;
    void *progress_user = nullptr;
    // Set by engine_cancel, or directly by a signal handler: the running
    // engine is then told to cancel, and a run that has not started yet is
    // not started.
    std::atomic<bool> cancel_requested{false};
    // The running engine's process id; 0 while none runs.
    std::atomic<pid_t> engine_pid{0};
};

// Most arguments an engine run may take (after the engine's own path).
inline constexpr size_t kEngineArgumentLimit = 22;
// Longest event line the engine may write, without its line feed.
inline constexpr size_t kEngineLineLimit = 65536;

// Starts `tarnwick-engine` from this program's folder with `args`, writes
// `credentials` (possibly empty) to its standard input and closes it, reads
// its event lines until the end of its output, waits for it and decides the
// outcome. Whatever the engine wrote to standard error (cleaned of control
// characters, the last 16383 bytes) is appended to failure messages after a
// line feed.
int engine_run(EngineRunContext *ctx, std::span<const std::string> args,
               std::span<const uint8_t> credentials, ClientOutcome *out);

// Requests cancellation: sets the flag and, when an engine runs, its
// cancellation event "Cancel.PID". Safe from any thread; not from a signal
// handler (which stores the flag itself).
void engine_cancel(EngineRunContext *ctx);

// The engine's offered ciphers and filesystems ("creation-options").
int engine_creation_options(EngineRunContext *ctx, ClientOutcome *out);

// Completes or rolls back an interrupted replacement of `path`.
int engine_recover_replacement(EngineRunContext *ctx, std::string_view path, ClientOutcome *out);

// The compressed (v3) layout of a new container: mode "off" or "fast" and
// the chunk size, 4096, 16384 or 65536 bytes.
struct CompressionChoice {
    bool given = false;
    std::string mode;
    uint64_t chunk_size = 0;
};

// A file operation of the engine: "inspect", "verify", "export", "rekey",
// "convert", "replace" or "import-veracrypt". The passwords are read, never
// kept: the request built from them is wiped after the run.
struct FileOperation {
    std::string command;
    std::string input;      // the container (or VeraCrypt volume), as the user typed it
    std::string output;     // export, rekey, convert and import-veracrypt only
    uint32_t algorithm = 9; // convert and replace: the new container's cipher
    CompressionChoice compression;
    std::span<const uint8_t> password;     // the current password (kind 1 and 2)
    std::span<const uint8_t> system_key;   // empty, or the legacy system key (14 hex digits)
    std::span<const uint8_t> new_password; // rekey, convert, replace, import-veracrypt
    std::span<const uint8_t> confirmation;
    uint32_t unlock_cipher = 255; // the source's cipher; 255 lets the engine detect it
};
int engine_file_operation(EngineRunContext *ctx, const FileOperation &op, ClientOutcome *out);

// A new container of size_mib MiB holding a fresh filesystem ("fat32",
// "exfat" or "ntfs") with the label; the engine checks both. The request is
// kind 2 with an empty current password and the algorithm as its cipher.
struct CreateOperation {
    std::string output; // as the user typed it
    uint64_t size_mib = 0;
    std::string filesystem;
    std::string label;
    uint32_t algorithm = 9;
    CompressionChoice compression;
    std::span<const uint8_t> new_password;
    std::span<const uint8_t> confirmation;
    std::span<const uint8_t> system_key; // empty, or 14 hexadecimal digits
};
int engine_create(EngineRunContext *ctx, const CreateOperation &op, ClientOutcome *out);

// The removable devices that can be imaged ("devices"); the result holds
// them as "devices".
int engine_devices(EngineRunContext *ctx, ClientOutcome *out);

// Capturing a removable device into a new container ("image"). First the
// administrator's approval for this device and this user is recorded by an
// engine started elevated ("approve-imaging"); then the engine reads the
// device the broker lends it. The request is kind 2 with an empty current
// password and the algorithm as its cipher.
struct ImageOperation {
    std::string device;    // the device's "path" from the device list
    uint64_t identity = 0; // its "identity"
    std::string output;    // as the user typed it
    uint32_t algorithm = 9;
    CompressionChoice compression;
    std::span<const uint8_t> new_password;
    std::span<const uint8_t> confirmation;
    std::span<const uint8_t> system_key; // empty, or 14 hexadecimal digits
};
int engine_image(EngineRunContext *ctx, const ImageOperation &op, ClientOutcome *out);

// Runs the engine with `args` as root: through pkexec where it is installed,
// else sudo. The engine's exit code; -ECANCELED when the user declined (or
// interrupted) the authentication; another negative errno when no elevation
// could start or it did not end within 120 s.
using ElevationFn = int (*)(std::span<const std::string> args);
int engine_run_elevated(std::span<const std::string> args);
// Test programs replace the elevation; null restores it.
void engine_set_elevation_for_testing(ElevationFn elevation);

// This machine's speed for the container work ("benchmark"); the result
// holds "ciphers" and the other rates.
int engine_benchmark(EngineRunContext *ctx, ClientOutcome *out);

// The absolute form of a path typed by the user: relative paths are joined
// to the working folder; "." segments and repeated slashes are dropped (".."
// is left to the kernel, which alone knows where it leads through symbolic
// links). -EINVAL for an empty path or one over 32767 bytes, else the error
// of getcwd.
int resolve_full_path(std::string_view path, std::string *out);

// ---- Credential requests ----

// Longest password in bytes, and the length of a system key text.
inline constexpr size_t kClientPasswordLimit = 4096;
inline constexpr size_t kClientSystemKeyLength = 14;

struct CredentialInput {
    uint32_t kind = 1;     // 1: current password only; 2: also a new password
    uint32_t cipher = 255; // 1, 8, 9, 10, or 255 to let the engine detect it
    std::span<const uint8_t> password;
    std::span<const uint8_t> system_key; // empty, or 14 hexadecimal digits
    std::span<const uint8_t> new_password;
    std::span<const uint8_t> confirmation;
};

// Checks the input and builds the binary record the engine reads: kind,
// cipher and the lengths as 32-bit little-endian numbers, then the current
// password, the system key and (kind 2) the new password. Failures:
// "newPassword" (kind 2: the new password empty, over the limit, not UTF-8,
// holding a NUL byte, or not equal to its confirmation; checked first), then
// "credentials" (the current password over the limit or holding a NUL byte,
// a malformed system key, a cipher not offered, an unknown kind).
int credential_request_build(const CredentialInput &in, SecureBuffer *out, ClientOutcome *err);

// ---- Reading passwords ----

// Prompts on the terminal (/dev/tty) and reads one line with echo off. The
// line may be edited with the terminal's erase and kill characters. The
// terminal's settings are restored on every path, and a line break is
// written after the input. The line ends at a line feed, a carriage return
// or the end-of-file character. Failures ("credentials"): no terminal, a
// failed or interrupted read (Ctrl+C), input that is not UTF-8, and a line
// of more than 4096 bytes (refused as a whole, even when erased back below
// the limit, rather than kept shortened).
int read_password_console(const char *prompt, SecureBuffer *out, ClientOutcome *err);

// Reads a password from fd (standard input) to its end: at most 4097 bytes,
// then one trailing line feed and then one trailing carriage return are
// removed. More than 4097 bytes, a NUL byte or invalid UTF-8 fail with
// "credentials".
int read_password_stdin(SecureBuffer *out, ClientOutcome *err, int fd = STDIN_FILENO);

// Reads a JSON object of at most 65536 bytes from fd (standard input) with
// the text members "newPassword" and "confirmation", and "password" when
// needs_password. The members are copied into the buffers (password is
// left empty when not needed); everything read is wiped.
int read_credentials_json(bool needs_password, SecureBuffer *password, SecureBuffer *new_password,
                          SecureBuffer *confirmation, ClientOutcome *err, int fd = STDIN_FILENO);

// ---- The mount service ----
//
// Every request goes to this user's `tarnwick-service` over its private
// socket, after the server was checked to be the service program in this
// program's folder (so no password reaches anything else). Replies carry the
// whole state: "sessions", "warnings" and "service".

// Sends one request (a "version" of 1 and a new "operationID" are added when
// absent) and receives its reply, which becomes out->result. When no service
// runs, may_start starts the one in this program's folder and waits for it
// (about 5 s at most); without may_start the result is -ESRCH with code
// "service". A reply's "error" becomes the failure ("serviceUpgrade" for a
// "protocol" error to a request of version 2 or later: the running service
// is older than this client).
int service_request(const JsonValue *request, bool may_start, ClientOutcome *out);

// The sessions (out->result: an array, empty when no service runs and none
// may be started).
int service_list(bool may_start, ClientOutcome *out);

// The status object: "sessions", "warnings", "serviceUpdateAvailable" (the
// running service is not this installation's build) and "canRestartService".
int service_status(bool may_start, ClientOutcome *out);
// The same, built from a reply to "list"; tests use it.
int service_status_from_reply(const JsonValue *reply, JsonValue **status);

struct MountRequest {
    std::string path;                       // as the user typed it
    std::span<const uint8_t> password;      // never kept
    std::span<const uint8_t> system_key;    // empty, or the legacy system key; never kept
    int partition = 0;                      // 1..128, or 0 for the only data volume
    const JsonValue *preferences = nullptr; // checked by the shared rules; null: defaults
    std::string entry_id;                   // the library entry, or empty
    bool remember = false;                  // save the password (library entries)
    uint32_t unlock_cipher = 255;           // 255 lets the worker detect the cipher
};

// Mounts through a ticket: prepare-mount, then mount with the credentials.
// A mount whose delivery failed is sent once more with the same ticket,
// which the service answers without mounting twice. out->result: the
// sessions.
int service_mount(const MountRequest &request, ClientOutcome *out);

// Checks and repairs the container's filesystems; out->result: the report.
int service_repair(std::string_view path, std::span<const uint8_t> password, ClientOutcome *out);
// The same, unlocking a legacy container with a system key and a cipher
// (255: detected) as a mount does.
int service_repair_unlocking(std::string_view path, std::span<const uint8_t> password,
                             std::span<const uint8_t> system_key, uint32_t unlock_cipher,
                             ClientOutcome *out);

// Unmounts one session; out->result: the sessions.
int service_unmount(std::string_view session_id, ClientOutcome *out);

// Changes the preferences of a mounted session (checked by the shared rules
// first; its access never changes). out->result: the sessions.
int service_preferences(std::string_view session_id, const JsonValue *preferences,
                        ClientOutcome *out);

// Sign-in mounting: the library's entries marked for it are mounted, each
// once per sign-in. out->result: the status object, whose "warnings" name
// the entries that could not be mounted.
int service_login(ClientOutcome *out);

// Deletes the saved password of a library entry (success also when none was
// saved). out->result: an empty object.
int service_forget(std::string_view entry_id, ClientOutcome *out);

// Stops the running service (success when none runs) and waits until its
// process has ended.
int service_stop(ClientOutcome *out);

// Stops the service and starts this installation's; out->result: the
// status object.
int service_restart(ClientOutcome *out);

// ---- System services ----

// The state of a system service for the installation check: "missing",
// "disabled", "running" or "stopped". `unit` is the systemd unit name; when
// systemd cannot be asked, `socket_path` (when not empty) decides: a socket
// that accepts a connection is "running", an existing one that does not is
// "stopped", none is "missing".
std::string system_service_state(std::string_view unit, std::string_view socket_path);

// The broker's state: systemd's word for its unit where systemd manages the
// machine; elsewhere "running" when its socket answers and passes the broker
// checks, "unverified" when it answers but fails them, "stopped" when the
// socket exists without an answer, "missing" without a socket.
std::string broker_service_state();

// The initiator service, which the broker starts when a disk is attached:
// "missing" when its program is not in this program's folder, "running"
// when the process it published runs, else "stopped".
std::string initiator_service_state();

// This user's mount service: "missing" when it is not in this program's
// folder, "running" when it answers on the user's socket and is the service
// in this program's folder, else "stopped" (it starts when needed).
std::string session_service_state();

} // namespace tw
