#include "platform/sandbox.h"

#include "platform/descriptor.h"
#include "platform/io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sched.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sched.h>
#include <seccomp.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace tw {

namespace {

int write_proc_file(const char *path, const std::string &text) {
    FileHandle fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    return write_full(fd.get(), text);
}

// The user keeps its own ids inside the new user namespace, so that files
// it was given still show it as their owner.
int enter_namespaces() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC) != 0)
        return -errno;
    // A process that is not dumpable (start-up hardening) finds its /proc
    // files owned by root and cannot write its own maps; it is dumpable
    // again only for these writes, before it has read anything.
    const int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    if (dumpable == 0 && prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0)
        return -errno;
    int error = write_proc_file("/proc/self/setgroups", "deny");
    if (error == 0)
        error = write_proc_file("/proc/self/uid_map",
                                std::to_string(uid) + " " + std::to_string(uid) + " 1\n");
    if (error == 0)
        error = write_proc_file("/proc/self/gid_map",
                                std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
    if (dumpable == 0 && prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0 && error == 0)
        error = -errno;
    // Nothing mounted or unmounted in here reaches the rest of the system.
    if (error == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        error = -errno;
    return error;
}

// The crypto library reads its configuration and sets up its random
// generator on first use; that must happen while files can still be
// opened.
int warm_up_crypto() {
    if (OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_CIPHERS |
                                OPENSSL_INIT_ADD_ALL_DIGESTS,
                            nullptr) != 1)
        return -EIO;
    unsigned char bytes[64] = {1};
    unsigned char out[64];
    if (RAND_bytes(out, 16) != 1 || RAND_priv_bytes(out, 16) != 1)
        return -EIO;
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(bytes), 8, bytes, 16, 1, EVP_sha512(), 64,
                          out) != 1 ||
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(bytes), 8, bytes, 16, 1, EVP_sha256(), 32,
                          out) != 1)
        return -EIO;
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_256_xts(), nullptr, bytes, bytes) == 1 &&
              EVP_EncryptUpdate(ctx, out, &n, bytes, 32) == 1;
    EVP_CIPHER_CTX_free(ctx);
    OPENSSL_cleanse(out, sizeof out);
    return ok ? 0 : -EIO;
}

// Calls on descriptors the process already holds, memory, time, signals,
// threads and exiting. Everything not listed kills the process.
constexpr int kAllowed[] = {
    SCMP_SYS(read),
    SCMP_SYS(write),
    SCMP_SYS(pread64),
    SCMP_SYS(pwrite64),
    SCMP_SYS(readv),
    SCMP_SYS(writev),
    SCMP_SYS(preadv),
    SCMP_SYS(pwritev),
    SCMP_SYS(lseek),
    SCMP_SYS(fstat),
    SCMP_SYS(fstatfs),
    SCMP_SYS(fsync),
    SCMP_SYS(fdatasync),
    SCMP_SYS(fallocate),
    SCMP_SYS(ftruncate),
    SCMP_SYS(fcntl),
    SCMP_SYS(flistxattr),
    SCMP_SYS(fgetxattr),
    SCMP_SYS(close),
    SCMP_SYS(recvmsg),
    SCMP_SYS(poll),
    SCMP_SYS(ppoll),
    SCMP_SYS(brk),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(mlock),
    SCMP_SYS(mlock2),
    SCMP_SYS(munlock),
    SCMP_SYS(getrandom),
    SCMP_SYS(futex),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(getuid),
    SCMP_SYS(geteuid),
    SCMP_SYS(getgid),
    SCMP_SYS(getegid),
    SCMP_SYS(sched_yield),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigaction),
    SCMP_SYS(sigaltstack),
    SCMP_SYS(set_robust_list),
    SCMP_SYS(rseq),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
};

int install_filter() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr)
        return -ENOMEM;
    int rc = 0;
    for (int call : kAllowed)
        if (rc == 0)
            rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    // Status of a held descriptor (glibc's fstat is fstatat with an empty
    // path); a call with a path instead of AT_EMPTY_PATH kills.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                              SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
    // Threads only: a new process (fork, or clone without CLONE_THREAD)
    // kills. clone3 passes its flags in memory the filter cannot see, so it
    // is refused and the C library falls back to clone.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    // Creating a file fails quietly (the sandbox proof relies on it);
    // opening an existing path kills.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1,
                              SCMP_A2(SCMP_CMP_MASKED_EQ, O_CREAT, O_CREAT));
    if (rc == 0)
        rc = seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 1);
    if (rc == 0)
        rc = seccomp_load(filter);
    seccomp_release(filter);
    return rc < 0 ? rc : (rc > 0 ? -EIO : 0);
}

bool status_says(const char *status, const char *field, const char *value) {
    const char *at = std::strstr(status, field);
    if (at == nullptr || (at != status && at[-1] != '\n'))
        return false;
    at += std::strlen(field);
    while (*at == ' ' || *at == '\t')
        ++at;
    size_t length = std::strlen(value);
    return std::strncmp(at, value, length) == 0 && (at[length] == '\n' || at[length] == 0);
}

} // namespace

int sandbox_open_status() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int sandbox_enter() {
    if (int error = warm_up_crypto())
        return error;
    if (int error = enter_namespaces())
        return error;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -errno;
    return install_filter();
}

int sandbox_prove(int status_fd) {
    char status[4096];
    size_t got = 0;
    int error = pread_full(status_fd, status, sizeof status - 1, 0, &got);
    if (error != 0 && error != -EIO)
        return -EPERM;
    status[got] = 0;
    if (!status_says(status, "Seccomp:", "2") || !status_says(status, "NoNewPrivs:", "1"))
        return -EPERM;

    unsigned char random[8];
    if (random_fill(random, sizeof random) != 0)
        return -EPERM;
    const char *tmp = getenv("TMPDIR");
    std::string folder = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    char name[64];
    std::snprintf(name, sizeof name, "/tarnwick-%02x%02x%02x%02x%02x%02x%02x%02x.probe", random[0],
                  random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
    std::string probe = folder + name;
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(probe.c_str()); // only reached when the filter is missing
        return -EPERM;
    }
    return errno == EACCES ? 0 : -EPERM;
}

} // namespace tw
