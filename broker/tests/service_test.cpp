// The broker as its clients see it: the protocol, its records across
// restarts and crashes, the per-user rules and a clean stop. Runs as root in a
// private mount namespace; clients of other accounts are forked children.
#include "broker/tests/support/broker_process.h"

#include "broker/texts.h"
#include "platform/clock.h"
#include "runtime/json.h"
#include "runtime/text.h"
#include "tests/support/private_mounts.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace tw::test {
namespace {

constexpr uid_t kAlice = 1000;
constexpr uid_t kBob = 1001;
constexpr const char *kFolder = "/var/lib/tarnwick/broker";

std::string error_reply(const char *message) {
    JsonValue *reply = json_new(JsonKind::Object);
    json_set_string(reply, "error", message);
    json_set_int(reply, "version", 1);
    char *text = json_serialize(reply);
    std::string out = text;
    json_free_text(text);
    json_free(reply);
    return out;
}

std::string new_id() {
    char id[kUuidTextSize];
    EXPECT_TRUE(uuid_generate(id));
    return id;
}

// Writes a record file as a previous broker run would have left it.
std::string seed(const std::string &id, uid_t owner, const char *phase, uint64_t boot,
                 const char *extra = "") {
    std::ostringstream text;
    text << "{\"id\":\"" << id << "\",\"owner\":\"" << owner << "\",\"logonSession\":" << owner
         << ",\"boot\":" << boot << ",\"phase\":\"" << phase << "\"" << extra << ",\"version\":1}";
    std::ofstream(std::string(kFolder) + "/" + id + ".json") << text.str();
    return id;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string record_path(const std::string &id) {
    return std::string(kFolder) + "/" + id + ".json";
}

JsonValue *read_record(const std::string &id) {
    return json_read_file(record_path(id).c_str(), 65536);
}

std::vector<std::string> folder_names() {
    std::vector<std::string> names;
    if (DIR *d = opendir(kFolder)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class Broker : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string &skip = enter_private_mounts();
        if (!skip.empty())
            GTEST_SKIP() << skip;
        // Every test starts from an empty machine folder.
        run_program({"/bin/rm", "-rf", "/var/lib/tarnwick/broker", "/var/lib/tarnwick/broker.log"});
        mkdir(kFolder, 0700);
    }
    BrokerProcess broker;
};

TEST_F(Broker, AnswersEveryActionOfTheProtocol) {
    ASSERT_TRUE(broker.start());
    struct Case {
        const char *request;
        uid_t uid;
        std::string reply;
    };
    const Case cases[] = {
        {R"({"action":"list","version":1})", kAlice, R"({"sessions":[],"version":1})"},
        {R"({"action":"list","version":2})", kAlice, error_reply(kTextUnsupportedProtocol)},
        {R"({"action":"list"})", kAlice, error_reply(kTextUnsupportedProtocol)},
        {R"({"action":"list","version":"1"})", kAlice, error_reply(kTextUnsupportedProtocol)},
        {R"({"action":"mount","version":1})", kAlice, error_reply(kTextUnknownOperation)},
        {R"({"action":7,"version":1})", kAlice, error_reply(kTextUnknownOperation)},
        {R"({"version":1})", 0, error_reply(kTextUnknownOperation)},
        {R"({"action":"attach","version":1})", kAlice, error_reply(kTextInvalidMount)},
        // Nothing was attached or recorded: the check is refused.
        {R"({"action":"repair","version":1})", kAlice,
         R"({"refused":")" + std::string(kTextInvalidMount) + R"(","version":1})"},
        {R"({"action":"unmount","version":1,"id":"x"})", kAlice,
         R"({"phase":"disconnected","version":1})"},
        {R"({"action":"format","version":1})", kAlice, error_reply(kTextInvalidCreation)},
        // This test program is not the engine, so nothing is lent to it.
        {R"({"action":"image-source","version":1,"device":"/dev/sdb","identity":1})", kAlice,
         error_reply(kTextNotOurProgram)},
        {R"({"action":"approve-imaging","version":1})", kAlice,
         error_reply(kTextOnlyAdminApproves)},
        {R"({"action":"approve-imaging","version":1})", 0, error_reply(kTextInvalidApproval)},
        {R"({"action":"finalize","version":1,"id":"unknown"})", kAlice,
         R"({"phase":"disconnected","version":1})"},
        {R"({"action":"abandon","version":1})", kAlice, R"({"phase":"disconnected","version":1})"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.reply, broker_request(c.request, c.uid)) << c.request << " as " << c.uid;
}

// Format requests that are refused before any login: a bad member, or a
// caller that is not the installed engine serving the port. Nothing is
// recorded for any of them.
TEST_F(Broker, RefusesFormatRequestsBeforeAnyLogin) {
    ASSERT_TRUE(broker.start());
    const std::string good = R"({"action":"format","version":1,"port":3260,)"
                             R"("target":"iqn.2026-12.com.tarnwick:format-1234",)"
                             R"("chapName":"tarnwick","chapSecret":"0123456789abcdef",)"
                             R"("filesystem":"fat32","label":"NEW","size":67108864})";
    auto replace = [&](const std::string &from, const std::string &to) {
        std::string text = good;
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string invalid = error_reply(kTextInvalidCreation);
    const struct {
        std::string request, reply;
    } cases[] = {
        {replace(":format-1234", ":1234"), invalid},
        {replace("com.tarnwick:", "com.other:"), invalid},
        {replace("\"label\":\"NEW\"", "\"label\":\"\""), invalid},
        {replace("\"label\":\"NEW\"", "\"label\":\"" + std::string(129, 'L') + "\""), invalid},
        {replace("\"fat32\"", "\"ext4\""), invalid},
        {replace("\"fat32\"", "\"FAT32\""), invalid},
        {replace("0123456789abcdef", "0123456789a"), invalid},
        {replace("\"port\":3260", "\"port\":0"), invalid},
        {replace("\"chapName\":\"tarnwick\"", "\"chapName\":\"\""), invalid},
        // This test program is not the engine and serves nothing.
        {good, error_reply(kTextNotOurProgram)},
        {replace("\"label\":\"NEW\"", "\"label\":\"" + std::string(128, 'L') + "\""),
         error_reply(kTextNotOurProgram)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.reply, broker_request(c.request, kAlice)) << c.request;
    EXPECT_EQ(R"({"sessions":[],"version":1})",
              broker_request(R"({"action":"list","version":1})", kAlice));
}

TEST_F(Broker, ApprovalsAreCheckedBeforeTheyAreKept) {
    ASSERT_TRUE(broker.start());
    const std::string invalid = error_reply(kTextInvalidApproval);
    const std::string long_device = "/dev/" + std::string(59, 'x'); // 64 characters
    const struct {
        std::string request;
        std::string reply;
    } cases[] = {
        {R"("device":"/dev/sdb","identity":5,"user":"1000")", R"({"version":1})"},
        {R"("device":"/dev/sdb","identity":5,"user":"0")", R"({"version":1})"},
        {R"("device":"","identity":5,"user":"1000")", invalid},
        {R"("identity":5,"user":"1000")", invalid},
        {R"("device":")" + long_device + R"(","identity":5,"user":"1000")", invalid},
        {R"("device":")" + long_device.substr(1) + R"(","identity":5,"user":"1000")",
         R"({"version":1})"},
        {R"("device":"/dev/sdb","identity":0,"user":"1000")", invalid},
        {R"("device":"/dev/sdb","identity":-5,"user":"1000")", invalid},
        {R"("device":"/dev/sdb","identity":"5","user":"1000")", invalid},
        {R"("device":"/dev/sdb","identity":5,"user":"alice")", invalid},
        {R"("device":"/dev/sdb","identity":5,"user":"-1")", invalid},
        {R"("device":"/dev/sdb","identity":5,"user":"01000")", invalid},
        {R"("device":"/dev/sdb","identity":5,"user":"4294967295")", invalid},
        {R"("device":"/dev/sdb","identity":5,"user":"")", invalid},
        {R"("device":"/dev/sdb","identity":5)", invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.reply,
                  broker_request(R"({"action":"approve-imaging","version":1,)" + c.request + "}"))
            << c.request;
}

TEST_F(Broker, RefusedVersionKeepsTheConnectionUsable) {
    ASSERT_TRUE(broker.start());
    std::vector<std::string> replies = broker_requests(
        {R"({"action":"list","version":2})", R"({"action":"list","version":1})"}, kAlice);
    ASSERT_EQ(2u, replies.size());
    EXPECT_EQ(error_reply(kTextUnsupportedProtocol), replies[0]);
    EXPECT_EQ(R"({"sessions":[],"version":1})", replies[1]);
}

TEST_F(Broker, RecoversTheRecordsOfAPreviousRunAtStart) {
    const uint64_t boot = boot_time();
    std::string repairing = seed(new_id(), kAlice, "repairing", boot, R"(,"repair":true)");
    std::string old_boot = seed(new_id(), kAlice, "mounted", boot + 1);
    std::string format = new_id();
    std::ofstream(record_path(format))
        << R"({"id":")" << format << R"(","kind":"format","account":"1000","boot":)" << boot
        << R"(,"phase":"formatting","version":1})";
    std::string upper = new_id();
    for (char &c : upper)
        c = static_cast<char>(toupper(c));
    seed(upper, kAlice, "mounted", boot);
    std::string misnamed = new_id();
    std::ofstream(std::string(kFolder) + "/" + new_id() + ".json")
        << R"({"id":")" << misnamed << R"(","owner":"1000","boot":)" << boot
        << R"(,"phase":"mounted"})";
    std::string garbage = std::string(kFolder) + "/" + new_id() + ".json";
    std::ofstream(garbage) << "{\"id\":";
    std::string kept = seed(new_id(), kAlice, "disconnected", boot);
    std::string temporary = record_path(kept) + "." + new_id() + ".tmp";
    std::ofstream(temporary) << "{";

    ASSERT_TRUE(broker.start());
    JsonValue *record = read_record(repairing);
    ASSERT_NE(nullptr, record);
    EXPECT_STREQ("repaired", json_get_string(record, "phase", ""));
    EXPECT_FALSE(json_get_bool(record, "repairClean", true));
    EXPECT_STREQ(kTextRepairInterrupted, json_get_string(record, "repairError", ""));
    json_free(record);
    EXPECT_FALSE(exists(record_path(old_boot)));
    EXPECT_FALSE(exists(record_path(format)));
    EXPECT_FALSE(exists(temporary));
    // What could not be read stays for the administrator to look at.
    EXPECT_TRUE(exists(record_path(upper)));
    EXPECT_TRUE(exists(garbage));

    JsonValue *list =
        json_parse_text(broker_request(R"({"action":"list","version":1})", kAlice).c_str());
    std::vector<std::string> ids;
    for (JsonValue *r = json_first(json_get(list, "sessions")); r; r = json_next(r))
        ids.push_back(json_get_string(r, "id", ""));
    json_free(list);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected{repairing, kept};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, ids);
}

TEST_F(Broker, RecordsBelongToTheirAccount) {
    const uint64_t boot = boot_time();
    std::string mounted = seed(new_id(), kAlice, "mounted", boot);
    std::string done = seed(new_id(), kAlice, "disconnected", boot);
    std::string lost = seed(new_id(), kAlice, "recovery-needed", boot,
                            R"(,"iscsiSession":"0000000000000001:0000000000000002")");
    ASSERT_TRUE(broker.start());
    auto request = [](const char *action, const std::string &id) {
        return std::string(R"({"action":")") + action + R"(","id":")" + id + R"(","version":1})";
    };
    const std::string gone = R"({"phase":"disconnected","version":1})";

    EXPECT_EQ(R"({"sessions":[],"version":1})",
              broker_request(R"({"action":"list","version":1})", kBob));
    for (const std::string &id : {mounted, done, lost}) {
        EXPECT_EQ(error_reply(kTextOtherAccount), broker_request(request("finalize", id), kBob));
        EXPECT_EQ(error_reply(kTextOtherAccount), broker_request(request("abandon", id), kBob));
        EXPECT_EQ(error_reply(kTextOtherAccount), broker_request(request("finalize", id), 0));
        EXPECT_EQ(error_reply(kTextOtherAccount), broker_request(request("repair", id), kBob));
    }
    // A check runs once per session id: an existing record is never
    // attached or checked again.
    EXPECT_EQ(error_reply(kTextAlreadyChecked), broker_request(request("repair", done), kAlice));

    // A mounted record whose iSCSI session is gone is reported as needing
    // recovery, and the change is kept.
    JsonValue *list =
        json_parse_text(broker_request(R"({"action":"list","version":1})", kAlice).c_str());
    EXPECT_EQ(3u, json_get(list, "sessions")->child_count);
    for (JsonValue *r = json_first(json_get(list, "sessions")); r; r = json_next(r))
        if (json_get_string(r, "id", "") == mounted) {
            EXPECT_STREQ("recovery-needed", json_get_string(r, "phase", ""));
        }
    json_free(list);
    JsonValue *record = read_record(mounted);
    EXPECT_STREQ("recovery-needed", json_get_string(record, "phase", ""));
    json_free(record);

    EXPECT_EQ(error_reply(kTextStillAttached),
              broker_request(request("finalize", mounted), kAlice));
    EXPECT_EQ(gone, broker_request(request("finalize", done), kAlice));
    EXPECT_FALSE(exists(record_path(done)));
    EXPECT_EQ(gone, broker_request(request("finalize", done), kAlice));
    // No initiator runs here, so the recorded session is certainly gone.
    EXPECT_EQ(gone, broker_request(request("abandon", lost), kAlice));
    EXPECT_FALSE(exists(record_path(lost)));
    EXPECT_TRUE(exists(record_path(mounted)));
}

TEST_F(Broker, KilledWhileWritingRestartsWithEveryRecordIntact) {
    const uint64_t boot = boot_time();
    std::vector<std::string> ids;
    const std::string output = R"(,"repairOutput":")" + std::string(2000, 'o') + "\"";
    for (size_t i = 0; i < 64; i++)
        ids.push_back(new_id());
    // Each start rewrites the records left "repairing". Kill it at points
    // spread over that work until it has been caught in the middle a few
    // times: some records rewritten, others not yet.
    int caught = 0;
    for (int round = 0; round < 200 && caught < 3; round++) {
        for (size_t i = 0; i < ids.size(); i++)
            seed(ids[i], i % 2 ? kAlice : kBob, "repairing", boot, output.c_str());
        BrokerProcess victim;
        victim.pid = fork();
        if (victim.pid == 0) {
            std::string program = broker_program();
            char *args[] = {program.data(), nullptr};
            char *envp[] = {nullptr};
            execve(args[0], args, envp);
            _exit(127);
        }
        usleep(static_cast<useconds_t>(round * 250));
        victim.stop(SIGKILL);
        size_t records = 0, repaired = 0;
        for (const std::string &name : folder_names()) {
            if (!name.ends_with(".json"))
                continue;
            records++;
            JsonValue *r = json_read_file((std::string(kFolder) + "/" + name).c_str(), 65536);
            ASSERT_NE(nullptr, r) << name << " in round " << round;
            repaired += strcmp(json_get_string(r, "phase", ""), "repaired") == 0;
            json_free(r);
        }
        EXPECT_EQ(64u, records) << round;
        caught += repaired > 0 && repaired < 64;
    }
    EXPECT_GT(caught, 0);
    ASSERT_TRUE(broker.start());
    for (const std::string &id : ids) {
        JsonValue *r = read_record(id);
        ASSERT_NE(nullptr, r);
        EXPECT_STREQ("repaired", json_get_string(r, "phase", ""));
        json_free(r);
    }
    for (const std::string &name : folder_names())
        EXPECT_TRUE(name.ends_with(".json")) << name;
}

TEST_F(Broker, SeventeenthConnectionOfAnAccountIsClosedUnanswered) {
    ASSERT_TRUE(broker.start());
    int result[2];
    ASSERT_EQ(0, pipe2(result, O_CLOEXEC));
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(kAlice, kAlice, kAlice) != 0 || setresuid(kAlice, kAlice, kAlice) != 0)
            _exit(99);
        std::vector<FileHandle> open;
        std::string outcome;
        for (int i = 0; i < 17; i++) {
            FileHandle fd;
            if (pipe_connect(kBrokerSocket, 2000, &fd) != 0)
                _exit(98);
            JsonValue *request = json_parse_text(R"({"action":"list","version":1})");
            pipe_send_message(fd.get(), request);
            json_free(request);
            JsonValue *reply = nullptr;
            outcome += pipe_receive_message(fd.get(), 5000, &reply) == 0 ? 'r' : 'x';
            json_free(reply);
            open.push_back(std::move(fd));
        }
        (void)!write(result[1], outcome.data(), outcome.size());
        _exit(0);
    }
    close(result[1]);
    char buf[64] = {};
    ssize_t n = read(result[0], buf, sizeof buf - 1);
    close(result[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(std::string(16, 'r') + "x", std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
    // Other accounts are not affected, and the closed connections free their places.
    EXPECT_EQ(R"({"sessions":[],"version":1})",
              broker_request(R"({"action":"list","version":1})", kBob));
    EXPECT_EQ(R"({"sessions":[],"version":1})",
              broker_request(R"({"action":"list","version":1})", kAlice));
}

TEST_F(Broker, ClientThatSendsNothingIsDisconnectedAfterTenSeconds) {
    ASSERT_TRUE(broker.start());
    FileHandle silent;
    ASSERT_EQ(0, pipe_connect(kBrokerSocket, 1000, &silent));
    auto start = std::chrono::steady_clock::now();
    JsonValue *reply = nullptr;
    EXPECT_EQ(kPipeBroken, pipe_receive_message(silent.get(), 15000, &reply));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9500));
    EXPECT_LT(waited, std::chrono::milliseconds(12000));
}

TEST_F(Broker, StopsCleanlyOnSigtermAndRunsOnlyOnce) {
    ASSERT_TRUE(broker.start());
    ProgramRun second = run_program({broker_program()});
    EXPECT_EQ(1, second.status);
    EXPECT_EQ(std::string(kTextAlreadyRunning) + "\n", second.err);
    EXPECT_EQ(R"({"sessions":[],"version":1})", broker_request(R"({"action":"list","version":1})"));

    EXPECT_EQ(0, broker.stop(SIGTERM));
    EXPECT_FALSE(exists(kBrokerSocket));
    std::ifstream log("/var/lib/tarnwick/broker.log");
    std::string first, last, line;
    std::getline(log, first);
    while (std::getline(log, line))
        last = line;
    EXPECT_EQ(21u, first.find("broker 0.1.1 build 108 started")) << first;
    EXPECT_EQ(21u, last.find("broker stopped")) << last;

    ProgramRun as_user = run_program({broker_program()}, {}, kAlice);
    EXPECT_EQ(1, as_user.status);
    EXPECT_EQ(std::string(kTextRunAsRoot) + "\n", as_user.err);
}

} // namespace
} // namespace tw::test
