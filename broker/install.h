// The broker's command line: "install", "remove" and "purge" of its systemd
// unit and its state, and the foreground service without arguments.
#pragma once

namespace tw {

inline constexpr const char *kBrokerUnitName = "tarnwick-broker.service";
inline constexpr const char *kSystemUnitFolder = "/etc/systemd/system";
// Tests point the unit folder elsewhere with this variable; systemctl is then
// never run, as on a machine without systemd. Nothing else reads it.
inline constexpr const char *kUnitFolderTestVariable = "TARNWICK_TEST_UNIT_FOLDER";

// Writes the unit (ExecStart the sibling tarnwick-broker), then enables and
// starts it where systemd runs. 0 or 1.
int broker_install();

// Stops and removes the service when nothing is attached. 0, 1, or 2 when
// refused.
int broker_remove();

// Deletes the log, then the records folder and the machine root if empty. 0.
int broker_purge();

// The program's entry: the command or the foreground service.
int broker_main(int argc, char **argv);

} // namespace tw
