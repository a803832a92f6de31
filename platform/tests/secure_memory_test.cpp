#include "container/cipher/cipher.h"
#include "container/keys/keys.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kWarning =
    "Warning: cannot lock key memory; derived keys may be written to swap.\n";

TEST(SecureMemory, AllocationsAreZeroedUsableAndReleased) {
    EXPECT_EQ(nullptr, tw::secure_alloc(0));
    for (size_t size : {1, 100, 4096, 4097, 3 * 4096 + 5}) {
        SCOPED_TRACE(size);
        bool locked = false;
        auto *p = static_cast<uint8_t *>(tw::secure_alloc(size, &locked));
        ASSERT_NE(nullptr, p);
        // Tests run as root, where nothing may refuse the lock.
        if (geteuid() == 0) {
            EXPECT_TRUE(locked);
        }
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(0, p[i]);
        std::memset(p, 0x5C, size);
        tw::secure_wipe(p, size);
        for (size_t i = 0; i < size; ++i)
            ASSERT_EQ(0, p[i]);
        std::memset(p, 0x5C, size);
        tw::secure_free(p, size);
    }
    tw::secure_free(nullptr, 10);
}

TEST(SecureMemory, SecureBufferOwnsAndMovesItsMemory) {
    tw::SecureBuffer a(64);
    ASSERT_TRUE(a.valid());
    if (geteuid() == 0) {
        EXPECT_TRUE(a.locked());
    }
    a.data()[0] = 7;
    tw::SecureBuffer b(std::move(a));
    EXPECT_FALSE(a.valid());
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(7, b.data()[0]);
    EXPECT_EQ(64u, b.size());
    b.wipe();
    EXPECT_EQ(0, b.data()[0]);
    tw::SecureBuffer c;
    c = std::move(b);
    EXPECT_TRUE(c.valid());
    EXPECT_FALSE(tw::SecureBuffer(0).valid());
}

TEST(SecureMemory, CapacityBufferGrowsShrinksAndWipesWhatItDrops) {
    tw::SecureBuffer b = tw::SecureBuffer::with_capacity(10);
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(0u, b.size());
    EXPECT_EQ(10u, b.capacity());
    ASSERT_TRUE(b.resize(10));
    std::memset(b.data(), 0x5C, 10);
    EXPECT_FALSE(b.resize(11));
    EXPECT_EQ(10u, b.size());
    ASSERT_TRUE(b.resize(4));
    for (size_t i = 4; i < 10; ++i) // the dropped tail is zero
        ASSERT_EQ(0, b.data()[i]);
    EXPECT_EQ(0x5C, b.data()[3]);
    b.clear();
    EXPECT_EQ(0u, b.size());
    EXPECT_EQ(10u, b.capacity());
    for (size_t i = 0; i < 10; ++i)
        ASSERT_EQ(0, b.data()[i]);

    ASSERT_TRUE(b.assign("secret", 6));
    EXPECT_EQ(6u, b.size());
    EXPECT_EQ(6u, b.capacity());
    EXPECT_EQ(0, std::memcmp(b.data(), "secret", 6));
    EXPECT_EQ(6u, b.span().size());

    // An empty capacity is still an allocation; an empty fixed size is not.
    tw::SecureBuffer empty = tw::SecureBuffer::with_capacity(0);
    EXPECT_TRUE(empty.valid());
    EXPECT_EQ(0u, empty.capacity());
    EXPECT_FALSE(empty.resize(1));
    ASSERT_TRUE(empty.assign(nullptr, 0));
    EXPECT_TRUE(empty.valid());

    // A fixed-size buffer is all in use; wipe keeps its size.
    tw::SecureBuffer key(32);
    ASSERT_TRUE(key.valid());
    EXPECT_EQ(32u, key.size());
    EXPECT_EQ(32u, key.capacity());
    std::memset(key.data(), 0x11, 32);
    key.wipe();
    EXPECT_EQ(32u, key.size());
    for (uint8_t byte : key.span())
        ASSERT_EQ(0, byte);
}

// Runs `body` in a child whose memory locking is denied: RLIMIT_MEMLOCK 0,
// and (as root) a switch to an unprivileged user, which drops CAP_IPC_LOCK
// that would otherwise let root ignore the limit. Returns the child's
// standard error; `status` receives its exit status.
std::string run_without_memory_locking(int (*body)(), int *status) {
    int pipe_fds[2];
    EXPECT_EQ(0, pipe(pipe_fds));
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[1]);
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_MEMLOCK, &none) != 0)
            _exit(90);
        if (geteuid() == 0) {
            // The group may be unmapped in a user namespace; only the user
            // switch matters for the capabilities.
            if (setgid(65534) != 0) {
            }
            if (setuid(65534) != 0)
                _exit(91);
        }
        _exit(body());
    }
    close(pipe_fds[1]);
    std::string output;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, size_t(n));
    close(pipe_fds[0]);
    EXPECT_EQ(pid, waitpid(pid, status, 0));
    return output;
}

int use_memory_while_locking_is_denied() {
    if (tw::secure_memory_lock_failed())
        return 10; // nothing failed yet in this process
    bool locked = true;
    auto *p = static_cast<uint8_t *>(tw::secure_alloc(100, &locked));
    if (!p || locked || !tw::secure_memory_lock_failed())
        return 11;
    std::memset(p, 0xA5, 100);
    tw::secure_free(p, 100);
    // The key paths still work on unlocked memory: a cipher context and a
    // derivation whose scratch buffers come from secure_alloc.
    tw::CipherContext *ctx = tw::cipher_context_create();
    if (!ctx)
        return 12;
    uint8_t key[64];
    for (int i = 0; i < 64; ++i)
        key[i] = uint8_t(i);
    uint8_t sector[512] = {};
    int rc = tw::cipher_setup(ctx, tw::kCipherAesXts, key, 64);
    if (rc == 0)
        rc = tw::cipher_sector(ctx, sector, 3, tw::kEncrypt);
    if (rc == 0)
        rc = tw::cipher_sector(ctx, sector, 3, tw::kDecrypt);
    tw::cipher_context_destroy(ctx);
    if (rc != 0 || sector[0] != 0 || sector[511] != 0)
        return 13;
    const uint8_t password[] = "pw";
    uint8_t salt[32] = {}, material[96];
    if (tw::derive_storage_keys(password, 2, salt, material) != 0)
        return 14;
    return 0;
}

int use_capacity_buffers_while_locking_is_denied() {
    tw::SecureBuffer password = tw::SecureBuffer::with_capacity(100);
    if (!password.valid() || password.locked())
        return 20;
    if (!password.assign("pw", 2) || password.locked())
        return 21;
    // Neither buffer reported the refused lock.
    return tw::secure_memory_lock_failed() ? 22 : 0;
}

TEST(SecureMemory, CapacityBuffersDoNotWarnWhenLockingIsDenied) {
    int status = 0;
    std::string output =
        run_without_memory_locking(use_capacity_buffers_while_locking_is_denied, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << output;
    EXPECT_EQ("", output);
}

TEST(SecureMemory, DeniedLockingStillWorksAndWarnsEveryTime) {
    int status = 0;
    std::string output = run_without_memory_locking(use_memory_while_locking_is_denied, &status);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << output;
    // Three locked allocations were attempted: the test buffer, the cipher
    // context and the derivation's scratch buffer. Each warns on its own.
    EXPECT_EQ(kWarning + kWarning + kWarning, output);
}

} // namespace
