// The file commands end to end against a scripted engine: what the engine
// receives (arguments and the exact credential request on its standard
// input), what tarnwick prints, and how it exits.
#include "support/cli_runner.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::test;

const std::string kSummary =
    R"({"event":"result","verified":true,"size":1048576,"writeSupported":false,)"
    R"("cipher":"AES-256-XTS","format":"salted","filesystem":"FAT32","memoryLocked":true,)"
    R"("extra":7,"writeFilesystem":"fat","allocatedSize":4096,"version":1})";

std::vector<std::string> words(std::initializer_list<std::string> list) {
    return list;
}

TEST(FileCommands, PasswordFromStandardInput) {
    const std::string p4096(4096, 'p');
    struct Case {
        const char *name;
        std::string input;
        int exit_code;
        std::string err;
        std::string sent; // the password the engine got; unused when it never ran
    } cases[] = {
        {"line feed removed", "secret\n", 0, "", "secret"},
        {"CR LF removed", "secret\r\n", 0, "", "secret"},
        {"only one line feed removed", "secret\n\n", 0, "", "secret\n"},
        {"no line end",
         "s\xc3\xa9"
         "cret",
         0, "",
         "s\xc3\xa9"
         "cret"},
        {"empty password", "", 0, "", ""},
        {"4096 bytes and LF accepted", p4096 + "\n", 0, "", p4096},
        {"4096 bytes and CR LF refused", p4096 + "\r\n", 2, "Credential input exceeds the limit.\n",
         ""},
        {"4097 bytes refused by the request", p4096 + "p", 2,
         "Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal "
         "digits.\n",
         ""},
        {"NUL byte", std::string("se\0cret", 7), 2,
         "Password input exceeds the limit or is not UTF-8.\n", ""},
        {"not UTF-8", "caf\xe9\n", 2, "Password input exceeds the limit or is not UTF-8.\n", ""},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kSummary));
        CliOptions options{{"verify", "c.zcx", "--password-stdin"}, c.input};
        CliRun run = run_cli(box, options);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.err, c.err) << c.name;
        if (c.exit_code == 0) {
            EXPECT_EQ(box.read("stdin.bin"), request_bytes(1, c.sent)) << c.name;
            EXPECT_EQ(box.engine_args(), words({"verify", box.dir() + "/c.zcx"})) << c.name;
        } else {
            EXPECT_FALSE(box.has("args.txt")) << c.name << ": the engine must not start";
        }
    }
}

TEST(FileCommands, CredentialsAsJson) {
    const std::string ok =
        R"({"password":"old","newPassword":"n\u00e9w","confirmation":"n\u00e9w"})";
    const std::string json_message = "Expected a JSON object with password, newPassword, and "
                                     "confirmation strings, up to 64 KiB.\n";
    const std::string mismatch =
        "Enter and confirm the same nonempty new password, up to 4096 UTF-8 bytes.\n";
    const std::string rekey_hint = "Original kept. If a new file exists, verify it before using "
                                   "it. Restart from the original after an interruption; do not "
                                   "use a .partial file.\n";
    struct Case {
        const char *name;
        std::string input;
        int exit_code;
        std::string err;
    } cases[] = {
        {"accepted", ok, 0, ""},
        {"extra members are ignored",
         R"({"x":1,"password":"old","newPassword":"n\u00e9w",)"
         R"("confirmation":"n\u00e9w"})",
         0, ""},
        {"password missing", R"({"newPassword":"a","confirmation":"a"})", 2, json_message},
        {"confirmation not a string", R"({"password":"","newPassword":"a","confirmation":1})", 2,
         json_message},
        {"not an object", R"(["old","new","new"])", 2, json_message},
        {"not JSON", "old\nnew\nnew\n", 2, json_message},
        {"over 64 KiB",
         R"({"password":"old","newPassword":"a","confirmation":"a","pad":")" +
             std::string(65536, 'x') + "\"}",
         2, json_message},
        {"confirmation differs", R"({"password":"old","newPassword":"a","confirmation":"b"})", 1,
         mismatch + rekey_hint},
        {"empty new password", R"({"password":"old","newPassword":"","confirmation":""})", 1,
         mismatch + rekey_hint},
        {"new password over 4096 bytes",
         R"({"password":"old","newPassword":")" + std::string(4097, 'n') + R"(","confirmation":")" +
             std::string(4097, 'n') + "\"}",
         1, mismatch + rekey_hint},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kSummary));
        CliRun run =
            run_cli(box, CliOptions{{"rekey", "c.zcx", "new.zcx", "--credentials-stdin"}, c.input});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.err, c.err) << c.name;
        if (c.exit_code == 0) {
            EXPECT_EQ(box.read("stdin.bin"), request_bytes(2, "old", "n\xc3\xa9w")) << c.name;
            EXPECT_EQ(box.engine_args(),
                      words({"rekey", box.dir() + "/c.zcx", box.dir() + "/new.zcx"}))
                << c.name;
        } else {
            EXPECT_FALSE(box.has("args.txt")) << c.name << ": the engine must not start";
        }
    }
}

TEST(FileCommands, EngineArgumentsPerCommand) {
    const std::string creds = R"({"password":"p","newPassword":"n","confirmation":"n"})";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::vector<std::string> engine; // relative paths are joined to the sandbox folder
        std::string err;
    } cases[] = {
        {{"info", "c.zcx"}, "", {"inspect", "@/c.zcx"}, ""},
        {{"info", "./sub//c.zcx"}, "", {"inspect", "@/sub/c.zcx"}, ""},
        {{"info", "/abs/c.zcx"}, "", {"inspect", "/abs/c.zcx"}, ""},
        {{"export", "c.zcx", "out.img", "--password-stdin"},
         "pw",
         {"export", "@/c.zcx", "@/out.img"},
         ""},
        {{"convert", "c.zcx", "n.zcx", "--credentials-stdin"},
         creds,
         {"convert", "@/c.zcx", "@/n.zcx", "9"},
         ""},
        {{"convert", "c.zcx", "n.zcx", "--algorithm", "xor", "--credentials-stdin"},
         creds,
         {"convert", "@/c.zcx", "@/n.zcx", "8"},
         "Warning: AES-256-XTS is the recommended default. Read this cipher's notice in "
         "Important Information and Licenses.\n"},
        {{"convert", "--algorithm", "aes-256-XTS", "c.zcx", "n.zcx", "--credentials-stdin"},
         creds,
         {"convert", "@/c.zcx", "@/n.zcx", "9"},
         ""},
        {{"replace", "c.zcx", "--credentials-stdin", "--algorithm", "XChaCha20",
          "--experimental-compression", "fast", "65536"},
         creds,
         {"replace", "@/c.zcx", "10", "fast", "65536"},
         "Warning: AES-256-XTS is the recommended default. Read this cipher's notice in "
         "Important Information and Licenses.\n"},
        {{"rekey", "c.zcx", "n.zcx", "--experimental-compression", "off", "4096",
          "--credentials-stdin"},
         creds,
         {"rekey", "@/c.zcx", "@/n.zcx", "off", "4096"},
         ""},
        {{"import-veracrypt", "v.hc", "n.zcx", "--credentials-stdin"},
         creds,
         {"import-veracrypt", "@/v.hc", "@/n.zcx"},
         ""},
        {{"recover-replacement", "c.zcx"}, "", {"recover-replacement", "@/c.zcx"}, ""},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kSummary));
        CliRun run = run_cli(box, CliOptions{c.args, c.input});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 0) << name << run.err;
        EXPECT_EQ(run.err, c.err) << name;
        EXPECT_EQ(box.engine_args(), box.in_sandbox(c.engine)) << name;
    }
}

TEST(FileCommands, TextAndJsonOutput) {
    const std::string creds = R"({"password":"p","newPassword":"n","confirmation":"n"})";
    const std::string summary = "Format: salted\nSize: 1048576 bytes\nCipher: AES-256-XTS\n";
    const std::string replaced =
        R"({"event":"result","format":"v3","size":2048,"cipher":"XChaCha20","verified":false,)"
        R"("backupPath":"/d/c.zcx.openzcx-backup","version":1})";
    const std::string recovery =
        R"({"event":"result","format":"v3","size":512,"cipher":"XOR","verified":true,)"
        R"("recoveryRequired":true,"filesystem":"NTFS","version":1})";
    const std::string imported =
        R"({"event":"result","format":"salted","size":1,"cipher":"AES-256-XTS","verified":true,)"
        R"("filesystem":"exFAT","metadataError":"Times were not copied.","importRecordsKept":2,)"
        R"("version":1})";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string result;
        std::string out;
        std::string err;
    } cases[] = {
        {{"info", "c.zcx"}, "", kSummary, summary + "Check: FAT32\n", ""},
        {{"verify", "c.zcx", "--password-stdin"},
         "pw",
         recovery,
         "Format: v3\nSize: 512 bytes\nCipher: XOR\nState: conversion recovery required\n",
         ""},
        {{"export", "c.zcx", "out.img", "--password-stdin"},
         "pw",
         kSummary,
         summary + "Check: FAT32\nExport complete: out.img\n",
         ""},
        {{"rekey", "c.zcx", "n.zcx", "--credentials-stdin"},
         creds,
         kSummary,
         summary + "Check: FAT32\nEncrypted copy verified and saved: n.zcx\nOriginal kept: c.zcx\n",
         ""},
        {{"replace", "c.zcx", "--credentials-stdin"},
         creds,
         replaced,
         "Format: v3\nSize: 2048 bytes\nCipher: XChaCha20\nCheck: not performed\nReplacement "
         "verified. Original backup: /d/c.zcx.openzcx-backup\n",
         ""},
        {{"import-veracrypt", "v.hc", "n.zcx", "--credentials-stdin"},
         creds,
         imported,
         "Format: salted\nSize: 1 bytes\nCipher: AES-256-XTS\nCheck: exFAT\nVeraCrypt volume "
         "imported and verified: n.zcx\nKeep the source until you have checked your files: "
         "v.hc\n",
         "Warning: Times were not copied.\nWarning: Some records of interrupted imports were kept "
         "because the files they name failed a safety check. Review "
         "~/.local/share/Tarnwick/import-staging before you delete anything there.\n"},
        {{"info", "c.zcx", "--json"},
         "",
         kSummary,
         R"({"allocatedSize":4096,"cipher":"AES-256-XTS","experimentalWriteBackend":"fat",)"
         R"("experimentalWriteSupported":false,"filesystem":"FAT32","format":"salted",)"
         R"("memoryLocked":true,"size":1048576,"verified":true})"
         "\n",
         ""},
        {{"replace", "c.zcx", "--credentials-stdin", "--json"},
         creds,
         replaced,
         R"({"backupPath":"/d/c.zcx.openzcx-backup","cipher":"XChaCha20","format":"v3",)"
         R"("size":2048,"verified":false})"
         "\n",
         ""},
        {{"recover-replacement", "c.zcx"},
         "",
         R"({"event":"result","backupPath":"/d/c.zcx.openzcx-backup","version":1})",
         "Replacement recovered. Original backup: /d/c.zcx.openzcx-backup\n",
         ""},
        {{"recover-replacement", "c.zcx", "--json"},
         "",
         R"({"event":"result","backupPath":"","version":1})",
         "{\"backupPath\":\"\"}\n",
         ""},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(c.result));
        CliRun run = run_cli(box, CliOptions{c.args, c.input});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 0) << name;
        EXPECT_EQ(run.out, c.out) << name;
        EXPECT_EQ(run.err, c.err) << name;
    }
}

TEST(FileCommands, FailuresCarryTheirHintAndNothingOnStandardOutput) {
    const std::string creds = R"({"password":"p","newPassword":"n","confirmation":"n"})";
    const std::string failure =
        engine_prints(
            R"({"event":"error","code":"io","message":"The disk is full.","version":1})") +
        "\nexit 1";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string err;
    } cases[] = {
        {{"rekey", "c.zcx", "n.zcx", "--credentials-stdin"},
         creds,
         "The disk is full.\nOriginal kept. If a new file exists, verify it before using it. "
         "Restart from the original after an interruption; do not use a .partial file.\n"},
        {{"convert", "c.zcx", "n.zcx", "--credentials-stdin", "--json"},
         creds,
         "The disk is full.\nOriginal kept. If a new file exists, verify it before using it. "
         "Restart from the original after an interruption; do not use a .partial file.\n"},
        {{"replace", "c.zcx", "--credentials-stdin"},
         creds,
         "The disk is full.\nKeep all files together. If a journal exists, use tarnwick "
         "recover-replacement FILE.\n"},
        {{"verify", "c.zcx", "--password-stdin"}, "pw", "The disk is full.\n"},
        {{"export", "c.zcx", "o.img", "--password-stdin", "--json"}, "pw", "The disk is full.\n"},
        {{"recover-replacement", "c.zcx"}, "", "The disk is full.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(failure);
        CliRun run = run_cli(box, CliOptions{c.args, c.input});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 1) << name;
        EXPECT_EQ(run.out, "") << name;
        EXPECT_EQ(run.err, c.err) << name;
    }
}

TEST(FileCommands, ProgressStaysOffAPipe) {
    Sandbox box;
    box.fake_engine(
        engine_prints(R"({"event":"progress","phase":"reencoding","fraction":0.5,"version":1})") +
        "\n" + engine_prints(kSummary));
    CliRun run =
        run_cli(box, CliOptions{{"rekey", "c.zcx", "n.zcx", "--credentials-stdin"},
                                R"({"password":"p","newPassword":"n","confirmation":"n"})"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
}

} // namespace
