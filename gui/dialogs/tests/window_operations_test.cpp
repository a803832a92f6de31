// The library window's own road for each container operation: the entry is
// selected, the window opens the operation's dialog, the dialog is filled
// and confirmed while it is modal, the job runs, and the recent-operations
// pane shows the result line for the file. The engine's operations run the
// build's real engine on a real container; mount and check-and-repair need
// the root broker, so they answer from the scripted mount service.
#include "gui/dialogs/tests/support/dialog_driver.h"
#include "gui/dialogs/tests/support/test_container.h"
#include "gui/main_window.h"
#include "gui/password/password_panel.h"
#include "gui/tests/support/qt_environment.h"
#include "gui/tests/support/scripted_backend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::edit_named;
using test::recorder;
using test::type_new_passwords;
using test::when_shown;

// Runs the event loop until the condition holds (at most 20 s).
template <typename Condition>
bool wait_for(Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 20000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The real engine for container operations; the scripted service for the
// rest (the session list, mounts, repairs).
GuiBackend engine_and_scripted_service() {
    GuiBackend backend = scripted_backend();
    backend.file_operation = engine_file_operation;
    backend.recover = engine_recover_replacement;
    return backend;
}

// The rows of the recent-operations pane as "MARK FILE|MESSAGE", newest
// first.
std::vector<std::string> recent_rows(MainWindow &window) {
    std::vector<std::string> rows;
    for (QLabel *label : window.findChildren<QLabel *>()) {
        if (label->text() != QLatin1String("Recent Operations"))
            continue;
        auto *list = label->parentWidget()->findChild<QTreeWidget *>();
        for (int i = 0; list != nullptr && i < list->topLevelItemCount(); i++) {
            const QTreeWidgetItem *item = list->topLevelItem(i);
            rows.push_back((item->text(0) + u'|' + item->text(1)).toStdString());
        }
    }
    return rows;
}

// Whether the engine's "verify" opens the container with the password.
bool opens_with(const std::string &path, std::string_view password) {
    EngineRunContext ctx;
    ClientOutcome out;
    FileOperation verify;
    verify.command = "verify";
    verify.input = path;
    verify.password =
        std::span(reinterpret_cast<const uint8_t *>(password.data()), password.size());
    return engine_file_operation(&ctx, verify, &out) == 0;
}

// One real container (password "right") for the whole program; each case
// works on a copy of it.
class WindowOperationsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tw-gui-window-operations-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        std::string error;
        ASSERT_EQ(test::test_container_make(folder_, "original.zcx", "right", &error), 0) << error;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    void SetUp() override {
        gui_test_reset_home();
        home_ = gui_test_home().toStdString();
        // The creation options come from the window's shell (the engine).
        test::install_recorder(nullptr);
        PasswordPanel::set_debounce_for_testing(5);
        std::lock_guard lock(scripted().mutex);
        scripted().calls.clear();
        scripted().status = R"({"sessions":[],"warnings":[],"serviceUpdateAvailable":false,)"
                            R"("canRestartService":true})";
    }
    void TearDown() override {
        dialogs_set_test_hooks(nullptr);
        PasswordPanel::set_debounce_for_testing(0);
    }

    // A window over an empty library with a copy of the container opened
    // in it, inspected and selected. Returns the copy's path.
    std::string open_copy(MainWindow &w, const std::string &name) {
        w.set_message_sink([this](const QString &title, const QString &text) {
            messages_.push_back((title + u'|' + text).toStdString());
        });
        w.set_open_sink([this](const QString &path) { opened_.push_back(path.toStdString()); });
        w.set_poll_may_start(false);
        const std::string path = home_ + "/" + name;
        fs::copy_file(folder_ + "/original.zcx", path);
        w.open_paths({path});
        EXPECT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));
        const JsonValue *entry = library_find_path(&w.library(), path);
        EXPECT_NE(entry, nullptr);
        if (entry != nullptr) {
            EXPECT_NE(entry_info(entry), nullptr) << "the inspect ran";
            w.select_entry(QString::fromStdString(entry_id(entry)));
        }
        return path;
    }

    // Runs the operation through the window with the dialog filled by
    // `password`; returns whether the dialog was confirmed.
    bool run_from_dialog(MainWindow &w, OperationKind kind, const QString &password,
                         const std::function<void()> &while_shown = {}) {
        bool confirmed = false;
        when_shown([&](FormDialog *dialog) {
            edit_named(dialog, "password")->setText(password);
            if (dialog->findChild<PasswordPanel *>() != nullptr)
                type_new_passwords(dialog, QStringLiteral("next pass"),
                                   QStringLiteral("next pass"));
            if (while_shown)
                while_shown();
            // A disabled OK would leave the dialog open for ever.
            confirmed = dialog->ok_button()->isEnabled();
            (confirmed ? dialog->ok_button() : dialog->cancel_button())->click();
        });
        w.run_operation(kind);
        return confirmed;
    }

    static inline std::string folder_;
    std::string home_;
    std::vector<std::string> messages_;
    std::vector<std::string> opened_;
};

TEST_F(WindowOperationsTest, EveryKindRunsFromItsDialogAndIsRecorded) {
    struct Case {
        OperationKind kind;
        const char *name;    // the container's file name
        const char *output;  // the output file the chooser answers, or null
        const char *message; // the pane's message for the file
    };
    const Case cases[] = {
        {OperationKind::Mount, "mount.zcx", nullptr, "Mounted read-only"},
        {OperationKind::CheckCredentials, "check.zcx", nullptr,
         "Credentials and structure checked"},
        {OperationKind::Export, "export.zcx", "export.img", "Decrypted image saved"},
        {OperationKind::ChangePassword, "rekey.zcx", "rekey-new.zcx",
         "New password copy verified and saved. Original kept."},
        {OperationKind::Convert, "convert.zcx", "convert-copy.zcx",
         "New password copy verified and saved. Original kept."},
        {OperationKind::Replace, "replace.zcx", nullptr,
         "Replacement verified. Original backup kept."},
        {OperationKind::CheckAndRepair, "repair.zcx", nullptr,
         "Filesystem checked: no problems left"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        gui_test_reset_home(); // a library of its own
        messages_.clear();
        opened_.clear();
        {
            std::lock_guard lock(scripted().mutex);
            scripted().calls.clear();
        }
        MainWindow w(nullptr, home_ + "/library.json", engine_and_scripted_service());
        const std::string path = open_copy(w, c.name);
        ASSERT_NE(w.selected_entry(), nullptr);
        ASSERT_TRUE(w.entry_allows(w.selected_entry(), c.kind));
        const std::string output = c.output ? home_ + "/" + c.output : std::string();
        if (c.output)
            recorder().files.push_back(QString::fromStdString(output));
        ASSERT_TRUE(run_from_dialog(w, c.kind, QStringLiteral("right"), [&]() {
            // The service knows the mount once it is made.
            if (c.kind == OperationKind::Mount) {
                std::lock_guard lock(scripted().mutex);
                scripted().status = R"({"sessions":[{"id":"s1","path":")" + path +
                                    R"(","phase":"mounted","writable":false,"mountPoint":")" +
                                    home_ +
                                    R"(/mnt"}],"warnings":[],"serviceUpdateAvailable":false,)"
                                    R"("canRestartService":true})";
            }
        }));
        ASSERT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));

        const std::vector<std::string> rows = recent_rows(w);
        ASSERT_FALSE(rows.empty()) << "nothing was recorded";
        EXPECT_EQ(rows.front(), "✔ " + std::string(c.name) + "|" + c.message);
        EXPECT_FALSE(json_has(w.selected_entry(), "lastError", JsonKind::String));

        switch (c.kind) {
        case OperationKind::Mount:
            EXPECT_EQ(scripted_calls().front(), "mount " + path);
            EXPECT_EQ(opened_, std::vector<std::string>{home_ + "/mnt"});
            EXPECT_EQ(w.status_text(w.selected_entry()).toStdString(), "Mounted read-only");
            EXPECT_TRUE(messages_.empty());
            break;
        case OperationKind::CheckAndRepair:
            EXPECT_EQ(scripted_calls().front(), "repair " + path);
            ASSERT_EQ(recorder().questions.size(), 1u);
            EXPECT_TRUE(recorder().questions[0].startsWith(u"Check and Repair Filesystem?|"));
            ASSERT_EQ(messages_.size(), 1u);
            EXPECT_EQ(messages_[0].rfind("Check and Repair Filesystem|fsck found no problems", 0),
                      0u)
                << messages_[0];
            break;
        case OperationKind::Export: {
            std::error_code error;
            EXPECT_EQ(fs::file_size(output, error), 16u << 20) << error.message();
            EXPECT_TRUE(messages_.empty());
            break;
        }
        case OperationKind::ChangePassword:
        case OperationKind::Convert: {
            // The verified copy joins the library and opens with the new
            // password typed in the dialog; the original stays.
            const JsonValue *copy = library_find_path(&w.library(), output);
            ASSERT_NE(copy, nullptr);
            EXPECT_TRUE(entry_info_flag(copy, "verified"));
            EXPECT_TRUE(opens_with(output, "next pass"));
            EXPECT_TRUE(opens_with(path, "right"));
            EXPECT_TRUE(messages_.empty());
            break;
        }
        case OperationKind::Replace: {
            // The backup the engine kept joins the library beside the new
            // container at the same path.
            EXPECT_EQ(library_size(&w.library()), 2u);
            const JsonValue *entry = json_first(library_entries(&w.library()));
            for (; entry != nullptr; entry = json_next(entry)) {
                if (entry_path(entry) != path) {
                    EXPECT_TRUE(fs::exists(entry_path(entry))) << entry_path(entry);
                }
            }
            EXPECT_TRUE(opens_with(path, "next pass"));
            EXPECT_TRUE(messages_.empty());
            break;
        }
        default:
            EXPECT_TRUE(messages_.empty());
            break;
        }
    }
}

TEST_F(WindowOperationsTest, WrongPasswordIsRecordedAsAFailure) {
    MainWindow w(nullptr, home_ + "/library.json", engine_and_scripted_service());
    open_copy(w, "locked.zcx");
    ASSERT_TRUE(run_from_dialog(w, OperationKind::CheckCredentials, QStringLiteral("wrong")));
    ASSERT_TRUE(wait_for([&]() { return w.activity_count() == 0; }));

    // The engine's own sentence, shown as it is.
    const std::string message = "Credentials could not be checked.";
    const std::vector<std::string> rows = recent_rows(w);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front(), "⚠ locked.zcx|" + message);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "Operation Could Not Finish|" + message);
    EXPECT_STREQ(json_get_string(w.selected_entry(), "lastError", ""), message.c_str());
    EXPECT_EQ(w.status_text(w.selected_entry()).toStdString(), "Needs attention");
}

} // namespace
} // namespace tw
