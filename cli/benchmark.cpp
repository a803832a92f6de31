// "benchmark": the engine measures, the command line prints one aligned
// table (or the rates as one JSON object).
#include "cli/cli.h"
#include "cli/texts.h"

#include "runtime/json.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tw {

namespace {

// The result members printed by --json, in this order.
constexpr const char *kMembers[] = {"ciphers",           "hmacSha256MBps", "lz4CompressMBps",
                                    "lz4DecompressMBps", "v3WriteMBps",    "v3ReadMBps",
                                    "v3Threads",         "keyDerivationMs"};

template <typename... Args>
std::string text(const char *format, Args... args) {
    char line[256];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}

double rate(const JsonValue *object, const char *key) {
    return json_get_double(object, key, 0);
}

} // namespace

int cli_benchmark(EngineRunContext *ctx, const CliArgs &args) {
    if (args.words.size() != 1)
        return cli_fail("usage", kTextIncorrectArguments);
    ClientOutcome outcome;
    if (engine_benchmark(ctx, &outcome) != 0)
        return cli_fail(outcome);
    const JsonValue *r = outcome.result;
    if (args.json) {
        JsonValue *object = json_new(JsonKind::Object);
        for (const char *member : kMembers)
            if (const JsonValue *value = json_get(r, member))
                json_set(object, member, json_clone(value));
        cli_print_json(object);
        json_free(object);
        return 0;
    }
    std::vector<std::pair<std::string, std::string>> rows;
    for (const JsonValue *c = json_first(json_get(r, "ciphers")); c != nullptr; c = json_next(c))
        rows.emplace_back(
            text(kTextBenchmarkCipher, json_get_string(c, "cipher", "")),
            text(kTextBenchmarkEncryptDecrypt, rate(c, "encryptMBps"), rate(c, "decryptMBps")));
    rows.emplace_back(kTextBenchmarkHmac, text(kTextBenchmarkRate, rate(r, "hmacSha256MBps")));
    rows.emplace_back(kTextBenchmarkLz4, text(kTextBenchmarkLz4Rates, rate(r, "lz4CompressMBps"),
                                              rate(r, "lz4DecompressMBps")));
    rows.emplace_back(
        text(kTextBenchmarkV3, static_cast<long long>(json_get_int(r, "v3Threads", 1))),
        text(kTextBenchmarkV3Rates, rate(r, "v3WriteMBps"), rate(r, "v3ReadMBps")));
    rows.emplace_back(kTextBenchmarkKdf, text(kTextBenchmarkKdfTime, rate(r, "keyDerivationMs")));
    size_t width = 0;
    for (const auto &row : rows)
        width = std::max(width, row.first.size());
    std::string table = kTextBenchmarkTitle;
    for (const auto &row : rows)
        table += "\n" + row.first + std::string(width + 2 - row.first.size(), ' ') + row.second;
    cli_print(table);
    return 0;
}

} // namespace tw
