#include "gui/tests/support/qt_environment.h"

#include <QApplication>
#include <QDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

// Qt's font and platform plugins keep caches for the life of the process;
// they are not leaks of this program.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6Gui\nleak:libQt6Core\nleak:libQt6Widgets\n"
           "leak:libglib-2.0\nleak:libdbus-1\nleak:libfreetype\n";
}

namespace tw {

namespace {

std::string g_home;

void make_folders() {
    for (const char *sub : {"", "/data", "/config", "/runtime"})
        QDir().mkpath(QString::fromStdString(g_home + sub));
    QFile::setPermissions(QString::fromStdString(g_home + "/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-gui-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        g_home = pattern;
        make_folders();
        setenv("HOME", g_home.c_str(), 1);
        setenv("XDG_DATA_HOME", (g_home + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (g_home + "/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (g_home + "/runtime").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The tests choose their language themselves.
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            unsetenv(name);
        static int argc = 1;
        static char name[] = "gui_test";
        static char *argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
        QDir(QString::fromStdString(g_home)).removeRecursively();
    }

  private:
    QApplication *app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment *const g_environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

QString gui_test_home() {
    return QString::fromStdString(g_home);
}

void gui_test_reset_home() {
    QDir(QString::fromStdString(g_home)).removeRecursively();
    make_folders();
}

} // namespace tw
