// Writing into containers in place: sector 0 keeps each kind's header and
// classification, partial writes equal read-patch-write of whole sectors,
// the image end, refusals, the sticky error after a lost write, and the v3
// write sessions around a writable mount.
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"
#include "container/tests/support/tool_images.h"
#include "container/tests/support/v3_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using tw::Container;
using tw::ContainerInfo;
using tw::test::Bytes;
using tw::test::ToolImages;

constexpr size_t kSector = 512;
const std::string kPassword = "correct horse";
const std::string kV3Password(tw::test::kV3Password);

std::span<const uint8_t> bytes_of(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

// Kind 2: an embedded header in the boot sector, the whole sector under the
// default system key, data under XOR.
Bytes make_intermediate(const Bytes &image) {
    Bytes file = image;
    uint8_t *s = file.data();
    tw::test::put64(s + 256, 1 | uint64_t{tw::kCipherXor} << 56);
    tw::test::put64(s + 264, file.size() / kSector);
    tw::test::put32(s + 272, 0x01020304);
    tw::test::put64(s + 486, 0x0A0B0C0D0E0F1011ull);
    tw::test::put16(s + 494, 0xAA55);
    tw::test::sse2_protect_sector0(s, tw::kDefaultSystemKey);
    tw::test::encrypt_sectors(&file, tw::kCipherXor, bytes_of(kPassword), 1,
                              file.size() / kSector - 1);
    return file;
}

// Kind 3: every sector under the password.
Bytes make_legacy(const Bytes &image) {
    Bytes file = image;
    tw::test::encrypt_sectors(&file, tw::kCipherXor, bytes_of(kPassword), 0, file.size() / kSector);
    return file;
}

// Kind 6: sector 0 in clear, data under XOR.
Bytes make_clear(const Bytes &image) {
    Bytes file = image;
    tw::test::encrypt_sectors(&file, tw::kCipherXor, bytes_of(kPassword), 1,
                              file.size() / kSector - 1);
    return file;
}

// Kind 5: sector 0 under the system key, the rest under the trailer's key.
Bytes make_salted(const Bytes &image) {
    Bytes file = image;
    uint8_t trailer[tw::kKdfTrailerSize];
    uint8_t data_key[tw::kDataKeySize];
    EXPECT_EQ(tw::kdf_trailer_create(trailer, file.size(), tw::kCipherAesXts,
                                     bytes_of(kPassword).data(), kPassword.size(), data_key),
              0);
    tw::test::encrypt_sectors(&file, tw::kCipherAesXts,
                              {data_key, tw::cipher_key_length(tw::kCipherAesXts)}, 1,
                              file.size() / kSector - 1);
    tw::test::sse2_protect_sector0(file.data(), tw::kDefaultSystemKey);
    file.insert(file.end(), trailer, trailer + sizeof trailer);
    return file;
}

// Kind 7 through a new store.
Bytes make_v3(const Bytes &image) {
    const std::string path = ToolImages::get().dir() + "/v3-build.zcx";
    std::filesystem::remove(path);
    tw::test::V3Open v3;
    EXPECT_EQ(tw::test::v3_test_create(path, image.size(), tw::kCipherAesXts, 16384, true, &v3), 0);
    EXPECT_EQ(v3.write(image.data(), image.size(), 0), 0);
    EXPECT_EQ(tw::v3_end_writes(v3.store), 0);
    v3.close();
    Bytes file = ToolImages::read(path);
    std::filesystem::remove(path);
    return file;
}

class WriteTest : public tw::test::ContainerFileTest {
  protected:
    void TearDown() override {
        close_container();
        for (const std::string &p : paths_)
            std::filesystem::remove(p);
        ContainerFileTest::TearDown();
    }
    std::string put(const std::string &name, const Bytes &bytes) {
        std::string p = ToolImages::get().write(name, bytes);
        paths_.push_back(p);
        return p;
    }
    // Opens for writing (or reading) and unlocks with the password.
    Container *open_unlocked(const std::string &path, const std::string &password,
                             int mode = tw::kContainerOpenWrite) {
        close_container();
        tw::system_key_forget();
        EXPECT_EQ(tw::container_open(path.c_str(), mode, &c_), 0) << path;
        if (c_) {
            EXPECT_EQ(tw::container_unlock(c_, bytes_of(password).data(), password.size(),
                                           tw::kCipherUnset),
                      0);
        }
        return c_;
    }
    void close_container() {
        tw::container_close(c_);
        c_ = nullptr;
    }
    ContainerInfo info() {
        ContainerInfo i{};
        tw::container_info(c_, &i);
        return i;
    }
    Bytes read_all() {
        Bytes out(tw::container_size(c_));
        EXPECT_EQ(tw::container_read(c_, out.data(), out.size(), 0), ssize_t(out.size()));
        return out;
    }

    Container *c_ = nullptr;
    std::vector<std::string> paths_;
};

TEST_F(WriteTest, Kind2BootSectorKeepsItsHeaderAndKind) {
    const Bytes &image = ToolImages::get().image("fat32");
    std::string path = put("kind2.zcx", make_intermediate(image));
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    ASSERT_EQ(info().format_kind, 2);
    Bytes header_before(info().presented_sector0, info().presented_sector0 + kSector);

    // A new boot sector that tries to change every byte, header included.
    Bytes fresh(image.begin(), image.begin() + kSector);
    for (size_t i = 3; i < 510; ++i)
        fresh[i] = uint8_t(fresh[i] ^ 0x5A);
    std::memcpy(fresh.data() + 3, "TWTEST  ", 8);
    ASSERT_EQ(tw::container_write_sector(c_, 0, fresh.data()), 0);
    close_container();

    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    EXPECT_EQ(info().format_kind, 2) << "still the same kind";
    const uint8_t *now = info().presented_sector0;
    for (auto [from, to] : {std::pair{256, 275}, {486, 495}, {510, 511}})
        EXPECT_EQ(0, std::memcmp(now + from, header_before.data() + from, size_t(to - from + 1)))
            << from;
    EXPECT_EQ(0, std::memcmp(now + 3, "TWTEST  ", 8));
    EXPECT_EQ(now[300], fresh[300]);
}

TEST_F(WriteTest, HeaderLockedKind3RefusesSector0ButWritesOthers) {
    std::string path = put("kind3.zcx", make_legacy(ToolImages::get().image("fat12")));
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    ASSERT_EQ(info().format_kind, 3);
    ASSERT_TRUE(info().header_locked);
    Bytes sector(kSector, 0x42);
    EXPECT_EQ(tw::container_write_sector(c_, 0, sector.data()), -EPERM);
    ASSERT_EQ(tw::container_write_sector(c_, 7, sector.data()), 0);
    close_container();
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    Bytes back(kSector);
    ASSERT_EQ(tw::container_read_sector(c_, 7, back.data()), 0);
    EXPECT_EQ(back, sector);
}

// A write from byte 100 over three sectors equals writing the three patched
// sectors one by one: the same file for the salted and clear kinds, the same
// image for v3 (whose chunk placement is its own).
TEST_F(WriteTest, PartialWriteEqualsPatchedSectorWrites) {
    const Bytes &image = ToolImages::get().image("fat32");
    struct Case {
        const char *name;
        Bytes (*make)(const Bytes &);
        const std::string *password;
        bool same_file;
    } cases[] = {
        {"salted", make_salted, &kPassword, true},
        {"clear", make_clear, &kPassword, true},
        {"v3", make_v3, &kV3Password, false},
    };
    Bytes data(3 * kSector - 100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    // Sector 0 keeps its signature so that it can be stored in every kind.
    data[510 - 100] = 0x55;
    data[511 - 100] = 0xAA;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = c.make(image);
        std::string one = put(std::string(c.name) + "-one.zcx", file);
        std::string three = put(std::string(c.name) + "-three.zcx", file);

        ASSERT_NE(open_unlocked(one, *c.password), nullptr);
        EXPECT_EQ(tw::container_write(c_, data.data(), data.size(), 100), ssize_t(data.size()));
        Bytes one_image = read_all();
        close_container();

        ASSERT_NE(open_unlocked(three, *c.password), nullptr);
        Bytes patched(image.begin(), image.begin() + 3 * kSector);
        std::memcpy(patched.data() + 100, data.data(), data.size());
        for (uint64_t s = 0; s < 3; ++s)
            ASSERT_EQ(tw::container_write_sector(c_, s, patched.data() + s * kSector), 0);
        Bytes three_image = read_all();
        close_container();

        EXPECT_EQ(one_image, three_image);
        EXPECT_EQ(0, std::memcmp(one_image.data() + 100, data.data(), data.size()));
        if (c.same_file) {
            EXPECT_EQ(ToolImages::read(one), ToolImages::read(three));
        }
        // Reopened, the kind and the image are what was written.
        ASSERT_NE(open_unlocked(one, *c.password, tw::kContainerOpenRead), nullptr);
        EXPECT_EQ(read_all(), one_image);
        close_container();
    }
}

TEST_F(WriteTest, ImageEndClipsAndRefusals) {
    std::string path = put("salted.zcx", make_salted(ToolImages::get().image("fat32")));
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    const uint64_t size = tw::container_size(c_);
    Bytes data(4096, 0x17);
    EXPECT_EQ(tw::container_write(c_, data.data(), data.size(), size - 1024), 1024);
    EXPECT_EQ(tw::container_write(c_, data.data(), data.size(), size), -ENOSPC);
    EXPECT_EQ(tw::container_write(c_, data.data(), 0, size), 0);
    EXPECT_EQ(tw::container_write(c_, nullptr, 512, 4096), -EINVAL);
    EXPECT_EQ(tw::container_write_sector(c_, size / kSector, data.data()), -EFAULT);
    EXPECT_EQ(tw::container_flush(c_), 0);
    Bytes tail(1024);
    ASSERT_EQ(tw::container_read(c_, tail.data(), tail.size(), size - 1024), 1024);
    EXPECT_EQ(tail, Bytes(1024, 0x17));
    close_container();

    // Read-only containers are never written.
    ASSERT_NE(open_unlocked(path, kPassword, tw::kContainerOpenRead), nullptr);
    EXPECT_EQ(tw::container_write(c_, data.data(), 512, 4096), -EROFS);
    EXPECT_EQ(tw::container_write_sector(c_, 8, data.data()), -EROFS);
    EXPECT_EQ(tw::container_begin_write_session(c_), -EROFS);
}

TEST_F(WriteTest, AllZeroSector0OfKind6FollowsTheKeyInForce) {
    const Bytes &image = ToolImages::get().image("fat32");
    const Bytes zero(kSector, 0);
    // With the built-in default key in force it is stored under the system
    // key: the file becomes kind 4.
    std::string path = put("clear.zcx", make_clear(image));
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    ASSERT_EQ(info().format_kind, 6);
    ASSERT_EQ(tw::container_write_sector(c_, 0, zero.data()), 0);
    EXPECT_EQ(info().format_kind, 4);
    close_container();
    tw::system_key_forget();
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &c_), 0);
    EXPECT_EQ(info().format_kind, 4) << "classified as kind 4 when opened again";
    EXPECT_EQ(0, std::memcmp(info().presented_sector0, zero.data(), kSector));
    close_container();

    // With a user key in force the clear form is not allowed either: refused,
    // and the file keeps its sector 0.
    std::string user = put("clear-user.zcx", make_clear(image));
    setenv("ZCX_SYSTEM_KEY", "00112233445566", 1);
    ASSERT_NE(open_unlocked(user, kPassword), nullptr);
    ASSERT_EQ(info().format_kind, 6);
    EXPECT_EQ(tw::container_write_sector(c_, 0, zero.data()), -EPERM);
    EXPECT_EQ(tw::container_write_sector(c_, 9, zero.data()), 0) << "a refusal is not sticky";
    close_container();
    EXPECT_EQ(0, std::memcmp(ToolImages::read(user).data(), image.data(), kSector));
}

TEST_F(WriteTest, LostWriteBlocksEveryLaterWriteAndFlush) {
    std::string path = put("salted.zcx", make_salted(ToolImages::get().image("fat32")));
    ASSERT_NE(open_unlocked(path, kPassword), nullptr);
    Bytes data(kSector, 0x33);
    ASSERT_EQ(tw::container_write_sector(c_, 20, data.data()), 0);
    // The file descriptor now refuses writes.
    int fd = tw::container_descriptor(c_);
    int read_only = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(read_only, 0);
    ASSERT_EQ(dup3(read_only, fd, O_CLOEXEC), fd);
    close(read_only);
    const int lost = tw::container_write_sector(c_, 21, data.data());
    EXPECT_LT(lost, 0);
    EXPECT_EQ(tw::container_write(c_, data.data(), data.size(), 4096 * 100), lost);
    EXPECT_EQ(tw::container_write_sector(c_, 0, ToolImages::get().image("fat32").data()), lost);
    EXPECT_EQ(tw::container_flush(c_), lost);
    EXPECT_EQ(tw::container_close(c_), lost);
    c_ = nullptr;
}

TEST_F(WriteTest, V3WriteSessionsSetResumeAndClearTheFlag) {
    const Bytes &image = ToolImages::get().image("fat32");
    std::string path = put("v3.zcx", make_v3(image));
    ASSERT_NE(open_unlocked(path, kV3Password), nullptr);
    ASSERT_FALSE(info().v3_open_for_writing);
    EXPECT_EQ(tw::container_resume_write_session(c_), -EROFS) << "nothing to resume";
    ASSERT_EQ(tw::container_begin_write_session(c_), 0);
    EXPECT_TRUE(info().v3_open_for_writing);
    Bytes data(8192, 0x61);
    ASSERT_EQ(tw::container_write(c_, data.data(), data.size(), 1 << 20), ssize_t(data.size()));
    ASSERT_EQ(tw::container_flush(c_), 0);
    // Closed without finishing, as after a crash: the flag stays.
    close_container();

    ASSERT_NE(open_unlocked(path, kV3Password), nullptr);
    EXPECT_TRUE(info().v3_open_for_writing);
    EXPECT_TRUE(info().v3_recovery_needed);
    EXPECT_EQ(tw::container_begin_write_session(c_), -EROFS);
    ASSERT_EQ(tw::container_resume_write_session(c_), 0);
    EXPECT_FALSE(info().v3_recovery_needed) << "this store now owns the flag";
    ASSERT_EQ(tw::container_write(c_, data.data(), 512, 2 << 20), 512);
    ASSERT_EQ(tw::container_finish_write_session(c_), 0);
    close_container();

    ASSERT_NE(open_unlocked(path, kV3Password, tw::kContainerOpenRead), nullptr);
    EXPECT_FALSE(info().v3_open_for_writing);
    Bytes back(data.size());
    ASSERT_EQ(tw::container_read(c_, back.data(), back.size(), 1 << 20), ssize_t(back.size()));
    EXPECT_EQ(back, data);
    close_container();

    // Containers without a store keep no session of their own.
    std::string salted = put("salted.zcx", make_salted(image));
    ASSERT_NE(open_unlocked(salted, kPassword), nullptr);
    EXPECT_EQ(tw::container_begin_write_session(c_), 0);
    EXPECT_EQ(tw::container_resume_write_session(c_), -ENOTSUP);
    EXPECT_EQ(tw::container_finish_write_session(c_), 0);
}

} // namespace
