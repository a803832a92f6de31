// The mount preferences of the details pane (each change checked by the
// shared rules, then handed to the shell as the entry's new preferences)
// and Settings.
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/tests/support/dialog_driver.h"
#include "gui/tests/support/qt_environment.h"
#include "gui/tests/support/scripted_backend.h"
#include "runtime/errors.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace tw {
namespace {

using test::recorder;

std::vector<std::string> &saved() {
    static std::vector<std::string> s;
    return s;
}

int save_preferences(const QString &id, JsonValue *preferences) {
    EXPECT_EQ(id, QStringLiteral("E1"));
    char *text = json_serialize(preferences);
    saved().push_back(text);
    json_free_text(text);
    json_free(preferences);
    return 1;
}

int forgotten = 0;
int forget_password(const QString &id) {
    EXPECT_EQ(id, QStringLiteral("E1"));
    forgotten++;
    return 1;
}

struct PreferencesFixture : ::testing::Test {
    void SetUp() override {
        test::install_recorder(nullptr);
        hooks.message = [](const QString &title, const QString &text) {
            recorder().messages.push_back(title + u'|' + text);
        };
        hooks.confirm = [](const QString &title, const QString &text) {
            recorder().questions.push_back(title + u'|' + text);
            return recorder().answer;
        };
        hooks.save_preferences = save_preferences;
        hooks.forget_password = forget_password;
        dialogs_set_test_hooks(&hooks);
        saved().clear();
    }
    void TearDown() override { dialogs_set_test_hooks(nullptr); }
    DialogTestHooks hooks;
};

TEST_F(PreferencesFixture, EachChangeIsCheckedAndSaved) {
    struct Case {
        const char *what;
        const char *preferences; // the entry's before
        bool answer;             // to "Enable Experimental Writes?"
        std::function<void(QWidget *)> change;
        const char *saved; // what the shell got, or null
        const char *error; // the rule's message shown, or ""
    };
    auto edit = [](QWidget *w, const char *name) {
        return w->findChild<QLineEdit *>(QLatin1String(name));
    };
    auto check = [](QWidget *w, const char *name) {
        return w->findChild<QCheckBox *>(QLatin1String(name));
    };
    auto idle = [](QWidget *w) { return w->findChild<QComboBox *>(QStringLiteral("idle")); };
    const Case cases[] = {
        {"label trimmed of spaces and tabs", "{}", true,
         [&](QWidget *w) {
             edit(w, "mountLabel")->setText(QStringLiteral(" \tHoliday Photos\t "));
             w->findChild<QPushButton *>(QStringLiteral("saveLabel"))->click();
         },
         R"({"volumeLabel":"Holiday Photos"})", ""},
        {"empty label removes it", R"({"volumeLabel":"Old"})", true,
         [&](QWidget *w) {
             edit(w, "mountLabel")->setText(QStringLiteral("  "));
             w->findChild<QPushButton *>(QStringLiteral("saveLabel"))->click();
         },
         "{}", ""},
        {"a label the rules refuse", "{}", true,
         [&](QWidget *w) {
             edit(w, "mountLabel")->setText(QStringLiteral("a/b"));
             w->findChild<QPushButton *>(QStringLiteral("saveLabel"))->click();
         },
         nullptr, "*"},
        {"writes accepted clear sign-in mounting", R"({"mountOnLogin":true})", true,
         [&](QWidget *w) { check(w, "readOnly")->click(); }, R"({"readOnly":false})", ""},
        {"writes declined", R"({"mountOnLogin":true})", false,
         [&](QWidget *w) { check(w, "readOnly")->click(); }, nullptr, ""},
        {"15 minutes", "{}", true,
         [&](QWidget *w) { idle(w)->setCurrentIndex(idle(w)->findData(900)); },
         R"({"idleSeconds":900})", ""},
        {"off removes the idle time", R"({"idleSeconds":300})", true,
         [&](QWidget *w) { idle(w)->setCurrentIndex(0); }, "{}", ""},
        {"custom 90 minutes", "{}", true,
         [&](QWidget *w) {
             idle(w)->setCurrentIndex(idle(w)->count() - 1);
             edit(w, "idleMinutes")->setText(QStringLiteral("90"));
             w->findChild<QPushButton *>(QStringLiteral("applyIdle"))->click();
         },
         R"({"idleSeconds":5400})", ""},
        {"custom 0 minutes", "{}", true,
         [&](QWidget *w) {
             idle(w)->setCurrentIndex(idle(w)->count() - 1);
             edit(w, "idleMinutes")->setText(QStringLiteral("0"));
             w->findChild<QPushButton *>(QStringLiteral("applyIdle"))->click();
         },
         nullptr, "Enter 1 to 525600 minutes."},
        {"custom over a year", "{}", true,
         [&](QWidget *w) {
             idle(w)->setCurrentIndex(idle(w)->count() - 1);
             edit(w, "idleMinutes")->setText(QStringLiteral("525601"));
             w->findChild<QPushButton *>(QStringLiteral("applyIdle"))->click();
         },
         nullptr, "Enter 1 to 525600 minutes."},
        {"sign-in mounting of a writable entry", R"({"readOnly":false})", true,
         [&](QWidget *w) { check(w, "mountOnLogin")->click(); }, nullptr, "*"},
        {"sign-in mounting of a read-only entry", "{}", true,
         [&](QWidget *w) { check(w, "mountOnLogin")->click(); }, R"({"mountOnLogin":true})", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        saved().clear();
        recorder().answer = c.answer;
        const std::string text =
            std::string(R"({"id":"E1","path":"/x/c.zcx","preferences":)") + c.preferences + "}";
        JsonValue *entry = json_parse_text(text.c_str());
        std::unique_ptr<QWidget> widget(dialog_mount_preferences(nullptr, nullptr, entry, nullptr));
        json_free(entry); // the widget keeps what it needs
        c.change(widget.get());
        if (c.saved) {
            ASSERT_EQ(saved().size(), 1u);
            EXPECT_EQ(saved()[0], c.saved);
        } else {
            EXPECT_TRUE(saved().empty());
        }
        const QString error =
            widget->findChild<QLabel *>(QStringLiteral("preferencesError"))->text();
        if (std::string(c.error) == "*") {
            EXPECT_FALSE(error.isEmpty());
        } else {
            EXPECT_EQ(error.toStdString(), c.error);
        }
        // A refused or declined change leaves the boxes as they were.
        if (std::string(c.what) == "writes declined") {
            EXPECT_TRUE(check(widget.get(), "readOnly")->isChecked());
        }
        if (std::string(c.what) == "sign-in mounting of a writable entry") {
            EXPECT_FALSE(check(widget.get(), "mountOnLogin")->isChecked());
        }
    }
}

TEST_F(PreferencesFixture, SessionNameAndForgetting) {
    JsonValue *entry = json_parse_text(R"({"id":"E1","path":"/x/c.zcx"})");
    JsonValue *session = json_parse_text(
        R"({"explorerName":"c","idleMessage":"Inactivity monitoring is unavailable."})");
    std::unique_ptr<QWidget> widget(dialog_mount_preferences(nullptr, nullptr, entry, session));
    bool name = false, message = false;
    for (QLabel *label : widget->findChildren<QLabel *>()) {
        name = name || label->text() == u"Current mount name: c";
        message = message || label->text() == u"Inactivity monitoring is unavailable.";
    }
    EXPECT_TRUE(name);
    EXPECT_TRUE(message);
    forgotten = 0;
    widget->findChild<QPushButton *>(QStringLiteral("forget"))->click();
    EXPECT_EQ(forgotten, 1);
    json_free(entry);
    json_free(session);
}

TEST_F(PreferencesFixture, SettingsTurnsLaunchAtLoginOnAndOffAndReportsAFailure) {
    gui_test_reset_home();
    MainWindow window(nullptr, gui_test_home().toStdString() + "/library.json", scripted_backend());
    const QString autostart = gui_test_home() + QStringLiteral("/config/autostart");
    struct Case {
        const char *what;
        bool blocked; // the autostart folder cannot be made
        bool checked_after;
        bool message;
    };
    const Case cases[] = {
        {"turned on", false, true, false},
        {"turned off", false, false, false},
        {"cannot be written", true, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.blocked) {
            QDir(autostart).removeRecursively();
            QFile file(autostart); // a file where the folder would be
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        recorder().messages.clear();
        bool checked_after = !c.checked_after;
        test::when_shown([&](FormDialog *dialog) {
            auto *launch = dialog->findChild<QCheckBox *>(QStringLiteral("launchAtLogin"));
            launch->click();
            checked_after = launch->isChecked();
            dialog->ok_button()->click();
        });
        dialog_settings(&window, window.shell());
        EXPECT_EQ(checked_after, c.checked_after)
            << (recorder().messages.empty() ? std::string() : recorder().messages[0].toStdString());
        EXPECT_EQ(shell_launch_at_login_enabled(), c.checked_after);
        if (c.message) {
            ASSERT_EQ(recorder().messages.size(), 1u);
            EXPECT_TRUE(recorder().messages[0].startsWith(u"Launch at Login|"));
        } else {
            EXPECT_TRUE(recorder().messages.empty());
        }
    }
    QFile::remove(autostart);
}

} // namespace
} // namespace tw
