#include "platform/removable_disks.h"

#include "platform/io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libmount.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kDiskLimit = 64;
constexpr size_t kAttributeLimit = 4096;

// A small sysfs attribute, without its final line feed. False when it cannot
// be read.
bool read_attribute(const std::string &path, std::string *out) {
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[kAttributeLimit];
    size_t done = 0;
    int rc = read_full(fd, buffer, sizeof buffer, &done);
    close(fd);
    if (rc != 0 && rc != -EIO)
        return false;
    out->assign(buffer, done);
    if (!out->empty() && out->back() == '\n')
        out->pop_back();
    return true;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// "MAJOR:MINOR" as the kernel writes it.
bool parse_device_number(const std::string &text, dev_t *out) {
    unsigned major_number = 0, minor_number = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &end) != 2)
        return false;
    *out = makedev(major_number, minor_number);
    return true;
}

bool read_device_number(const std::string &folder, dev_t *out) {
    std::string text;
    return read_attribute(folder + "/dev", &text) && parse_device_number(text, out);
}

std::vector<std::string> folder_names(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// True when a component of the path begins with `prefix`.
bool has_component(const std::string &path, const char *prefix) {
    size_t length = std::strlen(prefix);
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end - start >= length && path.compare(start, length, prefix) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Whether one of `numbers` is the disk, one of its partitions, or a device
// stacked directly on one of them (a device-mapper or md device holding "/").
bool holds_device(const BlockRoots &roots, const std::string &folder,
                  const std::vector<std::string> &partition_folders,
                  const std::vector<dev_t> &numbers) {
    auto named = [&](dev_t n) {
        return std::find(numbers.begin(), numbers.end(), n) != numbers.end();
    };
    std::vector<std::string> folders = partition_folders;
    folders.push_back(folder);
    for (const std::string &f : folders) {
        dev_t own = 0;
        if (read_device_number(f, &own) && named(own))
            return true;
        for (const std::string &holder : folder_names(f + "/holders")) {
            dev_t held = 0;
            if (read_device_number(roots.sysfs + "/" + holder, &held) && named(held))
                return true;
        }
    }
    return false;
}

// Reads one sysfs entry; false when it is not an eligible disk.
bool read_disk(const BlockRoots &roots, const std::string &name,
               const std::vector<dev_t> &root_devices, RemovableDisk *disk) {
    const std::string folder = roots.sysfs + "/" + name;
    // Loop and device-mapper disks say what they are in their own folders.
    if (exists(folder + "/loop") || exists(folder + "/dm") || exists(folder + "/partition"))
        return false;
    // A disk without hardware behind it is virtual (ram, zram, nbd, ...).
    char hardware[PATH_MAX];
    if (realpath((folder + "/device").c_str(), hardware) == nullptr)
        return false;
    disk->hardware = hardware;
    if (has_component(disk->hardware, "virtual") || has_component(disk->hardware, "session"))
        return false; // a virtual or an iSCSI disk, whatever it reports
    const bool usb = has_component(disk->hardware, "usb");
    const bool card = has_component(disk->hardware, "mmc");
    std::string removable;
    const bool removable_media =
        read_attribute(folder + "/removable", &removable) && removable == "1";
    if (!removable_media && !usb && !card)
        return false;

    if (!read_device_number(folder, &disk->number))
        return false;
    std::vector<std::string> partition_folders;
    for (const std::string &entry : folder_names(folder)) {
        std::string sub = folder + "/" + entry;
        dev_t part = 0;
        if (exists(sub + "/partition") && read_device_number(sub, &part)) {
            partition_folders.push_back(sub);
            disk->partitions.push_back(part);
        }
    }
    if (holds_device(roots, folder, partition_folders, root_devices))
        return false;

    std::string sectors;
    char *end = nullptr;
    if (!read_attribute(folder + "/size", &sectors) || sectors.empty())
        return false;
    errno = 0;
    unsigned long long count = std::strtoull(sectors.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || count == 0 || count > UINT64_MAX / 512)
        return false;
    disk->size = count * 512;

    disk->name = name;
    disk->path = roots.dev + "/" + name;
    read_attribute(folder + "/device/vendor", &disk->vendor);
    read_attribute(folder + "/device/model", &disk->model);
    read_attribute(folder + "/device/serial", &disk->serial);
    std::string vendor = trimmed(disk->vendor), model = trimmed(disk->model);
    disk->display = trimmed(vendor + " " + model);
    if (disk->display.empty())
        disk->display = "Removable disk " + std::to_string(static_cast<uint64_t>(disk->number));
    disk->identity = removable_disk_identity(*disk);
    return true;
}

// The devices that hold "/": the device number of its filesystem and, where
// that is not a block device of its own (btrfs, overlay), the block device
// the mount table names as the source of "/". False when "/" cannot be read.
bool root_devices(std::vector<dev_t> *out) {
    struct stat root;
    if (stat("/", &root) != 0)
        return false;
    out->assign(1, root.st_dev);
    if (libmnt_table *table = mnt_new_table_from_file("/proc/self/mountinfo")) {
        if (libmnt_fs *fs = mnt_table_find_target(table, "/", MNT_ITER_BACKWARD)) {
            const char *source = mnt_fs_get_srcpath(fs);
            struct stat st;
            if (source != nullptr && stat(source, &st) == 0 && S_ISBLK(st.st_mode))
                out->push_back(st.st_rdev);
        }
        mnt_unref_table(table);
    }
    return true;
}

bool kernel_name(const char *name) {
    return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strchr(name, '/') == nullptr;
}

// Unmounts every mount of these device numbers in this process's mount
// table; -EBUSY when one is still in use.
int unmount_devices(const std::vector<dev_t> &numbers) {
    libmnt_table *table = mnt_new_table_from_file("/proc/self/mountinfo");
    if (table == nullptr)
        return -EIO;
    std::vector<std::string> targets;
    libmnt_iter *iter = mnt_new_iter(MNT_ITER_BACKWARD);
    libmnt_fs *fs = nullptr;
    while (iter != nullptr && mnt_table_next_fs(table, iter, &fs) == 0)
        if (std::find(numbers.begin(), numbers.end(), mnt_fs_get_devno(fs)) != numbers.end())
            targets.emplace_back(mnt_fs_get_target(fs));
    mnt_free_iter(iter);
    mnt_unref_table(table);
    // Latest mounts first, so mounts stacked on a volume go before it.
    for (const std::string &target : targets)
        if (umount2(target.c_str(), UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT)
            return errno == EBUSY ? -EBUSY : -errno;
    return 0;
}

} // namespace

uint64_t removable_disk_identity(const RemovableDisk &disk) {
    char number[24];
    std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(disk.number));
    char size[24];
    std::snprintf(size, sizeof size, "%llu", static_cast<unsigned long long>(disk.size));
    std::string text = number;
    for (const std::string *part : {&disk.vendor, &disk.model, &disk.serial}) {
        text.push_back('|');
        text.append(*part);
    }
    text.push_back('|');
    text.append(size);
    text.push_back('|');
    text.append(disk.hardware);
    uint64_t hash = 0x14650FB0739D0383ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001B3ull;
    }
    hash &= 0x7FFFFFFFFFFFFFFFull;
    return hash == 0 ? 1 : hash;
}

int removable_disks_list(const BlockRoots &roots, std::vector<RemovableDisk> *out) {
    out->clear();
    DIR *d = opendir(roots.sysfs.c_str());
    if (d == nullptr)
        return -errno;
    closedir(d);
    std::vector<dev_t> system;
    // Without knowing which disk holds the system, none is offered.
    if (!root_devices(&system))
        return 0;
    std::vector<std::string> names = folder_names(roots.sysfs);
    if (names.size() > kDiskLimit)
        names.resize(kDiskLimit);
    for (const std::string &name : names) {
        RemovableDisk disk;
        if (read_disk(roots, name, system, &disk))
            out->push_back(std::move(disk));
    }
    return 0;
}

int removable_disk_find(const BlockRoots &roots, const char *path, RemovableDisk *out) {
    const std::string prefix = roots.dev + "/";
    if (path == nullptr || std::strncmp(path, prefix.c_str(), prefix.size()) != 0 ||
        !kernel_name(path + prefix.size()))
        return -EINVAL;
    std::vector<dev_t> system;
    if (!root_devices(&system))
        return -ENODEV;
    RemovableDisk disk;
    if (!read_disk(roots, path + prefix.size(), system, &disk))
        return -ENODEV;
    *out = std::move(disk);
    return 0;
}

int block_device_size(int fd, uint64_t *size) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
        return -errno;
    *size = bytes;
    return 0;
}

int removable_disk_open(const RemovableDisk &disk, FileHandle *out) {
    std::vector<dev_t> numbers = disk.partitions;
    numbers.push_back(disk.number);
    if (int rc = unmount_devices(numbers))
        return rc;
    // O_EXCL on a block device claims it: no filesystem can be mounted on it
    // while this descriptor (or a copy passed on) stays open.
    FileHandle fd(open(disk.path.c_str(), O_RDONLY | O_CLOEXEC | O_EXCL | O_NOFOLLOW));
    if (!fd.valid())
        return errno == ENOENT || errno == ENXIO ? -ENODEV : -errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return -errno;
    uint64_t size = 0;
    if (!S_ISBLK(st.st_mode) || st.st_rdev != disk.number ||
        block_device_size(fd.get(), &size) != 0 || size != disk.size)
        return -ENODEV;
    *out = std::move(fd);
    return 0;
}

} // namespace tw
