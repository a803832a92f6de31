// tarnwick-gui: the desktop application.
//
//   tarnwick-gui [--login] [PATH ...]
//
// One instance runs per user. A later start hands its paths (or, with
// "--login", the sign-in request) to the running one and ends with 0.
// "--login" starts hidden in the notification area and asks the mount
// service to mount the containers marked for sign-in.
#include "gui/app_language.h"
#include "gui/main_window.h"
#include "gui/single_instance.h"
#include "platform/descriptor.h"
#include "platform/folders.h"
#include "platform/process.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cstring>

namespace {

int cannot_open(const QString &text) {
    QMessageBox::critical(nullptr, QObject::tr("Tarnwick Could Not Be Opened"), text);
    return 1;
}

// Hands the request to the running instance: 50 tries, 100 ms apart.
int hand_off(const std::string &socket, const tw::StartOptions &options) {
    std::vector<std::string> full;
    for (const std::string &path : options.paths) {
        std::string resolved;
        full.push_back(tw::resolve_full_path(path, &resolved) == 0 ? resolved : path);
    }
    for (int attempt = 0; attempt < 50; attempt++) {
        if (attempt > 0)
            QThread::msleep(100);
        if (options.login && tw::hand_off_send(socket, tw::kHandOffSignIn, QByteArray()) != 0)
            continue;
        if (options.login && options.paths.empty())
            return 0;
        if (tw::hand_off_send(socket, tw::kHandOffPaths, tw::hand_off_encode_paths(full)) == 0)
            return 0;
    }
    return cannot_open(QObject::tr(
        "The other Tarnwick instance is not responding. Try opening it again shortly."));
}

} // namespace

int main(int argc, char **argv) {
    tw::harden_process();
    // High-DPI scaling is Qt's own; there is nothing to set up for it.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    QApplication::setQuitOnLastWindowClosed(false);
    tw::gui_install_translators(app, tw::gui_language_from_environment());

    tw::StartOptions options;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--login") == 0)
            options.login = true;
        else if (options.paths.size() < tw::kHandOffPathLimit)
            options.paths.emplace_back(argv[i]);
    }

    tw::InstancePaths paths;
    if (tw::instance_paths(&paths) != 0) {
        // The per-user runtime folder was refused; its reason names it.
        const std::string reason = tw::runtime_folder_refusal();
        return cannot_open(
            QObject::tr("The window could not be created.") +
            (reason.empty() ? QString() : QStringLiteral("\n\n") + QString::fromStdString(reason)));
    }
    tw::FileHandle lock;
    const int first = tw::instance_lock(paths, &lock);
    if (first == 0)
        return hand_off(paths.socket, options);
    if (first < 0)
        return cannot_open(QObject::tr("The window could not be created."));

    tw::InstanceServer server;
    if (server.listen(paths.socket) != 0)
        return cannot_open(QObject::tr("The window could not be created."));
    tw::MainWindow window;
    QObject::connect(&server, &tw::InstanceServer::handOff, &window,
                     &tw::MainWindow::handle_hand_off);
    window.start(options);
    return app.exec();
}
