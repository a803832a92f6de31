// The mount service's commands through the real tarnwick program, against a
// scripted service (tarnwick-test-service) that records what it was sent:
// the requests, the ticket flow and its one repetition, the checks of every
// reply, the outputs and exit codes, and the usage errors.
#include "cli/tests/support/cli_runner.h"

#include "runtime/json.h"
#include "runtime/text.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tw::test::CliOptions;
using tw::test::CliRun;
using tw::test::run_cli;
using tw::test::Sandbox;

constexpr const char *kSession = "0f0e0d0c-0b0a-4908-8706-050403020100";
constexpr const char *kInstance = "00000000-0000-4000-8000-000000000001";

std::string mounted_sessions() {
    return std::string(R"("sessions":[{"id":")") + kSession +
           R"(","phase":"mounted","path":"/data/photos.zcx","mountPoint":"/run/media/u/PHOTOS"}])";
}

// The script's replies: a ticket, then the mount's sessions.
std::string mount_script(const std::string &extra_mount_replies = "") {
    return std::string(R"({"replies":[{"mountTicket":"11111111-2222-4333-8444-555555555555",)"
                       R"("_self":true,"sessions":[]},)") +
           extra_mount_replies + "{" + mounted_sessions() + R"(,"_exit":true}]})";
}

struct Request {
    tw::JsonValue *value = nullptr;
    explicit Request(const std::string &text) : value(tw::json_parse_text(text.c_str())) {}
    ~Request() { tw::json_free(value); }
    std::string text(const char *key) const { return tw::json_get_string(value, key, "<none>"); }
    int64_t number(const char *key) const { return tw::json_get_int(value, key, -1); }
};

std::string base64(const std::string &bytes) {
    char *text = tw::base64_encode(bytes.data(), bytes.size());
    std::string s = text;
    std::free(text);
    return s;
}

TEST(ServiceCommands, MountPreparesATicketThenMountsWithThePassword) {
    Sandbox box;
    box.fake_service(mount_script());
    CliRun run = run_cli(
        box, CliOptions{{"mount", "photos.zcx", "--password-stdin", "--label", "Holiday 2026"},
                        "secret\n"});
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(std::string(kSession) +
                  "  mounted  /data/photos.zcx\n  Mount point: " + "/run/media/u/PHOTOS\n",
              run.out);

    std::vector<std::string> requests = box.service_requests();
    ASSERT_EQ(2u, requests.size());
    Request prepare(requests[0]), mount(requests[1]);
    EXPECT_EQ("prepare-mount", prepare.text("action"));
    EXPECT_EQ(5, prepare.number("version")); // read-only
    EXPECT_EQ(box.dir() + "/photos.zcx", prepare.text("path"));
    EXPECT_FALSE(tw::json_has(prepare.value, "credentials", tw::JsonKind::String));
    EXPECT_FALSE(tw::json_has(prepare.value, "partition", tw::JsonKind::Number));
    const tw::JsonValue *preferences = tw::json_get(prepare.value, "preferences");
    EXPECT_TRUE(tw::json_get_bool(preferences, "readOnly", false));
    EXPECT_STREQ("Holiday 2026", tw::json_get_string(preferences, "volumeLabel", ""));
    EXPECT_TRUE(tw::uuid_is_valid(prepare.text("operationID").c_str()));

    // The mount repeats the prepared request, with the ticket, the instance
    // and the credential request.
    EXPECT_EQ("mount", mount.text("action"));
    EXPECT_EQ(prepare.text("operationID"), mount.text("operationID"));
    EXPECT_EQ(5, mount.number("version"));
    EXPECT_EQ("11111111-2222-4333-8444-555555555555", mount.text("mountTicket"));
    EXPECT_EQ(kInstance, mount.text("serviceInstance"));
    EXPECT_EQ(base64(tw::test::request_bytes(1, "secret")), mount.text("credentials"));
    EXPECT_EQ(prepare.text("path"), mount.text("path"));
}

TEST(ServiceCommands, WritableMountWithAPartitionAsJson) {
    Sandbox box;
    box.fake_service(mount_script());
    CliRun run = run_cli(box, CliOptions{{"mount", "@/c.zcx", "--password-stdin", "--partition",
                                          "128", "--experimental-write", "--json"},
                                         ""});
    ASSERT_EQ(0, run.exit_code) << run.err;
    tw::JsonValue *sessions = tw::json_parse_text(run.out.c_str());
    ASSERT_NE(nullptr, sessions) << run.out;
    EXPECT_EQ(tw::JsonKind::Array, sessions->kind);
    EXPECT_STREQ(kSession, tw::json_get_string(tw::json_first(sessions), "id", ""));
    tw::json_free(sessions);
    Request prepare(box.service_requests().at(0));
    EXPECT_EQ(7, prepare.number("version"));
    EXPECT_EQ(128, prepare.number("partition"));
    EXPECT_FALSE(tw::json_get_bool(tw::json_get(prepare.value, "preferences"), "readOnly", true));
}

TEST(ServiceCommands, AMountThatWasNotDeliveredIsSentOnceMoreWithTheSameTicket) {
    Sandbox box;
    box.fake_service(mount_script(R"({"_drop":true},)"));
    CliRun run = run_cli(box, CliOptions{{"mount", "c.zcx", "--password-stdin"}, "pw"});
    ASSERT_EQ(0, run.exit_code) << run.err;
    std::vector<std::string> requests = box.service_requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(requests[1], requests[2]); // same operation, ticket and credentials

    // Twice undelivered: the failure stands, and nothing is sent a third time.
    Sandbox twice;
    twice.fake_service(mount_script(R"({"_drop":true},{"_drop":true},)"));
    run = run_cli(twice, CliOptions{{"mount", "c.zcx", "--password-stdin"}, "pw"});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("The mount service did not reply. Refresh the sessions before retrying; the "
              "operation may have finished.\n",
              run.err);
    EXPECT_EQ(3u, twice.service_requests().size());
}

TEST(ServiceCommands, RepliesAreCheckedBeforeTheyAreBelieved) {
    struct Case {
        const char *name;
        const char *reply;
        int exit_code;
        const char *err;
    } cases[] = {
        {"other version", R"({"version":2,"sessions":[]})", 1,
         "The mount service returned an incompatible reply.\n"},
        {"other operation", R"({"operationID":"99999999-2222-4333-8444-555555555555"})", 1,
         "The mount service returned an incompatible reply.\n"},
        {"error with its code", R"({"error":{"code":"serviceChanged","message":"Restarting."}})", 1,
         "Restarting.\n"},
        {"error without a message", R"({"error":{}})", 1, "The mount operation failed.\n"},
        {"credentials", R"({"error":{"code":"credentials","message":"Wrong password."}})", 2,
         "Wrong password.\n"},
        {"older service", R"({"error":{"code":"protocol","message":"Unknown mount operation."}})",
         1,
         "The running mount service does not support this operation. Unmount all containers "
         "before restarting the service with this build. Existing mounts have been left "
         "running.\n"},
        {"no ticket", R"({"sessions":[]})", 1,
         "The mount service did not authorize this request. Refresh its status before "
         "retrying.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_service(std::string(R"({"replies":[)") + c.reply + "]}");
        CliRun run = run_cli(box, CliOptions{{"mount", "c.zcx", "--password-stdin"}, "pw"});
        EXPECT_EQ(c.exit_code, run.exit_code) << c.name;
        EXPECT_EQ(c.err, run.err) << c.name;
        EXPECT_EQ("", run.out) << c.name;
        EXPECT_EQ(1u, box.service_requests().size()) << c.name;
    }
}

TEST(ServiceCommands, SessionsAsATableAndAsJson) {
    Sandbox box;
    const std::string sessions =
        std::string(R"({"sessions":[{"id":"aaaaaaaa-0000-4000-8000-000000000000",)") +
        R"("phase":"recoveryRequired","path":"/b.zcx","message":"Unmount it again."},)" +
        R"({"id":")" + kSession +
        R"(","phase":"mounted","path":"/data/photos.zcx","mountPoint":"/run/media/u/PHOTOS"}]})";
    box.fake_service(R"({"replies":[)" + sessions + R"(,{"sessions":[]}]})");
    CliRun run = run_cli(box, CliOptions{{"sessions"}});
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("SESSION                               PHASE             MOUNT POINT          "
              "CONTAINER\n"
              "aaaaaaaa-0000-4000-8000-000000000000  recoveryRequired  -                    "
              "/b.zcx\n"
              "  Unmount it again.\n"
              "0f0e0d0c-0b0a-4908-8706-050403020100  mounted           /run/media/u/PHOTOS  "
              "/data/photos.zcx\n",
              run.out);
    run = run_cli(box, CliOptions{{"sessions", "--json"}});
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("[]\n", run.out);
    // The scripted service has ended with its script; the client starts it
    // again, and so its first answer comes once more.
    run = run_cli(box, CliOptions{{"sessions", "--json"}});
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(3u, box.service_requests().size());
    EXPECT_NE(std::string::npos, run.out.find("recoveryRequired")) << run.out;
}

TEST(ServiceCommands, UnmountLowerCasesTheIdAndSaysUnmounted) {
    Sandbox box;
    box.fake_service(R"({"replies":[{"sessions":[]},{"sessions":[]}]})");
    std::string upper = kSession;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    CliRun run = run_cli(box, CliOptions{{"unmount", upper}});
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("Unmounted.\n", run.out);
    Request request(box.service_requests().at(0));
    EXPECT_EQ("unmount", request.text("action"));
    EXPECT_EQ(kSession, request.text("sessionID"));
    run = run_cli(box, CliOptions{{"unmount", kSession, "--json"}});
    EXPECT_EQ("[]\n", run.out);
}

TEST(ServiceCommands, RepairReportAndItsExitCode) {
    struct Case {
        const char *report;
        int exit_code;
        const char *out;
    } cases[] = {
        {R"({"repairClean":true,"filesystem":"FAT32","repairStatus":0,"repairOutput":"ok"})", 0,
         "ok\nFAT32: clean (fsck exit 0)\nWrite access is available again.\n"},
        {R"({"repairClean":false,"repairStatus":4,"repairError":"Errors remain."})", 1,
         "Filesystem: problems remain (fsck exit 4)\nErrors remain.\n"},
        {R"({"repairClean":true,"filesystem":"exFAT","repairStatus":1,"markerError":"Kept."})", 1,
         "exFAT: clean (fsck exit 1)\nKept.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_service(std::string(R"({"replies":[{"repair":)") + c.report + "}]}");
        CliRun run = run_cli(box, CliOptions{{"repair", "c.zcx", "--password-stdin"}, "pw\n"});
        EXPECT_EQ(c.exit_code, run.exit_code) << c.report << run.err;
        EXPECT_EQ(c.out, run.out) << c.report;
        Request request(box.service_requests().at(0));
        EXPECT_EQ(8, request.number("version"));
        EXPECT_EQ(box.dir() + "/c.zcx", request.text("path"));
        EXPECT_EQ(base64(tw::test::request_bytes(1, "pw")), request.text("credentials"));
    }
    Sandbox none;
    none.fake_service(R"({"replies":[{"sessions":[]}]})");
    CliRun run = run_cli(none, CliOptions{{"repair", "c.zcx", "--password-stdin"}, "pw"});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("The mount service returned no repair report.\n", run.err);
}

TEST(ServiceCommands, StatusStopAndRestart) {
    Sandbox box;
    // The fake is this installation's service (same build, same path) and
    // may restart; the build covers the worker next to it.
    std::ofstream(box.bin() + "/tarnwick-worker") << "worker";
    box.fake_service(std::string(R"({"replies":[{"_self":true,"warnings":["A record is )") +
                     R"(damaged."]},{"_self":true},{"_exit":true}]})");
    CliRun run = run_cli(box, CliOptions{{"service-status"}});
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("Mount service: current\nService can restart.\nA record is damaged.\n", run.out);

    // Stopping asks the running service for its identity, then waits for
    // it to end after the shutdown request.
    run = run_cli(box, CliOptions{{"stop-service", "--json"}});
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("{\"stopped\":true}\n", run.out);
    ASSERT_EQ(3u, box.service_requests().size());
    Request shutdown(box.service_requests().back());
    EXPECT_EQ("shutdown", shutdown.text("action"));
    EXPECT_EQ(4, shutdown.number("version"));
    EXPECT_EQ(kInstance, shutdown.text("serviceInstance"));

    // With no service running, stopping succeeds at once and starts none.
    run = run_cli(box, CliOptions{{"stop-service"}});
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("Mount service stopped.\n", run.out);
    EXPECT_EQ(3u, box.service_requests().size());

    // A busy service refuses the shutdown; restart reports it.
    Sandbox busy;
    busy.fake_service(std::string(R"({"replies":[{"_self":true,"_canRestart":false},)") +
                      R"({"_self":true,"_canRestart":false},)" +
                      R"({"error":{"code":"serviceBusy","message":"Unmount all containers )"
                      R"(first."},"_exit":true}]})");
    busy.fake_engine("exit 0");
    std::ofstream(busy.bin() + "/tarnwick-worker") << "";
    run = run_cli(busy, CliOptions{{"service-status"}});
    EXPECT_EQ("Mount service: current\nUnmount containers and finish recovery before restarting "
              "the service.\n",
              run.out);
    run = run_cli(busy, CliOptions{{"restart-service"}});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("Unmount all containers first.\n", run.err);

    // Without the helpers next to the program nothing is stopped.
    Sandbox bare;
    run = run_cli(bare, CliOptions{{"restart-service"}});
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ("The replacement mount helpers changed or are missing. Reinstall Tarnwick before "
              "restarting the service.\n",
              run.err);
}

TEST(ServiceCommands, AServiceThatCannotStartIsReported) {
    Sandbox box; // no tarnwick-service next to the program
    for (const char *command : {"sessions", "service-status"}) {
        CliRun run = run_cli(box, CliOptions{{command}});
        EXPECT_EQ(1, run.exit_code) << command;
        EXPECT_EQ("The mount service could not start. Check the installation and runtime "
                  "directory permissions.\n",
                  run.err)
            << command;
    }
}

TEST(ServiceCommands, UsageErrorsRunNothing) {
    const char *hint =
        "Use tarnwick sessions to find the session UUID, then tarnwick unmount UUID.";
    struct Case {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"mount"}, "Incorrect arguments. Run tarnwick --help."},
        {{"mount", "a.zcx", "b.zcx"}, "Incorrect arguments. Run tarnwick --help."},
        {{"mount", "a.zcx", "--partition", "0"},
         "Use --partition with a positive data-volume number."},
        {{"mount", "a.zcx", "--partition", "129"},
         "Use --partition with a positive data-volume number."},
        {{"mount", "a.zcx", "--partition", "x"},
         "Use --partition with a positive data-volume number."},
        {{"mount", "a.zcx", "--label"}, "Use --label with a mount name."},
        {{"mount", "a.zcx", "--label", " Lead"},
         "Use a mount label of 1 to 100 UTF-8 bytes without slashes, colons, control "
         "characters, a leading dot, or surrounding spaces."},
        {{"mount", "a.zcx", "--label", "a:b"},
         "Use a mount label of 1 to 100 UTF-8 bytes without slashes, colons, control "
         "characters, a leading dot, or surrounding spaces."},
        {{"mount", "a.zcx", "--credentials-stdin"},
         "Use --credentials-stdin for creation, conversion or replacement, or --password-stdin "
         "for other credential operations."},
        {{"sessions", "--experimental-write"}, "Use --experimental-write only with mount."},
        {{"repair", "a.zcx", "--label", "x"}, "Use --label with a mount name."},
        {{"repair", "a.zcx", "--partition", "1"},
         "Use --partition with a positive data-volume number."},
        {{"unmount"}, hint},
        {{"unmount", "not-a-uuid"}, hint},
        {{"unmount", kSession, kSession}, hint},
        {{"unmount", kSession, "--password-stdin"},
         "Use --credentials-stdin for creation, conversion or replacement, or --password-stdin "
         "for other credential operations."},
        {{"repair"}, "Use tarnwick repair FILE."},
        {{"repair", "a", "b"}, "Use tarnwick repair FILE."},
        {{"sessions", "extra"}, "Incorrect arguments. Run tarnwick --help."},
        {{"service-status", "extra"}, "Incorrect arguments. Run tarnwick --help."},
        {{"restart-service", "extra"}, "Incorrect arguments. Run tarnwick --help."},
        {{"stop-service", "extra"}, "Incorrect arguments. Run tarnwick --help."},
        {{"stop-service", "--force"}, "Unknown option. Run tarnwick --help."},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_service(R"({"replies":[{"sessions":[]}]})");
        CliRun run = run_cli(box, CliOptions{c.args, "pw"});
        std::string shown;
        for (const std::string &a : c.args)
            shown += a + " ";
        EXPECT_EQ(1, run.exit_code) << shown;
        EXPECT_EQ(std::string(c.err) + "\n", run.err) << shown;
        EXPECT_TRUE(box.service_requests().empty()) << shown;
    }
}

} // namespace

namespace {

TEST(ServiceCommands, DoctorNamesTheSessionServiceAndWhetherItAnswers) {
    Sandbox box;
    box.fake_engine("exit 0");
    CliRun run = run_cli(box, CliOptions{{"doctor"}});
    EXPECT_NE(std::string::npos, run.out.find("\nSession service: missing\n")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\nThe Tarnwick session service is missing.\n"));
    // Each filesystem names the driver it would be mounted with.
    for (const char *line : {"\nFAT32 driver: ", "\nexFAT driver: ", "\nNTFS driver: "})
        EXPECT_NE(std::string::npos, run.out.find(line)) << run.out;

    box.fake_service(R"({"replies":[{"sessions":[]},{"sessions":[]}]})");
    run = run_cli(box, CliOptions{{"doctor", "--json"}});
    EXPECT_NE(std::string::npos, run.out.find(R"("sessionService":"stopped")")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(R"("filesystemDrivers":{"FAT32":{"available":)"))
        << run.out;
    ASSERT_EQ(0, run_cli(box, CliOptions{{"sessions"}}).exit_code); // starts it
    run = run_cli(box, CliOptions{{"doctor"}});
    EXPECT_NE(std::string::npos, run.out.find("\nSession service: running\n")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("session service is missing")) << run.out;
    // The check sent the service nothing: its second answer is still due.
    EXPECT_EQ(0, run_cli(box, CliOptions{{"sessions"}}).exit_code);
    EXPECT_EQ(2u, box.service_requests().size());
}

} // namespace
