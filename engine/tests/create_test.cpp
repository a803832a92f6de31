// Creating containers end to end: the real command line starts the real
// engine, which serves its raw image through its format target; the real
// broker logs the real initiator into it and formats it with mkfs. Runs as
// root in a private mount namespace (tmpfs over /run and /var/lib).
#include "broker/tests/support/broker_process.h"
#include "platform/socket_owner.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {
namespace {

constexpr const char *kPassword = "create test password";

std::string bin(const char *program) {
    return std::string(TW_BIN_DIR) + "/" + program;
}

bool shell(const std::string &command) {
    return system(command.c_str()) == 0;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> folder_entries(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

struct CliRun {
    int status = -1;
    std::string out, err;
};

class CreateTest : public ::testing::Test {
  protected:
    static std::string skip_reason;
    static test::BrokerProcess *broker;
    static std::string dir;

    static void SetUpTestSuite() {
        skip_reason = test::enter_private_mounts_for_disks();
        if (!skip_reason.empty())
            return;
        char pattern[] = "/tmp/tw-create-XXXXXX";
        if (!mkdtemp(pattern)) {
            skip_reason = "no scratch folder";
            return;
        }
        dir = pattern;
        chmod(dir.c_str(), 0700);
        mkdir((dir + "/run").c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
        setenv("HOME", dir.c_str(), 1);
        broker = new test::BrokerProcess;
        if (!broker->start())
            skip_reason = "the broker did not start";
    }

    static void TearDownTestSuite() {
        if (broker) {
            broker->stop();
            delete broker;
            broker = nullptr;
        }
        pid_t pid = 0;
        if (read_root_pid_file("/run/tarnwick/initiator.pid", &pid) == 0 && pid > 0)
            kill(pid, SIGTERM);
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
    }

    // A new private folder of the test for one creation.
    std::string folder(const std::string &name) {
        const std::string path = dir + "/" + name;
        mkdir(path.c_str(), 0700);
        return path;
    }

    // `tarnwick create` with the password on standard input.
    CliRun create(const std::string &output, const std::string &mib, const char *filesystem,
                  const std::string &label, const std::vector<std::string> &options = {}) {
        const std::string credentials = dir + "/credentials.json";
        {
            std::ofstream(credentials) << R"({"newPassword":")" << kPassword
                                       << R"(","confirmation":")" << kPassword << "\"}";
        }
        std::string command = "'" + bin("tarnwick") + "' create '" + output + "' '" + mib + "' " +
                              filesystem + " '" + label + "' --credentials-stdin";
        for (const std::string &o : options)
            command += " " + o;
        command += " <'" + credentials + "' >'" + dir + "/out' 2>'" + dir + "/err'";
        CliRun run;
        int status = system(command.c_str());
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = read_text(dir + "/out");
        run.err = read_text(dir + "/err");
        return run;
    }

    // The decrypted image of a container.
    bool export_image(const std::string &container, const std::string &image) {
        const std::string credentials = dir + "/password.txt";
        { std::ofstream(credentials) << kPassword; }
        return shell("'" + bin("tarnwick") + "' export '" + container + "' '" + image +
                     "' --password-stdin <'" + credentials + "' >/dev/null 2>&1");
    }
};

std::string CreateTest::skip_reason;
test::BrokerProcess *CreateTest::broker = nullptr;
std::string CreateTest::dir;

// Each filesystem with each layout: the container verifies, its image is a
// clean filesystem of that type with the requested label, and nothing else
// is left in the folder.
TEST_F(CreateTest, CreatesEachFilesystem) {
    struct Case {
        const char *name, *mib, *filesystem, *label, *type;
        std::vector<std::string> options;
        const char *fsck;
    };
    const Case cases[] = {
        {"fat32-aes", "64", "fat32", "TWNEW", "vfat", {}, "fsck.vfat -n"},
        {"fat32-1g", "1024", "fat32", "BIG_ONE", "vfat", {}, "fsck.vfat -n"},
        {"exfat-xchacha",
         "64",
         "exfat",
         "TW EXFAT",
         "exfat",
         {"--algorithm XChaCha20"},
         "fsck.exfat -n"},
        {"ntfs-fast",
         "64",
         "ntfs",
         "Données",
         "ntfs",
         {"--experimental-compression fast 16384"},
         "ntfsfix -n"},
        {"fat32-fast",
         "64",
         "fat32",
         "TWFAST",
         "vfat",
         {"--algorithm XChaCha20", "--experimental-compression fast 4096"},
         "fsck.vfat -n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string where = folder(c.name);
        const std::string output = where + "/new.zcx";
        CliRun run = create(output, c.mib, c.filesystem, c.label, c.options);
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("Container created and verified: " + output), std::string::npos)
            << run.out;
        EXPECT_EQ(folder_entries(where), std::vector<std::string>{"new.zcx"});
        const std::string image = dir + "/" + c.name + ".img";
        ASSERT_TRUE(export_image(output, image));
        struct stat st {};
        ASSERT_EQ(stat(image.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), strtoull(c.mib, nullptr, 10) << 20);
        EXPECT_TRUE(shell(std::string(c.fsck) + " '" + image + "' >/dev/null 2>&1"));
        EXPECT_TRUE(shell("[ \"$(blkid -o value -s TYPE '" + image + "')\" = " + c.type + " ]"));
        EXPECT_TRUE(shell("[ \"$(blkid -o value -s LABEL '" + image + "')\" = '" + c.label + "' ]"))
            << c.label;
        unlink(image.c_str());
        unlink(output.c_str());
    }
    // No format session stays with the broker.
    EXPECT_EQ(folder_entries("/var/lib/tarnwick/broker").size(), 0u);
}

// The checks before anything is written, each with its message; nothing is
// left in the folder after any of them.
TEST_F(CreateTest, ChecksComeBeforeAnythingIsWritten) {
    const std::string invalid =
        "Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.";
    const std::string unsafe =
        "Choose a local destination folder owned by your account that other users cannot modify.";
    const std::string where = folder("checks");
    const std::string existing = where + "/existing.zcx";
    { std::ofstream(existing) << "not a container"; }
    const std::string shared = folder("group-writable");
    chmod(shared.c_str(), 0770);
    const std::string foreign = folder("foreign");
    ASSERT_EQ(chown(foreign.c_str(), 1000, 1000), 0);
    const std::string small = folder("small");
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8m,mode=0700"), 0);

    const struct {
        std::string output, mib;
        const char *filesystem;
        std::string label, message;
    } cases[] = {
        {where + "/a.zcx", "0", "fat32", "TW", invalid},
        {where + "/a.zcx", "63", "fat32", "TW",
         "Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size in that range or another "
         "filesystem."},
        {where + "/a.zcx", "64", "ext4", "TW", invalid},
        {where + "/a.zcx", "64", "fat32", "data", invalid},
        {where + "/a.zcx", "64", "exfat", "data", invalid},
        {where + "/a.zcx", "64", "fat32", "TWELVE_CHARS", invalid},
        {where + "/a.zcx", "64", "exfat", "DATA ", invalid},
        {where + "/a.zcx", "64", "ntfs", " data", invalid},
        {where + "/a.zcx", "64", "ntfs", "a*b", invalid},
        {where + "/a.zcx", "64", "ntfs", std::string(33, 'n'), invalid},
        {existing, "64", "fat32", "TW", "The destination already exists. Choose a new filename."},
        {shared + "/a.zcx", "64", "fat32", "TW", unsafe},
        {foreign + "/a.zcx", "64", "fat32", "TW", unsafe},
        {small + "/a.zcx", "64", "fat32", "TW",
         "Creation needs space for both an empty filesystem image and the encrypted container. "
         "Free more space or choose a smaller size."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output + " " + c.mib + " " + c.filesystem + " '" + c.label + "'");
        CliRun run = create(c.output, c.mib, c.filesystem, c.label);
        EXPECT_NE(run.status, 0);
        EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
    }
    EXPECT_EQ(folder_entries(where), std::vector<std::string>{"existing.zcx"});
    EXPECT_EQ(read_text(existing), "not a container");
    EXPECT_TRUE(folder_entries(shared).empty());
    EXPECT_TRUE(folder_entries(foreign).empty());
    EXPECT_TRUE(folder_entries(small).empty());
    umount2(small.c_str(), MNT_DETACH);

    // A label of 32 characters is an NTFS label; "data" is one as well.
    const std::string ntfs = folder("ntfs-label");
    CliRun run = create(ntfs + "/n.zcx", "64", "ntfs", std::string(32, 'n'));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(folder_entries(ntfs), std::vector<std::string>{"n.zcx"});
}

// Whether the broker holds a format record now.
bool formatting_now() {
    for (const std::string &name : folder_entries("/var/lib/tarnwick/broker"))
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
            return true;
    return false;
}

// Ctrl+C of the command line (SIGTERM here) while the broker formats, and
// once it has formatted (the engine then checks and encrypts): the creation
// is cancelled and nothing is left in the folder or with the broker.
TEST_F(CreateTest, CancellationLeavesNothing) {
    for (bool during_format : {true, false}) {
        SCOPED_TRACE(during_format ? "during formatting" : "after formatting");
        const std::string where = folder(during_format ? "cancel-format" : "cancel-encrypt");
        const std::string credentials = dir + "/cancel.json";
        {
            std::ofstream(credentials) << R"({"newPassword":")" << kPassword
                                       << R"(","confirmation":")" << kPassword << "\"}";
        }
        const std::string command = "exec '" + bin("tarnwick") + "' create '" + where +
                                    "/c.zcx' 1024 fat32 TW --credentials-stdin <'" + credentials +
                                    "' >'" + dir + "/out' 2>'" + dir + "/err'";
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        bool seen = false;
        for (int i = 0; i < 6000; i++) {
            bool now = formatting_now();
            if (now)
                seen = true;
            if (during_format ? now : seen && !now)
                break;
            usleep(10000);
        }
        EXPECT_TRUE(seen);
        kill(pid, SIGTERM);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const std::string printed = read_text(dir + "/out") + read_text(dir + "/err");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << printed;
        EXPECT_NE(printed.find("Container creation cancelled. No existing file was replaced."),
                  std::string::npos)
            << printed;
        EXPECT_TRUE(folder_entries(where).empty());
        EXPECT_FALSE(formatting_now());
    }
}

} // namespace
} // namespace tw
