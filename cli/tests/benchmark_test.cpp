// "tarnwick benchmark": the engine's rates as an aligned table or as one JSON
// object, and the real engine's run, which must measure every rate.
#include "support/cli_runner.h"

#include "runtime/json.h"

#include <gtest/gtest.h>

namespace {

using namespace tw::test;

const std::string kEventPrefix = R"({"event":"result",)";
const std::string kResult =
    R"({"event":"result","ciphers":[)"
    R"({"algorithm":9,"cipher":"AES-256-XTS","encryptMBps":3300,"decryptMBps":3021},)"
    R"({"algorithm":10,"cipher":"XChaCha20","encryptMBps":2100,"decryptMBps":2090},)"
    R"({"algorithm":1,"cipher":"SSE1","encryptMBps":190,"decryptMBps":180},)"
    R"({"algorithm":8,"cipher":"XOR","encryptMBps":12500,"decryptMBps":12400}],)"
    R"("hmacSha256MBps":1650,"lz4CompressMBps":700,"lz4DecompressMBps":3000,)"
    R"("v3WriteMBps":1200,"v3ReadMBps":1900,"v3Threads":2,"keyDerivationMs":274,"version":1})";

// The result's members without the event's "event" and "version", as
// `benchmark --json` prints them.
std::string result_members() {
    const size_t end = kResult.find(R"(,"version")");
    std::string out = "{";
    out.append(kResult, kEventPrefix.size(), end - kEventPrefix.size());
    out += "}\n";
    return out;
}

TEST(Benchmark, PrintsTheEnginesRatesAsTableOrJson) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"benchmark"},
         "Speed of this machine (MB/s = 10^6 bytes per second)\n"
         "AES-256-XTS, 512-byte sectors           encrypt 3300 MB/s, decrypt 3021 MB/s\n"
         "XChaCha20, 512-byte sectors             encrypt 2100 MB/s, decrypt 2090 MB/s\n"
         "SSE1, 512-byte sectors                  encrypt 190 MB/s, decrypt 180 MB/s\n"
         "XOR, 512-byte sectors                   encrypt 12500 MB/s, decrypt 12400 MB/s\n"
         "HMAC-SHA-256, 16 KiB chunks             1650 MB/s\n"
         "LZ4, 16 KiB chunks                      compress 700 MB/s, decompress 3000 MB/s\n"
         "v3 container, 16 KiB chunks, 2 threads  write 1200 MB/s, read 1900 MB/s\n"
         "Storage-key derivation                  274 ms\n"},
        {{"benchmark", "--json"}, result_members()},
    };
    for (const Case &c : cases) {
        Sandbox box;
        box.fake_engine(engine_prints(kResult));
        CliRun run = run_cli(box, CliOptions{c.args});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(box.engine_args(), std::vector<std::string>{"benchmark"});
        EXPECT_EQ(box.read("stdin.bin"), "");
    }

    Sandbox box;
    box.fake_engine(engine_prints(kResult));
    CliRun run = run_cli(box, CliOptions{{"benchmark", "extra"}});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "Incorrect arguments. Run tarnwick --help.\n");
}

TEST(Benchmark, RealEngineMeasuresEveryRate) {
    Sandbox box;
    box.real_engine();
    CliRun run = run_cli(box, CliOptions{{"benchmark", "--json"}});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_FALSE(run.out.empty());
    tw::JsonValue *result = tw::json_parse(run.out.data(), run.out.size() - 1);
    ASSERT_NE(result, nullptr) << run.out;
    int ciphers = 0;
    for (const tw::JsonValue *c = tw::json_first(tw::json_get(result, "ciphers")); c != nullptr;
         c = tw::json_next(c), ++ciphers) {
        EXPECT_GT(tw::json_get_int(c, "encryptMBps", 0), 0) << tw::json_get_string(c, "cipher", "");
        EXPECT_GT(tw::json_get_int(c, "decryptMBps", 0), 0) << tw::json_get_string(c, "cipher", "");
    }
    EXPECT_EQ(ciphers, 4);
    for (const char *rate : {"hmacSha256MBps", "lz4CompressMBps", "lz4DecompressMBps",
                             "v3WriteMBps", "v3ReadMBps", "v3Threads", "keyDerivationMs"})
        EXPECT_GT(tw::json_get_int(result, rate, 0), 0) << rate;
    tw::json_free(result);
}

} // namespace
