// Whole-system tests run as root in a private mount namespace, with fresh
// tmpfs over /run and /var/lib, so that the broker's socket, its lock and its
// records never touch the machine's own folders.
#pragma once

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tw::test {

// Moves the calling thread (and every process it forks later) into the
// private namespace, once; later calls return the first result. An empty
// result means ready; otherwise it is the reason to skip. Call it from the
// thread that runs the tests (GoogleTest's main thread).
inline const std::string &enter_private_mounts() {
    static const std::string result = []() -> std::string {
        if (geteuid() != 0)
            return "needs root";
        if (unshare(CLONE_NEWNS) != 0)
            return std::string("cannot enter a mount namespace: ") + strerror(errno);
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("cannot make the mounts private: ") + strerror(errno);
        struct Folder {
            const char *mount_point;
            const char *inside;
            mode_t mode;
        };
        for (Folder f : {Folder{"/run", "/run/tarnwick", 0755},
                         Folder{"/var/lib", "/var/lib/tarnwick", 0700}}) {
            if (mount("tmpfs", f.mount_point, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
                return std::string("cannot mount tmpfs: ") + strerror(errno);
            if (mkdir(f.inside, f.mode) != 0 || chmod(f.inside, f.mode) != 0)
                return std::string("cannot create ") + f.inside;
        }
        return {};
    }();
    return result;
}

// The same, for tests that attach disks: the private namespace, and loop
// devices and FUSE to attach them with. Empty means ready.
inline std::string enter_private_mounts_for_disks() {
    std::string reason = enter_private_mounts();
    if (reason.empty() &&
        (access("/dev/loop-control", R_OK | W_OK) != 0 || access("/dev/fuse", R_OK | W_OK) != 0))
        reason = "/dev/loop-control or /dev/fuse is not available";
    return reason;
}

// The whole text of a file; empty when it cannot be read.
inline std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Mount points in this namespace below the folder.
inline std::vector<std::string> mounts_below(const std::string &folder) {
    std::vector<std::string> found;
    std::istringstream table(read_text("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, devices, root, point;
        fields >> id >> parent >> devices >> root >> point;
        if (point.starts_with(folder + "/"))
            found.push_back(point);
    }
    return found;
}

// The file named `name` in the folder, found without regard to case (FAT
// keeps the case it was given, drivers differ in what they show); empty
// when there is none.
inline std::string find_file_any_case(const std::string &folder, const std::string &name) {
    std::string found;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (strcasecmp(e->d_name, name.c_str()) == 0)
                found = folder + "/" + e->d_name;
        closedir(d);
    }
    return found;
}

} // namespace tw::test
