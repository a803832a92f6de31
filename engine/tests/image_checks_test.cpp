// Write support, filesystem type and the dirty-state scan on images made by
// the real filesystem tools.
#include "engine/image_checks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using tw::DirtyState;

int read_file(void *context, void *buffer, size_t length, uint64_t offset) {
    int fd = *static_cast<int *>(context);
    ssize_t n = pread(fd, buffer, length, static_cast<off_t>(offset));
    return n == static_cast<ssize_t>(length) ? 0 : -EIO;
}

// Reads fail inside one byte range, as a damaged container would.
struct FailingReader {
    int fd;
    uint64_t bad_begin, bad_end;
};
int read_failing(void *context, void *buffer, size_t length, uint64_t offset) {
    auto *r = static_cast<FailingReader *>(context);
    if (offset < r->bad_end && offset + length > r->bad_begin)
        return -EIO;
    return read_file(&r->fd, buffer, length, offset);
}

class ImageChecks : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/tw-image-checks-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }

    static std::string path(const std::string &name) { return dir_ + "/" + name; }

    static void sh(const std::string &command) {
        std::string full = "set -e; cd '" + dir_ + "'; " + command + " >/dev/null 2>&1";
        ASSERT_EQ(0, std::system(full.c_str())) << command;
    }

    static void poke(const std::string &name, uint64_t offset, std::vector<uint8_t> bytes) {
        int fd = open(path(name).c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)));
        close(fd);
    }

    static uint8_t peek(const std::string &name, uint64_t offset) {
        int fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
        uint8_t b = 0;
        EXPECT_EQ(1, pread(fd, &b, 1, static_cast<off_t>(offset)));
        close(fd);
        return b;
    }

    struct Opened {
        int fd = -1;
        tw::ImageReader reader;
        uint8_t sector0[512] = {};
        ~Opened() {
            if (fd >= 0)
                close(fd);
        }
    };
    static void open_image(const std::string &name, Opened *o) {
        o->fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(o->fd, 0) << name;
        struct stat st;
        fstat(o->fd, &st);
        o->reader = {read_file, &o->fd, static_cast<uint64_t>(st.st_size)};
        if (st.st_size >= 512) {
            ASSERT_EQ(512, pread(o->fd, o->sector0, 512, 0));
        }
    }

    // A partitioned disk: the filesystem image `fs` written into partition 1
    // of an MBR or GPT disk (and into a logical partition for "extended").
    static void partitioned(const std::string &name, const std::string &layout,
                            const std::string &fs) {
        sh("truncate -s 64M " + name);
        if (layout == "gpt") {
            sh("printf 'label: gpt\\nstart=2048, size=32768, type=L\\n' | sfdisk -q " + name);
            sh("dd if=" + fs + " of=" + name + " bs=512 seek=2048 conv=notrunc");
        } else if (layout == "extended") {
            sh("printf 'label: dos\\nstart=2048, size=8192, type=83\\nstart=10240, size=40960, "
               "type=5\\nstart=12288, size=32768, type=83\\n' | sfdisk -q " +
               name);
            sh("dd if=" + fs + " of=" + name + " bs=512 seek=12288 conv=notrunc");
        } else {
            sh("printf 'label: dos\\nstart=2048, size=32768, type=83\\n' | sfdisk -q " + name);
            sh("dd if=" + fs + " of=" + name + " bs=512 seek=2048 conv=notrunc");
        }
    }

    static std::string dir_;
};

std::string ImageChecks::dir_;

TEST_F(ImageChecks, DirtyStateOfRealFilesystems) {
    sh("truncate -s 16M exfat.img && mkfs.exfat exfat.img");
    sh("cp exfat.img exfat-dirty.img");
    poke("exfat-dirty.img", 106, {static_cast<uint8_t>(peek("exfat-dirty.img", 106) | 0x02)});
    sh("truncate -s 40M fat32.img && mkfs.vfat -F 32 fat32.img");
    sh("truncate -s 16M fat16.img && mkfs.vfat -F 16 fat16.img");
    sh("truncate -s 8M ntfs.img && mkntfs -Q -F ntfs.img");
    sh("mke2fs -q -F -t ext4 ext4.img 16M");
    sh("cp ext4.img ext4-replay.img && debugfs -w -R 'feature needs_recovery' ext4-replay.img");
    sh("cp ext4.img ext4-unclean.img && debugfs -w -R 'ssv state 0' ext4-unclean.img");
    sh("cp ext4.img ext4-orphan.img && debugfs -w -R 'ssv last_orphan 12' ext4-orphan.img");
    sh("truncate -s 1M zeros.img");
    sh("head -c 300 /dev/zero > tiny.img");
    partitioned("mbr-clean.img", "mbr", "ext4.img");
    partitioned("mbr-replay.img", "mbr", "ext4-replay.img");
    partitioned("logical-dirty.img", "extended", "ext4-unclean.img");
    partitioned("logical-clean.img", "extended", "fat16.img");
    partitioned("gpt-dirty.img", "gpt", "exfat-dirty.img");
    partitioned("gpt-clean.img", "gpt", "exfat.img");
    sh("cp gpt-clean.img gpt-bad-entry-size.img");
    poke("gpt-bad-entry-size.img", 512 + 84, {64, 0, 0, 0});
    sh("cp gpt-clean.img gpt-too-many.img");
    poke("gpt-too-many.img", 512 + 80, {0x01, 0x04, 0, 0}); // 1025 entries

    struct Case {
        const char *image;
        DirtyState expected;
    } cases[] = {
        {"exfat.img", DirtyState::Clean},
        {"exfat-dirty.img", DirtyState::Dirty},
        {"fat32.img", DirtyState::Clean},
        {"fat16.img", DirtyState::Clean},
        {"ntfs.img", DirtyState::Clean},
        {"ext4.img", DirtyState::Clean},
        {"ext4-replay.img", DirtyState::JournalReplay},
        {"ext4-unclean.img", DirtyState::Dirty},
        {"ext4-orphan.img", DirtyState::Dirty},
        {"zeros.img", DirtyState::Clean}, // no signature: nothing to be dirty
        {"tiny.img", DirtyState::IoFailure},
        {"mbr-clean.img", DirtyState::Clean},
        {"mbr-replay.img", DirtyState::JournalReplay},
        {"logical-dirty.img", DirtyState::Dirty},
        {"logical-clean.img", DirtyState::Clean},
        {"gpt-dirty.img", DirtyState::Dirty},
        {"gpt-clean.img", DirtyState::Clean},
        {"gpt-bad-entry-size.img", DirtyState::IoFailure},
        {"gpt-too-many.img", DirtyState::IoFailure},
    };
    for (const Case &c : cases) {
        Opened o;
        open_image(c.image, &o);
        EXPECT_EQ(tw::dirty_state_scan(o.reader), c.expected) << c.image;
    }
}

TEST_F(ImageChecks, ReadFailuresEndTheScan) {
    sh("mke2fs -q -F -t ext4 ext4-b.img 16M");
    partitioned("mbr-read-fail.img", "mbr", "ext4-b.img");
    Opened o;
    open_image("mbr-read-fail.img", &o);
    // The partition's superblock cannot be read.
    FailingReader bad{o.fd, 2048 * 512 + 1024, 2048 * 512 + 2048};
    tw::ImageReader reader{read_failing, &bad, o.reader.size};
    EXPECT_EQ(tw::dirty_state_scan(reader), DirtyState::IoFailure);
    // An unreadable region that the scan never needs changes nothing.
    FailingReader elsewhere{o.fd, 40u << 20, 41u << 20};
    reader.context = &elsewhere;
    EXPECT_EQ(tw::dirty_state_scan(reader), DirtyState::Clean);
}

TEST_F(ImageChecks, WriteSupportAndFilesystemType) {
    sh("truncate -s 16M exfat-w.img && mkfs.exfat exfat-w.img");
    sh("truncate -s 40M fat32-w.img && mkfs.vfat -F 32 fat32-w.img");
    sh("truncate -s 16M fat16-w.img && mkfs.vfat -F 16 fat16-w.img");
    sh("truncate -s 8M fat12-w.img && mkfs.vfat -F 12 fat12-w.img");
    sh("truncate -s 8M ntfs-w.img && mkntfs -Q -F ntfs-w.img");
    sh("mke2fs -q -F -t ext4 ext4-w.img 16M");
    // The only partition entry is the fourth, of type 0x07.
    sh("truncate -s 16M fourth.img && printf 'label: dos\\n' | sfdisk -q fourth.img");
    poke("fourth.img", 446 + 48 + 4, {0x07});
    poke("fourth.img", 446 + 48 + 8, {0x00, 0x08, 0, 0});

    struct Case {
        const char *image;
        const char *write_fs; // null: not writable
        const char *type;
    } cases[] = {
        {"exfat-w.img", "exfat", "exfat"},      {"fat32-w.img", "fat32", "other"},
        {"fat16-w.img", "fat", "other"},        {"fat12-w.img", "fat", "other"},
        {"ntfs-w.img", "ntfs", "ntfs"},         {"ext4-w.img", nullptr, "ext"},
        {"fourth.img", "partitioned", "other"},
    };
    for (const Case &c : cases) {
        Opened o;
        open_image(c.image, &o);
        tw::WriteSupportInput in;
        in.format_kind = 4;
        in.cipher = 9;
        in.sector0 = o.sector0;
        const char *fs = tw::write_support_filesystem(in);
        EXPECT_STREQ(fs, c.write_fs) << c.image;
        EXPECT_STREQ(tw::filesystem_type(o.sector0, o.reader), c.type) << c.image;
    }

    // What keeps an otherwise writable FAT16 volume from being served
    // writable.
    Opened o;
    open_image("fat16-w.img", &o);
    struct Refusal {
        const char *why;
        std::function<void(tw::WriteSupportInput *)> change;
    } refusals[] = {
        {"kind 1", [](tw::WriteSupportInput *i) { i->format_kind = 1; }},
        {"kind 6", [](tw::WriteSupportInput *i) { i->format_kind = 6; }},
        {"cipher 7", [](tw::WriteSupportInput *i) { i->cipher = 7; }},
        {"unencrypted", [](tw::WriteSupportInput *i) { i->cipher = 254; }},
        {"header locked", [](tw::WriteSupportInput *i) { i->header_locked = true; }},
        {"CD image", [](tw::WriteSupportInput *i) { i->cd_image = true; }},
        {"v3 version 5",
         [](tw::WriteSupportInput *i) {
             i->format_kind = 7;
             i->v3_version = 5;
         }},
        {"v3 recovery needed",
         [](tw::WriteSupportInput *i) {
             i->format_kind = 7;
             i->v3_version = 7;
             i->v3_recovery_needed = true;
         }},
    };
    for (const Refusal &r : refusals) {
        tw::WriteSupportInput in;
        in.format_kind = 5;
        in.cipher = 10;
        in.sector0 = o.sector0;
        ASSERT_STREQ(tw::write_support_filesystem(in), "fat");
        r.change(&in);
        EXPECT_EQ(tw::write_support_filesystem(in), nullptr) << r.why;
    }
    uint8_t unsigned_sector[512];
    std::memcpy(unsigned_sector, o.sector0, 512);
    unsigned_sector[511] = 0;
    tw::WriteSupportInput in;
    in.format_kind = 4;
    in.cipher = 9;
    in.sector0 = unsigned_sector;
    EXPECT_EQ(tw::write_support_filesystem(in), nullptr);
}

} // namespace
