// The broker service: its state, the socket server and the dispatch of
// requests to actions.
//
// Threads: one accepts connections, one per connection serves its requests,
// one waits for SIGTERM/SIGINT. The global lock serialises every record
// change and every action (except the long part of a format or a check,
// which later work adds); a second lock guards the connection table, the
// log has its own.
#pragma once

#include "broker/records.h"
#include "platform/removable_disks.h"
#include "runtime/json.h"
#include "runtime/pipes.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tw {

inline constexpr const char *kBrokerVersion = "0.1.1";
inline constexpr int kBrokerBuild = 108;
inline constexpr const char *kBrokerRuntimeFolder = "/run/tarnwick";

// Connections: at most this many open at once per logon session (uid), in a
// table of this many sessions.
inline constexpr int kConnectionsPerSession = 16;
inline constexpr size_t kConnectionSessions = 64;
// The first request must arrive this soon after connecting.
inline constexpr int kFirstRequestTimeoutMs = 10000;

struct Broker {
    std::mutex lock; // the global lock: records and actions
    RecordTable records;
    uint64_t boot = 0;
    std::atomic<bool> stopping{false};
    // Requests being processed and devices lent out.
    std::atomic<int> in_flight{0};

    std::mutex connections_lock;
    struct SessionConnections {
        uint64_t session = 0;
        int open = 0; // 0: a free entry
    } connections[kConnectionSessions];

    PipeServer server;

    // Imaging approvals, in memory only; an empty slot has expiry 0.
    struct ImagingApproval {
        std::string user;
        std::string device;
        uint64_t identity = 0;
        uint64_t expiry_ms = 0; // monotonic milliseconds
    } approvals[8];
    // Where removable disks are looked for.
    BlockRoots device_roots;
};

// What one connection holds between its requests: at most one lent device,
// returned when the connection ends.
struct BrokerConnection {
    FileHandle lent_device;
    int pass_fd = -1; // a descriptor to send along with the next reply
};

// One request as an action sees it.
struct BrokerRequest {
    Broker *broker;
    int fd;               // the client's connection
    const PipePeer *peer; // who asks
    const JsonValue *request;
    BrokerConnection *connection; // null where requests are answered without one
};

// A reply for a failed request: {"error": message}.
JsonValue *broker_error_reply(const char *message);

// Answers one request: checks "version" and whether the broker is stopping,
// runs the action (under the global lock unless the action takes it itself)
// and returns the reply with "version" 1 as its last member. Never null.
JsonValue *broker_handle_request(Broker *broker, int fd, const PipePeer *peer,
                                 const JsonValue *request, BrokerConnection *connection = nullptr);

// Runs the broker until SIGTERM or SIGINT: creates the socket, loads the
// records, serves clients, and stops cleanly. The process exit code.
int broker_serve();

} // namespace tw
