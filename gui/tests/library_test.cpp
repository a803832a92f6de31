// The library file: what is loaded, what is refused and left alone, how
// paths become entries, and what a failed save tells the user.
#include "gui/library.h"
#include "gui/main_window.h"
#include "gui/tests/support/qt_environment.h"
#include "gui/tests/support/scripted_backend.h"
#include "runtime/text.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {
namespace {

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gui_test_reset_home();
        home_ = gui_test_home().toStdString();
        library_path_ = home_ + "/library.json";
        write_text(home_ + "/a.zcx", "container a");
        write_text(home_ + "/b.zcx", "container b");
    }
    // A window over the library file that records its messages.
    std::unique_ptr<MainWindow> window() {
        auto w = std::make_unique<MainWindow>(nullptr, library_path_, scripted_backend());
        w->set_message_sink([this](const QString &title, const QString &text) {
            messages_.push_back((title + u'|' + text).toStdString());
        });
        w->set_open_sink([](const QString &) {});
        return w;
    }
    void settle() {
        for (int i = 0; i < 20; i++)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    std::string home_;
    std::string library_path_;
    std::vector<std::string> messages_;
};

TEST_F(LibraryTest, DamagedOrNewerFilesMakeTheLibraryReadOnlyAndStayUnchanged) {
    struct Case {
        const char *text;
        const char *reason;
    };
    const Case cases[] = {
        {"{not json", "The library file could not be read."},
        {"[]", "The library file could not be read."},
        {R"({"version":1,"entries":{}})", "The library file could not be read."},
        {R"({"entries":[]})", "The library file could not be read."},
        {R"({"version":"1","entries":[]})", "The library file could not be read."},
        {R"({"version":2,"entries":[{"id":"X","path":"/x"}],"future":true})",
         "This library needs a newer Tarnwick version."},
        {R"({"version":1.5,"entries":[]})", "This library needs a newer Tarnwick version."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        write_text(library_path_, c.text);
        messages_.clear();
        {
            auto w = window();
            StartOptions options;
            options.import_check = false;
            options.paths = {home_ + "/a.zcx"};
            w->set_poll_may_start(false);
            w->start(options);
            settle();
            EXPECT_TRUE(w->library().read_only);
            EXPECT_EQ(library_size(&w->library()), 0u);
            EXPECT_FALSE(w->entry_allows(nullptr, OperationKind::Mount));
            EXPECT_FALSE(w->can_create());
            w->hide();
        }
        EXPECT_EQ(read_text(library_path_), c.text);
        ASSERT_EQ(messages_.size(), 1u);
        EXPECT_EQ(messages_[0], std::string("Library Could Not Be Opened|") + c.reason +
                                    "\n\nYour library file has been left unchanged.");
    }
}

TEST_F(LibraryTest, MissingFileIsAnEmptyWritableLibraryAndUnknownMembersSurvive) {
    Library library;
    ASSERT_EQ(library_load(&library, library_path_), 0);
    EXPECT_FALSE(library.read_only);
    EXPECT_EQ(library_size(&library), 0u);

    write_text(library_path_,
               R"({"version":1,"entries":[{"id":"0D4C6F2E-9B1A-4C55-8E7A-1F0B6D2C3A41",)"
               R"("path":")" +
                   home_ +
                   R"(/a.zcx","favorite":false,"later":{"x":1}}],)"
                   R"("extra":"kept"})");
    ASSERT_EQ(library_load(&library, library_path_), 0);
    JsonValue *entry = nullptr;
    bool added = true;
    ASSERT_EQ(library_open_path(&library, home_ + "/b.zcx", &entry, &added), 0);
    EXPECT_TRUE(added);
    ASSERT_EQ(library_save(&library), 0);
    const std::string saved = read_text(library_path_);
    EXPECT_NE(saved.find(R"("extra":"kept")"), std::string::npos);
    EXPECT_NE(saved.find(R"("later":{"x":1})"), std::string::npos);
    // The id of a new entry is an upper-case UUID.
    const std::string id = entry_id(entry);
    EXPECT_TRUE(uuid_is_valid(id.c_str()));
    EXPECT_EQ(QString::fromStdString(id).toUpper().toStdString(), id);
}

TEST_F(LibraryTest, TheSameFileThroughAnotherSpellingSelectsTheExistingEntry) {
    ASSERT_EQ(symlink((home_ + "/a.zcx").c_str(), (home_ + "/link.zcx").c_str()), 0);
    ASSERT_EQ(mkdir((home_ + "/sub").c_str(), 0700), 0);
    auto w = window();
    w->set_poll_may_start(false);
    w->open_paths({home_ + "/a.zcx"});
    ASSERT_EQ(library_size(&w->library()), 1u);
    JsonValue *first = json_first(library_entries(&w->library()));
    const std::string id = entry_id(first);
    json_set_int(first, "lastOpened", 5);
    for (const std::string &other :
         {home_ + "/link.zcx", home_ + "//sub/../a.zcx", home_ + "/./a.zcx"}) {
        SCOPED_TRACE(other);
        w->select_entry(QString());
        w->open_paths({other});
        EXPECT_EQ(library_size(&w->library()), 1u);
        ASSERT_NE(w->selected_entry(), nullptr);
        EXPECT_EQ(entry_id(w->selected_entry()), id);
        EXPECT_GT(json_get_int(first, "lastOpened", 0), 5);
    }
    // Another file, a folder and letter case: letter case is another file on Linux.
    w->open_paths({home_ + "/sub", home_ + "/b.zcx", home_ + "/A.zcx"});
    EXPECT_EQ(library_size(&w->library()), 3u);
    EXPECT_EQ(library_find_path(&w->library(), home_ + "/sub"), nullptr);
    // Every change was saved at once.
    Library saved;
    ASSERT_EQ(library_load(&saved, library_path_), 0);
    EXPECT_EQ(library_size(&saved), 3u);
    settle();
}

TEST_F(LibraryTest, AFailedSaveShowsItsMessage) {
    // The library's folder is replaced by a regular file after loading, so
    // nothing can be written there.
    ASSERT_EQ(mkdir((home_ + "/root").c_str(), 0700), 0);
    library_path_ = home_ + "/root/library.json";
    auto w = window();
    ASSERT_FALSE(w->library().read_only);
    ASSERT_EQ(rmdir((home_ + "/root").c_str()), 0);
    write_text(home_ + "/root", "");
    w->set_poll_may_start(false);
    w->open_paths({home_ + "/a.zcx"});
    ASSERT_FALSE(messages_.empty());
    EXPECT_EQ(messages_[0].rfind("Library Could Not Be Saved|", 0), 0u) << messages_[0];
    EXPECT_GT(messages_[0].size(), std::string("Library Could Not Be Saved|").size());
    settle();
}

} // namespace
} // namespace tw
