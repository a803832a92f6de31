// The mounting commands end to end: the real tarnwick, run as an
// unprivileged user, starts that user's real mount service, which starts the
// real worker; the real broker (root) attaches the disk through the real
// initiator service and mounts it under /run/media. Runs as root in a
// private mount namespace with tmpfs over /run and /var/lib.
#include "broker/tests/support/broker_process.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::test {
namespace {

constexpr uid_t kUser = 65534;
constexpr const char *kPassword = "mount test password";
constexpr const char *kHello = "hello from the command line\n";

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// The member's text in the first object of a JSON array text.
std::string first_member(const std::string &json, const char *name) {
    JsonValue *value = json_parse_text(json.c_str());
    std::string text = json_get_string(json_first(value), name, "");
    json_free(value);
    return text;
}

class Mounting : public ::testing::Test {
  protected:
    static inline std::string skip_reason;
    static inline BrokerProcess *broker = nullptr;
    static inline std::string dir;    // root's scratch folder
    static inline std::string home;   // the user's home: data, runtime, containers
    static inline std::string sample; // the user's FAT32 container

    static void SetUpTestSuite() {
        skip_reason = enter_private_mounts_for_disks();
        if (!skip_reason.empty())
            return;
        char pattern[] = "/tmp/tw-cli-mount-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            skip_reason = "no scratch folder";
            return;
        }
        dir = pattern;
        chmod(dir.c_str(), 0755);
        home = dir + "/home";
        const std::string user = std::to_string(kUser);
        // One FAT32 image with a known file, converted once by the real
        // command line; each test gets a fresh copy.
        std::ofstream(dir + "/hello.txt") << kHello;
        std::ofstream(dir + "/credentials.json") << R"({"password":"","newPassword":")" << kPassword
                                                 << R"(","confirmation":")" << kPassword << R"("})";
        if (!shell("mkdir -p '" + home + "/runtime' && chmod 700 '" + home + "' '" + home +
                   "/runtime' && truncate -s 64M '" + dir + "/sample.img' && mkfs.vfat -F 32 -n " +
                   "SAMPLE '" + dir + "/sample.img' >/dev/null && mcopy -i '" + dir +
                   "/sample.img' '" + dir + "/hello.txt' ::/hello.txt && XDG_RUNTIME_DIR='" + dir +
                   "' " + TW_BIN_DIR + "/tarnwick convert '" + dir + "/sample.img' '" + dir +
                   "/sample.zcx' --credentials-stdin < '" + dir + "/credentials.json' >/dev/null" +
                   " && printf '%s\\n' '" + kPassword + "' > '" + home + "/password' && chown -R " +
                   user + ":" + user + " '" + home + "'")) {
            skip_reason = "the sample container could not be made";
            return;
        }
        broker = new BrokerProcess;
        if (!broker->start())
            skip_reason = "the broker did not start";
    }

    static void TearDownTestSuite() {
        if (broker != nullptr) {
            broker->stop();
            delete broker;
            broker = nullptr;
        }
        std::string pid_text = read_text("/run/tarnwick/initiator.pid");
        if (pid_t initiator = static_cast<pid_t>(atoi(pid_text.c_str())); initiator > 0)
            kill(initiator, SIGTERM);
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
        sample = home + "/sample.zcx";
        ASSERT_TRUE(shell("cp '" + dir + "/sample.zcx' '" + sample + "' && chown " +
                          std::to_string(kUser) + " '" + sample + "'"));
    }

    void TearDown() override {
        if (!skip_reason.empty())
            return;
        // Whatever a test left mounted is unmounted through the service.
        ProgramRun listed = tarnwick({"sessions", "--json"});
        JsonValue *sessions = json_parse_text(listed.out.c_str());
        for (const JsonValue *s = json_first(sessions); s != nullptr; s = json_next(s))
            tarnwick({"unmount", json_get_string(s, "id", "")});
        json_free(sessions);
        tarnwick({"stop-service"});
        for (const std::string &point : mounts_below("/run/media"))
            umount2(point.c_str(), MNT_DETACH);
        shell("rm -rf '" + home + "/data' '" + home + "'/*.zcx* '" + home + "'/*.img");
    }

    // tarnwick as the user; with `password` its standard input is the
    // password file.
    static ProgramRun tarnwick(const std::vector<std::string> &args, bool password = false) {
        std::string command = "exec '" + std::string(TW_BIN_DIR) + "/tarnwick'";
        for (const std::string &a : args)
            command += " '" + a + "'";
        if (password)
            command += " < '" + home + "/password'";
        return run_program({"/bin/sh", "-c", command},
                           {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                            "XDG_RUNTIME_DIR=" + home + "/runtime",
                            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"},
                           kUser);
    }

    static std::string sha256(const std::string &path) {
        ProgramRun run = run_program({"/usr/bin/sha256sum", path});
        return run.out.substr(0, 64);
    }

    // Nothing of any mount is left: no session, no broker record, no mount
    // point, no LUN mount.
    static void expect_nothing_attached() {
        ProgramRun listed = tarnwick({"sessions", "--json"});
        EXPECT_EQ("[]\n", listed.out) << listed.err;
        EXPECT_TRUE(mounts_below("/run/media").empty());
        EXPECT_TRUE(mounts_below("/run/tarnwick/luns").empty());
        if (DIR *records = opendir("/var/lib/tarnwick/broker")) {
            while (dirent *e = readdir(records))
                if (std::string(e->d_name).ends_with(".json"))
                    ADD_FAILURE() << "broker record left: " << e->d_name;
            closedir(records);
        }
    }
};

TEST_F(Mounting, MountReadSessionsAndUnmountAsText) {
    const std::string before = sha256(sample);
    ProgramRun mount = tarnwick({"mount", sample, "--password-stdin"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    // "ID  mounted  PATH" and the mount point beneath it.
    const std::string id = mount.out.substr(0, 36);
    EXPECT_NE(std::string::npos, mount.out.find("  mounted  " + sample + "\n")) << mount.out;
    const size_t at = mount.out.find("\n  Mount point: ");
    ASSERT_NE(std::string::npos, at) << mount.out;
    std::string mount_point = mount.out.substr(at + 16);
    mount_point = mount_point.substr(0, mount_point.find('\n'));
    EXPECT_TRUE(mount_point.starts_with("/run/media/nobody/")) << mount_point;

    // The user reads the file; nobody writes to a read-only mount.
    const std::string hello = find_file_any_case(mount_point, "hello.txt");
    ASSERT_FALSE(hello.empty());
    ProgramRun cat = run_program({"/bin/cat", hello}, {}, kUser);
    EXPECT_EQ(kHello, cat.out);
    ProgramRun touch = run_program({"/usr/bin/touch", mount_point + "/new"}, {}, kUser);
    EXPECT_NE(0, touch.status);

    ProgramRun sessions = tarnwick({"sessions"});
    EXPECT_EQ(0, sessions.status);
    EXPECT_TRUE(sessions.out.starts_with("SESSION ")) << sessions.out;
    EXPECT_NE(std::string::npos, sessions.out.find(id + "  mounted  " + mount_point))
        << sessions.out;

    ProgramRun unmount = tarnwick({"unmount", id});
    EXPECT_EQ(0, unmount.status) << unmount.err;
    EXPECT_EQ("Unmounted.\n", unmount.out);
    EXPECT_EQ("No mounted containers.\n", tarnwick({"sessions"}).out);
    expect_nothing_attached();
    EXPECT_EQ(before, sha256(sample));
}

TEST_F(Mounting, MountAsJsonAndUnmountWithAnUpperCaseId) {
    ProgramRun mount =
        tarnwick({"mount", sample, "--password-stdin", "--label", "Holiday", "--json"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    const std::string id = first_member(mount.out, "id");
    EXPECT_EQ("mounted", first_member(mount.out, "phase"));
    EXPECT_EQ("/run/media/nobody/Holiday", first_member(mount.out, "mountPoint")) << mount.out;
    std::string upper = id;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ProgramRun unmount = tarnwick({"unmount", upper, "--json"});
    EXPECT_EQ(0, unmount.status) << unmount.err;
    EXPECT_EQ("[]\n", unmount.out);
    EXPECT_TRUE(mounts_below("/run/media").empty());
}

TEST_F(Mounting, AWrongPasswordExitsTwoWithNothingAttached) {
    ASSERT_TRUE(shell("printf 'not it\\n' > '" + home + "/wrong' && chown " +
                      std::to_string(kUser) + " '" + home + "/wrong'"));
    ProgramRun mount = run_program(
        {"/bin/sh", "-c",
         "exec '" + std::string(TW_BIN_DIR) + "/tarnwick' mount '" + sample +
             "' --password-stdin < '" + home + "/wrong'"},
        {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home + "/runtime"},
        kUser);
    EXPECT_EQ(2, mount.status) << mount.out << mount.err;
    EXPECT_EQ("", mount.out);
    EXPECT_FALSE(mount.err.empty());
    expect_nothing_attached();
}

TEST_F(Mounting, AWrittenFileSurvivesAnExperimentalWriteMount) {
    ProgramRun mount =
        tarnwick({"mount", sample, "--password-stdin", "--experimental-write", "--json"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    const std::string mount_point = first_member(mount.out, "mountPoint");
    ProgramRun write = run_program(
        {"/bin/sh", "-c", "printf 'written\\n' > '" + mount_point + "/written.txt' && sync"}, {},
        kUser);
    ASSERT_EQ(0, write.status) << write.err;
    ProgramRun unmount = tarnwick({"unmount", first_member(mount.out, "id")});
    ASSERT_EQ(0, unmount.status) << unmount.err;

    ProgramRun exported =
        tarnwick({"export", sample, home + "/exported.img", "--password-stdin"}, true);
    ASSERT_EQ(0, exported.status) << exported.err;
    ProgramRun type =
        run_program({"/usr/bin/mtype", "-i", home + "/exported.img", "::/written.txt"});
    EXPECT_EQ("written\n", type.out) << type.err;
    ProgramRun check = run_program({"/sbin/fsck.vfat", "-n", home + "/exported.img"});
    EXPECT_EQ(0, check.status) << check.out;
}

TEST_F(Mounting, TheServiceRestartsOnlyWhileNothingIsMounted) {
    ProgramRun mount = tarnwick({"mount", sample, "--password-stdin", "--json"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    ProgramRun status = tarnwick({"service-status"});
    EXPECT_EQ("Mount service: current\nUnmount containers and finish recovery before restarting "
              "the service.\n",
              status.out)
        << status.err;
    ProgramRun restart = tarnwick({"restart-service"});
    EXPECT_EQ(1, restart.status);
    EXPECT_EQ("Unmount all containers and finish session recovery before restarting the mount "
              "service. Existing sessions have been left running.\n",
              restart.err);
    ProgramRun stop = tarnwick({"stop-service"});
    EXPECT_EQ(1, stop.status);
    // The mount stayed.
    EXPECT_EQ(1u, mounts_below("/run/media").size());

    ASSERT_EQ(0, tarnwick({"unmount", first_member(mount.out, "id")}).status);
    restart = tarnwick({"restart-service", "--json"});
    EXPECT_EQ(0, restart.status) << restart.err;
    EXPECT_NE(std::string::npos, restart.out.find(R"("canRestartService":true)")) << restart.out;
    stop = tarnwick({"stop-service"});
    EXPECT_EQ(0, stop.status) << stop.err;
    EXPECT_EQ("Mount service stopped.\n", stop.out);
    EXPECT_EQ("stopped", [] {
        ProgramRun doctor = tarnwick({"doctor", "--json"});
        JsonValue *v = json_parse_text(doctor.out.c_str());
        std::string state = json_get_string(v, "sessionService", "");
        json_free(v);
        return state;
    }());
    // service-status starts a new one.
    status = tarnwick({"service-status"});
    EXPECT_EQ(0, status.status) << status.err;
    EXPECT_EQ("Mount service: current\nService can restart.\n", status.out);
}

} // namespace
} // namespace tw::test

namespace tw::test {
namespace {

// A writable mount whose worker is killed leaves the container marked as
// interrupted: it no longer mounts writable until `tarnwick repair` has run
// fsck over it, which clears the marker and exits 0.
TEST_F(Mounting, RepairOfAnInterruptedWritableContainer) {
    ProgramRun mount =
        tarnwick({"mount", sample, "--password-stdin", "--experimental-write", "--json"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    const std::string id = first_member(mount.out, "id");
    const std::string mount_point = first_member(mount.out, "mountPoint");
    JsonValue *sessions = json_parse_text(mount.out.c_str());
    const pid_t worker = static_cast<pid_t>(json_get_int(json_first(sessions), "workerPID", 0));
    json_free(sessions);
    ASSERT_GT(worker, 0);
    ProgramRun write = run_program(
        {"/bin/sh", "-c", "printf 'half\\n' > '" + mount_point + "/half.txt' && sync"}, {}, kUser);
    ASSERT_EQ(0, write.status) << write.err;
    ASSERT_EQ(0, kill(worker, SIGKILL));
    // The service notices the dead worker; unmounting clears what is left
    // (a second unmount dismisses the record of the failed write session).
    for (int i = 0; i < 3 && tarnwick({"sessions", "--json"}).out != "[]\n"; i++)
        tarnwick({"unmount", id});
    ASSERT_EQ("[]\n", tarnwick({"sessions", "--json"}).out);
    ProgramRun refused =
        tarnwick({"mount", sample, "--password-stdin", "--experimental-write"}, true);
    EXPECT_EQ(1, refused.status) << refused.out;
    EXPECT_NE(std::string::npos, refused.err.find("Check and Repair")) << refused.err;

    ProgramRun repair = tarnwick({"repair", sample, "--password-stdin"}, true);
    EXPECT_EQ(0, repair.status) << repair.out << repair.err;
    EXPECT_NE(std::string::npos, repair.out.find("FAT32: clean (fsck exit ")) << repair.out;
    EXPECT_NE(std::string::npos, repair.out.find("Write access is available again.\n"))
        << repair.out;
    expect_nothing_attached();

    mount = tarnwick({"mount", sample, "--password-stdin", "--experimental-write", "--json"}, true);
    ASSERT_EQ(0, mount.status) << mount.err;
    EXPECT_EQ(0, tarnwick({"unmount", first_member(mount.out, "id")}).status);

    ProgramRun json = tarnwick({"repair", sample, "--password-stdin", "--json"}, true);
    EXPECT_EQ(0, json.status) << json.err;
    EXPECT_NE(std::string::npos, json.out.find(R"("repairClean":true)")) << json.out;
}

} // namespace
} // namespace tw::test
