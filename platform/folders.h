// Private folders of the user and of the machine, and where the programs are.
//
// Private means: owned by the user (root for the machine folder), mode 0700,
// and not modifiable by anyone else: no group or other write bit and no POSIX
// ACL entry that grants write access to another user or group. Folder checks
// never follow a symbolic link and never adopt a folder owned by someone else.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The user id of this process (effective uid) as decimal text, e.g. "1000".
// It names the user in socket names, records and comparisons.
std::string current_user_id();

// Creates path as a private folder (0700), or re-secures an existing one.
// Returns 0; -ENOTDIR when path is not a directory or is a symbolic link;
// -EACCES when it is owned by another user (it is then left unchanged), when
// creation was refused, or when its mode or ACL cannot be made private; -EIO
// for any other creation failure. The parent folder must exist.
int ensure_private_folder(std::string_view path);

// True when the open file or folder grants write access to nobody but its
// owner (no group/other write bit, no ACL entry granting write to others).
bool is_unmodifiable_by_others(int fd);

// The per-user runtime folder for named events and the session socket:
// "$XDG_RUNTIME_DIR/tarnwick" when XDG_RUNTIME_DIR is an absolute path, else
// "/run/user/UID/tarnwick" when /run/user/UID is a folder of this user, else
// the folder "run" in the user root (see user_folder). Ensured private on
// every call. 0 or a negative errno.
int runtime_folder(std::string *out);

// Why runtime_folder refuses its folder, naming it: "'PATH' is a symbolic
// link, which is never followed", "'PATH' belongs to user N (name), not to
// this user", and so on; empty when it is accepted now.
std::string runtime_folder_refusal();

// The user root "$XDG_DATA_HOME/Tarnwick" (XDG_DATA_HOME used only when it is
// an absolute path; default "$HOME/.local/share/Tarnwick"). Missing parents
// are created 0700 and the root is ensured private on every call. With a
// non-empty name the result is the root and the name joined by "/" (that
// sub-folder is not created). 0 or a negative errno.
int user_folder(std::string_view name, std::string *out);

// The machine root "/var/lib/tarnwick" (used only by the broker, as root):
// created owned by root with mode 0700. An existing root is trusted only when
// it is a folder, not a symbolic link, and owned by root; a trusted one is
// re-secured (-EACCES on failure), an untrusted one is renamed aside to
// "ROOT.untrusted-UUID" (never replacing anything) and a new root is created
// (-EACCES when either fails). Other creation failures: -EACCES when refused,
// else -EIO. With a non-empty name, root and name joined by "/".
int machine_folder(std::string_view name, std::string *out);

// The same path as machine_folder, but only when a trusted machine root
// already exists; never creates, renames or changes anything. -ENOENT when
// there is no root, -EACCES when it is not trusted.
int machine_folder_existing(std::string_view name, std::string *out);

// The same two operations on a machine root at another place; tests use them.
int machine_folder_at(std::string_view root, std::string_view name, std::string *out);
int machine_folder_existing_at(std::string_view root, std::string_view name, std::string *out);

// The folder of the running executable (/proc/self/exe) and name joined by
// "/". Sibling programs are found only this way, never through PATH.
int program_file_path(std::string_view name, std::string *out);

} // namespace tw
