#include "engine/arguments.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tw::CompressionChoice;
using tw::EngineArgs;
using tw::EngineCommand;

struct Argv {
    std::vector<std::string> words;
    std::vector<char *> pointers;
    explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
        words.insert(words.begin(), "tarnwick-engine");
        for (auto &s : words)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char **argv() { return pointers.data(); }
};

const char *const kExpected =
    "Expected inspect FILE, verify FILE, export FILE OUTPUT, rekey FILE OUTPUT, convert FILE "
    "OUTPUT ALGORITHM, or create OUTPUT BYTES FILESYSTEM LABEL.";

struct RejectCase {
    std::vector<std::string> args;
    const char *message;
};

TEST(EngineArguments, RejectionsInValidationOrder) {
    const RejectCase cases[] = {
        {{}, kExpected},
        {{"inspect"}, kExpected},
        {{"bogus", "x"}, kExpected},
        // A special command with the wrong count is an unknown command.
        {{"creation-options", "extra"}, kExpected},
        {{"recover-replacement"}, kExpected},
        {{"approve-imaging", "a", "b"}, kExpected},
        {{"import-veracrypt", "a"}, "Expected import-veracrypt SOURCE OUTPUT."},
        {{"import-veracrypt", "a", "b", "c"}, "Expected import-veracrypt SOURCE OUTPUT."},
        {{"export", "a"}, "Missing arguments."},
        {{"convert", "a", "b"}, "Missing arguments."},
        {{"create", "o", "1", "fat32"}, "Missing arguments."},
        {{"image", "d", "o", "9"}, "Missing arguments."},
        {{"convert", "a", "b", "255"}, "Choose an available output algorithm."},
        {{"convert", "a", "b", "7"}, "Choose an available output algorithm."},
        {{"convert", "a", "b", "+9"}, "Choose an available output algorithm."},
        {{"convert", "a", "b", "9x"}, "Choose an available output algorithm."},
        {{"convert", "a", "b", ""}, "Choose an available output algorithm."},
        {{"convert", "a", "b", "18446744073709551625"}, "Choose an available output algorithm."},
        {{"replace", "a", "254"}, "Choose an available output algorithm."},
        {{"image", "d", "o", "255", "5"}, "Choose an available output algorithm."},
        {{"image", "d", "o", "9", "0"}, "Invalid device identity."},
        {{"image", "d", "o", "9", "-1"}, "Invalid device identity."},
        {{"rekey", "a", "b", "fast"}, "Unexpected arguments."},
        {{"rekey", "a", "b", "fast", "4096", "x"}, "Unexpected arguments."},
        {{"export", "a", "b", "fast", "4096"}, "Unexpected arguments."},
        {{"verify", "a", "b"}, "Unexpected arguments."},
        {{"inspect", "a", "off", "4096"}, "Unexpected arguments."},
        {{"rekey", "a", "b", "slow", "4096"}, "Compression must be fast or off."},
        {{"rekey", "a", "b", "Fast", "4096"}, "Compression must be fast or off."},
        {{"rekey", "a", "b", "fast", "8192"},
         "Compression chunk size must be 4096, 16384 or 65536."},
        {{"rekey", "a", "b", "fast", "04096"},
         "Compression chunk size must be 4096, 16384 or 65536."},
        // Every command's minimum, one argument more, and the pair.
        {{"import-veracrypt"}, "Expected import-veracrypt SOURCE OUTPUT."},
        {{"rekey", "a"}, "Missing arguments."},
        {{"replace", "a"}, "Missing arguments."},
        {{"replace", "a", "x"}, "Choose an available output algorithm."},
        {{"convert", "a", "b", "9", "fast"}, "Unexpected arguments."},
        {{"replace", "a", "9", "fast"}, "Unexpected arguments."},
        {{"create", "o", "1", "fat32", "L", "fast"}, "Unexpected arguments."},
        {{"image", "d", "o", "9", "5", "fast"}, "Unexpected arguments."},
        {{"convert", "a", "b", "9", "on", "4096"}, "Compression must be fast or off."},
        {{"replace", "a", "255", "off", "512"},
         "Compression chunk size must be 4096, 16384 or 65536."},
        {{"create", "o", "1", "fat32", "L", "best", "4096"}, "Compression must be fast or off."},
        {{"image", "d", "o", "9", "5", "fast", "1"},
         "Compression chunk size must be 4096, 16384 or 65536."},
    };
    for (const RejectCase &c : cases) {
        Argv a(c.args);
        EngineArgs args;
        const char *message = nullptr;
        EXPECT_NE(0, tw::engine_parse_general(a.argc(), a.argv(), &args, &message))
            << testing::PrintToString(c.args);
        ASSERT_NE(message, nullptr);
        EXPECT_STREQ(message, c.message) << testing::PrintToString(c.args);
    }
}

struct AcceptCase {
    std::vector<std::string> args;
    EngineCommand command;
    uint32_t cipher;
    uint32_t chunk;
    CompressionChoice compression;
    uint32_t credential_kind;
};

TEST(EngineArguments, AcceptedCommandsGetTheirDefaults) {
    const AcceptCase cases[] = {
        {{"inspect", "f"},
         EngineCommand::Inspect,
         tw::kCipherKeep,
         0,
         CompressionChoice::AsSource,
         0},
        {{"verify", "f"},
         EngineCommand::Verify,
         tw::kCipherKeep,
         0,
         CompressionChoice::AsSource,
         1},
        {{"export", "f", "o"},
         EngineCommand::Export,
         tw::kCipherKeep,
         0,
         CompressionChoice::AsSource,
         1},
        {{"rekey", "f", "o"},
         EngineCommand::Rekey,
         tw::kCipherKeep,
         tw::kChunkKeepLayout,
         CompressionChoice::AsSource,
         2},
        {{"rekey", "f", "o", "fast", "4096"},
         EngineCommand::Rekey,
         tw::kCipherKeep,
         4096,
         CompressionChoice::Fast,
         2},
        {{"convert", "f", "o", "9"}, EngineCommand::Convert, 9, 16384, CompressionChoice::Off, 2},
        {{"convert", "f", "o", "10", "off", "65536"},
         EngineCommand::Convert,
         10,
         65536,
         CompressionChoice::Off,
         2},
        {{"convert", "f", "o", "1", "fast", "16384"},
         EngineCommand::Convert,
         1,
         16384,
         CompressionChoice::Fast,
         2},
        {{"replace", "f", "255"},
         EngineCommand::Replace,
         255,
         tw::kChunkFromSource,
         CompressionChoice::AsSource,
         2},
        {{"replace", "f", "8", "fast", "65536"},
         EngineCommand::Replace,
         8,
         65536,
         CompressionChoice::Fast,
         2},
        {{"create", "o", "1048576", "fat32", "L"},
         EngineCommand::Create,
         tw::kCipherKeep,
         0,
         CompressionChoice::Off,
         2},
        {{"create", "o", "1048576", "exfat", "L", "fast", "4096"},
         EngineCommand::Create,
         tw::kCipherKeep,
         4096,
         CompressionChoice::Fast,
         2},
        {{"image", "/dev/sdb", "o", "9", "77"},
         EngineCommand::Image,
         9,
         16384,
         CompressionChoice::Off,
         2},
        {{"import-veracrypt", "s", "o"},
         EngineCommand::ImportVeracrypt,
         tw::kCipherKeep,
         0,
         CompressionChoice::AsSource,
         2},
    };
    for (const AcceptCase &c : cases) {
        Argv a(c.args);
        EngineArgs args;
        const char *message = nullptr;
        ASSERT_EQ(0, tw::engine_parse_general(a.argc(), a.argv(), &args, &message))
            << testing::PrintToString(c.args) << ": " << (message ? message : "");
        EXPECT_EQ(args.command, c.command) << testing::PrintToString(c.args);
        EXPECT_EQ(args.output_cipher, c.cipher) << testing::PrintToString(c.args);
        EXPECT_EQ(args.chunk_size, c.chunk) << testing::PrintToString(c.args);
        EXPECT_EQ(args.compression, c.compression) << testing::PrintToString(c.args);
        EXPECT_EQ(args.credential_kind, c.credential_kind) << testing::PrintToString(c.args);
    }
}

TEST(EngineArguments, PositionalArgumentsLandInTheirFields) {
    Argv a({"image", "/dev/sdb", "out.zcx", "10", "42", "off", "4096"});
    EngineArgs args;
    const char *message = nullptr;
    ASSERT_EQ(0, tw::engine_parse_general(a.argc(), a.argv(), &args, &message));
    EXPECT_STREQ(args.device, "/dev/sdb");
    EXPECT_STREQ(args.output, "out.zcx");
    EXPECT_EQ(args.identity, 42u);

    Argv c({"create", "new.zcx", "33554432", "ntfs", "My Label"});
    ASSERT_EQ(0, tw::engine_parse_general(c.argc(), c.argv(), &args, &message));
    EXPECT_STREQ(args.output, "new.zcx");
    EXPECT_STREQ(args.bytes, "33554432");
    EXPECT_STREQ(args.fs, "ntfs");
    EXPECT_STREQ(args.label, "My Label");
}

TEST(EngineArguments, SpecialCommandsOnlyWithTheirExactCount) {
    struct Case {
        std::vector<std::string> args;
        EngineCommand command;
    } cases[] = {
        {{"creation-options"}, EngineCommand::CreationOptions},
        {{"devices"}, EngineCommand::Devices},
        {{"import-recover"}, EngineCommand::ImportRecover},
        {{"recover-replacement", "f"}, EngineCommand::RecoverReplacement},
        {{"approve-imaging", "d", "1", "1000"}, EngineCommand::ApproveImaging},
        {{"creation-options", "x"}, EngineCommand::None},
        {{"devices", "x"}, EngineCommand::None},
        {{"recover-replacement"}, EngineCommand::None},
        {{"recover-replacement", "a", "b"}, EngineCommand::None},
        {{"approve-imaging", "d", "1"}, EngineCommand::None},
        {{"inspect", "f"}, EngineCommand::None},
    };
    for (const Case &c : cases) {
        Argv a(c.args);
        EngineArgs args;
        bool special = tw::engine_special_command(a.argc(), a.argv(), &args);
        EXPECT_EQ(special, c.command != EngineCommand::None) << testing::PrintToString(c.args);
        EXPECT_EQ(args.command, c.command) << testing::PrintToString(c.args);
    }
}

TEST(EngineArguments, UnsignedNumbers) {
    struct Case {
        const char *text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", true, 0},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"+1", false, 0},
        {"-1", false, 0},
        {"1 ", false, 0},
        {" 1", false, 0},
        {"0x10", false, 0},
    };
    for (const Case &c : cases) {
        uint64_t v = 12345;
        EXPECT_EQ(tw::parse_unsigned(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

} // namespace
