// tarnwick running real container operations through the real engine.
#include "support/cli_runner.h"

#include "container/tests/support/tool_images.h"
#include "engine/tests/support/veracrypt_writer.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace tw::test;

bool sh(const Sandbox &box, const std::string &command) {
    std::string full = "cd '" + box.dir() + "' && (" + command + ") >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

std::string listing(const Sandbox &box) {
    std::string names;
    DIR *d = opendir(box.dir().c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names += name + "\n";
    }
    if (d)
        closedir(d);
    return names;
}

TEST(RealOperations, WrongPasswordExitsTwoAndTheRightOneVerifies) {
    Sandbox box;
    box.real_engine();
    ASSERT_TRUE(sh(box, "truncate -s 40M plain.img && mkfs.vfat -F 32 plain.img"));
    CliRun run = run_cli(
        box,
        CliOptions{box.in_sandbox({"convert", "@/plain.img", "@/c.zcx", "--credentials-stdin"}),
                   R"({"password":"","newPassword":"right","confirmation":"right"})"});
    ASSERT_EQ(run.exit_code, 0) << run.err;

    struct Case {
        const char *password;
        int exit_code;
        const char *err;
    } cases[] = {
        {"wrong", 2, "Credentials could not be checked.\n"},
        {"right", 0, ""},
    };
    for (const Case &c : cases) {
        CliRun v =
            run_cli(box, CliOptions{box.in_sandbox({"verify", "@/c.zcx", "--password-stdin"}),
                                    std::string(c.password) + "\n"});
        EXPECT_EQ(v.exit_code, c.exit_code) << c.password << v.err;
        EXPECT_EQ(v.err, c.err) << c.password;
    }

    // The full check reads every block; --full belongs to verify alone.
    CliRun full =
        run_cli(box, CliOptions{box.in_sandbox({"verify", "@/c.zcx", "--full", "--password-stdin"}),
                                "right\n"});
    EXPECT_EQ(full.exit_code, 0) << full.err;
    EXPECT_NE(full.out.find("Full check: every block was read and is intact\n"), std::string::npos)
        << full.out;
    CliRun misplaced = run_cli(box, CliOptions{box.in_sandbox({"info", "@/c.zcx", "--full"})});
    EXPECT_EQ(misplaced.exit_code, 1);
    EXPECT_NE(misplaced.err.find("Use --full only with verify."), std::string::npos)
        << misplaced.err;
}

// A long conversion interrupted: by Ctrl+C, where the engine is cancelled
// through its event, or by killing the front-end outright, where the engine
// notices its parent is gone and cancels by itself. Either way the original
// stays as it was and no output or partial file is left.
TEST(RealOperations, InterruptedConvertLeavesTheOriginalAndNoOutput) {
    Sandbox box;
    box.real_engine();
    ASSERT_TRUE(sh(box, "truncate -s 256M plain.img && mkfs.vfat -F 32 plain.img && dd "
                        "if=/dev/urandom of=plain.img bs=1M seek=16 count=240 conv=notrunc && "
                        "sha256sum plain.img > plain.sum"));
    const std::string before = listing(box);
    for (int signal : {SIGINT, SIGKILL}) {
        SCOPED_TRACE(signal == SIGINT ? "Ctrl+C" : "front-end killed");
        bool interrupted = false;
        CliOptions options{{"convert", "@/plain.img", "@/out.zcx", "--credentials-stdin"},
                           R"({"password":"","newPassword":"pw","confirmation":"pw"})"};
        options.args = box.in_sandbox(options.args);
        options.while_running = [&](pid_t pid) {
            // Wait until the copy is being written, then interrupt.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (std::chrono::steady_clock::now() < deadline) {
                if (listing(box).find(".partial") != std::string::npos) {
                    interrupted = kill(pid, signal) == 0;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        };
        CliRun run = run_cli(box, options);
        ASSERT_TRUE(interrupted) << run.err;
        if (signal == SIGINT) {
            EXPECT_EQ(run.exit_code, 1) << run.err;
        }
        // A killed front-end does not wait: the engine cleans up on its own.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (listing(box) != before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(listing(box), before) << "something was left behind";
        EXPECT_TRUE(sh(box, "sha256sum -c --status plain.sum")) << "the original changed";
    }
}

// A VeraCrypt volume (of the test-only writer, checked by cryptsetup in the
// engine's tests) imported by tarnwick; a wrong password exits with 2.
TEST(RealOperations, ImportVeracryptSavesAVerifiedContainer) {
    Sandbox box;
    box.real_engine();
    const std::vector<uint8_t> &image = ToolImages::get().image("fat32");
    VeraCryptSettings settings;
    settings.password = "vera";
    ASSERT_TRUE(write_veracrypt_volume(box.dir() + "/v.hc", image, settings));
    ASSERT_TRUE(sh(box, "sha256sum v.hc > v.sum"));

    CliRun wrong = run_cli(
        box,
        CliOptions{box.in_sandbox({"import-veracrypt", "@/v.hc", "@/n.zcx", "--credentials-stdin"}),
                   R"({"password":"wrong","newPassword":"new","confirmation":"new"})"});
    EXPECT_EQ(wrong.exit_code, 2) << wrong.err;
    EXPECT_NE(wrong.err.find("The VeraCrypt header could not be unlocked. Check the password."),
              std::string::npos)
        << wrong.err;
    EXPECT_FALSE(sh(box, "test -e n.zcx"));

    CliRun run = run_cli(
        box,
        CliOptions{box.in_sandbox({"import-veracrypt", "@/v.hc", "@/n.zcx", "--credentials-stdin"}),
                   R"({"password":"vera","newPassword":"new","confirmation":"new"})"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("Cipher: AES-256-XTS\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("VeraCrypt volume imported and verified: " + box.dir() +
                           "/n.zcx\nKeep the source until you have checked your files: " +
                           box.dir() + "/v.hc\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(sh(box, "sha256sum -c --status v.sum")) << "the VeraCrypt file changed";
}

} // namespace
