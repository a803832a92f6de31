// The library window with a scripted engine and mount service: what the
// list shows, which actions an entry allows, the session poll, the limit of
// activities, cancelling, and the hand-off of another start.
#include "gui/main_window.h"
#include "gui/single_instance.h"
#include "gui/tests/support/qt_environment.h"
#include "gui/tests/support/scripted_backend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMimeData>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace tw {
namespace {

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs the event loop until the condition holds (at most 5 s).
template <typename Condition>
bool wait_for(Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 5000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gui_test_reset_home();
        home_ = gui_test_home().toStdString();
        {
            std::lock_guard lock(scripted().mutex);
            scripted().calls.clear();
            scripted().status = R"({"sessions":[],"warnings":[],"serviceUpdateAvailable":false,)"
                                R"("canRestartService":true})";
        }
        scripted().hold = false;
    }
    void TearDown() override { scripted().hold = false; }
    std::unique_ptr<MainWindow> window(const std::string &library = "") {
        if (!library.empty())
            write_text(home_ + "/library.json", library);
        auto w = std::make_unique<MainWindow>(nullptr, home_ + "/library.json", scripted_backend());
        w->set_message_sink([this](const QString &title, const QString &text) {
            messages_.push_back((title + u'|' + text).toStdString());
        });
        w->set_open_sink([this](const QString &path) { opened_.push_back(path.toStdString()); });
        return w;
    }
    std::string home_;
    std::vector<std::string> messages_;
    std::vector<std::string> opened_;
};

std::string entry_text(const std::string &id, const std::string &path, const std::string &extra) {
    return R"({"id":")" + id + R"(","path":")" + path + R"(")" + extra + "}";
}

TEST_F(WindowTest, ListShowsStatusesFiltersSearchAndNaturalOrder) {
    const std::string info_ok = R"(,"info":{"verified":true,"size":1048576,"filesystem":"FAT32"})";
    const std::string library =
        R"({"version":1,"entries":[)" +
        entry_text("00000000-0000-4000-8000-000000000001", "/c/disk 10.zcx", info_ok) + "," +
        entry_text("00000000-0000-4000-8000-000000000002", "/c/disk 2.zcx",
                   R"(,"favorite":true,"lastError":"broken")") +
        "," +
        entry_text("00000000-0000-4000-8000-000000000003", "/c/Archive.zcx",
                   R"(,"info":{"recoveryRequired":true,"writeSessionRecovery":true})") +
        "," + entry_text("00000000-0000-4000-8000-000000000004", "/c/mounted.zcx", "") + "," +
        entry_text("00000000-0000-4000-8000-000000000005", "/c/plain.zcx", "") + "]}";
    {
        std::lock_guard lock(scripted().mutex);
        scripted().status =
            R"({"sessions":[{"id":"s1","path":"/c/mounted.zcx","phase":"mounted","writable":true},)"
            R"({"id":"s2","path":"/elsewhere/cli.zcx","phase":"mounted","writable":false,)"
            R"("info":{"size":5}}],"warnings":[],"serviceUpdateAvailable":true,)"
            R"("canRestartService":false})";
    }
    auto w = window(library);
    StartOptions options;
    options.import_check = false;
    w->start(options);
    // The poll brings the session mounted elsewhere into the library.
    ASSERT_FALSE(w->library().read_only);
    ASSERT_TRUE(wait_for([&]() { return library_size(&w->library()) == 6; }))
        << library_size(&w->library()) << " " << messages_.size();
    ASSERT_TRUE(wait_for([&]() { return w->shown_names().size() == 6; }));
    EXPECT_EQ(w->shown_names().join(u'|').toStdString(),
              "Archive.zcx|cli.zcx|disk 2.zcx ★|disk 10.zcx|mounted.zcx|plain.zcx");
    auto status = [&](const char *path) {
        return w->status_text(library_find_path(&w->library(), path)).toStdString();
    };
    EXPECT_EQ(status("/c/disk 10.zcx"), "Checked");
    EXPECT_EQ(status("/c/disk 2.zcx"), "Needs attention");
    EXPECT_EQ(status("/c/Archive.zcx"), "Recovery needed");
    EXPECT_EQ(status("/c/mounted.zcx"), "Mounted read-write");
    EXPECT_EQ(status("/elsewhere/cli.zcx"), "Mounted read-only");
    EXPECT_EQ(status("/c/plain.zcx"), "Not checked");
    EXPECT_EQ(w->service_status_text().toStdString(), "Mount service update available");

    w->set_filter(LibraryFilter::Favorites);
    ASSERT_TRUE(wait_for([&]() { return w->shown_names().size() == 1; }));
    EXPECT_EQ(w->windowTitle().toStdString(), "Tarnwick Pro — Favorites");
    w->set_filter(LibraryFilter::NeedsAttention);
    ASSERT_TRUE(wait_for([&]() { return w->shown_names().size() == 2; }));
    EXPECT_EQ(w->shown_names().join(u'|').toStdString(), "Archive.zcx|disk 2.zcx ★");
    w->set_filter(LibraryFilter::All);
    w->set_search(QStringLiteral("DISK"));
    ASSERT_TRUE(wait_for([&]() { return w->shown_names().size() == 2; }));

    // A failed poll keeps its message as the status bar's warning.
    {
        std::lock_guard lock(scripted().mutex);
        scripted().status.clear();
        scripted().service_error = "The mount service could not start.";
    }
    w->poll_sessions_now();
    ASSERT_TRUE(wait_for(
        [&]() { return w->service_status_text().toStdString() == "Mount service unavailable"; }));
}

TEST_F(WindowTest, ActionsFollowTheEntrysStateAndRecovery) {
    struct Case {
        const char *info;
        const char
            *allowed; // M C E P V R K: mount, check, export, password, convert, re-encrypt, repair
    };
    const Case cases[] = {
        {R"({"verified":true,"writeSupported":true})", "MCEPVRK"},
        {R"({"recoveryRequired":true,"writeSessionRecovery":true,"writeSupported":true})", "MK"},
        {R"({"recoveryRequired":true,"recoveryCopyAvailable":true})", "CEPVR"},
        {R"({"recoveryRequired":true})", ""},
        {R"({"verified":true,"writeSupported":false})", "MCEPVR"},
        {R"({"isCD":true})", "MCEPVR"},
        {R"({"plaintext":true,"verified":true,"writeSupported":true})", "MCEVK"},
    };
    const OperationKind kinds[] = {OperationKind::Mount,         OperationKind::CheckCredentials,
                                   OperationKind::Export,        OperationKind::ChangePassword,
                                   OperationKind::Convert,       OperationKind::Replace,
                                   OperationKind::CheckAndRepair};
    const char letters[] = "MCEPVRK";
    auto w = window();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.info);
        JsonValue *entry = json_parse_text(
            (R"({"id":"00000000-0000-4000-8000-000000000009","path":"/x.zcx","info":)" +
             std::string(c.info) + "}")
                .c_str());
        std::string allowed;
        for (int i = 0; i < 7; i++)
            if (w->entry_allows(entry, kinds[i]))
                allowed += letters[i];
        EXPECT_EQ(allowed, c.allowed);
        json_free(entry);
    }
}

TEST_F(WindowTest, ActivitiesAreLimitedOnePerEntryAndCancellable) {
    auto w = window();
    scripted().hold = true;
    std::vector<std::string> paths;
    for (int i = 0; i < 66; i++) {
        paths.push_back(home_ + "/c" + std::to_string(i) + ".zcx");
        write_text(paths.back(), "x");
    }
    // Each new entry is inspected; the 65th and 66th find no room, and the
    // user is told once.
    w->open_paths(paths);
    EXPECT_EQ(w->activity_count(), kActivityLimit);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "Too Many Operations|Wait for an operation to finish, then try again.");
    // One activity per entry: a second inspect of a busy entry is refused
    // silently.
    const JsonValue *busy = library_find_path(&w->library(), paths[0]);
    ASSERT_NE(w->activity_id_for_entry(entry_id(busy)), 0);
    w->select_entry(QString::fromUtf8(entry_id(busy)));
    EXPECT_FALSE(w->entry_allows(busy, OperationKind::Mount));
    w->refresh_now();
    EXPECT_EQ(w->activity_count(), kActivityLimit);
    EXPECT_EQ(messages_.size(), 1u);

    // Cancelling one ends it with the cancellation text; releasing the rest
    // stores their summaries.
    const int id = w->activity_id_for_entry(entry_id(busy));
    w->cancel_activity(id);
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == kActivityLimit - 1; }));
    ASSERT_FALSE(w->recent().empty());
    EXPECT_EQ(w->recent().front().message.toStdString(), "Operation cancelled");
    EXPECT_FALSE(w->recent().front().succeeded);
    scripted().hold = false;
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    const JsonValue *done = library_find_path(&w->library(), paths[1]);
    EXPECT_TRUE(entry_info_flag(done, "verified"));
    EXPECT_EQ(w->status_text(done).toStdString(), "Checked");
}

TEST_F(WindowTest, HandOffOpensPathsAndSignInAnswersOverTheSocket) {
    auto w = window();
    InstanceServer server;
    const std::string socket = home_ + "/runtime/hand-off-test";
    ASSERT_EQ(server.listen(socket), 0);
    QObject::connect(&server, &InstanceServer::handOff, w.get(), &MainWindow::handle_hand_off);
    write_text(home_ + "/one.zcx", "1");
    write_text(home_ + "/two.zcx", "2");

    struct Case {
        uint32_t identifier;
        QByteArray data;
        int expected;
    };
    const Case cases[] = {
        {kHandOffPaths, hand_off_encode_paths({home_ + "/one.zcx", home_ + "/two.zcx"}), 0},
        {kHandOffPaths, hand_off_encode_paths({}), 0},
        {kHandOffPaths, QByteArray("no terminator"), -EPROTO},
        {kHandOffPaths, QByteArray("\xff\xfe\0\0", 4), -EPROTO},
        {kHandOffSignIn, QByteArray(), 0},
        {0x12345678, QByteArray(), -EPROTO},
    };
    for (const Case &c : cases) {
        int rc = 1;
        std::thread sender([&]() { rc = hand_off_send(socket, c.identifier, c.data); });
        ASSERT_TRUE(wait_for([&]() { return rc != 1; }));
        sender.join();
        EXPECT_EQ(rc, c.expected) << c.data.toStdString();
    }
    ASSERT_TRUE(wait_for([&]() { return library_size(&w->library()) == 2; }));
    ASSERT_TRUE(wait_for([&]() {
        for (const std::string &call : scripted_calls())
            if (call == "login")
                return true;
        return false;
    }));
    // Nothing listens any more: the sender is told at once.
    EXPECT_EQ(hand_off_send(home_ + "/runtime/nobody", kHandOffPaths, hand_off_encode_paths({})),
              -ECONNREFUSED);
}

// The system key and cipher the dialog collected reach every kind of job.
TEST_F(WindowTest, OperationsUnlockWithTheGivenSystemKeyAndCipher) {
    write_text(home_ + "/legacy.zcx", "x");
    auto w = window();
    w->open_paths({home_ + "/legacy.zcx"});
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    const std::string id = entry_id(json_first(library_entries(&w->library())));
    const std::string key = "0123456789abCD";
    struct Case {
        OperationKind kind;
        const char *call;
    } cases[] = {{OperationKind::Mount, "mount"},
                 {OperationKind::CheckAndRepair, "repair"},
                 {OperationKind::CheckCredentials, "verify"},
                 {OperationKind::Export, "export"}};
    for (const Case &c : cases) {
        {
            std::lock_guard lock(scripted().mutex);
            scripted().unlocking.clear();
        }
        auto input = std::make_shared<OperationInput>();
        input->system_key.assign(key.data(), key.size());
        input->unlock_cipher = 8;
        input->output = home_ + "/out.img";
        ASSERT_GT(w->start_operation(library_find_id(&w->library(), id), c.kind, input), 0)
            << c.call;
        ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
        // The job first; an inspect of the entry may follow it.
        std::lock_guard lock(scripted().mutex);
        ASSERT_FALSE(scripted().unlocking.empty()) << c.call;
        EXPECT_EQ(std::string(c.call) + " " + key + " 8", scripted().unlocking.front());
    }
}

TEST_F(WindowTest, CheckAndRepairShowsTheVerdictAndTheOutputsLastLines) {
    write_text(home_ + "/x.zcx", "x");
    auto w = window();
    w->open_paths({home_ + "/x.zcx"});
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    std::string output = "\\n\\n";
    for (int i = 1; i <= 40; i++)
        output += "line " + std::to_string(i) + "\\n";
    struct Case {
        std::string report;
        std::string message;
        const char *recent;
    };
    const Case cases[] = {
        {R"({"filesystem":"FAT32","repairStatus":1,"repairClean":true,"repairOutput":")" + output +
             R"("})",
         "Check and Repair Filesystem|fsck found no problems left on this volume. Write access is "
         "available again.\nFAT32, fsck 1\n\nline 28\nline 29\nline 30\nline 31\nline 32\nline "
         "33\nline 34\nline 35\nline 36\nline 37\nline 38\nline 39\nline 40",
         "Filesystem checked: no problems left"},
        {R"({"repairStatus":4,"repairClean":true,"markerError":"The marker stays.",)"
         R"("repairOutput":"done"})",
         "Check and Repair Filesystem|fsck found no problems left on this volume.\n?, fsck "
         "4\n\nThe marker stays.\n\ndone",
         "Filesystem checked: no problems left"},
        {R"({"filesystem":"exFAT","repairStatus":4,"repairClean":false,"repairOutput":"bad"})",
         "Check and Repair Filesystem|fsck could not fix every problem. Copy your files off with a "
         "read-only mount, then create a new container.\nexFAT, fsck 4\n\nbad",
         "Filesystem check found problems it could not fix"},
    };
    for (const Case &c : cases) {
        {
            std::lock_guard lock(scripted().mutex);
            scripted().repair_report = c.report;
        }
        messages_.clear();
        const JsonValue *entry = json_first(library_entries(&w->library()));
        auto input = std::make_shared<OperationInput>();
        ASSERT_GT(w->start_operation(entry, OperationKind::CheckAndRepair, input), 0);
        ASSERT_TRUE(wait_for([&]() { return !messages_.empty(); }));
        EXPECT_EQ(messages_[0], c.message);
        EXPECT_EQ(w->recent().front().message.toStdString(), c.recent);
        // The entry is inspected again afterwards.
        ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    }
}

TEST_F(WindowTest, DroppedFilesAreOpened) {
    write_text(home_ + "/dropped one.zcx", "1");
    write_text(home_ + "/dropped two.zcx", "2");
    auto w = window();
    EXPECT_TRUE(w->can_create());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(home_ + "/dropped one.zcx")),
                  QUrl::fromLocalFile(QString::fromStdString(home_ + "/dropped two.zcx")),
                  QUrl(QStringLiteral("https://example.com/remote.zcx"))});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    // Straight to the window: the application routes drops only to the
    // target of a running drag, and no drag runs here.
    static_cast<QObject *>(w.get())->event(&drop);
    EXPECT_EQ(library_size(&w->library()), 2u);
    EXPECT_NE(library_find_path(&w->library(), home_ + "/dropped two.zcx"), nullptr);
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
}

TEST_F(WindowTest, ResultsUpdateTheLibraryAndTellTheUser) {
    write_text(home_ + "/orig.zcx", "o");
    write_text(home_ + "/orig.zcx.backup", "b");
    write_text(home_ + "/copy.zcx", "c");
    auto w = window();
    w->open_paths({home_ + "/orig.zcx"});
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    const std::string id = entry_id(json_first(library_entries(&w->library())));
    auto run = [&](OperationKind kind, const std::string &summary, const std::string &output) {
        {
            std::lock_guard lock(scripted().mutex);
            scripted().summary = summary;
            scripted().engine_error = "The password is incorrect.";
        }
        messages_.clear();
        auto input = std::make_shared<OperationInput>();
        input->output = output;
        EXPECT_GT(w->start_operation(library_find_id(&w->library(), id), kind, input), 0);
        EXPECT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    };
    const std::string verified = R"({"verified":true,"size":4096,"filesystem":"FAT32"})";

    // A failed check keeps the message as the entry's last error.
    run(OperationKind::CheckCredentials, "", "");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "Operation Could Not Finish|The password is incorrect.");
    EXPECT_STREQ(json_get_string(library_find_id(&w->library(), id), "lastError", ""),
                 "The password is incorrect.");
    // A successful one stores the summary, the time and clears the error.
    run(OperationKind::CheckCredentials, verified, "");
    const JsonValue *entry = library_find_id(&w->library(), id);
    EXPECT_FALSE(json_has(entry, "lastError", JsonKind::String));
    EXPECT_GT(json_get_int(entry, "lastChecked", 0), 0);
    EXPECT_EQ(w->recent().front().message.toStdString(), "Credentials and structure checked");

    // A failed convert says the original is kept; a successful one adds the
    // copy with its summary and leaves the original's summary alone.
    run(OperationKind::Convert, "", home_ + "/copy.zcx");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              "Operation Could Not Finish|The password is incorrect.\n\nOriginal kept. If a new "
              "file exists, verify it before using it. Restart from the original after an "
              "interruption; do not rename or use a .partial file.");
    run(OperationKind::Convert, R"({"verified":true,"size":8192})", home_ + "/copy.zcx");
    const JsonValue *copy = library_find_path(&w->library(), home_ + "/copy.zcx");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(json_get_int(entry_info(copy), "size", 0), 8192);
    EXPECT_EQ(json_get_int(entry_info(library_find_id(&w->library(), id)), "size", 0), 4096);

    // A replacement adds the backup it names.
    run(OperationKind::Replace,
        R"({"verified":true,"backupPath":")" + home_ + R"(/orig.zcx.backup"})", "");
    EXPECT_EQ(w->recent().front().message.toStdString(),
              "Replacement verified. Original backup kept.");
    EXPECT_NE(library_find_path(&w->library(), home_ + "/orig.zcx.backup"), nullptr);
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));

    // Every change reached the file.
    Library saved;
    ASSERT_EQ(library_load(&saved, home_ + "/library.json"), 0);
    EXPECT_EQ(library_size(&saved), 3u);
}

TEST_F(WindowTest, WithoutATrayClosingQuitsUnlessSomethingIsMounted) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has none
    auto w = window();
    StartOptions options;
    options.import_check = false;
    {
        std::lock_guard lock(scripted().mutex);
        scripted().status = R"({"sessions":[{"id":"s1","path":"/m.zcx","phase":"mounted"}],)"
                            R"("warnings":[]})";
    }
    w->start(options);
    ASSERT_TRUE(wait_for([&]() { return json_first(w->sessions()) != nullptr; }));
    w->close();
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->windowState() & Qt::WindowMinimized);

    {
        std::lock_guard lock(scripted().mutex);
        scripted().status = R"({"sessions":[],"warnings":[]})";
    }
    w->poll_sessions_now();
    ASSERT_TRUE(wait_for([&]() { return json_first(w->sessions()) == nullptr; }));
    w->showNormal();
    w->close();
    EXPECT_FALSE(w->isVisible());
}

TEST_F(WindowTest, QuittingWithARunningOperationCancelsItAndQuitsWhenItEnds) {
    write_text(home_ + "/busy.zcx", "b");
    auto w = window();
    w->show();
    scripted().hold = true;
    w->open_paths({home_ + "/busy.zcx"}); // its inspect keeps running
    ASSERT_EQ(w->activity_count(), 1u);
    // The question is answered as a person would: "Cancel and Quit".
    QString asked;
    QTimer::singleShot(50, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        asked = box->text() + u'|' + box->informativeText();
        for (QAbstractButton *button : box->buttons())
            if (button->text() == u"Cancel and Quit")
                button->click();
    });
    w->request_quit();
    EXPECT_EQ(asked.toStdString(), "An Operation Is Still Running|Wait for it to finish, or cancel "
                                   "the operation and quit.");
    // The cancelled inspect ends, and then the window goes.
    ASSERT_TRUE(wait_for([&]() { return w->activity_count() == 0; }));
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(w->can_create());
}

TEST_F(WindowTest, SignInStartIsHiddenAndReportsContainersThatNeedAttention) {
    {
        std::lock_guard lock(scripted().mutex);
        scripted().status = R"({"sessions":[],"warnings":["a.zcx: No password is saved for this )"
                            R"(container."],"serviceUpdateAvailable":false})";
    }
    auto w = window();
    StartOptions options;
    options.login = true;
    options.import_check = false;
    w->start(options);
    EXPECT_FALSE(w->isVisible());
    ASSERT_TRUE(wait_for([&]() { return !messages_.empty(); }));
    EXPECT_EQ(messages_[0],
              "Some Containers Need Attention|a.zcx: No password is saved for this container.");
    EXPECT_EQ(w->service_status_text().toStdString(), "Mount service unavailable");
    const std::vector<std::string> calls = scripted_calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "login"), calls.end());
}

TEST(HandOffData, DecodingStopsAtTheLimitAndNeverReadsBeyondTheData) {
    std::vector<std::string> many;
    for (int i = 0; i < 70; i++)
        many.push_back("/p" + std::to_string(i));
    std::vector<std::string> decoded;
    ASSERT_TRUE(hand_off_decode_paths(hand_off_encode_paths(many), &decoded));
    EXPECT_EQ(decoded.size(), kHandOffPathLimit);
    EXPECT_EQ(decoded.back(), "/p63");
    ASSERT_TRUE(hand_off_decode_paths(QByteArray("/a\0/b", 6), &decoded)); // ends in NUL
    EXPECT_EQ(decoded, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_FALSE(hand_off_decode_paths(QByteArray(), &decoded));
    EXPECT_FALSE(hand_off_decode_paths(QByteArray("/a\0/b", 5), &decoded));
}

} // namespace
} // namespace tw
