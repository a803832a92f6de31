// What the library window offers to the dialogs.
//
// The window owns the library, the activities (background operations) and
// the session list. Dialogs never touch them directly: they read a library
// entry (an object of library.json's "entries") for as long as they run
// modally, and start their jobs through these functions. Everything here is
// called on the window's thread.
#pragma once

#include "client/client.h"
#include "platform/secure_memory.h"
#include "runtime/json.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

namespace tw {

// The library window (opaque to the dialogs).
struct GuiShell;

// A new container, an imaged device or an imported VeraCrypt volume. The
// job owns its secrets; the shell wipes them when the job ends.
struct CreationJob {
    enum class Kind { Create, Image, Import };
    Kind kind = Kind::Create;
    std::string output;           // the new container, as chosen
    std::string source;           // Import: the VeraCrypt file
    std::string device;           // Image: the device's "path"
    uint64_t device_identity = 0; // Image: its "identity"
    uint64_t size_mib = 0;        // Create
    std::string filesystem;       // Create: "exfat", "fat32" or "ntfs"
    std::string label;            // Create: the volume name
    uint32_t algorithm = 9;
    CompressionChoice compression;
    SecureBuffer password; // Import: the VeraCrypt password
    SecureBuffer new_password;
    SecureBuffer confirmation;
    SecureBuffer system_key; // Create, Image: empty, or 14 hexadecimal digits
};

// Starts the job as an activity. Returns its activity id (> 0), or a
// negative number when it was refused (too many operations, library
// read-only); the shell has then told the user why.
int shell_start_creation(GuiShell *shell, std::unique_ptr<CreationJob> job);

// What a running activity shows: its text, its fraction (-1 until the
// first progress) and whether it can still be cancelled. False once the
// activity has ended (its result is then being or has been handled).
struct ActivityState {
    QString text;
    double fraction = -1;
    bool cancellable = false;
    bool cancel_requested = false;
};
bool shell_activity_state(GuiShell *shell, int activity, ActivityState *out);

// Requests cancellation of a running activity.
void shell_cancel_activity(GuiShell *shell, int activity);

// Stores new mount preferences for a library entry (the "Saving Preferences"
// job: through the mount service when the entry is mounted and the idle time
// changed, else checked by the shared rules and saved in the library).
// Takes ownership of `preferences`. Returns the activity id or a negative
// number.
int shell_save_preferences(GuiShell *shell, const QString &entry_id, JsonValue *preferences);

// Removes the saved password of a library entry ("forget").
int shell_forget_password(GuiShell *shell, const QString &entry_id);

// Launch at Login: whether it is enabled, and turning it on or off
// (0, or -EIO when the autostart file could not be written or removed).
bool shell_launch_at_login_enabled();
int shell_set_launch_at_login(bool enabled);

// The mount service as last polled: whether an update is available and
// whether it may be restarted now (nothing running, nothing mounted).
bool shell_service_update_available(GuiShell *shell);
bool shell_can_restart_service(GuiShell *shell);
// Restarts the mount service (quit_after: "Quit for Update") as a job.
int shell_restart_service(GuiShell *shell, bool quit_after);

// The engine's "creation-options" result, fetched once per run (owned by the
// shell; null when the engine could not say).
const JsonValue *shell_creation_options(GuiShell *shell, QString *error);

} // namespace tw
