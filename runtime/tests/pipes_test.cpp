// Framed messages, connecting, the first-instance rule and the peer checks
// that keep requests away from impostors.
#include "runtime/pipes.h"

#include "runtime/texts.h"
#include "runtime/wire_errors.h"
#include "tests/support/private_mounts.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw::test {
namespace {

constexpr uid_t kOtherUid = 65534;

struct SocketPair {
    FileHandle a, b;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

void write_header(int fd, uint32_t length) {
    unsigned char h[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    ASSERT_EQ(4, write(fd, h, 4));
}

// What is still waiting in the socket, without blocking.
std::string pending(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        out.append(buf, static_cast<size_t>(n));
    return out;
}

std::string temp_folder() {
    char name[] = "/tmp/tw-pipes-XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(name));
    return name;
}

// ---- Framing ----

struct BadLength {
    const char *name;
    uint32_t length;
    int expected;
};

class FrameLength : public ::testing::TestWithParam<BadLength> {};

TEST_P(FrameLength, IsRefusedWithoutReadingTheBody) {
    SocketPair s;
    write_header(s.a.get(), GetParam().length);
    ASSERT_EQ(5, write(s.a.get(), "{}abc", 5));
    JsonValue *message = nullptr;
    EXPECT_EQ(GetParam().expected, pipe_receive_message(s.b.get(), 1000, &message));
    EXPECT_EQ(nullptr, message);
    EXPECT_EQ("{}abc", pending(s.b.get()));
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameLength,
                         ::testing::Values(BadLength{"Zero", 0, kPipeNotMessage},
                                           BadLength{"AboveLimit", 65537, kPipeTooLong}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Frame, OfExactlyTheLimitRoundTripsAndOneMoreIsNotSent) {
    SocketPair s;
    // {"s":"..."} is 8 bytes around the text.
    JsonValue *message = json_new(JsonKind::Object);
    json_set_string(message, "s", std::string(kPipeMessageMax - 8, 'x').c_str());
    std::thread sender([&] { EXPECT_EQ(0, pipe_send_message(s.a.get(), message)); });
    JsonValue *received = nullptr;
    EXPECT_EQ(0, pipe_receive_message(s.b.get(), 5000, &received));
    sender.join();
    EXPECT_EQ(kPipeMessageMax - 8, strlen(json_get_string(received, "s", "")));
    json_free(received);

    json_set_string(message, "s", std::string(kPipeMessageMax - 7, 'x').c_str());
    EXPECT_EQ(kPipeTooLong, pipe_send_message(s.a.get(), message));
    EXPECT_EQ("", pending(s.b.get()));
    json_free(message);
}

size_t open_descriptors() {
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            n++;
        closedir(d);
    }
    return n;
}

TEST(Frame, CarriesALentDescriptorOnlyToAReceiverThatTakesIt) {
    SocketPair s;
    FileHandle lent_r, lent_w;
    ASSERT_EQ(0, make_child_pipe(ChildPipe::ChildReads, &lent_w, &lent_r));
    JsonValue *message = json_parse_text(R"({"size":512})");
    ASSERT_EQ(0, pipe_send_message_with_descriptor(s.a.get(), message, lent_r.get()));
    JsonValue *received = nullptr;
    FileHandle descriptor;
    ASSERT_EQ(0, pipe_receive_message_with_descriptor(s.b.get(), 1000, &received, &descriptor));
    EXPECT_EQ(512, json_get_int(received, "size", 0));
    json_free(received);
    ASSERT_TRUE(descriptor.valid());
    EXPECT_EQ(FD_CLOEXEC, fcntl(descriptor.get(), F_GETFD) & FD_CLOEXEC);
    struct stat a, b;
    ASSERT_EQ(0, fstat(descriptor.get(), &a));
    ASSERT_EQ(0, fstat(lent_r.get(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino);

    // A receiver that does not expect one is not left holding it.
    descriptor.reset();
    size_t before = open_descriptors();
    ASSERT_EQ(0, pipe_send_message_with_descriptor(s.a.get(), message, lent_r.get()));
    ASSERT_EQ(0, pipe_receive_message(s.b.get(), 1000, &received));
    json_free(received);
    EXPECT_EQ(before, open_descriptors());
    // And a frame without one gives none.
    ASSERT_EQ(0, pipe_send_message(s.a.get(), message));
    ASSERT_EQ(0, pipe_receive_message_with_descriptor(s.b.get(), 1000, &received, &descriptor));
    EXPECT_FALSE(descriptor.valid());
    json_free(received);
    json_free(message);
}

struct BadBody {
    const char *name;
    std::string body;
};

class FrameBody : public ::testing::TestWithParam<BadBody> {};

TEST_P(FrameBody, IsNoMessage) {
    SocketPair s;
    const std::string &body = GetParam().body;
    write_header(s.a.get(), static_cast<uint32_t>(body.size()));
    ASSERT_EQ(static_cast<ssize_t>(body.size()), write(s.a.get(), body.data(), body.size()));
    JsonValue *message = nullptr;
    EXPECT_EQ(kPipeNotMessage, pipe_receive_message(s.b.get(), 1000, &message));
    EXPECT_EQ(nullptr, message);
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameBody,
                         ::testing::Values(BadBody{"Array", "[1]"},
                                           BadBody{"ObjectThenNul", std::string("{}\0", 3)},
                                           BadBody{"NotJson", "{\"a\""}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Frame, PeerClosingMidFrameIsBroken) {
    for (int header_bytes : {2, 4}) {
        SocketPair s;
        if (header_bytes == 2)
            ASSERT_EQ(2, write(s.a.get(), "\x0a\x00", 2));
        else {
            write_header(s.a.get(), 10);
            ASSERT_EQ(3, write(s.a.get(), "{\"a", 3));
        }
        s.a.reset();
        JsonValue *message = nullptr;
        EXPECT_EQ(kPipeBroken, pipe_receive_message(s.b.get(), 1000, &message)) << header_bytes;
        SocketPair t;
        if (header_bytes == 4) {
            write_header(t.a.get(), 10);
            t.a.reset();
            EXPECT_EQ(kPipeBroken, pipe_receive_message(t.b.get(), kPipeWaitForever, &message));
        }
    }
}

TEST(Frame, SilentPeerTimesOutAtTheDeadline) {
    SocketPair s;
    // Half a frame arrives, then nothing: header and body share the deadline.
    write_header(s.a.get(), 10);
    auto start = std::chrono::steady_clock::now();
    JsonValue *message = nullptr;
    EXPECT_EQ(kPipeTimedOut, pipe_receive_message(s.b.get(), 300, &message));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
    EXPECT_EQ(kPipeTimedOut, wire_error_from_errno(-ETIMEDOUT));
    EXPECT_EQ(-ETIMEDOUT, errno_from_wire_error(kPipeTimedOut));
}

TEST(WireErrors, TranslateBothWaysWhereTheNumberingsDiffer) {
    struct Pair {
        int local, wire;
    };
    for (Pair p : {Pair{EPIPE, 32}, Pair{ENOMEM, 12}, Pair{ECANCELED, 105}, Pair{ENOTSUP, 129},
                   Pair{EPROTO, 134}, Pair{EILSEQ, 42}, Pair{1116, 1116}}) {
        EXPECT_EQ(-p.wire, wire_error_from_errno(-p.local)) << p.local;
        EXPECT_EQ(-p.local, errno_from_wire_error(-p.wire)) << p.wire;
    }
}

// ---- Servers and connecting ----

TEST(Server, SessionSocketLivesInTheUsersRuntimeFolder) {
    std::string dir = temp_folder();
    const char *saved = getenv("XDG_RUNTIME_DIR");
    std::string old = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    std::string path;
    ASSERT_EQ(0, session_socket_path(&path));
    EXPECT_EQ(dir + "/tarnwick/Tarnwick.Session." + std::to_string(geteuid()), path);
    struct stat st;
    ASSERT_EQ(0, stat((dir + "/tarnwick").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    if (saved)
        setenv("XDG_RUNTIME_DIR", old.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    rmdir((dir + "/tarnwick").c_str());
    rmdir(dir.c_str());
}

TEST(Server, SecondFirstInstanceFailsAndAStaleSocketIsReplaced) {
    std::string dir = temp_folder();
    std::string path = dir + "/Tarnwick.Test";
    PipeServer first;
    ASSERT_EQ(0, pipe_create_server(path.c_str(), 0600, &first));
    PipeServer second;
    EXPECT_EQ(-EADDRINUSE, pipe_create_server(path.c_str(), 0600, &second));

    // A server that dies leaves its socket file; its lock goes with it.
    pipe_close_server(&first);
    pid_t child = fork();
    if (child == 0) {
        PipeServer s;
        _exit(pipe_create_server(path.c_str(), 0600, &s) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_EQ(0, WEXITSTATUS(status));
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    FileHandle refused;
    EXPECT_EQ(-ECONNREFUSED, pipe_connect(path.c_str(), 0, &refused));
    ASSERT_EQ(0, pipe_create_server(path.c_str(), 0600, &second));
    FileHandle client;
    EXPECT_EQ(0, pipe_connect(path.c_str(), 0, &client));
    pipe_close_server(&second);
    EXPECT_NE(0, lstat(path.c_str(), &st));
    unlink((path + ".lock").c_str());
    rmdir(dir.c_str());
}

TEST(Connect, NoServerFailsAtOnceAndAFullQueueIsBusyAfterTheTimeOut) {
    std::string dir = temp_folder();
    std::string path = dir + "/Tarnwick.Test";
    FileHandle client;
    EXPECT_EQ(-ENOENT, pipe_connect(path.c_str(), 1000, &client));

    PipeServer server;
    ASSERT_EQ(0, pipe_create_server(path.c_str(), 0600, &server));
    // Nobody accepts: fill the queue until the kernel refuses one more.
    std::vector<FileHandle> queued;
    for (int i = 0; i < 1000; i++) {
        FileHandle fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, path.c_str());
        if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            break;
        queued.push_back(std::move(fd));
    }
    ASSERT_LT(queued.size(), 1000u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-EAGAIN, pipe_connect(path.c_str(), 450, &client));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(440));

    // Room appears while the client waits: it gets in.
    std::thread acceptor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        FileHandle accepted;
        EXPECT_EQ(0, pipe_accept(&server, &accepted));
    });
    EXPECT_EQ(0, pipe_connect(path.c_str(), 3000, &client));
    acceptor.join();
    pipe_close_server(&server);
    unlink((path + ".lock").c_str());
    rmdir(dir.c_str());
}

// ---- Peers ----

// Runs fn in a child that has become kOtherUid; returns its exit status.
template <typename Fn>
int as_other_user(Fn fn) {
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(kOtherUid, kOtherUid, kOtherUid) != 0 ||
            setresuid(kOtherUid, kOtherUid, kOtherUid) != 0)
            _exit(99);
        _exit(fn());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(Peers, ClientIsIdentifiedByTheKernel) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    std::string dir = temp_folder();
    chmod(dir.c_str(), 0755);
    std::string path = dir + "/Tarnwick.Test";
    PipeServer server;
    ASSERT_EQ(0, pipe_create_server(path.c_str(), 0666, &server));

    FileHandle own, accepted;
    ASSERT_EQ(0, pipe_connect(path.c_str(), 0, &own));
    ASSERT_EQ(0, pipe_accept(&server, &accepted));
    PipePeer peer;
    ASSERT_EQ(0, pipe_identify_client(accepted.get(), &peer));
    EXPECT_EQ(getpid(), peer.pid);
    EXPECT_EQ("0", peer.user);
    EXPECT_TRUE(pipe_client_is_admin(accepted.get()));

    int status = as_other_user([&] {
        FileHandle c;
        return pipe_connect(path.c_str(), 0, &c) == 0 ? 0 : 1;
    });
    ASSERT_EQ(0, status);
    // The child has ended by now; the kernel keeps what it recorded at connect.
    ASSERT_EQ(0, pipe_accept(&server, &accepted));
    ASSERT_EQ(0, pipe_identify_client(accepted.get(), &peer));
    EXPECT_EQ(kOtherUid, peer.uid);
    EXPECT_EQ(std::to_string(kOtherUid), peer.user);
    EXPECT_FALSE(pipe_client_is_admin(accepted.get()));
    pipe_close_server(&server);
    unlink((path + ".lock").c_str());
    rmdir(dir.c_str());
}

TEST(Peers, PerUserServerIsCheckedForUserAndProgram) {
    std::string dir = temp_folder();
    std::string path = dir + "/Tarnwick.Session.Test";
    PipeServer server;
    ASSERT_EQ(0, pipe_create_server(path.c_str(), 0600, &server));
    FileHandle client;
    ASSERT_EQ(0, pipe_connect(path.c_str(), 0, &client));
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    EXPECT_TRUE(pipe_verify_server(client.get(), nullptr, false));
    EXPECT_TRUE(pipe_verify_server(client.get(), self, false));
    EXPECT_FALSE(pipe_verify_server(client.get(), "/usr/bin/true", false));
    // The folder chain runs through /tmp, which everybody may change.
    EXPECT_FALSE(pipe_verify_server(client.get(), nullptr, true));
    pipe_close_server(&server);
    unlink((path + ".lock").c_str());
    rmdir(dir.c_str());
}

TEST(Peers, ServerOfAnotherUserFailsThePerUserCheck) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to serve as another user";
    std::string dir = temp_folder();
    chmod(dir.c_str(), 0777);
    std::string path = dir + "/Tarnwick.Session.0";
    FileHandle ready_r, ready_w;
    ASSERT_EQ(0, make_child_pipe(ChildPipe::ChildWrites, &ready_r, &ready_w));
    pid_t child = fork();
    if (child == 0) {
        if (setresuid(kOtherUid, kOtherUid, kOtherUid) != 0)
            _exit(99);
        PipeServer s;
        if (pipe_create_server(path.c_str(), 0666, &s) != 0)
            _exit(1);
        (void)!write(ready_w.get(), "r", 1);
        pause();
        _exit(0);
    }
    ready_w.reset();
    char b;
    ASSERT_EQ(1, read(ready_r.get(), &b, 1));
    FileHandle client;
    ASSERT_EQ(0, pipe_connect(path.c_str(), 0, &client));
    EXPECT_FALSE(pipe_verify_server(client.get(), nullptr, false));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    unlink(path.c_str());
    unlink((path + ".lock").c_str());
    rmdir(dir.c_str());
}

TEST(ChildPipes, OnlyTheChildsEndIsInherited) {
    for (ChildPipe direction : {ChildPipe::ChildReads, ChildPipe::ChildWrites}) {
        FileHandle parent, child;
        ASSERT_EQ(0, make_child_pipe(direction, &parent, &child));
        EXPECT_EQ(FD_CLOEXEC, fcntl(parent.get(), F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(0, fcntl(child.get(), F_GETFD) & FD_CLOEXEC);
        int child_mode = fcntl(child.get(), F_GETFL) & O_ACCMODE;
        EXPECT_EQ(direction == ChildPipe::ChildReads ? O_RDONLY : O_WRONLY, child_mode);
    }
}

// ---- The broker client against impostors and replies ----

// A server on path that counts the bytes it receives from its one client and
// answers with `reply` (nothing when empty), as the given user.
struct FakeServer {
    pid_t pid = -1;
    FileHandle count_r; // the child writes the byte count here when the client closes

    void start(const std::string &path, uid_t uid, const std::string &reply) {
        FileHandle ready_r, ready_w, count_w;
        ASSERT_EQ(0, make_child_pipe(ChildPipe::ChildWrites, &ready_r, &ready_w));
        ASSERT_EQ(0, make_child_pipe(ChildPipe::ChildWrites, &count_r, &count_w));
        pid = fork();
        if (pid == 0) {
            if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
                _exit(99);
            PipeServer s;
            if (pipe_create_server(path.c_str(), 0666, &s) != 0)
                _exit(1);
            (void)!write(ready_w.get(), "r", 1);
            FileHandle c;
            if (pipe_accept(&s, &c) != 0)
                _exit(2);
            uint64_t total = 0;
            if (!reply.empty()) {
                JsonValue *request = nullptr;
                if (pipe_receive_message(c.get(), 5000, &request) == 0)
                    total = 1;
                json_free(request);
                JsonValue *answer = json_parse_text(reply.c_str());
                pipe_send_message(c.get(), answer);
                json_free(answer);
            }
            char buf[4096];
            ssize_t n;
            while ((n = read(c.get(), buf, sizeof buf)) > 0)
                total += static_cast<uint64_t>(n);
            (void)!write(count_w.get(), &total, sizeof total);
            _exit(0);
        }
        ready_w.reset();
        count_w.reset();
        char b;
        ASSERT_EQ(1, read(ready_r.get(), &b, 1));
    }
    // Bytes the server received (1 for a request it answered).
    uint64_t received() {
        uint64_t total = ~0ull;
        EXPECT_EQ(static_cast<ssize_t>(sizeof total), read(count_r.get(), &total, sizeof total));
        waitpid(pid, nullptr, 0);
        pid = -1;
        return total;
    }
    ~FakeServer() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

std::string self_program() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

class BrokerClient : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &skip = enter_private_mounts();
        if (!skip.empty())
            GTEST_SKIP() << skip;
    }
    void TearDown() override { broker_set_endpoint_for_testing(nullptr); }

    void point_at(const std::string &socket) {
        BrokerEndpoint e{socket, self_program(), 300};
        broker_set_endpoint_for_testing(&e);
    }

    // Connects, sends a request and returns the message of a failure ("" on
    // success).
    std::string try_request() {
        FileHandle fd;
        const char *message = nullptr;
        if (broker_connect(&fd, &message) != 0)
            return message;
        JsonValue *request = json_parse_text("{\"action\":\"list\",\"secret\":\"s3cret\"}");
        JsonValue *reply = nullptr;
        std::string text;
        int rc = broker_exchange(fd.get(), request, &reply, &text);
        json_free(reply);
        return rc == 0 ? "" : text;
    }
};

TEST_F(BrokerClient, UserServerOnItsOwnSocketReceivesNothing) {
    std::string dir = "/run/tarnwick/user";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, chown(dir.c_str(), kOtherUid, kOtherUid));
    FakeServer impostor;
    impostor.start(dir + "/Tarnwick.Broker", kOtherUid, "");
    point_at(dir + "/Tarnwick.Broker");
    EXPECT_EQ(kTextBrokerNotInstalled, try_request());
    EXPECT_EQ(0u, impostor.received());
}

TEST_F(BrokerClient, RootSocketInAUserWritableFolderReceivesNothing) {
    std::string dir = "/run/tarnwick/writable";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, chown(dir.c_str(), kOtherUid, kOtherUid));
    FakeServer impostor;
    impostor.start(dir + "/Tarnwick.Broker", 0, "");
    point_at(dir + "/Tarnwick.Broker");
    EXPECT_EQ(kTextBrokerNotInstalled, try_request());
    EXPECT_EQ(0u, impostor.received());
}

TEST_F(BrokerClient, NotRunningAndWrongProgram) {
    point_at("/run/tarnwick/Tarnwick.Missing");
    EXPECT_EQ(kTextBrokerNotRunning, try_request());

    std::string path = "/run/tarnwick/Tarnwick.Other";
    FakeServer other;
    other.start(path, 0, "{\"version\":1}");
    BrokerEndpoint e{path, "/usr/sbin/tarnwick-broker", 300};
    broker_set_endpoint_for_testing(&e);
    EXPECT_EQ(kTextBrokerNotInstalled, try_request());
    EXPECT_EQ(0u, other.received());
}

struct ReplyCase {
    const char *name;
    const char *reply;
    const char *message;
};

class BrokerReplies : public BrokerClient, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(BrokerReplies, AreJudgedByTheClient) {
    static int round = 0;
    std::string path = "/run/tarnwick/Tarnwick.Reply" + std::to_string(round++);
    FakeServer server;
    server.start(path, 0, GetParam().reply);
    point_at(path);
    EXPECT_EQ(GetParam().message, try_request());
    EXPECT_EQ(1u, server.received());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokerReplies,
    ::testing::Values(ReplyCase{"Good", "{\"version\":1}", ""},
                      ReplyCase{"Error", "{\"error\":\"No such luck.\",\"version\":1}",
                                "No such luck."},
                      ReplyCase{"OtherVersion", "{\"version\":2}", kTextBrokerOtherVersion},
                      ReplyCase{"VersionNotInteger", "{\"version\":1.5}", kTextBrokerOtherVersion}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BrokerClient, ServerThatClosesWithoutReplyingIsNoReply) {
    std::string path = "/run/tarnwick/Tarnwick.Closer";
    std::atomic<bool> ready{false};
    std::thread server([&] {
        PipeServer s;
        ASSERT_EQ(0, pipe_create_server(path.c_str(), 0666, &s));
        ready = true;
        FileHandle c;
        ASSERT_EQ(0, pipe_accept(&s, &c));
        JsonValue *request = nullptr;
        EXPECT_EQ(0, pipe_receive_message(c.get(), 5000, &request));
        json_free(request);
        c.reset();
        pipe_close_server(&s);
    });
    while (!ready)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    point_at(path);
    EXPECT_EQ(kTextBrokerNoReply, try_request());
    server.join();
}

} // namespace
} // namespace tw::test
