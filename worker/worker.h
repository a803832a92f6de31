// The mount worker: one process per mount. It unlocks one container,
// decides whether the mount may be writable, serves the decrypted image
// through the loopback iSCSI target and reports its state in the shared
// status record and through its named events.
#pragma once

namespace tw {

// Runs `tarnwick-worker serve MOUNT-ID CONTAINER STATUS-FILE MODE` with the
// credential request on standard input; returns the exit code: 0 after a
// clean end, 1 after a failure or a serve that lost data, 2 when the
// credentials were wrong.
int worker_main(int argc, char **argv);

} // namespace tw
