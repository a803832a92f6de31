#include "gui/autostart.h"

#include "runtime/records.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

std::string autostart_file_path() {
    std::string config;
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] != '/')
            return std::string();
        config = std::string(home) + "/.config";
    }
    return config + "/autostart/tarnwick.desktop";
}

std::string autostart_text(std::string_view program) {
    // Inside a quoted Exec argument '"', '`', '$' and '\' are escaped with a
    // backslash; the desktop-entry string rules then double every
    // backslash. '%' starts a field code and is written "%%".
    std::string exec = "\"";
    for (char c : program) {
        if (c == '\n' || c == '\r')
            return std::string();
        if (c == '"' || c == '`' || c == '$')
            exec += "\\\\";
        else if (c == '\\')
            exec += "\\\\\\";
        else if (c == '%')
            exec += '%';
        exec += c;
    }
    exec += "\" --login";
    return "[Desktop Entry]\nType=Application\nName=Tarnwick\nExec=" + exec +
           "\nIcon=tarnwick\nX-GNOME-Autostart-enabled=true\n";
}

bool autostart_enabled(std::string_view program) {
    const std::string path = autostart_file_path();
    const std::string expected = autostart_text(program);
    if (path.empty() || expected.empty())
        return false;
    char *contents = nullptr;
    size_t length = 0;
    if (read_whole_file(path.c_str(), 65536, &contents, &length) != 0)
        return false;
    const bool equal = std::string_view(contents, length) == expected;
    free_whole_file(contents, length);
    return equal;
}

int autostart_set(std::string_view program, bool enabled) {
    const std::string path = autostart_file_path();
    if (path.empty())
        return -EIO;
    if (!enabled)
        return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -EIO;
    const std::string text = autostart_text(program);
    if (text.empty())
        return -EIO;
    // The folders may not exist yet on a fresh account.
    const std::string autostart = path.substr(0, path.rfind('/'));
    const std::string config = autostart.substr(0, autostart.rfind('/'));
    mkdir(config.c_str(), 0700);
    mkdir(autostart.c_str(), 0700);
    return write_record_file(path.c_str(), text.data(), text.size()) == 0 ? 0 : -EIO;
}

std::string autostart_program_path() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer)
        return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

} // namespace tw
