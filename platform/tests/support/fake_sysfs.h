// A hand-built sysfs block folder for the removable-disk rules: each disk
// gets the attributes the kernel would give it, and a "device" link into a
// hardware tree that says which bus it hangs on. Header-only, so the
// whole-system tests can build one as well.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace tw::test {

enum class FakeBus { usb, ata, mmc, iscsi, none };
enum class FakeKind { disk, loop, device_mapper };

struct FakeDisk {
    std::string name;
    std::string dev; // "MAJOR:MINOR"
    unsigned long long sectors = 0;
    bool removable = false;
    FakeBus bus = FakeBus::usb;
    FakeKind kind = FakeKind::disk;
    std::string vendor = "ACME    ";
    std::string model = "Stick           ";
    std::string serial = "0001";
    std::vector<std::pair<std::string, std::string>> partitions; // name, dev
};

inline void fake_write(const std::string &path, const std::string &text) {
    std::ofstream(path) << text << "\n";
}

inline void fake_mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

// Builds ROOT/block (the folder to read) and ROOT/devices (the hardware).
// Returns ROOT/block.
inline std::string fake_sysfs_build(const std::string &root, const std::vector<FakeDisk> &disks) {
    const std::string block = root + "/block";
    fake_mkdirs(block);
    int n = 0;
    for (const FakeDisk &d : disks) {
        n++;
        const std::string folder = block + "/" + d.name;
        fake_mkdirs(folder);
        fake_write(folder + "/dev", d.dev);
        fake_write(folder + "/size", std::to_string(d.sectors));
        fake_write(folder + "/removable", d.removable ? "1" : "0");
        if (d.kind == FakeKind::loop) {
            fake_mkdirs(folder + "/loop");
            fake_write(folder + "/loop/backing_file", "/var/tmp/file");
        }
        if (d.kind == FakeKind::device_mapper) {
            fake_mkdirs(folder + "/dm");
            fake_write(folder + "/dm/name", "crypt");
        }
        for (const auto &[part, dev] : d.partitions) {
            fake_mkdirs(folder + "/" + part);
            fake_write(folder + "/" + part + "/partition", "1");
            fake_write(folder + "/" + part + "/dev", dev);
        }
        std::string hardware;
        const std::string id = std::to_string(n);
        switch (d.bus) {
        case FakeBus::usb:
            hardware = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + id + "/1-" + id + ":1.0/host" +
                       id + "/target" + id + ":0:0/" + id + ":0:0:0";
            break;
        case FakeBus::ata:
            hardware = "/devices/pci0000:00/0000:00:17.0/ata" + id + "/host" + id + "/target" + id +
                       ":0:0/" + id + ":0:0:0";
            break;
        case FakeBus::mmc:
            hardware = "/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc" + id + "/mmc" + id + ":0001";
            break;
        case FakeBus::iscsi:
            hardware = "/devices/platform/host" + id + "/session" + id + "/target" + id + ":0:0/" +
                       id + ":0:0:0";
            break;
        case FakeBus::none:
            break;
        }
        if (!hardware.empty()) {
            fake_mkdirs(root + hardware);
            fake_write(root + hardware + "/vendor", d.vendor);
            fake_write(root + hardware + "/model", d.model);
            fake_write(root + hardware + "/serial", d.serial);
            (void)!symlink((root + hardware).c_str(), (folder + "/device").c_str());
        }
    }
    return block;
}

// The device number of "/" as sysfs writes it.
inline std::string root_device_text() {
    struct stat st;
    if (stat("/", &st) != 0)
        return "0:0";
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

} // namespace tw::test
