// Running the system's filesystem tools (fsck, mkfs) on a volume and keeping
// what they print as a terminal would have shown it.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace tw {

// Lines keep at most this many characters; the rest of a line is dropped.
inline constexpr size_t kTerminalLineLimit = 1023;

// A program's output rebuilt as a terminal shows it: a carriage return that
// is not followed by a line feed starts the line again (progress lines
// overwrite themselves), a backspace removes the character before it, other
// control characters are dropped, trailing blanks are trimmed, and only the
// last `limit` bytes of finished lines are kept (cut after a line break).
struct TerminalText {
    size_t limit = 16384;
    std::string finished; // whole lines, each ending in '\n'
    std::string line;     // the line being written
    bool carriage_return = false;
};

// Adds bytes as they arrive; a carriage return may end one piece and its line
// feed start the next.
void terminal_feed(TerminalText *text, std::span<const char> bytes);

// Ends the output: a line still being written counts as finished (its last
// state, also when it ended in a carriage return). The finished text.
std::string terminal_finish(TerminalText *text);

// The last `limit` bytes of text, cut after the first line break inside them
// (the whole text when it is not longer).
std::string text_tail(const std::string &text, size_t limit);

// An installed program in the system's own folders (/usr/sbin, /usr/bin,
// /sbin, /bin), never through PATH; "" when there is none.
std::string system_program(const char *name);

// Runs argv (argv[0] a program name found by system_program) with standard
// input empty and standard output and error in one pipe, rebuilt into
// *output (appended). The child dies with the calling thread. With
// timeout_ms > 0 a child still running then is killed (exit code 1, as a
// terminated tool). 0 with *exit_code (128 + signal for a child that died of
// one); -ENOENT when the program is not installed; another negative errno
// when it could not run.
int tool_run(std::span<const std::string> argv, int timeout_ms, size_t output_limit, int *exit_code,
             std::string *output);

} // namespace tw
