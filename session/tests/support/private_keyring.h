// A keyring of the test's own: a private session bus (dbus-daemon with a
// configuration that activates nothing, so no other keyring can start on
// it) listening at $XDG_RUNTIME_DIR/bus, where programs look for the user's
// session bus, and gnome-keyring-daemon's Secret Service on it, its login
// keyring created and unlocked with a password fed on standard input.
// Header-only; tests that include it run external programs only.
#pragma once

#include "session/tests/support/session_fixtures.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw::test {

struct PrivateKeyring {
    std::string runtime; // the XDG_RUNTIME_DIR the bus lives in
    std::string address;
    pid_t bus = -1;
    pid_t keyring = -1;

    uid_t user = static_cast<uid_t>(-1);
    std::vector<std::string> environment;

    // Starts the bus in `runtime_dir` and, with `with_keyring`, the Secret
    // Service. Both run as `as_user` (default: this process's user) with the
    // environment given (HOME and XDG_DATA_HOME name where the keyring keeps
    // its files; by default this process's). Sets DBUS_SESSION_BUS_ADDRESS
    // here.
    bool start(const std::string &runtime_dir, bool with_keyring = true,
               uid_t as_user = static_cast<uid_t>(-1), std::vector<std::string> env = {}) {
        runtime = runtime_dir;
        user = as_user;
        environment = std::move(env);
        std::string socket = runtime + "/bus";
        address = "unix:path=" + socket;
        std::string config = runtime + "/session-bus.conf";
        std::string text =
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>" +
            address +
            "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
            "<allow own=\"*\"/></policy></busconfig>\n";
        write_bytes(config, Bytes(text.begin(), text.end()));
        bus = fork();
        if (bus == 0) {
            become_user();
            std::string option = "--config-file=" + config;
            execl("/usr/bin/dbus-daemon", "dbus-daemon", option.c_str(), "--nofork", "--nopidfile",
                  nullptr);
            _exit(127);
        }
        bool listening = false;
        for (int i = 0; i < 500 && !listening; i++) {
            struct stat st {};
            listening = stat(socket.c_str(), &st) == 0;
            if (!listening)
                usleep(10000);
        }
        if (!listening)
            return false;
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        return !with_keyring || start_keyring();
    }

    bool start_keyring() {
        int input[2];
        if (pipe2(input, O_CLOEXEC) != 0)
            return false;
        keyring = fork();
        if (keyring == 0) {
            dup2(input[0], 0);
            become_user();
            execl("/usr/bin/gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground",
                  "--unlock", "--components=secrets", nullptr);
            _exit(127);
        }
        close(input[0]);
        const char password[] = "keyring password";
        bool fed = write(input[1], password, sizeof password - 1) ==
                   static_cast<ssize_t>(sizeof password - 1);
        close(input[1]);
        // The service is there once it owns its name on the bus.
        for (int i = 0; fed && i < 500; i++) {
            if (shell("dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                      "/org/freedesktop/DBus org.freedesktop.DBus.GetNameOwner "
                      "string:org.freedesktop.secrets >/dev/null 2>&1"))
                return true;
            usleep(20000);
        }
        return false;
    }

    // In a child: the user and environment asked for.
    void become_user() {
        for (std::string &e : environment)
            putenv(e.data());
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        if (user != static_cast<uid_t>(-1) &&
            (setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0))
            _exit(99);
    }

    // The attributes and label of the saved items, as secret-tool lists them.
    std::string listing(const std::string &target) const {
        std::string out = runtime + "/listing.txt";
        shell("secret-tool search --all target '" + target + "' >'" + out + "' 2>&1");
        Bytes bytes = read_bytes(out);
        return std::string(bytes.begin(), bytes.end());
    }

    void stop() {
        for (pid_t *pid : {&keyring, &bus}) {
            if (*pid > 0) {
                kill(*pid, SIGTERM);
                waitpid(*pid, nullptr, 0);
            }
            *pid = -1;
        }
    }
    ~PrivateKeyring() { stop(); }
};

} // namespace tw::test
