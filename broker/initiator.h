// What the broker asks of the iSCSI initiator.
//
// The default initiator is its own root daemon (tarnwick-initiator), which
// publishes its process id in /run/tarnwick/initiator.pid and answers on the
// root-only socket /run/tarnwick/initiator.sock. While it does not run, no
// iSCSI session of this machine exists: its disks end with it. The functions
// below go through one table of backend functions (IscsiBackend), so that the
// kernel's initiator can be put behind the same calls.
#pragma once

#include "platform/secure_memory.h"

#include <string>
#include <vector>

namespace tw {

struct IscsiLogin {
    std::string iqn;
    uint16_t port = 0;
    std::string chap_name;
    const SecureBuffer *chap_secret = nullptr;
};

struct IscsiBackend {
    const char *name;
    int (*ensure_service)();
    int (*login)(const IscsiLogin &login, std::string *session, std::string *message);
    int (*session_devices)(const std::string &session, std::string *device, int *disk);
    int (*logout)(const std::string &session);
    int (*session_list)(std::vector<std::string> *ids);
    int (*set_write_protect)(const std::string &session, bool enable);
};

// Starts the initiator service unless it runs, and waits until it answers.
// 0 or a negative errno.
int ensure_iscsi_service();

// Logs into the target on 127.0.0.1:port with CHAP. 0 with *session (a
// unique id); otherwise a negative errno (-EACCES: credentials or admission
// refused) and *message says why for people.
int iscsi_login(const IscsiLogin &login, std::string *session, std::string *message);

// The block device of a session ("/dev/loopN") and its disk number (N). 0,
// -ENOENT for an unknown session, or another negative errno.
int iscsi_session_devices(const std::string &session, std::string *device, int *disk);

// The ids of the initiator's current sessions. 0 with the list (empty when
// the initiator is not running), or a negative errno when its pid file is not
// trustworthy or it does not answer.
int iscsi_session_list(std::vector<std::string> *ids);

// Logs the initiator out of one session and removes its disk. 0 when the
// session is gone afterwards (also when it did not exist); -EBUSY while a
// mount or an open descriptor still uses the disk (nothing changes); -EIO.
int iscsi_logout(const std::string &session);

// Sends the disk's vendor write-protect command: enable restores the
// protection, otherwise it is lifted. 0, -EPERM when the disk refuses, or
// another negative errno.
int iscsi_set_write_protect(const std::string &session, bool enable);

// True when the list holds the session id.
bool iscsi_session_exists(const std::vector<std::string> &ids, const std::string &session);

// Tests point the client at the program they built. Null restores the
// installed one (tarnwick-initiator beside this program).
void iscsi_set_initiator_program_for_testing(const char *path);

} // namespace tw
