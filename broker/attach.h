// Turning a running mount worker into a mounted volume of its user, and back:
// the "attach" and "unmount" actions, and the attachment of "repair".
//
// The road of an attach: the initiator logs into the worker's target and
// presents the disk as a loop device; the disk's read-only flag is set as
// requested; libblkid lists its volumes; the chosen volume becomes a loop
// device of its own (offset and size over the disk) and is mounted under
// /run/media/USER. Every other volume is hidden by never being presented.
// Each step is recorded before the next one, so that a failed attach, a
// later unmount or a broker restart finds everything that needs undoing.
#pragma once

#include "broker/service.h"

#include <string>

namespace tw {

// The disk must appear this soon after the login.
inline constexpr int kDiskArrivalMs = 20000;
inline constexpr int kVolumeSettleMs = 20000;
inline constexpr int kRestoreSettleMs = 5000;

// The session's disk device and number, waiting up to timeout_ms for it.
// -ENOENT when it did not appear, -EIO when the devices cannot be listed.
int wait_for_disk(const std::string &session, int timeout_ms, std::string *device, int *disk);

// The disk's read-only flag as requested, and confirmed: a disk the target
// write-protects stays read-only whatever the flag says. 0, -EACCES, -EIO.
//
// The flag is set only when it differs: the kernel keeps a device's flag
// after the device is detached and reused, so every flag set here is cleared
// again before the disk goes (clear_disk_flag).
int set_disk_access(const std::string &device, bool read_only);

// Clears the read-only flag this broker may have set on the disk, so that
// the loop device does not pass it on to its next user. The device's own
// read-only state (a write-protected disk) is not touched by this.
void clear_disk_flag(const std::string &device);

// Attaches the request's worker for `user` (decimal uid) of logon session
// `logon`, or, with `repair`, attaches the disk for a check without mounting
// anything ("checkVolumes" lists every data volume). A repeated request with
// the same id returns the existing record. A copy of the record, or null with
// *message. Runs under the global lock.
JsonValue *attach_session(Broker *broker, const JsonValue *request, const std::string &user,
                          uint64_t logon, bool repair, std::string *message);

// Unmounts the volumes of the record's disk, removes their devices and mount
// points, and logs the initiator out. 0 (the record then names no iSCSI
// session), or a negative errno with *message (kTextKeptInUse) and the disk
// still connected.
int detach_session(JsonValue *record, const char **message);

// The "unmount" action for the record with this id. A copy of the updated
// record, or null with *message.
JsonValue *unmount_session(Broker *broker, const char *id, const std::string &user,
                           std::string *message);

JsonValue *broker_run_attach(BrokerRequest *request);
JsonValue *broker_run_unmount(BrokerRequest *request);

} // namespace tw
