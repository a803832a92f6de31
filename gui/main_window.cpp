#include "gui/main_window.h"

#include <QIcon>
#include <QLabel>
#include <QStatusBar>

namespace tw {

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent) {
    setWindowTitle(tr("%1 — %2").arg(QStringLiteral("Tarnwick Pro"), tr("All Containers")));
    setWindowIcon(QIcon(QStringLiteral(":/icons/tarnwick.svg")));
    resize(1120, 710);
    setMinimumSize(960, 560);
    statusBar()->addWidget(new QLabel(tr("%n containers", nullptr, 0), this));
}

} // namespace tw
