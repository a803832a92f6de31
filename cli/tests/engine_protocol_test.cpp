// How tarnwick reads the engine's event lines: every malformed answer is a
// failure with its own sentence, the engine's standard error is appended,
// and only a clean result with exit code 0 counts as success. The engine
// here is a script that prints exactly the lines each case needs.
#include "support/cli_runner.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace tw::test;

// A shell line that prints one event line.
const std::string kResult =
    R"({"event":"result","format":"salted","size":1048576,"cipher":"AES-256-XTS",)"
    R"("verified":true,"filesystem":"FAT32","version":1})";

// A broken answer also stops the engine: it is cancelled through its event.
TEST(EngineProtocol, InvalidProgressCancelsTheEngine) {
    Sandbox box;
    box.fake_engine(
        engine_creates_cancel_event() +
        engine_prints(R"({"event":"progress","phase":"verifying","fraction":1.5,"version":1})") +
        "\n" + engine_waits_for_cancel() + "exit 1");
    CliRun run = run_cli(box, CliOptions{{"verify", "c.zcx", "--password-stdin"}, "pw\n"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "The engine returned invalid progress.\n");
    EXPECT_TRUE(box.has("saw-cancel"));
}

TEST(EngineProtocol, MalformedAnswersFailWithTheirOwnSentence) {
    const std::string stopped = "The engine stopped before completing the operation.";
    struct Case {
        const char *name;
        std::string script;
        int exit_code;
        std::string message; // the whole of standard error
    } cases[] = {
        {"fraction above 1",
         engine_prints(R"({"event":"progress","phase":"verifying","fraction":1.5,"version":1})") +
             "\n" + engine_prints(kResult),
         1, "The engine returned invalid progress."},
        {"negative fraction", engine_prints(R"({"event":"progress","fraction":-0.01,"version":1})"),
         1, "The engine returned invalid progress."},
        {"fraction missing",
         engine_prints(R"({"event":"progress","phase":"verifying","version":1})"), 1,
         "The engine returned invalid progress."},
        {"fraction as text", engine_prints(R"({"event":"progress","fraction":"0.5","version":1})"),
         1, "The engine returned invalid progress."},
        {"exit 0 without a result",
         engine_prints(R"({"event":"progress","phase":"verifying","fraction":1,"version":1})"), 1,
         stopped},
        {"nothing at all", "exit 0", 1, stopped},
        {"result but a failing exit code", engine_prints(kResult) + "\nexit 3", 1, stopped},
        {"partial last line", engine_prints(kResult) + "\nprintf '{\"event\"'", 1, stopped},
        {"unknown event", engine_prints(R"({"event":"done","version":1})"), 1,
         "The engine returned an unknown response."},
        {"version 2", engine_prints(R"({"event":"result","version":2})"), 1,
         "The engine version is incompatible."},
        {"version as text", engine_prints(R"({"event":"result","version":"1"})"), 1,
         "The engine version is incompatible."},
        {"version missing", engine_prints(R"({"event":"result"})"), 1,
         "The engine version is incompatible."},
        {"not JSON", "echo hello", 1, "The engine response could not be read."},
        {"a JSON array", engine_prints(R"([{"event":"result","version":1}])"), 1,
         "The engine response could not be read."},
        {"an empty line", "echo", 1, "The engine response could not be read."},
        {"line over 65536 bytes",
         "head -c 65537 /dev/zero | tr '\\0' a; echo; " + engine_prints(kResult), 1,
         "The engine returned an oversized response."},
        {"error event",
         engine_prints(
             R"({"event":"error","code":"busy","message":"The container is in use.","version":1})"),
         1, "The container is in use."},
        {"error without code or message",
         engine_prints(R"({"event":"error","version":1})") + "\nexit 1", 1, "The engine failed."},
        {"credentials error exits 2",
         engine_prints(
             R"({"event":"error","code":"credentials","message":"Wrong password.","version":1})") +
             "\nexit 2",
         2, "Wrong password."},
        {"an error wins over a later result",
         engine_prints(R"({"event":"error","code":"io","message":"Read failed.","version":1})") +
             "\n" + engine_prints(kResult),
         1, "Read failed."},
        {"standard error is cleaned and appended",
         "printf '  \\033[31mError: disk\\tfull\\r\\n\\n' >&2\n" +
             engine_prints(
                 R"({"event":"error","code":"io","message":"Write failed.","version":1})") +
             "\nexit 1",
         1, "Write failed.\n[31mError: diskfull"},
        {"only the last 16383 bytes of standard error",
         "head -c 20000 /dev/zero | tr '\\0' e >&2; printf END >&2; exit 1", 1,
         stopped + "\n" + std::string(16380, 'e') + "END"},
        {"standard error after an engine crash", "echo 'Segmentation fault' >&2; kill -SEGV $$", 1,
         stopped + "\nSegmentation fault"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(c.script);
        CliRun run = run_cli(box, CliOptions{{"info", "c.zcx"}});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.err, c.message + "\n") << c.name;
        EXPECT_EQ(run.out, "") << c.name;
    }
}

TEST(EngineProtocol, LineOfExactlyTheLimitIsAccepted) {
    // 65536 bytes before the line feed: the longest line the engine may write.
    const std::string head = R"({"event":"result","format":"salted","pad":")";
    const std::string tail = R"(","version":1})";
    const std::string pad(65536 - head.size() - tail.size(), 'x');
    Sandbox box;
    box.fake_engine(engine_prints(head + pad + tail));
    CliRun run = run_cli(box, CliOptions{{"info", "c.zcx", "--json"}});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "{\"format\":\"salted\"}\n");
}

TEST(EngineProtocol, MissingEngineIsAnInstallationProblem) {
    Sandbox box; // tarnwick alone, no engine beside it
    CliRun run = run_cli(box, CliOptions{{"info", "c.zcx"}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "The Tarnwick engine is missing. Rebuild or reinstall the application.\n");
}

TEST(EngineProtocol, EngineThatCannotStart) {
    Sandbox box;
    box.fake_engine("exit 0");
    // Present but not executable.
    ASSERT_EQ(0, chmod((box.bin() + "/tarnwick-engine").c_str(), 0600));
    CliRun run = run_cli(box, CliOptions{{"info", "c.zcx"}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "The Tarnwick engine could not start.\n");
}

} // namespace
