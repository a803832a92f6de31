// The operation dialogs. The library window calls these; each runs modally
// on the window's thread.
#pragma once

#include "client/client.h"
#include "gui/shell.h"
#include "platform/secure_memory.h"
#include "runtime/json.h"

#include <QString>
#include <cstdint>
#include <string>

class QWidget;

namespace tw {

struct GuiBackend; // gui/main_window.h: the engine and service calls

// The container operations, numbered as the window's job kinds.
enum class OperationKind : int {
    Mount = 0,
    CheckCredentials = 1,
    Export = 2,
    ChangePassword = 3,
    Convert = 4,
    Replace = 5,
    CheckAndRepair = 6,
};

// What the container operation dialog collected. Secrets are wiped when it
// is destroyed.
struct OperationInput {
    SecureBuffer password;     // the (current) password
    SecureBuffer system_key;   // empty, or 14 hexadecimal digits
    SecureBuffer new_password; // ChangePassword, Convert, Replace
    SecureBuffer confirmation;
    uint32_t unlock_cipher = 255;  // "Automatic"
    uint32_t new_cipher = 255;     // Convert, Replace: 255 keeps the current one
    CompressionChoice compression; // not given: keep the current setting
    std::string output;            // Export, ChangePassword, Convert: the new file
    int partition = 0;             // Mount: 0 for the only data volume
    bool read_only = true;         // Mount
    bool remember = false;         // Mount: save the password in the keyring
};

// Shows the dialog of `kind` for a library entry (an object of the library's
// "entries": "id", "path", "info", "preferences", ...). The kinds with an
// output file first ask for it. Returns 1 when the user confirmed and
// *input is filled, 0 when the user cancelled. The window then checks that
// the entry still allows the operation and starts the job.
int dialog_run_operation(QWidget *parent, GuiShell *shell, OperationKind kind,
                         const JsonValue *entry, OperationInput *input);

// New Container…, Image Removable Device…, Import from VeraCrypt…: the
// whole flow, including following the started activity until it ends
// (shell_start_creation, shell_activity_state, shell_cancel_activity).
void dialog_new_container(QWidget *parent, GuiShell *shell);
void dialog_image_device(QWidget *parent, GuiShell *shell);
void dialog_import_veracrypt(QWidget *parent, GuiShell *shell);

// Settings… (Launch at Login, this build, service restart, privacy notes).
void dialog_settings(QWidget *parent, GuiShell *shell);

// The "Mount Preferences" section of the details pane for a library entry
// and its session (null when not mounted). The widget saves changes through
// shell_save_preferences / shell_forget_password.
QWidget *dialog_mount_preferences(QWidget *parent, GuiShell *shell, const JsonValue *entry,
                                  const JsonValue *session);

// Runs what a container operation dialog collected, through the client
// library, on the calling thread (a job's worker thread): the engine's
// "verify", "export", "rekey", "convert" or "replace", or the mount
// service's mount or repair. `entry` gives the path, the id and the
// preferences (a mount that is not read-only sends them with "readOnly"
// false and without "mountOnLogin"). Returns as the client library does.
int operation_run(OperationKind kind, const JsonValue *entry, const OperationInput &input,
                  EngineRunContext *ctx, ClientOutcome *out);

// Runs a creation, imaging or import job on the calling thread through the
// backend's engine calls (by default the client library's): the engine's
// "create", "image" (with the administrator's approval first) or
// "import-veracrypt". The window's activities and the dialogs' tests both
// run jobs through it.
int creation_run(const CreationJob &job, const GuiBackend &backend, EngineRunContext *ctx,
                 ClientOutcome *out);

// The default volume name for a new container file: its name without the
// extension, upper-cased, keeping only A-Z, 0-9 and "_", at most 11
// characters; "OPENZCX" when nothing remains.
QString default_volume_name(const QString &output_path);

// The message of a check-and-repair report (the "repair" result of the
// mount service): the verdict, the filesystem and fsck's exit status, the
// error text and the last 13 lines of the tool's output. *warning tells
// whether it is shown as a warning.
QString repair_result_text(const JsonValue *report, bool *warning);

// Shows that message in a box "Check and Repair Filesystem".
void dialog_show_repair_result(QWidget *parent, const JsonValue *report);

} // namespace tw
