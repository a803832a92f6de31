// Launch at Login: an XDG autostart entry, ~/.config/autostart/tarnwick.desktop
// ($XDG_CONFIG_HOME when it is an absolute path), that starts the program
// with "--login".
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The autostart file's path; empty when neither XDG_CONFIG_HOME nor HOME
// names a folder.
std::string autostart_file_path();

// The exact text written for the program at `program`: a desktop entry whose
// Exec line is "PROGRAM" --login, quoted and escaped as desktop entries
// require. Empty when the path cannot be written there (a line break).
std::string autostart_text(std::string_view program);

// Enabled only when the file holds exactly the text for `program`.
bool autostart_enabled(std::string_view program);

// Writes (atomically) or removes the file; a missing file counts as removed.
// 0, or -EIO.
int autostart_set(std::string_view program, bool enabled);

// This program's own path (/proc/self/exe).
std::string autostart_program_path();

} // namespace tw
