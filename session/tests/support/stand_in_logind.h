// A stand-in for logind on a private D-Bus (dbus-daemon with a bus of its
// own): it owns "org.freedesktop.login1", hands out inhibitor locks as pipe
// ends it watches, names one login session for every process, and emits
// the end of that session when told. Header-only; tests that include it
// link libsystemd.
#pragma once

#include "session/tests/support/session_fixtures.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <unistd.h>

namespace tw::test {

struct StandInLogind {
    std::string dir;
    pid_t daemon = -1;
    std::string address;
    sd_bus *bus = nullptr;
    std::thread loop;
    std::atomic<bool> quit{false};
    std::atomic<bool> emit_removed{false};
    std::atomic<int> inhibits{0};
    // The login session's creation time (microseconds) and remote flag: a
    // test starts a new sign-in by changing the time.
    std::atomic<uint64_t> session_created{1765000000000000ull};
    std::atomic<bool> session_remote{false};
    std::string inhibit_args; // what the last Inhibit asked for
    int held = -1;            // our end of the last inhibitor's pipe
    std::mutex lock;

    static int on_inhibit(sd_bus_message *m, void *user, sd_bus_error *) {
        auto *self = static_cast<StandInLogind *>(user);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        if (sd_bus_message_read(m, "ssss", &what, &who, &why, &mode) < 0)
            return -EINVAL;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return -errno;
        {
            std::lock_guard<std::mutex> g(self->lock);
            self->inhibit_args = std::string(what) + "|" + who + "|" + why + "|" + mode;
            if (self->held >= 0)
                close(self->held);
            self->held = fds[0];
        }
        self->inhibits++;
        int rc = sd_bus_reply_method_return(m, "h", fds[1]);
        close(fds[1]);
        return rc;
    }
    static int on_session_by_pid(sd_bus_message *m, void *, sd_bus_error *) {
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/login1/session/_31");
    }

    static int get_created(sd_bus *, const char *, const char *, const char *,
                           sd_bus_message *reply, void *user, sd_bus_error *) {
        auto *self = static_cast<StandInLogind *>(user);
        return sd_bus_message_append(reply, "t", self->session_created.load());
    }
    static int get_remote(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                          void *user, sd_bus_error *) {
        auto *self = static_cast<StandInLogind *>(user);
        int remote = self->session_remote.load() ? 1 : 0;
        return sd_bus_message_append(reply, "b", remote);
    }

    bool start() {
        char pattern[] = "/tmp/tw-logind-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return false;
        dir = pattern;
        chmod(dir.c_str(), 0755);
        std::string config =
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>system</type><listen>unix:path=" +
            dir +
            "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
            "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        write_bytes(dir + "/bus.conf", Bytes(config.begin(), config.end()));
        daemon = fork();
        if (daemon == 0) {
            // Every user of the test may connect to the bus socket.
            umask(0);
            std::string config_option = "--config-file=" + dir + "/bus.conf";
            execl("/usr/bin/dbus-daemon", "dbus-daemon", config_option.c_str(), "--nofork",
                  "--nopidfile", nullptr);
            _exit(127);
        }
        address = "unix:path=" + dir + "/bus";
        for (int i = 0; i < 500; i++) {
            struct stat st {};
            if (stat((dir + "/bus").c_str(), &st) == 0)
                break;
            usleep(10000);
        }
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_negotiate_fds(bus, 1) < 0 ||
            sd_bus_start(bus) < 0)
            return false;
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("Inhibit", "ssss", "h", on_inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("GetSessionByPID", "u", "o", on_session_by_pid,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("SessionRemoved", "so", 0),
            SD_BUS_SIGNAL("PrepareForShutdown", "b", 0),
            SD_BUS_VTABLE_END};
        if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", vtable, this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0)
            return false;
        static const sd_bus_vtable session_vtable[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Timestamp", "t", get_created, 0, 0),
            SD_BUS_PROPERTY("Remote", "b", get_remote, 0, 0), SD_BUS_VTABLE_END};
        if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1/session/_31",
                                     "org.freedesktop.login1.Session", session_vtable, this) < 0)
            return false;
        loop = std::thread([this] {
            while (!quit) {
                if (emit_removed.exchange(false))
                    sd_bus_emit_signal(bus, "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "SessionRemoved", "so",
                                       "1", "/org/freedesktop/login1/session/_31");
                while (sd_bus_process(bus, nullptr) > 0) {
                }
                sd_bus_wait(bus, 50000);
            }
        });
        return true;
    }
    // True while the service holds the inhibitor it was given last.
    bool inhibitor_held() {
        std::lock_guard<std::mutex> g(lock);
        if (held < 0)
            return false;
        pollfd p{held, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    ~StandInLogind() {
        quit = true;
        if (loop.joinable())
            loop.join();
        if (bus != nullptr)
            sd_bus_flush_close_unref(bus);
        if (held >= 0)
            close(held);
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }
};

template <typename F>
inline bool eventually(F condition, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (condition())
            return true;
        usleep(20000);
    }
    return condition();
}

} // namespace tw::test
