#include "platform/mounts.h"

#include "platform/clock.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <libmount.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr int kDriverTimeoutMs = 30000;
constexpr size_t kNameLimit = 200;

int negative_errno() {
    return errno ? -errno : -EIO;
}

bool kernel_has_filesystem(const char *name) {
    FILE *file = fopen("/proc/filesystems", "re");
    if (!file)
        return false;
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof line, file)) {
        line[strcspn(line, "\n")] = 0;
        // "nodev\tname" or "\tname"
        const char *tab = strrchr(line, '\t');
        found = strcmp(tab ? tab + 1 : line, name) == 0;
    }
    fclose(file);
    return found;
}

// An installed program in the system's own folders, never through PATH.
std::string find_program(const char *name) {
    for (const char *folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

struct Driver {
    const char *filesystem;
    const char *kernel;  // the kernel's driver
    const char *program; // the FUSE driver
    bool fsname;         // the FUSE driver takes -o fsname=
};

constexpr Driver kDrivers[] = {
    {"FAT32", "vfat", "fusefat", true},
    {"FAT", "vfat", "fusefat", true},
    {"exFAT", "exfat", "mount.exfat-fuse", true},
    {"NTFS", "ntfs3", "ntfs-3g", false},
};

const Driver *driver_for(const std::string &filesystem) {
    for (const Driver &d : kDrivers)
        if (filesystem == d.filesystem)
            return &d;
    return nullptr;
}

std::string owner_options(const VolumeMount &m) {
    return "uid=" + std::to_string(m.uid) + ",gid=" + std::to_string(m.gid) + ",umask=077";
}

int kernel_mount(const VolumeMount &m, const Driver &d) {
    unsigned long flags = MS_NOSUID | MS_NODEV | (m.read_only ? MS_RDONLY : 0);
    std::string options = owner_options(m);
    if (mount(m.device.c_str(), m.mount_point.c_str(), d.kernel, flags, options.c_str()) != 0)
        return negative_errno();
    return 0;
}

int fuse_mount(const VolumeMount &m, const Driver &d, const std::string &program) {
    // fusefat writes only when asked with "rw+"; the others take "rw".
    std::string options = m.read_only ? "ro" : strcmp(d.program, "fusefat") == 0 ? "rw+" : "rw";
    // allow_other lets the user in at all; default_permissions makes the
    // kernel enforce the owner and mode the options give every file.
    options += ",nosuid,nodev,allow_other,default_permissions," + owner_options(m);
    if (d.fsname)
        options += ",fsname=" + m.device;
    std::string argv[] = {program, "-o", options, m.device, m.mount_point};
    LaunchOptions launch;
    // A process group of its own: the daemon must outlive a restart of
    // whoever mounted it. Its output is the driver's debugging chatter.
    launch.new_process_group = true;
    LaunchedProcess child;
    int rc = launch_process(argv, launch, &child);
    if (rc != 0)
        return rc;
    if (child.pidfd >= 0)
        close(child.pidfd);
    // The driver returns once the mount is in place and its daemon runs.
    int status = 0;
    for (int waited = 0;; waited += 20) {
        pid_t done = process_wait(child.pid, &status, WNOHANG);
        if (done == child.pid)
            break;
        if (done < 0)
            return -EIO;
        if (waited >= kDriverTimeoutMs) {
            kill(child.pid, SIGKILL);
            process_wait(child.pid, &status, 0);
            volume_unmount(m.mount_point);
            return -ETIMEDOUT;
        }
        sleep_ms(20);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !mount_table_has(m.mount_point))
        return -EIO;
    return 0;
}

std::string user_folder_name(uid_t uid) {
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_name[0] != '\0' && strchr(found->pw_name, '/') == nullptr &&
        strcmp(found->pw_name, ".") != 0 && strcmp(found->pw_name, "..") != 0)
        return found->pw_name;
    return std::to_string(uid);
}

// A folder owned by root:gid with this mode, made when missing. An existing
// one is trusted only as a real folder of root's that nobody else may change.
int root_folder(const std::string &path, gid_t gid, mode_t mode) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return negative_errno();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return negative_errno();
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0)
        return -EACCES;
    if ((st.st_gid != gid && chown(path.c_str(), 0, gid) != 0) ||
        ((st.st_mode & 07777) != mode && chmod(path.c_str(), mode) != 0))
        return negative_errno();
    return 0;
}

// The label as one folder name: no "/", no NUL, not "." or "..", not empty.
std::string folder_name_of(const std::string &label) {
    std::string name;
    for (char c : label)
        name += c == '/' || c == '\0' ? '_' : c;
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    if (name.size() > kNameLimit)
        name.resize(kNameLimit);
    if (name.empty() || name == "." || name == "..")
        name = "disk";
    return name;
}

} // namespace

int mount_table_under(const std::string &folder, std::vector<std::string> *out) {
    out->clear();
    libmnt_table *table = mnt_new_table_from_file("/proc/self/mountinfo");
    if (!table)
        return -EIO;
    libmnt_iter *iter = mnt_new_iter(MNT_ITER_FORWARD);
    if (!iter) {
        mnt_unref_table(table);
        return -ENOMEM;
    }
    libmnt_fs *fs = nullptr;
    const std::string prefix = folder + "/";
    while (mnt_table_next_fs(table, iter, &fs) == 0) {
        const char *target = mnt_fs_get_target(fs);
        if (target && (folder == target || strncmp(target, prefix.c_str(), prefix.size()) == 0))
            out->push_back(target);
    }
    mnt_free_iter(iter);
    mnt_unref_table(table);
    return 0;
}

bool mount_table_has(const std::string &mount_point) {
    std::vector<std::string> found;
    if (mount_table_under(mount_point, &found) != 0)
        return false;
    for (const std::string &target : found)
        if (target == mount_point)
            return true;
    return false;
}

int mount_is_read_only(const std::string &path, bool *read_only) {
    struct statvfs st {};
    if (statvfs(path.c_str(), &st) != 0)
        return negative_errno();
    *read_only = (st.f_flag & ST_RDONLY) != 0;
    return 0;
}

int mount_point_create(uid_t uid, const std::string &label, std::string *path) {
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    // An account without a passwd entry is taken to have a group of its own
    // number, as the mount's files are.
    gid_t gid = uid;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        gid = found->pw_gid;
    // /run/media/NAME is root's, readable by the user's group only: the
    // names of the user's volumes are the user's business.
    int rc = root_folder(kMediaFolder, 0, 0755);
    const std::string user_folder = std::string(kMediaFolder) + "/" + user_folder_name(uid);
    if (rc == 0)
        rc = root_folder(user_folder, gid, 0750);
    if (rc != 0)
        return rc;
    std::vector<std::string> mounted;
    if ((rc = mount_table_under(user_folder, &mounted)) != 0)
        return rc;
    int held = 0;
    for (const std::string &target : mounted)
        if (target != user_folder && target.find('/', user_folder.size() + 1) == std::string::npos)
            held++;
    if (held >= kMountPointsPerUser)
        return -ENOSPC;
    const std::string base = user_folder + "/" + folder_name_of(label);
    for (int n = 1; n <= 1000; n++) {
        std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
        if (mkdir(candidate.c_str(), 0700) == 0) {
            *path = candidate;
            return 0;
        }
        if (errno != EEXIST)
            return negative_errno();
    }
    return -ENOSPC;
}

int mount_point_remove(const std::string &path) {
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        return negative_errno();
    return 0;
}

int volume_driver(const std::string &filesystem, std::string *driver, bool *kernel) {
    driver->clear();
    *kernel = false;
    const Driver *d = driver_for(filesystem);
    if (!d)
        return -ENODEV;
    if (kernel_has_filesystem(d->kernel)) {
        *driver = d->kernel;
        *kernel = true;
        return 0;
    }
    *driver = d->program;
    return find_program(d->program).empty() ? -ENODEV : 0;
}

int volume_mount(const VolumeMount &m, std::string *driver) {
    bool kernel = false;
    if (int rc = volume_driver(m.filesystem, driver, &kernel))
        return rc;
    const Driver &d = *driver_for(m.filesystem);
    return kernel ? kernel_mount(m, d) : fuse_mount(m, d, find_program(d.program));
}

int volume_unmount(const std::string &mount_point) {
    if (umount2(mount_point.c_str(), UMOUNT_NOFOLLOW) == 0)
        return 0;
    if (errno == EINVAL || errno == ENOENT)
        return mount_table_has(mount_point) ? -EIO : 0;
    return negative_errno();
}

} // namespace tw
