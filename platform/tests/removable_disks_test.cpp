// Which disks may be imaged, read from a hand-built sysfs folder: the bus
// and removable rules, the disk holding "/", loop and device-mapper disks,
// names and the identity fingerprint.
#include "platform/removable_disks.h"
#include "platform/tests/support/fake_sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace tw::test {
namespace {

struct Tree {
    std::string root;
    BlockRoots roots;
    explicit Tree(const std::vector<FakeDisk> &disks) {
        char pattern[] = "/tmp/tw-sysfs-XXXXXX";
        root = mkdtemp(pattern);
        roots.sysfs = fake_sysfs_build(root, disks);
        roots.dev = "/dev";
    }
    ~Tree() { std::system(("rm -rf '" + root + "'").c_str()); }
};

std::vector<std::string> eligible(const std::vector<FakeDisk> &disks) {
    Tree tree(disks);
    std::vector<RemovableDisk> found;
    EXPECT_EQ(0, removable_disks_list(tree.roots, &found));
    std::vector<std::string> names;
    for (const RemovableDisk &d : found)
        names.push_back(d.name);
    return names;
}

FakeDisk disk(const char *name, bool removable, FakeBus bus, FakeKind kind = FakeKind::disk) {
    FakeDisk d;
    d.name = name;
    d.dev = "8:" + std::to_string(std::hash<std::string>{}(name) % 200);
    d.sectors = 2048;
    d.removable = removable;
    d.bus = bus;
    d.kind = kind;
    return d;
}

TEST(RemovableDisks, EligibilityRules) {
    struct Case {
        const char *what;
        FakeDisk disk;
        bool eligible;
    };
    FakeDisk root_disk = disk("sdr", true, FakeBus::usb);
    root_disk.dev = root_device_text();
    FakeDisk root_partition = disk("sdp", true, FakeBus::usb);
    root_partition.partitions = {{"sdp1", "8:201"}, {"sdp2", root_device_text()}};
    FakeDisk empty = disk("sde", true, FakeBus::usb);
    empty.sectors = 0;
    FakeDisk no_number = disk("sdn", true, FakeBus::usb);
    no_number.dev = "garbage";
    const Case cases[] = {
        {"removable USB disk", disk("sdb", true, FakeBus::usb), true},
        {"USB disk reporting fixed media", disk("sdc", false, FakeBus::usb), true},
        {"SD card reader", disk("mmcblk0", false, FakeBus::mmc), true},
        {"removable SATA media", disk("sdd", true, FakeBus::ata), true},
        {"fixed SATA disk", disk("sda", false, FakeBus::ata), false},
        {"removable iSCSI disk", disk("sdi", true, FakeBus::iscsi), false},
        {"virtual disk", disk("zram0", true, FakeBus::none), false},
        {"loop disk", disk("loop0", true, FakeBus::usb, FakeKind::loop), false},
        {"device-mapper disk", disk("dm-0", true, FakeBus::usb, FakeKind::device_mapper), false},
        {"disk holding /", root_disk, false},
        {"disk with a partition holding /", root_partition, false},
        {"empty card reader", empty, false},
        {"unreadable device number", no_number, false},
    };
    for (const Case &c : cases) {
        std::vector<std::string> names = eligible({c.disk});
        EXPECT_EQ(c.eligible ? std::vector<std::string>{c.disk.name} : std::vector<std::string>{},
                  names)
            << c.what;
    }
    // All together, in name order.
    std::vector<FakeDisk> all;
    for (const Case &c : cases)
        all.push_back(c.disk);
    EXPECT_EQ((std::vector<std::string>{"mmcblk0", "sdb", "sdc", "sdd"}), eligible(all));
}

TEST(RemovableDisks, EntriesNamesAndIdentity) {
    FakeDisk stick = disk("sdb", true, FakeBus::usb);
    FakeDisk anonymous = disk("sdc", true, FakeBus::usb);
    anonymous.vendor = "   ";
    anonymous.model = "";
    anonymous.dev = "8:32";
    Tree tree({stick, anonymous});
    std::vector<RemovableDisk> found;
    ASSERT_EQ(0, removable_disks_list(tree.roots, &found));
    ASSERT_EQ(2u, found.size());
    EXPECT_EQ("/dev/sdb", found[0].path);
    EXPECT_EQ("ACME Stick", found[0].display);
    EXPECT_EQ(2048u * 512, found[0].size);
    EXPECT_EQ("Removable disk " + std::to_string(static_cast<uint64_t>(makedev(8, 32))),
              found[1].display);
    for (const RemovableDisk &d : found) {
        EXPECT_NE(0u, d.identity);
        EXPECT_EQ(0u, d.identity >> 63);
        EXPECT_EQ(d.identity, removable_disk_identity(d));
    }
    // Anything the fingerprint covers changes it.
    RemovableDisk changed = found[0];
    changed.serial += "X";
    EXPECT_NE(found[0].identity, removable_disk_identity(changed));
    changed = found[0];
    changed.size += 512;
    EXPECT_NE(found[0].identity, removable_disk_identity(changed));
    // The untrimmed vendor text counts, not the display name.
    changed = found[0];
    changed.vendor = "ACME";
    EXPECT_NE(found[0].identity, removable_disk_identity(changed));
}

TEST(RemovableDisks, FindAcceptsOnlyNodesOfEligibleDisks) {
    Tree tree({disk("sdb", true, FakeBus::usb), disk("sda", false, FakeBus::ata)});
    RemovableDisk found;
    EXPECT_EQ(0, removable_disk_find(tree.roots, "/dev/sdb", &found));
    EXPECT_EQ("sdb", found.name);
    struct Case {
        const char *path;
        int result;
    } cases[] = {
        {"/dev/sda", -ENODEV},        {"/dev/sdz", -ENODEV}, {"/dev/sdb/x", -EINVAL},
        {"/dev/../dev/sdb", -EINVAL}, {"/dev/", -EINVAL},    {"/dev/..", -EINVAL},
        {"/devsdb", -EINVAL},         {"dev/sdb", -EINVAL},  {"/tmp/sdb", -EINVAL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.result, removable_disk_find(tree.roots, c.path, &found)) << c.path;
    EXPECT_EQ(-EINVAL, removable_disk_find(tree.roots, nullptr, &found));
}

TEST(RemovableDisks, MissingSysfsFolderIsAnError) {
    BlockRoots roots;
    roots.sysfs = "/nonexistent/block";
    std::vector<RemovableDisk> found;
    EXPECT_EQ(-ENOENT, removable_disks_list(roots, &found));
}

} // namespace
} // namespace tw::test
