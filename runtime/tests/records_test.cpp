#include "runtime/records.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A private temporary folder, removed with everything in it.
class Records : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw-records-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string at(const std::string &name) const { return dir + "/" + name; }

    static void put(const std::string &path, const std::string &contents) {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(contents.data(), 1, contents.size(), f);
        fclose(f);
    }
    static std::string get(const std::string &path) {
        char *contents = nullptr;
        size_t length = 0;
        int rc = tw::read_whole_file(path.c_str(), SIZE_MAX - 1, &contents, &length);
        if (rc != 0)
            return "<error " + std::to_string(rc) + ">";
        std::string s(contents, length);
        tw::free_whole_file(contents, length);
        return s;
    }
    // Names in the folder that look like leftover temporaries.
    std::vector<std::string> temporaries(const std::string &folder = "") const {
        std::vector<std::string> found;
        DIR *d = opendir((folder.empty() ? dir : folder).c_str());
        if (d == nullptr)
            return found;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
                found.push_back(name);
        }
        closedir(d);
        return found;
    }

    std::string dir;
};

TEST_F(Records, WriteCreatesAndReplacesPrivately) {
    std::string path = at("session.json");
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), "first", 5));
    EXPECT_EQ("first", get(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);

    std::string binary("a\0b\xff", 4);
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), binary.data(), binary.size()));
    EXPECT_EQ(binary, get(path));
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), nullptr, 0));
    EXPECT_EQ("", get(path));
    EXPECT_TRUE(temporaries().empty());

    // A relative path writes in the working folder.
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir.c_str()));
    int rc = tw::write_record_file("relative.json", "r", 1);
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("r", get(at("relative.json")));
}

TEST_F(Records, SymlinkAtTheTargetIsReplacedNotFollowed) {
    std::string victim = at("victim");
    std::string path = at("record.json");
    put(victim, "keep me");
    ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), "new", 3));
    EXPECT_EQ("keep me", get(victim));
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ("new", get(path));
}

TEST_F(Records, FailedWritesKeepTheOldTargetAndLeaveNoTemporary) {
    // The rename fails (for root too) when the target is a non-empty folder.
    std::string folder_target = at("busy");
    ASSERT_EQ(0, mkdir(folder_target.c_str(), 0700));
    put(folder_target + "/inside", "x");
    EXPECT_EQ(-EIO, tw::write_record_file(folder_target.c_str(), "new", 3));
    EXPECT_EQ("x", get(folder_target + "/inside"));
    EXPECT_TRUE(temporaries().empty());

    // A missing folder, an empty path and contents of 4 GiB or more.
    std::string path = at("record.json");
    put(path, "old");
    EXPECT_EQ(-EIO, tw::write_record_file(at("missing/record.json").c_str(), "new", 3));
    EXPECT_EQ(-EIO, tw::write_record_file("", "new", 3));
    EXPECT_EQ(-EIO, tw::write_record_file(nullptr, "new", 3));
    EXPECT_EQ(-EIO, tw::write_record_file(path.c_str(), nullptr, 3));
    EXPECT_EQ(-EIO, tw::write_record_file(path.c_str(), "new", uint64_t{1} << 32));
    EXPECT_EQ("old", get(path));
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(Records, FailedWriteAfterCreationRemovesTheTemporary) {
    // A file size limit makes the write itself fail after the temporary was
    // created; root is bound by it as well. Run in a child so the limit does
    // not reach the test process.
    std::string path = at("record.json");
    put(path, "old");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string big(1 << 20, 'n');
        int rc = tw::write_record_file(path.c_str(), big.data(), big.size());
        _exit(rc == -EIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("old", get(path));
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(Records, FolderClosedForCreation) {
    std::string folder = at("locked");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    std::string path = folder + "/record.json";
    put(path, "old");
    // Permission bits do not stop root; the immutable flag does.
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    bool immutable = false;
    if (geteuid() == 0) {
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            int locked = flags | FS_IMMUTABLE_FL;
            immutable = ioctl(fd, FS_IOC_SETFLAGS, &locked) == 0;
        }
        if (!immutable) {
            close(fd);
            GTEST_SKIP() << "cannot make a folder immutable here";
        }
    } else {
        ASSERT_EQ(0, chmod(folder.c_str(), 0500));
    }
    int rc = tw::write_record_file(path.c_str(), "new", 3);
    if (immutable)
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    else
        chmod(folder.c_str(), 0700);
    close(fd);
    EXPECT_EQ(-EIO, rc);
    EXPECT_EQ("old", get(path));
    EXPECT_TRUE(temporaries(folder).empty());
}

TEST_F(Records, ReadRefusesWhatIsNotASmallRegularFile) {
    std::string exact = at("exact");
    std::string over = at("over");
    put(exact, std::string(65536, 'e'));
    put(over, std::string(65537, 'o'));
    std::string link = at("link");
    ASSERT_EQ(0, symlink(exact.c_str(), link.c_str()));
    std::string fifo = at("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string empty = at("empty");
    put(empty, "");

    struct Case {
        std::string path;
        int rc;
        size_t length;
    };
    const Case cases[] = {
        {exact, 0, 65536},
        {over, -EFBIG, 0},
        {dir, -EISDIR, 0},
        {link, -ELOOP, 0},
        {fifo, -EINVAL, 0}, // and it must not block waiting for a
                            // writer
        {at("missing"), -ENOENT, 0},
        {empty, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        char *contents = reinterpret_cast<char *>(1);
        size_t length = 99;
        EXPECT_EQ(c.rc, tw::read_whole_file(c.path.c_str(), tw::kRecordLimit, &contents, &length));
        EXPECT_EQ(c.length, length);
        if (c.rc == 0) {
            ASSERT_NE(nullptr, contents);
            EXPECT_EQ('\0', contents[length]);
        } else {
            EXPECT_EQ(nullptr, contents);
        }
        tw::free_whole_file(contents, length);
    }
    char *contents;
    size_t length;
    EXPECT_EQ(-EINVAL, tw::read_whole_file(nullptr, 10, &contents, &length));
    EXPECT_EQ(-EFBIG, tw::read_whole_file(exact.c_str(), 0, &contents, &length));
}

// A record that proves it is whole: an 8-byte header with its length and a
// seed, then bytes derived from the seed.
std::string make_record(uint32_t seed) {
    size_t length = 8 + (seed * 2654435761u) % 20000;
    std::string s(length, '\0');
    memcpy(&s[0], &length, 4);
    memcpy(&s[4], &seed, 4);
    for (size_t i = 8; i < length; ++i)
        s[i] = static_cast<char>((seed + i * 31) & 0xFF);
    return s;
}

bool record_is_whole(const std::string &s) {
    if (s.size() < 8)
        return false;
    uint32_t length, seed;
    memcpy(&length, s.data(), 4);
    memcpy(&seed, s.data() + 4, 4);
    return length == s.size() && make_record(seed) == s;
}

TEST_F(Records, ConcurrentRewritesAreSeenWholeOrNotAtAll) {
    std::string path = at("shared.json");
    std::string first = make_record(1);
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), first.data(), first.size()));

    constexpr int kWriters = 4;
    constexpr int kWrites = 150;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                std::string r = make_record(static_cast<uint32_t>(w * 100000 + i + 2));
                failures += tw::write_record_file(path.c_str(), r.data(), r.size()) != 0;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        writers.push_back(child);
    }
    int reads = 0;
    int torn = 0;
    int failed_writers = 0;
    size_t running = writers.size();
    while (running > 0) {
        char *contents;
        size_t length;
        int rc = tw::read_whole_file(path.c_str(), tw::kRecordLimit, &contents, &length);
        ASSERT_EQ(0, rc);
        torn += !record_is_whole(std::string(contents, length));
        tw::free_whole_file(contents, length);
        ++reads;
        for (pid_t &p : writers) {
            int status = 0;
            if (p > 0 && waitpid(p, &status, WNOHANG) == p) {
                failed_writers += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                p = 0;
                --running;
            }
        }
    }
    EXPECT_EQ(0, failed_writers);
    EXPECT_EQ(0, torn) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
    EXPECT_TRUE(record_is_whole(get(path)));
    EXPECT_TRUE(temporaries().empty());
}

} // namespace
