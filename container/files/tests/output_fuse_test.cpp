// Publishing on real filesystems that lack what makes it safe, mounted
// through FUSE:
// - NTFS through ntfs-3g has no RENAME_NOREPLACE and no unnamed files, so
//   the hard-link fallback does the work;
// - FAT through fusefat has neither RENAME_NOREPLACE nor hard links, so
//   nothing can be put in place without risking another file: publishing is
//   refused with a clear message and nothing is overwritten or left behind.
#include "container/files/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sys/mount.h>
#include <unistd.h>

#include "container/files/file_access.h"
#include "container/tests/support/safe_files_fixture.h"

namespace tw {
namespace {

using testing_files::Child;
using testing_files::folder_names;
using testing_files::read_file;
using testing_files::TempFolder;
using testing_files::write_file;

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Names = std::set<std::string>;

// A filesystem image made and mounted through FUSE at "mnt"; the source
// container stays on the local disk.
class FuseOutputTest : public TempFolder {
  protected:
    // `make` and `mount` are shell commands with IMAGE and MNT standing for
    // the image and the mount point.
    void mount_with(const std::string &make, const std::string &mount, const char *tool) {
        TempFolder::SetUp();
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no FUSE device here";
        if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << tool << " is not installed";
        image_ = path("fs.img");
        mount_point_ = path("mnt");
        ASSERT_EQ(mkdir(mount_point_.c_str(), 0700), 0);
        ASSERT_EQ(std::system(expand(make).c_str()), 0) << expand(make);
        if (std::system(expand(mount).c_str()) != 0)
            GTEST_SKIP() << "cannot mount through FUSE here: " << expand(mount);
        mounted_ = true;
        baseline_ = folder_names(mount_point_);

        source_path_ = path("disk.zcx");
        write_file(source_path_, "source data");
        ASSERT_EQ(container_file_open(source_path_.c_str(), kContainerOpenRead, &source_), 0);
        output_path_ = mount_point_ + "/out.zcx";
    }
    void TearDown() override {
        source_.file.reset();
        if (mounted_)
            umount2(mount_point_.c_str(), MNT_DETACH);
        TempFolder::TearDown();
    }
    std::string expand(std::string command) const {
        for (auto [key, value] : {std::pair<std::string, std::string>{"IMAGE", image_},
                                  std::pair<std::string, std::string>{"MNT", mount_point_}}) {
            for (size_t at = command.find(key); at != std::string::npos;
                 at = command.find(key, at + value.size()))
                command.replace(at, key.size(), "'" + value + "'");
        }
        return command + " >/dev/null 2>&1";
    }
    Names names_with(std::initializer_list<const char *> extra) const {
        Names names = baseline_;
        for (const char *name : extra)
            names.insert(name);
        return names;
    }

    bool mounted_ = false;
    std::string image_;
    std::string mount_point_;
    Names baseline_;
    std::string source_path_;
    std::string output_path_;
    ContainerFile source_;
};

class NtfsOutputTest : public FuseOutputTest {
  protected:
    void SetUp() override {
        mount_with("truncate -s 16M IMAGE && mkntfs -F -Q -q IMAGE",
                   "ntfs-3g -o umask=022 IMAGE MNT", "ntfs-3g");
    }
};

class FatOutputTest : public FuseOutputTest {
  protected:
    void SetUp() override {
        mount_with("truncate -s 16M IMAGE && mkfs.vfat IMAGE", "fusefat -o rw+ IMAGE MNT",
                   "fusefat");
    }
};

TEST_F(NtfsOutputTest, ExportIsPublishedThroughAHardLink) {
    const std::string payload(300000, 'n');
    for (bool existing : {false, true}) {
        if (existing)
            write_file(output_path_, "old");
        OutputFile out;
        ASSERT_EQ(output_open(source_.file.get(), output_path_.c_str(), false, &out), 0);
        EXPECT_FALSE(out.hidden_temporary); // no unnamed files on FUSE
        ASSERT_EQ(write(out.file.get(), payload.data(), payload.size()),
                  static_cast<ssize_t>(payload.size()));
        CaptureStderr();
        EXPECT_EQ(output_publish(source_.file.get(), output_path_.c_str(), &out, 0, nullptr), 0);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(read_file(output_path_), payload);
        EXPECT_EQ(folder_names(mount_point_), names_with({"out.zcx"}));
    }
}

TEST_F(NtfsOutputTest, NameInUseIsNotReplaced) {
    write_file(output_path_, "old");
    std::string target = output_path_;
    Child mount_worker([target] {
        static ContainerFile held;
        return container_file_open(target.c_str(), kContainerOpenRead, &held) == 0 ? 0 : 1;
    });
    ASSERT_EQ(mount_worker.wait_ready(), 0);

    OutputFile out;
    ASSERT_EQ(output_open(source_.file.get(), output_path_.c_str(), false, &out), 0);
    ASSERT_EQ(write(out.file.get(), "new", 3), 3);
    CaptureStderr();
    EXPECT_EQ(output_publish(source_.file.get(), output_path_.c_str(), &out, 0, nullptr), -EBUSY);
    EXPECT_EQ(GetCapturedStderr(),
              "Error: '" + output_path_ +
                  "' is in use (mounted or being converted); not replacing it.\n");
    EXPECT_EQ(read_file(output_path_), "old");
    EXPECT_EQ(folder_names(mount_point_), names_with({"out.zcx"}));
}

TEST_F(NtfsOutputTest, ReencodedContainerNeedsLocalDurableStorage) {
    OutputFile out;
    EXPECT_EQ(output_open(source_.file.get(), output_path_.c_str(), true, &out), -ENOTSUP);
    EXPECT_EQ(folder_names(mount_point_), baseline_);
}

TEST_F(FatOutputTest, NothingIsPutInPlaceWithoutASafeWayToDoIt) {
    const std::string message = "Error: this filesystem can't put '" + output_path_ +
                                "' in place without risking replacing another file (no "
                                "RENAME_NOREPLACE, no hard links); write the output to another "
                                "filesystem.\n";
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "a file has the name" : "the name is free");
        if (existing)
            write_file(output_path_, "old");
        const Names before = folder_names(mount_point_);
        OutputFile out;
        ASSERT_EQ(output_open(source_.file.get(), output_path_.c_str(), false, &out), 0);
        EXPECT_FALSE(out.hidden_temporary); // no unnamed files on FUSE
        ASSERT_EQ(write(out.file.get(), "new", 3), 3);
        CaptureStderr();
        EXPECT_EQ(output_publish(source_.file.get(), output_path_.c_str(), &out, 0, nullptr),
                  -ENOTSUP);
        EXPECT_EQ(GetCapturedStderr(), message);
        EXPECT_EQ(read_file(output_path_), existing ? "old" : "<missing>");
        EXPECT_EQ(folder_names(mount_point_), before) << "a temporary was left behind";
    }
}

} // namespace
} // namespace tw
