// "doctor": what this installation can do, checked locally without asking
// the broker or the mount service for anything.
#include "cli/cli.h"
#include "cli/texts.h"

#include "platform/folders.h"

#include <sys/stat.h>
#include <sys/utsname.h>

namespace tw {

namespace {

constexpr const char *kBrokerUnit = "tarnwick-broker.service";
constexpr const char *kBrokerSocket = "/run/tarnwick/Tarnwick.Broker";
// The kernel initiator's daemon; without it the broker uses its own
// userspace initiator, which runs exactly when the broker runs.
constexpr const char *kInitiatorUnit = "iscsid.service";

bool engine_available() {
    std::string path;
    struct stat st {};
    return program_file_path("tarnwick-engine", &path) == 0 && ::stat(path.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

std::string operating_system() {
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release;
}

} // namespace

int cli_doctor(const CliArgs &args) {
    const bool engine = engine_available();
    const std::string broker = system_service_state(kBrokerUnit, kBrokerSocket);
    std::string initiator = system_service_state(kInitiatorUnit, "");
    if (initiator == "missing")
        initiator = broker;
    const std::string os = operating_system();

    std::vector<std::string> blockers;
    if (broker != "running")
        blockers.push_back(kTextBrokerNotRunning);
    if (initiator == "disabled" || initiator == "missing")
        blockers.push_back(kTextInitiatorMissing);

    if (args.json) {
        JsonValue *report = json_new(JsonKind::Object);
        json_set_string(report, "version", kCliVersion);
        json_set_string(report, "build", std::to_string(kCliBuild).c_str());
        json_set_bool(report, "engineAvailable", engine);
        json_set_string(report, "broker", broker.c_str());
        json_set_string(report, "iscsiInitiator", initiator.c_str());
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
    cli_print(kTextOperatingSystemLine + os);
    for (const std::string &b : blockers)
        cli_print(b);
    cli_print(kTextMountingLine);
    return 0;
}

} // namespace tw
