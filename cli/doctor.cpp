// "doctor": what this installation can do: its programs, the broker, the
// initiator and mount services, and the operating system. Nothing is asked
// of a service beyond whether it answers as the installed one.
#include "cli/cli.h"
#include "cli/texts.h"

#include "platform/folders.h"
#include "platform/mounts.h"
#include "platform/process.h"
#include "runtime/text.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace tw {

namespace {

bool program_present(const char *name) {
    std::string path;
    struct stat st {};
    return program_file_path(name, &path) == 0 && ::stat(path.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

// The driver each supported filesystem would be mounted with.
struct DriverState {
    const char *filesystem;
    bool available = false;
    bool kernel = false;
    std::string driver;
};

std::vector<DriverState> driver_states() {
    std::vector<DriverState> states;
    for (const char *filesystem : {"FAT32", "exFAT", "NTFS"}) {
        DriverState d{filesystem};
        d.available = volume_driver(filesystem, &d.driver, &d.kernel) == 0;
        states.push_back(d);
    }
    return states;
}

// "kernel (vfat)", "FUSE (ntfs-3g)", or "none (install ntfs-3g)".
std::string driver_text(const DriverState &d) {
    if (!d.available)
        return d.driver.empty() ? "none" : "none (install " + d.driver + ")";
    return std::string(d.kernel ? "kernel (" : "FUSE (") + d.driver + ")";
}

std::string operating_system() {
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release;
}

} // namespace

int cli_doctor(const CliArgs &args) {
    const bool engine = program_present("tarnwick-engine");
    const std::string broker = broker_service_state();
    const std::string initiator = initiator_service_state();
    const std::string session = session_service_state();
    const std::string os = operating_system();
    const std::vector<DriverState> drivers = driver_states();

    std::vector<std::string> blockers;
    if (broker == "unverified")
        blockers.push_back(kTextBrokerUnverified);
    else if (broker != "running")
        blockers.push_back(kTextBrokerNotRunning);
    if (initiator == "disabled" || initiator == "missing")
        blockers.push_back(kTextInitiatorMissing);
    if (session == "missing")
        blockers.push_back(kTextSessionServiceMissing);
    if (std::none_of(drivers.begin(), drivers.end(),
                     [](const DriverState &d) { return d.available; }))
        blockers.push_back(kTextNoFilesystemDriver);

    if (args.json) {
        JsonValue *report = json_new(JsonKind::Object);
        json_set_string(report, "version", kCliVersion);
        json_set_string(report, "build", std::to_string(kCliBuild).c_str());
        json_set_bool(report, "engineAvailable", engine);
        json_set_string(report, "broker", broker.c_str());
        json_set_string(report, "iscsiInitiator", initiator.c_str());
        json_set_string(report, "sessionService", session.c_str());
        JsonValue *by_filesystem = json_new(JsonKind::Object);
        for (const DriverState &d : drivers) {
            JsonValue *entry = json_new(JsonKind::Object);
            json_set_bool(entry, "available", d.available);
            json_set_string(entry, "kind", d.kernel ? "kernel" : "fuse");
            json_set_string(entry, "driver", d.driver.c_str());
            json_set(by_filesystem, d.filesystem, entry);
        }
        json_set(report, "filesystemDrivers", by_filesystem);
        json_set_bool(report, "mountingEnabled", blockers.empty());
        JsonValue *list = json_new(JsonKind::Array);
        for (const std::string &b : blockers)
            json_append(list, json_new_string(b.c_str()));
        json_set(report, "mountingBlockers", list);
        json_set_string(report, "operatingSystem", os.c_str());
        cli_print_json(report);
        json_free(report);
        return 0;
    }
    cli_print("Tarnwick Pro " + cli_version_text());
    cli_print(std::string(kTextEngineLine) + (engine ? "available" : "missing"));
    cli_print(kTextBrokerLine + broker);
    cli_print(kTextInitiatorLine + initiator);
    cli_print(kTextSessionServiceLine + session);
    cli_print(kTextOperatingSystemLine + os);
    for (const DriverState &d : drivers) {
        char *line = format_alloc(kTextDriverLine, d.filesystem, driver_text(d).c_str());
        cli_print(line != nullptr ? line : d.filesystem);
        std::free(line);
    }
    for (const std::string &b : blockers)
        cli_print(b);
    cli_print(kTextMountingLine);
    return 0;
}

} // namespace tw
