#include "platform/tests/support/temp_env.h"

#include "platform/io.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::test {

namespace {

constexpr const char *kUnset = "\1";
constexpr const char *kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
                                      "XDG_RUNTIME_DIR"};

int remove_entry(const char *path, const struct stat *, int, FTW *) {
    // Tests may leave folders without permissions or owned by others; root
    // removes them regardless, a chmod helps everyone else.
    chmod(path, 0700);
    remove(path);
    return 0;
}

} // namespace

TempEnv::TempEnv() {
    char templ[] = "/tmp/tw-platform-XXXXXX";
    char *made = mkdtemp(templ);
    if (made == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: " << errno;
        abort();
    }
    root_ = made;
    for (const char *name : kVariables) {
        const char *value = getenv(name);
        saved_.emplace_back(name, value ? value : kUnset);
    }
    setenv("HOME", path("home").c_str(), 1);
    setenv("XDG_DATA_HOME", path("data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", path("config").c_str(), 1);
    setenv("XDG_CACHE_HOME", path("cache").c_str(), 1);
    mkdir(path("run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", path("run").c_str(), 1);
}

TempEnv::~TempEnv() {
    for (const auto &[name, value] : saved_) {
        if (value == kUnset)
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    remove_tree(root_);
}

void remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
}

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = tw::read_some(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

} // namespace tw::test
