// The files of FAT32 and exFAT images made by the real tools that lie in
// given byte ranges, found by the allocation walk of a full check.
#include "engine/damaged_files.h"
#include "support/containers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tw::ByteRange;

int read_memory(void *context, void *buffer, size_t length, uint64_t offset) {
    auto *image = static_cast<std::vector<uint8_t> *>(context);
    if (offset > image->size() || length > image->size() - offset)
        return -EIO;
    std::memcpy(buffer, image->data() + offset, length);
    return 0;
}

// The byte offset where `needle` (the start of a file's contents) lies.
uint64_t find(const std::vector<uint8_t> &image, const std::string &needle) {
    auto at = std::search(image.begin(), image.end(), needle.begin(), needle.end());
    EXPECT_NE(at, image.end()) << needle;
    return uint64_t(at - image.begin());
}

class DamagedFiles : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw-damaged-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // Recognisable contents at the start of each file.
        ASSERT_TRUE(tw::test::shell_in(
            dir_, "{ printf 'DATA-FILE-START'; head -c 1048576 /dev/zero; } > data.bin && "
                  "printf 'LONG-NAME-START' > long.txt"));
    }
    void TearDown() override { EXPECT_EQ(0, std::system(("rm -rf '" + dir_ + "'").c_str())); }

    // Runs the walk over `image` for the ranges; fails when no filesystem.
    std::vector<std::vector<std::string>> walk(std::vector<uint8_t> &image,
                                               const std::vector<ByteRange> &ranges) {
        tw::ImageReader reader{read_memory, &image, image.size()};
        std::vector<std::vector<std::string>> files;
        EXPECT_TRUE(tw::files_in_ranges(reader, ranges, &files));
        return files;
    }

    void check(std::vector<uint8_t> &image, const std::string &long_name) {
        const uint64_t data = find(image, "DATA-FILE-START");
        const uint64_t text = find(image, "LONG-NAME-START");
        auto files = walk(image, {{data + 4096, 1},
                                  {text, 1},
                                  {512, 512},
                                  {image.size() - 512, 512},
                                  {data + 100, text - data}});
        ASSERT_EQ(files.size(), 5u);
        EXPECT_EQ(files[0], std::vector<std::string>{"/DATA.BIN"});
        EXPECT_EQ(files[1], std::vector<std::string>{long_name});
        EXPECT_EQ(files[2], std::vector<std::string>{"(file allocation table)"});
        EXPECT_TRUE(files[3].empty()) << "free space holds no file";
        EXPECT_NE(std::find(files[4].begin(), files[4].end(), "/DATA.BIN"), files[4].end());
        EXPECT_NE(std::find(files[4].begin(), files[4].end(), long_name), files[4].end());
    }

    std::string dir_;
};

TEST_F(DamagedFiles, Fat32FilesWithLongNamesInSubfolders) {
    ASSERT_TRUE(tw::test::shell_in(
        dir_, "truncate -s 34M fat32.img && mkfs.vfat -F 32 fat32.img && export "
              "MTOOLS_SKIP_CHECK=1 && mmd -i fat32.img ::/SUB && mcopy -i fat32.img data.bin "
              "::/DATA.BIN && mcopy -i fat32.img long.txt '::/SUB/Long File Name.txt'"));
    std::vector<uint8_t> image = tw::test::read_bytes(dir_ + "/fat32.img");
    check(image, "/SUB/Long File Name.txt");
    // Not a FAT filesystem at all.
    std::vector<uint8_t> zeros(1 << 20);
    tw::ImageReader reader{read_memory, &zeros, zeros.size()};
    std::vector<std::vector<std::string>> files;
    EXPECT_FALSE(tw::files_in_ranges(reader, {{0, 512}}, &files));
}

// The files are written through the exFAT FUSE driver on a loop device,
// which needs root.
TEST_F(DamagedFiles, ExfatFilesInSubfolders) {
    if (geteuid() != 0)
        GTEST_SKIP() << "writing an exFAT image needs a loop device and FUSE (root)";
    ASSERT_TRUE(tw::test::shell_in(
        dir_, "truncate -s 16M exfat.img && mkfs.exfat exfat.img && mkdir m && "
              "L=$(losetup -f --show exfat.img) && "
              "{ mount.exfat-fuse \"$L\" m && mkdir m/sub && cp data.bin m/DATA.BIN && "
              "cp long.txt 'm/sub/Long File Name.txt'; r=$?; umount m; losetup -d \"$L\"; "
              "exit $r; }"));
    std::vector<uint8_t> image = tw::test::read_bytes(dir_ + "/exfat.img");
    check(image, "/sub/Long File Name.txt");
}

// NTFS written by its own tools: the files go in with ntfscp, which cannot
// make folders, so both lie in the root. ntfscluster, an independent peer,
// names the same file for the same sector.
TEST_F(DamagedFiles, NtfsFilesAgreeWithNtfscluster) {
    ASSERT_TRUE(tw::test::shell_in(dir_, "truncate -s 16M ntfs.img && mkntfs -F -Q -q ntfs.img && "
                                         "ntfscp -f ntfs.img data.bin /DATA.BIN && "
                                         "ntfscp -f ntfs.img long.txt '/Long File Name.txt'"));
    std::vector<uint8_t> image = tw::test::read_bytes(dir_ + "/ntfs.img");
    const uint64_t data = find(image, "DATA-FILE-START");
    auto files = walk(image, {{data + 4096, 1}, {0, 512}, {image.size() - 4096, 1}});
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], std::vector<std::string>{"/DATA.BIN"});
    EXPECT_EQ(files[1], std::vector<std::string>{"(boot sector)"});
    EXPECT_TRUE(tw::test::shell_in(dir_, "ntfscluster -f -s " +
                                             std::to_string((data + 4096) / 512) +
                                             " ntfs.img 2>/dev/null | grep -q DATA.BIN"));
    // A small file lives inside its record: no data runs of its own.
    const uint64_t text = find(image, "LONG-NAME-START");
    files = walk(image, {{text, 1}});
    EXPECT_EQ(files[0], std::vector<std::string>{"(master file table)"});
}

} // namespace
