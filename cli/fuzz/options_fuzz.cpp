// Command lines of any shape: the option parser takes words out of the list
// by position and must never read past its end, whatever follows an option.
#include "cli/cli.h"
#include "runtime/engine_commands.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Words are separated by NUL bytes; bytes from 0xE0 on stand for the
    // options, the command names and a few values (32 slots for the words),
    // which makes them likely to appear together.
    static const std::vector<std::string> kWords = [] {
        std::vector<std::string> w = {"--json",
                                      "--password-stdin",
                                      "--credentials-stdin",
                                      "--experimental-compression",
                                      "--algorithm",
                                      "--experimental-write",
                                      "--label",
                                      "--partition",
                                      "fast",
                                      "4096"};
        for (const tw::EngineCommandInfo &c : tw::engine_commands())
            if (c.cli_name != nullptr)
                w.push_back(c.cli_name);
        return w;
    }();
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (b == 0) {
            words.push_back(word);
            word.clear();
        } else if (b >= 0xE0) {
            words.push_back(kWords[(b - 0xE0) % kWords.size()]);
        } else {
            word.push_back(static_cast<char>(b));
        }
    }
    if (!word.empty())
        words.push_back(word);
    tw::EngineRunContext ctx;
    // No engine runs: "--algorithm" fails for want of an engine beside the
    // fuzzer, which is a failure like any other.
    tw::CliArgs parsed;
    tw::ClientOutcome out;
    if (tw::cli_parse_options(&ctx, words, &parsed, &out) == 0) {
        if (parsed.words.empty())
            __builtin_trap();
        for (size_t i = 1; i < parsed.words.size(); ++i)
            if (parsed.words[i].starts_with("--"))
                __builtin_trap();
    } else if (out.message.empty()) {
        __builtin_trap();
    }
    return 0;
}
