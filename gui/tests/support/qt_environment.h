// Every GUI test program runs with one QApplication on the offscreen
// platform, and with HOME and the XDG folders in a temporary folder of its
// own, so no test touches the real user's library, sockets or autostart.
#pragma once

#include <QString>

namespace tw {

// The temporary folder that stands in for HOME (XDG_DATA_HOME,
// XDG_CONFIG_HOME and XDG_RUNTIME_DIR lie inside it).
QString gui_test_home();

// Removes everything inside the test home and recreates its folders, so
// each test starts without a library or autostart file.
void gui_test_reset_home();

} // namespace tw
