// Every command of the shared command table that the command line hands to
// the engine, end to end: what tarnwick sends to a scripted engine (the
// arguments and the credential request) must be what the engine's own
// parsers take for that same command, reading that same credential kind,
// with the chosen cipher and compression where the command has them.
#include "support/cli_runner.h"

#include "engine/arguments.h"
#include "engine/credentials.h"
#include "runtime/cipher_id.h"
#include "runtime/engine_commands.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::test;
using tw::CredentialKind;

// A result every command's output accepts.
const std::string kResult =
    R"({"event":"result","verified":true,"size":512,"cipher":"XChaCha20","format":"v3",)"
    R"("filesystem":"FAT32","backupPath":"b","devices":[],"version":1})";

TEST(CommandTable, EveryCommandReachesTheEngineAsItself) {
    for (const tw::EngineCommandInfo &c : tw::engine_commands()) {
        if (c.cli_name == nullptr || c.engine_name == nullptr || !c.available)
            continue;
        // "image" first has the engine approve elevated (pkexec or sudo); it
        // runs against the real engine and broker in imaging_test.
        if (c.command == tw::EngineCommand::Image)
            continue;
        SCOPED_TRACE(c.cli_name);
        std::vector<std::string> words = {c.cli_name};
        for (int i = 0; i < c.cli_arguments; ++i)
            words.push_back(std::to_string(i + 1));
        std::string input;
        if (c.credential == CredentialKind::Current) {
            words.push_back("--password-stdin");
            input = "old";
        } else if (c.credential == CredentialKind::CurrentAndNew) {
            words.push_back("--credentials-stdin");
            input = R"({"password":"old","newPassword":"new","confirmation":"new"})";
        }
        if (c.takes_algorithm)
            words.insert(words.end(), {"--algorithm", "xchacha20"});
        if (c.takes_compression)
            words.insert(words.end(), {"--experimental-compression", "fast", "16384"});

        Sandbox box;
        box.fake_engine(engine_prints(kResult));
        CliRun run = run_cli(box, CliOptions{words, input});
        ASSERT_EQ(run.exit_code, 0) << run.err;

        std::vector<std::string> sent = box.engine_args();
        ASSERT_FALSE(sent.empty());
        std::string program = "tarnwick-engine";
        std::vector<char *> argv = {program.data()};
        for (std::string &word : sent)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const int argc = static_cast<int>(argv.size()) - 1;

        tw::EngineArgs args;
        ASSERT_EQ(tw::engine_special_command(argc, argv.data(), &args), c.special);
        if (!c.special) {
            const char *message = nullptr;
            ASSERT_EQ(tw::engine_parse_general(argc, argv.data(), &args, &message), 0) << message;
            EXPECT_EQ(args.pair_given, c.takes_compression);
        }
        EXPECT_EQ(args.command, c.command);
        EXPECT_EQ(args.credential_kind, static_cast<uint32_t>(c.credential));

        const std::string request = box.read("stdin.bin");
        if (c.credential == CredentialKind::None) {
            EXPECT_TRUE(request.empty());
            continue;
        }
        bool locked = false;
        tw::CredentialRecord *record = tw::credential_record_new(&locked);
        ASSERT_NE(record, nullptr);
        ASSERT_EQ(tw::credential_decode(reinterpret_cast<const uint8_t *>(request.data()),
                                        request.size(), record),
                  0);
        EXPECT_EQ(record->kind, static_cast<uint32_t>(c.credential));
        if (c.takes_algorithm) {
            // The cipher travels as the ALGORITHM argument, or else in the request.
            bool as_argument = tw::engine_argument_index(c, tw::EngineArgument::Algorithm) >= 0;
            EXPECT_EQ(as_argument ? args.output_cipher : record->cipher, tw::kCipherXChaCha20);
        }
        tw::credential_record_free(record);
    }
}

} // namespace
