#include "broker/initiator.h"

#include "platform/process.h"
#include "platform/socket_owner.h"

#include <algorithm>
#include <cerrno>

namespace tw {

namespace {

constexpr const char *kInitiatorPidFile = "/run/tarnwick/initiator.pid";

// 0 and *running, or a negative errno for a pid file that cannot be trusted.
int initiator_running(bool *running) {
    *running = false;
    pid_t pid = 0;
    int rc = read_root_pid_file(kInitiatorPidFile, &pid);
    if (rc == -ENOENT)
        return 0;
    if (rc != 0)
        return rc;
    return process_identity(pid, running, nullptr, nullptr);
}

} // namespace

int iscsi_session_list(std::vector<std::string> *ids) {
    ids->clear();
    bool running = false;
    int rc = initiator_running(&running);
    if (rc != 0)
        return rc;
    return running ? -ENOTSUP : 0;
}

int iscsi_logout(const std::string &session) {
    std::vector<std::string> ids;
    int rc = iscsi_session_list(&ids);
    if (rc != 0)
        return rc;
    return iscsi_session_exists(ids, session) ? -ENOTSUP : 0;
}

bool iscsi_session_exists(const std::vector<std::string> &ids, const std::string &session) {
    return !session.empty() && std::find(ids.begin(), ids.end(), session) != ids.end();
}

} // namespace tw
