// The commands that only read a container (inspect, verify, export), run
// through the real engine on containers made from images of the real
// filesystem tools.
#include "platform/files.h"
#include "platform/named_event.h"
#include "runtime/json.h"
#include "support/containers.h"
#include "support/request.h"

#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <variant>

namespace {

using tw::test::Request;

const char *const kPassword = "correct horse";

class InspectVerify : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/tw-inspect-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(tw::test::shell_in(dir_, "truncate -s 40M fat32.img && mkfs.vfat -F 32 "
                                             "fat32.img && truncate -s 16M exfat.img && "
                                             "mkfs.exfat exfat.img && truncate -s 1000000 odd.img "
                                             "&& mkfs.vfat odd.img"));
        tw::test::write_bytes(
            path("salted.zcx"),
            tw::test::make_salted_container(tw::test::read_bytes(path("fat32.img")), kPassword));
        // The same exFAT image with its volume marked dirty.
        std::vector<uint8_t> dirty = tw::test::read_bytes(path("exfat.img"));
        dirty[106] |= 0x02;
        tw::test::write_bytes(path("exfat-dirty.img"), dirty);
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }
    static std::string path(const std::string &name) { return dir_ + "/" + name; }
    static std::string dir_;
};

std::string InspectVerify::dir_;

Request kind1(const std::string &password) {
    Request r;
    r.password = password;
    return r;
}

using Expected = std::variant<bool, int64_t, std::string>;

struct Case {
    const char *what;
    std::vector<std::string> args; // FILE is appended
    const char *file;
    const char *password;               // null: no request (inspect)
    std::vector<const char *> siblings; // suffixes created next to the container
    int exit_code;
    std::map<std::string, Expected> members; // of the result or error line
};

TEST_F(InspectVerify, SummariesAndRefusals) {
    const Case cases[] = {
        {"inspect of an encrypted container",
         {"inspect"},
         "salted.zcx",
         nullptr,
         {},
         0,
         {{"format", std::string("OpenZCX salted")},
          {"cipher", std::string("Not checked")},
          {"algorithm", int64_t{255}},
          {"filesystem", std::string("Not checked")},
          {"verified", false},
          {"writeSupported", false},
          {"plaintext", false},
          {"size", int64_t{40} << 20},
          {"recoveryRequired", false}}},
        {"inspect of an unencrypted image",
         {"inspect"},
         "fat32.img",
         nullptr,
         {},
         0,
         {{"format", std::string("OpenZCX (sector 0 in clear)")},
          {"cipher", std::string("Unencrypted")},
          {"plaintext", true},
          {"verified", false}}},
        {"verify with the right password",
         {"verify"},
         "salted.zcx",
         kPassword,
         {},
         0,
         {{"cipher", std::string("AES-256-XTS")},
          {"algorithm", int64_t{9}},
          {"verified", true},
          {"filesystemType", std::string("other")},
          {"writeSupported", true},
          {"writeFilesystem", std::string("fat32")},
          {"newPasswordLimit", int64_t{4096}},
          {"writeSessionRecovery", false}}},
        {"verify with a wrong password",
         {"verify"},
         "salted.zcx",
         "wrong horse",
         {},
         2,
         {{"code", std::string("credentials")},
          {"message", std::string("Credentials could not be checked.")}}},
        {"verify of an unencrypted image with the empty password",
         {"verify"},
         "fat32.img",
         "",
         {},
         0,
         {{"cipher", std::string("Unencrypted")}, {"verified", true}, {"writeSupported", false}}},
        {"an image that does not end on a sector boundary",
         {"verify"},
         "odd.img",
         "",
         {},
         1,
         {{"code", std::string("unsupported")},
          {"message", std::string("The container has an incomplete final sector.")}}},
        {"a write-session marker next to the container",
         {"inspect"},
         "salted.zcx",
         nullptr,
         {".openzcx-write-session"},
         0,
         {{"recoveryRequired", true}, {"writeSessionRecovery", true}}},
        {"a marker and an unfinished conversion",
         {"inspect"},
         "salted.zcx",
         nullptr,
         {".openzcx-write-session", ".openzcx-journal"},
         0,
         {{"recoveryRequired", true}, {"writeSessionRecovery", false}}},
        {"verify refuses an unfinished conversion",
         {"verify"},
         "salted.zcx",
         kPassword,
         {".openzcx-journal"},
         1,
         {{"code", std::string("recovery")},
          {"message", std::string("An unfinished conversion or partial copy was detected. "
                                  "Container access is blocked.")}}},
        {"a dirty exFAT volume needs its write session recovered",
         {"verify"},
         "exfat-dirty.img",
         "",
         {},
         0,
         {{"filesystemType", std::string("exfat")},
          {"recoveryRequired", true},
          {"writeSessionRecovery", true}}},
        {"a missing container",
         {"verify"},
         "absent.zcx",
         kPassword,
         {},
         1,
         {{"code", std::string("io")}, {"message", std::string("No such file or directory")}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *suffix : c.siblings)
            close(open((path(c.file) + suffix).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        std::vector<std::string> args = c.args;
        args.push_back(path(c.file));
        std::vector<uint8_t> input;
        if (c.password)
            input = tw::test::encode(kind1(c.password));
        tw::test::EngineRun run = tw::test::run_engine(args, input);
        for (const char *suffix : c.siblings)
            unlink((path(c.file) + suffix).c_str());

        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        ASSERT_EQ(run.lines().size(), 1u) << run.out;
        tw::JsonValue *line = tw::json_parse_text(run.lines()[0].c_str());
        ASSERT_NE(line, nullptr) << run.out;
        EXPECT_EQ(tw::json_get_int(line, "version", 0), 1);
        for (const auto &[name, value] : c.members) {
            if (const bool *b = std::get_if<bool>(&value))
                EXPECT_EQ(tw::json_get_bool(line, name.c_str(), !*b), *b) << name << run.out;
            else if (const int64_t *i = std::get_if<int64_t>(&value))
                EXPECT_EQ(tw::json_get_int(line, name.c_str(), -1), *i) << name << run.out;
            else
                EXPECT_STREQ(tw::json_get_string(line, name.c_str(), ""),
                             std::get<std::string>(value).c_str())
                    << name << run.out;
        }
        tw::json_free(line);
    }
}

// Without locked memory every command still works; the summary says so and
// standard error carries the warning.
TEST_F(InspectVerify, DeniedMemoryLockingStillWorksAndIsReported) {
    const uid_t user = 65534;
    tw::test::UserFolder folder(user);
    if (!folder.skip_reason.empty())
        GTEST_SKIP() << folder.skip_reason;
    const std::string file =
        folder.put("salted.zcx", tw::test::read_bytes(path("salted.zcx")), 0600);
    for (bool with_password : {false, true}) {
        SCOPED_TRACE(with_password ? "verify" : "inspect");
        tw::test::EngineRun run = tw::test::run_engine_as_user(
            user, {with_password ? "verify" : "inspect", file},
            with_password ? tw::test::encode(kind1(kPassword)) : std::vector<uint8_t>{}, true);
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        EXPECT_NE(run.lines().back().find(R"("memoryLocked":false)"), std::string::npos) << run.out;
        EXPECT_NE(run.err.find("Warning: cannot lock key memory"), std::string::npos) << run.err;
    }
}

TEST_F(InspectVerify, LockHoldersDecideWhatRunsBeside) {
    int fd = open(path("salted.zcx").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // A reader beside: verify runs.
    ASSERT_EQ(0, tw::file_lock(fd, false));
    tw::test::EngineRun run =
        tw::test::run_engine({"verify", path("salted.zcx")}, tw::test::encode(kind1(kPassword)));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    // A writer holding it: verify is refused as busy.
    ASSERT_EQ(0, tw::file_lock(fd, true));
    run = tw::test::run_engine({"verify", path("salted.zcx")}, tw::test::encode(kind1(kPassword)));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, R"({"event":"error","code":"busy","message":"The container is in use by a )"
                       R"(mount or another operation.","version":1})"
                       "\n");
    close(fd);
}

TEST_F(InspectVerify, ExportWritesTheDecryptedImageOnlyToANewName) {
    // The salted container decrypts to exactly the image it was made from.
    std::string out = path("export.img");
    tw::test::EngineRun run = tw::test::run_engine({"export", path("salted.zcx"), out},
                                                   tw::test::encode(kind1(kPassword)));
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_TRUE(tw::test::read_bytes(out) == tw::test::read_bytes(path("fat32.img")));
    auto lines = run.lines();
    ASSERT_GE(lines.size(), 2u);
    // Progress without a phase, one line per whole percent at most.
    EXPECT_LE(lines.size(), 102u);
    EXPECT_EQ(lines.front().find(R"("phase")"), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find(R"("verified":true)"), std::string::npos) << lines.back();

    // An existing destination is refused before anything is read or written.
    tw::test::write_bytes(out, {1, 2, 3});
    run = tw::test::run_engine({"export", path("salted.zcx"), out},
                               tw::test::encode(kind1(kPassword)));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, R"({"event":"error","code":"destinationExists","message":"The destination )"
                       R"(already exists. Choose a new filename.","version":1})"
                       "\n");
    EXPECT_TRUE(tw::test::read_bytes(out) == std::vector<uint8_t>({1, 2, 3}));
    unlink(out.c_str());
}

// Setting the engine's cancellation event during an export ends it with the
// "cancelled" error and leaves no output behind.
TEST_F(InspectVerify, CancelledExportLeavesNoOutput) {
    ASSERT_TRUE(tw::test::shell_in(dir_, "truncate -s 1G big.img && mkfs.vfat -F 32 big.img"));
    char runtime_template[] = "/tmp/tw-cancel-rt-XXXXXX";
    ASSERT_NE(mkdtemp(runtime_template), nullptr);
    setenv("XDG_RUNTIME_DIR", runtime_template, 1);

    int in[2], out[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
    std::string program = std::string(TW_BIN_DIR) + "/tarnwick-engine";
    std::string source = path("big.img"), target = path("big-export.img");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(program.c_str(), program.c_str(), "export", source.c_str(), target.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::vector<uint8_t> request = tw::test::encode(kind1(""));
    ASSERT_EQ(static_cast<ssize_t>(request.size()), write(in[1], request.data(), request.size()));
    close(in[1]);

    std::string output;
    bool cancelled = false;
    char buf[4096];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0)
            break;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        output.append(buf, static_cast<size_t>(n));
        if (!cancelled && output.find("progress") != std::string::npos) {
            tw::NamedEvent *event = nullptr;
            ASSERT_EQ(0, tw::named_event_open("Cancel." + std::to_string(pid), &event));
            tw::named_event_set(event);
            tw::named_event_close(event);
            cancelled = true;
        }
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_TRUE(cancelled) << output;
    EXPECT_EQ(WEXITSTATUS(status), 1) << output;
    EXPECT_NE(output.find(R"({"event":"error","code":"cancelled","message":"Operation cancelled. )"
                          R"(Original kept. If a new file exists, verify it before using it.",)"
                          R"("version":1})"),
              std::string::npos)
        << output;
    EXPECT_NE(access(target.c_str(), F_OK), 0);
    // Nothing else appeared in the folder either (no named temporary).
    EXPECT_TRUE(
        tw::test::shell_in(dir_, "test -z \"$(ls -A | grep -v -e '\\.img$' -e '\\.zcx$')\""));
    unlink(source.c_str());
    std::string cleanup = std::string("rm -rf '") + runtime_template + "'";
    EXPECT_EQ(0, std::system(cleanup.c_str()));
}

} // namespace
