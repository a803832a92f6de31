// Builders for credential requests and a runner for the engine program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw::test {

struct Request {
    uint32_t kind = 1;
    uint32_t cipher = 255;
    std::string password;
    std::string system_key;
    std::string new_password;
    // Override the encoded lengths (to describe fields that do not match).
    int64_t password_length = -1;
    int64_t system_key_length = -1;
    int64_t new_password_length = -1;
    std::string trailing; // bytes after the last field
};

std::vector<uint8_t> encode(const Request &r);

struct EngineRun {
    int exit_code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const;
};

// Starts TW_BIN_DIR/tarnwick-engine with args, writes stdin_bytes and closes
// its standard input, collects both outputs. XDG_RUNTIME_DIR points to a
// fresh temporary folder (returned in runtime_dir when asked).
EngineRun run_engine(const std::vector<std::string> &args, const std::vector<uint8_t> &stdin_bytes,
                     std::string *runtime_dir = nullptr);

// The same, calling `on_line` with every complete line of standard output
// (and the engine's process id) while the engine runs, and once with an
// empty line as soon as the engine has started.
EngineRun run_engine_watching(const std::vector<std::string> &args,
                              const std::vector<uint8_t> &stdin_bytes,
                              const std::function<void(const std::string &line, int pid)> &on_line);

// The same with another program than the engine (a test build of it; empty:
// the engine) and with HOME set to `home` (and no XDG_DATA_HOME), so that
// the user root lies in a folder of the test. `on_line` may be null.
EngineRun run_engine_with(const std::string &program, const std::string &home,
                          const std::vector<std::string> &args,
                          const std::vector<uint8_t> &stdin_bytes,
                          const std::function<void(const std::string &line, int pid)> &on_line);

// The same with the engine running as `uid` (and group `uid`), for a test
// running as root, optionally with memory locking denied to it. Exit code
// 126 when the identity or the limit could not be changed.
EngineRun run_engine_as_user(uid_t uid, const std::vector<std::string> &args,
                             const std::vector<uint8_t> &stdin_bytes,
                             bool deny_memory_locking = false);

// A temporary folder owned by `uid` (mode 0700) for running the engine as
// that user; removed with its contents when it goes out of scope. When the
// test is not root, or the engine cannot run as `uid` from this build (a
// build folder the user cannot reach), `skip_reason` says why.
struct UserFolder {
    explicit UserFolder(uid_t uid);
    ~UserFolder();
    UserFolder(const UserFolder &) = delete;
    UserFolder &operator=(const UserFolder &) = delete;
    // Writes a file owned by the user with `mode`; returns its path.
    std::string put(const std::string &name, const std::vector<uint8_t> &bytes, mode_t mode);

    uid_t uid;
    std::string path;
    std::string skip_reason;
};

} // namespace tw::test
