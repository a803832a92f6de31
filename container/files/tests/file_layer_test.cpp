// The descriptor layer under container access and outputs.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "container/tests/support/safe_files_fixture.h"

namespace tw {
namespace {

using testing_files::TempFolder;
using testing_files::write_file;

class FileLayerTest : public TempFolder {};

TEST_F(FileLayerTest, LockRequestReplacesTheHeldLock) {
    std::string file = path("disk.zcx");
    write_file(file, "data");
    FileHandle first(file_open(file.c_str(), FileAccess::read_write, FileCreate::open_existing, 0));
    FileHandle second(file_open(file.c_str(), FileAccess::read, FileCreate::open_existing, 0));
    ASSERT_TRUE(first.valid() && second.valid());

    ASSERT_EQ(file_lock(first.get(), true), 0);
    EXPECT_EQ(file_lock(second.get(), false), -EWOULDBLOCK);
    EXPECT_EQ(file_lock_test(second.get(), true), -EWOULDBLOCK);
    // Asking again for the shared lock turns the exclusive one into it.
    ASSERT_EQ(file_lock(first.get(), false), 0);
    EXPECT_EQ(file_lock(second.get(), false), 0);
    EXPECT_EQ(file_lock_test(second.get(), false), 0);
    EXPECT_EQ(file_lock(first.get(), true), -EWOULDBLOCK);
    // The refused request left `first` without a lock: nothing conflicts
    // with an exclusive lock of `second` any more (its own shared one aside).
    EXPECT_EQ(file_lock_test(second.get(), true), 0);
    EXPECT_EQ(file_lock(second.get(), true), -EBADF); // read-only descriptor
    EXPECT_EQ(file_unlock(second.get()), 0);
    EXPECT_EQ(file_lock(first.get(), true), 0);
}

TEST_F(FileLayerTest, OpenModesAndNames) {
    FileHandle dir(directory_open(root_.c_str()));
    ASSERT_TRUE(dir.valid());
    struct Case {
        const char *name;
        FileCreate create;
        unsigned flags;
        int expected; // 0: a descriptor
    } cases[] = {
        {"new", FileCreate::create_new, kFileOwnerOnly, 0},
        {"new", FileCreate::create_new, kFileOwnerOnly, -EEXIST},
        {"new", FileCreate::open_existing, 0, 0},
        {"missing", FileCreate::open_existing, 0, -ENOENT},
        {"link", FileCreate::open_existing, kFileNoFollow, -ELOOP},
        {"link", FileCreate::open_existing, 0, 0},
        {"a/b", FileCreate::open_existing, 0, -EINVAL},
        {"", FileCreate::open_existing, 0, -EINVAL},
        {"\xFF", FileCreate::create_new, 0, -EILSEQ},
        {"new", FileCreate::open_existing, kFileDirectory, -ENOTDIR},
    };
    ASSERT_EQ(symlink("new", path("link").c_str()), 0);
    for (const Case &c : cases) {
        int fd = file_open_at(dir.get(), c.name, FileAccess::read_write, c.create, c.flags);
        FileHandle handle(fd >= 0 ? fd : -1);
        EXPECT_EQ(fd >= 0 ? 0 : fd, c.expected) << c.name;
    }
    FileStatus status;
    ASSERT_EQ(file_status_at(dir.get(), "new", false, &status), 0);
    EXPECT_EQ(status.mode, 0600u);
    EXPECT_EQ(status.type, FileType::regular);
    ASSERT_EQ(file_status_at(dir.get(), "link", false, &status), 0);
    EXPECT_EQ(status.type, FileType::link);
    ASSERT_EQ(file_status_at(dir.get(), "link", true, &status), 0);
    EXPECT_EQ(status.type, FileType::regular);

    FileHandle read_only(
        file_open(path("new").c_str(), FileAccess::read, FileCreate::open_existing, 0));
    FileAccess access;
    ASSERT_EQ(file_access_mode(read_only.get(), &access), 0);
    EXPECT_EQ(access, FileAccess::read);
    EXPECT_TRUE(handle_is_read_only(read_only.get()));
    EXPECT_EQ(file_open(path("fifo").c_str(), FileAccess::read, FileCreate::open_existing, 0),
              -ENOENT);
    EXPECT_EQ(file_open("", FileAccess::read, FileCreate::open_existing, 0), -ENOENT);
}

TEST_F(FileLayerTest, SizeReserveAndDeletedStatus) {
    FileHandle dir(directory_open(root_.c_str()));
    FileHandle file(file_open_at(dir.get(), "image", FileAccess::read_write, FileCreate::create_new,
                                 kFileOwnerOnly));
    ASSERT_TRUE(file.valid());
    FileStatus status;
    ASSERT_EQ(file_set_size(file.get(), 1 << 20), 0);
    ASSERT_EQ(file_status(file.get(), &status), 0);
    EXPECT_EQ(status.size, 1u << 20);
    EXPECT_LT(status.blocks * 512, 1u << 20); // sparse
    ASSERT_EQ(file_reserve(file.get(), 2 << 20), 0);
    ASSERT_EQ(file_status(file.get(), &status), 0);
    EXPECT_EQ(status.size, 2u << 20);
    EXPECT_GE(status.blocks * 512, 2u << 20); // allocated
    EXPECT_EQ(file_flush(file.get()), 0);
    EXPECT_EQ(status.links, 1u);
    ASSERT_EQ(file_unlink_at(dir.get(), "image"), 0);
    ASSERT_EQ(file_status(file.get(), &status), 0);
    EXPECT_EQ(status.links, 0u);
}

TEST_F(FileLayerTest, UnnamedFileGetsANameWithoutReplacing) {
    FileHandle dir(directory_open(root_.c_str()));
    FileHandle file(file_open_unnamed(dir.get()));
    ASSERT_TRUE(file.valid());
    ASSERT_EQ(write(file.get(), "x", 1), 1);
    write_file(path("taken"), "taken");
    EXPECT_EQ(file_link_at(file.get(), dir.get(), "taken"), -EEXIST);
    EXPECT_EQ(testing_files::read_file(path("taken")), "taken");
    EXPECT_EQ(file_link_at(file.get(), dir.get(), "free"), 0);
    EXPECT_EQ(testing_files::read_file(path("free")), "x");
}

} // namespace
} // namespace tw
