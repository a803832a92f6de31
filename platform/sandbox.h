// The sandbox of a process that parses untrusted files (the import worker).
//
// Entering it is one way: the process moves into new user, mount, network
// and IPC namespaces (its user keeps its own id there), sets no-new-privs,
// and installs a seccomp filter that leaves it only work on the descriptors
// it already holds: reading and writing them, their status, locks and
// flushing, receiving descriptors on a socket it has, memory, time,
// randomness, threads and exiting. Opening a path, creating a socket or
// starting a process kills it (SIGSYS); creating a file fails with EACCES,
// which is what the proof below observes.
#pragma once

namespace tw {

// Descriptor of /proc/self/status opened before the filter goes in, so that
// the proof can read it afterwards (procfs renders it anew on every read).
// The caller closes it. A negative errno on failure.
int sandbox_open_status();

// Enters the sandbox. Before the filter goes in, the crypto library is made
// to load everything it would otherwise load on first use. 0 or a negative
// errno; on failure the process must not go on (nothing is undone).
int sandbox_enter();

// Proves that this process is sandboxed: its status (read through
// `status_fd`) says seccomp mode 2 and no-new-privs, and creating the probe
// file "tarnwick-XXXXXXXXXXXXXXXX.probe" (8 random bytes) in the temporary
// folder ($TMPDIR, else /tmp) fails with EACCES. 0, or -EPERM when any of it
// does not hold.
int sandbox_prove(int status_fd);

} // namespace tw
