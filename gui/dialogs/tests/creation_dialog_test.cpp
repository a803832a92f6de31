// New Container, Import from VeraCrypt and the device chooser: the default
// volume name, the creation rules the engine enforces (refused first, with
// its texts, before anything starts), an import through the dialog with the
// real engine, cancelling a running import from the dialog, and a FAT32
// container created through the dialog by the real engine, broker and
// initiator (as root, in a private mount namespace).
#include "broker/tests/support/broker_process.h"
#include "engine/tests/support/veracrypt_writer.h"
#include "gui/dialogs/dialogs.h"
#include "gui/dialogs/tests/support/dialog_driver.h"
#include "gui/dialogs/tests/support/dialog_test_bin.h"
#include "gui/library.h"
#include "gui/main_window.h"
#include "gui/password/password_panel.h"
#include "gui/tests/support/qt_environment.h"
#include "platform/socket_owner.h"
#include "tests/support/private_mounts.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace tw {
namespace {

const bool kRelocated = test::dialog_test_relocate();

namespace fs = std::filesystem;
using test::edit_named;
using test::recorder;
using test::when_shown;

// A stand-in for the shell's activities: one creation job at a time, run
// through the client library on a thread of its own.
struct TestActivity {
    std::mutex lock;
    std::thread worker;
    EngineRunContext ctx;
    ActivityState state;
    bool running = false;
    int started = 0;
    int rc = 0;
    std::string code;
    CreationJob::Kind kind = CreationJob::Kind::Create;
};

TestActivity &activity() {
    static TestActivity a;
    return a;
}

void on_progress(void *, const char *phase, double fraction) {
    std::lock_guard<std::mutex> hold(activity().lock);
    activity().state.fraction = fraction;
    activity().state.text = QString::fromUtf8(phase ? phase : "");
    if (phase && std::string_view(phase) == "publishing")
        activity().state.cancellable = false;
}

int start_creation(std::unique_ptr<CreationJob> job) {
    TestActivity &a = activity();
    if (a.worker.joinable())
        a.worker.join();
    a.ctx.cancel_requested = false;
    a.ctx.progress = on_progress;
    a.state = ActivityState{};
    a.state.text = QStringLiteral("started");
    a.state.cancellable = true;
    a.running = true;
    a.started++;
    a.kind = job->kind;
    a.worker = std::thread([job = std::shared_ptr<CreationJob>(std::move(job))] {
        ClientOutcome out;
        const int rc = creation_run(*job, GuiBackend{}, &activity().ctx, &out);
        std::lock_guard<std::mutex> hold(activity().lock);
        activity().rc = rc;
        activity().code = out.code;
        activity().running = false;
    });
    return 7;
}

bool activity_state(int id, ActivityState *out) {
    EXPECT_EQ(id, 7);
    std::lock_guard<std::mutex> hold(activity().lock);
    if (!activity().running)
        return false;
    *out = activity().state;
    return true;
}

void cancel_activity(int) {
    {
        std::lock_guard<std::mutex> hold(activity().lock);
        activity().state.cancel_requested = true;
    }
    engine_cancel(&activity().ctx);
}

std::vector<std::string> listing(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CreationDialogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(kRelocated);
        EngineRunContext ctx;
        ClientOutcome out;
        ASSERT_EQ(engine_creation_options(&ctx, &out), 0) << out.message;
        options_ = out.result;
        out.result = nullptr;
    }
    static void TearDownTestSuite() {
        if (activity().worker.joinable())
            activity().worker.join();
        json_free(options_);
        options_ = nullptr;
    }
    void SetUp() override {
        gui_test_reset_home();
        test::install_recorder(options_);
        static DialogTestHooks hooks;
        hooks = DialogTestHooks{};
        hooks.creation_options = options_;
        hooks.message = [](const QString &title, const QString &text) {
            recorder().messages.push_back(title + u'|' + text);
        };
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
        activity().started = 0;
        folder_ = gui_test_home().toStdString() + "/work";
        fs::create_directories(folder_);
        fs::permissions(folder_, fs::perms::owner_all);
    }
    void TearDown() override {
        if (activity().worker.joinable())
            activity().worker.join();
        dialogs_set_test_hooks(nullptr);
    }

    static inline JsonValue *options_ = nullptr;
    std::string folder_;
};

void type_new_passwords(FormDialog *dialog, const QString &password) {
    edit_named(dialog, "newPassword")->setText(password);
    edit_named(dialog, "confirmation")->setText(password);
}

TEST(DefaultVolumeName, KeepsWhatAVolumeLabelMayHold) {
    const std::pair<const char *, const char *> cases[] = {
        {"/x/my file.zcx", "MYFILE"},
        {"/x/ä.zcx", "OPENZCX"},
        {"/x/Holiday_2024-photos.zcx", "HOLIDAY_202"},
        {"/x/.zcx", "OPENZCX"},
        {"/x/backup.v2.zcx", "BACKUPV2"},
    };
    for (auto [path, name] : cases)
        EXPECT_EQ(default_volume_name(QString::fromUtf8(path)).toStdString(), name) << path;
}

TEST_F(CreationDialogTest, TheEnginesRulesAreCheckedFirstInTheirRows) {
    const QString invalid = QString::fromLatin1(kTrCreationInvalid);
    struct Case {
        const char *what;
        const char *size;
        const char *filesystem;
        QString label;
        const char *row; // where the message shows
        QString message;
    };
    const Case cases[] = {
        {"size 0", "0", "exfat", QStringLiteral("DATA"), "size", invalid},
        {"FAT32 below 64 MiB", "63", "fat32", QStringLiteral("DATA"), "size",
         QString::fromLatin1(kTrCreationFat32Range)},
        {"FAT32 over 2 TiB", "2097153", "fat32", QStringLiteral("DATA"), "size",
         QString::fromLatin1(kTrCreationFat32Range)},
        {"beyond the file size limit", "9999999999999", "exfat", QStringLiteral("DATA"), "size",
         QString::fromLatin1(kTrCreationFileSize)},
        {"more digits than a number holds", "99999999999999999999999", "exfat",
         QStringLiteral("DATA"), "size", QString::fromLatin1(kTrCreationFileSize)},
        {"lower-case FAT label", "64", "fat32", QStringLiteral("data"), "label", invalid},
        {"FAT label of 12", "64", "exfat", QStringLiteral("ABCDEFGHIJKL"), "label", invalid},
        {"label with a leading space", "64", "exfat", QStringLiteral(" DATA"), "label", invalid},
        {"empty label", "64", "ntfs", QString(), "label", invalid},
        {"NTFS label with a colon", "64", "ntfs", QStringLiteral("My:Disk"), "label", invalid},
        {"NTFS label of 33", "64", "ntfs", QString(33, u'n'), "label", invalid},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        recorder().files.push_back(QString::fromStdString(folder_ + "/new.zcx"));
        QString shown;
        bool still_open = false;
        when_shown([&](FormDialog *dialog) {
            edit_named(dialog, "size")->setText(QString::fromLatin1(c.size));
            auto *filesystem = dialog->findChild<QComboBox *>(QStringLiteral("filesystem"));
            filesystem->setCurrentIndex(filesystem->findData(QString::fromLatin1(c.filesystem)));
            edit_named(dialog, "label")->setText(c.label);
            type_new_passwords(dialog, QStringLiteral("pw"));
            dialog->ok_button()->click();
            shown = dialog->row_error(edit_named(dialog, c.row));
            still_open = dialog->isVisible();
            dialog->cancel_button()->click();
        });
        dialog_new_container(nullptr, nullptr);
        EXPECT_EQ(shown, c.message);
        EXPECT_TRUE(still_open);
        EXPECT_EQ(activity().started, 0) << "nothing was started";
    }
    // NTFS labels may hold lower case and spaces inside.
    recorder().files.push_back(QString::fromStdString(folder_ + "/new.zcx"));
    when_shown([&](FormDialog *dialog) {
        auto *filesystem = dialog->findChild<QComboBox *>(QStringLiteral("filesystem"));
        filesystem->setCurrentIndex(filesystem->findData(QStringLiteral("ntfs")));
        edit_named(dialog, "label")->setText(QStringLiteral("My Disk"));
        // An unmatched confirmation keeps OK disabled: nothing starts.
        edit_named(dialog, "newPassword")->setText(QStringLiteral("a"));
        edit_named(dialog, "confirmation")->setText(QStringLiteral("b"));
        EXPECT_FALSE(dialog->ok_button()->isEnabled());
        dialog->command(kFormOk);
        EXPECT_TRUE(dialog->row_error(edit_named(dialog, "label")).isEmpty());
        dialog->cancel_button()->click();
    });
    dialog_new_container(nullptr, nullptr);
    EXPECT_EQ(activity().started, 0);
}

TEST_F(CreationDialogTest, TheDialogProposesANameAndLabelRules) {
    recorder().files.push_back(QString::fromStdString(folder_ + "/my file.zcx"));
    QString label, note_ntfs, ok;
    when_shown([&](FormDialog *dialog) {
        ok = dialog->ok_button()->text();
        label = edit_named(dialog, "label")->text();
        auto *filesystem = dialog->findChild<QComboBox *>(QStringLiteral("filesystem"));
        filesystem->setCurrentIndex(filesystem->findData(QStringLiteral("ntfs")));
        for (QLabel *l : dialog->findChildren<QLabel *>())
            if (l->text().startsWith(u"Use up to 32"))
                note_ntfs = l->text();
        dialog->cancel_button()->click();
    });
    dialog_new_container(nullptr, nullptr);
    ASSERT_EQ(recorder().choices.size(), 1u);
    EXPECT_EQ(recorder().choices[0].title, QStringLiteral("New Container"));
    EXPECT_EQ(recorder().choices[0].default_name, QStringLiteral("Untitled.zcx"));
    EXPECT_EQ(ok, QStringLiteral("Create Container"));
    EXPECT_EQ(label, QStringLiteral("MYFILE"));
    EXPECT_EQ(note_ntfs, QStringLiteral("Use up to 32 characters, without \\ / : * ? \" < > | or "
                                        "surrounding spaces."));
}

// A VeraCrypt volume of `mib` MiB holding a FAT image, with the password
// "vera password".
std::string make_veracrypt(const std::string &folder, int mib) {
    const std::string image = folder + "/plain.img";
    const std::string make = "truncate -s " + std::to_string(mib) + "M '" + image +
                             "' && mkfs.vfat '" + image + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0)
        return {};
    std::ifstream in(image, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    fs::remove(image);
    const std::string volume = folder + "/vault.hc";
    test::VeraCryptSettings settings;
    return test::write_veracrypt_volume(volume, bytes, settings) ? volume : std::string();
}

TEST_F(CreationDialogTest, ImportRunsThroughTheDialogAndCancellingLeavesNothing) {
    const std::string volume = make_veracrypt(folder_, 8);
    ASSERT_FALSE(volume.empty());
    struct Case {
        bool cancel;
        int rc;
    };
    for (const Case c : {Case{true, -ECANCELED}, Case{false, 0}}) {
        SCOPED_TRACE(c.cancel ? "cancelled" : "finished");
        recorder().files = {QString::fromStdString(volume),
                            QString::fromStdString(folder_ + "/imported.zcx")};
        recorder().choices.clear();
        bool import_enabled_early = true, cancel_enabled_after = true;
        QString status;
        when_shown([&](FormDialog *dialog) {
            type_new_passwords(dialog, QStringLiteral("new password"));
            import_enabled_early = dialog->ok_button()->isEnabled();
            edit_named(dialog, "veracryptPassword")->setText(QStringLiteral("vera password"));
            dialog->ok_button()->click();
            if (c.cancel) {
                QTest::qWait(300);
                dialog->cancel_button()->click();
                cancel_enabled_after = dialog->cancel_button()->isEnabled();
                status = dialog->findChild<QLabel *>(QStringLiteral("status"))->text();
            }
        });
        dialog_import_veracrypt(nullptr, nullptr);
        ASSERT_EQ(recorder().choices.size(), 2u);
        EXPECT_EQ(recorder().choices[0].title, QStringLiteral("Choose VeraCrypt File"));
        EXPECT_EQ(recorder().choices[1].default_name, QStringLiteral("vault.zcx"));
        EXPECT_FALSE(import_enabled_early) << "the VeraCrypt password is needed";
        if (activity().worker.joinable())
            activity().worker.join();
        EXPECT_EQ(activity().rc, c.rc) << activity().code;
        if (c.cancel) {
            EXPECT_FALSE(cancel_enabled_after);
            EXPECT_EQ(status, QStringLiteral("Cancelling"));
            EXPECT_EQ(listing(folder_), std::vector<std::string>{"vault.hc"});
        } else {
            EXPECT_EQ(listing(folder_), (std::vector<std::string>{"imported.zcx", "vault.hc"}));
        }
    }
}

TEST_F(CreationDialogTest, AnImportThroughTheWindowsActivityJoinsTheLibrary) {
    // The library window's own activities run the job (its real backend),
    // and the dialog follows them until the end.
    const std::string volume = make_veracrypt(folder_, 8);
    ASSERT_FALSE(volume.empty());
    static DialogTestHooks hooks;
    hooks = DialogTestHooks{};
    hooks.creation_options = options_;
    hooks.choose_file = [](const FileChoice &) {
        if (recorder().files.empty())
            return QString();
        QString next = recorder().files.front();
        recorder().files.erase(recorder().files.begin());
        return next;
    };
    dialogs_set_test_hooks(&hooks);
    MainWindow window(nullptr, folder_ + "/library.json");
    window.set_poll_may_start(false);
    QStringList shown;
    window.set_message_sink(
        [&](const QString &title, const QString &text) { shown << title + u'|' + text; });
    recorder().files = {QString::fromStdString(volume),
                        QString::fromStdString(folder_ + "/imported.zcx")};
    bool progress_seen = false;
    when_shown([&](FormDialog *dialog) {
        edit_named(dialog, "newPassword")->setText(QStringLiteral("new password"));
        edit_named(dialog, "confirmation")->setText(QStringLiteral("new password"));
        edit_named(dialog, "veracryptPassword")->setText(QStringLiteral("vera password"));
        dialog->ok_button()->click();
        progress_seen = dialog->findChild<QLabel *>(QStringLiteral("status")) != nullptr;
    });
    dialog_import_veracrypt(&window, window.shell());
    EXPECT_TRUE(progress_seen);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return library_find_path(&window.library(), folder_ + "/imported.zcx") != nullptr; },
        20000))
        << shown.join(u'\n').toStdString();
    EXPECT_TRUE(fs::exists(folder_ + "/imported.zcx"));
}

TEST_F(CreationDialogTest, AFat32ContainerIsCreatedThroughTheDialog) {
    const std::string reason = test::enter_private_mounts_for_disks();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    test::BrokerProcess broker;
    if (!broker.start())
        GTEST_SKIP() << "the broker did not start";
    recorder().files.push_back(QString::fromStdString(folder_ + "/fresh.zcx"));
    when_shown([&](FormDialog *dialog) {
        edit_named(dialog, "size")->setText(QStringLiteral("64"));
        auto *filesystem = dialog->findChild<QComboBox *>(QStringLiteral("filesystem"));
        filesystem->setCurrentIndex(filesystem->findData(QStringLiteral("fat32")));
        edit_named(dialog, "label")->setText(QStringLiteral("FRESH"));
        type_new_passwords(dialog, QStringLiteral("fresh password"));
        dialog->ok_button()->click();
    });
    dialog_new_container(nullptr, nullptr);
    if (activity().worker.joinable())
        activity().worker.join();
    broker.stop();
    pid_t pid = 0;
    if (read_root_pid_file("/run/tarnwick/initiator.pid", &pid) == 0 && pid > 0)
        kill(pid, SIGTERM);
    ASSERT_EQ(activity().rc, 0) << activity().code;
    EXPECT_EQ(listing(folder_), std::vector<std::string>{"fresh.zcx"});
    // The new container opens with its password and holds a FAT32 volume.
    EngineRunContext ctx;
    FileOperation verify;
    verify.command = "verify";
    verify.input = folder_ + "/fresh.zcx";
    verify.password = std::span(reinterpret_cast<const uint8_t *>("fresh password"), 14);
    ClientOutcome out;
    ASSERT_EQ(engine_file_operation(&ctx, verify, &out), 0) << out.message;
    EXPECT_NE(std::string(json_get_string(out.result, "filesystem", "")).find("FAT32"),
              std::string::npos);
}

// The job the imaging dialog hands over, kept by a stand-in shell.
std::unique_ptr<CreationJob> g_image_job;
int keep_job(std::unique_ptr<CreationJob> job) {
    g_image_job = std::move(job);
    return -EBUSY; // refused: the dialog closes
}

TEST_F(CreationDialogTest, AChosenDeviceIsImagedWithItsIdentity) {
    test::dialog_test_fake_engine(
        gui_test_home().toStdString(),
        R"(echo '{"event":"result","devices":[{"path":"/dev/sdb","name":"Stick A",)"
        R"("identity":77,"size":1000000000},{"path":"/dev/sdc","name":"Card B","identity":91,)"
        R"("size":2000000000}],"version":1}')");
    static DialogTestHooks hooks;
    hooks = DialogTestHooks{};
    hooks.creation_options = options_;
    hooks.choose_file = [](const FileChoice &choice) {
        recorder().choices.push_back(choice);
        return QString::fromStdString(gui_test_home().toStdString() + "/work/card.zcx");
    };
    hooks.start_creation = keep_job;
    dialogs_set_test_hooks(&hooks);
    QStringList items;
    QString device_line;
    when_shown([&](FormDialog *chooser) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return chooser->jobs_running() == 0; }, 20000));
        auto *devices = chooser->findChild<QComboBox *>(QStringLiteral("devices"));
        for (int i = 0; i < devices->count(); i++)
            items << devices->itemText(i);
        devices->setCurrentIndex(1);
        when_shown([&](FormDialog *dialog) {
            for (QLabel *label : dialog->findChildren<QLabel *>())
                if (label->text().startsWith(u"Card B"))
                    device_line = label->text();
            edit_named(dialog, "newPassword")->setText(QStringLiteral("pw"));
            edit_named(dialog, "confirmation")->setText(QStringLiteral("pw"));
            dialog->ok_button()->click();
        });
        chooser->ok_button()->click();
    });
    dialog_image_device(nullptr, nullptr);
    ASSERT_EQ(items.size(), 2);
    EXPECT_TRUE(items[1].startsWith(u"Card B · ")) << items[1].toStdString();
    EXPECT_TRUE(items[1].endsWith(u" · /dev/sdc"));
    EXPECT_TRUE(device_line.startsWith(u"Card B · "));
    ASSERT_NE(g_image_job, nullptr);
    EXPECT_EQ(g_image_job->kind, CreationJob::Kind::Image);
    EXPECT_EQ(g_image_job->device, "/dev/sdc");
    EXPECT_EQ(g_image_job->device_identity, 91u);
    EXPECT_EQ(g_image_job->filesystem, "exfat");
    EXPECT_EQ(g_image_job->label, "IMAGE");
    EXPECT_EQ(g_image_job->algorithm, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(g_image_job->new_password.data()),
                          g_image_job->new_password.size()),
              "pw");
    g_image_job.reset();
}

TEST_F(CreationDialogTest, TheDeviceChooserSaysWhenThereIsNothingToImage) {
    // Without a broker the list cannot be had: the engine's message shows
    // and Continue stays disabled.
    QString note;
    bool continue_enabled = true;
    when_shown([&](FormDialog *dialog) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->jobs_running() == 0; }, 20000));
        note = dialog->findChild<QLabel *>(QStringLiteral("devicesNote"))->text();
        continue_enabled = dialog->ok_button()->isEnabled();
        dialog->cancel_button()->click();
    });
    dialog_image_device(nullptr, nullptr);
    EXPECT_FALSE(note.isEmpty());
    EXPECT_FALSE(continue_enabled);
    EXPECT_TRUE(recorder().choices.empty()) << "no file is asked for";
}

} // namespace
} // namespace tw
