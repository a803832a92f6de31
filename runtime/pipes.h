// Framed JSON messages over local stream sockets, and checking who is on the
// other end.
//
// The programs talk over AF_UNIX stream sockets: the front-ends to the
// per-user session service, the session service and the engine to the
// broker. Every message is one JSON object in one frame:
//
//   offset 0, 4 bytes: body length L, unsigned little-endian, 1 <= L <= 65536
//   offset 4, L bytes: the object as compact UTF-8 JSON, no terminator
//
// A client checks the server (pipe_verify_server) before it writes anything,
// so that no request, and so no password, ever reaches an impostor; a server
// identifies its client from the kernel's peer credentials.
//
// Results of the message functions use the numbers that travel between the
// programs (runtime/wire_errors.h): 0, kPipeTooLong, kPipeNoMemory,
// kPipeBroken, kPipeNotMessage or kPipeTimedOut. The connection functions
// return glibc errno values. Every descriptor is close-on-exec unless said
// otherwise; each is used by one thread at a time.
#pragma once

#include "platform/descriptor.h"
#include "runtime/json.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace tw {

inline constexpr size_t kPipeMessageMax = 65536;

inline constexpr int kPipeTooLong = -7;      // a body above kPipeMessageMax
inline constexpr int kPipeNoMemory = -12;    // serializing or buffering failed
inline constexpr int kPipeBroken = -32;      // read or write failed, end of stream
inline constexpr int kPipeNotMessage = -134; // length 0, or a body that is not one object
inline constexpr int kPipeTimedOut = -138;   // nothing complete before the deadline

// A time-out for pipe_receive_message that never expires.
inline constexpr int kPipeWaitForever = -1;

// The path of this user's session socket: "Tarnwick.Session.UID" in the
// per-user runtime folder (ensured private). 0 or a negative errno.
int session_socket_path(std::string *out);

// ---- Servers ----

struct PipeServer {
    FileHandle lock;     // exclusive flock on "PATH.lock", held for the server's life
    FileHandle listener; // the listening socket
    std::string path;
};

// Creates a listening socket at `path` with the given mode (0600 for the
// session socket, 0666 for the broker's: access is decided by the folder and
// by the peer checks). The first-instance rule: the server first takes an
// exclusive lock on "PATH.lock" and keeps it while it lives, so a second server
// of the same name fails with -EADDRINUSE however the first one ended; only
// then is a stale socket file removed and the new one bound. 0 or a negative
// errno.
int pipe_create_server(const char *path, mode_t mode, PipeServer *out);

// Closes the listener and removes the socket file while the lock is still
// held (so no second server's socket is removed), then releases the lock.
void pipe_close_server(PipeServer *server);

// Waits for the next client. 0 with *client set, or a negative errno.
int pipe_accept(PipeServer *server, FileHandle *client);

// ---- Clients ----

// Connects to the socket at `path`. While the server's queue of waiting
// clients is full (-EAGAIN) it retries every 200 ms until `timeout_ms` has
// passed. 0; -EAGAIN when still busy at the end; -ENOENT or -ECONNREFUSED
// when no server listens; or another negative errno.
int pipe_connect(const char *path, int timeout_ms, FileHandle *out);

// ---- Messages ----

// Serializes the object and sends it in one frame; the text is wiped after
// sending. kPipeTooLong (nothing written) for a body above the limit.
int pipe_send_message(int fd, const JsonValue *message);

// Receives one frame within `timeout_ms` (kPipeWaitForever: no deadline; the
// header and the body share one deadline) and parses it. On success *out is
// the object (the caller owns it). A length of 0 is kPipeNotMessage and one
// above the limit kPipeTooLong, both without reading the body; a body that
// does not parse as exactly one object (an array, a NUL byte inside) is
// kPipeNotMessage. The received text is wiped in every case.
int pipe_receive_message(int fd, int timeout_ms, JsonValue **out);

// The same two with one descriptor passed along with the frame (SCM_RIGHTS):
// the broker lends a device this way. The receiver gets it close-on-exec in
// *received; a frame that carried none leaves *received empty, and any
// further descriptors are closed.
int pipe_send_message_with_descriptor(int fd, const JsonValue *message, int passed);
int pipe_receive_message_with_descriptor(int fd, int timeout_ms, JsonValue **out,
                                         FileHandle *received);

// ---- Peers ----

struct PipePeer {
    pid_t pid = 0;
    uid_t uid = 0;
    std::string user; // the uid as decimal text: how records name the user
    // The peer's logon session. One interactive session per user here, so it
    // is the uid; it keys the per-session connection limit.
    uint64_t session = 0;
};

// The client's process and user from the kernel (SO_PEERCRED, fixed when the
// client connected). 0; -ESRCH when the kernel names no process; or another
// negative errno. Servers that cannot identify a client close it unanswered.
int pipe_identify_client(int fd, PipePeer *out);

// True when the client connected with effective uid 0.
bool pipe_client_is_admin(int fd);

// Checks the server at the other end of a connected client socket before
// anything is sent. The server process must be known and running. A
// per-user server must run as this process's effective user. A privileged
// server must run as root and listen on a socket file owned by root, in a
// folder chain owned by root that nobody else may change. With
// expected_program, the server's program file must be exactly that path.
bool pipe_verify_server(int fd, const char *expected_program, bool privileged);

// The program file of a process as far as the caller may see it: the
// /proc/PID/exe link, or, where the kernel refuses that link (another user's
// or a non-dumpable process), the first argument of its command line, which
// only the process itself could have chosen. 0 or a negative errno.
int pipe_peer_program(pid_t pid, std::string *out);

// ---- Child pipes ----

enum class ChildPipe {
    ChildReads,  // the child's standard input: the child gets the read end
    ChildWrites, // the child's standard output: the child gets the write end
};

// An anonymous pipe: the child's end inheritable, the parent's end
// close-on-exec. 0 or a negative errno.
int make_child_pipe(ChildPipe direction, FileHandle *parent_end, FileHandle *child_end);

// ---- The broker ----

// The broker's socket.
inline constexpr const char *kBrokerSocketPath = "/run/tarnwick/Tarnwick.Broker";

// Connects to the broker and checks it: a privileged server that runs the
// program "tarnwick-broker" in this program's own folder. On failure the
// result is negative and *message (static text) says what went wrong for the
// user; nothing was sent.
int broker_connect(FileHandle *out, const char **message);

// Sets "version" to 1 in the request, sends it, and waits without a time-out
// for the reply. The request is released in every case; the connection stays
// open (the caller closes it, or keeps it for a lent device). On success
// *reply is the reply object. A reply with an "error" text fails with that
// text in *message_text; other failures set *message_text to the broker
// client's messages. With `received`, a descriptor that came with the reply
// is kept there.
int broker_exchange(int fd, JsonValue *request, JsonValue **reply, std::string *message_text,
                    FileHandle *received = nullptr);

// Tests point the broker client at their own socket, program and time-out.
// Null restores the installed values.
struct BrokerEndpoint {
    std::string socket_path;
    std::string program_path;
    int connect_timeout_ms = 10000;
};
void broker_set_endpoint_for_testing(const BrokerEndpoint *endpoint);

} // namespace tw
