// The initiator service: the root daemon that holds every iSCSI session of
// this machine, so that restarting the broker never cuts a mounted disk off.
//
// It answers one framed JSON request per connection on the root-only socket
// "/run/tarnwick/initiator.sock" (runtime/pipes.h framing; clients other than
// uid 0 are closed unanswered) and publishes its process id in the root-owned
// "/run/tarnwick/initiator.pid", which the targets admit. Requests name their
// operation in "action":
//
//   "login"         {iqn, port, chapName, chapSecret} -> {session}
//   "devices"       {session} -> {device, disk, readOnly}
//   "logout"        {session} -> {}   (result -16 while the disk is in use)
//   "sessions"      {} -> {sessions: [id, ...]}
//   "write-protect" {session, enable} -> {}
//
// Every reply carries "result" (0 or a negative errno) and, on failure,
// "error" with a text for people.
#pragma once

#include "runtime/json.h"

namespace tw {

inline constexpr const char *kInitiatorSocket = "/run/tarnwick/initiator.sock";
inline constexpr const char *kInitiatorPidFile = "/run/tarnwick/initiator.pid";

struct InitiatorService;

InitiatorService *initiator_service_create();
// Logs out every session, detaching their loop devices and FUSE mounts.
void initiator_service_destroy(InitiatorService *service);

// The reply to one request; the caller owns it.
JsonValue *initiator_handle_request(InitiatorService *service, const JsonValue *request);

// The program: takes the socket (first instance only), publishes the pid,
// serves until SIGTERM or SIGINT, then ends every session. The exit status.
int initiator_main(int argc, char **argv);

} // namespace tw
