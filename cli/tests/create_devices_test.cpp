// "create" and "devices" against a scripted engine: the size in bytes, the
// new container's cipher in the credential request, and the output.
#include "support/cli_runner.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::test;

const std::string kSummary = R"({"event":"result","format":"salted","size":67108864,)"
                             R"("cipher":"XOR","verified":true,"filesystem":"FAT32","version":1})";
const std::string kNew = R"({"newPassword":"n\u00e9w","confirmation":"n\u00e9w"})";

TEST(Create, EngineArgumentsAndRequest) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> engine; // "@" stands for the sandbox folder
        uint32_t cipher;
        std::string out;
    } cases[] = {
        {{"create", "o.zcx", "64", "fat32", "MY DISK", "--credentials-stdin"},
         {"create", "@/o.zcx", "67108864", "fat32", "MY DISK"},
         9,
         "Container created and verified: o.zcx\nMounts default to read-only.\n"},
        {{"create", "/x/o.zcx", "1", "ntfs", "L", "--credentials-stdin", "--algorithm", "xor",
          "--experimental-compression", "fast", "16384"},
         {"create", "/x/o.zcx", "1048576", "ntfs", "L", "fast", "16384"},
         8,
         "Container created and verified: /x/o.zcx\nMounts default to read-only.\n"},
        {{"create", "o.zcx", "17592186044415", "exfat", "L", "--credentials-stdin", "--json"},
         {"create", "@/o.zcx", "18446744073708503040", "exfat", "L"},
         9,
         R"({"cipher":"XOR","filesystem":"FAT32","format":"salted","size":67108864,)"
         R"("verified":true})"
         "\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kSummary));
        CliRun run = run_cli(box, CliOptions{c.args, kNew});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 0) << name << run.err;
        EXPECT_EQ(run.out, c.out) << name;
        EXPECT_EQ(box.engine_args(), box.in_sandbox(c.engine)) << name;
        EXPECT_EQ(box.read("stdin.bin"), request_bytes(2, "", "n\xc3\xa9w", c.cipher)) << name;
    }
}

TEST(Create, RefusedBeforeTheEngineRuns) {
    const std::string use = "Use tarnwick create OUTPUT SIZE_MIB fat32|exfat|ntfs LABEL.\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exit_code;
        std::string err;
    } cases[] = {
        {{"create", "o.zcx", "64M", "fat32", "L", "--credentials-stdin"}, kNew, 1, use},
        {{"create", "o.zcx", "-1", "fat32", "L", "--credentials-stdin"}, kNew, 1, use},
        {{"create", "o.zcx", "64", "fat32", "--credentials-stdin"}, kNew, 1, use},
        {{"create", "o.zcx", "17592186044416", "fat32", "L", "--credentials-stdin"},
         kNew,
         1,
         "Invalid creation request.\n"},
        {{"create", "o.zcx", "64", "fat32", "L", "--password-stdin"},
         "pw",
         1,
         "Use --credentials-stdin for creation, conversion or replacement, or --password-stdin "
         "for other credential operations.\n"},
        {{"create", "o.zcx", "64", "fat32", "L", "--credentials-stdin"},
         R"({"newPassword":"a","confirmation":"b"})",
         1,
         "Enter and confirm the same nonempty new password, up to 4096 UTF-8 bytes.\n"},
        {{"create", "o.zcx", "64", "fat32", "L", "--credentials-stdin"},
         R"({"newPassword":"a"})",
         2,
         "Expected a JSON object with newPassword and confirmation strings, up to 64 KiB.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kSummary));
        CliRun run = run_cli(box, CliOptions{c.args, c.input});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << name;
        EXPECT_EQ(run.err, c.err) << name;
        EXPECT_FALSE(box.has("stdin.bin")) << name << ": the engine must not start";
    }
}

TEST(Create, PasswordsTypedAtTheTerminal) {
    Sandbox box;
    box.fake_engine(engine_prints(kSummary));
    CliOptions options{{"create", "o.zcx", "8", "exfat", "L"}};
    options.terminal = true;
    options.answers = {{"New password: ", "n\xc3\xa9w\r"},
                       {"Confirm new password: ", "n\xc3\xa9w\r"}};
    CliRun run = run_cli(box, options);
    EXPECT_EQ(run.exit_code, 0) << run.terminal;
    EXPECT_EQ(run.terminal, "New password: \r\nConfirm new password: \r\n");
    EXPECT_EQ(box.read("stdin.bin"), request_bytes(2, "", "n\xc3\xa9w", 9));
}

TEST(Devices, ListedAsTextOrJson) {
    const std::string two =
        R"({"event":"result","devices":[{"path":"/dev/sdb","name":"USB Stick","size":8004304896,)"
        R"("identity":7},{"path":"/dev/mmcblk0","name":"SD","size":512,"identity":9}],"version":1})";
    const std::string none = R"({"event":"result","devices":[],"version":1})";
    struct Case {
        std::string result;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {two, {"devices"}, "/dev/sdb  USB Stick  8004304896 bytes\n/dev/mmcblk0  SD  512 bytes\n"},
        {two,
         {"devices", "--json"},
         R"([{"path":"/dev/sdb","name":"USB Stick","size":8004304896,"identity":7},)"
         R"({"path":"/dev/mmcblk0","name":"SD","size":512,"identity":9}])"
         "\n"},
        {none, {"devices"}, "No eligible removable devices found.\n"},
        {none, {"devices", "--json"}, "[]\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(c.result));
        CliRun run = run_cli(box, CliOptions{c.args});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(box.engine_args(), std::vector<std::string>{"devices"});
        EXPECT_EQ(box.read("stdin.bin"), "");
    }
}

} // namespace
