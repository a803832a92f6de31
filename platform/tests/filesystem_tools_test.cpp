#include "platform/filesystem_tools.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw {
namespace {

std::string rebuilt(const std::vector<std::string> &pieces, size_t limit = 16384) {
    TerminalText text;
    text.limit = limit;
    for (const std::string &p : pieces)
        terminal_feed(&text, std::span<const char>(p.data(), p.size()));
    return terminal_finish(&text);
}

// Output is kept as a terminal shows it, also when a carriage return and its
// line feed arrive in different pieces.
TEST(TerminalText, RebuildsWhatATerminalShows) {
    const struct {
        std::vector<std::string> pieces;
        std::string shown;
    } cases[] = {
        {{"plain\nlines\n"}, "plain\nlines\n"},
        // Progress overwritten in place: only its final state stays.
        {{"10%\r50%\r100%\r", "\ndone\n"}, "100%\ndone\n"},
        {{"10%\r50%\r100%\r"}, "100%\n"},
        {{"a\r", "\nb\n"}, "a\nb\n"},
        {{"ab\r", "c\n"}, "c\n"},
        {{"abc\b\bX\n"}, "aX\n"},
        {{"\b\bx\n"}, "x\n"},
        {{"bell\a and \x1b[0m escape\x7f\n"}, "bell and [0m escape\n"},
        {{"trailing   \t\n"}, "trailing\n"},
        {{"no line break at the end"}, "no line break at the end\n"},
        {{"dos\r\nlines\r\n"}, "dos\nlines\n"},
        {{""}, ""},
    };
    for (const auto &c : cases) {
        std::string input;
        for (const std::string &p : c.pieces)
            input += p + "|";
        EXPECT_EQ(rebuilt(c.pieces), c.shown) << input;
    }
}

TEST(TerminalText, LongLinesAndTheTailLimit) {
    EXPECT_EQ(rebuilt({std::string(3000, 'x') + "\n"}),
              std::string(kTerminalLineLimit, 'x') + "\n");
    // 100 numbered lines of 10 bytes with a limit of 95: the tail is cut
    // after a line break, so it begins with a whole line.
    std::string many;
    for (int i = 0; i < 100; i++) {
        char line[32];
        snprintf(line, sizeof line, "line %04d\n", i);
        many += line;
    }
    std::string tail = rebuilt({many}, 95);
    EXPECT_EQ(tail.substr(0, 10), "line 0091\n");
    EXPECT_EQ(tail.size(), 90u);
    EXPECT_EQ(text_tail("short", 95), "short");
}

TEST(ToolRun, CapturesBothStreamsAndTheExitCode) {
    int code = -1;
    std::string out;
    ASSERT_EQ(tool_run(std::vector<std::string>{"sh", "-c",
                                                "printf 'one\\r'; printf 'two\\n' >&2; exit 3"},
                       0, 16384, &code, &out),
              0);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(out, "two\n");
    out.clear();
    EXPECT_EQ(tool_run(std::vector<std::string>{"sh", "-c", "kill -9 $$"}, 0, 16384, &code, &out),
              0);
    EXPECT_EQ(code, 128 + 9);
    EXPECT_EQ(tool_run(std::vector<std::string>{"no-such-tool-here"}, 0, 16384, &code, &out),
              -ENOENT);
    // A tool that outlives its limit is killed and counts as a failure (1).
    // Its background child keeps the pipe open; the kill ends the wait anyway.
    EXPECT_EQ(tool_run(std::vector<std::string>{"sh", "-c", "echo started; exec sleep 60"}, 300,
                       16384, &code, &out),
              0);
    EXPECT_EQ(code, 1);
}

} // namespace
} // namespace tw
