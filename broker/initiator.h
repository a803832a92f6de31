// What the broker asks of the iSCSI initiator service.
//
// The initiator is its own root daemon (tarnwick-initiator), which publishes
// its process id in /run/tarnwick/initiator.pid. While it does not run, no
// iSCSI session of this machine exists: its disks end with it.
#pragma once

#include <string>
#include <vector>

namespace tw {

// The ids of the initiator's current sessions. 0 with the list (empty when
// the initiator is not running); -ENOTSUP when it runs but this build has no
// client for it yet; or another negative errno when its pid file is not
// trustworthy.
int iscsi_session_list(std::vector<std::string> *ids);

// Logs the initiator out of one session and removes its target. 0 when the
// session is gone afterwards (also when it did not exist).
int iscsi_logout(const std::string &session);

// True when the list holds the session id.
bool iscsi_session_exists(const std::vector<std::string> &ids, const std::string &session);

} // namespace tw
