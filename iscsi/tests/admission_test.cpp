// Creating the listener and admitting connections: configuration checks,
// the loopback-only rule, the owner predicate and the production rule that
// admits only the published initiator process.
#include "iscsi/tests/support/iscsi_client.h"
#include "iscsi/tests/support/programs.h"
#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {
namespace {

struct CreateCase {
    const char *name;
    void (*change)(TargetConfig &config, BlockDevice &device);
};

class CreateRefuses : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateRefuses, WithEinvalAndNothingLeft) {
    MemoryDisk disk;
    TargetConfig config = test_config();
    BlockDevice device = disk.device(1 << 20, false);
    GetParam().change(config, device);
    uint16_t port = 0;
    errno = 0;
    EXPECT_EQ(target_create(&config, &device, &port), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateRefuses,
    ::testing::Values(
        CreateCase{"SecretOfEleven",
                   [](TargetConfig &c, BlockDevice &) { c.chap_secret_length = 11; }},
        CreateCase{"SecretOfSeventeen",
                   [](TargetConfig &c, BlockDevice &) { c.chap_secret_length = 17; }},
        CreateCase{"SizeZero", [](TargetConfig &, BlockDevice &d) { d.size = 0; }},
        CreateCase{"SizeNotWholeSectors", [](TargetConfig &, BlockDevice &d) { d.size = 1000; }},
        CreateCase{"NoRead", [](TargetConfig &, BlockDevice &d) { d.read = nullptr; }},
        CreateCase{"NoWrite", [](TargetConfig &, BlockDevice &d) { d.write = nullptr; }},
        CreateCase{"NoFlush", [](TargetConfig &, BlockDevice &d) { d.flush = nullptr; }},
        CreateCase{"UnterminatedName",
                   [](TargetConfig &c, BlockDevice &) {
                       memset(c.target_name, 'a', sizeof c.target_name);
                   }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Create, ListensOnLoopbackWithAnEphemeralPort) {
    MemoryDisk disk;
    TargetConfig config = test_config();
    config.chap_secret_length = 12;
    BlockDevice device = disk.device(512, false);
    uint16_t port = 0;
    IscsiTarget *target = target_create(&config, &device, &port);
    ASSERT_NE(target, nullptr);
    EXPECT_NE(port, 0);
    EXPECT_EQ(target_stop(target), 0u);
    EXPECT_EQ(target_stop(target), 1u);
    EXPECT_EQ(target_serve(target), 0) << "returns at once when already stopped";
    target_destroy(target);
    target_destroy(nullptr);
}

sockaddr_in local_address(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return address;
}

TEST(SocketOwner, FindsThisProcessForItsOwnConnection) {
    MemoryDisk disk;
    RunningTarget target;
    ASSERT_TRUE(target.start(test_config(), disk.device(1 << 20, false)));
    Client client;
    ASSERT_TRUE(client.connect_to(target.port));
    sockaddr_in local = local_address(client.fd);
    SocketOwner owner{};
    ASSERT_EQ(tcp_socket_owner(local.sin_addr.s_addr, ntohs(local.sin_port), htonl(INADDR_LOOPBACK),
                               target.port, &owner),
              0);
    EXPECT_EQ(owner.pid, getpid());
    EXPECT_EQ(owner.uid, geteuid());
    EXPECT_EQ(tcp_socket_owner(local.sin_addr.s_addr, ntohs(local.sin_port), htonl(INADDR_LOOPBACK),
                               static_cast<uint16_t>(target.port + 1), &owner),
              -ENOENT);
}

// Admits only the process whose id is the context; records what it saw.
struct OnlyProcess {
    pid_t allowed;
    int calls = 0;
    TargetPeer last{};
};

bool admit_only(void *context, const TargetPeer *peer) {
    auto *rule = static_cast<OnlyProcess *>(context);
    ++rule->calls;
    rule->last = *peer;
    SocketOwner owner{};
    return tcp_socket_owner(peer->address, peer->port, htonl(INADDR_LOOPBACK), peer->listen_port,
                            &owner) == 0 &&
           owner.pid == rule->allowed;
}

TEST(Admission, ConnectionFromAnotherProcessIsClosedBeforeAnyByte) {
    MemoryDisk disk;
    OnlyProcess rule{getpid() + 1}; // not us
    RunningTarget target;
    ASSERT_TRUE(target.start(test_config(admit_only, &rule), disk.device(1 << 20, false)));
    Client client;
    ASSERT_TRUE(client.connect_to(target.port));
    EXPECT_TRUE(client.closed_without_reply());
    EXPECT_EQ(rule.calls, 1);
    sockaddr_in local = local_address(client.fd);
    EXPECT_EQ(rule.last.port, ntohs(local.sin_port));
    EXPECT_EQ(rule.last.listen_port, target.port);
    EXPECT_EQ(rule.last.address, htonl(INADDR_LOOPBACK));
}

TEST(Admission, TheAdmittedProcessLogsIn) {
    MemoryDisk disk;
    OnlyProcess rule{getpid()};
    RunningTarget target;
    ASSERT_TRUE(target.start(test_config(admit_only, &rule), disk.device(1 << 20, false)));
    Client client;
    ASSERT_TRUE(client.connect_to(target.port));
    EXPECT_TRUE(client.login());
}

TEST(Admission, PeerOtherThan127001IsClosedEvenWhenThePredicateAdmitsAll) {
    MemoryDisk disk;
    RunningTarget target;
    ASSERT_TRUE(target.start(test_config(), disk.device(1 << 20, false)));
    Client client;
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002); // 127.0.0.2, still loopback
    ASSERT_EQ(bind(client.fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(target.port);
    ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    EXPECT_TRUE(client.closed_without_reply());
}

// The production rule reads the initiator's id from a root-owned pid file.
struct PidFileCase {
    const char *name;
    std::string (*content)();
    mode_t mode;
    bool create;
    bool admitted;
};

class InitiatorRule : public ::testing::TestWithParam<PidFileCase> {};

TEST_P(InitiatorRule, AdmitsOnlyThePublishedRootProcess) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the pid file must be owned by root";
    const PidFileCase &c = GetParam();
    TempDir dir;
    std::string path = dir.path + "/initiator.pid";
    if (c.create) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        std::string text = c.content();
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        fchmod(fd, c.mode);
        close(fd);
    }
    MemoryDisk disk;
    TargetConfig config = test_config();
    config.admit = nullptr; // the production rule
    config.admit_context = const_cast<char *>(path.c_str());
    RunningTarget target;
    ASSERT_TRUE(target.start(config, disk.device(1 << 20, false)));
    Client client;
    ASSERT_TRUE(client.connect_to(target.port));
    if (c.admitted)
        EXPECT_TRUE(client.login());
    else
        EXPECT_TRUE(client.closed_without_reply());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitiatorRule,
    ::testing::Values(
        PidFileCase{"ThisProcess", [] { return std::to_string(getpid()) + "\n"; }, 0644, true,
                    true},
        PidFileCase{"OtherProcess", [] { return std::to_string(getppid()) + "\n"; }, 0644, true,
                    false},
        PidFileCase{"NoPidFile", [] { return std::string(); }, 0644, false, false},
        PidFileCase{"WritableByGroup", [] { return std::to_string(getpid()); }, 0664, true, false},
        PidFileCase{"Malformed", [] { return std::to_string(getpid()) + "x"; }, 0644, true, false}),
    [](const auto &info) { return std::string(info.param.name); });

// The mount worker serves its target as a user, and the initiator runs as
// root: the user cannot look into root's descriptors, so the rule admits a
// socket the kernel records as root's while the published initiator runs,
// and still closes a connection made by any process of the user.
TEST(InitiatorRule, TargetRunningAsAUserAdmitsTheRootInitiator) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to play the initiator and a user to serve";
    const uid_t user = 65534;
    TempDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    std::string pid_file = dir.path + "/initiator.pid";
    {
        int fd = open(pid_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        std::string text = std::to_string(getpid()) + "\n";
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    int ports[2];
    ASSERT_EQ(pipe2(ports, O_CLOEXEC), 0);
    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        close(ports[0]);
        if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)
            _exit(2);
        MemoryDisk disk;
        TargetConfig config = test_config();
        config.admit = nullptr; // the production rule
        config.admit_context = const_cast<char *>(pid_file.c_str());
        BlockDevice device = disk.device(1 << 20, false);
        uint16_t port = 0;
        IscsiTarget *target = target_create(&config, &device, &port);
        if (!target)
            _exit(3);
        if (write(ports[1], &port, sizeof port) != sizeof port)
            _exit(4);
        target_serve(target);
        _exit(0);
    }
    close(ports[1]);
    uint16_t port = 0;
    ASSERT_EQ(read(ports[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    close(ports[0]);

    {
        Client initiator;
        ASSERT_TRUE(initiator.connect_to(port));
        EXPECT_TRUE(initiator.login());
    }
    pid_t intruder = fork();
    ASSERT_GE(intruder, 0);
    if (intruder == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)
            _exit(2);
        Client client;
        if (!client.connect_to(port))
            _exit(3);
        _exit(client.closed_without_reply() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(intruder, &status, 0), intruder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    kill(server, SIGKILL);
    waitpid(server, &status, 0);
}

} // namespace
} // namespace tw::test
