// Starting the programs iSCSI tests talk to: target-serve and peer tools.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw::test {

// A running target-serve; stopped with SIGTERM and reaped on destruction.
struct ServedFile {
    pid_t pid = -1;
    uint16_t port = 0;

    ServedFile() = default;
    ServedFile(const ServedFile &) = delete;
    ServedFile &operator=(const ServedFile &) = delete;
    ~ServedFile() { stop(); }
    // Returns the exit status of target-serve (or -1 when none ran).
    int stop();
};

// Starts target-serve for `path` with the CHAP secret on its standard input;
// `options` go before the positional arguments. False when it did not print a
// port.
bool serve_file(ServedFile *served, const std::string &path, const std::string &target_name,
                const std::string &chap_name, const std::string &secret,
                const std::vector<std::string> &options);

// Starts `argv[0]` (an absolute path) with `in`, `out` and `err` as its
// standard input, output and error (-1 keeps the test's own). The pid, or -1.
pid_t spawn_program(const std::vector<std::string> &argv, int in, int out, int err);

// Waits for `pid`: its exit status, or -1 when it was killed by a signal or
// could not be waited for.
int wait_program(pid_t pid);

// Runs a program to its end, collecting standard output and error together.
// Returns its exit status (-1 when it could not be started or was killed);
// `timeout_seconds` kills it when exceeded.
int run_program(const std::vector<std::string> &argv, std::string *output, int timeout_seconds);

// A fresh temporary folder, removed with its contents on destruction.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
};

} // namespace tw::test
