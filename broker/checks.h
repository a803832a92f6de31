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

// Gives the whole disk `device` a new filesystem ("fat32", "exfat", "ntfs")
// with `label`: mkfs.vfat -F 32 -n, mkfs.exfat -L or mkntfs -Q -L, then
// confirmed with libblkid. 0 with *method "mkfs"; -EINVAL with *message for
// another filesystem; -EIO with *message when formatting failed.
int format_volume(const std::string &device, const std::string &filesystem,
                  const std::string &label, std::string *method, std::string *message);

// The "format" action: the engine's private format target is logged in,
// its one empty volume formatted and the disk logged out again. Takes the
// global lock itself.
JsonValue *broker_run_format(BrokerRequest *request);

// The "repair" action: attaches the disk for a check, checks every data
// volume without the global lock, and records the results. Takes the
// global lock itself.
JsonValue *broker_run_repair(BrokerRequest *request);

} // namespace tw
