// tarnwick at a terminal: passwords typed with echo off, the progress line,
// and Ctrl+C cancelling the running engine through its cancellation event.
#include "support/cli_runner.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace tw::test;

const std::string kResult =
    R"({"event":"result","format":"salted","size":512,"cipher":"XOR","verified":true,)"
    R"("filesystem":"FAT32","version":1})";
const std::string kPrompt = "Password (empty for an unencrypted image): ";

TEST(Terminal, PasswordIsReadWithoutEcho) {
    const std::string long_password(4096, 'L'); // longer than a canonical terminal line
    struct Case {
        const char *name;
        std::string typed;
        int exit_code;
        std::string sent;
    } cases[] = {
        {"enter as carriage return",
         "s\xc3\xa9"
         "cret\r",
         0,
         "s\xc3\xa9"
         "cret"},
        {"enter as line feed", "secret\n", 0, "secret"},
        {"empty", "\r", 0, ""},
        {"erase removes a whole character",
         "ab\xc3\xa9\x7f"
         "c\r",
         0, "abc"},
        {"kill clears the line", "wrong\x15right\r", 0, "right"},
        {"end of file ends the line", "pw\x04", 0, "pw"},
        {"4096 bytes", long_password + "\r", 0, long_password},
        {"4097 bytes", long_password + "x\r", 2, ""},
        {"over 4096 bytes, erased back", long_password + "xx\x7f\x7f\r", 2, ""},
        {"not UTF-8", "caf\xe9\r", 2, ""},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kResult));
        CliOptions options{{"verify", "c.zcx"}};
        options.terminal = true;
        options.answers = {{kPrompt, c.typed}};
        CliRun run = run_cli(box, options);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << run.terminal;
        EXPECT_TRUE(run.terminal.starts_with(kPrompt)) << c.name << run.terminal;
        if (c.exit_code == 0) {
            EXPECT_EQ(box.read("stdin.bin"), request_bytes(1, c.sent)) << c.name;
            EXPECT_EQ(run.terminal, kPrompt + "\r\n") << c.name << ": nothing typed is echoed";
            EXPECT_EQ(run.out, "Format: salted\nSize: 512 bytes\nCipher: XOR\nCheck: FAT32\n");
        } else {
            EXPECT_FALSE(box.has("stdin.bin")) << c.name;
            EXPECT_EQ(run.terminal.find("LLLL"), std::string::npos) << c.name;
        }
    }
}

TEST(Terminal, CtrlCAtThePromptCancels) {
    // The terminal turns the interrupt character into SIGINT. Whether it
    // interrupts the waiting read or arrives between two characters, nothing
    // is started, and the line break after the prompt shows that the
    // terminal's settings were restored.
    for (const std::string typed : {"pa\x03", "pa\x03ss\r"}) {
        Sandbox box;
        box.fake_engine(engine_prints(kResult));
        CliOptions options{{"verify", "c.zcx"}};
        options.terminal = true;
        options.answers = {{kPrompt, typed}};
        CliRun run = run_cli(box, options);
        EXPECT_EQ(run.exit_code, 1) << typed;
        EXPECT_EQ(run.terminal, kPrompt + "\r\nOperation cancelled.\r\n") << typed;
        EXPECT_FALSE(box.has("args.txt")) << typed;
    }
}

TEST(Terminal, ThreePromptsForANewPassword) {
    struct Case {
        std::vector<std::string> args;
        std::string first_prompt;
    } cases[] = {
        {{"rekey", "c.zcx", "n.zcx"}, "Current password: "},
        {{"import-veracrypt", "v.hc", "n.zcx"}, "VeraCrypt password: "},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kResult));
        CliOptions options{c.args};
        options.terminal = true;
        options.answers = {{c.first_prompt, "old\r"},
                           {"New password: ", "n\xc3\xa9w\r"},
                           {"Confirm new password: ", "n\xc3\xa9w\r"}};
        CliRun run = run_cli(box, options);
        EXPECT_EQ(run.exit_code, 0) << run.terminal;
        EXPECT_EQ(run.terminal,
                  c.first_prompt + "\r\nNew password: \r\nConfirm new password: \r\n");
        EXPECT_EQ(box.read("stdin.bin"), request_bytes(2, "old", "n\xc3\xa9w"));
    }
}

TEST(Terminal, WithoutATerminalThePasswordOptionsAreNamed) {
    Sandbox box;
    box.fake_engine(engine_prints(kResult));
    CliRun run = run_cli(box, CliOptions{{"verify", "c.zcx"}, "piped but not asked for\n"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "Could not read a password. Use --credentials-stdin for create or rekey, "
                       "or --password-stdin for other credential operations without a "
                       "terminal.\n");
    EXPECT_FALSE(box.has("args.txt"));
}

TEST(Terminal, ProgressLineIsClearedBeforeTheResult) {
    const std::string engine =
        engine_prints(R"({"event":"progress","phase":"reencoding","fraction":0.25,"version":1})") +
        "\n" +
        engine_prints(
            R"({"event":"progress","phase":"reencoding","fraction":0.2549,"version":1})") +
        "\n" +
        engine_prints(R"({"event":"progress","phase":"verifying","fraction":0.999,"version":1})") +
        "\n" + engine_prints(R"({"event":"progress","fraction":1,"version":1})") + "\n" +
        engine_prints(kResult);
    Sandbox box;
    box.fake_engine(engine);
    CliOptions options{{"info", "c.zcx"}};
    options.terminal = true;
    CliRun run = run_cli(box, options);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.terminal, "\r\x1b[Kreencoding 25%\r\x1b[Kverifying 99%\r\x1b[Kexporting "
                            "100%\r\x1b[K");
    EXPECT_EQ(run.out, "Format: salted\nSize: 512 bytes\nCipher: XOR\nCheck: FAT32\n");

    options.args = {"info", "c.zcx", "--json"};
    run = run_cli(box, options);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.terminal, "") << "no progress line with --json";
}

TEST(Terminal, ProgressLineIsClearedBeforeAFailure) {
    Sandbox box;
    box.fake_engine(
        engine_prints(R"({"event":"progress","phase":"reencoding","fraction":0.5,"version":1})") +
        "\n" +
        engine_prints(
            R"({"event":"error","code":"io","message":"The disk is full.","version":1})") +
        "\nexit 1");
    CliOptions options{{"info", "c.zcx"}};
    options.terminal = true;
    CliRun run = run_cli(box, options);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.terminal, "\r\x1b[Kreencoding 50%\r\x1b[KThe disk is full.\r\n");
    EXPECT_EQ(run.out, "");
}

TEST(Terminal, CtrlCSetsTheEnginesCancellationEvent) {
    // The engine creates its event file, reports progress, and waits until
    // the flag in the file is set; then it reports "cancelled" as the real
    // engine does.
    const std::string engine =
        engine_creates_cancel_event() +
        engine_prints(R"({"event":"progress","phase":"reencoding","fraction":0.1,"version":1})") +
        "\n"
        ": > \"$here/ready\"\n" +
        engine_waits_for_cancel() +
        engine_prints(
            R"({"event":"error","code":"cancelled","message":"Operation cancelled. Original )"
            R"(kept. If a new file exists, verify it before using it.","version":1})") +
        "\nexit 1";
    // SIGTERM is handled like Ctrl+C.
    for (int signal_number : {SIGINT, SIGTERM}) {
        Sandbox box;
        box.fake_engine(engine);
        CliOptions options{{"rekey", "c.zcx", "n.zcx", "--credentials-stdin"},
                           R"({"password":"p","newPassword":"n","confirmation":"n"})"};
        bool ready = false;
        options.while_running = [&](pid_t pid) {
            ready = wait_for_file(box, "ready", 20000);
            kill(pid, signal_number);
        };
        CliRun run = run_cli(box, options);
        ASSERT_TRUE(ready) << signal_number;
        EXPECT_TRUE(box.has("saw-cancel")) << signal_number;
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err,
                  "Operation cancelled. Original kept. If a new file exists, verify it before "
                  "using it.\nOriginal kept. If a new file exists, verify it before using "
                  "it. Restart from the original after an interruption; do not use a "
                  ".partial file.\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST(Terminal, CtrlCBeforeTheEngineAnswersStillEndsTheRun) {
    // An engine that ends on its own without a result after being told to
    // cancel: the outcome is "cancelled", not a crash of the engine.
    const std::string engine =
        "event=\"$XDG_RUNTIME_DIR/tarnwick/Cancel.$$\"\n"
        "mkdir -p -m 700 \"$XDG_RUNTIME_DIR/tarnwick\"\n"
        "printf '\\000\\000\\000\\000' > \"$event\"\n"
        ": > \"$here/ready\"\n"
        "while [ \"$(od -An -tx1 \"$event\" | tr -d ' ')\" = 00000000 ]; do\n"
        "  sleep 0.05\n"
        "done\n"
        "rm -f \"$event\"\n"
        "exit 1";
    Sandbox box;
    box.fake_engine(engine);
    CliOptions options{{"verify", "c.zcx", "--password-stdin"}, "pw"};
    options.while_running = [&](pid_t pid) {
        wait_for_file(box, "ready", 20000);
        kill(pid, SIGINT);
    };
    CliRun run = run_cli(box, options);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "Operation cancelled.\n");
}

} // namespace
