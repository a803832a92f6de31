// Placeholder shell functions until the library window provides them.
#include "gui/shell.h"

#include <cerrno>

namespace tw {

int shell_start_creation(GuiShell *, std::unique_ptr<CreationJob>) {
    return -ENOTSUP;
}
bool shell_activity_state(GuiShell *, int, ActivityState *) {
    return false;
}
void shell_cancel_activity(GuiShell *, int) {}
int shell_save_preferences(GuiShell *, const QString &, JsonValue *preferences) {
    json_free(preferences);
    return -ENOTSUP;
}
int shell_forget_password(GuiShell *, const QString &) {
    return -ENOTSUP;
}
bool shell_launch_at_login_enabled() {
    return false;
}
int shell_set_launch_at_login(bool) {
    return -EIO;
}
bool shell_service_update_available(GuiShell *) {
    return false;
}
bool shell_can_restart_service(GuiShell *) {
    return false;
}
int shell_restart_service(GuiShell *, bool) {
    return -ENOTSUP;
}
const JsonValue *shell_creation_options(GuiShell *, QString *) {
    return nullptr;
}

} // namespace tw
