// tarnwick with the real engine beside it: the cipher list comes from the
// engine, and the engine accepts the credential requests tarnwick builds
// (its answer is about the operation, never "Invalid credential request.").
#include "support/cli_runner.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::test;

const std::string kWarning = "Warning: AES-256-XTS is the recommended default. Read this "
                             "cipher's notice in Important Information and Licenses.\n";
const std::string kCopyHint = "Original kept. If a new file exists, verify it before using it. "
                              "Restart from the original after an interruption; do not use a "
                              ".partial file.\n";
const std::string kReplaceHint =
    "Keep all files together. If a journal exists, use tarnwick recover-replacement FILE.\n";
const std::string kCreds = R"({"password":"old","newPassword":"new","confirmation":"new"})";

TEST(RealEngine, RequestsAreAcceptedAndAnswersPassThrough) {
    // Creating needs the broker, which does not run where these tests run.
    const std::string no_broker = "The Tarnwick storage service is not running. Reinstall "
                                  "Tarnwick or start the Tarnwick Broker service.\n";
    const std::string missing = "No such file or directory\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string err;
    } cases[] = {
        // The container operations run for real: the container does not exist.
        {{"info", "c.zcx"}, "", missing},
        {{"verify", "c.zcx", "--password-stdin"}, "pw\n", missing},
        {{"verify", "c.zcx", "--password-stdin"}, "", missing},
        {{"export", "c.zcx", "o.img", "--password-stdin", "--json"},
         std::string(4096, 'p'),
         missing},
        {{"rekey", "c.zcx", "n.zcx", "--credentials-stdin", "--experimental-compression", "fast",
          "16384"},
         kCreds,
         missing + kCopyHint},
        {{"convert", "c.zcx", "n.zcx", "--algorithm", "xchacha20", "--credentials-stdin"},
         kCreds,
         kWarning + missing + kCopyHint},
        {{"convert", "c.zcx", "n.zcx", "--algorithm", "AES-256-xts", "--credentials-stdin"},
         kCreds,
         missing + kCopyHint},
        {{"replace", "c.zcx", "--algorithm", "Xor", "--credentials-stdin"},
         kCreds,
         kWarning + missing + kReplaceHint},
        {{"import-veracrypt", "v.hc", "n.zcx", "--credentials-stdin"}, kCreds, missing},
        // Recovery runs for real: without a journal it cannot finish.
        {{"recover-replacement", "c.zcx"},
         "",
         "Replacement recovery could not finish. Keep the container, backup and journal "
         "together; no file was discarded.\n"},
        {{"create", "n.zcx", "64", "fat32", "L", "--credentials-stdin", "--algorithm", "sse1"},
         R"({"newPassword":"new","confirmation":"new"})",
         kWarning + no_broker},
        // The device list comes from the broker, which does not run where the
        // tests run (its own tests start it in a private namespace).
        {{"devices"},
         "",
         "The Tarnwick storage service is not running. Reinstall Tarnwick or start the Tarnwick "
         "Broker service.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.real_engine();
        CliRun run = run_cli(box, CliOptions{c.args, c.input});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 1) << name;
        EXPECT_EQ(run.err, c.err) << name;
        EXPECT_EQ(run.out, "") << name;
    }
}

TEST(RealEngine, CipherNamesAreTheEngines) {
    struct Case {
        std::string name;
        bool known;
    } cases[] = {
        {"SSE1", true},  {"xor", true},  {"AES-256-XTS", true}, {"XCHACHA20", true},
        {"SSE2", false}, {"AES", false}, {"9", false},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.real_engine();
        CliRun run = run_cli(
            box,
            CliOptions{{"replace", "c.zcx", "--algorithm", c.name, "--credentials-stdin"}, kCreds});
        EXPECT_EQ(run.exit_code, 1) << c.name;
        if (c.known)
            EXPECT_TRUE(run.err.ends_with(kReplaceHint)) << c.name << run.err;
        else
            EXPECT_EQ(run.err, "Unknown encryption algorithm. Run tarnwick --help.\n") << c.name;
    }
}

} // namespace
