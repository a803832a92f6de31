// Manual-reset events shared between the processes of one user.
//
// An event is a file named after it (for example "Cancel.1234" or
// "Stop.<uuid>") in the per-user runtime folder, mode 0600, holding a 32-bit
// flag that every process maps shared. Setting stores 1 and wakes every
// waiter (a shared futex on the file's page); the flag is never cleared. The
// creator owns the name: creation fails when the name exists, and closing the
// creator's handle removes the file. Handles are used by one owner but may be
// set, polled and waited on from several threads.
//
// Unlike a kernel object, a file outlives a creator that is killed. The
// creator therefore holds a lock on its file while it lives, and a creation
// that finds a file nobody holds removes it and creates the event anew.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

struct NamedEvent;

// Longest accepted event name in bytes.
inline constexpr size_t kNamedEventNameMax = 200;

// Creates a new, unset event. Returns 0; -EEXIST when an event of that name
// exists and its creator still runs, or another file has the name; -EINVAL
// for a name that is empty, too long, ".", "..", or contains "/" or a NUL
// byte; or the error of the runtime folder or the file.
int named_event_create(std::string_view name, NamedEvent **out);

// Opens an existing event (the side that sets it). Returns 0; -ENOENT when
// there is none; -EACCES when the file is a symbolic link, not a regular file,
// not owned by this user, or not of the event's size; -EINVAL for a bad name.
int named_event_open(std::string_view name, NamedEvent **out);

// Sets the event and wakes every process waiting on it. A null event is
// ignored.
void named_event_set(NamedEvent *event);

// Whether the event is set, without waiting. False for a null event.
bool named_event_is_set(const NamedEvent *event);

// Waits until the event is set or timeout_ms milliseconds have passed (-1,
// or any negative value, waits forever; 0 only polls). 0 when set, -ETIMEDOUT, -EINVAL for a null
// event.
int named_event_wait(NamedEvent *event, int64_t timeout_ms);

// Removes the creator's file (only when the name still refers to this event)
// and keeps the handle usable: for an event another thread may still set
// until the process ends. Other handles are left as they are.
void named_event_remove_name(NamedEvent *event);

// Removes the files of events whose names begin with `prefix` and whose
// creators have ended without removing them (killed or crashed): files
// nobody holds. Events of running creators are left alone. Returns how many
// were removed; errors reading the runtime folder count as none.
int named_event_sweep_leftovers(std::string_view prefix);

// Releases the handle; the creator's handle also removes the file (only when
// the name still refers to this event). A null event is ignored.
void named_event_close(NamedEvent *event);

} // namespace tw
