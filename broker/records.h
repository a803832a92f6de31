// The broker's session records: one JSON file per session in the "broker"
// folder of the machine root, named "ID.json", mirrored in a table of 64
// slots in memory.
//
// Every change is written with the atomic record write, so a file always
// holds a complete record, also when the broker is killed while writing.
// The table is guarded by the broker's global lock; nothing here locks.
#pragma once

#include "runtime/json.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

inline constexpr size_t kRecordSlots = 64;
inline constexpr size_t kRecordsPerUser = 16;

struct RecordSlot {
    JsonValue *record = nullptr; // owned; null for a free slot
    // Set while a long step (a filesystem check, a format) works on the
    // record without the global lock; other requests keep away from it.
    bool busy = false;
};

struct RecordTable {
    std::string folder; // the "broker" folder
    RecordSlot slots[kRecordSlots];
    // Files that the last load could not take (unreadable, an invalid id, a
    // name that is not the id, no free slot); they stay on disk.
    size_t unreadable = 0;
};

// The user a record belongs to: "owner" of a mount session, "account" of a
// format session; "" when it has neither.
const char *record_user(const JsonValue *record);
bool record_is_format(const JsonValue *record);
const char *record_phase(const JsonValue *record);

// Loads every "*.json" record of table->folder into a table that must be
// empty, and recovers what a previous run left:
// - temporaries of interrupted record writes ("ID.json.UUID.tmp") are removed;
// - a record of another boot whose iSCSI session is gone is deleted;
// - a record left "repairing" becomes "repaired", not clean, with the
//   interruption message, and is written back;
// - format sessions are swept (sweep_format_sessions).
// `boot` is the current boot_time. 0, or a negative errno when the folder
// cannot be read.
int records_load(RecordTable *table, uint64_t boot);

// Logs every format session that is not busy out of the initiator, marks it
// "disconnected" and deletes it. A failed logout keeps the record for the
// next sweep; a record whose file cannot be deleted stays in memory.
void sweep_format_sessions(RecordTable *table);

// The slot of the record with this id, or -1.
int record_find(const RecordTable *table, const char *id);

// Writes the slot's record to its file. 0 or -EIO.
int record_write(RecordTable *table, size_t slot);

// Deletes the slot's file (a missing file counts as deleted) and frees the
// slot. On failure the record stays in memory. 0 or a negative errno.
int record_delete(RecordTable *table, size_t slot);

// A free slot for a new record of `user`. A user holds at most
// kRecordsPerUser records: when a new one would pass that, the user's
// "disconnected" records are deleted first. -EDQUOT when the user still holds
// kRecordsPerUser, -ENOSPC when all slots are taken.
int records_reserve(RecordTable *table, const char *user, size_t *slot);

// Releases every record of the table.
void records_free(RecordTable *table);

} // namespace tw
