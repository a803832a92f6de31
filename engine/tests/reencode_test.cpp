// rekey, convert and replace through the real engine: every output is
// exported again and must give back the original image byte for byte.
#include "platform/files.h"
#include "runtime/json.h"
#include "runtime/text.h"
#include "support/containers.h"
#include "support/request.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

using tw::test::Request;

class Reencode : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/tw-reencode-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(tw::test::shell_in(
            dir_, "truncate -s 40M fat32.img && mkfs.vfat -F 32 -n DATA fat32.img"));
        image_ = tw::test::read_bytes(path("fat32.img"));
        tw::test::write_bytes(path("salted.zcx"), tw::test::make_salted_container(image_, "old"));
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }
    static std::string path(const std::string &name) { return dir_ + "/" + name; }

    static Request kind2(const std::string &current, const std::string &next) {
        Request r;
        r.kind = 2;
        r.password = current;
        r.new_password = next;
        return r;
    }
    static Request kind1(const std::string &current) {
        Request r;
        r.password = current;
        return r;
    }

    // Exports `container` with `password` and compares it with the image.
    static void expect_decrypts_to_image(const std::string &container,
                                         const std::string &password) {
        std::string out = container + ".export";
        unlink(out.c_str());
        tw::test::EngineRun run =
            tw::test::run_engine({"export", container, out}, tw::test::encode(kind1(password)));
        ASSERT_EQ(run.exit_code, 0) << run.out;
        EXPECT_TRUE(tw::test::read_bytes(out) == image_) << container;
        unlink(out.c_str());
    }

    static std::string member(const std::string &line, const char *name) {
        tw::JsonValue *v = tw::json_parse_text(line.c_str());
        std::string text;
        if (tw::JsonValue *m = tw::json_get(v, name)) {
            if (m->kind == tw::JsonKind::String)
                text = m->string_bytes;
            else if (m->kind == tw::JsonKind::Number)
                text = std::to_string(m->int_value);
        }
        tw::json_free(v);
        return text;
    }

    static std::string dir_;
    static std::vector<uint8_t> image_;
};

std::string Reencode::dir_;
std::vector<uint8_t> Reencode::image_;

TEST_F(Reencode, CopiesDecryptToTheSameImage) {
    struct Case {
        const char *what;
        std::vector<std::string> args; // after the command: FILE OUTPUT ...
        const char *source;
        const char *current;
        const char *format;
        const char *cipher;
        const char *compression; // "" when not v3
        const char *chunk;
    } cases[] = {
        {"convert an unencrypted image to AES",
         {"9"},
         "fat32.img",
         "",
         "OpenZCX compressed",
         "AES-256-XTS",
         "off",
         "16384"},
        {"convert to XChaCha20 with compression",
         {"10", "fast", "4096"},
         "fat32.img",
         "",
         "OpenZCX compressed",
         "XChaCha20",
         "fast",
         "4096"},
        {"convert to SSE1",
         {"1", "off", "65536"},
         "fat32.img",
         "",
         "OpenZCX compressed",
         "SSE1",
         "off",
         "65536"},
        {"convert to XOR", {"8"}, "salted.zcx", "old", "OpenZCX compressed", "XOR", "off", "16384"},
        // A salted source has no chunks to keep; XChaCha20 needs them.
        {"convert a salted container to XChaCha20",
         {"10"},
         "salted.zcx",
         "old",
         "OpenZCX compressed",
         "XChaCha20",
         "off",
         "16384"},
        {"rekey keeps the salted layout",
         {},
         "salted.zcx",
         "old",
         "OpenZCX salted",
         "AES-256-XTS",
         "",
         ""},
        {"rekey into the v3 layout",
         {"fast", "16384"},
         "salted.zcx",
         "old",
         "OpenZCX compressed",
         "AES-256-XTS",
         "fast",
         "16384"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = path("out" + std::to_string(n++) + ".zcx");
        const bool convert = !c.args.empty() && c.args[0].size() <= 2;
        std::vector<std::string> args = {convert ? "convert" : "rekey", path(c.source), out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        tw::test::EngineRun run =
            tw::test::run_engine(args, tw::test::encode(kind2(c.current, "new pw")));
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        std::string result = run.lines().back();
        EXPECT_EQ(member(result, "format"), c.format) << result;
        EXPECT_EQ(member(result, "cipher"), c.cipher) << result;
        EXPECT_EQ(member(result, "compression"), c.compression) << result;
        EXPECT_EQ(member(result, "chunkSize"), c.chunk) << result;
        // Progress went through the copy phases.
        EXPECT_NE(run.out.find(R"("phase":"reencoding")"), std::string::npos);
        EXPECT_NE(run.out.find(R"("phase":"verifying")"), std::string::npos);
        expect_decrypts_to_image(out, "new pw");
        unlink(out.c_str());
    }
}

TEST_F(Reencode, RefusalsLeaveNothingBehind) {
    struct Case {
        const char *what;
        std::vector<std::string> args;
        const char *current;
        int exit_code;
        const char *code;
        const char *message;
    } cases[] = {
        {"rekey of an unencrypted image",
         {"rekey", path("fat32.img"), path("x.zcx")},
         "",
         1,
         "unsupported",
         "Change Password requires a verified encrypted container with a recognized header."},
        {"wrong current password",
         {"convert", path("salted.zcx"), path("x.zcx"), "9"},
         "wrong",
         2,
         "credentials",
         "Credentials could not be checked."},
        {"existing destination",
         {"rekey", path("salted.zcx"), path("fat32.img")},
         "old",
         1,
         "destinationExists",
         "The destination already exists. Choose a new filename."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto before = tw::test::read_bytes(path("salted.zcx"));
        tw::test::EngineRun run =
            tw::test::run_engine(c.args, tw::test::encode(kind2(c.current, "n")));
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out;
        EXPECT_EQ(member(run.lines().back(), "code"), c.code);
        EXPECT_EQ(member(run.lines().back(), "message"), c.message);
        EXPECT_NE(access(path("x.zcx").c_str(), F_OK), 0);
        EXPECT_TRUE(tw::test::read_bytes(path("salted.zcx")) == before);
        EXPECT_TRUE(tw::test::read_bytes(path("fat32.img")) == image_);
    }
}

TEST_F(Reencode, ReencodingNeedsTheContainerToItself) {
    // A reader beside (a read-only mount, another verify) keeps rekey out,
    // though verify itself may run.
    int fd = open(path("salted.zcx").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, tw::file_lock(fd, false));
    tw::test::EngineRun run = tw::test::run_engine({"rekey", path("salted.zcx"), path("y.zcx")},
                                                   tw::test::encode(kind2("old", "n")));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(member(run.lines().back(), "code"), "busy");
    EXPECT_EQ(member(run.lines().back(), "message"),
              "Unmount the source and close other operations before changing its password.");
    EXPECT_NE(access(path("y.zcx").c_str(), F_OK), 0);
    close(fd);
}

// A container its owner may only read (mode 0444) is opened read-only, which
// on Linux cannot hold the exclusive lock. It can still be rekeyed as long
// as nobody else has it open, and is refused as busy while somebody does.
TEST_F(Reencode, ReadOnlyContainerIsRekeyedUnlessSomebodyElseHasIt) {
    const uid_t user = 65534;
    tw::test::UserFolder folder(user);
    if (!folder.skip_reason.empty())
        GTEST_SKIP() << folder.skip_reason;
    const std::string source =
        folder.put("read-only.zcx", tw::test::read_bytes(path("salted.zcx")), 0444);
    const std::string output = folder.path + "/rekeyed.zcx";

    int reader = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(0, tw::file_lock(reader, false));
    tw::test::EngineRun busy = tw::test::run_engine_as_user(user, {"rekey", source, output},
                                                            tw::test::encode(kind2("old", "n")));
    EXPECT_EQ(busy.exit_code, 1) << busy.out;
    EXPECT_EQ(member(busy.lines().back(), "code"), "busy") << busy.out;
    EXPECT_NE(access(output.c_str(), F_OK), 0);
    close(reader);

    tw::test::EngineRun run = tw::test::run_engine_as_user(user, {"rekey", source, output},
                                                           tw::test::encode(kind2("old", "n")));
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_decrypts_to_image(output, "n");
    EXPECT_TRUE(tw::test::read_bytes(source) == tw::test::read_bytes(path("salted.zcx")));
}

// SIGHUP is what the launcher arranges for the engine when the front-end
// ends; SIGTERM is a shutdown or `kill PID`; SIGINT and SIGQUIT come from a
// terminal. Each cancels the engine, in the copy and in its verification, and
// leaves nothing of the output.
TEST_F(Reencode, StopSignalsCancelAndLeaveNothing) {
    struct Case {
        int signal;
        const char *phase;
    } cases[] = {
        {SIGHUP, "reencoding"},  {SIGTERM, "reencoding"}, {SIGINT, "reencoding"},
        {SIGQUIT, "reencoding"}, {SIGTERM, "verifying"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << strsignal(c.signal) << " while " << c.phase);
        const std::string out = path("hangup.zcx");
        bool sent = false;
        const std::string phase = std::string(R"("phase":")") + c.phase + "\"";
        tw::test::EngineRun run = tw::test::run_engine_watching(
            {"rekey", path("salted.zcx"), out, "off", "4096"}, tw::test::encode(kind2("old", "n")),
            [&](const std::string &line, int pid) {
                if (!sent && line.find(phase) != std::string::npos)
                    sent = kill(pid, c.signal) == 0;
            });
        ASSERT_TRUE(sent) << run.out;
        EXPECT_EQ(run.exit_code, 1) << run.out;
        EXPECT_EQ(member(run.lines().back(), "code"), "cancelled") << run.out;
        EXPECT_NE(access(out.c_str(), F_OK), 0);
        EXPECT_TRUE(
            tw::test::shell_in(dir_, "test -z \"$(ls -A | grep -e hangup -e '\\.partial$')\""));
    }
}

TEST_F(Reencode, ReplaceRefusesANameTooLongForItsBackup) {
    // 240 bytes: the replacement's journal name would not fit a Linux file
    // name, so replace refuses before anything is written. Every other
    // command works on such a container.
    std::string file = path(std::string(236, 'n') + ".zcx");
    tw::test::write_bytes(file, tw::test::read_bytes(path("salted.zcx")));
    auto before = tw::test::read_bytes(file);
    tw::test::EngineRun run =
        tw::test::run_engine({"replace", file, "255"}, tw::test::encode(kind2("old", "n")));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(member(run.lines().back(), "message"),
              "Replacement could not finish. The original or its backup was retained. If a "
              "recovery journal exists, keep the files together and use Recover Replacement.");
    EXPECT_TRUE(tw::test::read_bytes(file) == before);
    EXPECT_TRUE(
        tw::test::shell_in(dir_, "test -z \"$(ls -A | grep '^nnnn' | grep -v '^n*\\.zcx$')\""));
    tw::test::EngineRun verify =
        tw::test::run_engine({"verify", file}, tw::test::encode(kind1("old")));
    EXPECT_EQ(verify.exit_code, 0) << verify.out;
    unlink(file.c_str());
}

TEST_F(Reencode, ReplaceKeepsTheOriginalAsBackup) {
    std::string file = path("replace-me.zcx");
    tw::test::write_bytes(file, tw::test::read_bytes(path("salted.zcx")));
    auto original = tw::test::read_bytes(file);
    tw::test::EngineRun run =
        tw::test::run_engine({"replace", file, "255"}, tw::test::encode(kind2("old", "newer")));
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::string result = run.lines().back();
    // The cipher is kept; a replacement is always written in the v3 layout,
    // with 16384-byte chunks when the source has none.
    EXPECT_EQ(member(result, "format"), "OpenZCX compressed");
    EXPECT_EQ(member(result, "chunkSize"), "16384");
    EXPECT_EQ(member(result, "compression"), "off");
    EXPECT_EQ(member(result, "cipher"), "AES-256-XTS");
    std::string backup = member(result, "backupPath");
    // "<name>.original-<uuid>.zcx" next to the container.
    const std::string prefix = file + ".original-";
    ASSERT_EQ(backup.compare(0, prefix.size(), prefix), 0) << backup;
    ASSERT_EQ(backup.size(), prefix.size() + 36 + 4) << backup;
    EXPECT_TRUE(tw::uuid_is_valid(backup.substr(prefix.size(), 36).c_str())) << backup;
    EXPECT_EQ(backup.substr(backup.size() - 4), ".zcx") << backup;
    EXPECT_TRUE(tw::test::read_bytes(backup) == original);
    EXPECT_NE(access((file + ".openzcx-journal").c_str(), F_OK), 0);
    expect_decrypts_to_image(file, "newer");
    expect_decrypts_to_image(backup, "old");
    unlink(backup.c_str());
    unlink(file.c_str());
}

// The new container takes the original's group, its permission bits without
// group or other write, and its user attributes except the write-session
// marker, which belongs to the original's mounts.
TEST_F(Reencode, ReplaceKeepsGroupPermissionsAndAttributes) {
    struct Case {
        mode_t mode;
        mode_t expected;
    } cases[] = {{0640, 0640}, {0666, 0644}, {0600, 0600}};
    const bool root = geteuid() == 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.mode);
        std::string file = path("attributes.zcx");
        tw::test::write_bytes(file, tw::test::read_bytes(path("salted.zcx")));
        ASSERT_EQ(0, chmod(file.c_str(), c.mode));
        const gid_t group = root ? 65534 : getegid();
        ASSERT_EQ(0, chown(file.c_str(), uid_t(-1), group));
        ASSERT_EQ(0, setxattr(file.c_str(), "user.note", "kept", 4, 0));
        ASSERT_EQ(0, setxattr(file.c_str(), "user.com.tarnwick.write-session", "", 0, 0));
        tw::test::EngineRun run =
            tw::test::run_engine({"replace", file, "255"}, tw::test::encode(kind2("old", "n")));
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        struct stat st;
        ASSERT_EQ(0, stat(file.c_str(), &st));
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        EXPECT_EQ(st.st_gid, group);
        char value[16] = {};
        EXPECT_EQ(4, getxattr(file.c_str(), "user.note", value, sizeof value));
        EXPECT_STREQ(value, "kept");
        EXPECT_LT(getxattr(file.c_str(), "user.com.tarnwick.write-session", value, sizeof value),
                  0);
        expect_decrypts_to_image(file, "n");
        std::string backup = member(run.lines().back(), "backupPath");
        unlink(backup.c_str());
        unlink(file.c_str());
    }
}

// Replace with algorithm 255 and no pair keeps everything of a compressed
// source: cipher, chunk size and compression.
TEST_F(Reencode, ReplaceKeepsTheLayoutOfACompressedSource) {
    std::string file = path("compressed.zcx");
    tw::test::EngineRun made =
        tw::test::run_engine({"convert", path("fat32.img"), file, "10", "fast", "4096"},
                             tw::test::encode(kind2("", "first")));
    ASSERT_EQ(made.exit_code, 0) << made.out << made.err;
    tw::test::EngineRun run =
        tw::test::run_engine({"replace", file, "255"}, tw::test::encode(kind2("first", "second")));
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    std::string result = run.lines().back();
    EXPECT_EQ(member(result, "format"), "OpenZCX compressed");
    EXPECT_EQ(member(result, "cipher"), "XChaCha20");
    EXPECT_EQ(member(result, "chunkSize"), "4096");
    EXPECT_EQ(member(result, "compression"), "fast");
    expect_decrypts_to_image(file, "second");
    std::string backup = member(result, "backupPath");
    expect_decrypts_to_image(backup, "first");
    unlink(backup.c_str());
    unlink(file.c_str());
}

// The real engine killed with SIGKILL at different moments of the name
// exchange (it reports "publishing" once the journal is written and then
// renames): whatever state it leaves, recovery finishes it, with the new
// copy under the container's name, the original under the backup name and
// no journal. Neither file is ever lost.
TEST_F(Reencode, ReplaceKilledDuringTheExchangeIsRecovered) {
    const auto original = tw::test::read_bytes(path("salted.zcx"));
    for (int delay_us : {0, 50, 200, 500, 1000, 3000}) {
        SCOPED_TRACE(delay_us);
        std::string file = path("killed.zcx");
        tw::test::write_bytes(file, original);
        bool killed = false;
        tw::test::EngineRun run = tw::test::run_engine_watching(
            {"replace", file, "255"}, tw::test::encode(kind2("old", "newer")),
            [&](const std::string &line, int pid) {
                if (killed || line.find(R"("phase":"publishing")") == std::string::npos)
                    return;
                usleep(useconds_t(delay_us));
                killed = kill(pid, SIGKILL) == 0;
            });
        ASSERT_TRUE(killed) << run.out;
        if (access((file + ".openzcx-journal").c_str(), F_OK) == 0) {
            tw::test::EngineRun recovered = tw::test::run_engine({"recover-replacement", file}, {});
            ASSERT_EQ(recovered.exit_code, 0) << recovered.out;
        }
        EXPECT_NE(access((file + ".openzcx-journal").c_str(), F_OK), 0);
        // Exactly the container and one backup are left.
        std::string backup;
        EXPECT_TRUE(tw::test::shell_in(dir_, "test $(ls -A | grep -c killed) -eq 2"));
        EXPECT_TRUE(tw::test::shell_in(dir_, "ls -A | grep '^killed.zcx.original-' > backup.txt"));
        std::string listed;
        for (uint8_t byte : tw::test::read_bytes(path("backup.txt")))
            listed += char(byte);
        backup = path(listed.substr(0, listed.find('\n')));
        EXPECT_TRUE(tw::test::read_bytes(backup) == original);
        expect_decrypts_to_image(file, "newer");
        unlink(backup.c_str());
        unlink(file.c_str());
        unlink(path("backup.txt").c_str());
    }
}

// Kills an engine with SIGKILL `delay_us` after a name that begins with
// `prefix` and ends with `suffix` appears in `dir` (created or renamed
// there). The folder is watched from before the engine starts.
class KillOnName {
  public:
    KillOnName(const std::string &dir, std::string prefix, std::string suffix, int delay_us)
        : prefix_(std::move(prefix)), suffix_(std::move(suffix)), delay_us_(delay_us) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        EXPECT_GE(fd_, 0);
        EXPECT_GE(inotify_add_watch(fd_, dir.c_str(), IN_CREATE | IN_MOVED_TO), 0);
        thread_ = std::thread([this] { watch(); });
    }
    ~KillOnName() {
        stop();
        close(fd_);
    }
    void start(int pid) { pid_ = pid; }
    void stop() {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    bool killed() const { return killed_; }

  private:
    void watch() {
        alignas(inotify_event) char buffer[4096];
        while (!done_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                auto *event = reinterpret_cast<inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                std::string name = event->len ? event->name : "";
                if (!name.starts_with(prefix_) || !name.ends_with(suffix_))
                    continue;
                while (pid_ == 0 && !done_)
                    usleep(100);
                if (delay_us_ > 0)
                    usleep(useconds_t(delay_us_));
                killed_ = pid_ > 0 && kill(pid_, SIGKILL) == 0;
                return;
            }
        }
    }

    std::string prefix_, suffix_;
    int delay_us_;
    int fd_ = -1;
    std::atomic<int> pid_{0};
    std::atomic<bool> done_{false}, killed_{false};
    std::thread thread_;
};

// The real engine killed around the appearance of its journal: when the
// partial journal is created, while the copy is written, when the copy is
// published, when the journal is in place and at the first rename. Whatever
// it leaves, a name that says "original" holds the original only; with a
// journal recovery finishes, without one the original is untouched and the
// next replacement removes the leftovers and succeeds.
TEST_F(Reencode, ReplaceKilledAroundItsJournalLeavesNothingMisnamed) {
    ASSERT_TRUE(tw::test::shell_in(
        dir_, "truncate -s 8M small.img && mkfs.vfat -F 32 -s 1 -n SMALL small.img"));
    const auto image = tw::test::read_bytes(path("small.img"));
    const auto original = tw::test::make_salted_container(image, "old");
    const std::string file = path("killed.zcx");
    const std::string journal = file + ".openzcx-journal";
    auto names = [&] {
        std::vector<std::string> found;
        for (const auto &entry : std::filesystem::directory_iterator(dir_)) {
            std::string name = entry.path().filename().string();
            if (name.starts_with("killed") || name.starts_with(".openzcx-"))
                found.push_back(name);
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    struct Target {
        const char *what;
        const char *prefix;
        const char *suffix;
    } targets[] = {
        {"partial journal created", ".openzcx-journal-", ".partial"},
        {"copy being written", ".openzcx-rekey-.openzcx-swap-", ".partial"},
        {"copy published", ".openzcx-swap-", ".zcx"},
        {"journal in place", "killed.zcx.openzcx-journal", ""},
        {"first rename", "killed.zcx.original-", ".zcx"},
    };
    for (const Target &target : targets) {
        for (int delay_us : {0, 2000}) {
            SCOPED_TRACE(testing::Message() << target.what << " +" << delay_us << "us");
            tw::test::write_bytes(file, original);
            KillOnName killer(dir_, target.prefix, target.suffix, delay_us);
            tw::test::EngineRun run = tw::test::run_engine_watching(
                {"replace", file, "255"}, tw::test::encode(kind2("old", "newer")),
                [&](const std::string &line, int pid) {
                    if (line.empty())
                        killer.start(pid);
                });
            killer.stop();
            ASSERT_TRUE(killer.killed() || run.exit_code == 0) << run.out << run.err;
            for (const std::string &name : names()) {
                if (name.find(".original-") != std::string::npos) {
                    EXPECT_TRUE(tw::test::read_bytes(path(name)) == original) << name;
                }
            }

            if (access(journal.c_str(), F_OK) == 0) {
                tw::test::EngineRun recovered =
                    tw::test::run_engine({"recover-replacement", file}, {});
                ASSERT_EQ(recovered.exit_code, 0) << recovered.out;
            } else if (tw::test::read_bytes(file) == original) {
                // Killed before the journal was in place (else the exchange
                // finished before the kill landed).
                tw::test::EngineRun again = tw::test::run_engine(
                    {"replace", file, "255"}, tw::test::encode(kind2("old", "newer")));
                ASSERT_EQ(again.exit_code, 0) << again.out << again.err;
            }
            // The container and its one backup, nothing else.
            std::vector<std::string> left = names();
            ASSERT_EQ(left.size(), 2u) << testing::PrintToString(left);
            EXPECT_EQ(left[0], "killed.zcx");
            EXPECT_TRUE(left[1].starts_with("killed.zcx.original-")) << left[1];
            EXPECT_TRUE(tw::test::read_bytes(path(left[1])) == original);
            const std::string exported = path("killed.export");
            tw::test::EngineRun exporting =
                tw::test::run_engine({"export", file, exported}, tw::test::encode(kind1("newer")));
            EXPECT_EQ(exporting.exit_code, 0) << exporting.out;
            EXPECT_TRUE(tw::test::read_bytes(exported) == image);
            for (const std::string &name : {exported, file, path(left[1])})
                unlink(name.c_str());
        }
    }
}

// The original is written to while its copy is made (by a program that
// ignores the in-use lock): the replacement stops with "sourceChanged",
// publishes nothing and leaves the original as that program left it.
TEST_F(Reencode, ReplaceOfAnOriginalChangedMeanwhileStops) {
    std::string file = path("changing.zcx");
    tw::test::write_bytes(file, tw::test::read_bytes(path("salted.zcx")));
    // The last image sector: not copied yet when the copy starts, so the
    // copy and its verification agree and only the change itself is seen.
    const off_t offset = (40 << 20) - 512 + 100;
    bool written = false;
    tw::test::EngineRun run = tw::test::run_engine_watching(
        {"replace", file, "255"}, tw::test::encode(kind2("old", "newer")),
        [&](const std::string &line, int) {
            if (written || line.find(R"("phase":"reencoding")") == std::string::npos)
                return;
            int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(1, pwrite(fd, "!", 1, offset));
            close(fd);
            written = true;
        });
    ASSERT_TRUE(written) << run.out;
    EXPECT_EQ(run.exit_code, 1) << run.out;
    std::string last = run.lines().back();
    EXPECT_EQ(member(last, "code"), "sourceChanged") << last;
    EXPECT_EQ(member(last, "message"),
              "Replacement could not finish. The original or its backup was retained. If a "
              "recovery journal exists, keep the files together and use Recover Replacement.");
    // Only the original is left, with the outside change and nothing else.
    auto expected = tw::test::read_bytes(path("salted.zcx"));
    expected[offset] = '!';
    EXPECT_TRUE(tw::test::read_bytes(file) == expected);
    EXPECT_TRUE(tw::test::shell_in(
        dir_, "test -z \"$(ls -A | grep changing | grep -v '^changing.zcx$')\""));
    unlink(file.c_str());
}

} // namespace
