// Helpers shared by the file access and output tests: a private temporary
// folder, small file utilities and a child process that holds a file open.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::testing_files {

class TempFolder : public ::testing::Test {
  public:
    void SetUp() override {
        char pattern[] = "/tmp/tw-safefiles-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::string path(const std::string &name) const { return root_ + "/" + name; }

  protected:
    std::string root_;
};

inline void write_file(const std::string &path, const std::string &data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

inline std::string read_file(const std::string &path) {
    std::string data;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, static_cast<size_t>(got));
    close(fd);
    return data;
}

inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Names in a folder, "." and ".." left out.
inline std::set<std::string> folder_names(const std::string &folder) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A forked child that runs `body`, tells the parent it is ready and then
// waits until it is told to exit (or is killed).
class Child {
  public:
    explicit Child(const std::function<int()> &body) {
        int ready[2];
        int go[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(go[1]);
            char status = static_cast<char>(body());
            if (write(ready[1], &status, 1) != 1)
                _exit(100);
            char ignored;
            (void)!read(go[0], &ignored, 1);
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        ready_fd_ = ready[0];
        go_fd_ = go[1];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (ready_fd_ >= 0)
            close(ready_fd_);
        if (go_fd_ >= 0)
            close(go_fd_);
    }
    // The status byte the child's body returned, or -1 when it died first.
    int wait_ready() {
        char status;
        if (read(ready_fd_, &status, 1) != 1)
            return -1;
        return static_cast<unsigned char>(status);
    }
    // Ends the child normally (returns its exit status) or with SIGKILL.
    int finish() {
        close(go_fd_);
        go_fd_ = -1;
        return reap();
    }
    void kill_hard() {
        kill(pid_, SIGKILL);
        reap();
    }

  private:
    int reap() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid_ = -1;
    int ready_fd_ = -1;
    int go_fd_ = -1;
};

} // namespace tw::testing_files
