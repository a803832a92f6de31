// Launch at Login: the autostart entry's exact text, the enabled check and
// turning it on and off.
#include "gui/autostart.h"
#include "gui/tests/support/qt_environment.h"

#include <QFile>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tw {
namespace {

TEST(Autostart, ExecLineQuotesTheProgramAsDesktopEntriesRequire) {
    struct Case {
        const char *program;
        const char *exec; // the Exec line as written in the file
    };
    const Case cases[] = {
        {"/usr/lib/tarnwick/tarnwick-gui", R"(Exec="/usr/lib/tarnwick/tarnwick-gui" --login)"},
        {"/opt/My Apps/tarnwick-gui", R"(Exec="/opt/My Apps/tarnwick-gui" --login)"},
        {"/opt/a\"b$c`d/x", R"(Exec="/opt/a\\"b\\$c\\`d/x" --login)"},
        {"/opt/back\\slash/x", R"(Exec="/opt/back\\\\slash/x" --login)"},
        {"/opt/100%/x", R"(Exec="/opt/100%%/x" --login)"},
    };
    for (const Case &c : cases) {
        const std::string text = autostart_text(c.program);
        EXPECT_NE(text.find(std::string("\n") + c.exec + "\n"), std::string::npos)
            << c.program << "\n"
            << text;
        EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    }
    EXPECT_EQ(autostart_text("/opt/line\nbreak"), "");
}

TEST(Autostart, EnabledOnlyWhenTheFileHoldsExactlyThisProgramsEntry) {
    gui_test_reset_home();
    const std::string path = autostart_file_path();
    EXPECT_EQ(path, gui_test_home().toStdString() + "/config/autostart/tarnwick.desktop");
    const std::string program = "/usr/lib/tarnwick/tarnwick-gui";
    EXPECT_FALSE(autostart_enabled(program));
    // Removing what is not there succeeds.
    EXPECT_EQ(autostart_set(program, false), 0);

    ASSERT_EQ(autostart_set(program, true), 0);
    EXPECT_TRUE(autostart_enabled(program));
    EXPECT_FALSE(autostart_enabled("/elsewhere/tarnwick-gui"));
    // Any other text (an edited entry) does not count.
    std::ofstream(path, std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(autostart_enabled(program));

    ASSERT_EQ(autostart_set(program, false), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path)));

    // A folder where the file belongs cannot be replaced: the failure is EIO.
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(autostart_set(program, true), -EIO);
    EXPECT_EQ(autostart_set(program, false), -EIO);
}

} // namespace
} // namespace tw
