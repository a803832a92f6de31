#include "container/files/file_access.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "container/tests/support/safe_files_fixture.h"
#include "runtime/errors.h"

namespace tw {
namespace {

using testing_files::Child;
using testing_files::exists;
using testing_files::read_file;
using testing_files::TempFolder;
using testing_files::write_file;

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class ContainerOpenTest : public TempFolder {
  protected:
    void SetUp() override {
        TempFolder::SetUp();
        container_ = path("disk.zcx");
        write_file(container_, "original");
    }
    void TearDown() override {
        container_file_open_set_hook_for_testing(nullptr);
        TempFolder::TearDown();
    }
    std::string container_;
};

// ---- The in-use lock between processes

struct LockCase {
    const char *name;
    int holder_mode;
    int opener_mode;
    int expected;
};

std::ostream &operator<<(std::ostream &out, const LockCase &c) {
    return out << c.name;
}

class ContainerLockTest : public ContainerOpenTest,
                          public ::testing::WithParamInterface<LockCase> {};

TEST_P(ContainerLockTest, HolderInAnotherProcess) {
    const LockCase &c = GetParam();
    std::string target = container_;
    int holder_mode = c.holder_mode;
    Child holder([&] {
        static ContainerFile held; // kept open until the child exits
        return container_file_open(target.c_str(), holder_mode, &held) == 0 ? 0 : 1;
    });
    ASSERT_EQ(holder.wait_ready(), 0);

    ContainerFile opened;
    EXPECT_EQ(container_file_open(container_.c_str(), c.opener_mode, &opened), c.expected);
    EXPECT_EQ(opened.file.valid(), c.expected == 0);
    opened.file.reset();

    // The lock belongs to the holder's open file: it goes with the process.
    holder.kill_hard();
    EXPECT_EQ(container_file_open(container_.c_str(), c.opener_mode, &opened), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ContainerLockTest,
    ::testing::Values(
        LockCase{"ReadersShare", kContainerOpenRead, kContainerOpenRead, 0},
        LockCase{"WriterRefusedByReader", kContainerOpenRead, kContainerOpenWrite, -EBUSY},
        LockCase{"ReaderRefusedByWriter", kContainerOpenWrite, kContainerOpenRead, -EBUSY},
        LockCase{"WriterRefusedByWriter", kContainerOpenWrite, kContainerOpenWrite, -EBUSY},
        LockCase{"UnlockedReaderDoesNotBlock", kContainerOpenUnlocked, kContainerOpenWrite, 0},
        LockCase{"UnlockedOpenIgnoresWriter", kContainerOpenWrite, kContainerOpenUnlocked, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ContainerOpenTest, LockStaysWhenAnotherDescriptorOfTheFileIsClosed) {
    ContainerFile writer;
    ASSERT_EQ(container_file_open(container_.c_str(), kContainerOpenWrite, &writer), 0);
    EXPECT_FALSE(writer.read_only);
    // Process-owned record locks would vanish here; the in-use lock must not.
    int other = open(container_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    close(other);
    Child reader([&] {
        ContainerFile opened;
        return -container_file_open(container_.c_str(), kContainerOpenRead, &opened);
    });
    EXPECT_EQ(reader.wait_ready(), EBUSY);
}

TEST_F(ContainerOpenTest, WriteModeFallsBackToReadOnlyWhenWritingIsRefused) {
    ASSERT_EQ(chown(container_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(container_.c_str(), 0444), 0);
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    Child unprivileged([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 90;
        ContainerFile opened;
        int result = container_file_open(container_.c_str(), kContainerOpenWrite, &opened);
        if (result != 0)
            return 91;
        if (!opened.read_only)
            return 92;
        // A read-only handle holds the shared lock: another reader may join.
        ContainerFile second;
        if (container_file_open(container_.c_str(), kContainerOpenRead, &second) != 0)
            return 93;
        return 0;
    });
    EXPECT_EQ(unprivileged.wait_ready(), 0);
}

// ---- Types that are not containers

class ContainerTypeTest : public ContainerOpenTest, public ::testing::WithParamInterface<int> {};

TEST_P(ContainerTypeTest, FolderAndFifoAreRefused) {
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &target : {root_, fifo}) {
        ContainerFile opened;
        CaptureStderr();
        EXPECT_EQ(container_file_open(target.c_str(), GetParam(), &opened), -EINVAL);
        EXPECT_EQ(GetCapturedStderr(),
                  "Error: '" + target + "' is neither a regular file nor a block device.\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ContainerTypeTest,
                         ::testing::Values(kContainerOpenUnlocked, kContainerOpenRead,
                                           kContainerOpenWrite));

TEST_F(ContainerOpenTest, MissingPathAndBadTextAreReportedAsSuch) {
    ContainerFile opened;
    EXPECT_EQ(container_file_open(path("absent.zcx").c_str(), kContainerOpenRead, &opened),
              -ENOENT);
    EXPECT_EQ(container_file_open("", kContainerOpenRead, &opened), -ENOENT);
    EXPECT_EQ(container_file_open("/tmp/\xC0\xAF.zcx", kContainerOpenRead, &opened), -EILSEQ);
    EXPECT_EQ(container_file_open(container_.c_str(), kContainerOpenReadUpgradable + 1, &opened),
              -EINVAL);
}

// ---- Replacement between open and lock

struct ReplaceScript {
    std::string container;
    std::string folder;
    int replace_attempts = 0; // replace in attempts 0 .. replace_attempts-1
    bool remove_instead = false;
    int calls = 0;
    int generation = 0;
};
ReplaceScript *script = nullptr;

void replace_between_open_and_lock(const char *, int attempt, ContainerFileOpenStage stage) {
    if (stage != ContainerFileOpenStage::before_lock)
        return;
    ++script->calls;
    if (attempt >= script->replace_attempts)
        return;
    if (script->remove_instead) {
        unlink(script->container.c_str());
        return;
    }
    std::string fresh = script->folder + "/fresh";
    write_file(fresh, "generation " + std::to_string(++script->generation));
    rename(fresh.c_str(), script->container.c_str());
}

struct ReplaceCase {
    const char *name;
    int replacements;
    bool remove_instead;
    int expected;
    int expected_calls;
    const char *expected_content; // of the opened file
};

std::ostream &operator<<(std::ostream &out, const ReplaceCase &c) {
    return out << c.name;
}

class ContainerReplaceTest : public ContainerOpenTest,
                             public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ContainerReplaceTest, PathReplacedBeforeTheLock) {
    const ReplaceCase &c = GetParam();
    for (int mode : {kContainerOpenRead, kContainerOpenWrite}) {
        write_file(container_, "original");
        ReplaceScript run{container_, root_, c.replacements, c.remove_instead};
        script = &run;
        container_file_open_set_hook_for_testing(replace_between_open_and_lock);
        ContainerFile opened;
        CaptureStderr();
        int result = container_file_open(container_.c_str(), mode, &opened);
        std::string errors = GetCapturedStderr();
        container_file_open_set_hook_for_testing(nullptr);
        script = nullptr;

        EXPECT_EQ(result, c.expected) << "mode " << mode;
        EXPECT_EQ(run.calls, c.expected_calls);
        if (c.expected == -EAGAIN)
            EXPECT_EQ(errors,
                      "Error: '" + container_ + "' keeps being replaced while opening it.\n");
        else
            EXPECT_EQ(errors, "");
        if (result == 0 && c.expected == 0) {
            // The handle is the file the path names now, and it is locked.
            FileStatus named;
            ASSERT_EQ(file_status_path(container_.c_str(), true, &named), 0);
            EXPECT_EQ(opened.status.identity, named.identity);
            EXPECT_EQ(read_file(container_), c.expected_content);
            FileHandle other(open(container_.c_str(), O_RDONLY | O_CLOEXEC));
            EXPECT_EQ(file_lock_test(other.get(), true), -EWOULDBLOCK);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContainerReplaceTest,
    ::testing::Values(ReplaceCase{"NotReplaced", 0, false, 0, 1, "original"},
                      ReplaceCase{"ReplacedOnce", 1, false, 0, 2, "generation 1"},
                      ReplaceCase{"ReplacedFourTimesThenStable", 4, false, 0, 5, "generation 4"},
                      ReplaceCase{"ReplacedAtEveryAttempt", 5, false, -EAGAIN, 5, nullptr},
                      ReplaceCase{"RemovedMeanwhile", 1, true, -ENOENT, 1, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ContainerOpenTest, LockConflictOnAReplacedFileIsRetried) {
    // A writer holds the old file; the path then names a new file. The new
    // file is free, so the open must succeed instead of reporting busy.
    std::string target = container_;
    Child writer([&] {
        static ContainerFile held;
        return container_file_open(target.c_str(), kContainerOpenWrite, &held) == 0 ? 0 : 1;
    });
    ASSERT_EQ(writer.wait_ready(), 0);
    ContainerFile opened;
    EXPECT_EQ(container_file_open(container_.c_str(), kContainerOpenRead, &opened), -EBUSY);

    ReplaceScript run{container_, root_, 1, false};
    script = &run;
    container_file_open_set_hook_for_testing(replace_between_open_and_lock);
    EXPECT_EQ(container_file_open(container_.c_str(), kContainerOpenRead, &opened), 0);
    container_file_open_set_hook_for_testing(nullptr);
    script = nullptr;
    EXPECT_EQ(run.calls, 2);
    EXPECT_EQ(read_file(container_), "generation 1");
}

// ---- A file deleted while it is being opened

std::string *deleted_path = nullptr;

void delete_after_check(const char *, int, ContainerFileOpenStage stage) {
    if (stage == ContainerFileOpenStage::after_check)
        unlink(deleted_path->c_str());
}

TEST_F(ContainerOpenTest, DeletedFileIsOnlyOpenedForReading) {
    deleted_path = &container_;
    container_file_open_set_hook_for_testing(delete_after_check);

    ContainerFile writer;
    CaptureStderr();
    EXPECT_EQ(container_file_open(container_.c_str(), kContainerOpenWrite, &writer), -kErrChanged);
    EXPECT_EQ(GetCapturedStderr(), "Error: '" + container_ +
                                       "' is a deleted file; changes to it would be lost. Use "
                                       "-r to read it.\n");
    EXPECT_FALSE(writer.file.valid());

    write_file(container_, "again");
    ContainerFile reader;
    CaptureStderr();
    EXPECT_EQ(container_file_open(container_.c_str(), kContainerOpenRead, &reader), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(reader.status.links, 0u);
    container_file_open_set_hook_for_testing(nullptr);
}

// ---- Sidecars

TEST_F(ContainerOpenTest, SidecarCheck) {
    EXPECT_EQ(sidecar_check(container_.c_str()), 0);
    for (const char *suffix : {".idx", ".openzcx-journal"}) {
        std::string sidecar = container_ + suffix;
        write_file(sidecar, "");
        EXPECT_EQ(sidecar_check(container_.c_str()), -kErrChanged) << suffix;
        unlink(sidecar.c_str());
        // A dangling link is still a name that is there.
        ASSERT_EQ(symlink("nowhere", sidecar.c_str()), 0);
        EXPECT_EQ(sidecar_check(container_.c_str()), -kErrChanged) << suffix;
        unlink(sidecar.c_str());
    }
    EXPECT_EQ(sidecar_check((container_ + "/inside").c_str()), -ENOTDIR);
    std::string long_path = "/" + std::string(4127 - 17, 'a');
    EXPECT_EQ(sidecar_check(long_path.c_str()), -ENAMETOOLONG);
}

// ---- Names

TEST(NameHelpers, Utf8PrefixNeverSplitsACharacter) {
    struct Case {
        const char *text;
        size_t limit;
        size_t expected;
    } cases[] = {
        {"abcdef", 4, 4},
        {"abc", 10, 3},
        {"ab\xC3\xA9", 3, 2},
        {"ab\xC3\xA9", 4, 4},
        {"a\xF0\x9F\x98\x80", 3, 1},
        {"a\xF0\x9F\x98\x80x", 5, 5},
        {"\xE2\x82\xAC", 0, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(utf8_prefix_length(c.text, c.limit), c.expected) << c.text << " " << c.limit;
}

TEST(NameHelpers, Random48BitStaysInRangeAndVaries) {
    std::set<uint64_t> seen;
    for (int i = 0; i < 64; ++i) {
        uint64_t value = random_48bit();
        EXPECT_LT(value, uint64_t{1} << 48);
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 60u);
}

} // namespace
} // namespace tw
