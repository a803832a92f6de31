#include "platform/fingerprint.h"

#include "platform/tests/support/temp_env.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tw::test::TempEnv;

std::string sha256_hex(const std::string &data) {
    unsigned char digest[32];
    unsigned int length = 0;
    EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr));
    std::string hex;
    char byte[3];
    for (unsigned i = 0; i < length; i++) {
        snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

// Contents that differ everywhere, larger than one 1 MiB read for the
// service, so that a lost or repeated chunk changes the digest.
std::string contents(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = static_cast<char>(seed + i * 7 + (i >> 12));
    return s;
}

struct FingerprintTest : ::testing::Test {
    TempEnv env;
    std::string folder = env.path("bin");
    std::string service = contents((3u << 20) / 2 + 17, 's');
    std::string worker = contents(4096, 'w');
    std::string engine = contents(100000, 'e');

    void SetUp() override {
        ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
        tw::test::write_file(program("tarnwick-service"), service);
        tw::test::write_file(program("tarnwick-worker"), worker);
        tw::test::write_file(program("tarnwick-engine"), engine);
    }
    std::string program(const char *name) { return folder + "/" + name; }
};

TEST_F(FingerprintTest, HashesTheThreeProgramsInOrder) {
    std::string fp;
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &fp));
    EXPECT_EQ(sha256_hex(service + worker + engine), fp);
    EXPECT_EQ(64u, fp.size());
    EXPECT_EQ(std::string::npos, fp.find_first_not_of("0123456789abcdef"));
}

TEST_F(FingerprintTest, EngineMayBeMissingButNothingElse) {
    std::string fp;
    ASSERT_EQ(0, unlink(program("tarnwick-engine").c_str()));
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &fp));
    EXPECT_EQ(sha256_hex(service + worker), fp);

    // An engine that is there but unusable is a failure, not a missing file.
    ASSERT_EQ(0, mkdir(program("tarnwick-engine").c_str(), 0755));
    std::string untouched = "unchanged";
    fp = untouched;
    EXPECT_EQ(-EISDIR, tw::installation_fingerprint_in(folder, &fp));
    EXPECT_EQ(untouched, fp);
    ASSERT_EQ(0, rmdir(program("tarnwick-engine").c_str()));

    ASSERT_EQ(0, unlink(program("tarnwick-worker").c_str()));
    EXPECT_EQ(-ENOENT, tw::installation_fingerprint_in(folder, &fp));
    EXPECT_EQ(untouched, fp);
    tw::test::write_file(program("tarnwick-worker"), worker);
    ASSERT_EQ(0, unlink(program("tarnwick-service").c_str()));
    EXPECT_EQ(-ENOENT, tw::installation_fingerprint_in(folder, &fp));

    // Next to this test program there is no installation.
    EXPECT_EQ(-ENOENT, tw::installation_fingerprint(&fp));
}

TEST_F(FingerprintTest, CachedUntilAFileChanges) {
    std::string first, again;
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &first));

    // Same size and modification time, different bytes: the programs are not
    // read again, so the cached value comes back.
    std::string path = program("tarnwick-worker");
    struct stat before;
    ASSERT_EQ(0, stat(path.c_str(), &before));
    std::string changed = contents(worker.size(), 'x');
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(changed.size()), pwrite(fd, changed.data(), changed.size(), 0));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(0, futimens(fd, times));
    close(fd);
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &again));
    EXPECT_EQ(first, again);

    // A new modification time makes it read and hash everything again.
    const timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 10, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), later, 0));
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &again));
    EXPECT_EQ(sha256_hex(service + changed + engine), again);

    // So does a replaced file (new inode) of the same size and time.
    std::string replacement = program("tarnwick-engine.new");
    std::string new_engine = contents(engine.size(), 'n');
    tw::test::write_file(replacement, new_engine);
    struct stat old_engine;
    ASSERT_EQ(0, stat(program("tarnwick-engine").c_str(), &old_engine));
    const timespec same[2] = {old_engine.st_atim, old_engine.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, replacement.c_str(), same, 0));
    ASSERT_EQ(0, rename(replacement.c_str(), program("tarnwick-engine").c_str()));
    ASSERT_EQ(0, tw::installation_fingerprint_in(folder, &again));
    EXPECT_EQ(sha256_hex(service + changed + new_engine), again);
}

} // namespace
