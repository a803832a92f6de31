// The library window.
#pragma once

#include <QMainWindow>

namespace tw {

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget *parent = nullptr);
};

} // namespace tw
