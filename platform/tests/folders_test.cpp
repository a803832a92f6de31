#include "platform/folders.h"

#include "platform/tests/support/temp_env.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

using tw::test::TempEnv;

struct stat stat_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

// A POSIX access ACL as the kernel stores it: owner rwx, the named user
// `user` with `user_perm`, the owning group none, the mask (which also
// becomes the group bits of the mode) as given, others none.
std::string acl_with_user(uint32_t user, uint16_t user_perm, uint16_t mask = 7) {
    std::string acl;
    auto put16 = [&](uint16_t v) {
        acl.push_back(static_cast<char>(v & 0xFF));
        acl.push_back(static_cast<char>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        put16(static_cast<uint16_t>(v & 0xFFFF));
        put16(static_cast<uint16_t>(v >> 16));
    };
    auto entry = [&](uint16_t tag, uint16_t perm, uint32_t id) {
        put16(tag);
        put16(perm);
        put32(id);
    };
    put32(2);
    entry(0x01, 7, UINT32_MAX); // owner
    entry(0x02, user_perm, user);
    entry(0x04, 0, UINT32_MAX); // owning group
    entry(0x10, mask, UINT32_MAX);
    entry(0x20, 0, UINT32_MAX); // others
    return acl;
}

bool set_acl(const std::string &path, const std::string &acl) {
    return setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
}

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    DIR *d = opendir(folder.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

// "machine.untrusted-" and a version 4 UUID in lower case.
bool is_aside_name(const std::string &name) {
    const std::string prefix = "machine.untrusted-";
    if (name.rfind(prefix, 0) != 0 || name.size() != prefix.size() + 36)
        return false;
    std::string uuid = name.substr(prefix.size());
    for (size_t i = 0; i < uuid.size(); i++) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? uuid[i] != '-' : !isxdigit(uuid[i]) || isupper(uuid[i]))
            return false;
    }
    return uuid[14] == '4' && std::string("89ab").find(uuid[19]) != std::string::npos;
}

TEST(PrivateFolder, CreatesAndResecures) {
    TempEnv env;
    std::string folder = env.path("private");
    ASSERT_EQ(0, tw::ensure_private_folder(folder));
    EXPECT_EQ(0700u, stat_of(folder).st_mode & 07777);

    // An existing folder of the user is made private again, in place.
    ino_t ino = stat_of(folder).st_ino;
    ASSERT_EQ(0, chmod(folder.c_str(), 0777));
    ASSERT_EQ(0, tw::ensure_private_folder(folder));
    EXPECT_EQ(0700u, stat_of(folder).st_mode & 07777);
    EXPECT_EQ(ino, stat_of(folder).st_ino);

    EXPECT_EQ(-EIO, tw::ensure_private_folder(env.path("missing/parent")));
    EXPECT_EQ(-EINVAL, tw::ensure_private_folder(""));
}

TEST(PrivateFolder, AclGrantingWriteIsRemoved) {
    TempEnv env;
    std::string folder = env.path("acl");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    if (!set_acl(folder, acl_with_user(12345, 7)))
        GTEST_SKIP() << "filesystem without POSIX ACLs";
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(tw::is_unmodifiable_by_others(fd));
    ASSERT_EQ(0, tw::ensure_private_folder(folder));
    EXPECT_TRUE(tw::is_unmodifiable_by_others(fd));
    EXPECT_EQ(0700u, stat_of(folder).st_mode & 07777);
    close(fd);
}

TEST(PrivateFolder, WriteAccessForOthersIsRecognised) {
    TempEnv env;
    std::string path = env.path("f");
    tw::test::write_file(path, "x");
    struct Case {
        mode_t mode;
        bool acl;
        uint16_t acl_user_perm;
        uint16_t acl_mask;
        bool unmodifiable;
    } cases[] = {
        {0700, false, 0, 0, true},
        {0755, false, 0, 0, true},
        {0720, false, 0, 0, false},
        {0702, false, 0, 0, false},
        {0700, true, 5, 5, true},
        {0700, true, 7, 7, false},
        // The mask limits what a named user is granted.
        {0700, true, 7, 5, true},
    };
    for (const Case &c : cases) {
        removexattr(path.c_str(), "system.posix_acl_access");
        ASSERT_EQ(0, chmod(path.c_str(), c.mode));
        if (c.acl && !set_acl(path, acl_with_user(12345, c.acl_user_perm, c.acl_mask)))
            continue; // no ACL support here
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(c.unmodifiable, tw::is_unmodifiable_by_others(fd))
            << std::oct << c.mode << " acl " << c.acl << " perm " << c.acl_user_perm << " mask "
            << c.acl_mask;
        close(fd);
    }
}

TEST(PrivateFolder, RefusesFilesLinksAndForeignFolders) {
    TempEnv env;
    std::string target = env.path("target");
    ASSERT_EQ(0, mkdir(target.c_str(), 0777));
    ASSERT_EQ(0, chmod(target.c_str(), 0777));
    std::string link = env.path("link");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    std::string file = env.path("file");
    tw::test::write_file(file, "x");

    EXPECT_EQ(-ENOTDIR, tw::ensure_private_folder(link));
    EXPECT_EQ(-ENOTDIR, tw::ensure_private_folder(file));
    // The link's target was not touched through it.
    EXPECT_EQ(0777u, stat_of(target).st_mode & 07777);

    // A folder of another user (root is the test user; uid 12345 stands for
    // anyone else) is refused and left exactly as it was.
    std::string foreign = env.path("foreign");
    ASSERT_EQ(0, mkdir(foreign.c_str(), 0777));
    ASSERT_EQ(0, chmod(foreign.c_str(), 0777));
    ASSERT_EQ(0, chown(foreign.c_str(), 12345, 12345));
    EXPECT_EQ(-EACCES, tw::ensure_private_folder(foreign));
    struct stat st = stat_of(foreign);
    EXPECT_EQ(0777u, st.st_mode & 07777);
    EXPECT_EQ(12345u, st.st_uid);
}

TEST(UserFolders, DataHomeAndDefault) {
    TempEnv env;
    std::string root;
    // XDG_DATA_HOME does not exist yet: its missing parts are created.
    ASSERT_EQ(0, tw::user_folder("", &root));
    EXPECT_EQ(env.path("data") + "/Tarnwick", root);
    EXPECT_EQ(0700u, stat_of(root).st_mode & 07777);

    std::string run;
    ASSERT_EQ(0, tw::user_folder("run", &run));
    EXPECT_EQ(root + "/run", run);
    struct stat st;
    EXPECT_NE(0, lstat(run.c_str(), &st)) << "the sub-folder is the caller's to create";

    // Without XDG_DATA_HOME, or with a relative one, the default under HOME.
    for (const char *data_home : {static_cast<const char *>(nullptr), "relative/data"}) {
        if (data_home)
            setenv("XDG_DATA_HOME", data_home, 1);
        else
            unsetenv("XDG_DATA_HOME");
        ASSERT_EQ(0, tw::user_folder("", &root));
        EXPECT_EQ(env.path("home") + "/.local/share/Tarnwick", root);
        EXPECT_EQ(0700u, stat_of(root).st_mode & 07777);
    }

    // A user root that is a file is refused.
    setenv("XDG_DATA_HOME", env.path("filehome").c_str(), 1);
    ASSERT_EQ(0, mkdir(env.path("filehome").c_str(), 0700));
    tw::test::write_file(env.path("filehome/Tarnwick"), "x");
    EXPECT_EQ(-ENOTDIR, tw::user_folder("", &root));
}

TEST(UserFolders, RuntimeFolderFromXdgRuntimeDir) {
    TempEnv env;
    std::string folder;
    ASSERT_EQ(0, tw::runtime_folder(&folder));
    EXPECT_EQ(env.path("run") + "/tarnwick", folder);
    EXPECT_EQ(0700u, stat_of(folder).st_mode & 07777);
    EXPECT_EQ(geteuid(), stat_of(folder).st_uid);

    ASSERT_EQ(0, rmdir(folder.c_str()));
    ASSERT_EQ(0, symlink(env.root().c_str(), folder.c_str()));
    EXPECT_EQ(-ENOTDIR, tw::runtime_folder(&folder));
}

// A refused runtime folder is named with the reason: a symbolic link, not a
// folder, a folder of another user, a parent that does not exist. An
// accepted one has no refusal.
TEST(UserFolders, RefusedRuntimeFolderIsNamedWithTheReason) {
    TempEnv env;
    const std::string folder = env.path("run") + "/tarnwick";
    EXPECT_EQ("", tw::runtime_folder_refusal());
    ASSERT_EQ(0, rmdir(folder.c_str()));
    struct Case {
        const char *what;
        void (*make)(const std::string &folder, const TempEnv &env);
        std::string reason;
    } cases[] = {
        {"symbolic link",
         [](const std::string &f, const TempEnv &e) {
             ASSERT_EQ(0, symlink(e.root().c_str(), f.c_str()));
         },
         "is a symbolic link, which is never followed"},
        {"file", [](const std::string &f, const TempEnv &) { tw::test::write_file(f, "x"); },
         "is not a folder"},
        {"another user's folder",
         [](const std::string &f, const TempEnv &) {
             ASSERT_EQ(0, mkdir(f.c_str(), 0777));
             ASSERT_EQ(0, chown(f.c_str(), 12345, 12345));
         },
         "belongs to user 12345, not to this user"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.make(folder, env);
        std::string out;
        EXPECT_NE(0, tw::runtime_folder(&out));
        EXPECT_EQ("'" + folder + "' " + c.reason, tw::runtime_folder_refusal());
        tw::test::remove_tree(folder);
    }
    // The runtime folder's parent is gone.
    const std::string missing = env.path("gone");
    ASSERT_EQ(0, setenv("XDG_RUNTIME_DIR", missing.c_str(), 1));
    EXPECT_EQ("'" + missing + "/tarnwick' cannot be made: its parent folder '" + missing +
                  "' does not exist",
              tw::runtime_folder_refusal());
}

// Without a usable XDG_RUNTIME_DIR or /run/user/UID the folder is made in the
// user's own root, never under a guessable name in /tmp.
TEST(UserFolders, RuntimeFolderFallsBackToTheUserRoot) {
    struct stat st {};
    std::string run_user = "/run/user/" + std::to_string(geteuid());
    if (lstat(run_user.c_str(), &st) == 0)
        GTEST_SKIP() << run_user << " exists here";
    TempEnv env;
    for (const char *value : {"", "relative/run"}) {
        SCOPED_TRACE(value);
        ASSERT_EQ(0, setenv("XDG_RUNTIME_DIR", value, 1));
        std::string folder;
        ASSERT_EQ(0, tw::runtime_folder(&folder));
        EXPECT_EQ(env.path("data") + "/Tarnwick/run", folder);
        EXPECT_EQ(0700u, stat_of(folder).st_mode & 07777);
        EXPECT_EQ(geteuid(), stat_of(folder).st_uid);
    }
}

TEST(MachineFolder, CreatesAndResecuresTrustedRoot) {
    TempEnv env;
    std::string root = env.path("machine"), path;
    EXPECT_EQ(-ENOENT, tw::machine_folder_existing_at(root, "", &path));
    ASSERT_EQ(0, tw::machine_folder_at(root, "broker", &path));
    EXPECT_EQ(root + "/broker", path);
    struct stat st = stat_of(root);
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(0u, st.st_uid);

    ASSERT_EQ(0, chmod(root.c_str(), 0777));
    ASSERT_EQ(0, tw::machine_folder_at(root, "", &path));
    EXPECT_EQ(root, path);
    EXPECT_EQ(0700u, stat_of(root).st_mode & 07777);
    EXPECT_EQ(st.st_ino, stat_of(root).st_ino);
    ASSERT_EQ(0, tw::machine_folder_existing_at(root, "broker", &path));
    EXPECT_EQ(root + "/broker", path);
}

TEST(MachineFolder, UntrustedRootIsMovedAside) {
    struct Case {
        const char *what;
        bool symlink;
    } cases[] = {{"foreign owner", false}, {"symbolic link", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempEnv env;
        std::string root = env.path("machine"), path;
        std::string elsewhere = env.path("elsewhere");
        ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0755));
        if (c.symlink) {
            ASSERT_EQ(0, symlink(elsewhere.c_str(), root.c_str()));
        } else {
            ASSERT_EQ(0, mkdir(root.c_str(), 0755));
            ASSERT_EQ(0, chown(root.c_str(), 12345, 12345));
            tw::test::write_file(root + "/planted", "x");
        }
        // Looking never changes anything.
        EXPECT_EQ(-EACCES, tw::machine_folder_existing_at(root, "", &path));

        ASSERT_EQ(0, tw::machine_folder_at(root, "", &path));
        struct stat st = stat_of(root);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(0700u, st.st_mode & 07777);
        EXPECT_TRUE(entries(root).empty());
        std::string aside;
        for (const std::string &name : entries(env.root()))
            if (name.rfind("machine.", 0) == 0)
                aside = name;
        EXPECT_TRUE(is_aside_name(aside)) << aside;
        if (c.symlink) {
            EXPECT_TRUE(S_ISLNK(stat_of(env.path(aside)).st_mode));
            EXPECT_EQ(0755u, stat_of(elsewhere).st_mode & 07777);
        } else {
            EXPECT_EQ(12345u, stat_of(env.path(aside)).st_uid);
            EXPECT_EQ(0, access(env.path(aside + "/planted").c_str(), F_OK));
        }
        ASSERT_EQ(0, tw::machine_folder_existing_at(root, "", &path));
    }
}

TEST(ProgramFiles, NextToOwnExecutableAndUserId) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string self(exe);
    std::string path;
    ASSERT_EQ(0, tw::program_file_path("tarnwick-worker", &path));
    EXPECT_EQ(self.substr(0, self.rfind('/')) + "/tarnwick-worker", path);
    EXPECT_EQ(std::to_string(geteuid()), tw::current_user_id());
}

} // namespace
