// Replacement journal and recovery of interrupted replacements, driven
// through the real engine on real files.
#include "engine/replacement.h"
#include "runtime/errors.h"
#include "runtime/random.h"
#include "support/request.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <openssl/evp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using tw::ReplacementIdentity;
using tw::ReplacementJournal;

const char *const kRecoveryError =
    R"({"event":"error","code":"recovery","message":"Replacement recovery could not finish. )"
    R"(Keep the container, backup and journal together; no file was discarded.","version":1})"
    "\n";

std::string random_bytes(size_t n) {
    std::string s(n, '\0');
    EXPECT_TRUE(tw::random_bytes(s.data(), n));
    return s;
}

class ReplacementFolderTest : public testing::Test {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/tw-replace-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
        // More than one identity block, so hashing crosses block boundaries.
        original_ = random_bytes((1u << 20) * 2 + 4321);
        copy_ = random_bytes((1u << 20) + 17);
    }
    void TearDown() override {
        close(fd_);
        std::string cmd = "chmod -R u+w '" + dir_ + "' && rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, std::system(cmd.c_str()));
    }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    void write_file(const std::string &name, const std::string &content) {
        int fd = open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(content.size()), write(fd, content.data(), content.size()));
        close(fd);
    }

    ReplacementIdentity identity(const std::string &name) {
        ReplacementIdentity id;
        int fd = open(path(name).c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(0, tw::replacement_identity_fd(fd, nullptr, nullptr, &id));
        close(fd);
        return id;
    }

    // The state right after a replacement wrote its journal: N is the
    // original, S the new copy, B missing; in the earlier order B held the
    // new copy and S was missing.
    ReplacementJournal start_replacement(bool earlier_order = false) {
        ReplacementJournal j = names();
        write_file(j.name, original_);
        const std::string &copy = earlier_order ? j.backup : j.swap;
        write_file(copy, copy_);
        j.original = identity(j.name);
        j.copy = identity(copy);
        EXPECT_EQ(0, tw::replacement_journal_write(fd_, kUuid, j));
        return j;
    }
    static constexpr const char *kUuid = "0d6b8c52-2a43-4d7e-9a0f-3c1d2e4f5a6b";
    static ReplacementJournal names(const std::string &name = "disk.zcx") {
        ReplacementJournal j;
        j.name = name;
        j.backup = name + ".original-" + kUuid + ".zcx";
        j.swap = std::string(".openzcx-swap-") + kUuid + ".zcx";
        return j;
    }

    void rename_in(const std::string &from, const std::string &to) {
        ASSERT_EQ(0, renameat(fd_, from.c_str(), fd_, to.c_str()));
    }

    // Every name in the folder with its contents.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = d ? readdir(d) : nullptr) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            std::string content;
            FILE *f = fopen(path(name).c_str(), "rb");
            char buf[65536];
            size_t n;
            while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
                content.append(buf, n);
            if (f)
                fclose(f);
            files[name] = content;
        }
        if (d)
            closedir(d);
        return files;
    }

    tw::test::EngineRun recover(const std::string &name = "disk.zcx") {
        return tw::test::run_engine({"recover-replacement", path(name)}, {});
    }

    std::string dir_;
    int fd_ = -1;
    std::string original_, copy_;
};

// A crash between any two renames of the exchange leaves one of these
// states; recovery must finish from each with N the new copy, B the original
// and no journal or swap name left. Journals of the earlier order (the new
// copy first under B) are finished as well.
TEST_F(ReplacementFolderTest, RecoveryFinishesFromEveryInterruptedState) {
    struct Case {
        const char *state;
        bool earlier_order;
        int renames_done;
    } cases[] = {
        {"journal written, no rename yet", false, 0},
        {"original under the backup name", false, 1},
        {"new copy under the container's name, journal left", false, 2},
        {"earlier order: journal written, no rename yet", true, 0},
        {"earlier order: original moved to the swap name", true, 1},
        {"earlier order: new copy under the container's name", true, 2},
        {"earlier order: original under the backup name, journal left", true, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.state);
        ReplacementJournal j = start_replacement(c.earlier_order);
        if (c.earlier_order) {
            if (c.renames_done >= 1)
                rename_in(j.name, j.swap);
            if (c.renames_done >= 2)
                rename_in(j.backup, j.name);
            if (c.renames_done >= 3)
                rename_in(j.swap, j.backup);
        } else {
            if (c.renames_done >= 1)
                rename_in(j.name, j.backup);
            if (c.renames_done >= 2)
                rename_in(j.swap, j.name);
        }

        tw::test::EngineRun run = recover();
        EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
        EXPECT_EQ(run.out, R"({"backupPath":")" + path(j.backup) +
                               R"(","event":"result","version":1})"
                               "\n");
        auto files = snapshot();
        EXPECT_EQ(files.size(), 2u);
        EXPECT_TRUE(files[j.name] == copy_);
        EXPECT_TRUE(files[j.backup] == original_);
        // Clean the folder for the next state.
        unlinkat(fd_, j.name.c_str(), 0);
        unlinkat(fd_, j.backup.c_str(), 0);
    }
}

// What replacements killed before their journal was in place leave: a
// partial journal (complete, or cut short), the copy under the swap name and
// the copy writer's temporary. The sweep for N removes exactly those of N
// that no running replacement holds, and never the original.
TEST_F(ReplacementFolderTest, SweepRemovesLeftoversOfInterruptedReplacementsOfTheName) {
    const std::string uuid = kUuid;
    const std::string partial = ".openzcx-journal-" + uuid + ".partial";
    const std::string temporary =
        ".openzcx-rekey-.openzcx-swap-" + uuid + ".zcx.0123456789ab.partial";
    struct Case {
        const char *what;
        bool copy_known;    // the partial journal was completed
        bool held;          // its replacement still runs
        bool other_name;    // it belongs to another container
        bool swap_original; // the swap name holds the original (never removed)
        size_t left;        // names left besides N
    } cases[] = {
        {"pending journal, copy and temporary", false, false, false, false, 0},
        {"completed journal and copy", true, false, false, false, 0},
        {"replacement still running", false, true, false, false, 3},
        {"another container's leftovers", false, false, true, false, 3},
        {"swap name holding the original", false, false, false, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ReplacementJournal j = names(c.other_name ? "other.zcx" : "disk.zcx");
        write_file("disk.zcx", original_);
        j.original = identity("disk.zcx");
        tw::FileHandle held;
        ASSERT_EQ(0, tw::replacement_journal_begin(fd_, kUuid, j, &held));
        write_file(j.swap, c.swap_original ? original_ : copy_);
        write_file(temporary, "partial copy");
        if (c.copy_known) {
            // Completed but never renamed into place.
            j.copy = identity(j.swap);
            uint8_t record[tw::kReplacementJournalSize];
            ASSERT_EQ(0, tw::replacement_journal_encode(j, record));
            ASSERT_EQ(ssize_t(sizeof record), pwrite(held.get(), record, sizeof record, 0));
        }
        if (c.swap_original) {
            unlinkat(fd_, j.swap.c_str(), 0);
            ASSERT_EQ(0, linkat(fd_, "disk.zcx", fd_, j.swap.c_str(), 0));
            unlinkat(fd_, temporary.c_str(), 0);
        }
        if (!c.held)
            held.reset();
        tw::replacement_sweep_leftovers(fd_, "disk.zcx");
        auto files = snapshot();
        EXPECT_EQ(files.size(), 1 + c.left);
        EXPECT_TRUE(files["disk.zcx"] == original_);
        held.reset();
        for (const auto &[name, content] : files)
            unlinkat(fd_, name.c_str(), 0);
    }

    // Nothing goes while the journal of N exists: recovery decides then.
    ReplacementJournal j = start_replacement();
    write_file(partial, "cut short");
    EXPECT_EQ(0, tw::replacement_sweep_leftovers(fd_, "disk.zcx"));
    EXPECT_EQ(snapshot().size(), 4u);
}

int g_stop_after = 0;
void stop_after_renames(int renames_done) {
    if (renames_done == g_stop_after)
        _exit(9); // as abrupt as a crash: no clean-up of any kind
}

// The exchange itself, ended abruptly after each of its renames, then
// finished by the real engine's recovery.
TEST_F(ReplacementFolderTest, ExchangeKilledAfterEachRenameIsRecovered) {
    struct Case {
        bool earlier_order;
        int stop;
    } cases[] = {{false, 1}, {false, 2}, {true, 1}, {true, 2}, {true, 3}};
    for (const auto [earlier_order, stop] : cases) {
        SCOPED_TRACE(testing::Message() << (earlier_order ? "earlier order, " : "") << stop);
        ReplacementJournal j = start_replacement(earlier_order);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            g_stop_after = stop;
            tw::replacement_set_exchange_hook_for_testing(stop_after_renames);
            tw::replacement_exchange(fd_, j);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_EQ(WEXITSTATUS(status), 9);
        // Both files survive the interruption, under some name.
        int originals = 0, copies = 0;
        for (const auto &[name, content] : snapshot()) {
            originals += content == original_;
            copies += content == copy_;
        }
        EXPECT_EQ(originals, 1);
        EXPECT_EQ(copies, 1);

        tw::test::EngineRun run = recover();
        EXPECT_EQ(run.exit_code, 0) << run.out;
        auto files = snapshot();
        EXPECT_EQ(files.size(), 2u);
        EXPECT_TRUE(files[j.name] == copy_);
        EXPECT_TRUE(files[j.backup] == original_);
        unlinkat(fd_, j.name.c_str(), 0);
        unlinkat(fd_, j.backup.c_str(), 0);
    }
}

TEST_F(ReplacementFolderTest, RefusalsKeepEveryFileInPlace) {
    struct Case {
        const char *what;
        std::function<void(ReplacementFolderTest *, const ReplacementJournal &)> change;
        std::string name = "disk.zcx";
    } cases[] = {
        {"an unrelated file occupies the backup name",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             t->write_file(j.backup, "unrelated");
         }},
        {"the original was modified after it was recorded",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             int fd = openat(t->fd_, j.name.c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_EQ(1, pwrite(fd, "x", 1, 1000));
             close(fd);
         }},
        {"the new copy was modified after it was recorded",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             int fd = openat(t->fd_, j.swap.c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_EQ(1, pwrite(fd, "x", 1, 5));
             close(fd);
         }},
        {"the journal's self-check does not match",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             int fd =
                 openat(t->fd_, tw::replacement_journal_name(j.name).c_str(), O_WRONLY | O_CLOEXEC);
             ASSERT_EQ(1, pwrite(fd, "x", 1, 927));
             close(fd);
         }},
        {"the journal is one byte short",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             ASSERT_EQ(0, truncate(t->path(tw::replacement_journal_name(j.name)).c_str(), 927));
         }},
        {"the journal is missing",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             ASSERT_EQ(0, unlinkat(t->fd_, tw::replacement_journal_name(j.name).c_str(), 0));
         }},
        {"the journal names another container",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             ReplacementJournal other = j;
             other.name = "other.zcx";
             uint8_t record[tw::kReplacementJournalSize];
             ASSERT_EQ(0, tw::replacement_journal_encode(other, record));
             std::string bytes(reinterpret_cast<char *>(record), sizeof record);
             t->write_file(tw::replacement_journal_name(j.name), bytes);
         }},
        // Linux names are case-sensitive: "DISK.zcx" is another file, so its
        // journal does not describe disk.zcx.
        {"the journal names the container in other letter case",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             ReplacementJournal other = j;
             other.name = "DISK.zcx";
             uint8_t record[tw::kReplacementJournalSize];
             ASSERT_EQ(0, tw::replacement_journal_encode(other, record));
             std::string bytes(reinterpret_cast<char *>(record), sizeof record);
             t->write_file(tw::replacement_journal_name(j.name), bytes);
         }},
        {"the folder may be changed by others",
         [](ReplacementFolderTest *t, const ReplacementJournal &) {
             ASSERT_EQ(0, fchmod(t->fd_, 0777));
         }},
        {"the journal is a symbolic link",
         [](ReplacementFolderTest *t, const ReplacementJournal &j) {
             std::string name = tw::replacement_journal_name(j.name);
             ASSERT_EQ(0, renameat(t->fd_, name.c_str(), t->fd_, "journal-target"));
             ASSERT_EQ(0, symlinkat("journal-target", t->fd_, name.c_str()));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ReplacementJournal j = start_replacement();
        c.change(this, j);
        auto before = snapshot();
        tw::test::EngineRun run = recover(c.name);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, kRecoveryError);
        EXPECT_TRUE(snapshot() == before) << "files changed";
        ASSERT_EQ(0, fchmod(fd_, 0700));
        for (const auto &[name, content] : before)
            unlinkat(fd_, name.c_str(), 0);
    }
}

TEST_F(ReplacementFolderTest, ExchangeStopsOnUnknownStates) {
    ReplacementJournal j = start_replacement();
    // Both the container's name and the backup name hold the original: the
    // exchange knows no such state and must not guess.
    ASSERT_EQ(0, linkat(fd_, j.name.c_str(), fd_, j.backup.c_str(), 0));
    EXPECT_EQ(-tw::kErrChanged, tw::replacement_exchange(fd_, j));
    EXPECT_EQ(snapshot().size(), 4u);
}

// An unrelated file under the swap name, there before the exchange starts
// or appearing after its first rename: the exchange stops with the
// changed-file code, moves nothing more and deletes nothing.
TEST_F(ReplacementFolderTest, UnrelatedFileAtTheSwapNameStopsTheExchange) {
    for (bool before_start : {true, false}) {
        SCOPED_TRACE(before_start ? "there from the start" : "appears after a rename");
        // The earlier order, in which the swap name takes the original.
        ReplacementJournal j = start_replacement(true);
        if (before_start)
            write_file(j.swap, "unrelated");
        else
            rename_in(j.name, j.swap); // as if the first round had run ...
        auto before = snapshot();
        if (!before_start) {
            // ... and the original was then taken away and replaced by
            // something else under the swap name.
            rename_in(j.swap, "elsewhere.zcx");
            write_file(j.swap, "unrelated");
            before = snapshot();
        }
        EXPECT_EQ(-tw::kErrChanged, tw::replacement_exchange(fd_, j));
        EXPECT_TRUE(snapshot() == before) << "files moved or removed";
        for (const auto &[name, content] : snapshot())
            unlinkat(fd_, name.c_str(), 0);
    }
}

TEST(ReplacementJournal, RoundTripAndRejections) {
    ReplacementJournal j;
    j.name = "c.zcx";
    j.backup = "c.zcx.original-u.zcx";
    j.swap = ".openzcx-swap-u.zcx";
    j.original = {1, 2, 3, {9}};
    j.copy = {4, 5, 6, {8}};
    uint8_t good[tw::kReplacementJournalSize];
    ASSERT_EQ(0, tw::replacement_journal_encode(j, good));
    EXPECT_EQ(0, std::memcmp(good, "TKWINREP", 8));
    ReplacementJournal back;
    ASSERT_EQ(0, tw::replacement_journal_decode(good, &back));
    EXPECT_EQ(back.name, j.name);
    EXPECT_EQ(back.backup, j.backup);
    EXPECT_EQ(back.swap, j.swap);
    EXPECT_TRUE(back.original == j.original);
    EXPECT_TRUE(back.copy == j.copy);

    // Names that could leave the folder or are not names at all.
    for (const char *bad : {"", ".", "..", "a/b", "a\\b", "c:d"}) {
        ReplacementJournal k = j;
        k.swap = bad;
        uint8_t record[tw::kReplacementJournalSize];
        ASSERT_EQ(0, tw::replacement_journal_encode(k, record)) << bad;
        EXPECT_EQ(-EINVAL, tw::replacement_journal_decode(record, &back)) << bad;
    }
    ReplacementJournal too_long = j;
    too_long.name = std::string(256, 'n');
    uint8_t record[tw::kReplacementJournalSize];
    EXPECT_EQ(-EINVAL, tw::replacement_journal_encode(too_long, record));

    // Header fields and the self-check: with a valid self-check over a wrong
    // header, and with the header intact but the self-check off.
    struct Patch {
        size_t offset;
        uint8_t value;
        bool rehash;
    } patches[] = {
        {0, 'X', true}, {8, 2, true}, {12, 0x9f, true}, {900, 1, false}, {100, 7, false}};
    for (const Patch &p : patches) {
        uint8_t copy[tw::kReplacementJournalSize];
        std::memcpy(copy, good, sizeof copy);
        copy[p.offset] ^= p.value;
        if (p.rehash) {
            unsigned int n = 0;
            EVP_Digest(copy, 896, copy + 896, &n, EVP_sha256(), nullptr);
        }
        EXPECT_EQ(-EINVAL, tw::replacement_journal_decode(copy, &back)) << p.offset;
    }
    // A name field without its terminating NUL.
    uint8_t unterminated[tw::kReplacementJournalSize];
    std::memcpy(unterminated, good, sizeof unterminated);
    std::memset(unterminated + 272, 'b', 256);
    unsigned int n = 0;
    EVP_Digest(unterminated, 896, unterminated + 896, &n, EVP_sha256(), nullptr);
    EXPECT_EQ(-EINVAL, tw::replacement_journal_decode(unterminated, &back));
}

} // namespace
