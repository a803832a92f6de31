// The real tarnwick-service as a process: the first-instance rule, clients
// of other users, shutdown and its ending, a restart that finds its records,
// and sign-out through a stand-in logind on a private D-Bus.
#include "broker/tests/support/broker_process.h"
#include "runtime/json.h"
#include "runtime/pipes.h"
#include "session/tests/support/session_fixtures.h"
#include "session/tests/support/stand_in_logind.h"
#include "session/texts.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tw::test {
namespace {

namespace text = session_text;

constexpr uid_t kOtherUser = 65533;

std::string service_program() {
    return std::string(TW_BIN_DIR) + "/tarnwick-service";
}

// A folder tree for one user: its home, data and runtime folders.
struct UserHome {
    std::string dir;
    uid_t uid;
    explicit UserHome(uid_t owner) : uid(owner) {
        char pattern[] = "/tmp/tw-service-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        EXPECT_EQ(0, mkdir((dir + "/runtime").c_str(), 0700));
        EXPECT_EQ(0, chown(dir.c_str(), owner, owner));
        EXPECT_EQ(0, chown((dir + "/runtime").c_str(), owner, owner));
    }
    ~UserHome() { shell("rm -rf '" + dir + "'"); }
    std::vector<std::string> env() const {
        return {"HOME=" + dir, "XDG_DATA_HOME=" + dir + "/data",
                "XDG_RUNTIME_DIR=" + dir + "/runtime"};
    }
    std::string socket() const {
        return dir + "/runtime/tarnwick/Tarnwick.Session." + std::to_string(uid);
    }
    std::string run_folder() const { return dir + "/data/Tarnwick/run"; }
};

// Starts a program as `uid` with the user's environment; stderr to a file.
pid_t spawn_as(uid_t uid, const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &stderr_path = "") {
    pid_t pid = fork();
    if (pid == 0) {
        if (!stderr_path.empty()) {
            int fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                dup2(fd, 2);
        }
        if (uid != geteuid() && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            _exit(99);
        std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        environment.insert(environment.end(), env.begin(), env.end());
        std::vector<char *> args, envp;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (std::string &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// One request on one connection, as `uid`; "" when no reply came, "!errno"
// when the connection failed.
std::string send_as(uid_t uid, const std::string &socket, const std::string &request) {
    return socket_request_as(uid, socket, request, 30000);
}

// Waits for the process to end within `ms`; its exit code, or -1.
int wait_exit(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    return -1;
}

struct ServiceProcess {
    pid_t pid = -1;
    const UserHome *home = nullptr;

    bool start(const UserHome &user, const std::vector<std::string> &extra_env = {},
               const std::string &stderr_path = "") {
        home = &user;
        std::vector<std::string> env = user.env();
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        pid = spawn_as(user.uid, {service_program()}, env, stderr_path);
        for (int i = 0; i < 500; i++) {
            if (!ask(request_text("list", 1)).empty())
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            usleep(10000);
        }
        return false;
    }
    std::string ask(const std::string &request, uid_t as = static_cast<uid_t>(-1)) const {
        std::string reply =
            send_as(as == static_cast<uid_t>(-1) ? home->uid : as, home->socket(), request);
        return reply.starts_with("!") ? std::string() : reply;
    }
    bool alive() const {
        return pid > 0 && kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0;
    }
    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~ServiceProcess() { kill_now(); }
};

// A session folder with a record whose worker has ended, as a crashed
// worker leaves it.
std::string put_record(const UserHome &home, const std::string &phase) {
    std::string id = new_uuid();
    std::string folder = home.run_folder() + "/" + id;
    EXPECT_TRUE(shell("mkdir -p '" + folder + "' && chmod 700 '" + home.dir + "/data' '" +
                      home.dir + "/data/Tarnwick' '" + home.run_folder() + "' '" + folder + "'"));
    std::string record = "{\"version\":1,\"id\":\"" + id + "\",\"operationID\":\"" + id +
                         "\",\"path\":\"/nowhere/" + id +
                         ".zcx\",\"sourceVolume\":1,\"sourceFile\":2,"
                         "\"boot\":1,\"writable\":false,\"explorerName\":\"x\","
                         "\"preferences\":{\"readOnly\":true},\"phase\":\"" +
                         phase + "\",\"workerPID\":999999,\"workerStart\":1}";
    write_bytes(folder + "/session.json", Bytes(record.begin(), record.end()));
    Bytes status(80, 0);
    status[0] = 1;
    status[12] = 1;
    write_bytes(folder + "/status.bin", status);
    EXPECT_TRUE(shell("chown -R " + std::to_string(home.uid) + ":" + std::to_string(home.uid) +
                      " '" + home.dir + "'"));
    return id;
}

TEST(ServiceProcessTest, ASecondInstanceLeavesAtOnceAndTheFirstStays) {
    UserHome home(geteuid());
    ServiceProcess first;
    ASSERT_TRUE(first.start(home));
    ParsedReply before(first.ask(request_text("list", 1)));
    pid_t second = spawn_as(home.uid, {service_program()}, home.env());
    EXPECT_EQ(0, wait_exit(second, 10000));
    ParsedReply after(first.ask(request_text("list", 1)));
    EXPECT_EQ(before.instance(), after.instance());
    EXPECT_EQ(first.pid, json_get_int(json_get(after.value, "service"), "pid", 0));
    EXPECT_EQ(service_program(), json_get_string(json_get(after.value, "service"), "path", ""));
    EXPECT_EQ(64u, strlen(json_get_string(json_get(after.value, "service"), "build", "")));
}

TEST(ServiceProcessTest, ShutdownEndsTheServiceOnlyWhenNothingIsMounted) {
    UserHome home(geteuid());
    std::string id = put_record(home, "recoveryRequired");
    ServiceProcess service;
    ASSERT_TRUE(service.start(home));
    ParsedReply listed(service.ask(request_text("list", 1)));
    ASSERT_EQ(1u, listed.session_count());
    EXPECT_FALSE(listed.can_restart());
    const std::string shutdown =
        request_text("shutdown", 4, "\"serviceInstance\":\"" + listed.instance() + "\"");
    ParsedReply busy(service.ask(shutdown));
    EXPECT_EQ("serviceBusy", busy.code());
    EXPECT_EQ(text::kServiceBusy, busy.message());
    EXPECT_EQ(1u, busy.session_count());
    usleep(200000);
    EXPECT_TRUE(service.alive());
    // With the session gone the service may stop, and does.
    ASSERT_TRUE(shell("rm -rf '" + home.run_folder() + "/" + id + "'"));
    service.kill_now();
    ASSERT_TRUE(service.start(home));
    ParsedReply idle(service.ask(request_text("list", 1)));
    EXPECT_TRUE(idle.can_restart());
    ParsedReply stopped(service.ask(
        request_text("shutdown", 4, "\"serviceInstance\":\"" + idle.instance() + "\"")));
    EXPECT_EQ("", stopped.code()) << stopped.message();
    EXPECT_EQ(0, wait_exit(service.pid, 5000));
    service.pid = -1;
    struct stat st {};
    EXPECT_NE(0, lstat(home.socket().c_str(), &st)) << "the socket is removed";
    // A new instance starts at once.
    ASSERT_TRUE(service.start(home));
    EXPECT_NE(idle.instance(), ParsedReply(service.ask(request_text("list", 1))).instance());
}

TEST(ServiceProcessTest, ARestartedServiceFindsItsRecords) {
    UserHome home(geteuid());
    std::string id = put_record(home, "mounted");
    ServiceProcess service;
    ASSERT_TRUE(service.start(home));
    ParsedReply first(service.ask(request_text("list", 1)));
    ASSERT_EQ(1u, first.session_count());
    // The worker of the record has ended: the refresh at start says so.
    EXPECT_STREQ("recoveryRequired", json_get_string(first.session(0), "phase", ""));
    EXPECT_STREQ(text::kWorkerDied, json_get_string(first.session(0), "message", ""));
    service.kill_now();
    ASSERT_TRUE(service.start(home));
    ParsedReply second(service.ask(request_text("list", 1)));
    ASSERT_EQ(1u, second.session_count());
    EXPECT_EQ(id, json_get_string(second.session(0), "id", ""));
    EXPECT_NE(first.instance(), second.instance());
}

TEST(ServiceProcessTest, OtherUsersAreNeverServed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as other users";
    UserHome home(65534);
    ServiceProcess service;
    ASSERT_TRUE(service.start(home));
    ParsedReply listed(service.ask(request_text("list", 1)));
    ASSERT_FALSE(listed.instance().empty());
    // Another user cannot even reach the socket in the private folder.
    std::string refused = send_as(kOtherUser, home.socket(), request_text("list", 1));
    EXPECT_TRUE(refused.starts_with("!")) << refused;
    // Root can connect, but the service drops what it sends unread: a
    // shutdown that would end an idle service leaves it running.
    EXPECT_EQ("", service.ask(request_text("shutdown", 4,
                                           "\"serviceInstance\":\"" + listed.instance() + "\""),
                              0));
    usleep(300000);
    EXPECT_TRUE(service.alive());
    EXPECT_EQ(listed.instance(), ParsedReply(service.ask(request_text("list", 1))).instance());
}

TEST(ServiceProcessTest, AMovedProgramFileStopsAnIdleService) {
    UserHome home(geteuid());
    // A copy of the programs in a folder of its own, so that moving one
    // disturbs nobody else.
    const std::string bin = home.dir + "/bin";
    ASSERT_TRUE(shell("mkdir '" + bin + "' && cp '" + service_program() + "' '" + TW_BIN_DIR +
                      "/tarnwick-worker' '" + bin + "/'"));
    pid_t pid = spawn_as(home.uid, {bin + "/tarnwick-service"}, home.env());
    ServiceProcess service;
    service.home = &home;
    for (int i = 0; i < 500 && service.ask(request_text("list", 1)).empty(); i++)
        usleep(10000);
    ASSERT_FALSE(service.ask(request_text("list", 1)).empty());
    ASSERT_EQ(0, rename((bin + "/tarnwick-service").c_str(), (bin + "/moved").c_str()));
    // The housekeeping round notices within a few seconds and ends it.
    EXPECT_EQ(0, wait_exit(pid, 10000));
}

// ---- Sign-out through a stand-in logind

TEST(ServiceProcessTest, WithoutLogindOneLineSaysSignOutIsNotWatched) {
    UserHome home(geteuid());
    ServiceProcess service;
    ASSERT_TRUE(service.start(home, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home.dir + "/no-bus"},
                              home.dir + "/stderr"));
    Bytes err = read_bytes(home.dir + "/stderr");
    EXPECT_EQ(std::string(text::kLogNoLogind) + "\n", std::string(err.begin(), err.end()));
}

TEST(ServiceProcessTest, BusySessionsHoldShutdownAndTheEndOfTheLoginUnmounts) {
    StandInLogind logind;
    ASSERT_TRUE(logind.start());
    UserHome home(geteuid());
    ServiceProcess service;
    // Idle: no inhibitor.
    ASSERT_TRUE(
        service.start(home, {"DBUS_SYSTEM_BUS_ADDRESS=" + logind.address}, home.dir + "/stderr"));
    usleep(300000);
    EXPECT_EQ(0, logind.inhibits.load());
    Bytes err = read_bytes(home.dir + "/stderr");
    EXPECT_EQ(std::string(text::kLogLogind) + "\n", std::string(err.begin(), err.end()));
    service.kill_now();
    // A session: the delay lock is taken while it lasts.
    std::string id = put_record(home, "recoveryRequired");
    ASSERT_TRUE(service.start(home, {"DBUS_SYSTEM_BUS_ADDRESS=" + logind.address}));
    ASSERT_TRUE(eventually([&] { return logind.inhibitor_held(); }));
    {
        std::lock_guard<std::mutex> g(logind.lock);
        EXPECT_EQ("shutdown|Tarnwick|Tarnwick is unmounting encrypted disks.|delay",
                  logind.inhibit_args);
    }
    // The login session ends: the service unmounts. Without a broker in
    // this test the detach cannot be confirmed, and the record says why.
    logind.emit_removed = true;
    ASSERT_TRUE(eventually([&] {
        ParsedReply r(service.ask(request_text("list", 1)));
        return r.session_count() == 1 &&
               std::string(json_get_string(r.session(0), "message", "")).find("storage service") !=
                   std::string::npos;
    }));
    EXPECT_TRUE(logind.inhibitor_held()) << "the session is still there";
    // Once the session is gone the lock is released.
    ASSERT_TRUE(shell("rm -rf '" + home.run_folder() + "/" + id + "'"));
    service.kill_now();
    ASSERT_TRUE(service.start(home, {"DBUS_SYSTEM_BUS_ADDRESS=" + logind.address}));
    ASSERT_TRUE(eventually([&] { return !logind.inhibitor_held(); }));
}

} // namespace
} // namespace tw::test
