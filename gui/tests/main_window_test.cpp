#include "gui/main_window.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(MainWindow, OpensOffscreen) {
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(window.windowTitle().startsWith(QStringLiteral("Tarnwick Pro")));
}

} // namespace
} // namespace tw
