// Volumes as libblkid reads them from image files made by the real mkfs and
// sfdisk tools, the data-partition rules, and (as root, in a private mount
// namespace) mounting volumes through the drivers this machine has.
#include "platform/descriptor.h"
#include "platform/loop_device.h"
#include "platform/mounts.h"
#include "platform/volumes.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

bool sh(const std::string &command) {
    return std::system(("{ " + command + "; } >/dev/null 2>&1").c_str()) == 0;
}

class Volumes : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sh("command -v mkfs.vfat && command -v mkfs.exfat && command -v sfdisk && "
                "command -v mkfs.ext4 && command -v mkntfs"))
            GTEST_SKIP() << "the mkfs tools and sfdisk are not installed";
        char pattern[] = "/tmp/tw-volumes-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty())
            sh("rm -rf '" + dir + "'");
    }
    std::string image(const std::string &name, const std::string &script) {
        std::string path = dir + "/" + name;
        EXPECT_TRUE(sh("cd '" + dir + "' && IMG='" + path + "' && " + script)) << script;
        return path;
    }
    std::string dir;
};

TEST(PartitionRules, DataPartitions) {
    const struct {
        const char *table, *gpt_type;
        int mbr_type;
        bool data;
    } cases[] = {
        {"gpt", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 0, false}, // EFI system
        {"gpt", "c12a7328-f81f-11d2-ba4b-00a0c93ec93b", 0, false},
        {"gpt", "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", 0, false}, // Microsoft reserved
        {"gpt", "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", 0, false}, // Windows recovery
        {"gpt", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", 0, true},  // basic data
        {"gpt", "0FC63DAF-8483-4772-8E79-3D69D8477DE4", 0, true},  // Linux data
        {"gpt", nullptr, 0, true},
        {"dos", nullptr, 0x00, false},
        {"dos", nullptr, 0x05, false},
        {"dos", nullptr, 0x0F, false},
        {"dos", nullptr, 0x27, false},
        {"dos", nullptr, 0x85, false},
        {"dos", nullptr, 0xEF, false},
        {"dos", nullptr, 0x0C, true},
        {"dos", nullptr, 0x07, true},
        {"dos", nullptr, 0x83, true},
        {nullptr, nullptr, 0, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(partition_is_data(c.table, c.gpt_type, c.mbr_type), c.data)
            << (c.table ? c.table : "none") << " " << (c.gpt_type ? c.gpt_type : "") << " "
            << c.mbr_type;
    for (const char *name : {"NTFS", "exFAT", "FAT32", "FAT"})
        EXPECT_TRUE(filesystem_is_supported(name)) << name;
    for (const char *name : {"ntfs", "EXFAT", "vfat", "ext4", "RAW", ""})
        EXPECT_FALSE(filesystem_is_supported(name)) << name;
}

TEST_F(Volumes, WholeDiskFilesystems) {
    const struct {
        const char *script, *filesystem, *label;
    } cases[] = {
        {"truncate -s 40M $IMG && mkfs.vfat -F 32 -n LABEL32 $IMG", "FAT32", "LABEL32"},
        {"truncate -s 20M $IMG && mkfs.vfat -F 16 -n LABEL16 $IMG", "FAT", "LABEL16"},
        {"truncate -s 2M $IMG && mkfs.vfat -F 12 -n LABEL12 $IMG", "FAT", "LABEL12"},
        // An exFAT boot sector also looks like an MBR to libblkid.
        {"truncate -s 16M $IMG && mkfs.exfat -L EXLABEL $IMG", "exFAT", "EXLABEL"},
        {"truncate -s 16M $IMG && mkntfs -Q -F -L NTLABEL $IMG", "NTFS", "NTLABEL"},
        {"truncate -s 16M $IMG && mkfs.ext4 -q -F -L EXT $IMG", "ext4", "EXT"},
        {"truncate -s 4M $IMG", "RAW", ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        std::string path = image("whole" + std::to_string(n++), c.script);
        std::vector<VolumeEntry> volumes;
        ASSERT_EQ(volumes_read(path, kVolumeCapacity, &volumes), 0);
        ASSERT_EQ(volumes.size(), 1u);
        EXPECT_EQ(volumes[0].filesystem, c.filesystem);
        EXPECT_EQ(volumes[0].label, c.label);
        EXPECT_EQ(volumes[0].partition_number, 0u);
        EXPECT_EQ(volumes[0].offset, 0u);
        EXPECT_TRUE(volumes[0].data);
        struct stat st {};
        stat(path.c_str(), &st);
        EXPECT_EQ(volumes[0].size, uint64_t(st.st_size));
    }
}

TEST_F(Volumes, PartitionTables) {
    // MBR: a FAT32 partition, an extended container with one logical FAT16
    // partition, and an empty EFI-typed one.
    std::string mbr = image(
        "mbr", "truncate -s 100M $IMG && printf 'label: dos\\nstart=2048, size=81920, type=c\\n"
               "start=83968, size=40960, type=5\\nstart=188416, size=8192, type=ef\\n"
               "start=86016, size=20480, type=6\\n' | sfdisk -q $IMG && truncate -s 40M p1 && "
               "mkfs.vfat -F 32 -n ONE p1 && truncate -s 10M p5 && mkfs.vfat -F 16 -n FIVE p5 && "
               "dd if=p1 of=$IMG bs=512 seek=2048 conv=notrunc && "
               "dd if=p5 of=$IMG bs=512 seek=86016 conv=notrunc");
    std::vector<VolumeEntry> v;
    ASSERT_EQ(volumes_read(mbr, kVolumeCapacity, &v), 0);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].partition_number, 1u);
    EXPECT_EQ(v[0].filesystem, "FAT32");
    EXPECT_EQ(v[0].label, "ONE");
    EXPECT_EQ(v[0].offset, 2048u * 512);
    EXPECT_EQ(v[0].size, 81920u * 512);
    EXPECT_TRUE(v[0].data);
    EXPECT_EQ(v[1].partition_number, 2u); // the extended container
    EXPECT_FALSE(v[1].data);
    EXPECT_EQ(v[2].partition_number, 3u); // EFI on MBR
    EXPECT_FALSE(v[2].data);
    EXPECT_EQ(v[3].partition_number, 5u);
    EXPECT_EQ(v[3].filesystem, "FAT");
    EXPECT_EQ(v[3].label, "FIVE");
    EXPECT_TRUE(v[3].data);
    EXPECT_EQ(volumes_read(mbr, 3, &v), -E2BIG);

    std::string gpt =
        image("gpt", "truncate -s 64M $IMG && printf 'label: gpt\\n"
                     "start=2048, size=16384, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
                     "start=18432, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE\\n"
                     "start=51200, size=40960, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | "
                     "sfdisk -q $IMG && truncate -s 20M d && mkntfs -Q -F -L DATA d && "
                     "dd if=d of=$IMG bs=512 seek=51200 conv=notrunc");
    ASSERT_EQ(volumes_read(gpt, kVolumeCapacity, &v), 0);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_FALSE(v[0].data);
    EXPECT_FALSE(v[1].data);
    EXPECT_TRUE(v[2].data);
    EXPECT_EQ(v[2].filesystem, "NTFS");
    EXPECT_EQ(v[2].label, "DATA");
    EXPECT_EQ(v[2].offset, 51200u * 512);

    // A settled listing of an unchanging disk gives the same entries, after
    // its count has held for a second.
    std::vector<VolumeEntry> settled;
    ASSERT_EQ(volumes_list(gpt, kVolumeCapacity, 5000, &settled), 0);
    EXPECT_EQ(settled.size(), 3u);
    EXPECT_EQ(volumes_list(dir + "/missing", kVolumeCapacity, 0, &settled), -EIO);
}

// Mounting through whatever driver this machine has for each filesystem:
// the user owns every file, read-only mounts refuse writes, writable ones
// write, and an open file keeps the volume mounted.
TEST_F(Volumes, MountsBelongToTheUser) {
    const std::string &why = test::enter_private_mounts();
    if (!why.empty())
        GTEST_SKIP() << why;
    const struct {
        const char *script, *filesystem;
    } cases[] = {
        {"truncate -s 40M $IMG && mkfs.vfat -F 32 -n TW $IMG", "FAT32"},
        {"truncate -s 16M $IMG && mkfs.exfat -L TW $IMG", "exFAT"},
        {"truncate -s 16M $IMG && mkntfs -Q -F -L TW $IMG", "NTFS"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.filesystem);
        std::string path = image("mount" + std::to_string(n++), c.script);
        for (bool read_only : {true, false}) {
            FileHandle backing(open(path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
            ASSERT_TRUE(backing.valid());
            LoopAttach attach;
            attach.backing_fd = backing.get();
            attach.read_only = read_only;
            std::string device;
            int number = -1;
            ASSERT_EQ(loop_attach(attach, &device, &number), 0);
            std::string mount_point;
            ASSERT_EQ(mount_point_create(4321, "T/W", &mount_point), 0);
            EXPECT_EQ(mount_point, std::string(kMediaFolder) + "/4321/T_W");
            VolumeMount m{device, mount_point, c.filesystem, read_only, 4321, 4321};
            std::string driver;
            ASSERT_EQ(volume_mount(m, &driver), 0) << driver;
            EXPECT_TRUE(mount_table_has(mount_point));
            struct stat st {};
            ASSERT_EQ(stat(mount_point.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, 4321u);
            EXPECT_EQ(st.st_mode & 077, 0u);
            bool ro = !read_only;
            EXPECT_EQ(mount_is_read_only(mount_point, &ro), 0);
            EXPECT_EQ(ro, read_only);
            int fd = open((mount_point + "/NEW.TXT").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (read_only) {
                EXPECT_LT(fd, 0);
                EXPECT_EQ(errno, EROFS);
            } else {
                EXPECT_GE(fd, 0) << strerror(errno);
                EXPECT_EQ(write(fd, "x", 1), 1);
                // The open file keeps the volume mounted.
                EXPECT_EQ(volume_unmount(mount_point), -EBUSY);
                EXPECT_TRUE(mount_table_has(mount_point));
            }
            if (fd >= 0)
                close(fd);
            EXPECT_EQ(volume_unmount(mount_point), 0);
            EXPECT_EQ(volume_unmount(mount_point), 0);
            EXPECT_EQ(mount_point_remove(mount_point), 0);
            EXPECT_EQ(loop_detach(device, 10000), 0);
        }
    }
    // Labels that are no folder name of their own.
    for (const char *label : {"", "..", "."}) {
        std::string mount_point;
        EXPECT_EQ(mount_point_create(4321, label, &mount_point), 0);
        EXPECT_EQ(mount_point, std::string(kMediaFolder) + "/4321/disk") << label;
        rmdir(mount_point.c_str());
    }
}

} // namespace
} // namespace tw
