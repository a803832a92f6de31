// The mount worker through the real program: start-up refusals, read-only
// mounts whose writes land in the overlay, read-write mounts written by an
// independent initiator (libiscsi) and checked with the real tools, crashes
// in the middle of a stream of writes, repair mounts and a lost write.
//
// Everything runs as root inside a private mount namespace with a tmpfs over
// /run/tarnwick, where each initiator publishes its own process id, since
// the worker's target admits only the published initiator.
#include "container/cipher/cipher.h"
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"
#include "iscsi/naming.h"
#include "worker/tests/support/worker_run.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tw::test {
namespace {

constexpr size_t kSector = 512;
const std::string kPassword = "correct horse";
const char *kMarkerAttribute = "user.com.tarnwick.write-session";
constexpr size_t kErrorField = 8, kExitedField = 12, kPortField = 28, kFormatField = 72,
                 kReadsField = 56, kWritesField = 64, kWritableField = 75, kReadyField = 4;

std::string member(const std::string &line, const std::string &name) {
    std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    if (line[at] == '"')
        return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// Sector 0 under the default system key, the rest under a new salted
// trailer's data key (AES-256-XTS).
Bytes make_salted(Bytes image, const std::string &password) {
    uint8_t trailer[kKdfTrailerSize];
    uint8_t data_key[kDataKeySize];
    EXPECT_EQ(kdf_trailer_create(trailer, image.size(), kCipherAesXts,
                                 reinterpret_cast<const uint8_t *>(password.data()),
                                 password.size(), data_key),
              0);
    CipherContext *ctx = cipher_context_create();
    EXPECT_EQ(cipher_setup(ctx, kCipherAesXts, data_key, cipher_key_length(kCipherAesXts)), 0);
    EXPECT_EQ(cipher_sectors(ctx, 1, image.size() / kSector - 1, image.data() + kSector,
                             image.data() + kSector, kEncrypt),
              0);
    cipher_context_destroy(ctx);
    uint8_t table[kSse2TableSize];
    sse2_schedule(kDefaultSystemKey, table);
    sse2_encrypt_blocks(image.data(), kSector / kSse2BlockSize, table);
    image.insert(image.end(), trailer, trailer + sizeof trailer);
    return image;
}

uint32_t status_byte(const std::string &status, size_t offset) {
    return (status32(status, offset & ~size_t{3}) >> (8 * (offset & 3))) & 0xFF;
}

bool has_marker_attribute(const std::string &path) {
    return getxattr(path.c_str(), kMarkerAttribute, nullptr, 0) >= 0;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!private_namespace_ready(&why))
            GTEST_SKIP() << why;
        char pattern[] = "/tmp/tw-worker-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(mkdir((dir + "/run").c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        status = dir + "/status.bin";
        write_file(status, Bytes(80, 0xEE));
    }
    void TearDown() override {
        if (!dir.empty()) {
            umount2((dir + "/small").c_str(), MNT_DETACH);
            shell("rm -rf '" + dir + "'");
        }
    }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    // A FAT32 image made by mkfs.vfat with one file on it.
    std::string fat32_image(const std::string &name, int megabytes) {
        std::string img = path(name);
        EXPECT_TRUE(shell("cd '" + dir + "' && truncate -s " + std::to_string(megabytes) + "M " +
                          name + " && mkfs.vfat -F 32 -n TW " + name +
                          " >/dev/null 2>&1 && head -c 70000 /dev/urandom > a.bin && "
                          "MTOOLS_SKIP_CHECK=1 mcopy -i " +
                          name + " a.bin ::/a.bin"));
        return img;
    }

    std::string salted_container(const std::string &image, const std::string &name) {
        std::string out = path(name);
        write_file(out, make_salted(read_file(image), kPassword));
        return out;
    }

    // A version-7 v3 container of 16384-byte chunks with compression, made
    // by the engine from a plain image.
    std::string v3_container(const std::string &image, const std::string &name) {
        std::string out = path(name), text, err;
        int rc = run({std::string(TW_BIN_DIR) + "/tarnwick-engine", "convert", image, out, "9",
                      "fast", "16384"},
                     credential_request_new("", kPassword), &text, &err);
        EXPECT_EQ(rc, 0) << text << err;
        return out;
    }

    // Opens the container in this process (no lock), unlocks it, checks that
    // the whole image reads and reports its facts.
    ContainerInfo inspect(const std::string &container) {
        ContainerInfo info{};
        Container *c = nullptr;
        system_key_forget();
        EXPECT_EQ(container_open(container.c_str(), kContainerOpenUnlocked, &c), 0);
        if (c == nullptr)
            return info;
        EXPECT_EQ(container_unlock(c, reinterpret_cast<const uint8_t *>(kPassword.data()),
                                   kPassword.size(), kCipherUnset),
                  0);
        EXPECT_EQ(container_verify_filesystem(c), kVerifyRecognised);
        Bytes all(container_size(c));
        EXPECT_EQ(container_read(c, all.data(), all.size(), 0), ssize_t(all.size()));
        container_info(c, &info);
        container_close(c);
        return info;
    }

    void serve_mode(WorkerProcess *w, const std::string &container, const std::string &mode,
                    const std::string &id = "6a0c9f4e-51b2-4d3a-9e8f-0123456789ab") {
        serve(w, id, container, status, mode, credential_request(kPassword));
    }

    std::string dir;
    std::string status;
};

// ---- Start-up refusals

TEST_F(WorkerTest, StartUpRefusalsNameTheirCodeAndExitCode) {
    std::string img = fat32_image("plain.img", 36);
    std::string salted = salted_container(img, "disk.zcx");
    const std::string id = "6a0c9f4e-51b2-4d3a-9e8f-0123456789ab";
    const Bytes good = credential_request(kPassword);
    std::string linked = path("linked.zcx");
    write_file(linked, read_file(salted));
    ASSERT_EQ(link(linked.c_str(), path("second-name.zcx").c_str()), 0);
    std::string blocked = path("blocked.zcx");
    write_file(blocked, read_file(salted));
    write_file(blocked + ".idx", {});

    struct Case {
        const char *what;
        std::vector<std::string> args;
        Bytes input;
        int exit_code;
        const char *code;
        const char *message; // the start of the message
        bool status_marked;
    } cases[] = {
        {"five arguments",
         {"serve", id, salted, status},
         good,
         1,
         "usage",
         "Expected a mount request from the session service.",
         false},
        {"invalid mount id",
         {"serve", "not-a-uuid", salted, status, "read-only"},
         good,
         1,
         "usage",
         "Expected a mount request",
         false},
        {"unknown mode",
         {"serve", id, salted, status, "writable"},
         good,
         1,
         "usage",
         "Expected",
         false},
        {"unknown command",
         {"mount", id, salted, status, "read-only"},
         good,
         1,
         "usage",
         "Expected",
         false},
        {"malformed credentials",
         {"serve", id, salted, status, "read-only"},
         {1, 2, 3},
         1,
         "protocol",
         "Invalid credential request.",
         false},
        {"kind-2 credentials",
         {"serve", id, salted, status, "read-only"},
         credential_request_new(kPassword, "x"),
         1,
         "protocol",
         "Invalid credential",
         false},
        {"missing status file",
         {"serve", id, salted, path("none.bin"), "read-only"},
         good,
         1,
         "status",
         "Cannot open the private worker status.",
         false},
        {"bad system key",
         {"serve", id, salted, status, "read-only"},
         credential_request(kPassword, 255, "zz345678901234"),
         1,
         "systemKey",
         "The system key must contain exactly 14 hexadecimal digits.",
         true},
        {"conversion leftovers",
         {"serve", id, blocked, status, "read-only"},
         good,
         1,
         "recovery",
         "An unfinished conversion or partial copy was detected.",
         true},
        {"wrong password",
         {"serve", id, salted, status, "read-only"},
         credential_request("wrong horse"),
         2,
         "credentials",
         "Credentials could not be checked.",
         true},
        {"writable plain image",
         {"serve", id, img, status, "read-write"},
         good,
         1,
         "writeUnsupported",
         "This container does not support write access on Linux.",
         true},
        {"second hard link",
         {"serve", id, linked, status, "read-write"},
         good,
         1,
         "storage",
         "Write access needs a container without other hard links.",
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(status, Bytes(80, 0xEE));
        WorkerProcess w;
        start_worker(&w, c.args, c.input);
        EXPECT_EQ(w.wait(), c.exit_code) << w.line;
        EXPECT_EQ(member(w.line, "event"), "error") << w.line;
        EXPECT_EQ(member(w.line, "code"), c.code) << w.line;
        EXPECT_EQ(member(w.line, "message").rfind(c.message, 0), 0u) << w.line;
        EXPECT_EQ(member(w.line, "version"), "1") << w.line;
        if (c.status_marked) {
            EXPECT_EQ(status32(status, 0), 1u);
            EXPECT_EQ(status32(status, kErrorField), 5u);
            EXPECT_EQ(status32(status, kExitedField), 1u);
            EXPECT_EQ(status32(status, kReadyField), 0u);
        } else {
            EXPECT_EQ(status32(status, 0), 0xEEEEEEEEu) << "status untouched";
        }
    }
    // Hard links are refused before any marker exists.
    EXPECT_FALSE(exists(linked + ".openzcx-write-session"));
    EXPECT_FALSE(has_marker_attribute(linked));

    // A mount holding the container keeps a writable mount out.
    WorkerProcess first;
    serve_mode(&first, salted, "read-only");
    ASSERT_TRUE(first.ready()) << first.line;
    WorkerProcess second;
    write_file(path("status2.bin"), Bytes(80));
    serve(&second, "7a0c9f4e-51b2-4d3a-9e8f-0123456789ab", salted, path("status2.bin"),
          "read-write", good);
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(member(second.line, "code"), "busy") << second.line;
    EXPECT_EQ(first.stop(), 0);
}

// ---- Read-only mounts

TEST_F(WorkerTest, ReadOnlyMountKeepsWritesInTheOverlayAndTheFileUnchanged) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = salted_container(img, "disk.zcx");
    const std::string digest = sha256_of_file(container);
    const std::string id = "6A0C9F4E-51B2-4D3A-9E8F-0123456789AB";

    WorkerProcess w;
    serve_mode(&w, container, "read-only", id);
    ASSERT_TRUE(w.ready()) << w.line;
    // The ready line: the name lowered, the fixed CHAP name, a secret from
    // the alphabet without look-alike characters, the verified summary.
    std::string lowered = id;
    for (char &ch : lowered)
        ch = char(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(w.target, std::string(kTarnwickIqnAuthority) + ":" + lowered);
    EXPECT_EQ(member(w.line, "chapName"), "tarnwick");
    ASSERT_EQ(w.secret.size(), 16u);
    EXPECT_EQ(
        w.secret.find_first_not_of("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789"),
        std::string::npos)
        << w.secret;
    EXPECT_NE(w.line.find("\"verified\":true"), std::string::npos) << w.line;
    EXPECT_EQ(member(w.line, "format"), "OpenZCX salted");
    EXPECT_EQ(w.line.substr(w.line.size() - 12), "\"version\":1}") << "version comes last";
    EXPECT_EQ(status32(status, kReadyField), 1u);
    EXPECT_EQ(status32(status, kPortField), w.port);
    EXPECT_EQ(status_byte(status, kWritableField), 0u);
    EXPECT_EQ(status_byte(status, kFormatField), 5u);

    // Writes first meet the write protection; with the switch lifted they
    // land in the overlay and read back, also across page edges.
    Bytes patch(3 * 4096);
    for (size_t i = 0; i < patch.size(); ++i)
        patch[i] = uint8_t(i * 7 + 3);
    write_file(path("patch.bin"), patch);
    const uint64_t at = (8u << 20) + 1024; // not page-aligned
    std::string out;
    EXPECT_EQ(initiator(w, {"write", std::to_string(at), path("patch.bin")}, &out), 1);
    EXPECT_NE(out.find("error 7 27 0"), std::string::npos) << out;
    EXPECT_EQ(
        initiator(w,
                  {"unprotect", "write", std::to_string(at), path("patch.bin"), "sync", "read",
                   std::to_string(8u << 20), std::to_string(4 * 4096), path("back.bin")},
                  &out),
        0)
        << out;
    const Bytes image = read_file(img);
    Bytes expected(image.begin() + (8 << 20), image.begin() + (8 << 20) + 16384);
    std::memcpy(expected.data() + 1024, patch.data(), patch.size());
    EXPECT_EQ(read_file(path("back.bin")), expected);

    // A process that is not the published initiator is closed before login.
    EXPECT_EQ(initiator(w, {"sync"}, &out, false), 2) << out;
    EXPECT_EQ(initiator(w, {"read", "0", "512", path("s0.bin")}, &out), 0) << out;
    Bytes first_sector(image.begin(), image.begin() + 512);
    EXPECT_EQ(read_file(path("s0.bin")), first_sector);

    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(status32(status, kExitedField), 1u);
    EXPECT_EQ(status32(status, kErrorField), 0u);
    EXPECT_GT(status64(status, kReadsField), 0u);
    EXPECT_EQ(status64(status, kWritesField), 0u) << "overlay writes are not counted";
    EXPECT_EQ(sha256_of_file(container), digest);
    EXPECT_FALSE(exists(container + ".openzcx-write-session"));
}

TEST_F(WorkerTest, OverlayRefusesNewPagesBeyond256MiBAsWriteProtected) {
    // An unencrypted image larger than the overlay, served read-only.
    std::string img = path("big.img");
    ASSERT_TRUE(
        shell("truncate -s 300M '" + img + "' && mkfs.vfat -F 32 '" + img + "' >/dev/null 2>&1"));
    WorkerProcess w;
    serve(&w, "6a0c9f4e-51b2-4d3a-9e8f-0123456789ab", img, status, "read-only",
          credential_request(""));
    ASSERT_TRUE(w.ready()) << w.line;
    const std::string mib = std::to_string(1 << 20);
    std::string out;
    EXPECT_EQ(initiator(w,
                        {"unprotect", "pattern", mib, std::to_string(256u << 20), "7",
                         // pages already held can still be written
                         "pattern", mib, mib, "9"},
                        &out),
              0)
        << out.substr(out.size() > 400 ? out.size() - 400 : 0);
    EXPECT_EQ(initiator(w, {"pattern", "0", "4096", "8"}, &out), 1);
    EXPECT_NE(out.find("error 7 27 7"), std::string::npos)
        << out.substr(out.size() > 400 ? out.size() - 400 : 0);
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(status32(status, kErrorField), 0u);
}

// ---- Read-write mounts

struct Layout {
    const char *name;
    bool v3;
};

class ReadWrite : public WorkerTest, public ::testing::WithParamInterface<Layout> {
  protected:
    std::string make(const std::string &img) {
        return GetParam().v3 ? v3_container(img, "disk.zcx") : salted_container(img, "disk.zcx");
    }
    // Whether the container shows an unfinished session: the store's flag
    // or the marker file and attribute.
    bool session_left(const std::string &container) {
        if (GetParam().v3)
            return inspect(container).v3_open_for_writing;
        bool file = exists(container + ".openzcx-write-session");
        bool attribute = has_marker_attribute(container);
        EXPECT_EQ(file, attribute);
        return file && attribute;
    }
};

TEST_P(ReadWrite, NewFilesystemStateWrittenThroughIscsiExportsAsExpected) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = make(img);
    // The expected state: the tools' own changes to a copy of the image.
    std::string expected = path("expected.img");
    ASSERT_TRUE(shell("cd '" + dir +
                      "' && cp plain.img expected.img && head -c 300000 "
                      "/dev/urandom > b.bin && MTOOLS_SKIP_CHECK=1 mmd -i expected.img ::/dir && "
                      "MTOOLS_SKIP_CHECK=1 mcopy -i expected.img b.bin ::/dir/b.bin && "
                      "MTOOLS_SKIP_CHECK=1 mdel -i expected.img ::/a.bin"));
    // Only the sectors that differ travel, as a filesystem driver would write.
    Bytes before = read_file(img), after = read_file(expected);
    ASSERT_EQ(before.size(), after.size());
    std::vector<std::string> commands;
    int pieces = 0;
    for (size_t s = 0; s < after.size(); s += kSector) {
        if (std::memcmp(before.data() + s, after.data() + s, kSector) == 0)
            continue;
        size_t end = s;
        while (end < after.size() && std::memcmp(before.data() + end, after.data() + end, kSector))
            end += kSector;
        std::string piece = path("piece" + std::to_string(pieces++) + ".bin");
        write_file(piece, Bytes(after.begin() + long(s), after.begin() + long(end)));
        commands.insert(commands.end(), {"write", std::to_string(s), piece});
        s = end - kSector;
    }
    ASSERT_GT(pieces, 0);
    commands.push_back("sync");

    WorkerProcess w;
    serve_mode(&w, container, "read-write");
    ASSERT_TRUE(w.ready()) << w.line;
    EXPECT_EQ(status_byte(status, kWritableField), 1u);
    EXPECT_TRUE(session_left(container)) << "marked while serving";
    std::string out;
    EXPECT_EQ(initiator(w, commands, &out), 0) << out;
    EXPECT_EQ(w.stop(), 0);
    EXPECT_EQ(status32(status, kErrorField), 0u);
    EXPECT_EQ(status64(status, kWritesField), uint64_t(pieces));
    EXPECT_FALSE(session_left(container)) << "a clean end clears the session";

    std::string text, err;
    ASSERT_EQ(run({std::string(TW_BIN_DIR) + "/tarnwick", "export", container, path("out.img"),
                   "--password-stdin"},
                  Bytes(kPassword.begin(), kPassword.end()), &text, &err),
              0)
        << text << err;
    EXPECT_EQ(read_file(path("out.img")), after);
    EXPECT_TRUE(shell("fsck.vfat -n '" + path("out.img") + "' >/dev/null"));
}

TEST_P(ReadWrite, CrashLeavesTheSessionForRepair) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = make(img);
    const uint64_t start = 4u << 20;
    // Several points in a stream of writes: the first in a read-write
    // mount, the later ones in repair mounts of the session left behind.
    bool first = true;
    for (const char *point : {"wrote 1048576", "wrote 5242880", "wrote 9437184"}) {
        SCOPED_TRACE(point);
        WorkerProcess w;
        serve_mode(&w, container, first ? "read-write" : "repair");
        first = false;
        ASSERT_TRUE(w.ready()) << w.line;
        InitiatorProcess stream;
        start_initiator(
            &stream, w,
            {"pattern", std::to_string(start), std::to_string(16u << 20), std::to_string(start)});
        ASSERT_TRUE(stream.wait_for(point)) << stream.output;
        w.kill_now();
        stream.kill_now(); // libiscsi would try to reconnect for ever
        // The container still opens and reads (the last committed
        // generation for v3); the unfinished session is visible.
        inspect(container);
        EXPECT_TRUE(session_left(container));
        // A read-write mount is refused.
        WorkerProcess again;
        serve_mode(&again, container, "read-write");
        EXPECT_EQ(again.wait(), 1);
        EXPECT_EQ(member(again.line, "code"), "filesystem") << again.line;
        EXPECT_EQ(member(again.line, "message"),
                  "This volume has an unfinished write session. Mount it read-only, or use Check "
                  "and Repair, before writing again.");
    }
    // Repair mounts: the session counts as interrupted, so "Unchecked" does
    // not clear it; only "Repaired" does.
    for (const char *event : {"", "Unchecked", "Repaired"}) {
        SCOPED_TRACE(event);
        WorkerProcess w;
        serve_mode(&w, container, "repair");
        ASSERT_TRUE(w.ready()) << w.line;
        std::string out;
        EXPECT_EQ(initiator(w, {"pattern", "4194304", "65536", "5", "sync"}, &out), 0) << out;
        if (*event) {
            EXPECT_TRUE(w.signal(event));
        }
        EXPECT_EQ(w.stop(), 0);
        EXPECT_EQ(session_left(container), std::string(event) != "Repaired");
    }
    // Repaired: writable again.
    WorkerProcess w;
    serve_mode(&w, container, "read-write");
    ASSERT_TRUE(w.ready()) << w.line;
    EXPECT_EQ(w.stop(), 0);
    EXPECT_FALSE(session_left(container));
}

TEST_P(ReadWrite, RepairWithoutAnEarlierSessionEndsCleanWhenUnchecked) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = make(img);
    for (bool unchecked : {false, true}) {
        SCOPED_TRACE(unchecked ? "unchecked" : "no event");
        WorkerProcess w;
        serve_mode(&w, container, "repair");
        ASSERT_TRUE(w.ready()) << w.line;
        EXPECT_TRUE(session_left(container));
        if (unchecked) {
            EXPECT_TRUE(w.signal("Unchecked"));
        }
        EXPECT_EQ(w.stop(), 0);
        EXPECT_EQ(session_left(container), !unchecked);
        if (!unchecked) {
            // The session this repair left open now counts as interrupted.
            WorkerProcess r;
            serve_mode(&r, container, "repair");
            ASSERT_TRUE(r.ready()) << r.line;
            EXPECT_TRUE(r.signal("Repaired"));
            EXPECT_EQ(r.stop(), 0);
            EXPECT_FALSE(session_left(container));
        }
    }
}

TEST_P(ReadWrite, FlusherMakesWritesDurableWithoutASync) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = make(img);
    WorkerProcess w;
    serve_mode(&w, container, "read-write");
    ASSERT_TRUE(w.ready()) << w.line;
    std::string out;
    Bytes data(65536);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 13 + 1);
    write_file(path("data.bin"), data);
    EXPECT_EQ(initiator(w, {"write", std::to_string(8u << 20), path("data.bin")}, &out), 0) << out;
    usleep(1800 * 1000); // the flusher acts about 1 s after the last write
    w.kill_now();
    system_key_forget();
    Container *c = nullptr;
    ASSERT_EQ(container_open(container.c_str(), kContainerOpenUnlocked, &c), 0);
    ASSERT_EQ(container_unlock(c, reinterpret_cast<const uint8_t *>(kPassword.data()),
                               kPassword.size(), kCipherUnset),
              0);
    Bytes back(data.size());
    EXPECT_EQ(container_read(c, back.data(), back.size(), 8u << 20), ssize_t(back.size()));
    EXPECT_EQ(back, data);
    container_close(c);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ReadWrite,
                         ::testing::Values(Layout{"SaltedAesXts", false},
                                           Layout{"V3Compressed16384", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WorkerTest, MarkerReplacedWhileServingIsLeftAndTheEndCountsAsFailed) {
    std::string img = fat32_image("plain.img", 36);
    std::string container = salted_container(img, "disk.zcx");
    WorkerProcess w;
    serve_mode(&w, container, "read-write");
    ASSERT_TRUE(w.ready()) << w.line;
    const std::string marker = container + ".openzcx-write-session";
    ASSERT_EQ(rename(marker.c_str(), path("moved").c_str()), 0);
    write_file(marker, {});
    EXPECT_EQ(w.stop(), 1);
    EXPECT_EQ(status32(status, kErrorField), 5u);
    EXPECT_TRUE(exists(marker)) << "another file is never deleted";
    EXPECT_TRUE(has_marker_attribute(container)) << "the container still asks for repair";
}

// ---- A lost write

TEST_F(WorkerTest, LostWritePoisonsEveryLaterWriteAndTheExitCode) {
    // A v3 container writes new chunks into new space: on a nearly full
    // volume its commits fail.
    std::string img = fat32_image("plain.img", 36);
    std::string container = v3_container(img, "disk.zcx");
    const std::string small = path("small");
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    struct stat st;
    ASSERT_EQ(stat(container.c_str(), &st), 0);
    const long kib = long(st.st_size / 1024) + 1024;
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0,
                    ("mode=0700,size=" + std::to_string(kib) + "k").c_str()),
              0);
    std::string moved = small + "/disk.zcx";
    write_file(moved, read_file(container));
    ASSERT_EQ(stat(moved.c_str(), &st), 0);
    ASSERT_GT(st.st_size, 0);

    WorkerProcess w;
    serve_mode(&w, moved, "read-write");
    ASSERT_TRUE(w.ready()) << w.line;
    std::string out;
    EXPECT_EQ(
        initiator(w, {"pattern", std::to_string(4u << 20), std::to_string(16u << 20), "3", "sync"},
                  &out),
        1);
    EXPECT_NE(out.find("error"), std::string::npos);
    const uint32_t lost = status32(status, kErrorField);
    EXPECT_NE(lost, 0u);
    // Every later write and flush fails, also far from the first.
    EXPECT_EQ(initiator(w, {"pattern", "1048576", "4096", "4"}, &out), 1) << out;
    EXPECT_EQ(initiator(w, {"sync"}, &out), 1) << out;
    EXPECT_EQ(w.stop(), 1);
    EXPECT_EQ(status32(status, kErrorField), lost) << "the first failure is kept";
    EXPECT_EQ(status32(status, kExitedField), 1u);
    EXPECT_TRUE(inspect(moved).v3_open_for_writing) << "left for repair";
}

} // namespace
} // namespace tw::test
