#include "broker/callers.h"

#include "platform/folders.h"
#include "platform/process.h"
#include "platform/socket_owner.h"
#include "runtime/text.h"

#include <arpa/inet.h>
#include <cerrno>

namespace tw {

int verify_caller(pid_t pid, uint64_t start_time, const std::string &user, const char *program,
                  uint16_t port) {
    if (pid <= 0 || program == nullptr)
        return -EPERM;
    std::string expected, actual;
    if (program_file_path(program, &expected) != 0 || process_image_path(pid, &actual) != 0 ||
        !paths_equal(expected.c_str(), actual.c_str()))
        return -EPERM;
    bool running = false;
    uint64_t started = 0;
    std::string uid;
    if (process_identity(pid, &running, &started, &uid) != 0 || !running || uid != user ||
        (start_time != 0 && started != start_time))
        return -EPERM;
    if (port != 0) {
        // A listener's row has no remote end.
        SocketOwner owner{};
        if (tcp_socket_owner(htonl(INADDR_LOOPBACK), port, 0, 0, &owner) != 0 || owner.pid != pid)
            return -EPERM;
    }
    return 0;
}

} // namespace tw
