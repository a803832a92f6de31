// The conveniences around mount sessions: the library that the desktop app
// keeps ("library.json", read here, never written), sign-in mounting with
// its per-sign-in record "login.json", passwords saved in the keyring, the
// preferences of a running session, and unmounting after a period without
// disk activity. Everything here runs under the service lock.
#pragma once

#include "runtime/json.h"
#include "session/service.h"

#include <sys/types.h>

namespace tw {

inline constexpr size_t kLibraryFileMax = 16 * 1024 * 1024;
inline constexpr size_t kLoginFileMax = 64 * 1024;
inline constexpr size_t kCredentialBlobMax = 2560;

// ---- Saved credentials

// Saves the credentials of a successful mount for the library entry
// `entry_id`: the blob holds the request's "credentials" text exactly as
// received, its "partition" when it had a number there, and the mounted
// container's file identity ("volume", "file" from the record). 0, -E2BIG
// when the blob is over 2560 bytes (nothing is saved), -EINVAL for an id that
// is not a UUID, -EIO when the keyring did not take it.
int credentials_store(const char *entry_id, const JsonValue *request, const JsonValue *record);

// Reads the saved blob of `entry_id`. 0 with *blob (the caller frees it with
// json_free, which wipes it); otherwise a negative errno and *message says
// what the user can do.
int credentials_read(const char *entry_id, JsonValue **blob, const char **message);

// Deletes the saved credentials of `entry_id`. 0 also when none were saved.
int credentials_forget(const char *entry_id);

// ---- Sign-in mounting

// The sign-in this request belongs to: "BOOT:LOGON" with the boot time in
// decimal and a 64-bit logon value in 16 hexadecimal digits. The logon value
// is the creation time of the client's logind session, or without logind
// (or without a session for the client) the service's own start, so that a
// new sign-in or boot gives a new identity. *remote tells whether logind
// names the session remote. 0 or a negative errno.
int sign_in_identity(const Service *service, pid_t client, std::string *identity, bool *remote);

// The "login" action: mounts the library's entries marked "mountOnLogin",
// each at most once per sign-in. 0, or a negative errno with *err set for a
// failure that stopped the whole run (one entry's failure is only an issue).
int library_login(Service *service, pid_t client, SessionError *err);

// The "forget" action.
int library_forget(Service *service, const JsonValue *request, SessionError *err);

// After a successful mount: saves the credentials when asked to ("remember"
// with an "entryID"; a failure sets *err, the mount stays) and clears the
// entry's sign-in issue.
void library_after_mount(Service *service, const JsonValue *request, const JsonValue *record,
                         SessionError *err);

// ---- Preferences and idle unmounting

// The "preferences" action.
int session_change_preferences(Service *service, const JsonValue *request, SessionError *err);

// Unmounts mounted sessions whose "idleSeconds" passed without disk
// activity. Run by the housekeeping thread.
void sessions_idle_check(Service *service);

} // namespace tw
