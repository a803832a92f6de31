// The engine program as the front-ends see it: argument vector, credential
// request on standard input, event lines on standard output, exit code.
#include "support/request.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using tw::test::EngineRun;
using tw::test::Request;
using tw::test::run_engine;

std::string error_line(const std::string &code, const std::string &message) {
    return R"({"event":"error","code":")" + code + R"(","message":")" + message +
           R"(","version":1})";
}

TEST(EngineProgram, CreationOptionsByteForByte) {
    EngineRun run = run_engine({"creation-options"}, {});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, R"({"algorithm":9,"ciphers":[)"
                       R"({"algorithm":1,"cipher":"SSE1","passwordLimit":4096},)"
                       R"({"algorithm":8,"cipher":"XOR","passwordLimit":4096},)"
                       R"({"algorithm":9,"cipher":"AES-256-XTS","passwordLimit":4096},)"
                       R"({"algorithm":10,"cipher":"XChaCha20","passwordLimit":4096}],)"
                       R"("filesystems":["exfat","fat32","ntfs"],"event":"result","version":1})"
                       "\n");
    EXPECT_EQ(run.err, "");
}

TEST(EngineProgram, UsageErrorsAreOneEventAndExitOne) {
    const std::string expected =
        "Expected inspect FILE, verify FILE, export FILE OUTPUT, rekey FILE OUTPUT, convert FILE "
        "OUTPUT ALGORITHM, or create OUTPUT BYTES FILESYSTEM LABEL.";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, expected},
        {{"creation-options", "extra"}, expected},
        {{"import-veracrypt", "a"}, "Expected import-veracrypt SOURCE OUTPUT."},
        {{"export", "a"}, "Missing arguments."},
        {{"convert", "a", "b", "255"}, "Choose an available output algorithm."},
        {{"image", "d", "o", "9", "0"}, "Invalid device identity."},
        {{"rekey", "a", "b", "fast"}, "Unexpected arguments."},
        {{"rekey", "a", "b", "zip", "4096"}, "Compression must be fast or off."},
        {{"rekey", "a", "b", "off", "1"}, "Compression chunk size must be 4096, 16384 or 65536."},
        {{"verify", "bad\xff.zcx"}, "Invalid arguments."},
    };
    for (const Case &c : cases) {
        // Nothing is read from standard input before the arguments are valid.
        EngineRun run = run_engine(c.args, tw::test::encode(Request{}));
        EXPECT_EQ(run.exit_code, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(run.out, error_line("usage", c.message) + "\n") << testing::PrintToString(c.args);
    }
}

TEST(EngineProgram, CredentialRequestRejections) {
    Request kind1;
    Request kind2;
    kind2.kind = 2;
    kind2.new_password = "new";
    Request trailing = kind1;
    trailing.trailing = "x";
    Request short_key = kind1;
    short_key.system_key = "0123456789abc";
    Request cipher7 = kind1;
    cipher7.cipher = 7;
    Request nul = kind1;
    nul.password = std::string("a\0b", 3);

    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::vector<uint8_t> input;
    } cases[] = {
        {"nothing on standard input", {"verify", "c.zcx"}, {}},
        {"one trailing byte", {"verify", "c.zcx"}, tw::test::encode(trailing)},
        {"system key of 13", {"verify", "c.zcx"}, tw::test::encode(short_key)},
        {"cipher 7", {"verify", "c.zcx"}, tw::test::encode(cipher7)},
        {"NUL in password", {"export", "c.zcx", "o.img"}, tw::test::encode(nul)},
        {"kind 2 to verify", {"verify", "c.zcx"}, tw::test::encode(kind2)},
        {"kind 1 to rekey", {"rekey", "c.zcx", "o.zcx"}, tw::test::encode(kind1)},
        {"kind 1 to create", {"create", "o.zcx", "1048576", "fat32", "L"}, tw::test::encode(kind1)},
    };
    for (const Case &c : cases) {
        EngineRun run = run_engine(c.args, c.input);
        EXPECT_EQ(run.exit_code, 1) << c.name;
        EXPECT_EQ(run.out, error_line("protocol", "Invalid credential request.") + "\n") << c.name;
    }
}

TEST(EngineProgram, SystemKeyTextMustBeHexadecimal) {
    Request r;
    r.system_key = "0123456789abcg";
    EngineRun run = run_engine({"verify", "c.zcx"}, tw::test::encode(r));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, error_line("systemKey",
                                  "The system key must contain exactly 14 hexadecimal digits.") +
                           "\n");
}

TEST(EngineProgram, AcceptedRequestGoesPastTheSpineAndEventFileIsRemoved) {
    // An empty kind-1 password and a mixed-case system key are valid; what
    // follows is the operation's business, never a protocol error.
    Request r;
    r.system_key = "0123456789abCD";
    std::string runtime_dir;
    EngineRun run = run_engine({"verify", "missing.zcx"}, tw::test::encode(r), &runtime_dir);
    ASSERT_EQ(run.lines().size(), 1u) << run.out;
    EXPECT_EQ(run.lines()[0].find(R"("code":"protocol")"), std::string::npos) << run.out;
    EXPECT_EQ(run.lines()[0].find(R"("code":"systemKey")"), std::string::npos) << run.out;
    EXPECT_NE(run.exit_code, 0);
    // The cancellation event's file lives only as long as the engine.
    struct stat st;
    std::string folder = runtime_dir + "/tarnwick";
    if (stat(folder.c_str(), &st) == 0) {
        std::string listing;
        std::string cmd = "ls -A '" + folder + "'";
        FILE *ls = popen(cmd.c_str(), "r");
        char buf[256];
        while (ls && fgets(buf, sizeof buf, ls))
            listing += buf;
        if (ls)
            pclose(ls);
        EXPECT_EQ(listing, "");
    }
    std::string rm = "rm -rf '" + runtime_dir + "'";
    EXPECT_EQ(0, std::system(rm.c_str()));
}

} // namespace
