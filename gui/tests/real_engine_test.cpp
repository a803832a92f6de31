// Activities through the real engine: a container opened in the library is
// inspected, and a convert shows its progress, can be cancelled (leaving the
// original and no output), and otherwise adds the verified copy.
#include "gui/main_window.h"
#include "gui/tests/support/qt_environment.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>

namespace tw {
namespace {

template <typename Condition>
bool wait_for(Condition condition, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

QByteArray digest(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

void set_buffer(SecureBuffer *buffer, const char *text) {
    *buffer = SecureBuffer::with_capacity(64);
    buffer->resize(strlen(text));
    memcpy(buffer->data(), text, strlen(text));
}

TEST(RealEngine, ConvertReportsProgressAndCancelsWithoutLeavingAnything) {
    gui_test_reset_home();
    const QString home = gui_test_home();
    const QString folder = home + "/containers";
    QDir().mkpath(folder);
    const std::string image = (folder + "/sample.img").toStdString();
    const std::string container = (folder + "/sample.zcx").toStdString();
    ASSERT_EQ(system(("truncate -s 256M '" + image + "' && mkfs.vfat -F 32 -n SAMPLE '" + image +
                      "' >/dev/null")
                         .c_str()),
              0);
    {
        // The container to work on, made by the engine from the image.
        EngineRunContext ctx;
        ClientOutcome out;
        FileOperation op;
        op.command = "convert";
        op.input = image;
        op.output = container;
        const uint8_t pw[] = {'o', 'l', 'd'};
        op.new_password = pw;
        op.confirmation = pw;
        ASSERT_EQ(engine_file_operation(&ctx, op, &out), 0) << out.message;
    }
    ASSERT_TRUE(QFile::remove(QString::fromStdString(image)));

    MainWindow w(nullptr, (home + "/library.json").toStdString());
    std::vector<std::string> messages;
    w.set_message_sink([&](const QString &title, const QString &text) {
        messages.push_back((title + u'|' + text).toStdString());
    });
    w.set_open_sink([](const QString &) {});
    w.set_poll_may_start(false);
    w.open_paths({container});
    ASSERT_EQ(library_size(&w.library()), 1u);
    const std::string id = entry_id(json_first(library_entries(&w.library())));
    // The inspect fills the summary.
    ASSERT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));
    const JsonValue *entry = library_find_id(&w.library(), id);
    ASSERT_NE(entry_info(entry), nullptr);
    EXPECT_EQ(json_get_int(entry_info(entry), "size", 0), 256 << 20);
    const QByteArray before = digest(QString::fromStdString(container));

    auto convert = [&](const QString &output) {
        auto input = std::make_shared<OperationInput>();
        set_buffer(&input->password, "old");
        set_buffer(&input->new_password, "new");
        set_buffer(&input->confirmation, "new");
        input->new_cipher = 9;
        input->output = output.toStdString();
        return w.start_operation(library_find_id(&w.library(), id), OperationKind::Convert, input);
    };

    // Cancelled as soon as the first progress arrives.
    const QString cancelled_output = folder + "/cancelled.zcx";
    const int activity = convert(cancelled_output);
    ASSERT_GT(activity, 0);
    ActivityState state;
    ASSERT_TRUE(
        wait_for([&]() { return !w.activity_state(activity, &state) || state.fraction >= 0; }));
    ASSERT_GE(state.fraction, 0) << "the convert ended before it reported progress";
    EXPECT_FALSE(state.text.isEmpty());
    w.cancel_activity(activity);
    ASSERT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));
    ASSERT_FALSE(w.recent().empty());
    EXPECT_EQ(w.recent().front().message.toStdString(),
              "Operation cancelled. Original kept. If a new file exists, verify it before using "
              "it.");
    EXPECT_FALSE(QFile::exists(cancelled_output));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList({"sample.zcx"}));
    EXPECT_EQ(digest(QString::fromStdString(container)), before);
    EXPECT_EQ(library_size(&w.library()), 1u);
    EXPECT_TRUE(messages.empty());

    // Run to the end: the verified copy joins the library.
    const QString output = folder + "/copy.zcx";
    ASSERT_GT(convert(output), 0);
    ASSERT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));
    EXPECT_EQ(w.recent().front().message.toStdString(),
              "New password copy verified and saved. Original kept.");
    const JsonValue *copy = library_find_path(&w.library(), output.toStdString());
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(entry_info_flag(copy, "verified"));
    EXPECT_EQ(digest(QString::fromStdString(container)), before);
}

} // namespace
} // namespace tw
