// Argument processing: usage, version, option checks in their fixed order,
// and commands refused before any engine or password is touched.
#include "support/cli_runner.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace tw::test;

TEST(Arguments, UsageAndVersion) {
    Sandbox box;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"--help"}, {"help"}}) {
        CliRun run = run_cli(box, CliOptions{args});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_TRUE(run.out.starts_with("Tarnwick Pro for Linux 0.1.1 (build 108)\n\n"
                                        "tarnwick --version [--json]\n"))
            << run.out;
        EXPECT_TRUE(run.out.ends_with("Mounting uses the Tarnwick initiator service on the "
                                      "loopback interface only.\n"))
            << run.out;
        EXPECT_NE(run.out.find("32 characters without \\ / : * ? \" < > |.\n"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } versions[] = {
        {{"--version"}, "Tarnwick Pro 0.1.1 (build 108)\n"},
        {{"version"}, "Tarnwick Pro 0.1.1 (build 108)\n"},
        {{"version", "--json"}, "{\"version\":\"0.1.1\",\"build\":\"108\"}\n"},
        {{"--json", "--version"}, "{\"version\":\"0.1.1\",\"build\":\"108\"}\n"},
    };
    for (const Case &c : versions) {
        CliRun run = run_cli(box, CliOptions{c.args});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out, c.out);
    }
}

TEST(Arguments, RefusedBeforeAnythingRuns) {
    const std::string stdin_message =
        "Use --credentials-stdin for creation, conversion or replacement, or --password-stdin "
        "for other credential operations.";
    const std::string compression_usage =
        "Use --experimental-compression off|fast CHUNK_BYTES with create, image, rekey, convert "
        "or replace.";
    const std::string compression_values =
        "Choose compression off or fast and a chunk size of 4096, 16384 or 65536 bytes.";
    const std::string algorithm_usage =
        "Use --algorithm with an encryption algorithm name for create, image, convert or replace.";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"verify", "c.zcx", "--credentials-stdin"}, stdin_message},
        {{"rekey", "c.zcx", "n.zcx", "--password-stdin"}, stdin_message},
        {{"info", "c.zcx", "--password-stdin"}, stdin_message},
        {{"convert", "c", "n", "--password-stdin", "--credentials-stdin"}, stdin_message},
        {{"verify", "c", "--password-stdin", "--credentials-stdin"}, stdin_message},
        {{"verify", "c", "--experimental-compression", "fast", "4096"}, compression_usage},
        {{"rekey", "c", "n", "--experimental-compression", "fast"}, compression_usage},
        {{"rekey", "c", "n", "--experimental-compression", "fast", "4k"}, compression_usage},
        {{"rekey", "c", "n", "--experimental-compression", "fast", "-4096"}, compression_usage},
        {{"rekey", "c", "n", "--experimental-compression", "zip", "4096"}, compression_values},
        {{"rekey", "c", "n", "--experimental-compression", "fast", "8192"}, compression_values},
        {{"import-veracrypt", "v", "n", "--experimental-compression", "fast", "4096"},
         "Import-veracrypt writes an uncompressed ZCX."},
        {{"rekey", "c", "n", "--algorithm", "xor"}, algorithm_usage},
        {{"convert", "c", "n", "--algorithm"}, algorithm_usage},
        {{"verify", "c", "--experimental-write"}, "Use --experimental-write only with mount."},
        {{"verify", "c", "--label", "x"}, "Use --label with a mount name."},
        {{"mount", "c", "--label"}, "Use --label with a mount name."},
        {{"mount", "c", "--label", " x"},
         "Use a mount label of 1 to 100 UTF-8 bytes without slashes, colons, control "
         "characters, a leading dot, or surrounding spaces."},
        {{"mount", "c", "--label", "a/b"},
         "Use a mount label of 1 to 100 UTF-8 bytes without slashes, colons, control "
         "characters, a leading dot, or surrounding spaces."},
        {{"mount", "c", "--partition", "0"}, "Use --partition with a positive data-volume number."},
        {{"mount", "c", "--partition", "129"},
         "Use --partition with a positive data-volume number."},
        {{"mount", "c", "--partition", "+1"},
         "Use --partition with a positive data-volume number."},
        {{"verify", "c", "--partition", "1"},
         "Use --partition with a positive data-volume number."},
        {{"verify", "c", "--force"}, "Unknown option. Run tarnwick --help."},
        {{"info", "c", "--json", "--json"}, "Unknown option. Run tarnwick --help."},
        {{"info"}, "Incorrect arguments. Run tarnwick --help."},
        {{"export", "c"}, "Incorrect arguments. Run tarnwick --help."},
        {{"rekey", "c", "n", "x"}, "Incorrect arguments. Run tarnwick --help."},
        {{"replace", "c", "n"}, "Incorrect arguments. Run tarnwick --help."},
        {{"version", "x"}, "Incorrect arguments. Run tarnwick --help."},
        {{"recover-replacement"}, "Use recover-replacement FILE."},
        {{"recover-replacement", "a", "b"}, "Use recover-replacement FILE."},
        {{"inspect", "c"}, "Unknown command. Run tarnwick --help."},
        {{"help", "me"}, "Unknown command. Run tarnwick --help."},
        {{"--json"}, "Unknown command. Run tarnwick --help."},
        {{"verify", "c\xff"}, "Invalid arguments."},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine("exit 0");
        CliRun run = run_cli(box, CliOptions{c.args, "pw"});
        std::string name = testing::PrintToString(c.args);
        EXPECT_EQ(run.exit_code, 1) << name;
        EXPECT_EQ(run.err, c.err + "\n") << name;
        EXPECT_EQ(run.out, "") << name;
        EXPECT_FALSE(box.has("args.txt")) << name << ": the engine must not start";
        EXPECT_FALSE(box.has("stdin.bin")) << name;
    }
}

TEST(Arguments, AlgorithmNamesComeFromTheEngine) {
    struct Case {
        std::string name;
        int exit_code;
        std::string err;
    } cases[] = {
        {"Twofish", 1, "Unknown encryption algorithm. Run tarnwick --help.\n"},
        {"AES", 1, "Unknown encryption algorithm. Run tarnwick --help.\n"},
        {"sse1", 0,
         "Warning: AES-256-XTS is the recommended default. Read this cipher's notice in "
         "Important Information and Licenses.\n"},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine("printf '%s\\n' '{\"event\":\"result\",\"version\":1}'");
        CliRun run = run_cli(
            box, CliOptions{{"convert", "c", "n", "--algorithm", c.name, "--credentials-stdin"},
                            R"({"password":"p","newPassword":"n","confirmation":"n"})"});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.err, c.err) << c.name;
    }
    // The engine's own failure to list its ciphers is what the user sees.
    Sandbox box;
    box.fake_engine("");
    std::string script = box.read("tarnwick-engine");
    script.insert(script.find('\n') + 1,
                  "printf '%s\\n' '{\"event\":\"error\",\"code\":\"engine\",\"message\":\"No "
                  "ciphers.\",\"version\":1}'; exit 1\n");
    std::FILE *f = std::fopen((box.bin() + "/tarnwick-engine").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(script.c_str(), f);
    std::fclose(f);
    CliRun run = run_cli(box, CliOptions{{"convert", "c", "n", "--algorithm", "XOR"}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "No ciphers.\n");
}

TEST(Arguments, Doctor) {
    Sandbox box; // no engine next to this copy
    CliRun run = run_cli(box, CliOptions{{"doctor", "--json"}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(
        run.out.find(R"({"version":"0.1.1","build":"108","engineAvailable":false,"broker":")"),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(R"(,"operatingSystem":"Linux )"), std::string::npos) << run.out;

    box.fake_engine("exit 0");
    run = run_cli(box, CliOptions{{"doctor"}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.out.starts_with("Tarnwick Pro 0.1.1 (build 108)\nEngine: available\nBroker "
                                    "service: "))
        << run.out;
    EXPECT_TRUE(run.out.ends_with("Mounting: read-only by default; opt-in experimental writes\n"));
    EXPECT_NE(run.out.find("\nTarnwick initiator service: "), std::string::npos) << run.out;
    EXPECT_FALSE(box.has("args.txt")) << "doctor never starts the engine";
}

} // namespace
