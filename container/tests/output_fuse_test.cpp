// Publishing on a real filesystem that lacks RENAME_NOREPLACE and unnamed
// files: NTFS through ntfs-3g (FUSE). Renaming without replacing is refused
// there with EINVAL, so the hard-link fallback does the work.
#include "container/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sys/mount.h>
#include <unistd.h>

#include "container/file_access.h"
#include "container/tests/safe_files_fixture.h"

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

class NtfsOutputTest : public TempFolder {
  protected:
    void SetUp() override {
        TempFolder::SetUp();
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no FUSE device here";
        std::string image = path("ntfs.img");
        mount_point_ = path("mnt");
        ASSERT_EQ(mkdir(mount_point_.c_str(), 0700), 0);
        std::string make =
            "truncate -s 16M '" + image + "' && mkntfs -F -Q -q '" + image + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0);
        std::string mount_command =
            "ntfs-3g -o umask=022 '" + image + "' '" + mount_point_ + "' >/dev/null 2>&1";
        if (std::system(mount_command.c_str()) != 0)
            GTEST_SKIP() << "cannot mount NTFS through FUSE here";
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
    Names names_with(std::initializer_list<const char *> extra) const {
        Names names = baseline_;
        for (const char *name : extra)
            names.insert(name);
        return names;
    }

    bool mounted_ = false;
    std::string mount_point_;
    Names baseline_;
    std::string source_path_;
    std::string output_path_;
    ContainerFile source_;
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

} // namespace
} // namespace tw
