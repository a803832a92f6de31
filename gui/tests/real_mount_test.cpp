// A mount from the library window end to end: the window (run as an
// unprivileged user) asks the user's real mount service, which starts the
// real worker; the real broker attaches the disk through the real initiator
// service and mounts it under /run/media. Runs as root in a private mount
// namespace with tmpfs over /run and /var/lib.
#include "broker/tests/support/broker_process.h"
#include "tests/support/private_mounts.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace tw::test {
namespace {

constexpr uid_t kUser = 65534;
constexpr const char *kPassword = "gui mount password";
constexpr const char *kHello = "hello from the library window\n";

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

TEST(RealMount, WindowMountsReadsAndUnmountsAContainer) {
    const std::string skip = enter_private_mounts_for_disks();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    char pattern[] = "/tmp/tw-gui-mount-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    chmod(dir.c_str(), 0755);
    const std::string home = dir + "/home";
    const std::string user = std::to_string(kUser);
    std::ofstream(dir + "/hello.txt") << kHello;
    std::ofstream(dir + "/credentials.json") << R"({"password":"","newPassword":")" << kPassword
                                             << R"(","confirmation":")" << kPassword << R"("})";
    ASSERT_TRUE(shell("mkdir -p '" + home + "/runtime' && chmod 700 '" + home + "' '" + home +
                      "/runtime' && truncate -s 64M '" + dir + "/sample.img' && mkfs.vfat -F 32 " +
                      "-n SAMPLE '" + dir + "/sample.img' >/dev/null && mcopy -i '" + dir +
                      "/sample.img' '" + dir + "/hello.txt' ::/hello.txt && XDG_RUNTIME_DIR='" +
                      dir + "' " + TW_BIN_DIR + "/tarnwick convert '" + dir + "/sample.img' '" +
                      home + "/sample.zcx' --credentials-stdin < '" + dir +
                      "/credentials.json' >/dev/null && printf '%s\\n' '" + kPassword + "' > '" +
                      home + "/password' && chown -R " + user + ":" + user + " '" + home + "'"));
    BrokerProcess broker;
    ASSERT_TRUE(broker.start());

    const std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                                          "XDG_RUNTIME_DIR=" + home + "/runtime",
                                          "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
    ProgramRun run =
        run_program({"/bin/sh", "-c",
                     "exec '" + std::string(TW_BIN_DIR) + "/tarnwick-gui-mount-check' '" + home +
                         "/sample.zcx' hello.txt < '" + home + "/password'"},
                    env, kUser);
    ASSERT_EQ(run.status, 0) << run.err;
    JsonValue *report = json_parse_text(run.out.c_str());
    ASSERT_NE(report, nullptr) << run.out << run.err;
    EXPECT_STREQ(json_get_string(report, "inspected", ""), "Not checked");
    EXPECT_GT(json_get_int(report, "started", 0), 0);
    EXPECT_STREQ(json_get_string(report, "mountedStatus", ""), "Mounted read-only")
        << json_get_string(report, "messages", "");
    EXPECT_STREQ(json_get_string(report, "recent", ""), "Mounted read-only");
    EXPECT_EQ(std::string(json_get_string(report, "opened", "")).rfind("/run/media/nobody/", 0), 0u)
        << run.out;
    EXPECT_STREQ(json_get_string(report, "content", ""), kHello);
    EXPECT_EQ(json_get_int(report, "sessions", 0), 1);
    EXPECT_STREQ(json_get_string(report, "unmountedStatus", ""), "Checked");
    EXPECT_STREQ(json_get_string(report, "recentAfter", ""), "Unmounted");
    EXPECT_STREQ(json_get_string(report, "messages", "x"), "");
    json_free(report);
    EXPECT_TRUE(mounts_below("/run/media").empty());

    // The user's service goes with the test.
    run_program({"/bin/sh", "-c", "exec '" + std::string(TW_BIN_DIR) + "/tarnwick' stop-service"},
                env, kUser);
    broker.stop();
    const std::string pid_text = read_text("/run/tarnwick/initiator.pid");
    if (pid_t initiator = static_cast<pid_t>(atoi(pid_text.c_str())); initiator > 0)
        kill(initiator, SIGTERM);
    for (const std::string &point : mounts_below("/run/media"))
        umount2(point.c_str(), MNT_DETACH);
    shell("rm -rf '" + dir + "'");
}

} // namespace
} // namespace tw::test
