// The copy writer's verification pass: an output that still unlocks and
// still holds a recognisable filesystem, but differs from the source in a
// single byte, is rejected and never published.
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A byte in the middle of the output: deep in the FAT32 data area (salted)
// or inside a data chunk (v3). The output still unlocks and its filesystem
// is still found; only reading everything back and comparing can tell.
void damage_one_byte(int fd) {
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    const off_t middle = st.st_size / 2;
    uint8_t byte = 0;
    ASSERT_EQ(1, pread(fd, &byte, 1, middle));
    byte ^= 0x5A;
    ASSERT_EQ(1, pwrite(fd, &byte, 1, middle));
}

int entries(const std::string &dir) {
    int n = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        n += e->d_name[0] != '.' ||
             (std::string(e->d_name) != "." && std::string(e->d_name) != "..");
    if (d)
        closedir(d);
    return n;
}

TEST(CopyWriterVerification, OneChangedByteIsRejectedAndNothingPublished) {
    char tmpl[] = "/tmp/tw-copy-verify-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string image = dir + "/image.img";
    std::string make = "truncate -s 40M '" + image + "' && mkfs.vfat -F 32 '" + image +
                       "' >/dev/null && dd if=/dev/urandom of='" + image +
                       "' bs=1M seek=20 count=20 conv=notrunc status=none";
    ASSERT_EQ(0, std::system(make.c_str()));
    ASSERT_EQ(0, tw::system_key_set_default());

    struct Case {
        const char *layout;
        uint32_t chunk;
    } cases[] = {{"salted", 0}, {"v3", 16384}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        tw::Container *source = nullptr;
        ASSERT_EQ(0, tw::container_open(image.c_str(), tw::kContainerOpenRead, &source));
        ASSERT_EQ(0, tw::container_probe_plaintext(source));
        static const char kPassword[] = "pw";
        tw::ReencodeOptions o;
        o.password = reinterpret_cast<const uint8_t *>(kPassword);
        o.password_length = 2;
        o.cipher = tw::kCipherAesXts;
        o.chunk_size = c.chunk;
        const std::string output = dir + "/out.zcx";
        o.output_path = output.c_str();

        // Undamaged, the same conversion succeeds: the seam alone changes nothing.
        ASSERT_EQ(0, tw::container_reencode(source, o));
        ASSERT_EQ(0, unlink(output.c_str()));

        tw::copy_writer_set_written_hook_for_testing(damage_one_byte);
        EXPECT_EQ(-EILSEQ, tw::container_reencode(source, o));
        tw::copy_writer_set_written_hook_for_testing(nullptr);
        EXPECT_NE(access(output.c_str(), F_OK), 0);
        EXPECT_EQ(entries(dir), 1) << "only the source image is left";
        tw::container_close(source);
    }
    tw::system_key_forget();
    std::string cleanup = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, std::system(cleanup.c_str()));
}

} // namespace
