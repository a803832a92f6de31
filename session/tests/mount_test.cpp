// Mounting end to end: the real service (as an unprivileged user) starts the
// real worker, the real broker (root) logs the real initiator service into
// it and mounts the volume under /run/media; the clients talk to the service
// as that user. Runs as root in a private mount namespace with tmpfs over
// /run (so /run/tarnwick and /run/media) and /var/lib.
#include "broker/tests/support/broker_process.h"
#include "runtime/json.h"
#include "runtime/pipes.h"
#include "session/tests/support/private_keyring.h"
#include "session/tests/support/session_fixtures.h"
#include "session/tests/support/stand_in_logind.h"
#include "session/texts.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tw::test {
namespace {

namespace text = session_text;

constexpr uid_t kUser = 65534;
constexpr const char *kHello = "hello from tarnwick\n";

std::vector<std::string> entries_of(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *d = opendir(folder.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool process_running(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return false;
    size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

class MountTest : public ::testing::Test {
  protected:
    static inline std::string skip_reason;
    static inline std::string attach_missing; // why the broker cannot attach, or empty
    static inline BrokerProcess *broker = nullptr;
    static inline std::string dir;  // root's scratch folder
    static inline std::string home; // the user's home, data, runtime and containers

    static void SetUpTestSuite() {
        skip_reason = enter_private_mounts_for_disks();
        if (!skip_reason.empty())
            return;
        char pattern[] = "/tmp/tw-mount-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            skip_reason = "no scratch folder";
            return;
        }
        dir = pattern;
        chmod(dir.c_str(), 0755);
        home = dir + "/home";
        shell("mkdir -p '" + home + "/runtime' && chmod 700 '" + home + "' '" + home +
              "/runtime' && chown -R " + std::to_string(kUser) + ":" + std::to_string(kUser) +
              " '" + home + "'");
        broker = new BrokerProcess;
        if (!broker->start()) {
            skip_reason = "the broker did not start";
            return;
        }
        // The broker of this tree may not attach yet.
        std::string reply = broker_request(R"({"action":"attach","version":1})", kUser);
        if (reply.find("not available") != std::string::npos)
            attach_missing =
                "the broker answers that attach is not available in this version: " + reply;
    }

    static void TearDownTestSuite() {
        if (broker != nullptr) {
            broker->stop();
            delete broker;
            broker = nullptr;
        }
        pid_t initiator = 0;
        std::string pid_text = read_text("/run/tarnwick/initiator.pid");
        if (!pid_text.empty() && (initiator = static_cast<pid_t>(atoi(pid_text.c_str()))) > 0)
            kill(initiator, SIGTERM);
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
        start_service();
    }

    void TearDown() override {
        if (!skip_reason.empty())
            return;
        // Whatever a test left mounted goes through the service first.
        if (service_pid > 0) {
            ParsedReply listed(ask(request_text("list", 1)));
            for (size_t i = 0; i < listed.session_count(); i++)
                ask(request_text("unmount", 1,
                                 "\"sessionID\":\"" +
                                     std::string(json_get_string(listed.session(i), "id", "")) +
                                     "\""));
        }
        stop_service();
        for (const std::string &point : mounts_below("/run/media"))
            umount2(point.c_str(), MNT_DETACH);
        shell("rm -rf '" + home + "/data' '" + home + "'/*.zcx*");
    }

    // Tests that mount a disk need the broker's attach.
    static bool attach_missing_here() { return !attach_missing.empty(); }

    void start_service() {
        service_pid = fork();
        if (service_pid == 0) {
            if (setresgid(kUser, kUser, kUser) != 0 || setresuid(kUser, kUser, kUser) != 0)
                _exit(99);
            std::string env[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + home,
                                 "XDG_DATA_HOME=" + home + "/data",
                                 "XDG_RUNTIME_DIR=" + home + "/runtime",
                                 "DBUS_SYSTEM_BUS_ADDRESS=" + bus_address};
            char *envp[] = {env[0].data(), env[1].data(), env[2].data(),
                            env[3].data(), env[4].data(), nullptr};
            std::string program = std::string(TW_BIN_DIR) + "/tarnwick-service";
            char *argv[] = {program.data(), nullptr};
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execve(argv[0], argv, envp);
            _exit(127);
        }
        for (int i = 0; i < 500; i++) {
            if (!ask(request_text("list", 1)).empty())
                return;
            usleep(10000);
        }
        ADD_FAILURE() << "the service did not answer";
    }

    void stop_service(int signal_number = SIGKILL) {
        if (service_pid > 0) {
            kill(service_pid, signal_number);
            waitpid(service_pid, nullptr, 0);
        }
        service_pid = -1;
    }

    std::string socket() const {
        return home + "/runtime/tarnwick/Tarnwick.Session." + std::to_string(kUser);
    }

    // One request as the user; "" when no reply came.
    std::string ask(const std::string &request) const {
        std::string reply = socket_request_as(kUser, socket(), request, 300000);
        return reply.starts_with("!") ? "" : reply;
    }

    // A copy of the FAT32 container owned by the user.
    std::string container(const std::string &name, int megabytes = 64) {
        std::string image = dir + "/fat32-" + std::to_string(megabytes) + ".img";
        std::string cached = dir + "/fat32-" + std::to_string(megabytes) + ".zcx";
        if (access(cached.c_str(), R_OK) != 0) {
            make_fat32_image(dir, "fat32-" + std::to_string(megabytes) + ".img", megabytes);
            make_container(image, cached);
        }
        std::string path = home + "/" + name;
        EXPECT_TRUE(shell("cp '" + cached + "' '" + path + "' && chown " + std::to_string(kUser) +
                          ":" + std::to_string(kUser) + " '" + path + "'"));
        return path;
    }

    std::string instance() { return ParsedReply(ask(request_text("list", 1))).instance(); }

    // prepare-mount and mount of one request (version 8); the reply text.
    std::string mount(const std::string &path, const std::string &preferences = "{}",
                      const std::string &password = kPassword, const std::string &more = "") {
        std::string op = new_uuid();
        std::string members = "\"path\":\"" + path + "\",\"preferences\":" + preferences;
        if (!more.empty())
            members += "," + more;
        ParsedReply prepared(ask(request_text("prepare-mount", 8, members, op)));
        if (prepared.ticket().empty())
            return ask(request_text("prepare-mount", 8, members, op));
        last_ticket_request = request_text(
            "mount", 8,
            members + ",\"mountTicket\":\"" + prepared.ticket() + "\",\"serviceInstance\":\"" +
                prepared.instance() + "\",\"credentials\":\"" + credentials_text(password) + "\"",
            op);
        return ask(last_ticket_request);
    }

    std::string unmount(const std::string &id) {
        return ask(request_text("unmount", 1, "\"sessionID\":\"" + id + "\""));
    }

    static std::string session_member(const ParsedReply &reply, const std::string &path,
                                      const char *name) {
        for (size_t i = 0; i < reply.session_count(); i++)
            if (path == json_get_string(reply.session(i), "path", ""))
                return json_get_string(reply.session(i), name, "");
        return "";
    }
    static int64_t session_int(const ParsedReply &reply, const std::string &path,
                               const char *name) {
        for (size_t i = 0; i < reply.session_count(); i++)
            if (path == json_get_string(reply.session(i), "path", ""))
                return json_get_int(reply.session(i), name, 0);
        return 0;
    }

    // Nothing of any mount is left: no session record, no broker record,
    // no mount point, no LUN mount.
    void expect_nothing_left() {
        ParsedReply listed(ask(request_text("list", 1)));
        EXPECT_EQ(0u, listed.session_count());
        EXPECT_TRUE(listed.can_restart());
        for (const std::string &name : entries_of(home + "/data/Tarnwick/run"))
            ADD_FAILURE() << "left in the service's folder: " << name;
        for (const std::string &name : entries_of("/var/lib/tarnwick/broker"))
            ADD_FAILURE() << "left in the broker's folder: " << name;
        for (const std::string &point : mounts_below("/run/media"))
            ADD_FAILURE() << "still mounted: " << point;
        for (const std::string &point : mounts_below("/run/tarnwick/luns"))
            ADD_FAILURE() << "LUN still mounted: " << point;
        // A loop device the initiator bound is gone with its LUN file.
        for (const std::string &loop : entries_of("/sys/block")) {
            std::string backing = read_text("/sys/block/" + loop + "/loop/backing_file");
            if (backing.find("/run/tarnwick/luns/") != std::string::npos &&
                access(backing.substr(0, backing.find_last_not_of("\n") + 1).c_str(), F_OK) == 0)
                ADD_FAILURE() << loop << " still over " << backing;
        }
    }

    pid_t service_pid = -1;
    std::string last_ticket_request;
    // The system bus the service looks for logind on.
    std::string bus_address = "unix:path=/nonexistent";
};

TEST_F(MountTest, MountListReadUnmountLeavesNothing) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::string path = container("plain.zcx");
    ParsedReply mounted(mount(path));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    ASSERT_EQ(1u, mounted.session_count());
    EXPECT_EQ("mounted", session_member(mounted, path, "phase"));
    EXPECT_EQ("FAT32", session_member(mounted, path, "filesystem"));
    EXPECT_EQ("plain", session_member(mounted, path, "explorerName"));
    std::string point = session_member(mounted, path, "mountPoint");
    // The mount point is named after the session's label.
    EXPECT_TRUE(point.starts_with("/run/media/") && point.ends_with("/plain")) << point;
    const std::string first_request = last_ticket_request;
    pid_t worker = static_cast<pid_t>(session_int(mounted, path, "workerPID"));
    EXPECT_TRUE(process_running(worker));
    // The list shows it, and the file reads back.
    ParsedReply listed(ask(request_text("list", 1)));
    EXPECT_EQ(point, session_member(listed, path, "mountPoint"));
    EXPECT_FALSE(listed.can_restart());
    EXPECT_EQ(kHello, read_text(find_file_any_case(point, "hello.txt")));
    // Repeating the mount with its ticket mounts nothing twice.
    ParsedReply again(ask(first_request));
    EXPECT_EQ("", again.code()) << again.message();
    EXPECT_EQ(1u, again.session_count());
    // The same container through a new request is refused.
    ParsedReply twice(mount(path));
    EXPECT_EQ("busy", twice.code());
    EXPECT_EQ(text::kBusy, twice.message());
    // Shutdown leaves a running mount alone.
    ParsedReply shutdown(
        ask(request_text("shutdown", 4, "\"serviceInstance\":\"" + mounted.instance() + "\"")));
    EXPECT_EQ("serviceBusy", shutdown.code());
    EXPECT_EQ(kHello, read_text(find_file_any_case(point, "hello.txt")));

    std::string id = session_member(mounted, path, "id");
    ParsedReply done(unmount(id));
    EXPECT_EQ("", done.code()) << done.message();
    EXPECT_FALSE(process_running(worker));
    expect_nothing_left();
    // The ticket's mount has ended now.
    ParsedReply ended(ask(first_request));
    EXPECT_EQ("mountEnded", ended.code());
}

TEST_F(MountTest, AWrongPasswordAttachesNothing) {
    std::string path = container("wrong.zcx");
    ParsedReply refused(mount(path, "{}", "not the password"));
    EXPECT_EQ("credentials", refused.code()) << refused.message();
    EXPECT_EQ(0u, refused.session_count());
    EXPECT_EQ(R"({"sessions":[],"version":1})",
              broker_request(R"({"action":"list","version":1})", kUser));
    expect_nothing_left();
}

TEST_F(MountTest, TheSeventeenthMountIsRefused) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::vector<std::string> ids;
    for (int i = 0; i < 16; i++) {
        std::string path = container("many-" + std::to_string(i) + ".zcx", 33);
        ParsedReply mounted(mount(path));
        ASSERT_EQ("", mounted.code()) << i << ": " << mounted.message();
        ids.push_back(session_member(mounted, path, "id"));
    }
    ParsedReply refused(mount(container("many-16.zcx", 33)));
    EXPECT_EQ("limit", refused.code());
    EXPECT_EQ(text::kLimit, refused.message());
    EXPECT_EQ(16u, refused.session_count());
    for (const std::string &id : ids)
        EXPECT_EQ("", ParsedReply(unmount(id)).code());
    expect_nothing_left();
}

TEST_F(MountTest, AKilledWorkerIsReportedAndCleanedUp) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::string path = container("killed.zcx");
    ParsedReply mounted(mount(path));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    pid_t worker = static_cast<pid_t>(session_int(mounted, path, "workerPID"));
    ASSERT_GT(worker, 0);
    kill(worker, SIGKILL);
    for (int i = 0; i < 200 && process_running(worker); i++)
        usleep(10000);
    usleep(1100000); // the next request refreshes again
    ParsedReply listed(ask(request_text("list", 1)));
    EXPECT_EQ("recoveryRequired", session_member(listed, path, "phase"));
    std::string message = session_member(listed, path, "message");
    EXPECT_TRUE(message == text::kWorkerDied || message == text::kConnectionLost) << message;
    ParsedReply done(unmount(session_member(mounted, path, "id")));
    EXPECT_EQ("", done.code()) << done.message();
    expect_nothing_left();
}

TEST_F(MountTest, ARestartedServiceFindsItsMountAndUnmountsIt) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::string path = container("restart.zcx");
    ParsedReply mounted(mount(path));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    std::string point = session_member(mounted, path, "mountPoint");
    stop_service(SIGKILL);
    start_service();
    ParsedReply listed(ask(request_text("list", 1)));
    EXPECT_NE(mounted.instance(), listed.instance());
    EXPECT_EQ("mounted", session_member(listed, path, "phase"));
    EXPECT_EQ(kHello, read_text(find_file_any_case(point, "hello.txt")));
    // A ticket of the old instance is not honoured again.
    ParsedReply stale(ask(last_ticket_request));
    EXPECT_EQ("mountRequestExpired", stale.code());
    ParsedReply done(unmount(session_member(mounted, path, "id")));
    EXPECT_EQ("", done.code()) << done.message();
    expect_nothing_left();
}

TEST_F(MountTest, AnInterruptedWritableMountIsRefusedReadWrite) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::string path = container("writable.zcx");
    ParsedReply mounted(mount(path, R"({"readOnly":false})"));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    EXPECT_EQ("true",
              std::string(json_get_bool(mounted.session(0), "writable", false) ? "true" : "false"));
    pid_t worker = static_cast<pid_t>(session_int(mounted, path, "workerPID"));
    kill(worker, SIGKILL);
    for (int i = 0; i < 200 && process_running(worker); i++)
        usleep(10000);
    usleep(1100000);
    std::string id = session_member(mounted, path, "id");
    // The first unmount detaches and says the writes were not confirmed;
    // the second dismisses the record.
    ParsedReply first(unmount(id));
    EXPECT_EQ("writeFailed", first.code()) << first.message();
    EXPECT_EQ(text::kWriteFailed, first.message());
    EXPECT_EQ("writeFailed", session_member(first, path, "phase"));
    EXPECT_EQ("", ParsedReply(unmount(id)).code());
    // Read-write is refused until Check and Repair ran.
    ParsedReply refused(mount(path, R"({"readOnly":false})"));
    EXPECT_EQ("filesystem", refused.code());
    EXPECT_NE(std::string::npos, refused.message().find("Check and Repair")) << refused.message();
    EXPECT_EQ(0u, refused.session_count());
    expect_nothing_left();
}

TEST_F(MountTest, TheEndOfTheLoginUnmountsWhatTheInhibitorHeldBack) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    StandInLogind logind;
    ASSERT_TRUE(logind.start());
    stop_service();
    bus_address = logind.address;
    start_service();
    std::string path = container("signout.zcx");
    ParsedReply mounted(mount(path));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    std::string point = session_member(mounted, path, "mountPoint");
    ASSERT_TRUE(eventually([&] { return logind.inhibitor_held(); }));
    logind.emit_removed = true;
    ASSERT_TRUE(eventually([&] { return mounts_below("/run/media").empty(); }, 30000));
    ASSERT_TRUE(eventually([&] { return !logind.inhibitor_held(); }, 10000));
    expect_nothing_left();
}

TEST_F(MountTest, IdleMountsUnmountByThemselvesUnlessReadsKeepComing) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    std::string path = container("idle.zcx");
    ParsedReply mounted(mount(path, R"({"idleSeconds":3})"));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    std::string point = session_member(mounted, path, "mountPoint");
    std::string file = find_file_any_case(point, "hello.txt");
    // Reads that reach the disk (the caches are dropped before each) for
    // three periods keep the mount.
    std::atomic<bool> reading{true};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (reading) {
            shell("sync; echo 3 > /proc/sys/vm/drop_caches");
            if (read_text(file) == kHello)
                reads++;
            usleep(250000);
        }
    });
    usleep(9000000);
    reading = false;
    reader.join();
    EXPECT_GT(reads.load(), 5);
    ParsedReply still(ask(request_text("list", 1)));
    EXPECT_EQ("mounted", session_member(still, path, "phase")) << "unmounted while being read";
    // Then quiet: the service unmounts it by itself, and nothing is left.
    ASSERT_TRUE(eventually(
        [&] { return ParsedReply(ask(request_text("list", 1))).session_count() == 0; }, 30000));
    expect_nothing_left();
}

TEST_F(MountTest, SignInMountsWithTheKeyringsCredentialsOncePerSignIn) {
    if (attach_missing_here())
        GTEST_SKIP() << attach_missing;
    // The user's keyring on the user's session bus, at its standard place
    // in the runtime folder, where the service finds it; logind names the
    // sign-in.
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.start(home + "/runtime", true, kUser,
                              {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
                               "XDG_RUNTIME_DIR=" + home + "/runtime"}));
    StandInLogind logind;
    ASSERT_TRUE(logind.start());
    stop_service();
    bus_address = logind.address;
    start_service();
    std::string path = container("at sign-in.zcx");
    std::string id = new_uuid();
    for (char &c : id)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ParsedReply saved(mount(path, "{}", kPassword, "\"entryID\":\"" + id + "\",\"remember\":true"));
    ASSERT_EQ("", saved.code()) << saved.message();
    ASSERT_EQ("", ParsedReply(unmount(session_member(saved, path, "id"))).code());
    std::string library = "{\"version\":1,\"entries\":[{\"id\":\"" + id + "\",\"path\":\"" + path +
                          "\",\"preferences\":{\"mountOnLogin\":true}}]}";
    write_bytes(home + "/data/Tarnwick/library.json", Bytes(library.begin(), library.end()));
    ASSERT_TRUE(
        shell("chown " + std::to_string(kUser) + " '" + home + "/data/Tarnwick/library.json'"));

    ParsedReply signed_in(ask(request_text("login", 3)));
    EXPECT_EQ("", signed_in.code()) << signed_in.message();
    EXPECT_TRUE(signed_in.warnings().empty());
    std::string point = session_member(signed_in, path, "mountPoint");
    ASSERT_FALSE(point.empty());
    EXPECT_EQ(kHello, read_text(find_file_any_case(point, "hello.txt")));
    ASSERT_EQ("", ParsedReply(unmount(session_member(signed_in, path, "id"))).code());
    // A restarted service in the same sign-in mounts nothing again.
    stop_service(SIGTERM);
    start_service();
    ParsedReply again(ask(request_text("login", 3)));
    EXPECT_EQ("", again.code()) << again.message();
    EXPECT_EQ(0u, again.session_count());
    // The next sign-in does.
    logind.session_created += 1000000;
    ParsedReply next(ask(request_text("login", 3)));
    EXPECT_EQ("mounted", session_member(next, path, "phase"));
    ASSERT_EQ("", ParsedReply(unmount(session_member(next, path, "id"))).code());
    expect_nothing_left();
}

} // namespace
} // namespace tw::test
