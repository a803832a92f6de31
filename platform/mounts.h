// Mounting a volume's block device where its user finds it: the mount points
// under /run/media/USER, the filesystem drivers, unmounting, and reading the
// mount table (libmount).
//
// A volume is mounted by the kernel's driver where /proc/filesystems lists it
// (vfat, exfat, ntfs3), otherwise by the FUSE driver (fusefat, exfat-fuse,
// ntfs-3g). Either way the files belong to the user (uid/gid, umask 077),
// nothing set-uid or device-special is honoured, and read-only mounts carry
// the kernel's read-only flag.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tw {

inline constexpr const char *kMediaFolder = "/run/media";
// Mount points one user may hold at once under kMediaFolder.
inline constexpr int kMountPointsPerUser = 23;

struct VolumeMount {
    std::string device;      // the volume's block device
    std::string mount_point; // an empty folder
    std::string filesystem;  // "FAT32", "FAT", "exFAT", "NTFS"
    bool read_only = true;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Creates a mount point /run/media/NAME/LABEL for the user (NAME: the
// account name, or the uid when it has none), with "-2", "-3", ... appended
// while that name is taken. The folders above it belong to root, so the user
// cannot swap them for links. 0 with *path; -ENOSPC when the user already has
// kMountPointsPerUser mounts there; another negative errno.
int mount_point_create(uid_t uid, const std::string &label, std::string *path);

// Removes an empty mount point folder; a missing one counts as removed.
int mount_point_remove(const std::string &path);

// Mounts the volume. 0 once the mount table shows it; -ENODEV when no
// driver for the filesystem is available; -EIO (or another errno) when the
// driver failed. *driver names the driver tried ("vfat", "fusefat", ...).
int volume_mount(const VolumeMount &mount, std::string *driver);

// The driver volume_mount would use for the filesystem: 0 with *driver its
// name and *kernel whether it is the kernel's; -ENODEV when there is none
// (*driver then names the FUSE driver that is missing, or is empty for a
// filesystem without drivers).
int volume_driver(const std::string &filesystem, std::string *driver, bool *kernel);

// Unmounts without force. 0, also when nothing is mounted there; -EBUSY
// while files on it are open; another negative errno.
int volume_unmount(const std::string &mount_point);

// Whether the mount table has a mount at exactly this path.
bool mount_table_has(const std::string &mount_point);

// The mount points at or below the folder in the mount table.
int mount_table_under(const std::string &folder, std::vector<std::string> *out);

// Whether the filesystem mounted at the path is read-only (statvfs).
int mount_is_read_only(const std::string &path, bool *read_only);

} // namespace tw
