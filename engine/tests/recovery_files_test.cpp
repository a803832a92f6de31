#include "engine/recovery_files.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using tw::RecoveryFiles;

TEST(RecoveryFiles, LeftoversNextToAContainer) {
    char tmpl[] = "/tmp/tw-recovery-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto touch = [&](const std::string &name) {
        close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    };
    struct Case {
        const char *container;
        const char *sibling; // created next to it, or null
        RecoveryFiles expected;
    } cases[] = {
        {"disk.zcx", nullptr, RecoveryFiles::none},
        {"disk.zcx", "disk.zcx.openzcx-journal", RecoveryFiles::found},
        {"disk.zcx", "disk.zcx.idx", RecoveryFiles::found},
        {"disk.zcx", "disk.zcx.openzcx-journal-x", RecoveryFiles::none},
        {"disk.zcx", "other.zcx.openzcx-journal", RecoveryFiles::none},
        // The container is itself a partial output of the copy writer.
        {".openzcx-rekey-disk.zcx.0123456789ab.partial", nullptr, RecoveryFiles::found},
        {".openzcx-rekey-.partial", nullptr, RecoveryFiles::found},
        {".openzcx-rekey-disk.zcx", nullptr, RecoveryFiles::none},
        {"x.openzcx-rekey-disk.partial", nullptr, RecoveryFiles::none},
    };
    for (const Case &c : cases) {
        if (c.sibling)
            touch(c.sibling);
        EXPECT_EQ(tw::recovery_files_check((dir + "/" + c.container).c_str()), c.expected)
            << c.container << " + " << (c.sibling ? c.sibling : "nothing");
        if (c.sibling)
            unlink((dir + "/" + c.sibling).c_str());
    }
    // A container name so long that no sidecar name fits the filesystem: no
    // leftover can exist.
    std::string long_name = dir + "/" + std::string(250, 'c');
    EXPECT_EQ(tw::recovery_files_check(long_name.c_str()), RecoveryFiles::none);
    // A path too long to look at: presence cannot be ruled out.
    std::string long_path = dir;
    while (long_path.size() < 4200)
        long_path += "/.";
    long_path += "/c.zcx";
    EXPECT_EQ(tw::recovery_files_check(long_path.c_str()), RecoveryFiles::check_failed);
    // A journal that is a dangling link still counts.
    ASSERT_EQ(0, symlink("/nonexistent", (dir + "/d.zcx.openzcx-journal").c_str()));
    EXPECT_EQ(tw::recovery_files_check((dir + "/d.zcx").c_str()), RecoveryFiles::found);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, std::system(cmd.c_str()));
}

} // namespace
