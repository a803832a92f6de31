// Filesystem probe on images made by the real formatting and partitioning
// tools, probed the way a container or an imported volume probes them.
#include "container/probe/probe.h"
#include "container/probe/probe_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void put16(unsigned char *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(unsigned char *p, uint32_t v) {
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}
void put64(unsigned char *p, uint64_t v) {
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

// A minimal APFS container superblock with the object checksum written the
// way the on-disk format defines it (Fletcher-64 over the block from byte 8).
Bytes apfs_superblock(uint32_t block_size, uint64_t block_count, uint32_t object_type) {
    Bytes b(block_size, 0);
    put64(&b[8], 1);  // object id
    put64(&b[16], 7); // transaction id
    put32(&b[24], object_type);
    put32(&b[32], 0x4253584E); // "NXSB"
    put32(&b[36], block_size);
    put64(&b[40], block_count);
    const uint64_t mod = 0xFFFFFFFF;
    uint64_t sum1 = 0, sum2 = 0;
    for (size_t i = 8; i < b.size(); i += 4) {
        uint32_t word = uint32_t(b[i]) | uint32_t(b[i + 1]) << 8 | uint32_t(b[i + 2]) << 16 |
                        uint32_t(b[i + 3]) << 24;
        sum1 = (sum1 + word) % mod;
        sum2 = (sum2 + sum1) % mod;
    }
    uint64_t low = mod - (sum1 + sum2) % mod;
    uint64_t high = mod - (sum1 + low) % mod;
    put64(&b[0], high << 32 | low);
    return b;
}

// Images are made once per test program in a private folder, on first use.
class Images {
  public:
    static Images &get() {
        static Images images;
        return images;
    }
    ~Images() {
        if (!dir_.empty()) {
            std::string cmd = "rm -rf '" + dir_ + "'";
            [[maybe_unused]] int rc = std::system(cmd.c_str());
        }
    }
    const std::string &dir() const { return dir_; }

    // The path of the image NAME, made by its recipe when first asked for.
    std::string path(const std::string &name) {
        std::string file = dir_ + "/" + name + ".img";
        if (made_.count(name) == 0) {
            make(name, file);
            made_.insert(name);
        }
        return file;
    }

  private:
    Images() {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tw-probe-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()) != nullptr) {
            dir_ = buf.data();
        }
    }

    void run(const std::string &script) {
        std::string file = dir_ + "/recipe.sh";
        FILE *f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f,
                     "set -eu\nexport PATH=/usr/sbin:/sbin:/usr/bin:/bin\ncd '%s'\n"
                     "export HOME=\"$PWD\" XDG_CONFIG_HOME=\"$PWD\"\n"
                     "put() { dd if=\"$1\" of=\"$2\" bs=512 seek=\"$3\" conv=notrunc "
                     "status=none; }\n"
                     "poke() { printf \"$3\" | dd of=\"$1\" bs=1 seek=\"$2\" conv=notrunc "
                     "status=none; }\n%s\n",
                     dir_.c_str(), script.c_str());
        std::fclose(f);
        std::string cmd = "sh '" + file + "' >'" + dir_ + "/recipe.log' 2>&1";
        int rc = std::system(cmd.c_str());
        if (rc != 0) {
            std::string log = read_text(dir_ + "/recipe.log");
            FAIL() << "image recipe failed:\n" << script << "\n" << log;
        }
    }

    static std::string read_text(const std::string &file) {
        std::string text;
        if (FILE *f = std::fopen(file.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
                text.append(buf, n);
            }
            std::fclose(f);
        }
        return text;
    }

    void write_at(const std::string &file, uint64_t offset, const Bytes &bytes) {
        int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), off_t(offset)), ssize_t(bytes.size()));
        close(fd);
    }

    // A chain of extended boot records in consecutive sectors from 2048 on;
    // only record `target` (counted from 1) names a logical partition: a
    // FAT12 volume at sector 8192.
    void make_ebr_chain(const std::string &file, unsigned records, unsigned target, bool loop) {
        run("truncate -s 8M " + file +
            "\ntruncate -s 2M fat.part\nmkfs.vfat -F 12 fat.part\n"
            "put fat.part " +
            file + " 8192\nrm fat.part");
        Bytes mbr(512, 0);
        unsigned char *e = &mbr[446];
        e[4] = 0x05;
        put32(e + 8, 2048);
        put32(e + 12, 6144);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        write_at(file, 0, mbr);
        for (unsigned k = 0; k < records; ++k) {
            Bytes ebr(512, 0);
            uint32_t record = 2048 + k;
            if (k + 1 == target) {
                ebr[446 + 4] = 0x01;
                put32(&ebr[446 + 8], 8192 - record);
                put32(&ebr[446 + 12], 4096);
            }
            bool last = k + 1 == records;
            if (!last || loop) {
                ebr[462 + 4] = 0x05;
                put32(&ebr[462 + 8], loop && last ? 0 : k + 1);
                put32(&ebr[462 + 12], 1);
            }
            ebr[510] = 0x55;
            ebr[511] = 0xAA;
            write_at(file, uint64_t(record) * 512, ebr);
        }
    }

    void make(const std::string &name, const std::string &file) {
        static const std::map<std::string, std::string> recipes = {
            {"fat12", "truncate -s 1440K fat12.img\nmkfs.vfat -F 12 -n DISK fat12.img"},
            {"fat16", "truncate -s 32M fat16.img\nmkfs.vfat -F 16 -n DATA fat16.img"},
            {"fat32", "truncate -s 64M fat32.img\nmkfs.vfat -F 32 fat32.img"},
            {"exfat", "truncate -s 64M exfat.img\nmkfs.exfat exfat.img"},
            {"ntfs", "truncate -s 64M ntfs.img\nmkntfs -Q -F ntfs.img"},
            {"ext4", "mke2fs -q -F -t ext4 ext4.img 64M"},
            {"ext2_1k", "mke2fs -q -F -t ext2 -b 1024 ext2_1k.img 8M"},
            {"iso", "mkdir -p iso.d\necho hello >iso.d/a.txt\n"
                    "xorriso -as mkisofs -quiet -V DISC -o iso.img iso.d"},
            // An ISO whose system area carries a partition table.
            {"iso_mbr", "mkdir -p isom.d\necho hello >isom.d/a.txt\n"
                        "xorriso -as mkisofs -quiet -o iso_mbr.img isom.d\n"
                        "printf 'label: dos\\nstart=64, size=600, type=83\\n' | sfdisk -q "
                        "iso_mbr.img"},
            // The volume descriptor claims more blocks than the image holds.
            {"iso_cut", "mkdir -p isoc.d\necho hello >isoc.d/a.txt\n"
                        "xorriso -as mkisofs -quiet -o iso_cut.img isoc.d\n"
                        "truncate -s 40K iso_cut.img"},
            {"mbr_fat32", "truncate -s 100M mbr_fat32.img\n"
                          "printf 'label: dos\\nstart=2048, size=131072, type=c\\n' | sfdisk -q "
                          "mbr_fat32.img\n"
                          "truncate -s 64M p.part\nmkfs.vfat -F 32 p.part\n"
                          "put p.part mbr_fat32.img 2048\nrm p.part"},
            // Primary 1 and logical 5 hold nothing; logical 6 holds NTFS.
            {"mbr_logical",
             "truncate -s 200M mbr_logical.img\n"
             "printf 'label: dos\\nstart=2048, size=32768, type=83\\nstart=34816, type=5\\n"
             "start=36864, size=16384, type=83\\nstart=55296, size=81920, type=7\\n' | "
             "sfdisk -q mbr_logical.img\n"
             "truncate -s 40M n.part\nmkntfs -Q -F n.part\nput n.part mbr_logical.img 55296\n"
             "rm n.part"},
            // One partition with nothing in it.
            {"mbr_empty", "truncate -s 16M mbr_empty.img\n"
                          "printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q "
                          "mbr_empty.img"},
            {"gpt_fat32",
             "truncate -s 100M gpt_fat32.img\n"
             "printf 'label: gpt\\nstart=2048, size=131072, "
             "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | sfdisk -q gpt_fat32.img\n"
             "truncate -s 64M p.part\nmkfs.vfat -F 32 p.part\nput p.part gpt_fat32.img 2048\n"
             "rm p.part"},
            // Partition 1 is empty, partition 2 (at 69632, outside the fallback
            // scan) holds ext4.
            {"gpt_ext4", "truncate -s 100M gpt_ext4.img\n"
                         "printf 'label: gpt\\nstart=4096, size=65536, type=L\\n"
                         "start=69632, size=65536, type=L\\n' | sfdisk -q gpt_ext4.img\n"
                         "mke2fs -q -F -t ext4 e.part 32M\nput e.part gpt_ext4.img 69632\n"
                         "rm e.part"},
            // The same disk with one header byte (the disk GUID) changed.
            {"gpt_bad_header",
             "truncate -s 100M gpt_bad_header.img\n"
             // A fixed disk GUID, so the poked byte always differs from it.
             "printf 'label: gpt\\nlabel-id: 01234567-89AB-CDEF-0123-456789ABCDEF\\n"
             "start=69632, size=65536, type=L\\n' | sfdisk -q gpt_bad_header.img\n"
             "mke2fs -q -F -t ext4 e.part 32M\nput e.part gpt_bad_header.img 69632\nrm e.part\n"
             "poke gpt_bad_header.img 568 'X'"},
            // ... or one byte of the first entry's name.
            {"gpt_bad_entries",
             "truncate -s 100M gpt_bad_entries.img\n"
             "printf 'label: gpt\\nstart=69632, size=65536, type=L, name=data\\n' | sfdisk -q "
             "gpt_bad_entries.img\n"
             "mke2fs -q -F -t ext4 e.part 32M\nput e.part gpt_bad_entries.img 69632\nrm e.part\n"
             "poke gpt_bad_entries.img 1082 'X'"},
            {"gpt_apfs", "truncate -s 16M gpt_apfs.img\n"
                         "printf 'label: gpt\\nstart=2048, size=8192, "
                         "type=7C3457EF-0000-11AA-AA11-00306543ECAC\\n' | sfdisk -q gpt_apfs.img"},
            {"apfs", "truncate -s 4M apfs.img"},
            {"apfs_bad", "truncate -s 4M apfs_bad.img"},
            // A FAT16 volume without a partition table at each fallback sector.
            {"vbr63", "truncate -s 40M vbr63.img\ntruncate -s 32M v.part\nmkfs.vfat -F 16 v.part\n"
                      "put v.part vbr63.img 63\nrm v.part"},
            {"vbr128", "truncate -s 40M vbr128.img\ntruncate -s 32M v.part\n"
                       "mkfs.vfat -F 16 v.part\nput v.part vbr128.img 128\nrm v.part"},
            {"vbr2048", "truncate -s 40M vbr2048.img\ntruncate -s 32M v.part\n"
                        "mkfs.vfat -F 16 v.part\nput v.part vbr2048.img 2048\nrm v.part"},
            {"vbr1", "truncate -s 40M vbr1.img\ntruncate -s 32M v.part\nmkfs.vfat -F 16 v.part\n"
                     "put v.part vbr1.img 1\nrm v.part"},
            // NTFS whose backup boot sector (the last sector) is gone, and one
            // whose first $MFT record is gone as well.
            {"ntfs_nobackup", "truncate -s 64M ntfs_nobackup.img\nmkntfs -Q -F ntfs_nobackup.img\n"
                              "dd if=/dev/zero of=ntfs_nobackup.img bs=512 seek=131071 count=1 "
                              "conv=notrunc status=none"},
            {"ntfs_nomft", "truncate -s 64M ntfs_nomft.img\nmkntfs -Q -F ntfs_nomft.img\n"
                           "dd if=/dev/zero of=ntfs_nomft.img bs=512 seek=131071 count=1 "
                           "conv=notrunc status=none\n"
                           "dd if=/dev/zero of=ntfs_nomft.img bs=512 seek=32 count=2 "
                           "conv=notrunc status=none"},
            // FAT16 whose last root-directory entry of the first sector is
            // not a valid entry (after the end marker, so only the all-16
            // superfloppy check sees it).
            {"fat16_tail", "truncate -s 32M fat16_tail.img\nmkfs.vfat -F 16 fat16_tail.img\n"
                           "rsvd=$(od -An -tu2 -j14 -N2 fat16_tail.img)\n"
                           "fats=$(od -An -tu1 -j16 -N1 fat16_tail.img)\n"
                           "fatsz=$(od -An -tu2 -j22 -N2 fat16_tail.img)\n"
                           "poke fat16_tail.img $((512 * (rsvd + fats * fatsz) + 15 * 32)) "
                           "'bad name!!!'"},
            // Filesystems larger than their partition: only strict mode
            // holds them to the partition's length.
            {"mbr_short_ntfs",
             "truncate -s 100M mbr_short_ntfs.img\n"
             "printf 'label: dos\\nstart=2048, size=32768, type=7\\n' | sfdisk -q "
             "mbr_short_ntfs.img\n"
             "truncate -s 64M n.part\nmkntfs -Q -F n.part\nput n.part mbr_short_ntfs.img 2048\n"
             "rm n.part"},
            {"mbr_short_ext4",
             "truncate -s 100M mbr_short_ext4.img\n"
             "printf 'label: dos\\nstart=2048, size=32768, type=83\\n' | sfdisk -q "
             "mbr_short_ext4.img\n"
             "mke2fs -q -F -t ext4 e.part 64M\nput e.part mbr_short_ext4.img 2048\nrm e.part"},
            {"gpt_exfat",
             "truncate -s 100M gpt_exfat.img\n"
             "printf 'label: gpt\\nstart=2048, size=131072, "
             "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n' | sfdisk -q gpt_exfat.img\n"
             "truncate -s 64M x.part\nmkfs.exfat x.part\nput x.part gpt_exfat.img 2048\n"
             "rm x.part"},
            // exFAT without its backup boot region.
            {"exfat_nobackup", "truncate -s 64M exfat_nobackup.img\nmkfs.exfat exfat_nobackup.img\n"
                               "dd if=/dev/zero of=exfat_nobackup.img bs=512 seek=12 count=12 "
                               "conv=notrunc status=none"},
            // FAT16 whose first root-directory entry has a forbidden name.
            {"fat16_badroot", "truncate -s 32M fat16_badroot.img\n"
                              "mkfs.vfat -F 16 -n DATA fat16_badroot.img\n"
                              "rsvd=$(od -An -tu2 -j14 -N2 fat16_badroot.img)\n"
                              "fats=$(od -An -tu1 -j16 -N1 fat16_badroot.img)\n"
                              "fatsz=$(od -An -tu2 -j22 -N2 fat16_badroot.img)\n"
                              "poke fat16_badroot.img $((512 * (rsvd + fats * fatsz))) "
                              "'BAD*NAME   '"},
            {"zero", "truncate -s 1M zero.img"},
            {"random", "head -c 1M /dev/urandom >random.img"},
            {"ebr_127", ""},
            {"ebr_128", ""},
            {"ebr_loop", ""},
        };
        auto it = recipes.find(name);
        ASSERT_NE(it, recipes.end()) << name;
        if (name.rfind("ebr_", 0) == 0) {
            if (name == "ebr_loop") {
                make_ebr_chain(file, 3, 0, true);
            } else {
                unsigned target = name == "ebr_127" ? 127 : 128;
                make_ebr_chain(file, 130, target, false);
            }
            return;
        }
        run(it->second);
        if (name == "apfs" || name == "apfs_bad") {
            Bytes block = apfs_superblock(4096, 1024, 0x80000001);
            if (name == "apfs_bad") {
                block[200] ^= 1;
            }
            write_at(file, 0, block);
        }
        if (name == "gpt_apfs") {
            write_at(file, 2048 * 512, apfs_superblock(4096, 1024, 0x80000001));
        }
    }

    std::string dir_;
    std::set<std::string> made_;
};

// Reads an image file, counting reads; sectors listed in `failures` fail
// with the given error. Any read outside the image is a test failure.
struct FileReader {
    int fd = -1;
    uint64_t size = 0;
    int reads = 0;
    std::map<uint64_t, int> failures;

    static int read(void *user, void *buffer, size_t length, uint64_t offset) {
        auto *self = static_cast<FileReader *>(user);
        ++self->reads;
        EXPECT_EQ(0u, length % 512);
        EXPECT_EQ(0u, offset % 512);
        EXPECT_LE(offset + length, self->size) << "read outside the image";
        for (uint64_t s = offset / 512; s < (offset + length) / 512; ++s) {
            auto it = self->failures.find(s);
            if (it != self->failures.end()) {
                return it->second;
            }
        }
        if (pread(self->fd, buffer, length, off_t(offset)) != ssize_t(length)) {
            return -EIO;
        }
        return 0;
    }
};

struct ProbeOutcome {
    int rc = -1;
    std::string text;
    int first_error = 0;
    int reads = 0;
    int cd = 0;
};

struct ProbeOptions {
    int kind = 6;
    bool strict = false;
    bool encrypted = false;
    std::map<uint64_t, int> failures;
};

ProbeOutcome probe_file(const std::string &file, const ProbeOptions &options) {
    ProbeOutcome out;
    FileReader reader;
    reader.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(reader.fd, 0) << file;
    if (reader.fd < 0) {
        return out;
    }
    struct stat st {};
    fstat(reader.fd, &st);
    reader.size = uint64_t(st.st_size);
    reader.failures = options.failures;
    unsigned char sector0[512] = {};
    EXPECT_EQ(512, pread(reader.fd, sector0, 512, 0));

    tw::ProbeContext ctx;
    ctx.sector0 = sector0;
    ctx.sector_count = reader.size / 512;
    ctx.read = &FileReader::read;
    ctx.read_user = &reader;
    ctx.format_kind = options.kind;
    ctx.cd_flag = &out.cd;
    ctx.encrypted = options.encrypted;
    ctx.strict = options.strict;
    char text[256];
    out.rc = tw::filesystem_probe(&ctx, text, sizeof text);
    out.text = text;
    out.first_error = ctx.first_error;
    out.reads = reader.reads;
    close(reader.fd);
    return out;
}

const char kNothing[] = "No recognized filesystem or partition signatures found";

struct LineCase {
    const char *image;
    int kind;
    bool strict;
    bool encrypted;
    int rc;
    const char *line;
};

std::ostream &operator<<(std::ostream &os, const LineCase &c) {
    return os << c.image << " kind " << c.kind << (c.strict ? " strict" : " normal")
              << (c.encrypted ? " encrypted" : "");
}

class ProbeLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(ProbeLines, ReportsTheExpectedLine) {
    const LineCase &c = GetParam();
    std::string file = Images::get().path(c.image);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    ProbeOptions options;
    options.kind = c.kind;
    options.strict = c.strict;
    options.encrypted = c.encrypted;
    ProbeOutcome out = probe_file(file, options);
    EXPECT_EQ(c.rc, out.rc);
    EXPECT_EQ(c.line, out.text);
    EXPECT_EQ(0, out.first_error);
    // The CD flag is set exactly when an ISO image is recognised.
    EXPECT_EQ(out.text.rfind("ISO 9660", 0) == 0 ? 1 : 0, out.cd);
    // A well-formed image takes a few dozen reads; the long EBR chains are
    // bounded separately.
    if (std::string(c.image).rfind("ebr_", 0) != 0) {
        EXPECT_LE(out.reads, 40);
    }
}

// clang-format off
const LineCase kLineCases[] = {
    // Superfloppy volumes of a container (sector 0 in clear) and the same
    // volumes checked strictly, as an imported volume is.
    {"fat12", 6, false, false, 0, "Superfloppy FAT12/16 FAT and root directory verified"},
    {"fat12", 0, true, false, 0, "Filesystem @ LBA 0: FAT12 filesystem"},
    {"fat16", 6, false, false, 0, "Superfloppy FAT12/16 FAT and root directory verified"},
    {"fat16", 0, true, false, 0, "Filesystem @ LBA 0: FAT16 filesystem"},
    {"fat32", 6, false, false, 0, "Superfloppy FAT32 Backup Boot Sector verified @ LBA 6"},
    {"fat32", 0, true, false, 0, "Filesystem @ LBA 0: FAT32 filesystem"},
    {"exfat", 6, false, false, 0, "Superfloppy exFAT Backup Boot Sector verified @ LBA 12"},
    {"exfat", 0, true, false, 0, "Filesystem @ LBA 0: exFAT filesystem"},
    {"ntfs", 6, false, false, 0, "Superfloppy NTFS Backup Boot Sector verified @ LBA 131071"},
    {"ntfs", 0, true, false, 0,
     "Filesystem @ LBA 0: NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 131071)"},
    {"ntfs_nobackup", 6, false, false, 0, "Superfloppy NTFS $MFT Record verified @ LBA 32"},
    {"ntfs_nobackup", 0, true, false, 0,
     "Filesystem @ LBA 0: NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 131071)"},
    {"ntfs_nomft", 6, false, false, 0, "Superfloppy NTFS $MFTMirr Record verified @ LBA 65528"},
    {"ntfs_nomft", 0, true, false, 2, kNothing},
    {"ext4", 6, false, false, 0, "Linux Ext2/3/4 Superblock verified @ LBA 2"},
    {"ext4", 0, true, false, 0, "Filesystem @ LBA 0: Linux Ext2/3/4 superblock"},
    {"ext2_1k", 6, false, false, 0, "Linux Ext2/3/4 Superblock verified @ LBA 2"},
    {"ext2_1k", 0, true, false, 0, "Filesystem @ LBA 0: Linux Ext2/3/4 superblock"},
    // Kind 3 names the superfloppy; kind 7 runs the structure tests; a FAT32
    // volume outside a container is still found by its FSInfo sector.
    {"fat16", 3, false, false, 0, "Superfloppy Volume @ LBA 0: FAT16/FAT12 filesystem"},
    {"ntfs", 3, false, false, 0,
     "Superfloppy Volume @ LBA 0: NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 131071)"},
    {"fat16_tail", 6, false, false, 2, kNothing},
    {"fat16_tail", 7, false, false, 0, "FAT16 filesystem"},
    {"fat32", 0, false, false, 0, "FAT32 FSInfo sector verified @ LBA 1"},
    // ISO 9660 comes before the partition table in sector 0.
    {"iso", 6, false, false, 0, "ISO 9660 volume descriptor @ 32 KiB (a CD image)"},
    {"iso", 0, true, false, 0, "ISO 9660 volume descriptor @ 32 KiB (a CD image)"},
    {"iso_mbr", 6, false, false, 0, "ISO 9660 volume descriptor @ 32 KiB (a CD image)"},
    {"iso_mbr", 0, true, false, 0, "ISO 9660 volume descriptor @ 32 KiB (a CD image)"},
    {"iso_cut", 6, false, false, 0, "ISO 9660 volume descriptor @ 32 KiB (a CD image)"},
    {"iso_cut", 0, true, false, 2, kNothing},
    // MBR disks: a primary partition, and a logical one behind an empty
    // primary and an empty logical partition.
    {"mbr_fat32", 6, false, false, 0,
     "MBR Partition 1 @ LBA 2048: FAT32 (SectorSz: 512, ClusterSz: 512, TotalSec: 131072)"},
    {"mbr_fat32", 0, true, false, 0, "MBR Partition 1 @ LBA 2048: FAT32 filesystem"},
    {"mbr_logical", 6, false, false, 0,
     "MBR Partition 2 (extended): Logical partition @ LBA 55296: "
     "NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 81919)"},
    {"mbr_logical", 0, true, false, 0,
     "MBR Partition 2 (extended): Logical partition @ LBA 55296: "
     "NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 81919)"},
    {"mbr_empty", 6, false, false, 2, kNothing},
    {"mbr_empty", 0, true, true, 2, kNothing},
    {"ebr_127", 6, false, false, 0,
     "MBR Partition 1 (extended): Logical partition @ LBA 8192: FAT16/FAT12 filesystem"},
    {"ebr_127", 0, true, false, 0,
     "MBR Partition 1 (extended): Logical partition @ LBA 8192: FAT12 filesystem"},
    // GPT disks: strict mode checks both CRCs and the partitions; normal mode
    // finds the volume by the fallback scan or names the header.
    {"gpt_fat32", 6, false, false, 0,
     "Partition/VBR @ LBA 2048: FAT32 (SectorSz: 512, ClusterSz: 512, TotalSec: 131072)"},
    {"gpt_fat32", 0, true, false, 0, "GPT: FAT32 filesystem"},
    {"gpt_ext4", 6, false, false, 0, "GPT header verified @ LBA 1"},
    {"gpt_ext4", 0, true, false, 0, "GPT: Linux Ext2/3/4 superblock"},
    {"gpt_bad_header", 6, false, false, 0, "GPT header verified @ LBA 1"},
    {"gpt_bad_header", 0, true, false, 2, kNothing},
    {"gpt_bad_entries", 0, true, false, 2, kNothing},
    {"gpt_apfs", 0, true, false, 0, "GPT: APFS container superblock verified"},
    {"gpt_apfs", 6, false, false, 0, "Partition/VBR @ LBA 2048: APFS container superblock verified"},
    {"apfs", 6, false, false, 0, "APFS container superblock checksum verified"},
    {"apfs", 0, true, false, 0, "APFS container superblock checksum verified"},
    // Volumes without a table at the fallback sectors.
    {"vbr63", 6, false, false, 0, "Partition/VBR @ LBA 63: FAT16/FAT12 filesystem"},
    {"vbr63", 0, true, false, 0, "Partition/VBR @ LBA 63: FAT16 filesystem"},
    {"vbr128", 6, false, false, 0, "Partition/VBR @ LBA 128: FAT16/FAT12 filesystem"},
    {"vbr2048", 0, true, false, 0, "Partition/VBR @ LBA 2048: FAT16 filesystem"},
    {"vbr1", 6, false, false, 0, "Partition/VBR @ LBA 1: FAT16/FAT12 filesystem"},
    {"vbr1", 0, true, false, 0, "Partition/VBR @ LBA 1: FAT16 filesystem"},
    // Strict mode holds a filesystem to its partition and to its structure.
    {"mbr_short_ntfs", 6, false, false, 0,
     "MBR Partition 1 @ LBA 2048: NTFS (SectorSz: 512, ClusterSz: 4096, TotalSec: 131071)"},
    {"mbr_short_ntfs", 0, true, false, 2, kNothing},
    {"mbr_short_ext4", 6, false, false, 0, "MBR Partition 1 @ LBA 2048: Linux Ext2/3/4 superblock"},
    {"mbr_short_ext4", 0, true, false, 2, kNothing},
    {"gpt_exfat", 0, true, false, 0, "GPT: exFAT filesystem"},
    {"gpt_exfat", 6, false, false, 0, "Partition/VBR @ LBA 2048: exFAT filesystem"},
    {"exfat_nobackup", 6, false, false, 2, kNothing},
    {"exfat_nobackup", 0, true, false, 2, kNothing},
    {"fat16_badroot", 6, false, false, 2, kNothing},
    {"fat16_badroot", 0, true, false, 2, kNothing},
    {"fat32", 1, false, false, 0, "Superfloppy FAT32 Backup Boot Sector verified @ LBA 6"},
    // Unallocated space decrypts to zeros only under the right key.
    {"zero", 6, false, true, 0, "Decrypted clean zero-block @ LBA 1 (unallocated)"},
    {"zero", 0, true, true, 0, "Decrypted clean zero-block @ LBA 1 (unallocated)"},
    {"zero", 6, false, false, 2, kNothing},
    {"random", 6, false, true, 2, kNothing},
    {"random", 0, true, true, 2, kNothing},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(RealImages, ProbeLines, ::testing::ValuesIn(kLineCases),
                         [](const ::testing::TestParamInfo<LineCase> &info) {
                             return std::string(info.param.image) + "_k" +
                                    std::to_string(info.param.kind) +
                                    (info.param.strict ? "_strict" : "_normal") +
                                    (info.param.encrypted ? "_enc" : "");
                         });

TEST(ProbeApfs, DamagedChecksumRejectsAtOnce) {
    std::string file = Images::get().path("apfs_bad");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    for (bool strict : {false, true}) {
        ProbeOptions options;
        options.strict = strict;
        options.encrypted = true; // the zero-block check would accept sector 1
        ProbeOutcome out = probe_file(file, options);
        EXPECT_EQ(2, out.rc);
        EXPECT_EQ(kNothing, out.text);
        EXPECT_EQ(1, out.reads) << "only the superblock's block is read";
    }
}

TEST(ProbeApfs, SuperblockFieldsAndTypeFlags) {
    // The container superblock on disk is marked ephemeral in the high bits
    // of its object type; a bare type 1 is accepted too.
    Bytes ephemeral = apfs_superblock(4096, 1024, 0x80000001);
    Bytes bare = apfs_superblock(4096, 1024, 1);
    EXPECT_TRUE(tw::apfs_superblock_plausible(ephemeral.data(), 8192));
    EXPECT_TRUE(tw::apfs_superblock_plausible(bare.data(), 8192));
    // A volume superblock type, too small a container, or one larger than
    // the image is not a container superblock.
    EXPECT_FALSE(tw::apfs_superblock_plausible(apfs_superblock(4096, 1024, 0xD).data(), 8192));
    EXPECT_FALSE(tw::apfs_superblock_plausible(apfs_superblock(4096, 255, 1).data(), 8192));
    EXPECT_FALSE(tw::apfs_superblock_plausible(ephemeral.data(), 8191));
    EXPECT_FALSE(tw::apfs_superblock_plausible(apfs_superblock(2048, 1024, 1).data(), 8192));
}

TEST(ProbeReadErrors, OptionalChecksAreRecordedAndTheProbeContinues) {
    std::string fat32 = Images::get().path("fat32");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    {
        // The ISO check fails to read: recorded, the volume is still found.
        ProbeOptions options;
        options.failures = {{64, -EIO}};
        ProbeOutcome out = probe_file(fat32, options);
        EXPECT_EQ(0, out.rc);
        EXPECT_EQ("Superfloppy FAT32 Backup Boot Sector verified @ LBA 6", out.text);
        EXPECT_EQ(-EIO, out.first_error);
    }
    {
        // The backup boot sector is unreadable too: the FSInfo sector proves
        // the volume, and the first error is the one kept.
        ProbeOptions options;
        options.failures = {{64, -EIO}, {6, -ENXIO}};
        ProbeOutcome out = probe_file(fat32, options);
        EXPECT_EQ(0, out.rc);
        EXPECT_EQ("FAT32 FSInfo sector verified @ LBA 1", out.text);
        EXPECT_EQ(-EIO, out.first_error);
    }
    {
        // Nothing but sector 0 can be read: not recognised, error reported.
        ProbeOptions options;
        options.encrypted = true;
        for (uint64_t s = 1; s < 131072; ++s) {
            options.failures[s] = -EIO;
        }
        ProbeOutcome out = probe_file(fat32, options);
        EXPECT_EQ(2, out.rc);
        EXPECT_EQ(kNothing, out.text);
        EXPECT_EQ(-EIO, out.first_error);
    }
    {
        // A structure read in strict mode: the FAT32 backup and FSInfo both
        // fail, so the strict FAT structure test cannot pass.
        ProbeOptions options;
        options.kind = 0;
        options.strict = true;
        options.failures = {{6, -EIO}, {1, -EIO}};
        ProbeOutcome out = probe_file(fat32, options);
        EXPECT_EQ(2, out.rc);
        EXPECT_EQ(-EIO, out.first_error);
    }
}

TEST(ProbeExtended, ChainIsCutAfter127RecordsAndLoopsEnd) {
    // The 128th record is never read, so its partition is not found.
    std::string beyond = Images::get().path("ebr_128");
    std::string loop = Images::get().path("ebr_loop");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    for (bool strict : {false, true}) {
        ProbeOptions options;
        options.strict = strict;
        ProbeOutcome out = probe_file(beyond, options);
        EXPECT_EQ(2, out.rc);
        EXPECT_LE(out.reads, 127 + 20);
        out = probe_file(loop, options);
        EXPECT_EQ(2, out.rc);
        EXPECT_LE(out.reads, 127 + 20);
    }
}

TEST(ProbeText, TruncatedToTheBufferAndOptional) {
    std::string file = Images::get().path("fat32");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FileReader reader;
    reader.fd = fd;
    reader.size = 64u << 20;
    unsigned char sector0[512];
    ASSERT_EQ(512, pread(fd, sector0, 512, 0));
    tw::ProbeContext ctx;
    ctx.sector0 = sector0;
    ctx.sector_count = reader.size / 512;
    ctx.read = &FileReader::read;
    ctx.read_user = &reader;
    ctx.format_kind = 6;
    char text[12];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(0, tw::filesystem_probe(&ctx, text, 10));
    EXPECT_STREQ("Superflop", text);
    EXPECT_EQ('x', text[10]);
    EXPECT_EQ(0, tw::filesystem_probe(&ctx, nullptr, 0));
    // Without a presented sector 0 the reader supplies it.
    ctx.sector0 = nullptr;
    char full[256];
    EXPECT_EQ(0, tw::filesystem_probe(&ctx, full, sizeof full));
    EXPECT_STREQ("Superfloppy FAT32 Backup Boot Sector verified @ LBA 6", full);
    close(fd);
}

Bytes read_sector(const std::string &file, uint64_t sector) {
    Bytes b(512);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(512, pread(fd, b.data(), 512, off_t(sector * 512)));
    close(fd);
    return b;
}

TEST(PlausibleBootSector, RealSectorsAndNoise) {
    Images &images = Images::get();
    struct {
        const char *image;
        uint64_t sectors;
    } real[] = {{"fat12", 2880},  {"fat16", 65536},      {"fat32", 131072},     {"exfat", 131072},
                {"ntfs", 131072}, {"mbr_fat32", 204800}, {"gpt_fat32", 204800}, {"apfs", 8192}};
    for (const auto &r : real) {
        Bytes s0 = read_sector(images.path(r.image), 0);
        EXPECT_TRUE(tw::plausible_boot_sector(s0.data(), r.sectors, false)) << r.image;
    }
    // A partition table that reaches past the image is not plausible.
    Bytes mbr = read_sector(images.path("mbr_fat32"), 0);
    EXPECT_FALSE(tw::plausible_boot_sector(mbr.data(), 133119, false));
    EXPECT_TRUE(tw::plausible_boot_sector(mbr.data(), 133120, false));

    Bytes zero(512, 0);
    EXPECT_TRUE(tw::plausible_boot_sector(zero.data(), 2048, true));
    EXPECT_FALSE(tw::plausible_boot_sector(zero.data(), 2048, false));
    // Random data: a wrong key. 0xAA55 alone with random entries is rejected.
    Bytes noise = read_sector(images.path("random"), 5);
    noise[510] = 0x55;
    noise[511] = 0xAA;
    EXPECT_FALSE(tw::plausible_boot_sector(noise.data(), 2048, true));
}

TEST(FatDirectoryEntry, NamesAttributesAndReservedBytes) {
    auto entry = [](const char *name, uint8_t attribute) {
        Bytes e(32, 0);
        std::memcpy(e.data(), name, 11);
        e[11] = attribute;
        return e;
    };
    struct Case {
        Bytes entry;
        bool valid;
        const char *what;
    };
    Bytes lfn = entry("Aa\0b\0c\0d\0e\0", 0x0F);
    Bytes lfn_cluster = lfn;
    lfn_cluster[26] = 1;
    Bytes lowercase_flags = entry("README  TXT", 0x20);
    lowercase_flags[12] = 0x18;
    Bytes reserved_flag = lowercase_flags;
    reserved_flag[12] = 0x01;
    Bytes high_cluster = entry("README  TXT", 0x20);
    high_cluster[20] = 1;
    Bytes end_marker(32, 0);
    Bytes dirty_end = end_marker;
    dirty_end[31] = 1;
    Case cases[] = {
        {entry("README  TXT", 0x20), true, "plain file"},
        {entry("readme  txt", 0x20), false, "lower-case file name"},
        {entry("My Disk    ", 0x08), true, "volume label keeps lower case"},
        {entry("MY.DISK    ", 0x08), false, "volume label with a dot"},
        {entry("\xE5"
               "EADME  TXT",
               0x20),
         true, "deleted entry"},
        {entry("\x05"
               "EADME  TXT",
               0x20),
         true, "0xE5 escaped as 0x05"},
        {entry("R\xE5"
               "ADME  TXT",
               0x20),
         true, "high byte inside the name"},
        {entry("RE*DME  TXT", 0x20), false, "forbidden character"},
        {entry("RE\x01"
               "DME  TXT",
               0x20),
         false, "control character"},
        {entry("README  TXT", 0x40), false, "attribute above 63"},
        {lfn, true, "long-name entry"},
        {lfn_cluster, false, "long-name entry with a cluster"},
        {lowercase_flags, true, "lower-case flags in byte 12"},
        {reserved_flag, false, "reserved bit in byte 12"},
        {high_cluster, false, "high cluster half on FAT12/16"},
        {end_marker, true, "end marker"},
        {dirty_end, false, "end marker with data"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.valid, tw::probe::fat_dir_entry_valid(c.entry.data())) << c.what;
    }
}

TEST(Crc32, StandardCheckValueAndContinuation) {
    EXPECT_EQ(0xCBF43926u, tw::crc32_ieee("123456789", 9));
    EXPECT_EQ(0u, tw::crc32_ieee("", 0));
    uint32_t part = tw::crc32_ieee("1234", 4);
    EXPECT_EQ(0xCBF43926u, tw::crc32_ieee("56789", 5, part));
}

} // namespace
