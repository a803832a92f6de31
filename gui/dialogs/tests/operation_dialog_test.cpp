// The container operation dialog: each of the seven kinds collects its
// input and runs (the engine's operations for real; mount and repair through
// the scripted mount service), rows refuse invalid input in their order,
// the current password is checked for real, and the check-and-repair
// report reads as the user should see it.
#include "gui/app_language.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/tests/support/dialog_driver.h"
#include "gui/dialogs/tests/support/dialog_test_bin.h"
#include "gui/dialogs/tests/support/test_container.h"
#include "gui/password/password_panel.h"
#include "gui/tests/support/qt_environment.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace tw {
namespace {

const bool kRelocated = test::dialog_test_relocate();

namespace fs = std::filesystem;
using test::edit_named;
using test::recorder;
using test::type_new_passwords;
using test::when_shown;

// One small real container for the whole suite: a FAT image converted with
// the password "right".
class OperationDialogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(kRelocated);
        char pattern[] = "/tmp/tw-gui-operations-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        EngineRunContext ctx;
        ClientOutcome out;
        ASSERT_EQ(engine_creation_options(&ctx, &out), 0) << out.message;
        options_ = out.result;
        out.result = nullptr;
        std::string error;
        ASSERT_EQ(test::test_container_make(folder_, "c.zcx", "right", &error), 0) << error;
    }
    static void TearDownTestSuite() {
        json_free(options_);
        options_ = nullptr;
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    void SetUp() override {
        gui_test_reset_home();
        test::install_recorder(options_);
        PasswordPanel::set_debounce_for_testing(5);
    }
    void TearDown() override {
        dialogs_set_test_hooks(nullptr);
        PasswordPanel::set_debounce_for_testing(0);
    }

    // A library entry for `path` with the summary members given as JSON.
    static JsonValue *entry_for(const std::string &path, const char *info = "{}",
                                const char *preferences = "{}") {
        const std::string text = std::string(R"({"id":"5F0C2B4A-0000-4000-8000-000000000001",)") +
                                 R"("path":")" + path + R"(","info":)" + info +
                                 R"(,"preferences":)" + preferences + "}";
        return json_parse_text(text.c_str());
    }

    static inline std::string folder_;
    static inline JsonValue *options_ = nullptr;
};

std::string bytes(const SecureBuffer &buffer) {
    return std::string(reinterpret_cast<const char *>(buffer.data()), buffer.size());
}

TEST_F(OperationDialogTest, EveryKindRunsFromItsDialog) {
    struct Case {
        OperationKind kind;
        const char *title;
        const char *ok;
        const char *output; // the chooser's answer, or null
    };
    const Case cases[] = {
        {OperationKind::CheckCredentials, "Check Credentials", "Check", nullptr},
        {OperationKind::Export, "Export Decrypted Image", "Export", "out.img"},
        {OperationKind::ChangePassword, "Change Password", "Create New Password Copy",
         "rekeyed.zcx"},
        {OperationKind::Convert, "Convert Copy", "Create Encrypted Copy", "converted.zcx"},
        {OperationKind::Replace, "Re-encrypt at Same Path", "Replace and Keep Backup", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        // Replacing changes the container: it works on a copy.
        std::string path = folder_ + "/c.zcx";
        if (c.kind == OperationKind::Replace) {
            path = folder_ + "/replaced.zcx";
            fs::copy_file(folder_ + "/c.zcx", path, fs::copy_options::overwrite_existing);
        }
        JsonValue *entry = entry_for(path);
        if (c.output)
            recorder().files.push_back(QString::fromStdString(folder_ + "/" + c.output));
        QString title, ok;
        when_shown([&](FormDialog *dialog) {
            title = dialog->windowTitle();
            ok = dialog->ok_button()->text();
            edit_named(dialog, "password")->setText(QStringLiteral("right"));
            if (dialog->findChild<PasswordPanel *>())
                type_new_passwords(dialog, QStringLiteral("next pass"),
                                   QStringLiteral("next pass"));
            dialog->ok_button()->click();
        });
        OperationInput input;
        ASSERT_EQ(dialog_run_operation(nullptr, nullptr, c.kind, entry, &input), 1);
        EXPECT_EQ(title.toStdString(), c.title);
        EXPECT_EQ(ok.toStdString(), c.ok);
        EXPECT_EQ(bytes(input.password), "right");
        EngineRunContext ctx;
        ClientOutcome out;
        EXPECT_EQ(operation_run(c.kind, entry, input, &ctx, &out), 0) << out.message;
        ASSERT_TRUE(out.succeeded());
        if (c.output) {
            EXPECT_TRUE(fs::exists(folder_ + "/" + c.output));
        }
        if (c.kind == OperationKind::Export) {
            EXPECT_EQ(fs::file_size(folder_ + "/out.img"), 16u << 20);
        }
        if (c.kind == OperationKind::Replace) {
            const std::string backup = json_get_string(out.result, "backupPath", "");
            EXPECT_TRUE(!backup.empty() && fs::exists(backup));
        }
        if (c.kind == OperationKind::ChangePassword || c.kind == OperationKind::Convert) {
            // The new copy opens with the new password only.
            JsonValue *copy = entry_for(folder_ + "/" + c.output);
            OperationInput check;
            check.password.assign("next pass", 9);
            ClientOutcome verified;
            EXPECT_EQ(operation_run(OperationKind::CheckCredentials, copy, check, &ctx, &verified),
                      0)
                << verified.message;
            json_free(copy);
        }
        json_free(entry);
    }
}

TEST_F(OperationDialogTest, MountAndRepairGoToTheMountService) {
    const std::string path = folder_ + "/c.zcx";
    // Mount: the writable choice leaves out "mountOnLogin" from the request.
    {
        JsonValue *entry = entry_for(path, R"({"verified":true,"writeSupported":true})",
                                     R"({"readOnly":true,"mountOnLogin":true})");
        test::dialog_test_service_script(
            R"({"replies":[{"_self":true,"mountTicket":"T1"},{"_self":true,"sessions":[]}]})");
        QString title;
        when_shown([&](FormDialog *dialog) {
            title = dialog->windowTitle();
            edit_named(dialog, "password")->setText(QStringLiteral("right"));
            dialog->findChild<QCheckBox *>(QStringLiteral("remember"))->setChecked(true);
            dialog->findChild<QCheckBox *>(QStringLiteral("readOnly"))->setChecked(false);
            edit_named(dialog, "partition")->setText(QStringLiteral("2"));
            auto *cipher = dialog->findChild<QComboBox *>(QStringLiteral("unlockCipher"));
            cipher->setCurrentIndex(cipher->findData(1u)); // SSE1
            edit_named(dialog, "systemKey")->setText(QStringLiteral("0123456789abcd"));
            dialog->ok_button()->click();
        });
        OperationInput input;
        ASSERT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Mount, entry, &input), 1);
        EXPECT_EQ(title, QStringLiteral("Mount Container"));
        EXPECT_FALSE(input.read_only);
        EXPECT_TRUE(input.remember);
        EXPECT_EQ(input.partition, 2);
        ASSERT_EQ(recorder().questions.size(), 1u);
        EXPECT_TRUE(recorder().questions[0].startsWith(u"Enable Experimental Writes?|"));
        EngineRunContext ctx;
        ClientOutcome out;
        EXPECT_EQ(operation_run(OperationKind::Mount, entry, input, &ctx, &out), 0) << out.message;
        const auto requests = test::dialog_test_service_requests();
        ASSERT_EQ(requests.size(), 2u);
        for (const std::string &r : requests) {
            EXPECT_NE(r.find(R"("readOnly":false)"), std::string::npos) << r;
            EXPECT_EQ(r.find("mountOnLogin"), std::string::npos) << r;
            EXPECT_NE(r.find(R"("partition":2)"), std::string::npos) << r;
            EXPECT_NE(r.find(R"("remember":true)"), std::string::npos) << r;
            EXPECT_EQ(r.find("right"), std::string::npos) << "the password travels encoded";
        }
        // The credential request carries the chosen cipher and system key.
        JsonValue *mount = json_parse_text(requests[1].c_str());
        const QByteArray record =
            QByteArray::fromBase64(QByteArray(json_get_string(mount, "credentials", "")));
        json_free(mount);
        ASSERT_GE(record.size(), 16);
        auto u32 = [&](int at) {
            return static_cast<uint32_t>(static_cast<uint8_t>(record[at])) |
                   static_cast<uint32_t>(static_cast<uint8_t>(record[at + 1])) << 8 |
                   static_cast<uint32_t>(static_cast<uint8_t>(record[at + 2])) << 16 |
                   static_cast<uint32_t>(static_cast<uint8_t>(record[at + 3])) << 24;
        };
        EXPECT_EQ(u32(0), 1u);   // kind
        EXPECT_EQ(u32(4), 1u);   // cipher: SSE1
        EXPECT_EQ(u32(8), 5u);   // password length
        EXPECT_EQ(u32(12), 14u); // system key length
        EXPECT_EQ(record.mid(16), QByteArrayLiteral("right0123456789abcd"));
        json_free(entry);
    }
    // Check and repair asks first, then sends the repair request.
    {
        JsonValue *entry = entry_for(path, R"({"verified":true,"writeSupported":true})");
        test::dialog_test_service_script(
            R"({"replies":[{"_self":true,"repair":{"filesystem":"FAT32","repairStatus":0,)"
            R"("repairClean":true,"repairOutput":"fine\n"}}]})");
        recorder().questions.clear();
        when_shown([&](FormDialog *dialog) {
            edit_named(dialog, "password")->setText(QStringLiteral("right"));
            dialog->ok_button()->click();
        });
        OperationInput input;
        ASSERT_EQ(
            dialog_run_operation(nullptr, nullptr, OperationKind::CheckAndRepair, entry, &input),
            1);
        ASSERT_EQ(recorder().questions.size(), 1u);
        EXPECT_TRUE(recorder().questions[0].startsWith(u"Check and Repair Filesystem?|"));
        EngineRunContext ctx;
        ClientOutcome out;
        EXPECT_EQ(operation_run(OperationKind::CheckAndRepair, entry, input, &ctx, &out), 0)
            << out.message;
        EXPECT_TRUE(json_get_bool(out.result, "repairClean", false));
        json_free(entry);
    }
}

TEST_F(OperationDialogTest, InvalidRowsShowTheirMessageAndNothingRuns) {
    const QString limit_message = QString::fromLatin1(kTrCredentialLimit);
    struct Case {
        const char *what;
        OperationKind kind;
        const char *field; // the edit to fill
        QString value;
        const char *error_row; // the row showing the message, or null when OK stays disabled
        QString message;
    };
    const Case cases[] = {
        {"password over 4096 bytes", OperationKind::CheckCredentials, "password",
         QString(4097, u'p'), "password", limit_message},
        {"system key too short", OperationKind::Mount, "systemKey", QStringLiteral("12ab"),
         "systemKey", limit_message},
        {"system key not hexadecimal", OperationKind::Export, "systemKey",
         QStringLiteral("zzzzzzzzzzzzzz"), "systemKey", limit_message},
        {"partition 0", OperationKind::Mount, "partition", QStringLiteral("0"), nullptr, {}},
        {"new passwords differ",
         OperationKind::ChangePassword,
         "confirmation",
         QStringLiteral("other"),
         nullptr,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        JsonValue *entry = entry_for(folder_ + "/c.zcx");
        recorder().files.push_back(QString::fromStdString(folder_ + "/never-written.img"));
        QString shown;
        bool ok_enabled = true;
        when_shown([&](FormDialog *dialog) {
            edit_named(dialog, "password")->setText(QStringLiteral("right"));
            if (dialog->findChild<PasswordPanel *>())
                type_new_passwords(dialog, QStringLiteral("new"), QStringLiteral("new"));
            QLineEdit *field = edit_named(dialog, c.field);
            field->setText(c.value);
            ok_enabled = dialog->ok_button()->isEnabled();
            dialog->command(kFormOk); // as if clicked, even when disabled
            if (c.error_row)
                shown = dialog->row_error(edit_named(dialog, c.error_row));
            dialog->cancel_button()->click();
        });
        OperationInput input;
        EXPECT_EQ(dialog_run_operation(nullptr, nullptr, c.kind, entry, &input), 0);
        EXPECT_FALSE(input.password.valid()) << "nothing was collected";
        if (c.error_row)
            EXPECT_EQ(shown, c.message);
        else
            EXPECT_FALSE(ok_enabled);
        json_free(entry);
    }
    EXPECT_FALSE(fs::exists(folder_ + "/never-written.img"));
}

TEST_F(OperationDialogTest, OutputChooserProposesNamesBesideTheContainer) {
    JsonValue *entry = entry_for(folder_ + "/c.zcx");
    struct Case {
        OperationKind kind;
        const char *name;
        const char *filter;
    };
    const Case cases[] = {
        {OperationKind::Export, "c-decrypted.img", "Disk images (*.img)"},
        {OperationKind::ChangePassword, "c-new-password.zcx", "ZCX containers (*.zcx)"},
        {OperationKind::Convert, "c-converted.zcx", "ZCX containers (*.zcx)"},
    };
    for (const Case &c : cases) {
        recorder().choices.clear();
        OperationInput input;
        EXPECT_EQ(dialog_run_operation(nullptr, nullptr, c.kind, entry, &input), 0);
        ASSERT_EQ(recorder().choices.size(), 1u);
        EXPECT_EQ(recorder().choices[0].default_name.toStdString(), c.name);
        EXPECT_EQ(recorder().choices[0].filter.toStdString(), c.filter);
    }
    // An existing file is refused, never replaced.
    recorder().files.push_back(QString::fromStdString(folder_ + "/c.zcx"));
    recorder().messages.clear();
    OperationInput input;
    EXPECT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Convert, entry, &input), 0);
    ASSERT_EQ(recorder().messages.size(), 1u);
    EXPECT_EQ(
        recorder().messages[0],
        QStringLiteral("Convert Copy|The destination already exists. Choose a new filename."));
    json_free(entry);
}

TEST_F(OperationDialogTest, TheRealChooserShowsTheNoteAddsTheExtensionAndRefusesExistingFiles) {
    static DialogTestHooks hooks;
    hooks = DialogTestHooks{};
    hooks.message = [](const QString &title, const QString &text) {
        recorder().messages.push_back(title + u'|' + text);
    };
    dialogs_set_test_hooks(&hooks);
    FileChoice choice;
    choice.title = QStringLiteral("Convert Copy");
    choice.folder = QString::fromStdString(folder_);
    choice.note = QStringLiteral("A note under the fields.");
    choice.filter = QStringLiteral("ZCX containers (*.zcx)");
    // Answers: an existing name first (refused), then a new one without its
    // extension.
    std::vector<QString> answers = {QStringLiteral("c.zcx"), QStringLiteral("fresh")};
    bool note_shown = false;
    auto *timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [&] {
        auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!chooser || !chooser->isVisible() || answers.empty() ||
            chooser->property("tw_test_seen").toBool())
            return;
        chooser->setProperty("tw_test_seen", true);
        for (QLabel *label : chooser->findChildren<QLabel *>())
            note_shown = note_shown || label->text() == choice.note;
        chooser->selectFile(answers.front());
        answers.erase(answers.begin());
        QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
    });
    timer->start(10);
    const QString path = dialog_choose_file(nullptr, choice);
    delete timer;
    EXPECT_TRUE(note_shown);
    EXPECT_EQ(path, QString::fromStdString(folder_ + "/fresh.zcx"));
    ASSERT_EQ(recorder().messages.size(), 1u);
    EXPECT_EQ(
        recorder().messages[0],
        QStringLiteral("Convert Copy|The destination already exists. Choose a new filename."));
}

TEST_F(OperationDialogTest, PasswordFieldsAreWipedWhenTheDialogCloses) {
    // The texts kept here share their storage with the fields: once the
    // dialog is gone, that storage holds zeros.
    for (bool accept : {false, true}) {
        SCOPED_TRACE(accept ? "accepted" : "cancelled");
        JsonValue *entry = entry_for(folder_ + "/c.zcx");
        QString password, new_password, system_key;
        when_shown([&](FormDialog *dialog) {
            // Typed text lives on the heap (literals would be read-only).
            edit_named(dialog, "password")->setText(QString::fromUtf8("right"));
            edit_named(dialog, "systemKey")->setText(QString::fromUtf8("0123456789abcd"));
            type_new_passwords(dialog, QString::fromUtf8("next pass"),
                               QString::fromUtf8("next pass"));
            password = edit_named(dialog, "password")->text();
            system_key = edit_named(dialog, "systemKey")->text();
            new_password = edit_named(dialog, "newPassword")->text();
            (accept ? dialog->ok_button() : dialog->cancel_button())->click();
        });
        OperationInput input;
        EXPECT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Replace, entry, &input),
                  accept ? 1 : 0);
        for (const QString *text : {&password, &new_password, &system_key}) {
            ASSERT_FALSE(text->isEmpty());
            EXPECT_EQ(text->count(QChar(0)), text->size()) << text->toStdString();
        }
        if (accept) {
            EXPECT_EQ(bytes(input.new_password), "next pass");
            EXPECT_EQ(bytes(input.system_key), "0123456789abcd");
        }
        json_free(entry);
    }
}

TEST_F(OperationDialogTest, ReadOnlyChoiceFollowsWriteSupport) {
    struct Case {
        const char *info;
        bool answer;
        bool enabled;
        bool checked_after;
        const char *note;
    };
    const Case cases[] = {
        {R"({"verified":true,"writeSupported":true})", false, true, true,
         "Applies to this mount only. Saved preferences stay unchanged."},
        {R"({"verified":true,"writeSupported":true})", true, true, false,
         "Applies to this mount only. Saved preferences stay unchanged."},
        {R"({"verified":true})", true, false, true,
         "Write access is unavailable for this container."},
        {R"({})", true, false, true, "Check credentials to see whether write access is supported."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.info);
        JsonValue *entry = entry_for(folder_ + "/c.zcx", c.info);
        recorder().answer = c.answer;
        bool enabled = false, checked = false, note_found = false;
        when_shown([&](FormDialog *dialog) {
            auto *box = dialog->findChild<QCheckBox *>(QStringLiteral("readOnly"));
            enabled = box->isEnabled();
            if (enabled)
                box->click(); // unchecking asks first
            checked = box->isChecked();
            for (QLabel *label : dialog->findChildren<QLabel *>())
                note_found = note_found || label->text() == QLatin1String(c.note);
            dialog->cancel_button()->click();
        });
        OperationInput input;
        EXPECT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Mount, entry, &input), 0);
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(checked, c.checked_after);
        EXPECT_TRUE(note_found);
        json_free(entry);
    }
    recorder().answer = true;
}

TEST_F(OperationDialogTest, CheckingTheCurrentPasswordTeachesTheLimit) {
    JsonValue *entry = entry_for(folder_ + "/c.zcx");
    struct Case {
        const char *password;
        bool learned;
    };
    for (const Case c : {Case{"wrong", false}, Case{"right", true}}) {
        SCOPED_TRACE(c.password);
        bool generator_before = true, generator_after = false, cancel_while_checking = true;
        QString error, limit_line;
        when_shown([&](FormDialog *dialog) {
            auto *cipher = dialog->findChild<QComboBox *>(QStringLiteral("newCipher"));
            cipher->setCurrentIndex(cipher->findData(255u)); // Keep Current Setting
            auto *generate = dialog->findChild<QPushButton *>(QStringLiteral("generate"));
            generator_before = generate->isEnabled();
            // Valid new passwords suffice for OK while the limit is unknown.
            type_new_passwords(dialog, QStringLiteral("n"), QStringLiteral("n"));
            EXPECT_TRUE(dialog->ok_button()->isEnabled());
            edit_named(dialog, "password")->setText(QString::fromLatin1(c.password));
            dialog->findChild<QPushButton *>(QStringLiteral("checkCurrent"))->click();
            cancel_while_checking = dialog->cancel_button()->isEnabled();
            EXPECT_FALSE(dialog->ok_button()->isEnabled());
            EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->jobs_running() == 0; }, 20000));
            generator_after = generate->isEnabled();
            error = dialog->findChild<QLabel *>(QStringLiteral("checkError"))->text();
            limit_line = dialog->findChild<QLabel *>(QStringLiteral("limit"))->text();
            dialog->cancel_button()->click();
        });
        OperationInput input;
        EXPECT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Replace, entry, &input), 0);
        EXPECT_FALSE(generator_before);
        EXPECT_FALSE(cancel_while_checking);
        EXPECT_EQ(generator_after, c.learned);
        if (c.learned) {
            EXPECT_TRUE(error.isEmpty());
            EXPECT_EQ(limit_line, QStringLiteral("Password limit: 4096 UTF-8 bytes."));
        } else {
            EXPECT_FALSE(error.isEmpty());
            EXPECT_EQ(limit_line,
                      QStringLiteral("Check the current password before generating a new one."));
        }
    }
    json_free(entry);
}

TEST_F(OperationDialogTest, TextsComeFromTheCatalogues) {
    JsonValue *entry = entry_for(folder_ + "/c.zcx");
    ASSERT_GE(gui_install_translators(*qApp, QStringLiteral("uk")), 3);
    recorder().files.push_back(QString::fromStdString(folder_ + "/never-written.zcx"));
    QString title, ok, cancel, panel_label, limit_line;
    when_shown([&](FormDialog *dialog) {
        title = dialog->windowTitle();
        ok = dialog->ok_button()->text();
        cancel = dialog->cancel_button()->text();
        for (QLabel *label : dialog->findChild<PasswordPanel *>()->findChildren<QLabel *>())
            if (label->text().startsWith(u"Нов"))
                panel_label = label->text();
        limit_line = dialog->findChild<QLabel *>(QStringLiteral("limit"))->text();
        dialog->cancel_button()->click();
    });
    OperationInput input;
    EXPECT_EQ(dialog_run_operation(nullptr, nullptr, OperationKind::Convert, entry, &input), 0);
    gui_remove_translators(*qApp);
    EXPECT_EQ(title, QStringLiteral("Перетворити копію"));
    EXPECT_EQ(ok, QStringLiteral("Створити зашифровану копію"));
    EXPECT_EQ(cancel, QStringLiteral("Скасувати"));
    EXPECT_EQ(panel_label, QStringLiteral("Новий пароль"));
    EXPECT_EQ(limit_line, QStringLiteral("Обмеження пароля: 4096 байтів UTF-8."));
    json_free(entry);

    // The counted texts of the dialogs in every language.
    struct Case {
        const char *language;
        int n;
        const char *text;
    };
    const Case cases[] = {
        {"en", 1, "1 minute"},  {"en", 15, "15 minutes"}, {"uk", 21, "21 хвилина"},
        {"uk", 3, "3 хвилини"}, {"uk", 15, "15 хвилин"},  {"ru", 2, "2 минуты"},
        {"ru", 60, "60 минут"}, {"es", 1, "1 minuto"},    {"es", 30, "30 minutos"},
    };
    for (const Case &c : cases) {
        ASSERT_GE(gui_install_translators(*qApp, QString::fromLatin1(c.language)), 1);
        EXPECT_EQ(
            QCoreApplication::translate("tw::Dialogs", "%n minutes", nullptr, c.n).toStdString(),
            c.text)
            << c.language;
        gui_remove_translators(*qApp);
    }
}

TEST(RepairResult, VerdictStatusErrorAndTheLastThirteenLines) {
    QString output;
    for (int i = 1; i <= 40; i++)
        output += QStringLiteral("line %1\n").arg(i);
    struct Case {
        const char *report;
        bool warning;
        const char *starts;
    };
    const std::string lines = output.toStdString();
    const std::string escaped = [&] {
        std::string e;
        for (char ch : lines)
            e += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        return e;
    }();
    const std::string clean = R"({"filesystem":"FAT32","repairStatus":1,"repairClean":true,)"
                              R"("repairOutput":")" +
                              escaped + R"("})";
    const std::string marker = R"({"repairStatus":0,"repairClean":true,"markerError":"M."})";
    const std::string dirty = R"({"filesystem":"exFAT","repairStatus":4,"repairClean":false,)"
                              R"("repairError":"E.","repairOutput":"\n\nlast\n"})";
    JsonValue *report = json_parse_text(clean.c_str());
    bool warning = true;
    QString text = repair_result_text(report, &warning);
    EXPECT_FALSE(warning);
    QString expected = QStringLiteral(
        "fsck found no problems left on this volume. Write access is available again.\n"
        "FAT32, fsck 1\n\n");
    for (int i = 28; i <= 40; i++)
        expected += QStringLiteral("line %1").arg(i) + (i < 40 ? QStringLiteral("\n") : QString());
    EXPECT_EQ(text, expected);
    json_free(report);

    report = json_parse_text(marker.c_str());
    EXPECT_EQ(repair_result_text(report, &warning),
              QStringLiteral("fsck found no problems left on this volume.\n?, fsck 0\n\nM.\n\n"));
    EXPECT_TRUE(warning);
    json_free(report);

    report = json_parse_text(dirty.c_str());
    EXPECT_EQ(repair_result_text(report, &warning),
              QStringLiteral("fsck could not fix every problem. Copy your files off with a "
                             "read-only mount, then create a new container.\nexFAT, fsck 4\n\n"
                             "E.\n\nlast"));
    EXPECT_TRUE(warning);
    json_free(report);
}

} // namespace
} // namespace tw
