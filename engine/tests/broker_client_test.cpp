// The engine's broker client against the real broker: not running, busy, an
// unknown action, replies with "error", and the "devices" and
// "approve-imaging" commands end to end. Runs as root in a private mount
// namespace; the engine runs as another user.
#include "engine/broker_client.h"

#include "broker/tests/support/broker_process.h"
#include "runtime/pipes.h"
#include "runtime/texts.h"
#include "tests/support/private_mounts.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace tw::test {
namespace {

constexpr uid_t kUser = 1000;

class EngineBrokerClient : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &skip = enter_private_mounts();
        if (!skip.empty())
            GTEST_SKIP() << skip;
        // The test program is not installed beside the broker; the engine is.
        BrokerEndpoint e{"", broker_program(), 400};
        broker_set_endpoint_for_testing(&e);
    }
    void TearDown() override { broker_set_endpoint_for_testing(nullptr); }

    std::string devices_message() {
        JsonValue *devices = nullptr;
        std::string message;
        int rc = broker_devices(&devices, &message);
        json_free(devices);
        return rc == 0 ? "" : message;
    }

    BrokerProcess broker;
};

TEST_F(EngineBrokerClient, ReportsABrokerThatIsNotRunningOrBusy) {
    EXPECT_EQ(kTextBrokerNotRunning, devices_message());

    ASSERT_TRUE(broker.start());
    // A broker that accepts nobody: its queue fills, then it is busy.
    kill(broker.pid, SIGSTOP);
    int status = 0;
    ASSERT_EQ(broker.pid, waitpid(broker.pid, &status, WUNTRACED));
    ASSERT_TRUE(WIFSTOPPED(status));
    std::vector<FileHandle> queued;
    for (int i = 0; i < 1000; i++) {
        FileHandle fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, kBrokerSocket);
        if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            break;
        queued.push_back(std::move(fd));
    }
    EXPECT_EQ(kTextBrokerBusy, devices_message());
    queued.clear();
    kill(broker.pid, SIGCONT);
}

TEST_F(EngineBrokerClient, PassesOnTheBrokersErrors) {
    ASSERT_TRUE(broker.start());
    JsonValue *reply = nullptr;
    std::string message;
    JsonValue *request = json_parse_text(R"({"action":"mount"})");
    EXPECT_NE(0, broker_request(request, &reply, &message));
    EXPECT_EQ("Unknown broker operation.", message);
    EXPECT_EQ(nullptr, reply);

    EXPECT_EQ("", devices_message());
    FormatRequest format{3260, "iqn.test", "name", "0123456789abcdef", 1 << 20, "fat32", "DISK"};
    EXPECT_NE(0, broker_format(format, &message));
    // The target is not a format target of this product.
    EXPECT_EQ("Invalid creation request.", message);
    LentDevice lent;
    EXPECT_NE(0, broker_image_source("/dev/sdz", 7, &lent, &message));
    EXPECT_EQ("The requesting process is not a Tarnwick program owned by your account. Nothing "
              "was attached.",
              message);
    EXPECT_FALSE(lent.connection.valid());
    EXPECT_FALSE(lent.device.valid());

    request = json_parse_text(R"({"action":"list"})");
    ASSERT_EQ(0, broker_request(request, &reply, &message)) << message;
    EXPECT_TRUE(json_has(reply, "sessions", JsonKind::Array));
    json_free(reply);
}

TEST_F(EngineBrokerClient, EngineCommandsAnswerWithTheBrokersMessage) {
    char home[] = "/tmp/tw-engine-home-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(home));
    ASSERT_EQ(0, chown(home, kUser, kUser));
    const std::vector<std::string> env = {std::string("HOME=") + home};
    const std::string engine = std::string(TW_BIN_DIR) + "/tarnwick-engine";

    ProgramRun run = run_program({engine, "devices"}, env, kUser);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ(std::string(R"({"event":"error","code":"engine","message":")") +
                  kTextBrokerNotRunning + R"(","version":1})" + "\n",
              run.out);

    // With the broker running the list arrives as the broker sent it.
    ASSERT_TRUE(broker.start());
    run = run_program({engine, "devices"}, env, kUser);
    EXPECT_EQ(0, run.status) << run.err;
    JsonValue *result = json_parse_text(run.out.c_str());
    EXPECT_STREQ("result", json_get_string(result, "event", "")) << run.out;
    EXPECT_TRUE(json_has(result, "devices", JsonKind::Array)) << run.out;
    json_free(result);

    // Approving answers only with its exit code; a user is refused, a bad
    // identity never reaches the broker.
    for (const char *identity : {"5", "+5", "5a", ""}) {
        run = run_program({engine, "approve-imaging", "/dev/sdz", identity, "1000"}, env, kUser);
        EXPECT_EQ(1, run.status) << identity;
        EXPECT_EQ("", run.out) << identity;
    }
    run_program({"/bin/rm", "-rf", home});
}

} // namespace
} // namespace tw::test
