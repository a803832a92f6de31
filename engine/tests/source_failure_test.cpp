// Which failures of a re-encoding are the source's: a busy result of the
// copy writer is the source's only while another program holds the source;
// otherwise it stays the destination's.
#include "container/container.h"
#include "container/files/file_access.h"
#include "engine/reencode.h"
#include "engine/source.h"
#include "platform/files.h"
#include "support/containers.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// The engine's event line written while `body` runs.
template <typename Body>
std::string stdout_of(Body body) {
    int pipe_fds[2];
    EXPECT_EQ(0, pipe(pipe_fds));
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(pipe_fds[1], STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(pipe_fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(pipe_fds[0]);
    return out;
}

TEST(ReencodeSourceFailure, BusyIsTheSourcesOnlyWhileSomebodyElseHoldsIt) {
    char tmpl[] = "/tmp/tw-source-failure-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string file = dir + "/c.zcx";
    tw::test::write_bytes(file,
                          tw::test::make_salted_container(std::vector<uint8_t>(1 << 20), "pw"));
    tw::PreparedSource src;
    src.path = file;
    ASSERT_EQ(0, tw::container_open(file.c_str(), tw::kContainerOpenRead, &src.container));

    int result = 0;
    // Nobody else: the busy result is about the destination.
    std::string out = stdout_of([&] { result = tw::reencode_source_failure(src, -EBUSY); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "");
    // Another reader holds the source.
    int reader = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(0, tw::file_lock(reader, false));
    out = stdout_of([&] { result = tw::reencode_source_failure(src, -EBUSY); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, R"({"event":"error","code":"busy","message":"The container is in use by a )"
                   R"(mount or another operation.","version":1})"
                   "\n");
    // Other results are never the source's without damage.
    out = stdout_of([&] { result = tw::reencode_source_failure(src, -EEXIST); });
    EXPECT_EQ(result, -1);
    close(reader);
    tw::source_release(&src);
    EXPECT_EQ(0, std::system(("rm -rf '" + dir + "'").c_str()));
}

} // namespace
