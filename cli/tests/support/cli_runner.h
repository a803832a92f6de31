// Runs the real tarnwick program from a private folder, next to a fake
// engine (a shell script) or next to the real one.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw::test {

// A temporary folder holding bin/ (a copy of tarnwick, and the engine the
// test chooses), run/ (XDG_RUNTIME_DIR) and home/ (HOME). Removed at the end.
class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    const std::string &dir() const { return dir_; }
    std::string bin() const { return dir_ + "/bin"; }
    std::string program() const { return dir_ + "/bin/tarnwick"; }
    std::string runtime() const { return dir_ + "/run"; }

    // Writes bin/tarnwick-engine as a /bin/sh script. The prelude saves the
    // engine's arguments (one per line) to bin/args.txt and its standard
    // input to bin/stdin.bin, and answers "creation-options" like the real
    // engine; `body` follows.
    void fake_engine(const std::string &body);
    // Copies the real engine next to the copy of tarnwick.
    void real_engine();

    // Copies the scripted mount service (tarnwick-test-service) into bin/
    // as tarnwick-service, with its script (the JSON text of
    // service-script.json). The client starts it when it finds no service.
    void fake_service(const std::string &script);
    // The requests the scripted service received, one JSON text each.
    std::vector<std::string> service_requests() const;

    bool has(const std::string &name) const; // a file in bin/
    std::string read(const std::string &name) const;
    std::vector<std::string> engine_args() const;
    // The words with a leading "@" replaced by the sandbox folder.
    std::vector<std::string> in_sandbox(std::vector<std::string> words) const;

  private:
    std::string dir_;
};

struct CliRun {
    int exit_code = -1;
    std::string out;      // standard output
    std::string err;      // standard error (a pipe)
    std::string terminal; // everything written to the terminal, when there was one
};

struct CliOptions {
    std::vector<std::string> args;
    std::string input; // standard input (a pipe) when there is no terminal
    // Give the program a controlling terminal (a pseudo-terminal): its
    // standard input and standard error are on it, standard output stays a
    // pipe. Without it the program has no terminal at all.
    bool terminal = false;
    // Typed at the terminal: each answer is written once the terminal shows
    // the matching prompt and has echo switched off.
    std::vector<std::pair<std::string, std::string>> answers; // prompt, typed text
    // Called once the program runs (with its process id), e.g. to signal it.
    std::function<void(pid_t)> while_running;
    std::string working_dir; // default: the sandbox folder
};

CliRun run_cli(const Sandbox &sandbox, const CliOptions &options);

// A line of a fake engine's script that prints `json` as one event line.
std::string engine_prints(const std::string &json);

// Fake engine script pieces around its cancellation event, as the real
// engine has it: the first creates the event file (unset); the second waits
// up to 30 s until the flag in it is set, then leaves "saw-cancel" in the
// engine's folder and removes the event (exit 9 on time-out).
std::string engine_creates_cancel_event();
std::string engine_waits_for_cancel();

// The credential request the engine should have received.
std::string request_bytes(uint32_t kind, const std::string &password,
                          const std::string &new_password = "", uint32_t cipher = 255);

// Waits up to timeout_ms for a file in the sandbox's bin folder.
bool wait_for_file(const Sandbox &sandbox, const std::string &name, int timeout_ms);

} // namespace tw::test
