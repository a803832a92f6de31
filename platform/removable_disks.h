// Removable disks that may be imaged: found in the block-device folder of
// sysfs, never the disk that holds "/", never loop, device-mapper, iSCSI or
// virtual disks.
//
// Everything is read from a sysfs block folder given by the caller
// ("/sys/block" on a real system), so that the rule can be tried on a tree
// built by hand. The device nodes are "DEV/NAME" in a device folder given
// the same way ("/dev").
#pragma once

#include "platform/descriptor.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw {

struct BlockRoots {
    std::string sysfs = "/sys/block";
    std::string dev = "/dev";
};

struct RemovableDisk {
    std::string name;   // the kernel's name ("sdb", "mmcblk0")
    std::string path;   // the device node, DEV/NAME
    std::string vendor; // as the device reports them, untrimmed
    std::string model;
    std::string serial;
    std::string display;           // vendor and model trimmed and joined, or "Removable disk N"
    std::string hardware;          // where the disk sits: the resolved "device" link
    dev_t number = 0;              // the device number ("dev")
    std::vector<dev_t> partitions; // the device numbers of its partitions
    uint64_t size = 0;             // bytes, a positive multiple of 512
    uint64_t identity = 0;         // fingerprint of all of the above, never 0
};

// The eligible disks in name order (at most 64 are looked at). When the
// device of "/" cannot be read no disk is eligible. 0 or a negative errno
// (the sysfs folder cannot be read).
int removable_disks_list(const BlockRoots &roots, std::vector<RemovableDisk> *out);

// The eligible disk whose node is exactly `path` (DEV/NAME with a name the
// kernel could have given: no "/", not "." or ".."). -EINVAL for a path of
// another form, -ENODEV when no eligible disk has that node.
int removable_disk_find(const BlockRoots &roots, const char *path, RemovableDisk *out);

// The fingerprint: the text "NUMBER|VENDOR|MODEL|SERIAL|SIZE|HARDWARE"
// hashed byte by byte (FNV-1a 64 with its usual offset basis and prime),
// masked to 63 bits, 0 made 1.
uint64_t removable_disk_identity(const RemovableDisk &disk);

// Unmounts every mount of the disk and of its partitions (this process's
// mount table), then opens the node read-only and exclusively, so nothing can
// mount it while the descriptor lives, and checks that the node is the disk's
// block device of its size. -EBUSY when a volume is still in use (files open
// on it) or the disk is claimed elsewhere, -ENODEV when the node is not that
// disk any more, or another negative errno.
int removable_disk_open(const RemovableDisk &disk, FileHandle *out);

// The byte size of an open block device (BLKGETSIZE64). 0 or a negative errno.
int block_device_size(int fd, uint64_t *size);

} // namespace tw
