// The state of a system service, for the installation check: asked of
// systemd where it manages the machine, else read from the service's socket.
#include "client/client.h"

#include "platform/folders.h"
#include "platform/io.h"
#include "platform/process.h"
#include "runtime/pipes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace tw {

namespace {

constexpr int kSystemctlTimeoutMs = 5000;

bool systemd_manages_machine() {
    struct stat st {};
    return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

std::string find_systemctl() {
    for (const char *path : {"/usr/bin/systemctl", "/bin/systemctl"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

// Runs "systemctl show" for the unit; false when it could not be asked.
bool systemctl_show(const std::string &systemctl, std::string_view unit, std::string *text) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const std::string argv[] = {systemctl, "show", "--property=LoadState,UnitFileState,ActiveState",
                                std::string(unit)};
    LaunchOptions options;
    options.stdout_fd = fds[1];
    LaunchedProcess child;
    int rc = launch_process(argv, options, &child);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return false;
    }
    char chunk[1024];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, kSystemctlTimeoutMs) <= 0) {
            ::kill(child.pid, SIGKILL);
            break;
        }
        ssize_t n = read_some(fds[0], chunk, sizeof chunk);
        if (n <= 0 || text->size() > 65536)
            break;
        text->append(chunk, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (child.pidfd >= 0)
        ::close(child.pidfd);
    int status = 0;
    // The child must be reaped whatever interrupts the wait: retry until it is.
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string property(const std::string &text, const char *name) {
    std::string key = std::string(name) + "=";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, key.size(), key) == 0)
            return text.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return {};
}

std::string socket_state(std::string_view socket_path) {
    if (socket_path.empty())
        return "missing";
    std::string path(socket_path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return "missing";
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return "stopped";
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "stopped";
    bool answers = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return answers ? "running" : "stopped";
}

constexpr const char *kInitiatorPidFile = "/run/tarnwick/initiator.pid";

} // namespace

std::string initiator_service_state() {
    std::string program;
    struct stat st {};
    if (program_file_path("tarnwick-initiator", &program) != 0 ||
        ::stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "missing";
    std::ifstream in(kInitiatorPidFile);
    long pid = 0;
    bool running = false;
    if (in >> pid && pid > 0 &&
        process_identity(static_cast<pid_t>(pid), &running, nullptr, nullptr) == 0 && running)
        return "running";
    return "stopped";
}

std::string broker_service_state() {
    std::string systemctl = find_systemctl();
    if (systemd_manages_machine() && !systemctl.empty())
        return system_service_state("tarnwick-broker.service", "");
    FileHandle connection;
    const char *message = nullptr;
    int rc = broker_connect(&connection, &message);
    if (rc == 0)
        return "running";
    if (rc == -EPERM)
        return "unverified";
    struct stat st {};
    return ::lstat(kBrokerSocketPath, &st) == 0 && S_ISSOCK(st.st_mode) ? "stopped" : "missing";
}

std::string system_service_state(std::string_view unit, std::string_view socket_path) {
    std::string systemctl = find_systemctl();
    std::string text;
    if (systemd_manages_machine() && !systemctl.empty() && systemctl_show(systemctl, unit, &text)) {
        std::string load = property(text, "LoadState");
        if (!load.empty()) {
            // A masked unit cannot be started at all, which is what a
            // disabled service means here; "disabled" units still start on
            // demand.
            if (load == "not-found")
                return "missing";
            if (load == "masked" || property(text, "UnitFileState") == "masked")
                return "disabled";
            return property(text, "ActiveState") == "active" ? "running" : "stopped";
        }
    }
    return socket_state(socket_path);
}

} // namespace tw
