// Mount sessions: their records in the run folder, the workers that serve
// them, the broker exchanges that attach and detach their disks, and the
// refresh that notices what changed behind the service's back. Everything
// here runs under the service lock.
#pragma once

#include "runtime/json.h"
#include "session/service.h"

#include <mutex>
#include <string>

namespace tw {

// Fills the slots from the run folder at start-up and cleans away the
// folders of interrupted starts; damaged records become warnings and are
// left untouched.
void sessions_load(Service *service);

// Detects dead workers, lost disks, ejected media and finished checks, and
// saves every change of phase at once.
void sessions_refresh(Service *service);

// The slot whose record has this id (compared without regard to case), or -1.
int session_find(const Service *service, const char *id);

// True while the slot's worker is the same running process.
bool session_worker_alive(Service *service, size_t slot);

// Mounts the container of a "mount" request. 0 with *record a copy of the
// new record; otherwise a negative errno with *err set. *session_id names the
// session the request created, also after a failure that left one.
int session_mount(Service *service, const JsonValue *request, JsonValue **record,
                  std::string *session_id, SessionError *err);

// Checks and repairs a container's filesystems ("repair"): the lock is given
// up while the broker checks. 0 with *report; or a negative errno with *err.
int session_repair(Service *service, const JsonValue *request, std::unique_lock<std::mutex> &held,
                   JsonValue **report, SessionError *err);

// Unmounts the slot's session: detach, stop the worker, confirm, remove the
// record. 0 when the slot was freed; otherwise a negative errno with *err,
// and the record says what the user must do next.
int session_unmount(Service *service, size_t slot, SessionError *err);

// Unmounts every session (sign-out); failures stay in the records.
void sessions_unmount_all(Service *service);

// Saves the slot's record atomically. 0 or -EIO.
int session_record_save(Service *service, size_t slot);

// Copies of all records, sorted by their "path" texts in byte order.
JsonValue *sessions_list(const Service *service);

// Releases everything a slot holds in memory (not its files).
void session_slot_release(SessionSlot *slot);

// Test seams: the broker's answers are the real broker's unless a test
// replaces the exchange. Null restores the broker.
using BrokerCallFn = int (*)(JsonValue *request, JsonValue **reply, std::string *message);
void sessions_set_broker_for_testing(BrokerCallFn call);

} // namespace tw
