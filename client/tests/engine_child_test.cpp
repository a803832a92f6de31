// The engine side of the client library called directly, as the GUI calls
// it. The library finds its engine only beside its own executable, so each
// case copies this test program into a private folder next to an engine and
// runs the copy in child mode (TW_CLIENT_CHILD names what it does there),
// reading back what it printed.
#include "client/client.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// ---- Child mode ----

void print_outcome(const tw::ClientOutcome &out) {
    if (out.succeeded()) {
        char *text = tw::json_serialize(out.result);
        std::printf("result %s\n", text != nullptr ? text : "?");
        tw::json_free_text(text);
    } else {
        std::printf("error %s|%s\n", out.code.c_str(), out.message.c_str());
    }
}

void on_progress(void *user, const char *phase, double fraction) {
    auto *seen = static_cast<std::atomic<int> *>(user);
    std::printf("progress %s %.3f\n", phase != nullptr ? phase : "-", fraction);
    std::fflush(stdout);
    seen->fetch_add(1);
}

// The elevation of "image" in child mode: prints what it would run as root
// and answers as TW_CLIENT_ELEVATION says.
int print_elevation(std::span<const std::string> args) {
    std::printf("elevated");
    for (const std::string &a : args)
        std::printf(" %s", a.c_str());
    std::printf("\n");
    const char *answer = std::getenv("TW_CLIENT_ELEVATION");
    if (answer != nullptr && std::strcmp(answer, "declined") == 0)
        return -ECANCELED;
    if (answer != nullptr && std::strcmp(answer, "failed") == 0)
        return 1;
    return 0;
}

// Runs the engine with the arguments after "--" on this program's command
// line; "cancel" cancels from a second thread once progress has arrived.
int child_main(const char *mode, const std::vector<std::string> &args) {
    tw::EngineRunContext ctx;
    std::atomic<int> progress_seen{0};
    ctx.progress = on_progress;
    ctx.progress_user = &progress_seen;
    tw::ClientOutcome out;
    if (std::strcmp(mode, "creation-options") == 0) {
        tw::engine_creation_options(&ctx, &out);
    } else if (std::strcmp(mode, "image") == 0) {
        // args: device, identity, output, algorithm, new password, confirmation
        tw::engine_set_elevation_for_testing(print_elevation);
        tw::ImageOperation op;
        op.device = args.at(0);
        op.identity = std::stoull(args.at(1));
        op.output = args.at(2);
        op.algorithm = static_cast<uint32_t>(std::stoul(args.at(3)));
        op.compression = {true, "fast", 16384};
        op.new_password = {reinterpret_cast<const uint8_t *>(args.at(4).data()), args[4].size()};
        op.confirmation = {reinterpret_cast<const uint8_t *>(args.at(5).data()), args[5].size()};
        tw::engine_image(&ctx, op, &out);
    } else if (std::strcmp(mode, "run") == 0) {
        tw::engine_run(&ctx, args, {}, &out);
    } else if (std::strcmp(mode, "cancel") == 0) {
        std::thread canceller([&] {
            while (progress_seen.load() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::printf("engine running: %s\n", ctx.engine_pid.load() != 0 ? "yes" : "no");
            tw::engine_cancel(&ctx);
        });
        tw::engine_run(&ctx, args, {}, &out);
        canceller.join();
        std::printf("engine pid after the run: %d\n", static_cast<int>(ctx.engine_pid.load()));
    }
    print_outcome(out);
    return 0;
}

// Before main: a copy started in child mode does its work and exits
// without running any test.
const int kChildMode = [] {
    const char *mode = std::getenv("TW_CLIENT_CHILD");
    if (mode == nullptr)
        return 0;
    std::vector<std::string> args;
    std::ifstream list(std::getenv("TW_CLIENT_CHILD_ARGS"));
    for (std::string line; std::getline(list, line);)
        args.push_back(line);
    int code = child_main(mode, args);
    std::fflush(stdout);
    std::_Exit(code);
}();

// ---- Parent side ----

struct ChildFolder {
    std::string dir;
    ChildFolder() {
        char pattern[] = "/tmp/tw-client-test-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir + "/bin");
        fs::create_directories(dir + "/run");
        fs::copy_file("/proc/self/exe", dir + "/bin/client_child");
    }
    ~ChildFolder() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void real_engine() {
        fs::copy_file(std::string(TW_BIN_DIR) + "/tarnwick-engine", dir + "/bin/tarnwick-engine");
    }
    void fake_engine(const std::string &body) {
        std::string path = dir + "/bin/tarnwick-engine";
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), 0755);
    }
    // Runs the copy in child mode and returns what it printed.
    std::string run(const char *mode, const std::vector<std::string> &args,
                    const std::string &extra_env = "") {
        std::string arg_file = dir + "/args.txt";
        {
            std::ofstream f(arg_file);
            for (const std::string &a : args)
                f << a << "\n";
        }
        std::string command = "cd / && env -i HOME='" + dir + "' XDG_RUNTIME_DIR='" + dir +
                              "/run' " + extra_env + " TW_CLIENT_CHILD=" + mode +
                              " TW_CLIENT_CHILD_ARGS='" + arg_file + "' '" + dir +
                              "/bin/client_child' </dev/null";
        std::string output;
        FILE *pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            return "(popen failed)";
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
            output.append(buf, n);
        pclose(pipe);
        return output;
    }
};

TEST(EngineChild, CreationOptionsFromTheRealEngine) {
    ChildFolder folder;
    folder.real_engine();
    EXPECT_EQ(folder.run("creation-options", {}),
              R"(result {"algorithm":9,"ciphers":[)"
              R"({"algorithm":1,"cipher":"SSE1","passwordLimit":4096},)"
              R"({"algorithm":8,"cipher":"XOR","passwordLimit":4096},)"
              R"({"algorithm":9,"cipher":"AES-256-XTS","passwordLimit":4096},)"
              R"({"algorithm":10,"cipher":"XChaCha20","passwordLimit":4096}],)"
              R"("filesystems":["exfat","fat32","ntfs"]})"
              "\n");
}

TEST(EngineChild, RealEngineErrorsPassThrough) {
    struct Case {
        std::vector<std::string> args;
        std::string printed;
    } cases[] = {
        {{"export", "/c.zcx"}, "error usage|Missing arguments.\n"},
        {{"convert", "/c.zcx", "/n.zcx", "255"},
         "error usage|Choose an available output algorithm.\n"},
        {{"rekey", "/c.zcx", "/n.zcx", "fast"}, "error usage|Unexpected arguments.\n"},
        // No credential request on standard input.
        {{"verify", "/c.zcx"}, "error protocol|Invalid credential request.\n"},
        {{"creation-options", "extra"},
         "error usage|Expected inspect FILE, verify FILE, export FILE OUTPUT, rekey FILE OUTPUT, "
         "convert FILE OUTPUT ALGORITHM, or create OUTPUT BYTES FILESYSTEM LABEL.\n"},
    };
    for (const Case &c : cases) {
        ChildFolder folder;
        folder.real_engine();
        EXPECT_EQ(folder.run("run", c.args), c.printed) << testing::PrintToString(c.args);
    }
}

TEST(EngineChild, ImagingIsApprovedElevatedBeforeTheEngineReads) {
    const std::string approval =
        "elevated approve-imaging /dev/sdb 77 " + std::to_string(geteuid()) + "\n";
    struct Case {
        const char *elevation;
        std::string new_password;
        std::string printed;
        bool engine_ran;
    } cases[] = {
        {"ok", "pw", approval + "result {\"size\":512}\n", true},
        {"declined", "pw",
         approval +
             "error cancelled|Device imaging needs an administrator's approval, which was not "
             "given.\n",
         false},
        {"failed", "pw",
         approval + "error imaging|The administrator's approval for imaging could not be "
                    "recorded.\n",
         false},
        // A new password that cannot be used asks nobody for an approval.
        {"ok", "", "error newPassword|", false},
    };
    for (const Case &c : cases) {
        ChildFolder folder;
        folder.fake_engine("echo \"$@\" > \"$HOME/engine-args\"\n"
                           "cat > /dev/null\n"
                           "printf '%s\\n' '{\"event\":\"result\",\"size\":512,\"version\":1}'");
        std::string printed =
            folder.run("image", {"/dev/sdb", "77", "/out/new.zcx", "10", c.new_password, "pw"},
                       std::string("TW_CLIENT_ELEVATION=") + c.elevation);
        EXPECT_EQ(printed.substr(0, c.printed.size()), c.printed) << c.elevation;
        std::ifstream args(folder.dir + "/engine-args");
        std::string line;
        std::getline(args, line);
        EXPECT_EQ(line, c.engine_ran ? "image /dev/sdb /out/new.zcx 10 77 fast 16384" : "")
            << c.elevation;
    }
}

TEST(EngineChild, CancelFromAnotherThreadSetsTheEvent) {
    // The engine makes its event, reports progress and waits for the flag
    // in the event file; then it reports "cancelled" as the real one does.
    ChildFolder folder;
    folder.fake_engine(
        "event=\"$XDG_RUNTIME_DIR/tarnwick/Cancel.$$\"\n"
        "mkdir -p -m 700 \"$XDG_RUNTIME_DIR/tarnwick\"\n"
        "printf '\\000\\000\\000\\000' > \"$event\"\n"
        "printf '%s\\n' '{\"event\":\"progress\",\"phase\":\"verifying\",\"fraction\":0.5,"
        "\"version\":1}'\n"
        "i=0\n"
        "while [ \"$(od -An -tx1 \"$event\" | tr -d ' ')\" = 00000000 ]; do\n"
        "  i=$((i+1)); [ $i -gt 600 ] && exit 9\n"
        "  sleep 0.05\n"
        "done\n"
        "rm -f \"$event\"\n"
        "printf '%s\\n' '{\"event\":\"error\",\"code\":\"cancelled\",\"message\":\"Stopped.\","
        "\"version\":1}'\n"
        "exit 1");
    EXPECT_EQ(folder.run("cancel", {"convert", "/c", "/n", "9"}), "progress verifying 0.500\n"
                                                                  "engine running: yes\n"
                                                                  "engine pid after the run: 0\n"
                                                                  "error cancelled|Stopped.\n");
}

} // namespace
