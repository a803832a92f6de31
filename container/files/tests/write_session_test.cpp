#include "container/files/write_session.h"

#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

TEST(WriteSession, MarkersAndUndecidableStates) {
    char tmpl[] = "/tmp/tw-write-session-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string container = dir + "/disk.zcx";
    const std::string marker = container + ".openzcx-write-session";

    struct Case {
        const char *what;
        std::function<void(int fd)> arrange;
        bool found;
    } cases[] = {
        {"no marker", [](int) {}, false},
        {"marker file",
         [&](int) { close(open(marker.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)); }, true},
        {"dangling link as marker",
         [&](int) { ASSERT_EQ(0, symlink("/nonexistent", marker.c_str())); }, true},
        {"marker attribute",
         [](int fd) { ASSERT_EQ(0, fsetxattr(fd, "user.com.tarnwick.write-session", "", 0, 0)); },
         true},
        {"unrelated attribute",
         [](int fd) { ASSERT_EQ(0, fsetxattr(fd, "user.com.tarnwick.other", "x", 1, 0)); }, false},
        {"attribute of a similar name",
         [](int fd) { ASSERT_EQ(0, fsetxattr(fd, "user.com.tarnwick.write-session2", "", 0, 0)); },
         false},
    };
    for (const Case &c : cases) {
        int fd = open(container.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        c.arrange(fd);
        EXPECT_EQ(tw::write_session_marker_found(container.c_str(), fd), c.found) << c.what;
        close(fd);
        unlink(marker.c_str());
        unlink(container.c_str());
    }

    // A marker path that cannot be checked (its name is too long for the
    // filesystem) cannot be ruled out.
    std::string long_name = dir + "/" + std::string(250, 'c');
    int fd = open(long_name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(tw::write_session_marker_found(long_name.c_str(), fd));
    close(fd);

    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, std::system(cmd.c_str()));
}

} // namespace
