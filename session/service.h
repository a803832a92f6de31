// The session service's state: one process per user that owns every mount
// of that user. One lock (Service::lock) guards all of it except the atomic
// flags; the request threads, the housekeeping thread and the sign-out
// watcher take it for everything they touch.
#pragma once

#include "platform/descriptor.h"
#include "runtime/json.h"
#include "runtime/pipes.h"
#include "session/protocol.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace tw {

// A failure as the caller sees it: a short code and a complete sentence.
struct SessionError {
    std::string code;
    std::string message;
    bool set() const { return !code.empty() || !message.empty(); }
};

// Records the failure and returns `result` (a negative errno).
int session_fail(SessionError *err, const char *code, const char *message, int result);

// One mount session in memory. A slot is free when it has no record.
struct SessionSlot {
    JsonValue *record = nullptr; // owned
    // The worker started by this instance: its pidfd (readable once it has
    // ended) and id; none after a service restart.
    FileHandle worker;
    pid_t worker_pid = 0;
    // The worker's status file "status.bin", mapped read-only (80 bytes).
    FileHandle status_file;
    const uint8_t *status = nullptr;
    uint64_t last_activity = 0;     // monotonic_now of the last known activity
    uint64_t next_idle_attempt = 0; // 0 for none
    // Set while the broker checks this session's filesystems with the
    // service lock released; unmount and preference changes keep away.
    bool checking = false;
};

struct MountTicket {
    std::string ticket;
    std::string operation_id;
    std::string request_text; // empty for a free slot
    std::string session_id;
    int outcome = 0; // 0 not yet mounted, 1 mounted, 2 failed
    std::string error_code;
    std::string error_message;
    uint64_t expiry = 0; // monotonic_now units
};

inline constexpr size_t kRecordWarningsMax = 9;

struct SignOutWatch; // session/signout.h

struct Service {
    std::string user;        // the uid as text
    std::string socket_path; // "Tarnwick.Session.UID" in the runtime folder
    std::string run_folder;  // "run" in the user root: one folder per session
    std::string instance;    // a UUID made at every start
    std::string own_path;    // "tarnwick-service" in the program folder, or empty
    std::string build;       // installation fingerprint, or empty
    std::string worker_program;
    uint64_t start = 0; // this process's start time
    uint64_t boot = 0;  // boot_time at start

    std::atomic<bool> stopping{false};
    std::atomic<int> active_requests{0};

    std::mutex lock; // the service lock
    uint64_t last_refresh = 0;
    SessionSlot slots[session_wire::kSessionSlots];
    MountTicket tickets[session_wire::kTicketSlots];
    std::vector<std::string> warnings; // damaged session records, at most 9
    // The sign-in issues: library entry id -> the text of its last failure
    // during this sign-in, in the order they were recorded. Every reply
    // carries the texts after the record warnings.
    std::vector<std::pair<std::string, std::string>> sign_in_issues;

    // Set when the service has finally stopped; the housekeeping thread waits
    // on it between its rounds.
    std::mutex stop_lock;
    std::condition_variable stop_signal;
    bool stopped = false;

    PipeServer server;
    SignOutWatch *sign_out = nullptr;

    Service() = default;
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    ~Service();
};

// Fills the identity of the service (user, socket, folders, instance, own
// path, build, start time). 0 or a negative errno.
int service_init(Service *service);

// True when the service may stop and be replaced: no session slot in use,
// no record warnings, and no session folder (a UUID name) in the run folder.
// Under the lock.
bool service_can_restart(Service *service);

// Answers one request: validates version and operation id, refreshes the
// sessions when the last refresh is a second old, runs the action and adds
// the full status. Called with `held` owning the service lock; a repair gives
// it up while the broker checks. `client` is the requesting process (0 when
// unknown): sign-in mounting asks logind which sign-in it belongs to. Never
// null.
JsonValue *service_dispatch(Service *service, const JsonValue *request,
                            std::unique_lock<std::mutex> &held, pid_t client = 0);

// Runs the service: socket, records, threads, the accept loop and the
// ending. The process exit code.
int service_main();

// Sets the stopping flag and wakes the accept loop with one connection to
// the service's own socket.
void service_request_stop(Service *service);

} // namespace tw
