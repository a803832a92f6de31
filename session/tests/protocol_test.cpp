// The service's state machine in this process: the request protocol and its
// validation, mount tickets, the checks before a worker starts, record
// loading and warnings, refresh and every unmount path. The broker is a
// stand-in that answers by action and logs what it was asked; workers are
// the real tarnwick-worker or small scripts where a test needs a worker that
// misbehaves.
#include "platform/clock.h"
#include "platform/process.h"
#include "runtime/text.h"
#include "session/preferences.h"
#include "session/protocol.h"
#include "session/service.h"
#include "session/sessions.h"
#include "session/tests/support/session_fixtures.h"
#include "session/texts.h"
#include "worker/status.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {
namespace {

namespace text = session_text;

// The broker stand-in: a reply per action ("!" and a text for an error),
// and the requests in the order they came.
std::map<std::string, std::string> g_broker_replies;
std::vector<std::string> g_broker_calls;
std::vector<std::string> g_broker_requests;

int fake_broker(JsonValue *request, JsonValue **reply, std::string *message) {
    std::string action = json_get_string(request, "action", "");
    char *serialized = json_serialize(request);
    g_broker_requests.push_back(serialized != nullptr ? serialized : "");
    json_free_text(serialized);
    json_free(request);
    g_broker_calls.push_back(action);
    std::string answer;
    if (auto it = g_broker_replies.find(action); it != g_broker_replies.end())
        answer = it->second;
    else if (action == "list")
        answer = R"({"sessions":[]})";
    else
        answer = R"({"phase":"disconnected"})";
    if (!answer.empty() && answer[0] == '!') {
        *message = answer.substr(1);
        return -EREMOTEIO;
    }
    *reply = json_parse_text(answer.c_str());
    return 0;
}

std::string join(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &i : items)
        out += (out.empty() ? "" : ",") + i;
    return out;
}

class ServiceState : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = service_test_home("tw-session");
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(0, service_init(&service));
        service.worker_program = std::string(TW_BIN_DIR) + "/tarnwick-worker";
        g_broker_replies.clear();
        g_broker_calls.clear();
        g_broker_requests.clear();
        sessions_set_broker_for_testing(fake_broker);
    }
    void TearDown() override {
        sessions_set_broker_for_testing(nullptr);
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }

    std::string ask(const std::string &request) {
        JsonValue *parsed = json_parse_text(request.c_str());
        EXPECT_NE(parsed, nullptr) << request;
        std::unique_lock<std::mutex> held(service.lock);
        JsonValue *reply = service_dispatch(&service, parsed, held);
        json_free(parsed);
        char *t = json_serialize(reply);
        std::string out = t;
        json_free_text(t);
        json_free(reply);
        return out;
    }

    void reload() {
        std::lock_guard<std::mutex> held(service.lock);
        for (SessionSlot &slot : service.slots)
            session_slot_release(&slot);
        service.warnings.clear();
        sessions_load(&service);
        service.last_refresh = 0;
    }

    // A process that stands for a running worker.
    void live_process(pid_t *pid, uint64_t *start) {
        *pid = fork();
        if (*pid == 0) {
            execl("/bin/sleep", "sleep", "600", nullptr);
            _exit(127);
        }
        children.push_back(*pid);
        bool running = false;
        for (int i = 0; i < 100 && (*start == 0 || !running); i++) {
            process_identity(*pid, &running, start, nullptr);
            usleep(10000);
        }
    }

    // A session folder with a record of `phase` and a status record; the
    // extra members are appended to the record. Returns the id.
    std::string put_record(const std::string &phase, const std::string &extra = "",
                           const std::string &container = "", uint32_t exited = 1,
                           uint32_t error = 0, bool writable = false) {
        std::string id = new_uuid();
        std::string folder = service.run_folder + "/" + id;
        EXPECT_EQ(0, mkdir(folder.c_str(), 0700));
        std::string path = container.empty() ? dir + "/" + id + ".zcx" : container;
        struct stat st {};
        stat(path.c_str(), &st);
        std::string record =
            "{\"version\":1,\"id\":\"" + id + "\",\"operationID\":\"" + id + "\",\"path\":\"" +
            path + "\",\"sourceVolume\":" + std::to_string(st.st_dev) +
            ",\"sourceFile\":" + std::to_string(container.empty() ? 0 : st.st_ino) +
            ",\"boot\":" + std::to_string(boot_time()) +
            ",\"writable\":" + (writable ? "true" : "false") +
            ",\"explorerName\":\"x\",\"preferences\":{\"readOnly\":" +
            (writable ? "false" : "true") +
            "},"
            "\"phase\":\"" +
            phase + "\"" + extra + "}";
        write_bytes(folder + "/session.json", Bytes(record.begin(), record.end()));
        Bytes status(kWorkerStatusSize, 0);
        status[kStatusLayout] = 1;
        status[kStatusExited] = static_cast<uint8_t>(exited);
        status[kStatusError] = static_cast<uint8_t>(error);
        write_bytes(folder + "/status.bin", status);
        return id;
    }

    const JsonValue *record_of(const std::string &id) {
        int slot = session_find(&service, id.c_str());
        return slot < 0 ? nullptr : service.slots[slot].record;
    }
    std::string phase_of(const std::string &id) {
        return json_get_string(record_of(id), "phase", "(none)");
    }
    std::string message_of(const std::string &id) {
        return json_get_string(record_of(id), "message", "");
    }
    bool exists(const std::string &path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }
    std::vector<std::string> run_entries() {
        std::vector<std::string> names;
        if (DIR *d = opendir(service.run_folder.c_str())) {
            while (dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }

    std::string mount_members(const std::string &path, const std::string &more = "") {
        return "\"path\":\"" + path + "\",\"credentials\":\"" + credentials_text(kPassword) + "\"" +
               (more.empty() ? "" : "," + more);
    }

    std::string dir;
    Service service;
    std::vector<pid_t> children;
};

TEST_F(ServiceState, EveryActionChecksVersionAndOperationFirst) {
    const char *actions[] = {"list",  "prepare-mount", "mount",    "unmount",     "repair",
                             "login", "forget",        "shutdown", "preferences", "other"};
    const std::string bad[] = {
        R"({"version":9,"operationID":"OP","action":"A"})",
        R"({"version":0,"operationID":"OP","action":"A"})",
        R"({"version":2.0,"operationID":"OP","action":"A"})",
        R"({"version":"1","operationID":"OP","action":"A"})",
        R"({"operationID":"OP","action":"A"})",
        R"({"version":1,"operationID":"not-a-uuid","action":"A"})",
        R"({"version":1,"action":"A"})",
    };
    std::string op = new_uuid();
    for (const char *action : actions) {
        for (std::string request : bad) {
            if (size_t at = request.find("OP"); at != std::string::npos)
                request.replace(at, 2, op);
            request.replace(request.find("\"A\""), 3, std::string("\"") + action + "\"");
            ParsedReply reply(ask(request));
            EXPECT_EQ("protocol", reply.code()) << request;
            EXPECT_EQ(text::kUnsupportedVersion, reply.message()) << request;
            // Every reply carries the full status, also a refused one.
            EXPECT_EQ(service.instance, reply.instance());
            EXPECT_TRUE(json_has(reply.value, "sessions", JsonKind::Array));
            EXPECT_TRUE(json_has(reply.value, "warnings", JsonKind::Array));
        }
    }
}

TEST_F(ServiceState, ActionsAnswerAsDesigned) {
    const std::string id = new_uuid();
    struct Case {
        std::string request;
        std::string code;
        std::string message;
    } cases[] = {
        {request_text("list", 1), "", ""},
        {request_text("list", 8), "", ""},
        {request_text("frobnicate", 1), "protocol", text::kUnknownOperation},
        // Without a library there is nothing to mount at sign-in.
        {request_text("login", 8), "", ""},
        {request_text("forget", 8, "\"entryID\":\"x\""), "protocol", text::kForgetNeedsEntry},
        {request_text("forget", 8), "protocol", text::kForgetNeedsEntry},
        {request_text("preferences", 8, "\"sessionID\":\"" + id + "\",\"preferences\":{}"),
         "session", text::kRefreshBeforePreferences},
        {request_text("prepare-mount", 4, "\"path\":\"/x.zcx\""), "protocol",
         text::kPrepareVersion},
        {request_text("prepare-mount", 5), "protocol", text::kPrepareMembers},
        {request_text("prepare-mount", 5, "\"path\":7"), "protocol", text::kPrepareMembers},
        {request_text("prepare-mount", 5, "\"path\":\"/x.zcx\",\"credentials\":\"\""), "protocol",
         text::kPrepareMembers},
        {request_text("repair", 7, "\"path\":\"/x.zcx\",\"credentials\":\"\""), "protocol",
         text::kRepairVersion},
        {request_text("unmount", 1), "protocol", text::kUnmountNeedsId},
        {request_text("unmount", 1, "\"sessionID\":\"abc\""), "protocol", text::kUnmountNeedsId},
        // An unknown session is as unmounted as it can be.
        {request_text("unmount", 1, "\"sessionID\":\"" + id + "\""), "", ""},
        {request_text("shutdown", 3, "\"serviceInstance\":\"" + service.instance + "\""),
         "serviceChanged", text::kShutdownChanged},
        {request_text("shutdown", 4, "\"serviceInstance\":\"" + id + "\""), "serviceChanged",
         text::kShutdownChanged},
        {request_text("mount", 5, "\"serviceInstance\":\"" + id + "\""), "mountRequestExpired",
         text::kInstanceChanged},
        {request_text("mount", 5,
                      "\"serviceInstance\":\"" + service.instance + "\",\"mountTicket\":\"" + id +
                          "\""),
         "mountRequestExpired", text::kTicketExpired},
    };
    for (const Case &c : cases) {
        ParsedReply reply(ask(c.request));
        EXPECT_EQ(c.code, reply.code()) << c.request;
        EXPECT_EQ(c.message, reply.message()) << c.request;
    }
}

TEST_F(ServiceState, PreferencesFollowOneRuleSet) {
    struct Case {
        const char *preferences;
        const char *code;
    } cases[] = {
        {"{}", ""},
        {R"({"readOnly":false})", ""},
        {R"({"idleSeconds":null})", ""},
        {R"({"idleSeconds":1})", ""},
        {R"({"idleSeconds":31536000})", ""},
        {R"({"volumeLabel":7})", ""}, // not a text: counts as absent
        {R"({"volumeLabel":"Ünïcødé name"})", ""},
        {"[]", "protocol"},
        {"true", "protocol"},
        {R"({"mountOnLogin":true,"readOnly":false})", "writeLogin"},
        {R"({"idleSeconds":31536001})", "idle"},
        {R"({"idleSeconds":1.5})", "idle"},
        {R"({"idleSeconds":0})", "idle"},
        {R"({"idleSeconds":"60"})", "idle"},
        {R"({"volumeLabel":""})", "label"},
        {R"({"volumeLabel":" lead"})", "label"},
        {R"({"volumeLabel":".lead"})", "label"},
        {R"({"volumeLabel":"trail "})", "label"},
        {R"({"volumeLabel":"a:b"})", "label"},
        {R"({"volumeLabel":"a/b"})", "label"},
        {R"({"volumeLabel":"a\\b"})", "label"},
        {R"({"volumeLabel":"a\u0001b"})", "label"},
        {R"({"volumeLabel":"a\u007fb"})", "label"},
        // The label is checked before the access rules.
        {R"({"volumeLabel":"","mountOnLogin":true,"readOnly":false})", "label"},
    };
    for (const Case &c : cases) {
        JsonValue *prefs = json_parse_text(c.preferences);
        SessionError err;
        preferences_check(prefs, &err);
        EXPECT_EQ(c.code, err.code) << c.preferences;
        json_free(prefs);
    }
    std::string label100(100, 'a'), label101(101, 'a');
    for (auto [label, code] : {std::pair{label100, ""}, std::pair{label101, "label"}}) {
        JsonValue *prefs = json_new(JsonKind::Object);
        json_set_string(prefs, "volumeLabel", label.c_str());
        SessionError err;
        preferences_check(prefs, &err);
        EXPECT_EQ(code, err.code) << label.size();
        json_free(prefs);
    }
}

TEST_F(ServiceState, CanonicalTextLeavesCredentialsOutAndRebuildsPreferences) {
    const char *request =
        R"({"action":"mount","credentials":"c2VjcmV0","version":5,"operationID":"OP","path":"/a.zcx",)"
        R"("partition":2.5,"preferences":{"volumeLabel":"L","other":1,"idleSeconds":60},"entryID":7,"remember":true})";
    JsonValue *parsed = json_parse_text(request);
    EXPECT_EQ(
        R"({"version":5,"operationID":"OP","path":"/a.zcx","partition":0,"preferences":{"readOnly":true,"mountOnLogin":false,"idleSeconds":60,"volumeLabel":"L"},"remember":true})",
        request_canonical_text(parsed));
    json_free(parsed);
    parsed = json_parse_text(R"({"action":"list"})");
    EXPECT_EQ(R"({"version":1,"operationID":"","path":"","remember":false})",
              request_canonical_text(parsed));
    json_free(parsed);
}

TEST_F(ServiceState, TicketsAreReissuedRefusedWhenChangedAndExpire) {
    const std::string op = new_uuid();
    const std::string prepare =
        request_text("prepare-mount", 5, "\"path\":\"/c/a.zcx\",\"preferences\":{}", op);
    ParsedReply first(ask(prepare));
    ASSERT_TRUE(uuid_is_valid(first.ticket().c_str())) << first.code();
    // The same request, the operation id in upper case: the same ticket.
    std::string upper = op;
    for (char &c : upper)
        c = static_cast<char>(toupper(c));
    ParsedReply again(
        ask(request_text("prepare-mount", 5, "\"path\":\"/c/a.zcx\",\"preferences\":{}", upper)));
    EXPECT_EQ("mountRequestChanged", again.code()) << "the echoed id is part of the request";
    ParsedReply same(ask(prepare));
    EXPECT_EQ(first.ticket(), same.ticket());
    for (const std::string &changed :
         {std::string("\"path\":\"/c/b.zcx\",\"preferences\":{}"),
          std::string("\"path\":\"/c/a.zcx\",\"preferences\":{\"readOnly\":false}"),
          std::string("\"path\":\"/c/a.zcx\",\"preferences\":{},\"partition\":1"),
          std::string("\"path\":\"/c/a.zcx\"")}) {
        ParsedReply reply(ask(request_text("prepare-mount", 5, changed, op)));
        EXPECT_EQ("mountRequestChanged", reply.code()) << changed;
        EXPECT_EQ(text::kRequestChanged, reply.message());
    }
    // A mount whose members differ from its ticket's.
    const std::string instance = "\"serviceInstance\":\"" + service.instance + "\"";
    ParsedReply changed(ask(request_text("mount", 5,
                                         instance + ",\"mountTicket\":\"" + first.ticket() + "\"," +
                                             mount_members("/c/b.zcx"),
                                         op)));
    EXPECT_EQ("mountRequestChanged", changed.code());
    // 64 live tickets; the 65th is refused; expired ones make room.
    for (int i = 1; i < 64; i++)
        ASSERT_TRUE(uuid_is_valid(
            ParsedReply(ask(request_text("prepare-mount", 5, "\"path\":\"/c/a.zcx\"")))
                .ticket()
                .c_str()))
            << i;
    ParsedReply full(ask(request_text("prepare-mount", 5, "\"path\":\"/c/a.zcx\"")));
    EXPECT_EQ("mountRequestsFull", full.code());
    EXPECT_EQ(text::kRequestsFull, full.message());
    {
        std::lock_guard<std::mutex> held(service.lock);
        for (MountTicket &t : service.tickets)
            if (t.ticket == first.ticket())
                t.expiry = monotonic_now() - 1;
    }
    ParsedReply expired(ask(request_text("mount", 5,
                                         instance + ",\"mountTicket\":\"" + first.ticket() +
                                             "\",\"path\":\"/c/a.zcx\",\"preferences\":{}",
                                         op)));
    EXPECT_EQ("mountRequestExpired", expired.code());
    EXPECT_EQ(text::kTicketExpired, expired.message());
    EXPECT_TRUE(uuid_is_valid(ParsedReply(ask(prepare)).ticket().c_str()));
}

TEST_F(ServiceState, AFailedMountRepeatedWithItsTicketFailsAlikeWithoutTrying) {
    const std::string op = new_uuid();
    const std::string path = dir + "/later.zcx";
    std::string ticket =
        ParsedReply(ask(request_text("prepare-mount", 5, "\"path\":\"" + path + "\"", op)))
            .ticket();
    const std::string mount =
        request_text("mount", 5,
                     "\"serviceInstance\":\"" + service.instance + "\",\"mountTicket\":\"" +
                         ticket + "\"," + mount_members(path),
                     op);
    ParsedReply first(ask(mount));
    EXPECT_EQ("source", first.code());
    EXPECT_EQ(text::kSource, first.message());
    // The file appears now, but the ticket's outcome stands.
    make_container(make_fat32_image(dir, "later.img", 33), path);
    ParsedReply second(ask(mount));
    EXPECT_EQ("source", second.code());
    EXPECT_EQ(0u, second.session_count());
}

TEST_F(ServiceState, MountChecksComeBeforeAnyWorker) {
    const std::string image = make_fat32_image(dir, "c.img", 33);
    const std::string container = dir + "/c.zcx";
    make_container(image, container);
    ASSERT_EQ(0, mkdir((dir + "/folder.zcx").c_str(), 0700));
    const std::string guarded = dir + "/guarded.zcx";
    make_container(image, guarded);
    write_bytes(guarded + ".idx", {});
    const std::string journaled = dir + "/journaled.zcx";
    make_container(image, journaled);
    write_bytes(journaled + ".openzcx-journal", {});
    const std::string creds = credentials_text(kPassword);
    const std::string long_creds(12001, 'A');
    const std::string big_creds(10924, 'A'); // 8193 bytes decoded
    struct Case {
        int version;
        std::string members;
        std::string code;
        std::string message;
    } cases[] = {
        {1, "\"path\":\"" + container + "\"", "protocol", text::kNeedsPathAndCredentials},
        {1, "\"credentials\":\"" + creds + "\"", "protocol", text::kNeedsPathAndCredentials},
        {1, "\"path\":\"" + container + "\",\"credentials\":\"" + long_creds + "\"", "protocol",
         text::kNeedsPathAndCredentials},
        {1, mount_members(container, "\"preferences\":{\"idleSeconds\":0}"), "idle",
         "Choose an inactivity period from one second to one year, or turn automatic unmounting "
         "off."},
        {4, mount_members(container, "\"preferences\":{\"readOnly\":false}"), "writeUnsupported",
         text::kWriteUnsupported},
        {3, mount_members(container, "\"remember\":true"), "protocol", text::kRememberNeedsEntry},
        {3, mount_members(container, "\"remember\":true,\"entryID\":\"x\""), "protocol",
         text::kRememberNeedsEntry},
        {1, mount_members(dir + "/missing.zcx"), "source", text::kSource},
        {1, mount_members(dir + "/folder.zcx"), "source", text::kSource},
        {1, mount_members(guarded), "recovery", text::kRecovery},
        {1, mount_members(journaled), "recovery", text::kRecovery},
        {1, "\"path\":\"" + container + "\",\"credentials\":\"not base64!\"", "protocol",
         text::kNeedsPathAndCredentials},
        {1, "\"path\":\"" + container + "\",\"credentials\":\"" + big_creds + "\"", "protocol",
         text::kNeedsPathAndCredentials},
    };
    for (const Case &c : cases) {
        ParsedReply reply(ask(request_text("mount", c.version, c.members)));
        EXPECT_EQ(c.code, reply.code()) << c.members.substr(0, 200);
        EXPECT_EQ(c.message, reply.message()) << c.members.substr(0, 200);
        EXPECT_EQ(0u, reply.session_count());
    }
    // Repairs take only a path and credentials.
    for (const std::string &extra :
         {std::string("\"remember\":true"), std::string("\"preferences\":{}"),
          std::string("\"partition\":1")}) {
        ParsedReply reply(ask(request_text("repair", 8, mount_members(container, extra))));
        EXPECT_EQ("protocol", reply.code()) << extra;
        EXPECT_EQ(text::kRepairMembers, reply.message()) << extra;
    }
    EXPECT_TRUE(run_entries().empty());
    EXPECT_TRUE(g_broker_calls.empty()) << join(g_broker_calls);
}

TEST_F(ServiceState, AContainerHasOneSessionWhateverItsName) {
    const std::string container = dir + "/c.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    ASSERT_EQ(0, link(container.c_str(), (dir + "/other-name.zcx").c_str()));
    put_record("mounted", "", container);
    reload();
    for (const std::string &path : {container, dir + "/other-name.zcx"}) {
        ParsedReply reply(ask(request_text("mount", 1, mount_members(path))));
        EXPECT_EQ("busy", reply.code()) << path;
        EXPECT_EQ(text::kBusy, reply.message());
    }
}

TEST_F(ServiceState, SixteenSessionsFillTheSlots) {
    const std::string container = dir + "/c.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    for (int i = 0; i < 16; i++)
        put_record("recoveryRequired");
    reload();
    ParsedReply reply(ask(request_text("mount", 1, mount_members(container))));
    EXPECT_EQ("limit", reply.code());
    EXPECT_EQ(text::kLimit, reply.message());
    EXPECT_EQ(16u, reply.session_count());
    EXPECT_FALSE(reply.can_restart());
}

TEST_F(ServiceState, RecordsAreLoadedCleanedOrWarnedAbout) {
    const std::string good = put_record("mounted");
    // An interrupted start: only the status, the log and a temporary.
    const std::string started = new_uuid();
    const std::string started_folder = service.run_folder + "/" + started;
    ASSERT_EQ(0, mkdir(started_folder.c_str(), 0700));
    write_bytes(started_folder + "/status.bin", Bytes(80, 0));
    write_bytes(started_folder + "/worker.log", {'x'});
    write_bytes(started_folder + "/session.json." + new_uuid() + ".tmp", {'{'});
    // Damaged: a folder with another file, a record of another id, a
    // record that does not parse, a record with invalid preferences.
    std::vector<std::string> damaged;
    for (int i = 0; i < 4; i++) {
        std::string id = new_uuid();
        std::string folder = service.run_folder + "/" + id;
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        const std::string contents[] = {
            "", "{\"version\":1,\"id\":\"" + new_uuid() + "\"}", "{\"version\":1,",
            "{\"version\":1,\"id\":\"" + id + "\",\"preferences\":{\"idleSeconds\":0}}"};
        if (i == 0)
            write_bytes(folder + "/notes.txt", {'n'});
        else
            write_bytes(folder + "/session.json", Bytes(contents[i].begin(), contents[i].end()));
        damaged.push_back(id);
    }
    std::sort(damaged.begin(), damaged.end());
    // Names that are no sessions are left alone.
    ASSERT_EQ(0, mkdir((service.run_folder + "/not-a-session").c_str(), 0700));
    reload();
    ParsedReply reply(ask(request_text("list", 1)));
    ASSERT_EQ(1u, reply.session_count());
    EXPECT_EQ(good, json_get_string(reply.session(0), "id", ""));
    EXPECT_FALSE(exists(started_folder));
    std::vector<std::string> expected;
    for (const std::string &id : damaged) {
        char *w = format_alloc(text::kDamagedRecord, id.c_str());
        expected.push_back(w);
        free(w);
        EXPECT_TRUE(exists(service.run_folder + "/" + id));
    }
    EXPECT_EQ(expected, reply.warnings());
    EXPECT_FALSE(reply.can_restart());
    // While damage is known every mount is refused.
    ParsedReply refused(ask(request_text("mount", 1, mount_members(dir + "/x.zcx"))));
    EXPECT_EQ("registry", refused.code());
    EXPECT_EQ(text::kDamagedRecords, refused.message());
}

TEST_F(ServiceState, AtMostNineRecordWarningsAreHeld) {
    for (int i = 0; i < 12; i++) {
        std::string folder = service.run_folder + "/" + new_uuid();
        ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
        write_bytes(folder + "/other", {});
    }
    reload();
    std::vector<std::string> warnings = ParsedReply(ask(request_text("list", 1))).warnings();
    ASSERT_EQ(9u, warnings.size());
    EXPECT_EQ(text::kMoreDamagedRecords, warnings[8]);
}

TEST_F(ServiceState, RefreshNoticesWhatChangedBehindTheService) {
    pid_t pid = 0;
    uint64_t start = 0;
    live_process(&pid, &start);
    const std::string alive =
        ",\"workerPID\":" + std::to_string(pid) + ",\"workerStart\":" + std::to_string(start);
    const std::string dead = ",\"workerPID\":999999,\"workerStart\":1";
    const std::string mounted_dead = put_record("mounted", dead, "", 0);
    const std::string starting_dead = put_record("starting", dead, "", 0);
    const std::string attaching_alive = put_record("attaching", alive, "", 0);
    const std::string lost = put_record("mounted", alive, "", 0);
    const std::string vanished = put_record("mounted", dead, "", 1);
    const std::string checked = put_record("repairing", alive, "", 0);
    const std::string checking = put_record("repairing", alive, "", 0);
    g_broker_replies["list"] = "{\"sessions\":[{\"id\":\"" + lost +
                               "\",\"phase\":\"recovery-needed\"},{\"id\":\"" + vanished +
                               "\",\"phase\":\"externally-unmounted\"},{\"id\":\"" + checked +
                               "\",\"phase\":\"repaired\",\"repairClean\":false},{\"id\":\"" +
                               checking + "\",\"phase\":\"repairing\"}]}";
    reload();
    ask(request_text("list", 1));
    EXPECT_EQ("recoveryRequired", phase_of(mounted_dead));
    EXPECT_EQ(text::kWorkerDied, message_of(mounted_dead));
    EXPECT_EQ("recoveryRequired", phase_of(starting_dead));
    EXPECT_EQ(text::kMountInterrupted, message_of(starting_dead));
    EXPECT_EQ("attaching", phase_of(attaching_alive));
    EXPECT_EQ("recoveryRequired", phase_of(lost));
    EXPECT_EQ(text::kConnectionLost, message_of(lost));
    EXPECT_EQ("recoveryRequired", phase_of(checked));
    EXPECT_EQ(text::kCheckInterrupted, message_of(checked));
    EXPECT_EQ("repairing", phase_of(checking));
    // The externally unmounted volume was unmounted at once.
    EXPECT_EQ("(none)", phase_of(vanished));
    EXPECT_FALSE(exists(service.run_folder + "/" + vanished));
    // Changes are on disk at once.
    JsonValue *saved =
        json_read_file((service.run_folder + "/" + lost + "/session.json").c_str(), 65536);
    EXPECT_STREQ("recoveryRequired", json_get_string(saved, "phase", ""));
    json_free(saved);
}

TEST_F(ServiceState, UnmountPathsLeaveNoRecordOrSayWhatToDo) {
    // A normal unmount: the worker confirmed a clean end.
    std::string normal = put_record("mounted");
    reload();
    ParsedReply done(ask(request_text("unmount", 1, "\"sessionID\":\"" + normal + "\"")));
    EXPECT_EQ("", done.code()) << done.message();
    EXPECT_EQ(0u, done.session_count());
    EXPECT_EQ("list,unmount,finalize", join(g_broker_calls));
    EXPECT_TRUE(run_entries().empty());
    EXPECT_TRUE(done.can_restart());

    // A writable session whose worker did not confirm its writes.
    pid_t pid = 0;
    uint64_t start = 0;
    live_process(&pid, &start);
    const std::string alive =
        ",\"workerPID\":" + std::to_string(pid) + ",\"workerStart\":" + std::to_string(start);
    std::string writable = put_record("mounted", alive, "", 1, 5, true);
    reload();
    ParsedReply failed(ask(request_text("unmount", 1, "\"sessionID\":\"" + writable + "\"")));
    EXPECT_EQ("writeFailed", failed.code());
    EXPECT_EQ(text::kWriteFailed, failed.message());
    EXPECT_EQ("writeFailed", phase_of(writable));
    // Unmounting it again dismisses the record without waiting.
    g_broker_calls.clear();
    ParsedReply dismissed(ask(request_text("unmount", 1, "\"sessionID\":\"" + writable + "\"")));
    EXPECT_EQ("", dismissed.code()) << dismissed.message();
    EXPECT_EQ(0u, dismissed.session_count());

    // The broker refuses to detach a mounted disk: nothing changes.
    std::string held = put_record("mounted", alive);
    reload();
    g_broker_replies["unmount"] = "!Files are still open.";
    ParsedReply busy(ask(request_text("unmount", 1, "\"sessionID\":\"" + held + "\"")));
    EXPECT_EQ("busy", busy.code());
    EXPECT_EQ("Files are still open.", busy.message());
    EXPECT_EQ("mounted", phase_of(held));
    // A session that is not mounted keeps the broker's text as what to do.
    std::string broken = put_record("recoveryRequired");
    reload();
    ParsedReply kept(ask(request_text("unmount", 1, "\"sessionID\":\"" + broken + "\"")));
    EXPECT_EQ("unmount", kept.code());
    EXPECT_EQ("recoveryRequired", phase_of(broken));
    EXPECT_EQ("Files are still open.", message_of(broken));

    // Neither finalize nor abandon confirms the clean-up.
    g_broker_replies.erase("unmount");
    g_broker_replies["finalize"] = "!The disk is still attached.";
    g_broker_replies["abandon"] = "!No way.";
    ParsedReply unconfirmed(ask(request_text("unmount", 1, "\"sessionID\":\"" + broken + "\"")));
    EXPECT_EQ("cleanup", unconfirmed.code());
    EXPECT_EQ(std::string("The disk is detached, but the storage service did not confirm "
                          "cleanup. Retry cleanup.\nNo way."),
              unconfirmed.message());
    EXPECT_EQ("recoveryRequired", phase_of(broken));
    // Abandon alone is enough.
    g_broker_replies.erase("abandon");
    EXPECT_EQ(
        "",
        ParsedReply(ask(request_text("unmount", 1, "\"sessionID\":\"" + broken + "\""))).code());
    EXPECT_EQ("(none)", phase_of(broken));
}

TEST_F(ServiceState, ShutdownOnlyWhenNothingIsLeft) {
    const std::string shutdown =
        request_text("shutdown", 4, "\"serviceInstance\":\"" + service.instance + "\"");
    std::string id = put_record("mounted", ",\"workerPID\":999999,\"workerStart\":1");
    reload();
    ParsedReply busy(ask(shutdown));
    EXPECT_EQ("serviceBusy", busy.code());
    EXPECT_EQ(text::kServiceBusy, busy.message());
    EXPECT_FALSE(service.stopping);
    EXPECT_EQ(1u, busy.session_count());
    // A session folder that no slot holds still blocks a restart.
    std::string stray = service.run_folder + "/" + new_uuid();
    ASSERT_EQ(0, mkdir(stray.c_str(), 0700));
    write_bytes(stray + "/notes", {});
    ask(request_text("unmount", 1, "\"sessionID\":\"" + id + "\""));
    {
        std::lock_guard<std::mutex> held(service.lock);
        service.warnings.clear();
    }
    EXPECT_EQ("serviceBusy", ParsedReply(ask(shutdown)).code());
    ASSERT_TRUE(shell("rm -rf '" + stray + "'"));
    ParsedReply stopped(ask(shutdown));
    EXPECT_EQ("", stopped.code());
    EXPECT_TRUE(service.stopping);
    ParsedReply after(ask(request_text("list", 1)));
    EXPECT_EQ("serviceChanged", after.code());
    EXPECT_EQ(text::kRestarting, after.message());
}

// Workers that misbehave, as scripts in place of tarnwick-worker.
TEST_F(ServiceState, WorkerStartFailuresRemoveTheSession) {
    const std::string container = dir + "/c.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    struct Case {
        std::string script; // empty: a program that does not exist
        std::string code;
        std::string message;
    } cases[] = {
        {"", "installation", text::kInstallation},
        {"exit 0", "worker", text::kWorkerNoLine},
        {"echo '{\"event\":\"ready\",\"version\":2}'", "worker", text::kWorkerVersion},
        {"echo 'not json'", "worker", text::kWorkerNoLine},
        {"echo '{\"event\":\"error\",\"code\":\"io\",\"message\":\"Disk trouble.\",\"version\":1}'",
         "io", "Disk trouble."},
        {"echo '{\"event\":\"error\",\"version\":1}'", "worker", text::kWorkerStopped},
    };
    for (const Case &c : cases) {
        std::string program = dir + "/worker.sh";
        unlink(program.c_str());
        if (!c.script.empty()) {
            std::string body = "#!/bin/sh\ncat > /dev/null\n" + c.script + "\n";
            write_bytes(program, Bytes(body.begin(), body.end()));
            chmod(program.c_str(), 0700);
        }
        service.worker_program = program;
        ParsedReply reply(ask(request_text("mount", 1, mount_members(container))));
        EXPECT_EQ(c.code, reply.code()) << c.script;
        EXPECT_EQ(c.message, reply.message()) << c.script;
        EXPECT_EQ(0u, reply.session_count());
        EXPECT_TRUE(run_entries().empty()) << c.script;
    }
    EXPECT_EQ("", join(g_broker_calls));
}

TEST_F(ServiceState, AWrongPasswordReachesTheCallerFromTheRealWorker) {
    const std::string container = dir + "/c.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    std::string members = "\"path\":\"" + container + "\",\"credentials\":\"" +
                          credentials_text("wrong password") + "\"";
    ParsedReply reply(ask(request_text("mount", 1, members)));
    EXPECT_EQ("credentials", reply.code()) << reply.message();
    EXPECT_FALSE(reply.message().empty());
    EXPECT_EQ(0u, reply.session_count());
    EXPECT_TRUE(run_entries().empty());
    EXPECT_EQ("", join(g_broker_calls)) << "nothing was attached";
}

TEST_F(ServiceState, AReadyWorkerIsAttachedWithItsTargetAndRecorded) {
    const std::string container = dir + "/Holiday Photos.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    // A worker that announces its target, then waits for its input to end.
    std::string program = dir + "/worker.sh";
    std::string body = "#!/bin/sh\ncat > /dev/null\n"
                       "echo '{\"event\":\"ready\",\"port\":3260,\"target\":\"iqn.x:y\","
                       "\"chapName\":\"tarnwick\",\"chapSecret\":\"ABCDEFGHJKLMNPQR\","
                       "\"info\":{\"verified\":true},\"version\":1}'\nsleep 0.3\n";
    write_bytes(program, Bytes(body.begin(), body.end()));
    chmod(program.c_str(), 0700);
    service.worker_program = program;
    g_broker_replies["attach"] =
        R"({"id":"x","mountPoint":"/run/media/u/Holiday Photos","volume":"/dev/loop9","filesystem":"FAT32","volumeLabel":"TWTEST","phase":"mounted"})";
    const std::string op = new_uuid();
    ParsedReply reply(ask(request_text(
        "mount", 3,
        mount_members(container, "\"partition\":2,\"preferences\":{\"idleSeconds\":60}"), op)));
    ASSERT_EQ("", reply.code()) << reply.message();
    ASSERT_EQ(1u, reply.session_count());
    const JsonValue *record = reply.session(0);
    std::string id = json_get_string(record, "id", "");
    EXPECT_EQ("mounted", std::string(json_get_string(record, "phase", "")));
    EXPECT_EQ(op, json_get_string(record, "operationID", ""));
    EXPECT_EQ(container, json_get_string(record, "path", ""));
    EXPECT_EQ("Holiday Photos", std::string(json_get_string(record, "explorerName", "")));
    EXPECT_EQ("/run/media/u/Holiday Photos",
              std::string(json_get_string(record, "mountPoint", "")));
    EXPECT_EQ("FAT32", std::string(json_get_string(record, "filesystem", "")));
    EXPECT_TRUE(json_get_bool(json_get(record, "info"), "verified", false));
    EXPECT_TRUE(json_get_bool(json_get(record, "preferences"), "readOnly", false));
    EXPECT_EQ(60, json_get_int(json_get(record, "preferences"), "idleSeconds", 0));
    EXPECT_FALSE(json_get_bool(record, "writable", true));
    EXPECT_GT(json_get_int(record, "workerPID", 0), 0);
    ASSERT_EQ(1u, g_broker_requests.size());
    JsonValue *attach = json_parse_text(g_broker_requests[0].c_str());
    EXPECT_STREQ("attach", json_get_string(attach, "action", ""));
    EXPECT_EQ(id, json_get_string(attach, "id", ""));
    EXPECT_EQ(3260, json_get_int(attach, "port", 0));
    EXPECT_STREQ("iqn.x:y", json_get_string(attach, "target", ""));
    EXPECT_STREQ("tarnwick", json_get_string(attach, "chapName", ""));
    EXPECT_STREQ("ABCDEFGHJKLMNPQR", json_get_string(attach, "chapSecret", ""));
    EXPECT_TRUE(json_get_bool(attach, "readOnly", false));
    EXPECT_EQ(2, json_get_int(attach, "partition", 0));
    EXPECT_STREQ("Holiday Photos", json_get_string(attach, "mountName", ""));
    EXPECT_EQ(json_get_int(record, "workerPID", 0), json_get_int(attach, "workerPid", -1));
    EXPECT_EQ(json_get_int(record, "workerStart", 0), json_get_int(attach, "workerStart", -1));
    json_free(attach);
    // The record on disk is the one in the reply, without the CHAP secret.
    Bytes saved = read_bytes(service.run_folder + "/" + id + "/session.json");
    EXPECT_EQ(std::string::npos, std::string(saved.begin(), saved.end()).find("ABCDEFGH"));
    // A second container of the same name gets a numbered label.
    const std::string second = dir + "/sub/Holiday Photos.zcx";
    ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0700));
    make_container(dir + "/c.img", second);
    ParsedReply two(ask(request_text("mount", 3, mount_members(second))));
    ASSERT_EQ("", two.code()) << two.message();
    int slot = session_find(&service, json_get_string(two.session(1), "id", ""));
    ASSERT_GE(slot, 0);
    EXPECT_STREQ("Holiday Photos (2)",
                 json_get_string(service.slots[slot].record, "explorerName", ""));
    // A label the mount-point rules refuse is not offered as the name.
    const std::string hidden = dir + "/.hidden.zcx";
    make_container(dir + "/c.img", hidden);
    g_broker_requests.clear();
    ParsedReply dotted(ask(request_text("mount", 3, mount_members(hidden))));
    ASSERT_EQ("", dotted.code()) << dotted.message();
    ASSERT_FALSE(g_broker_requests.empty());
    EXPECT_EQ(std::string::npos, g_broker_requests.back().find("mountName"))
        << g_broker_requests.back();
    // A failed attach unmounts again and passes the broker's text on.
    g_broker_replies["attach"] = "!No driver for this filesystem.";
    const std::string third = dir + "/third.zcx";
    make_container(dir + "/c.img", third);
    ParsedReply refused(ask(request_text("mount", 3, mount_members(third))));
    EXPECT_EQ("mount", refused.code());
    EXPECT_EQ("No driver for this filesystem.", refused.message());
    EXPECT_EQ(3u, refused.session_count());
}

// Check and Repair: the broker checks with the service lock given up, the
// report comes back, the session is unmounted again.
Service *g_repairing_service = nullptr;
bool g_lock_was_free = false;
std::string g_repair_reply;

int repairing_broker(JsonValue *request, JsonValue **reply, std::string *message) {
    if (strcmp(json_get_string(request, "action", ""), "repair") == 0) {
        g_lock_was_free = g_repairing_service->lock.try_lock();
        if (g_lock_was_free)
            g_repairing_service->lock.unlock();
        g_broker_replies["repair"] = g_repair_reply;
    }
    return fake_broker(request, reply, message);
}

TEST_F(ServiceState, RepairChecksWithoutTheLockAndReportsTheCheck) {
    const std::string container = dir + "/c.zcx";
    make_container(make_fat32_image(dir, "c.img", 33), container);
    std::string program = dir + "/worker.sh";
    std::string body =
        "#!/bin/sh\ncat > /dev/null\n"
        "echo '{\"event\":\"ready\",\"port\":3260,\"target\":\"iqn.x:y\","
        "\"chapName\":\"tarnwick\",\"chapSecret\":\"ABCDEFGHJKLMNPQR\","
        "\"version\":1}'\n"
        // The status says the worker ended cleanly (layout 1, exited).
        "printf '\\001\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\001' | "
        "dd of=\"$4\" conv=notrunc status=none\n";
    write_bytes(program, Bytes(body.begin(), body.end()));
    chmod(program.c_str(), 0700);
    service.worker_program = program;
    g_repairing_service = &service;
    sessions_set_broker_for_testing(repairing_broker);
    // Repairs need a current client.
    ParsedReply old(ask(request_text("repair", 7, mount_members(container))));
    EXPECT_EQ("protocol", old.code());

    g_repair_reply = R"({"filesystem":"FAT32","repairTool":"fsck.vfat","repairStatus":0,)"
                     R"("repairOutput":"clean","repairClean":true,"phase":"repaired"})";
    ParsedReply clean(ask(request_text("repair", 8, mount_members(container))));
    EXPECT_EQ("", clean.code()) << clean.message();
    EXPECT_TRUE(g_lock_was_free) << "other requests are served during the check";
    const JsonValue *report = json_get(clean.value, "repair");
    EXPECT_STREQ("FAT32", json_get_string(report, "filesystem", ""));
    EXPECT_STREQ("fsck.vfat", json_get_string(report, "repairTool", ""));
    EXPECT_TRUE(json_get_bool(report, "repairClean", false));
    // This worker made no "Repaired" event, so it could not be told.
    EXPECT_STREQ(text::kMarkerError, json_get_string(report, "markerError", ""));
    EXPECT_EQ(0u, clean.session_count());
    EXPECT_TRUE(run_entries().empty());
    ASSERT_FALSE(g_broker_requests.empty());
    JsonValue *sent = nullptr;
    for (const std::string &r : g_broker_requests)
        if (r.find("\"action\":\"repair\"") != std::string::npos)
            sent = json_parse_text(r.c_str());
    EXPECT_FALSE(json_get_bool(sent, "readOnly", true));
    EXPECT_EQ(0, json_get_int(sent, "partition", -1));
    json_free(sent);

    // A refused check is the failure, and nothing stays.
    g_repair_reply = R"({"refused":"No volume of this disk can be checked."})";
    ParsedReply refused(ask(request_text("repair", 8, mount_members(container))));
    EXPECT_EQ("mount", refused.code());
    EXPECT_EQ("No volume of this disk can be checked.", refused.message());
    EXPECT_EQ(0u, refused.session_count());
    // A check that did not finish says so.
    g_repair_reply = "!The storage service did not reply.";
    ParsedReply lost(ask(request_text("repair", 8, mount_members(container))));
    EXPECT_EQ("The filesystem check did not finish: The storage service did not reply.",
              lost.message());
    EXPECT_TRUE(run_entries().empty());
    // A clean check whose worker did not confirm its end keeps the session.
    std::string silent = dir + "/silent.sh";
    body = body.substr(0, body.find("printf"));
    write_bytes(silent, Bytes(body.begin(), body.end()));
    chmod(silent.c_str(), 0700);
    service.worker_program = silent;
    g_repair_reply = R"({"repairClean":true})";
    ParsedReply unreleased(ask(request_text("repair", 8, mount_members(container))));
    EXPECT_EQ("writeFailed", unreleased.code());
    EXPECT_EQ(std::string("The filesystem check finished and found the filesystem clean, but the "
                          "disk was not released: ") +
                  text::kRepairWriteFailed,
              unreleased.message());
    ASSERT_EQ(1u, unreleased.session_count());
    EXPECT_STREQ("writeFailed", json_get_string(unreleased.session(0), "phase", ""));
}

} // namespace
} // namespace tw::test
