// Settings…: Launch at Login, this build, the mount service and privacy.
#include "gui/dialogs/dialog_support.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/form_dialog.h"
#include "runtime/errors.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#ifndef TW_VERSION_TEXT
#define TW_VERSION_TEXT "0"
#endif

namespace tw {

namespace {

enum Command {
    kCmdLaunchAtLogin = kFormFirstCommand,
    kCmdQuitForUpdate,
    kCmdRestartService,
};

struct SettingsState {
    GuiShell *shell = nullptr;
    QCheckBox *launch = nullptr;
};

QString service_state_text(const std::string &state) {
    if (state == "running")
        return Dialogs::tr("Running");
    if (state == "disabled")
        return Dialogs::tr("Disabled");
    if (state == "missing")
        return Dialogs::tr("Not installed");
    return Dialogs::tr("Stopped");
}

QLabel *section(FormDialog *dialog, const QString &title) {
    QLabel *label = dialog->add_text(title);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    // Room above every section but the first.
    if (!dialog->findChildren<QCheckBox *>().isEmpty())
        label->setContentsMargins(0, 10, 0, 0);
    return label;
}

void build(FormDialog *dialog, void *state) {
    auto *s = static_cast<SettingsState *>(state);
    section(dialog, Dialogs::tr("Startup"));
    s->launch = dialog->add_check(Dialogs::tr("Launch at Login"));
    s->launch->setObjectName(QStringLiteral("launchAtLogin"));
    s->launch->setChecked(shell_launch_at_login_enabled());
    QObject::connect(s->launch, &QCheckBox::toggled, dialog,
                     [dialog] { dialog->command(kCmdLaunchAtLogin); });
    dialog->add_note(Dialogs::tr("Only containers with Mount after sign-in enabled are mounted. "
                                 "Each is tried once using credentials you saved in the "
                                 "keyring."));

    section(dialog, Dialogs::tr("This Build"));
    dialog->add_text(
        Dialogs::tr("%1: %2").arg(Dialogs::tr("Version"), QStringLiteral(TW_VERSION_TEXT)));
    dialog->add_note(Dialogs::tr("Mount containers, browse them in the file manager, and "
                                 "unmount them when finished."));
    QPushButton *quit = dialog->add_button(Dialogs::tr("Quit for Update"), kCmdQuitForUpdate);
    quit->setObjectName(QStringLiteral("quitForUpdate"));
    quit->setEnabled(shell_can_restart_service(s->shell));
    dialog->add_note(Dialogs::tr("Unmount all containers and finish recovery first. This also "
                                 "stops the idle mount service."));

    section(dialog, Dialogs::tr("Storage Backend"));
    if (shell_service_update_available(s->shell)) {
        dialog->add_note(Dialogs::tr("A mount service update is available. Unmount all "
                                     "containers and finish recovery before restarting it."),
                         NoteStyle::Warning);
        QPushButton *restart =
            dialog->add_button(Dialogs::tr("Restart Mount Service"), kCmdRestartService);
        restart->setObjectName(QStringLiteral("restartService"));
        restart->setEnabled(shell_can_restart_service(s->shell));
    }
    dialog->add_text(Dialogs::tr("%1: %2").arg(Dialogs::tr("Tarnwick Broker service"),
                                               service_state_text(broker_service_state())));
    dialog->add_text(Dialogs::tr("%1: %2").arg(Dialogs::tr("Tarnwick initiator service"),
                                               service_state_text(initiator_service_state())));
    dialog->add_note(Dialogs::tr("Mounted containers are served to the built-in Tarnwick "
                                 "initiator service on 127.0.0.1 only. Nothing is exposed to the "
                                 "network."));

    section(dialog, Dialogs::tr("Privacy"));
    dialog->add_note(Dialogs::tr("Passwords are saved only when you select Remember in the "
                                 "keyring. Container references, preferences, and the last "
                                 "check result stay on this PC."));
    dialog->add_note(Dialogs::tr("A decrypted export contains plaintext. Keep it somewhere you "
                                 "trust."));
    dialog->cancel_button()->hide();
}

bool command(FormDialog *dialog, void *state, int command) {
    auto *s = static_cast<SettingsState *>(state);
    switch (command) {
    case kCmdLaunchAtLogin: {
        const int rc = shell_set_launch_at_login(s->launch->isChecked());
        if (rc != 0) {
            dialog_message(dialog, Dialogs::tr("Launch at Login"),
                           QString::fromUtf8(error_text(rc)), true);
            const QSignalBlocker quiet(s->launch);
            s->launch->setChecked(shell_launch_at_login_enabled());
        }
        return true;
    }
    case kCmdQuitForUpdate:
        if (shell_restart_service(s->shell, true) > 0)
            dialog->accept();
        return true;
    case kCmdRestartService:
        if (shell_restart_service(s->shell, false) > 0)
            dialog->accept();
        return true;
    default:
        return false;
    }
}

const FormCallbacks kCallbacks = {build, command, nullptr, nullptr};

} // namespace

void dialog_settings(QWidget *parent, GuiShell *shell) {
    SettingsState state;
    state.shell = shell;
    FormDialog dialog(parent, Dialogs::tr("Settings"), Dialogs::tr("Close"), &kCallbacks, &state);
    dialog.exec();
}

} // namespace tw
