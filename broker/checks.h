// Filesystem checks and formatting on the broker's attached disks: the
// "repair" action (fsck over every data volume of a mounted container) and
// the "format" action (mkfs on the disk of a container being created).
#pragma once

#include "broker/service.h"

#include <string>

namespace tw {

// Output kept per volume and per session.
inline constexpr size_t kCheckOutputLimit = 16 * 1024;

struct VolumeCheck {
    int status = -1;    // the repairing run's exit code
    bool clean = false; // 0 from the repairing run, or from the read-only one after it
    std::string output; // what the runs printed, at most kCheckOutputLimit bytes
    std::string tool;   // the program of the repairing run ("fsck.vfat", ...)
};

// Checks and repairs one volume device ("/dev/loopN") holding `filesystem`
// ("FAT32", "FAT", "exFAT", "NTFS"): the repairing run (fsck.vfat -a,
// fsck.exfat -y, ntfsfix), and when it exits 1 (errors corrected) or 2 a
// read-only run (-n) that decides whether the volume is clean. 0 with
// *result; -EINVAL for a bad path or another filesystem; -EIO when a run
// could not start (*result then keeps what was gathered).
int check_volume(const std::string &volume, const std::string &filesystem, VolumeCheck *result);

// The "repair" action: attaches the disk for a check, checks every data
// volume without the global lock, and records the results. Takes the
// global lock itself.
JsonValue *broker_run_repair(BrokerRequest *request);

} // namespace tw
