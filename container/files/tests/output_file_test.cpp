#include "container/files/output_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <linux/fs.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "container/files/file_access.h"
#include "container/tests/support/safe_files_fixture.h"
#include "runtime/errors.h"

namespace tw {
namespace {

using testing_files::Child;
using testing_files::exists;
using testing_files::folder_names;
using testing_files::read_file;
using testing_files::TempFolder;
using testing_files::write_file;

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Names = std::set<std::string>;

const std::string kPayload(100000, 'p');

bool write_all(int fd, const std::string &data) {
    return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

// True when `name` is PREFIX, 12 lower-case hexadecimal digits, SUFFIX.
bool numbered_name(const std::string &name, const std::string &prefix, const std::string &suffix) {
    if (name.size() != prefix.size() + 12 + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix))
        return false;
    return name.substr(prefix.size(), 12).find_first_not_of("0123456789abcdef") ==
           std::string::npos;
}

// Which kind of temporary the export gets: the unnamed file, or the named
// fallback of filesystems without unnamed files.
enum class Temporary { unnamed, named };

std::ostream &operator<<(std::ostream &out, Temporary t) {
    return out << (t == Temporary::unnamed ? "unnamed" : "named");
}

class OutputTest : public TempFolder {
  protected:
    void SetUp() override {
        TempFolder::SetUp();
        source_path_ = path("disk.zcx");
        output_path_ = path("out.zcx");
        write_file(source_path_, "source data");
        ASSERT_EQ(container_file_open(source_path_.c_str(), kContainerOpenRead, &source_), 0);
    }
    void TearDown() override {
        file_set_facility_faults_for_testing({});
        source_.file.reset();
        TempFolder::TearDown();
    }
    void use_temporary(Temporary kind) {
        FileFacilityFaults faults;
        faults.no_unnamed_files = kind == Temporary::named;
        file_set_facility_faults_for_testing(faults);
    }
    int source() const { return source_.file.get(); }
    // Opens an output for `output_path_` and writes the payload into it.
    void open_and_write(bool private_output, OutputFile *out) {
        ASSERT_EQ(output_open(source(), output_path_.c_str(), private_output, out), 0);
        ASSERT_TRUE(write_all(out->file.get(), kPayload));
    }
    // Publishes and returns the result with what was printed.
    std::pair<int, std::string> publish(OutputFile *out, int status = 0,
                                        const PublishCallbacks *callbacks = nullptr) {
        CaptureStderr();
        int result = output_publish(source(), output_path_.c_str(), out, status, callbacks);
        return {result, GetCapturedStderr()};
    }

    std::string source_path_;
    std::string output_path_;
    ContainerFile source_;
};

// ---- Refusals when opening

struct RefusalCase {
    const char *name;
    // Prepares the folder and returns the output path relative to it.
    std::string (*prepare)(const std::string &root);
    int expected;
    const char *message; // "%s" stands for the output path; empty for none
};

std::ostream &operator<<(std::ostream &out, const RefusalCase &c) {
    return out << c.name;
}

class OutputRefusalTest : public OutputTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(OutputRefusalTest, RefusedForExportsAndReencodedOutputs) {
    const RefusalCase &c = GetParam();
    std::string output = c.prepare(root_);
    std::string expected_message = c.message;
    if (size_t at = expected_message.find("%s"); at != std::string::npos)
        expected_message.replace(at, 2, output);
    Names before = folder_names(root_);
    for (bool private_output : {false, true}) {
        OutputFile out;
        CaptureStderr();
        EXPECT_EQ(output_open(source(), output.c_str(), private_output, &out), c.expected)
            << "private " << private_output;
        EXPECT_EQ(GetCapturedStderr(), expected_message);
        EXPECT_FALSE(out.file.valid());
        EXPECT_EQ(folder_names(root_), before);
        EXPECT_EQ(read_file(root_ + "/disk.zcx"), "source data");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputRefusalTest,
    ::testing::Values(
        RefusalCase{"HardLinkToSource",
                    [](const std::string &root) {
                        link((root + "/disk.zcx").c_str(), (root + "/alias.zcx").c_str());
                        return root + "/alias.zcx";
                    },
                    -EINVAL, "Error: '%s' is the source container itself.\n"},
        RefusalCase{"DotSlashPrefix", [](const std::string &root) { return root + "/./disk.zcx"; },
                    -EINVAL, "Error: '%s' is the source container itself.\n"},
        RefusalCase{"SymbolicLinkToSource",
                    [](const std::string &root) {
                        symlink("disk.zcx", (root + "/link.zcx").c_str());
                        return root + "/link.zcx";
                    },
                    -EINVAL, "Error: '%s' is the source container itself.\n"},
        RefusalCase{"Folder",
                    [](const std::string &root) {
                        mkdir((root + "/sub").c_str(), 0700);
                        return root + "/sub";
                    },
                    -EINVAL, "Error: '%s' is not a regular file.\n"},
        RefusalCase{"Fifo",
                    [](const std::string &root) {
                        mkfifo((root + "/fifo").c_str(), 0600);
                        return root + "/fifo";
                    },
                    -EINVAL, "Error: '%s' is not a regular file.\n"},
        RefusalCase{"EmptyFinalName", [](const std::string &root) { return root + "/absent/"; },
                    -EISDIR, ""},
        RefusalCase{"FinalNameTooLong",
                    [](const std::string &root) { return root + "/" + std::string(256, 'n'); },
                    -ENAMETOOLONG, ""},
        RefusalCase{"MissingFolder",
                    [](const std::string &root) { return root + "/absent/out.zcx"; }, -ENOENT, ""}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Exports

class ExportTest : public OutputTest, public ::testing::WithParamInterface<Temporary> {};

TEST_P(ExportTest, TemporaryIsHiddenUntilPublished) {
    use_temporary(GetParam());
    OutputFile out;
    open_and_write(false, &out);
    Names during = folder_names(root_);
    if (GetParam() == Temporary::unnamed) {
        EXPECT_TRUE(out.hidden_temporary);
        EXPECT_EQ(during, Names({"disk.zcx"}));
    } else {
        EXPECT_FALSE(out.hidden_temporary);
        ASSERT_EQ(during.size(), 2u);
        EXPECT_TRUE(numbered_name(out.temporary_name, ".out.zcx.", "")) << out.temporary_name;
        EXPECT_TRUE(during.count(out.temporary_name));
    }
    struct stat st;
    ASSERT_EQ(fstat(out.file.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    struct Seen {
        std::string phase;
        uint64_t done = 9, total = 9;
    } seen;
    PublishCallbacks callbacks;
    callbacks.context = &seen;
    callbacks.progress = [](void *context, const char *phase, uint64_t done, uint64_t total) {
        auto *s = static_cast<Seen *>(context);
        s->phase = phase;
        s->done = done;
        s->total = total;
    };
    auto [result, errors] = publish(&out, 0, &callbacks);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errors, "");
    EXPECT_EQ(seen.phase, "publishing");
    EXPECT_EQ(seen.done, 0u);
    EXPECT_EQ(seen.total, 1u);
    EXPECT_TRUE(read_file(output_path_) == kPayload);
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx", "out.zcx"}));
    EXPECT_FALSE(out.file.valid());
    EXPECT_EQ(output_remove_registered(), 0);
}

TEST_P(ExportTest, FailedCancelledOrDiscardedWritingLeavesNothing) {
    use_temporary(GetParam());
    PublishCallbacks cancelled;
    cancelled.cancelled = [](void *) { return true; };
    struct Case {
        const char *name;
        int status;
        const PublishCallbacks *callbacks;
        bool discard;
        int expected;
    } cases[] = {
        {"WritingFailed", -EIO, nullptr, false, -EIO},
        {"Cancelled", 0, &cancelled, false, -ECANCELED},
        {"Discarded", 0, nullptr, true, 0},
    };
    for (const Case &c : cases) {
        OutputFile out;
        open_and_write(false, &out);
        if (c.discard) {
            output_discard(&out);
        } else {
            auto [result, errors] = publish(&out, c.status, c.callbacks);
            EXPECT_EQ(result, c.expected) << c.name;
            EXPECT_EQ(errors, "") << c.name;
        }
        EXPECT_EQ(folder_names(root_), Names({"disk.zcx"})) << c.name;
        EXPECT_EQ(output_remove_registered(), 0) << c.name;
    }
}

// A name that appears while the output is written.
struct AppearCase {
    const char *name;
    // Creates the file under the final name; may start a child that holds it.
    void (*appear)(const std::string &root, std::unique_ptr<Child> *holder);
    int expected;
    const char *message;       // "%s" stands for the output path
    const char *final_content; // what the final name holds afterwards
};

std::ostream &operator<<(std::ostream &out, const AppearCase &c) {
    return out << c.name;
}

void hold_locked(const std::string &path, int mode, std::unique_ptr<Child> *holder) {
    *holder = std::make_unique<Child>([path, mode] {
        static ContainerFile held;
        return container_file_open(path.c_str(), mode, &held) == 0 ? 0 : 1;
    });
    ASSERT_EQ((*holder)->wait_ready(), 0);
}

class AppearTest : public OutputTest,
                   public ::testing::WithParamInterface<std::tuple<AppearCase, Temporary>> {};

TEST_P(AppearTest, ExistingNameIsMovedAsideOnlyWhenFree) {
    const auto &[c, temporary] = GetParam();
    use_temporary(temporary);
    OutputFile out;
    open_and_write(false, &out);
    std::unique_ptr<Child> holder;
    c.appear(root_, &holder);
    Names before = folder_names(root_);
    if (temporary == Temporary::named)
        before.erase(out.temporary_name);

    auto [result, errors] = publish(&out);
    std::string message = c.message;
    if (size_t at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, output_path_);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(errors, message);
    EXPECT_TRUE(read_file(output_path_) == (c.final_content ? c.final_content : kPayload))
        << read_file(output_path_).substr(0, 40);
    // No temporary and no backup is left behind, whatever happened.
    Names after = folder_names(root_);
    if (result == 0)
        after.erase("out.zcx"), before.erase("out.zcx");
    EXPECT_EQ(after, before);
    EXPECT_EQ(output_remove_registered(), 0);
    EXPECT_EQ(read_file(source_path_), "source data");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppearTest,
    ::testing::Combine(
        ::testing::Values(AppearCase{"NothingAppeared",
                                     [](const std::string &, std::unique_ptr<Child> *) {}, 0, "",
                                     nullptr},
                          AppearCase{"UnlockedRegularFile",
                                     [](const std::string &root, std::unique_ptr<Child> *) {
                                         write_file(root + "/out.zcx", "old");
                                     },
                                     0, "", nullptr},
                          AppearCase{"SharedLockOfAMount",
                                     [](const std::string &root, std::unique_ptr<Child> *holder) {
                                         write_file(root + "/out.zcx", "old");
                                         hold_locked(root + "/out.zcx", kContainerOpenRead, holder);
                                     },
                                     -EBUSY,
                                     "Error: '%s' is in use (mounted or being converted); not "
                                     "replacing it.\n",
                                     "old"},
                          AppearCase{"ExclusiveLockOfAConversion",
                                     [](const std::string &root, std::unique_ptr<Child> *holder) {
                                         write_file(root + "/out.zcx", "old");
                                         hold_locked(root + "/out.zcx", kContainerOpenWrite,
                                                     holder);
                                     },
                                     -EBUSY,
                                     "Error: '%s' is in use (mounted or being converted); not "
                                     "replacing it.\n",
                                     "old"},
                          AppearCase{"Folder",
                                     [](const std::string &root, std::unique_ptr<Child> *) {
                                         mkdir((root + "/out.zcx").c_str(), 0700);
                                     },
                                     -EINVAL, "Error: '%s' is not a regular file.\n", ""},
                          AppearCase{"SymbolicLink",
                                     [](const std::string &root, std::unique_ptr<Child> *) {
                                         write_file(root + "/elsewhere", "kept");
                                         symlink("elsewhere", (root + "/out.zcx").c_str());
                                     },
                                     0, "", nullptr},
                          AppearCase{"DanglingSymbolicLink",
                                     [](const std::string &root, std::unique_ptr<Child> *) {
                                         symlink("nowhere", (root + "/out.zcx").c_str());
                                     },
                                     -ENOENT,
                                     "Error: cannot check whether '%s' is in use: No such file or "
                                     "directory\n",
                                     "<missing>"},
                          AppearCase{"HardLinkOfTheSource",
                                     [](const std::string &root, std::unique_ptr<Child> *) {
                                         link((root + "/disk.zcx").c_str(),
                                              (root + "/out.zcx").c_str());
                                     },
                                     -EINVAL, "Error: '%s' is the source container itself.\n",
                                     "source data"}),
        ::testing::Values(Temporary::unnamed, Temporary::named)),
    [](const auto &info) {
        std::ostringstream name;
        name << std::get<0>(info.param).name << "_" << std::get<1>(info.param);
        return name.str();
    });

TEST_P(ExportTest, TemporaryIsGoneAfterACrash) {
    use_temporary(GetParam());
    std::string output = output_path_;
    int source_fd = source();
    Child writer([output, source_fd] {
        static OutputFile out;
        if (output_open(source_fd, output.c_str(), false, &out) != 0)
            return 1;
        for (int i = 0; i < 20; ++i)
            if (!write_all(out.file.get(), kPayload))
                return 2;
        return 0;
    });
    ASSERT_EQ(writer.wait_ready(), 0);
    writer.kill_hard();
    Names after = folder_names(root_);
    EXPECT_FALSE(after.count("out.zcx"));
    if (GetParam() == Temporary::unnamed) {
        EXPECT_EQ(after, Names({"disk.zcx"}));
    } else {
        // Without unnamed files a crash leaves the hidden named temporary;
        // it never carries the final name.
        EXPECT_EQ(after.size(), 2u);
    }
}

TEST_F(OutputTest, RegisteredTemporaryRemovedFromAnotherThreadWhileWriting) {
    use_temporary(Temporary::named);
    OutputFile out;
    ASSERT_EQ(output_open(source(), output_path_.c_str(), false, &out), 0);
    std::atomic<bool> writing{true};
    std::atomic<int> removed{0};
    std::thread canceller([&] {
        while (writing.load() && removed.load() == 0)
            removed += output_remove_registered();
    });
    for (int i = 0; i < 50 && removed.load() == 0; ++i)
        ASSERT_TRUE(write_all(out.file.get(), kPayload));
    writing = false;
    canceller.join();
    removed += output_remove_registered();
    EXPECT_EQ(removed.load(), 1);
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx"}));

    auto [result, errors] = publish(&out);
    EXPECT_EQ(result, -ENOENT);
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx"}));
}

INSTANTIATE_TEST_SUITE_P(Temporaries, ExportTest,
                         ::testing::Values(Temporary::unnamed, Temporary::named),
                         [](const auto &info) {
                             std::ostringstream name;
                             name << info.param;
                             return name.str();
                         });

// ---- Filesystems without the facilities that make publishing safe

TEST_F(OutputTest, WithoutNoReplaceRenameOrHardLinksNothingIsOverwritten) {
    FileFacilityFaults faults;
    faults.no_unnamed_files = true;
    faults.no_rename_noreplace = true;
    faults.no_hard_links = true;
    std::string message = "Error: this filesystem can't put '" + output_path_ +
                          "' in place without risking replacing another file (no "
                          "RENAME_NOREPLACE, no hard links); write the output to another "
                          "filesystem.\n";
    for (bool existing : {false, true}) {
        if (existing)
            write_file(output_path_, "old");
        file_set_facility_faults_for_testing(faults);
        OutputFile out;
        open_and_write(false, &out);
        auto [result, errors] = publish(&out);
        EXPECT_EQ(result, -ENOTSUP);
        EXPECT_EQ(errors, message);
        EXPECT_EQ(read_file(output_path_), existing ? "old" : "<missing>");
        EXPECT_EQ(folder_names(root_),
                  existing ? Names({"disk.zcx", "out.zcx"}) : Names({"disk.zcx"}));
    }
}

TEST_F(OutputTest, WithoutNoReplaceRenameHardLinksStandIn) {
    FileFacilityFaults faults;
    faults.no_unnamed_files = true;
    faults.no_rename_noreplace = true;
    file_set_facility_faults_for_testing(faults);
    for (bool existing : {false, true}) {
        if (existing)
            write_file(output_path_, "old");
        OutputFile out;
        open_and_write(false, &out);
        auto [result, errors] = publish(&out);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(errors, "");
        EXPECT_TRUE(read_file(output_path_) == kPayload);
        EXPECT_EQ(folder_names(root_), Names({"disk.zcx", "out.zcx"}));
        unlink(output_path_.c_str());
    }
}

TEST_F(OutputTest, RenameNoReplace) {
    struct Case {
        const char *name;
        FileFacilityFaults faults;
        bool target_exists;
        bool source_exists;
        int expected;
    } cases[] = {
        {"Native", {}, false, true, 0},
        {"NativeTargetExists", {}, true, true, -EEXIST},
        {"NativeSourceMissing", {}, false, false, -ENOENT},
        {"LinkFallback", {true, false, false}, false, true, 0},
        {"LinkFallbackTargetExists", {true, false, false}, true, true, -EEXIST},
        {"NeitherFacility", {true, true, false}, false, true, -ENOTSUP},
    };
    FileHandle dir(directory_open(root_.c_str()));
    ASSERT_TRUE(dir.valid());
    for (const Case &c : cases) {
        unlink(path("a").c_str());
        unlink(path("b").c_str());
        if (c.source_exists)
            write_file(path("a"), "a");
        if (c.target_exists)
            write_file(path("b"), "b");
        file_set_facility_faults_for_testing(c.faults);
        EXPECT_EQ(rename_noreplace(dir.get(), "a", "b"), c.expected) << c.name;
        file_set_facility_faults_for_testing({});
        bool moved = c.expected == 0;
        EXPECT_EQ(read_file(path("a")), moved || !c.source_exists ? "<missing>" : "a") << c.name;
        EXPECT_EQ(read_file(path("b")), moved ? "a" : (c.target_exists ? "b" : "<missing>"))
            << c.name;
    }
}

// In an append-only folder names can be added but not removed: the
// messages that name files left behind can be seen for real.
bool set_append_only(const std::string &path, bool on) {
    FileHandle dir(directory_open(path.c_str()));
    int flags = 0;
    if (!dir.valid() || ioctl(dir.get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    return ioctl(dir.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

// Switches the folder back to normal when the test ends, also on failure.
class AppendOnlyFolder {
  public:
    explicit AppendOnlyFolder(const std::string &path) : path_(path) {}
    ~AppendOnlyFolder() { set(false); }
    bool set(bool on) { return set_append_only(path_, on); }

  private:
    std::string path_;
};

TEST_F(OutputTest, NamesThatCannotBeRemovedAreReported) {
    AppendOnlyFolder append_only(root_);
    {
        // Without RENAME_NOREPLACE the new name is linked first; then neither
        // name can go.
        write_file(path("a"), "a");
        FileFacilityFaults faults;
        faults.no_rename_noreplace = true;
        file_set_facility_faults_for_testing(faults);
        if (!append_only.set(true))
            GTEST_SKIP() << "no append-only folders on this filesystem";
        FileHandle dir(directory_open(root_.c_str()));
        CaptureStderr();
        EXPECT_EQ(rename_noreplace(dir.get(), "a", "b"), -EPERM);
        EXPECT_EQ(GetCapturedStderr(),
                  "Error: 'a' is now also 'b' in the same directory, and neither name could be "
                  "removed (Operation not permitted); remove the one you don't want by hand.\n");
        ASSERT_TRUE(append_only.set(false));
        file_set_facility_faults_for_testing({});
        unlink(path("a").c_str());
        unlink(path("b").c_str());
    }
    use_temporary(Temporary::named);
    for (bool discard : {false, true}) {
        OutputFile out;
        open_and_write(false, &out);
        std::string temporary = out.temporary_name;
        std::string message = "Error: could not remove the temporary file '" + temporary +
                              "' next to the output (Operation not permitted); it holds the "
                              "output's data, remove it by hand.\n";
        ASSERT_TRUE(append_only.set(true));
        if (discard) {
            CaptureStderr();
            output_discard(&out);
            EXPECT_EQ(GetCapturedStderr(), message);
        } else {
            // The writing failed: its error stays the result.
            auto [result, errors] = publish(&out, -ENOSPC);
            EXPECT_EQ(result, -ENOSPC);
            EXPECT_EQ(errors, message);
        }
        ASSERT_TRUE(append_only.set(false));
        EXPECT_EQ(folder_names(root_), Names({"disk.zcx", temporary}));
        EXPECT_EQ(output_remove_registered(), 0);
        unlink(path(temporary).c_str());
    }
    {
        // A publish that failed for another reason and could not clean up.
        OutputFile out;
        open_and_write(false, &out);
        std::string temporary = out.temporary_name;
        ASSERT_TRUE(append_only.set(true));
        write_file(output_path_, "appeared");
        FileFacilityFaults faults;
        faults.no_unnamed_files = true;
        faults.no_rename_noreplace = true;
        faults.no_hard_links = true;
        file_set_facility_faults_for_testing(faults);
        auto [result, errors] = publish(&out);
        EXPECT_EQ(result, -ENOTSUP);
        EXPECT_EQ(errors, "Error: this filesystem can't put '" + output_path_ +
                              "' in place without risking replacing another file (no "
                              "RENAME_NOREPLACE, no hard links); write the output to another "
                              "filesystem.\nError: could not remove the temporary file '" +
                              temporary +
                              "' next to the output (Operation not permitted); it holds the "
                              "output's data, remove it by hand.\n");
        ASSERT_TRUE(append_only.set(false));
        EXPECT_EQ(read_file(output_path_), "appeared");
    }
}

// ---- Races with other programs while publishing

struct RaceContext {
    std::string root;
    std::string output;
};
RaceContext *race = nullptr;

struct RaceCase {
    const char *name;
    bool previous_exists;
    PublishHook hook;
    int expected;
    // Lines expected on standard error; "%s" is the output path, "%b" the
    // backup name found in the folder afterwards.
    const char *messages;
    const char *final_content;  // null: the payload
    const char *backup_content; // null: no backup left
};

std::ostream &operator<<(std::ostream &out, const RaceCase &c) {
    return out << c.name;
}

class PublishRaceTest : public OutputTest,
                        public ::testing::WithParamInterface<std::tuple<RaceCase, Temporary>> {
  protected:
    void TearDown() override {
        output_set_publish_hook_for_testing(nullptr);
        set_append_only(root_, false);
        race = nullptr;
        OutputTest::TearDown();
    }
};

TEST_P(PublishRaceTest, OtherProgramsChangeTheFinalName) {
    const auto &[c, temporary] = GetParam();
    use_temporary(temporary);
    if (c.previous_exists)
        write_file(output_path_, "old");
    OutputFile out;
    open_and_write(false, &out);
    RaceContext context{root_, output_path_};
    race = &context;
    output_set_publish_hook_for_testing(c.hook);
    auto [result, errors] = publish(&out);
    output_set_publish_hook_for_testing(nullptr);
    set_append_only(root_, false);

    std::string backup;
    for (const std::string &name : folder_names(root_))
        if (name.starts_with(".out.zcx.") && name.ends_with(".old"))
            backup = name;
    std::string expected = c.messages;
    for (size_t at; (at = expected.find("%s")) != std::string::npos;)
        expected.replace(at, 2, output_path_);
    for (size_t at; (at = expected.find("%b")) != std::string::npos;)
        expected.replace(at, 2, backup);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(errors, expected);
    EXPECT_TRUE(read_file(output_path_) == (c.final_content ? c.final_content : kPayload))
        << read_file(output_path_).substr(0, 40);
    if (c.backup_content)
        EXPECT_EQ(read_file(path(backup)), c.backup_content);
    else
        EXPECT_EQ(backup, "");
    Names expected_names = {"disk.zcx", "out.zcx"};
    if (c.backup_content)
        expected_names.insert(backup);
    EXPECT_EQ(folder_names(root_), expected_names);
}

void write_final(const char *output_path, const char *content) {
    std::string fresh = race->root + "/fresh";
    write_file(fresh, content);
    rename(fresh.c_str(), output_path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishRaceTest,
    ::testing::Combine(
        ::testing::Values(
            RaceCase{"NameAppearsBeforePuttingInPlace", false,
                     [](const char *output, PublishStage stage) {
                         if (stage == PublishStage::before_put_in_place)
                             write_final(output, "intruder");
                     },
                     -EBUSY,
                     "Error: '%s' appeared while the output was written; not replacing it.\n",
                     "intruder", nullptr},
            RaceCase{"PreviousSwappedBeforeMovingAside", true,
                     [](const char *output, PublishStage stage) {
                         if (stage == PublishStage::before_move_aside)
                             write_final(output, "swapped");
                     },
                     -EBUSY,
                     "Error: '%s' changed while the output was written; not replacing it.\n",
                     "swapped", nullptr},
            RaceCase{"NameAppearsAfterMovingAside", true,
                     [](const char *output, PublishStage stage) {
                         if (stage == PublishStage::before_put_in_place)
                             write_final(output, "intruder");
                     },
                     -EBUSY,
                     "Error: '%s' appeared while the output was written; not replacing it.\n"
                     "Error: the previous '%s' is now '%b' in the same directory.\n",
                     "intruder", "old"}),
        ::testing::Values(Temporary::unnamed, Temporary::named)),
    [](const auto &info) {
        std::ostringstream name;
        name << std::get<0>(info.param).name << "_" << std::get<1>(info.param);
        return name.str();
    });

TEST_F(OutputTest, PreviousThatCannotBeRemovedIsNamed) {
    // The unnamed temporary can still be linked into an append-only folder,
    // but the moved-aside previous file cannot be removed from it.
    AppendOnlyFolder cleared_at_end(root_);
    write_file(output_path_, "old");
    OutputFile out;
    open_and_write(false, &out);
    ASSERT_TRUE(out.hidden_temporary);
    RaceContext context{root_, output_path_};
    race = &context;
    output_set_publish_hook_for_testing([](const char *, PublishStage stage) {
        if (stage == PublishStage::before_put_in_place)
            set_append_only(race->root, true);
    });
    auto [result, errors] = publish(&out);
    output_set_publish_hook_for_testing(nullptr);
    race = nullptr;
    set_append_only(root_, false);
    std::string backup;
    for (const std::string &name : folder_names(root_))
        if (name.ends_with(".old"))
            backup = name;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errors, "Error: '" + output_path_ +
                          "' is in place, but the previous one couldn't be removed and is still '" +
                          backup + "' in the same directory: Operation not permitted.\n");
    EXPECT_TRUE(read_file(output_path_) == kPayload);
    EXPECT_EQ(read_file(path(backup)), "old");
}

TEST_F(OutputTest, SourceThatCannotBeCheckedStopsPublishing) {
    write_file(output_path_, "old");
    OutputFile out;
    open_and_write(false, &out);
    const int closed = 1 << 20; // never a valid descriptor here
    CaptureStderr();
    EXPECT_EQ(output_publish(closed, output_path_.c_str(), &out, 0, nullptr), -EBADF);
    EXPECT_EQ(GetCapturedStderr(), "Error: cannot check whether '" + output_path_ +
                                       "' is the source container: Bad file descriptor\n");
    EXPECT_EQ(read_file(output_path_), "old");
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx", "out.zcx"}));
}

// ---- Re-encoded containers

TEST_F(OutputTest, ReencodedOutputUsesARegisteredPartialFile) {
    OutputFile out;
    open_and_write(true, &out);
    EXPECT_TRUE(out.no_replace);
    EXPECT_TRUE(numbered_name(out.temporary_name, ".openzcx-rekey-out.zcx.", ".partial"))
        << out.temporary_name;
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx", out.temporary_name}));
    auto [result, errors] = publish(&out);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(read_file(output_path_) == kPayload);
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx", "out.zcx"}));
    EXPECT_EQ(output_remove_registered(), 0);
}

TEST_F(OutputTest, ReencodedOutputNeverReplaces) {
    write_file(output_path_, "old");
    OutputFile out;
    EXPECT_EQ(output_open(source(), output_path_.c_str(), true, &out), -EEXIST);
    unlink(output_path_.c_str());

    open_and_write(true, &out);
    write_file(output_path_, "appeared");
    auto [result, errors] = publish(&out);
    EXPECT_EQ(result, -EEXIST);
    EXPECT_EQ(read_file(output_path_), "appeared");
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx", "out.zcx"}));
}

TEST_F(OutputTest, ReencodedTemporaryNameIsCutAtACharacter) {
    // 100 two-byte characters: 200 bytes, cut to 180 bytes = 90 characters.
    std::string final_name;
    for (int i = 0; i < 100; ++i)
        final_name += "\xC3\xA9";
    output_path_ = path(final_name);
    OutputFile out;
    ASSERT_EQ(output_open(source(), output_path_.c_str(), true, &out), 0);
    std::string temporary = out.temporary_name;
    EXPECT_EQ(temporary.substr(0, 15), ".openzcx-rekey-");
    EXPECT_EQ(temporary.substr(15, 181), final_name.substr(0, 180) + ".");
    EXPECT_EQ(temporary.size(), 15 + 180 + 1 + 12 + 8);
    output_discard(&out);
    EXPECT_EQ(folder_names(root_), Names({"disk.zcx"}));
}

struct TrustCase {
    const char *name;
    mode_t mode;
    uid_t owner;
    int expected;
};

std::ostream &operator<<(std::ostream &out, const TrustCase &c) {
    return out << c.name;
}

class FolderTrustTest : public OutputTest, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(FolderTrustTest, ReencodedOutputNeedsATrustedFolder) {
    const TrustCase &c = GetParam();
    std::string folder = path("dest");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.mode), 0);
    // Owner 0 in the table stands for the user running the test; giving the
    // folder to another user needs root.
    uid_t owner = c.owner == 0 ? geteuid() : c.owner;
    if (owner != geteuid() && geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    ASSERT_EQ(chown(folder.c_str(), owner, getegid()), 0);
    output_path_ = folder + "/out.zcx";
    OutputFile out;
    EXPECT_EQ(output_open(source(), output_path_.c_str(), true, &out), c.expected);
    EXPECT_EQ(folder_names(folder).size(), c.expected == 0 ? 1u : 0u);
    output_discard(&out);
    EXPECT_EQ(folder_names(folder).size(), 0u);
    // Exports do not depend on the folder's permissions.
    ASSERT_EQ(output_open(source(), output_path_.c_str(), false, &out), 0);
    output_discard(&out);
}

INSTANTIATE_TEST_SUITE_P(Cases, FolderTrustTest,
                         ::testing::Values(TrustCase{"Private", 0700, 0, 0},
                                           TrustCase{"ReadableByAll", 0755, 0, 0},
                                           TrustCase{"GroupWritable", 0770, 0, -EACCES},
                                           TrustCase{"OthersWritable", 0707, 0, -EACCES},
                                           TrustCase{"Sticky", 01777, 0, -EACCES},
                                           TrustCase{"OwnedByAnotherUser", 0700, 12345, -EACCES}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Checking the output before publishing

TEST_F(OutputTest, UnchangedDetectsChangesAfterWriting) {
    struct Case {
        const char *name;
        Temporary temporary;
        void (*change)(OutputTest *test, OutputFile *out);
    } cases[] = {
        {"Nothing", Temporary::unnamed, [](OutputTest *, OutputFile *) {}},
        {"NothingNamed", Temporary::named, [](OutputTest *, OutputFile *) {}},
        {"Appended", Temporary::unnamed,
         [](OutputTest *, OutputFile *out) { ASSERT_TRUE(write_all(out->file.get(), "x")); }},
        {"TemporaryRenamed", Temporary::named,
         [](OutputTest *test, OutputFile *out) {
             std::string from = test->path(std::string("dest/") + out->temporary_name);
             ASSERT_EQ(rename(from.c_str(), test->path("elsewhere").c_str()), 0);
         }},
        {"TemporaryReplaced", Temporary::named,
         [](OutputTest *test, OutputFile *out) {
             std::string name = test->path(std::string("dest/") + out->temporary_name);
             unlink(name.c_str());
             write_file(name, kPayload);
         }},
        {"FolderReplaced", Temporary::unnamed,
         [](OutputTest *test, OutputFile *) {
             ASSERT_EQ(rename(test->path("dest").c_str(), test->path("old-dest").c_str()), 0);
             ASSERT_EQ(mkdir(test->path("dest").c_str(), 0700), 0);
         }},
    };
    for (const Case &c : cases) {
        use_temporary(c.temporary);
        std::filesystem::remove_all(path("dest"));
        std::filesystem::remove_all(path("old-dest"));
        ASSERT_EQ(mkdir(path("dest").c_str(), 0700), 0);
        output_path_ = path("dest/out.zcx");
        OutputFile out;
        open_and_write(false, &out);
        FileStatus written;
        ASSERT_EQ(file_status(out.file.get(), &written), 0);
        c.change(this, &out);
        bool unchanged = std::string(c.name).starts_with("Nothing");
        EXPECT_EQ(output_unchanged(out, output_path_.c_str(), written),
                  unchanged ? 0 : -kErrChanged)
            << c.name;
        output_discard(&out);
    }
}

// ---- Volumes and attributes

TEST_F(OutputTest, VolumeChecksAndAttributes) {
    FileHandle here(directory_open(root_.c_str()));
    EXPECT_EQ(volume_is_local_durable(here.get()), 0);
    FileHandle proc(directory_open("/proc"));
    EXPECT_EQ(volume_is_local_durable(proc.get()), -ENOTSUP);
    uint64_t available = 0;
    EXPECT_EQ(free_space(here.get(), &available), 0);
    EXPECT_GT(available, 0u);

    FileHandle file(open(source_path_.c_str(), O_RDWR | O_CLOEXEC));
    std::vector<std::string> names;
    ASSERT_EQ(file_xattr_names(file.get(), &names), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "user.tw.marker"), 0);
    ASSERT_EQ(file_xattr_set(file.get(), "user.tw.marker", "", 0), 0);
    ASSERT_EQ(file_xattr_names(file.get(), &names), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "user.tw.marker"), 1);
    ASSERT_EQ(file_xattr_remove(file.get(), "user.tw.marker"), 0);
    // /proc has no user attributes: an empty list, not an error.
    FileHandle proc_file(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(file_xattr_names(proc_file.get(), &names), 0);
    EXPECT_TRUE(names.empty());

    // A read-only mount is not durable storage for a new container.
    std::string mount_point = path("ro");
    ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
    if (mount("tmpfs", mount_point.c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount here: " << strerror(errno);
    FileHandle read_only(directory_open(mount_point.c_str()));
    EXPECT_EQ(volume_is_local_durable(read_only.get()), -ENOTSUP);
    read_only.reset();
    umount2(mount_point.c_str(), MNT_DETACH);
}

} // namespace
} // namespace tw
