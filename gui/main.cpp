// tarnwick-gui: the desktop application.
#include "gui/app_language.h"
#include "gui/main_window.h"

#include <QApplication>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    tw::gui_install_translators(app, tw::gui_language_from_environment());
    tw::MainWindow window;
    window.show();
    return app.exec();
}
