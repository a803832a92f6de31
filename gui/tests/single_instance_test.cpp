// Two starts of the real program: the second hands its paths (or the
// sign-in request) to the first over the per-user socket and ends with 0.
#include "gui/tests/support/qt_environment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace tw {
namespace {

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gui_test_reset_home();
        root_ = gui_test_home();
        // The program alone in its folder: no engine or service beside it
        // to start.
        QDir().mkpath(root_ + "/bin");
        ASSERT_TRUE(
            QFile::copy(QStringLiteral(TW_BIN_DIR "/tarnwick-gui"), root_ + "/bin/tarnwick-gui"));
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert("HOME", root_);
        environment_.insert("XDG_DATA_HOME", root_ + "/data");
        environment_.insert("XDG_CONFIG_HOME", root_ + "/config");
        environment_.insert("XDG_RUNTIME_DIR", root_ + "/runtime");
        environment_.insert("QT_QPA_PLATFORM", "offscreen");
        QFile(root_ + "/a.zcx").open(QIODevice::WriteOnly);
    }
    void TearDown() override {
        if (first_.state() != QProcess::NotRunning) {
            first_.kill();
            first_.waitForFinished(5000);
        }
    }
    void start_first() {
        first_.setProcessEnvironment(environment_);
        first_.start(root_ + "/bin/tarnwick-gui", {});
        ASSERT_TRUE(first_.waitForStarted(5000));
        // The instance holds the lock (a later start then hands off to it,
        // retrying until it listens).
        ASSERT_TRUE(wait_until([&]() { return !lock_is_free(); }));
    }
    bool lock_is_free() {
        const QByteArray lock = (root_ + "/runtime/tarnwick/Tarnwick.Library.lock").toUtf8();
        const int fd = open(lock.constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return true;
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }
    // Runs a second start and returns its exit code (-1 when it hung).
    int second(const QStringList &arguments) {
        QProcess p;
        p.setProcessEnvironment(environment_);
        p.setWorkingDirectory(root_);
        p.start(root_ + "/bin/tarnwick-gui", arguments);
        if (!p.waitForFinished(15000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    template <typename Condition>
    bool wait_until(Condition condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > 10000)
                return false;
            QThread::msleep(20);
        }
        return true;
    }
    QByteArray library() {
        QFile file(root_ + "/data/Tarnwick/library.json");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString root_;
    QProcessEnvironment environment_;
    QProcess first_;
};

TEST_F(SingleInstanceTest, SecondStartHandsOverItsPathsAndEnds) {
    start_first();
    // A relative path is made absolute by the start that was given it.
    EXPECT_EQ(second({"a.zcx"}), 0);
    const QByteArray path = (root_ + "/a.zcx").toUtf8();
    EXPECT_TRUE(wait_until([&]() { return library().contains(path); })) << library().constData();
    EXPECT_EQ(second({"--login"}), 0);
    EXPECT_EQ(first_.state(), QProcess::Running);

    // An instance that ended leaves its socket behind; the next start is the
    // first again and takes the socket over.
    first_.kill();
    ASSERT_TRUE(first_.waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(root_ + "/runtime/tarnwick/Tarnwick.Library"));
    // Children it had started may hold its descriptors for a moment longer.
    ASSERT_TRUE(wait_until([&]() { return lock_is_free(); }));
    start_first();
    EXPECT_EQ(second({"--login", "a.zcx"}), 0);
    EXPECT_EQ(first_.state(), QProcess::Running);
}

} // namespace
} // namespace tw
