// Pictures of the password panel and of every dialog, in English and
// Ukrainian, saved as PNG files into a folder the test prints (the build's
// "screenshots" folder, or TW_SCREENSHOT_DIR), for people to look at; run it
// under xvfb-run to look at them as an X server draws them. The test itself checks that
// no text of any row is cut off: every label is at least as tall as its
// wrapped text needs, and no form needs a horizontal scroll bar.
#include "gui/app_language.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/tests/support/dialog_driver.h"
#include "gui/dialogs/tests/support/dialog_test_bin.h"
#include "gui/password/password_panel.h"
#include "gui/tests/support/qt_environment.h"
#include "gui/tests/support/scripted_backend.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace tw {
namespace {

const bool kRelocated = test::dialog_test_relocate();

using test::recorder;
using test::when_shown;

constexpr const char *kOptions =
    R"({"algorithm":9,"ciphers":[{"algorithm":1,"cipher":"SSE1","passwordLimit":4096},)"
    R"({"algorithm":8,"cipher":"XOR","passwordLimit":4096},)"
    R"({"algorithm":9,"cipher":"AES-256-XTS","passwordLimit":4096},)"
    R"({"algorithm":10,"cipher":"XChaCha20","passwordLimit":4096}],)"
    R"("filesystems":["exfat","fat32","ntfs"]})";

QString folder() {
    static const QString path = [] {
        if (const char *dir = std::getenv("TW_SCREENSHOT_DIR")) {
            QDir().mkpath(QString::fromUtf8(dir));
            return QString::fromUtf8(dir);
        }
        // One folder in the build tree, overwritten by each run.
        const QString build = QStringLiteral(TW_BIN_DIR "/../screenshots");
        QDir().mkpath(build);
        return QDir(build).canonicalPath();
    }();
    return path;
}

// Labels whose text needs more room than they got.
QStringList cut_labels(QWidget *root) {
    QStringList cut;
    for (QLabel *label : root->findChildren<QLabel *>()) {
        if (!label->isVisibleTo(root) || label->text().isEmpty())
            continue;
        const int needed =
            label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
        if (label->height() < needed ||
            (!label->wordWrap() && label->width() < label->sizeHint().width()))
            cut << label->text();
    }
    return cut;
}

void save(QWidget *widget, const QString &name, const QString &language) {
    const QString path = folder() + u'/' + name + u'-' + language + QStringLiteral(".png");
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    EXPECT_EQ(cut_labels(widget).join(QStringLiteral(" | ")).toStdString(), "")
        << name.toStdString() << " " << language.toStdString();
    for (QScrollArea *area : widget->findChildren<QScrollArea *>())
        EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << name.toStdString();
}

// Shows the next dialog with its Advanced section open, saves it, and
// closes it (or lets `then` continue).
void capture_next(const QString &name, const QString &language,
                  std::function<void(FormDialog *)> fill = {}) {
    when_shown([name, language, fill](FormDialog *dialog) {
        if (auto *advanced = dialog->findChild<QToolButton *>(QStringLiteral("advanced")))
            advanced->setChecked(true);
        if (fill)
            fill(dialog);
        QTest::qWait(50);
        save(dialog, name, language);
        dialog->cancel_button()->click();
    });
}

bool g_running = true;
int start_creation(std::unique_ptr<CreationJob>) {
    g_running = true;
    return 7;
}
bool activity_state(int, ActivityState *out) {
    out->text = QCoreApplication::translate("tw::Dialogs", "Preparing Filesystem");
    out->fraction = 0.42;
    out->cancellable = true;
    return g_running;
}
void cancel_activity(int) {
    g_running = false;
}

class Screenshots : public ::testing::TestWithParam<const char *> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kRelocated);
        gui_test_reset_home();
        options_ = json_parse_text(kOptions);
        test::install_recorder(options_);
        static DialogTestHooks hooks;
        hooks = DialogTestHooks{};
        hooks.creation_options = options_;
        hooks.confirm = [](const QString &, const QString &) { return false; };
        hooks.message = [](const QString &, const QString &) {};
        hooks.choose_file = [](const FileChoice &choice) {
            recorder().choices.push_back(choice);
            if (recorder().files.empty())
                return QString();
            QString next = recorder().files.front();
            recorder().files.erase(recorder().files.begin());
            return next;
        };
        hooks.start_creation = start_creation;
        hooks.activity_state = activity_state;
        hooks.cancel_activity = cancel_activity;
        dialogs_set_test_hooks(&hooks);
        language_ = QString::fromLatin1(GetParam());
        gui_install_translators(*qApp, language_);
        // The device chooser lists one device from a stand-in engine.
        test::dialog_test_fake_engine(
            gui_test_home().toStdString(),
            R"(echo '{"event":"result","devices":[{"path":"/dev/sdb","name":"SanDisk Ultra",)"
            R"("identity":77,"size":31914983424}],"version":1}')");
    }
    void TearDown() override {
        gui_remove_translators(*qApp);
        dialogs_set_test_hooks(nullptr);
        json_free(options_);
    }
    JsonValue *options_ = nullptr;
    QString language_;
};

TEST_P(Screenshots, PasswordPanelAndEveryDialog) {
    std::printf("Screenshots in %s\n", folder().toUtf8().constData());
    {
        PasswordPanel panel;
        panel.resize(520, panel.sizeHint().height());
        panel.set_limit(64);
        panel.findChild<QLineEdit *>(QStringLiteral("newPassword"))
            ->setText(QStringLiteral("correct horse"));
        panel.findChild<QLineEdit *>(QStringLiteral("confirmation"))
            ->setText(QStringLiteral("correct hors"));
        panel.show();
        QTest::qWait(400); // the estimate has come
        panel.resize(520, panel.layout()->totalHeightForWidth(520));
        QTest::qWait(50);
        save(&panel, QStringLiteral("password-panel"), language_);
    }
    JsonValue *entry =
        json_parse_text(R"({"id":"E1","path":"/home/user/Documents/Holiday Photos.zcx",)"
                        R"("info":{"verified":true,"writeSupported":true},"preferences":{}})");
    const char *kinds[] = {"mount",   "check-credentials", "export",          "change-password",
                           "convert", "replace",           "check-and-repair"};
    for (int kind = 0; kind <= 6; kind++) {
        recorder().files.clear();
        recorder().files.push_back(QStringLiteral("/home/user/Documents/new-output.zcx"));
        capture_next(QStringLiteral("operation-") + QLatin1String(kinds[kind]), language_,
                     [](FormDialog *dialog) {
                         if (auto *e = test::edit_named(dialog, "newPassword")) {
                             e->setText(QStringLiteral("Tq8#vL2!pZr9@wXe4&"));
                             test::edit_named(dialog, "confirmation")->setText(e->text());
                         }
                     });
        OperationInput input;
        dialog_run_operation(nullptr, nullptr, static_cast<OperationKind>(kind), entry, &input);
    }
    json_free(entry);

    recorder().files = {QStringLiteral("/home/user/Documents/Untitled.zcx")};
    capture_next(QStringLiteral("new-container"), language_);
    dialog_new_container(nullptr, nullptr);

    // The progress view of a running creation.
    recorder().files.push_back(QStringLiteral("/home/user/Documents/Untitled.zcx"));
    when_shown([this](FormDialog *dialog) {
        test::edit_named(dialog, "newPassword")->setText(QStringLiteral("pw"));
        test::edit_named(dialog, "confirmation")->setText(QStringLiteral("pw"));
        dialog->ok_button()->click();
        QTest::qWait(500);
        save(dialog, QStringLiteral("new-container-progress"), language_);
        dialog->cancel_button()->click();
    });
    dialog_new_container(nullptr, nullptr);

    recorder().files.push_back(QStringLiteral("/home/user/Documents/sdcard.zcx"));
    when_shown([this](FormDialog *dialog) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->jobs_running() == 0; }, 20000));
        save(dialog, QStringLiteral("device-chooser"), language_);
        dialog->ok_button()->click();
        capture_next(QStringLiteral("image-device"), language_);
    });
    dialog_image_device(nullptr, nullptr);

    recorder().files.push_back(QStringLiteral("/home/user/Documents/vault.hc"));
    recorder().files.push_back(QStringLiteral("/home/user/Documents/vault.zcx"));
    capture_next(QStringLiteral("import-veracrypt"), language_);
    dialog_import_veracrypt(nullptr, nullptr);

    {
        MainWindow window(nullptr, gui_test_home().toStdString() + "/library.json",
                          scripted_backend());
        capture_next(QStringLiteral("settings"), language_);
        dialog_settings(&window, window.shell());
    }

    JsonValue *prefs_entry = json_parse_text(
        R"({"id":"E1","path":"/x/c.zcx","preferences":{"volumeLabel":"Photos","idleSeconds":900}})");
    JsonValue *session = json_parse_text(R"({"explorerName":"Photos","phase":"mounted"})");
    QWidget *preferences = dialog_mount_preferences(nullptr, nullptr, prefs_entry, session);
    preferences->show();
    preferences->resize(480, preferences->layout()->totalHeightForWidth(480));
    QTest::qWait(50);
    save(preferences, QStringLiteral("mount-preferences"), language_);
    delete preferences;
    json_free(prefs_entry);
    json_free(session);
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, ::testing::Values("en", "uk"));

} // namespace
} // namespace tw
