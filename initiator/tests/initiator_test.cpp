// The initiator service end to end: tarnwick-initiator logs into our own
// target (which admits only the published initiator process), presents the
// disk as a loop device over a FUSE file, and removes everything at logout.
// Runs as root in a private mount namespace; the broker's client functions
// are the callers.
#include "broker/initiator.h"
#include "initiator/texts.h"
#include "iscsi/tests/support/programs.h"
#include "platform/descriptor.h"
#include "platform/io.h"
#include "platform/loop_device.h"
#include "platform/process.h"
#include "platform/socket_owner.h"
#include "runtime/pipes.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

constexpr const char *kTargetName = "iqn.2026-12.com.tarnwick:test-disk";
constexpr const char *kChapName = "tarnwick";
constexpr const char *kSecret = "0123456789abcdef";
constexpr uint64_t kImageSize = 40ull << 20;

// The program's path as the shell finds it, or empty when it is not installed.
std::string find_program(const char *name) {
    std::string output;
    if (test::run_program({"/bin/sh", "-c", std::string("command -v ") + name}, &output, 10) != 0)
        return {};
    while (!output.empty() && (output.back() == '\n' || output.back() == ' '))
        output.pop_back();
    return output.empty() || output[0] != '/' ? std::string() : output;
}

std::vector<uint8_t> read_all(const std::string &path, uint64_t size) {
    std::vector<uint8_t> data(size);
    FileHandle fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || pread_full(fd.get(), data.data(), size, 0) != 0)
        data.clear();
    return data;
}

// FUSE mounts of the initiator still present.
int lun_mounts() {
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    int found = 0;
    while (std::getline(mounts, line))
        if (line.find(" /run/tarnwick/luns/") != std::string::npos)
            ++found;
    return found;
}

int lun_folders() {
    DIR *dir = opendir("/run/tarnwick/luns");
    if (!dir)
        return 0;
    int found = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++found;
    closedir(dir);
    return found;
}

SecureBuffer secret_of(const char *text) {
    SecureBuffer secret = SecureBuffer::with_capacity(strlen(text));
    secret.assign(text, strlen(text));
    return secret;
}

class InitiatorTest : public ::testing::Test {
  protected:
    static std::string skip_reason;
    static test::TempDir *folder;
    static std::string original; // the pristine FAT32 image

    static void SetUpTestSuite() {
        skip_reason = test::enter_private_mounts_for_disks();
        std::string mkfs = find_program("mkfs.vfat");
        std::string mcopy = find_program("mcopy");
        if (skip_reason.empty() && (mkfs.empty() || mcopy.empty()))
            skip_reason = "mkfs.vfat and mcopy (dosfstools, mtools) are not installed";
        if (!skip_reason.empty())
            return;
        folder = new test::TempDir;
        original = folder->path + "/original.img";
        std::string hello = folder->path + "/hello.txt";
        std::ofstream(hello) << "hello from the disk\n";
        std::string output;
        if (truncate_file(original) != 0 ||
            test::run_program({mkfs, "-F", "32", "-n", "TWTEST", original}, &output, 30) != 0 ||
            test::run_program({mcopy, "-i", original, hello, "::/HELLO.TXT"}, &output, 30) != 0) {
            skip_reason = "cannot make the FAT32 image: " + output;
            return;
        }
        std::string program = std::string(TW_BIN_DIR) + "/tarnwick-initiator";
        iscsi_set_initiator_program_for_testing(program.c_str());
        int rc = ensure_iscsi_service();
        if (rc != 0)
            skip_reason = std::string("the initiator service did not start: ") + strerror(-rc);
    }

    static int truncate_file(const std::string &path) {
        FileHandle fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        return fd.valid() && ftruncate(fd.get(), kImageSize) == 0 ? 0 : -errno;
    }

    static void TearDownTestSuite() {
        pid_t pid = 0;
        if (read_root_pid_file("/run/tarnwick/initiator.pid", &pid) == 0) {
            kill(pid, SIGTERM);
            for (int i = 0; i < 500; ++i) {
                bool running = true;
                if (process_identity(pid, &running, nullptr, nullptr) != 0 || !running)
                    break;
                usleep(10000);
            }
            waitpid(pid, nullptr, WNOHANG);
        }
        iscsi_set_initiator_program_for_testing(nullptr);
        delete folder;
        folder = nullptr;
    }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
    }

    void TearDown() override {
        // Whatever a failed test left is logged out, so the next one starts clean.
        std::vector<std::string> ids;
        if (iscsi_session_list(&ids) == 0)
            for (const std::string &id : ids)
                iscsi_logout(id);
    }

    // A fresh copy of the image, served by its own target.
    std::string serve_copy(test::ServedFile *served, const std::vector<std::string> &options,
                           const char *name) {
        std::string path = folder->path + "/" + name;
        std::string output;
        EXPECT_EQ(test::run_program({"/bin/cp", original, path}, &output, 30), 0) << output;
        std::vector<std::string> all = options;
        all.push_back("--admit-initiator");
        EXPECT_TRUE(test::serve_file(served, path, kTargetName, kChapName, kSecret, all));
        return path;
    }

    int login(const test::ServedFile &served, std::string *session, std::string *device,
              const char *secret_text = kSecret) {
        SecureBuffer secret = secret_of(secret_text);
        IscsiLogin request{kTargetName, served.port, kChapName, &secret};
        std::string message;
        int rc = iscsi_login(request, session, &message);
        last_message = message;
        if (rc != 0)
            return rc;
        int disk = -1;
        rc = iscsi_session_devices(*session, device, &disk);
        EXPECT_EQ(*device, "/dev/loop" + std::to_string(disk));
        return rc;
    }

    void expect_nothing_left() {
        std::vector<std::string> ids;
        EXPECT_EQ(iscsi_session_list(&ids), 0);
        EXPECT_TRUE(ids.empty());
        EXPECT_EQ(lun_mounts(), 0);
        EXPECT_EQ(lun_folders(), 0);
    }

    std::string last_message;
};

std::string InitiatorTest::skip_reason;
test::TempDir *InitiatorTest::folder = nullptr;
std::string InitiatorTest::original;

TEST_F(InitiatorTest, WritableDiskReadsTheImageAndWritesThrough) {
    test::ServedFile served;
    std::string served_path = serve_copy(&served, {"--writable"}, "writable.img");
    std::string session, device;
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    std::vector<std::string> ids;
    ASSERT_EQ(iscsi_session_list(&ids), 0);
    EXPECT_TRUE(iscsi_session_exists(ids, session));

    // Byte for byte the served image.
    std::vector<uint8_t> expected = read_all(original, kImageSize);
    ASSERT_EQ(read_all(device, kImageSize), expected);

    // A write that starts and ends inside blocks, through the block device.
    std::vector<uint8_t> pattern(10000);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    {
        FileHandle fd(open(device.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd.valid()) << strerror(errno);
        ASSERT_EQ(pwrite_full(fd.get(), pattern.data(), pattern.size(), (1 << 20) + 300), 0);
        ASSERT_EQ(fsync(fd.get()), 0);
    }
    std::copy(pattern.begin(), pattern.end(), expected.begin() + (1 << 20) + 300);
    EXPECT_EQ(read_all(served_path, kImageSize), expected);

    int disk = atoi(device.c_str() + strlen("/dev/loop"));
    ASSERT_EQ(iscsi_logout(session), 0);
    // Loop numbers are the machine's: another test may take this one at once,
    // so what must be gone is this session's binding.
    EXPECT_NE(loop_backing_file(disk), "/run/tarnwick/luns/" + session + "/disk");
    expect_nothing_left();
}

TEST_F(InitiatorTest, ReadOnlyTargetGivesReadOnlyLoopDevice) {
    test::ServedFile served;
    std::string served_path = serve_copy(&served, {}, "read-only.img");
    std::string session, device;
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    FileHandle fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    int read_only = 0;
    ASSERT_EQ(ioctl(fd.get(), BLKROGET, &read_only), 0);
    EXPECT_EQ(read_only, 1);
    EXPECT_EQ(read_all(device, kImageSize), read_all(original, kImageSize));

    FileHandle writer(open(device.c_str(), O_WRONLY | O_CLOEXEC));
    if (writer.valid()) {
        uint8_t block[512] = {1};
        EXPECT_LT(pwrite(writer.get(), block, sizeof block, 0), 0);
        EXPECT_TRUE(errno == EPERM || errno == EROFS) << strerror(errno);
    } else {
        EXPECT_TRUE(errno == EROFS || errno == EACCES || errno == EPERM) << strerror(errno);
    }
    writer.reset();
    fd.reset();
    EXPECT_EQ(iscsi_logout(session), 0);
    EXPECT_EQ(read_all(served_path, kImageSize), read_all(original, kImageSize));
    expect_nothing_left();
}

TEST_F(InitiatorTest, LogoutWhileTheDiskIsOpenIsBusyAndKeepsEverything) {
    test::ServedFile served;
    serve_copy(&served, {"--writable"}, "busy.img");
    std::string session, device;
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    {
        FileHandle holder(open(device.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(holder.valid());
        EXPECT_EQ(iscsi_logout(session), -EBUSY);
        std::vector<std::string> ids;
        ASSERT_EQ(iscsi_session_list(&ids), 0);
        EXPECT_TRUE(iscsi_session_exists(ids, session));
        EXPECT_EQ(lun_mounts(), 1);
        // The disk still works for its holder.
        uint8_t sector[512];
        ASSERT_EQ(pread_full(holder.get(), sector, sizeof sector, 0), 0);
        EXPECT_EQ(sector[510], 0x55);
        EXPECT_EQ(sector[511], 0xAA);
    }
    EXPECT_EQ(iscsi_logout(session), 0);
    expect_nothing_left();
}

TEST_F(InitiatorTest, WrongChapSecretFailsClearlyAndLeavesNothing) {
    test::ServedFile served;
    serve_copy(&served, {"--writable"}, "chap.img");
    std::string session, device;
    EXPECT_EQ(login(served, &session, &device, "fedcba9876543210"), -EACCES);
    EXPECT_EQ(last_message, kTextInitiatorLoginRefused);
    EXPECT_TRUE(session.empty());
    expect_nothing_left();
    // The target is still usable with the right secret.
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    EXPECT_EQ(iscsi_logout(session), 0);
}

TEST_F(InitiatorTest, UnknownSessionsAreReported) {
    std::string device;
    int disk = -1;
    EXPECT_EQ(iscsi_session_devices("no-such-session", &device, &disk), -ENOENT);
    EXPECT_EQ(iscsi_set_write_protect("no-such-session", true), -ENOENT);
    EXPECT_EQ(iscsi_logout("no-such-session"), 0); // already gone
}

TEST_F(InitiatorTest, WriteProtectSwitchFollowsTheTarget) {
    struct Case {
        std::vector<std::string> options;
        int expected; // of lifting and restoring
    };
    const Case cases[] = {{{"--writable", "--write-protect-switch"}, 0}, {{"--writable"}, -EPERM}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options.size());
        test::ServedFile served;
        serve_copy(&served, c.options, "switch.img");
        std::string session, device;
        ASSERT_EQ(login(served, &session, &device), 0) << last_message;
        auto read_only = [&] {
            FileHandle fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
            int flag = -1;
            ioctl(fd.get(), BLKROGET, &flag);
            return flag;
        };
        EXPECT_EQ(iscsi_set_write_protect(session, true), c.expected);
        EXPECT_EQ(read_only(), c.expected == 0 ? 1 : 0);
        if (c.expected == 0) {
            FileHandle writer(open(device.c_str(), O_WRONLY | O_CLOEXEC));
            uint8_t block[512] = {};
            EXPECT_LT(pwrite(writer.get(), block, sizeof block, 0), 0);
        }
        EXPECT_EQ(iscsi_set_write_protect(session, false), c.expected);
        EXPECT_EQ(read_only(), 0);
        EXPECT_EQ(iscsi_logout(session), 0);
    }
    expect_nothing_left();
}

TEST_F(InitiatorTest, SocketRefusesClientsOtherThanRoot) {
    struct stat st {};
    ASSERT_EQ(stat("/run/tarnwick/initiator.sock", &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Even with the socket file opened up, a non-root client gets no answer.
    ASSERT_EQ(chmod("/run/tarnwick/initiator.sock", 0666), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        FileHandle fd;
        if (pipe_connect("/run/tarnwick/initiator.sock", 2000, &fd) != 0)
            _exit(3);
        JsonValue *request = json_new(JsonKind::Object);
        json_set_string(request, "action", "sessions");
        pipe_send_message(fd.get(), request);
        json_free(request);
        JsonValue *reply = nullptr;
        int rc = pipe_receive_message(fd.get(), 5000, &reply);
        json_free(reply);
        _exit(rc == kPipeBroken ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod("/run/tarnwick/initiator.sock", 0600);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> ids;
    EXPECT_EQ(iscsi_session_list(&ids), 0); // still serving root
}

TEST_F(InitiatorTest, FatFilesystemMountsFromTheLoopDevice) {
    bool kernel_vfat = false;
    {
        std::ifstream filesystems("/proc/filesystems");
        std::string line;
        while (std::getline(filesystems, line))
            kernel_vfat = kernel_vfat || line.find("\tvfat") != std::string::npos;
    }
    std::string fusefat = find_program("fusefat");
    if (!kernel_vfat && fusefat.empty())
        GTEST_SKIP() << "neither kernel vfat nor fusefat is available";
    test::ServedFile served;
    serve_copy(&served, {"--writable"}, "mounted.img");
    std::string session, device;
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    std::string mount_point = folder->path + "/mnt";
    mkdir(mount_point.c_str(), 0700);
    std::string output;
    if (kernel_vfat)
        ASSERT_EQ(mount(device.c_str(), mount_point.c_str(), "vfat", MS_RDONLY, nullptr), 0)
            << strerror(errno);
    else
        ASSERT_EQ(test::run_program({fusefat, "-o", "ro", device, mount_point}, &output, 30), 0)
            << output;
    std::string text;
    {
        std::ifstream file(mount_point + "/HELLO.TXT");
        std::getline(file, text);
    }
    EXPECT_EQ(text, "hello from the disk");
    EXPECT_EQ(iscsi_logout(session), -EBUSY);
    // fusefat may still be starting its server when the first unmount comes.
    int unmounted = -1;
    for (int i = 0; i < 100 && unmounted != 0; ++i) {
        unmounted = umount2(mount_point.c_str(), 0);
        if (unmounted != 0)
            usleep(20000);
    }
    ASSERT_EQ(unmounted, 0) << strerror(errno);
    // The fusefat process lets go of the device shortly after the unmount.
    int rc = -EBUSY;
    for (int i = 0; i < 100 && rc == -EBUSY; ++i) {
        rc = iscsi_logout(session);
        if (rc == -EBUSY)
            usleep(20000);
    }
    EXPECT_EQ(rc, 0);
    expect_nothing_left();
}

TEST_F(InitiatorTest, StoppingTheServiceEndsEverySessionAndItRestarts) {
    test::ServedFile served;
    serve_copy(&served, {"--writable"}, "stop.img");
    std::string session, device;
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    int disk = atoi(device.c_str() + strlen("/dev/loop"));
    pid_t pid = 0;
    ASSERT_EQ(read_root_pid_file("/run/tarnwick/initiator.pid", &pid), 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    bool running = true;
    for (int i = 0; i < 500 && running; ++i) {
        if (process_identity(pid, &running, nullptr, nullptr) != 0)
            break;
        usleep(10000);
    }
    waitpid(pid, nullptr, WNOHANG);
    EXPECT_FALSE(running);
    EXPECT_NE(loop_backing_file(disk), "/run/tarnwick/luns/" + session + "/disk");
    EXPECT_EQ(lun_mounts(), 0);
    EXPECT_EQ(lun_folders(), 0);
    EXPECT_NE(access("/run/tarnwick/initiator.pid", F_OK), 0);
    std::vector<std::string> ids;
    EXPECT_EQ(iscsi_session_list(&ids), 0); // not running: no sessions
    EXPECT_TRUE(ids.empty());

    ASSERT_EQ(ensure_iscsi_service(), 0);
    pid_t restarted = 0;
    ASSERT_EQ(read_root_pid_file("/run/tarnwick/initiator.pid", &restarted), 0);
    EXPECT_NE(restarted, pid);
    ASSERT_EQ(login(served, &session, &device), 0) << last_message;
    EXPECT_EQ(iscsi_logout(session), 0);
}

TEST_F(InitiatorTest, SecondInstanceIsRefusedAndServiceIsReused) {
    pid_t before = 0;
    ASSERT_EQ(read_root_pid_file("/run/tarnwick/initiator.pid", &before), 0);
    std::string output;
    EXPECT_EQ(test::run_program({std::string(TW_BIN_DIR) + "/tarnwick-initiator"}, &output, 10), 3)
        << output;
    EXPECT_EQ(ensure_iscsi_service(), 0);
    pid_t after = 0;
    ASSERT_EQ(read_root_pid_file("/run/tarnwick/initiator.pid", &after), 0);
    EXPECT_EQ(before, after);
}

} // namespace
} // namespace tw
