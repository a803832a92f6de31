// Running the real tarnwick-worker and an independent initiator (libiscsi)
// against it, inside a private mount namespace whose /run/tarnwick is a
// fresh tmpfs where the test's initiator publishes its process id.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw::test {

using Bytes = std::vector<uint8_t>;

// True once this test program runs as root in its own mount namespace with
// a tmpfs over /run/tarnwick; the reason otherwise.
bool private_namespace_ready(std::string *why);

// A kind-1 (current password only) or kind-2 credential request.
Bytes credential_request(const std::string &password, uint32_t cipher = 255,
                         const std::string &system_key = "");
Bytes credential_request_new(const std::string &current, const std::string &fresh);

Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &bytes);
std::string sha256_of_file(const std::string &path);

// Runs a program to its end with `input` on its standard input; returns its
// exit status (-1 when killed or not started) and its outputs.
int run(const std::vector<std::string> &argv, const Bytes &input, std::string *out,
        std::string *err = nullptr, int timeout_seconds = 120);
// Runs a shell command; true when it exits 0.
bool shell(const std::string &command);

// A running worker with its first line of standard output.
struct WorkerProcess {
    pid_t pid = -1;
    std::string mount_id;
    std::string line; // the ready or error line
    int exit_code = -1;
    // From the ready line.
    uint16_t port = 0;
    std::string target;
    std::string secret;

    WorkerProcess() = default;
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;
    ~WorkerProcess();

    bool ready() const { return port != 0; }
    // libiscsi's URL of the target.
    std::string url() const;
    // Sets the worker's named event ("Stop", "Repaired", "Unchecked").
    bool signal(const std::string &event) const;
    // Sets "Stop" and waits for the exit status.
    int stop();
    // SIGKILL and reap.
    void kill_now();
    // Waits for the process to end; its exit status.
    int wait();
};

// Starts `tarnwick-worker` with exactly `args` (after the program name) and
// `input` on its standard input, and reads its first output line.
void start_worker(WorkerProcess *worker, const std::vector<std::string> &args, const Bytes &input);

// Starts "serve MOUNT-ID CONTAINER STATUS MODE".
void serve(WorkerProcess *worker, const std::string &mount_id, const std::string &container,
           const std::string &status, const std::string &mode, const Bytes &input);

// Runs iscsi-io against the worker as the published initiator (or, with
// `published` false, while another process is published). Returns its exit
// status; `output` gets what it printed.
int initiator(const WorkerProcess &worker, const std::vector<std::string> &commands,
              std::string *output, bool published = true);

// A running initiator (for kills during a stream of writes).
struct InitiatorProcess {
    pid_t pid = -1;
    int out = -1;
    std::string output;
    ~InitiatorProcess();
    // Reads output until `text` appears (true) or the process ends (false).
    bool wait_for(const std::string &text, int timeout_ms = 60000);
    int wait();
    void kill_now();
};
void start_initiator(InitiatorProcess *process, const WorkerProcess &worker,
                     const std::vector<std::string> &commands);

// Reads the little-endian fields of an 80-byte status file.
uint32_t status32(const std::string &path, size_t offset);
uint64_t status64(const std::string &path, size_t offset);

} // namespace tw::test
