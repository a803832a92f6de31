// Sign-out and shutdown through logind.
//
// Where logind runs, the service holds a "delay" inhibitor lock for
// shutdown while any session slot is in use, so the machine waits for the
// disks to be detached; when logind announces the shutdown, or removes the
// login session the service runs in, every session is unmounted and the lock
// is released. Where logind does not run, nothing of this happens and one
// log line says so.
#pragma once

#include "session/service.h"

namespace tw {

// Connects to the system bus and starts the watcher thread. 0, or a negative
// errno when logind is not there (the service then runs without it).
int sign_out_start(Service *service);

// Takes or releases the inhibitor to match the slots in use. Under the lock.
void sign_out_update(Service *service);

// Stops the watcher and releases the inhibitor.
void sign_out_stop(Service *service);

} // namespace tw
