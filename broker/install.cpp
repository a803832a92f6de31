#include "broker/install.h"

#include "broker/records.h"
#include "broker/service.h"
#include "broker/texts.h"
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "runtime/records.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr int kStopPolls = 9000;
constexpr int kStopPollMs = 100;

struct UnitPlace {
    std::string path;
    bool systemd; // systemctl may be run
};

UnitPlace unit_place() {
    const char *test_folder = getenv(kUnitFolderTestVariable);
    if (test_folder != nullptr && test_folder[0] == '/')
        return {std::string(test_folder) + "/" + kBrokerUnitName, false};
    // The test systemd itself uses to tell whether it booted the machine.
    struct stat st;
    bool running = lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
    return {std::string(kSystemUnitFolder) + "/" + kBrokerUnitName, running};
}

// Runs systemctl with the arguments and returns its exit status (-1 when it
// could not run).
int systemctl(std::vector<std::string> arguments) {
    std::string program;
    for (const char *candidate : {"/usr/bin/systemctl", "/bin/systemctl"})
        if (access(candidate, X_OK) == 0) {
            program = candidate;
            break;
        }
    if (program.empty())
        return -1;
    arguments.insert(arguments.begin(), program);
    LaunchOptions options;
    options.stderr_fd = STDERR_FILENO;
    LaunchedProcess child;
    if (launch_process(arguments, options, &child) != 0)
        return -1;
    close(child.pidfd);
    int status = 0;
    if (process_wait(child.pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// systemd's quoting for an ExecStart path: the path in double quotes, with
// backslash, double quote, "%" (specifiers) and "$" (variables) escaped.
std::string quoted_exec_path(const std::string &path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '%')
            out += '%';
        if (c == '$')
            out += '$';
        out += c;
    }
    return out + "\"";
}

std::string unit_text(const std::string &program) {
    return "# Attaches and detaches Tarnwick encrypted disks for signed-in users. It never "
           "receives passwords.\n"
           "[Unit]\n"
           "Description=Tarnwick Broker\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           quoted_exec_path(program) +
           "\n"
           "Restart=on-failure\n"
           "TimeoutStopSec=30\n"
           // Only the broker stops with its unit: the initiator service and
           // the filesystem drivers it started carry the mounted disks, and a
           // restart of the broker must not cut them off.
           "KillMode=process\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// True when a broker answers on its socket.
bool broker_answers() {
    FileHandle fd;
    return pipe_connect(kBrokerSocketPath, 0, &fd) == 0;
}

// True when any engine runs: a process whose program is the engine next to
// this broker, or one named tarnwick-engine whose program cannot be read.
// Trouble reading the process list counts as an engine running.
bool engines_running() {
    std::string engine;
    if (program_file_path("tarnwick-engine", &engine) != 0)
        return true;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return true;
    bool found = false;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::string program;
        int rc = process_image_path(static_cast<pid_t>(pid), &program);
        if (rc == 0) {
            if (program == engine)
                found = true;
            continue;
        }
        if (rc == -ENOENT || rc == -ESRCH)
            continue; // ended meanwhile, or a kernel thread
        char comm[64] = {};
        std::string comm_path = "/proc/" + std::string(entry->d_name) + "/comm";
        if (FILE *f = fopen(comm_path.c_str(), "re")) {
            if (fgets(comm, sizeof comm, f) == nullptr)
                comm[0] = '\0';
            fclose(f);
        }
        // The kernel keeps 15 characters of the name.
        if (strncmp(comm, "tarnwick-engine", 15) == 0)
            found = true;
    }
    closedir(proc);
    return found;
}

bool require_root() {
    if (geteuid() == 0)
        return true;
    fprintf(stderr, "%s\n", kTextRunAsRoot);
    return false;
}

} // namespace

int broker_install() {
    if (!require_root())
        return 1;
    std::string program;
    if (program_file_path("tarnwick-broker", &program) != 0)
        return 1;
    UnitPlace unit = unit_place();
    std::string text = unit_text(program);
    if (write_record_file(unit.path.c_str(), text.data(), text.size()) != 0 ||
        chmod(unit.path.c_str(), 0644) != 0) {
        fprintf(stderr, kTextCannotWriteUnit, unit.path.c_str());
        return 1;
    }
    if (!unit.systemd) {
        fprintf(stderr, kTextNoSystemd, unit.path.c_str());
        return 0;
    }
    // Starting a running service succeeds and leaves it running.
    if (systemctl({"daemon-reload"}) != 0 || systemctl({"enable", kBrokerUnitName}) != 0 ||
        systemctl({"start", kBrokerUnitName}) != 0) {
        fprintf(stderr, "%s\n", kTextSystemctlFailed);
        return 1;
    }
    return 0;
}

int broker_remove() {
    if (!require_root())
        return 1;
    UnitPlace unit = unit_place();
    auto refuse = [](const char *message, bool restart) {
        fprintf(stderr, "%s\n", message);
        if (restart)
            systemctl({"start", kBrokerUnitName});
        return 2;
    };
    if (engines_running())
        return refuse(kTextEnginesRunning, false);

    struct stat st;
    bool unit_exists = lstat(unit.path.c_str(), &st) == 0;
    bool stopped_here = false;
    if (broker_answers()) {
        if (!unit.systemd || !unit_exists)
            return refuse(kTextRunningOutsideSystemd, false);
        systemctl({"stop", kBrokerUnitName});
        stopped_here = true;
        int polls = 0;
        while (broker_answers() && ++polls < kStopPolls)
            usleep(kStopPollMs * 1000);
        if (broker_answers())
            return refuse(kTextDidNotStop, false);
    }

    // The records as the broker would load them at start.
    RecordTable table;
    bool refused = false;
    bool format_attached = false;
    if (machine_folder_existing("broker", &table.folder) == 0) {
        struct stat folder;
        if (lstat(table.folder.c_str(), &folder) == 0 && records_load(&table, boot_time()) != 0)
            table.unreadable++;
        for (const RecordSlot &s : table.slots)
            if (s.record != nullptr && strcmp(record_phase(s.record), "disconnected") != 0) {
                refused = true;
                format_attached = format_attached || record_is_format(s.record);
            }
        records_free(&table);
    }
    if (refused || table.unreadable != 0) {
        fprintf(stderr, "%s\n", kTextUnmountAll);
        if (table.unreadable != 0)
            fprintf(stderr, kTextUnreadableRecords,
                    table.folder.empty() ? "the broker folder" : table.folder.c_str());
        if (format_attached)
            fprintf(stderr, "%s", kTextFormatStillAttached);
        if (stopped_here)
            systemctl({"start", kBrokerUnitName});
        return 2;
    }

    if (unit.systemd && unit_exists)
        systemctl({"disable", kBrokerUnitName});
    if (unlink(unit.path.c_str()) != 0 && errno != ENOENT) {
        fprintf(stderr, kTextCannotRemoveUnit, unit.path.c_str());
        return 1;
    }
    if (unit.systemd)
        systemctl({"daemon-reload"});
    return 0;
}

int broker_purge() {
    if (!require_root())
        return 1;
    std::string root, records, log;
    if (machine_folder_existing("", &root) != 0)
        return 0;
    if (machine_folder_existing("broker", &records) == 0)
        rmdir(records.c_str());
    if (machine_folder_existing("broker.log", &log) == 0) {
        unlink(log.c_str());
        unlink((log + ".1").c_str());
    }
    rmdir(root.c_str());
    return 0;
}

int broker_main(int argc, char **argv) {
    harden_process();
    if (argc == 1)
        return broker_serve();
    if (argc == 2 && strcmp(argv[1], "install") == 0)
        return broker_install();
    if (argc == 2 && strcmp(argv[1], "remove") == 0)
        return broker_remove();
    if (argc == 2 && strcmp(argv[1], "purge") == 0)
        return broker_purge();
    fprintf(stderr, "%s\n", kTextUsage);
    return 1;
}

} // namespace tw
