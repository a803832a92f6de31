#include "platform/loop_device.h"

#include "platform/clock.h"
#include "platform/descriptor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

int negative_errno() {
    return errno ? -errno : -EIO;
}

std::string sysfs_of(const std::string &device) {
    const char *name = strrchr(device.c_str(), '/');
    return std::string("/sys/block/") + (name ? name + 1 : device.c_str());
}

bool folder_has_entries(const std::string &path) {
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The first line of a sysfs file, without its newline; empty when unreadable.
std::string read_line(const std::string &path) {
    FILE *file = fopen(path.c_str(), "re");
    if (!file)
        return {};
    char line[4096] = {};
    if (!fgets(line, sizeof line, file))
        line[0] = 0;
    fclose(file);
    line[strcspn(line, "\n")] = 0;
    return line;
}

// Another loop device whose backing file is this device.
bool loop_stacked_on(const std::string &device) {
    DIR *dir = opendir("/sys/block");
    if (!dir)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, "loop", 4) != 0)
            continue;
        if (read_line(std::string("/sys/block/") + entry->d_name + "/loop/backing_file") ==
            device) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// A descriptor of another process that refers to the block device rdev.
bool other_process_opened(dev_t rdev) {
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    pid_t self = getpid();
    bool found = false;
    while (!found) {
        dirent *entry = readdir(proc);
        if (!entry)
            break;
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != 0 || pid <= 0 || pid == self)
            continue;
        std::string fd_folder = std::string("/proc/") + entry->d_name + "/fd";
        DIR *fds = opendir(fd_folder.c_str());
        if (!fds)
            continue;
        while (dirent *fd = readdir(fds)) {
            struct stat st {};
            if (fd->d_name[0] == '.')
                continue;
            if (stat((fd_folder + "/" + fd->d_name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                st.st_rdev == rdev) {
                found = true;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

} // namespace

int loop_attach(const LoopAttach &attach, std::string *device, int *number) {
    FileHandle control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control.valid())
        return negative_errno();
    // Another process may take the free device between the two calls; the
    // configure then fails with EBUSY and the next free one is tried.
    for (int attempt = 0; attempt < 16; ++attempt) {
        int n = ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (n < 0)
            return negative_errno();
        std::string path = "/dev/loop" + std::to_string(n);
        FileHandle fd(open(path.c_str(), (attach.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
        if (!fd.valid())
            return negative_errno();
        loop_config config{};
        config.fd = static_cast<uint32_t>(attach.backing_fd);
        config.block_size = attach.block_size;
        config.info.lo_offset = attach.offset;
        config.info.lo_sizelimit = attach.size_limit;
        config.info.lo_flags = attach.read_only ? LO_FLAGS_READ_ONLY : 0;
        if (ioctl(fd.get(), LOOP_CONFIGURE, &config) == 0) {
            *device = path;
            *number = n;
            return 0;
        }
        if (errno != EBUSY)
            return negative_errno();
    }
    return -EBUSY;
}

int loop_set_read_only(const std::string &device, bool read_only) {
    FileHandle fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return negative_errno();
    int flag = read_only ? 1 : 0;
    return ioctl(fd.get(), BLKROSET, &flag) == 0 ? 0 : negative_errno();
}

int loop_in_use(const std::string &device, bool *busy) {
    *busy = false;
    struct stat st {};
    if (stat(device.c_str(), &st) != 0)
        return negative_errno();
    if (!S_ISBLK(st.st_mode))
        return -ENOTBLK;
    // A mount, or any other exclusive holder, refuses a second exclusive open.
    FileHandle exclusive(open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!exclusive.valid()) {
        if (errno != EBUSY)
            return negative_errno();
        *busy = true;
        return 0;
    }
    *busy = folder_has_entries(sysfs_of(device) + "/holders") || loop_stacked_on(device) ||
            other_process_opened(st.st_rdev);
    return 0;
}

int block_device_read_only(const std::string &device, bool *read_only) {
    FileHandle fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return negative_errno();
    int flag = 0;
    if (ioctl(fd.get(), BLKROGET, &flag) != 0)
        return negative_errno();
    *read_only = flag != 0;
    return 0;
}

std::vector<int> loop_devices_over(const std::string &path) {
    std::vector<int> found;
    DIR *dir = opendir("/sys/block");
    if (!dir)
        return found;
    while (dirent *entry = readdir(dir)) {
        char *end = nullptr;
        if (strncmp(entry->d_name, "loop", 4) != 0)
            continue;
        long n = strtol(entry->d_name + 4, &end, 10);
        if (end == entry->d_name + 4 || *end != 0 || n < 0)
            continue;
        if (read_line(std::string("/sys/block/") + entry->d_name + "/loop/backing_file") == path)
            found.push_back(static_cast<int>(n));
    }
    closedir(dir);
    return found;
}

std::string loop_backing_file(int number) {
    return read_line("/sys/block/loop" + std::to_string(number) + "/loop/backing_file");
}

bool loop_is_attached(int number) {
    return !loop_backing_file(number).empty();
}

int loop_detach(const std::string &device, int timeout_ms) {
    {
        FileHandle fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid())
            return negative_errno();
        if (ioctl(fd.get(), LOOP_CLR_FD) != 0 && errno != ENXIO)
            return negative_errno();
    }
    // The kernel lets go of the file when the last opener closes the device.
    std::string backing = sysfs_of(device) + "/loop/backing_file";
    for (int waited = 0;; waited += 10) {
        if (read_line(backing).empty())
            return 0;
        if (waited >= timeout_ms)
            return -EBUSY;
        sleep_ms(10);
    }
}

} // namespace tw
