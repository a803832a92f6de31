// One login of the initiator: an iSCSI session to a loopback target, its LUN
// presented as the single file "disk" of a FUSE mount under
// /run/tarnwick/luns/ID/, and a loop block device over that file.
//
// Each session runs its FUSE server on a thread of its own. The loop device
// is configured and detached from the calling thread, never from the FUSE
// thread, because the kernel sends the FUSE server requests while it does so.
#pragma once

#include "platform/secure_memory.h"

#include <cstdint>
#include <string>

namespace tw {

struct InitiatorSession;

struct SessionLogin {
    std::string iqn; // the target to log into
    uint16_t port = 0;
    std::string chap_name;
    SecureBuffer chap_secret;
};

// Logs in and presents the disk. 0 with *out; otherwise a negative errno,
// *message (static text) says why, and nothing of the session is left.
// -EACCES: the target refused the CHAP credentials or this initiator.
int session_login(const std::string &id, const SessionLogin &login, InitiatorSession **out,
                  const char **message);

const std::string &session_id(const InitiatorSession *session);
const std::string &session_device(const InitiatorSession *session);
int session_disk(const InitiatorSession *session);
bool session_read_only(const InitiatorSession *session);

// Logs out when nothing uses the disk: -EBUSY (and everything stays) while
// a mount or an open descriptor holds the loop device; 0 when all is gone
// (the session is freed); -EIO when some of it could not be removed (the
// session is freed; what was left is logged by the caller).
int session_logout(InitiatorSession *session);

// Removes what a service that ended without logging out left under
// /run/tarnwick/luns: the loop devices over its LUN files, and its FUSE
// mounts, whose server is gone with it. Only the one running service calls
// this, before it takes any session.
void session_sweep_leftovers();

// Tears down whatever uses the disk or not, and frees the session.
void session_destroy(InitiatorSession *session);

// Sends the vendor write-protect command: enable restores the protection,
// otherwise it is lifted. The loop device follows the target's new state
// where its file allows. 0, -EPERM when the target refuses the switch, or
// -EIO.
int session_set_write_protect(InitiatorSession *session, bool enable);

} // namespace tw
