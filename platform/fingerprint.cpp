#include "platform/fingerprint.h"

#include "platform/folders.h"
#include "platform/io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <shared_mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kPrograms[3] = {"tarnwick-service", "tarnwick-worker", "tarnwick-engine"};
constexpr size_t kChunk = 1u << 20;

struct Cache {
    std::shared_mutex lock;
    std::string stamp;
    std::string fingerprint;
};

Cache &cache() {
    static Cache c;
    return c;
}

struct Files {
    int fd[3] = {-1, -1, -1};
    int error[3] = {0, 0, 0};
    ~Files() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

// Opens the three programs and describes them: per file its device, inode,
// size and modification time, or "-ERRNO;" when it could not be opened.
std::string open_and_stamp(const std::string &folder, Files *files) {
    std::string stamp;
    for (int i = 0; i < 3; i++) {
        std::string path = folder + "/" + kPrograms[i];
        char part[128];
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int e = fd < 0 ? errno : 0;
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) != 0)
            e = errno;
        else if (fd >= 0 && !S_ISREG(st.st_mode))
            e = EISDIR;
        if (e == 0) {
            files->fd[i] = fd;
            snprintf(part, sizeof part, "%llx.%llx.%llx.%llx.%lx;",
                     static_cast<unsigned long long>(st.st_dev),
                     static_cast<unsigned long long>(st.st_ino),
                     static_cast<unsigned long long>(st.st_size),
                     static_cast<unsigned long long>(st.st_mtim.tv_sec),
                     static_cast<unsigned long>(st.st_mtim.tv_nsec));
        } else {
            if (fd >= 0)
                close(fd);
            files->error[i] = e;
            snprintf(part, sizeof part, "-%d;", e);
        }
        stamp += part;
    }
    return stamp;
}

int hash_file(EVP_MD_CTX *ctx, int fd, unsigned char *buf) {
    for (;;) {
        ssize_t n = read_some(fd, buf, kChunk);
        if (n < 0)
            return static_cast<int>(n);
        if (n == 0)
            return 0;
        if (EVP_DigestUpdate(ctx, buf, static_cast<size_t>(n)) != 1)
            return -EIO;
    }
}

int compute(const Files &files, std::string *out) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kChunk]);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return -ENOMEM;
    for (int i = 0; i < 3; i++) {
        if (files.fd[i] < 0)
            continue;
        int rc = hash_file(ctx.get(), files.fd[i], buf.get());
        if (rc != 0)
            return rc;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != 32)
        return -EIO;
    static const char hex[] = "0123456789abcdef";
    out->clear();
    for (unsigned i = 0; i < length; i++) {
        out->push_back(hex[digest[i] >> 4]);
        out->push_back(hex[digest[i] & 15]);
    }
    return 0;
}

} // namespace

int installation_fingerprint_in(std::string_view folder, std::string *out) {
    Files files;
    std::string stamp = open_and_stamp(std::string(folder), &files);
    // The service and the worker must be there; the engine may be missing.
    for (int i = 0; i < 2; i++)
        if (files.fd[i] < 0)
            return -files.error[i];
    if (files.fd[2] < 0 && files.error[2] != ENOENT)
        return -files.error[2];
    Cache &c = cache();
    {
        std::shared_lock guard(c.lock);
        if (!c.fingerprint.empty() && c.stamp == stamp) {
            *out = c.fingerprint;
            return 0;
        }
    }
    std::string fingerprint;
    int rc = compute(files, &fingerprint);
    if (rc != 0)
        return rc;
    {
        std::unique_lock guard(c.lock);
        c.stamp = stamp;
        c.fingerprint = fingerprint;
    }
    *out = std::move(fingerprint);
    return 0;
}

int installation_fingerprint(std::string *out) {
    std::string self;
    int rc = program_file_path("", &self);
    if (rc != 0)
        return rc;
    self.pop_back(); // the folder without the trailing "/"
    return installation_fingerprint_in(self, out);
}

} // namespace tw
