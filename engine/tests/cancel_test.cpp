// Cancellation through the parent watch: an engine whose parent ends stops
// at its next progress report with the "cancelled" event and exit code 1.
#include "engine/engine.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(EngineCancellation, ParentExitCancelsAtTheNextProgressReport) {
    char dir_template[] = "/tmp/tw-cancel-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    // Orphans are handed to this process, so the engine's exit code can be
    // collected after its parent is gone.
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));

    int out[2], ready[2], engine_pid_pipe[2];
    ASSERT_EQ(0, pipe(out));
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(engine_pid_pipe));

    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        pid_t engine = fork();
        if (engine == 0) {
            setenv("XDG_RUNTIME_DIR", dir_template, 1);
            dup2(out[1], STDOUT_FILENO);
            tw::EngineContext ctx;
            ctx.progress.mode = tw::ProgressMode::Copy;
            if (tw::engine_start_cancellation(&ctx) != 0)
                _exit(10);
            char byte = 1;
            if (write(ready[1], &byte, 1) != 1)
                _exit(11);
            // Report progress until the watch notices the parent is gone.
            for (int i = 0; i < 2000; ++i) {
                tw::engine_progress(&ctx, "reencoding", static_cast<uint64_t>(i), 2000);
                usleep(5000);
            }
            _exit(12);
        }
        pid_t engine_pid = engine;
        if (write(engine_pid_pipe[1], &engine_pid, sizeof engine_pid) != sizeof engine_pid)
            _exit(2);
        char byte;
        if (read(ready[0], &byte, 1) != 1)
            _exit(3);
        _exit(0); // the parent ends while the engine works
    }
    close(out[1]);
    close(ready[1]);
    close(engine_pid_pipe[1]);
    pid_t engine = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof engine),
              read(engine_pid_pipe[0], &engine, sizeof engine));
    int status = 0;
    ASSERT_EQ(parent, waitpid(parent, &status, 0));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string output;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        output.append(buf, static_cast<size_t>(n));
    ASSERT_EQ(engine, waitpid(engine, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;

    std::string last = output.substr(output.rfind('{'));
    EXPECT_EQ(last, R"({"event":"error","code":"cancelled","message":"Operation cancelled. )"
                    R"(Original kept. If a new file exists, verify it before using it.",)"
                    R"("version":1})"
                    "\n");
    // Everything before it is progress, within the reencoding half.
    EXPECT_EQ(output.find(R"("event":"result")"), std::string::npos);
    std::string cleanup = std::string("rm -rf '") + dir_template + "'";
    EXPECT_EQ(0, std::system(cleanup.c_str()));
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
