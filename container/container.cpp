// Lifetime of the Container: opening (guarded open plus classification),
// the display-name tables and closing.
#include "container/container.h"

#include "container/container_internal.h"
#include "container/files/file_access.h"
#include "container/formats/formats.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kDescriptorDisplayPath = "passed container descriptor";

constexpr const char *kFormatKindNames[] = {
    "OpenZCX Modern (ctRangeFDD, 32-byte SSE2 header)",
    "OpenZCX Intermediate (ctRangeFDDOld, 512-byte system key)",
    "Legacy ZCXCrypt (ctRangeFDDOld, user-key encrypted header)",
    "OpenZCX (no header, sector 0 under the system key)",
    "OpenZCX salted",
    "OpenZCX (sector 0 in clear)",
    "OpenZCX compressed",
};

constexpr const char *kCipherNames[] = {
    "GOST28147", "SSE1", "IDEA", "Blowfish",    "DES",       "3DES",
    "Arcfour",   "SSE2", "XOR",  "AES-256-XTS", "XChaCha20",
};

// The size of a block device is not in its status.
int device_size(int fd, uint64_t *size) {
    if (ioctl(fd, BLKGETSIZE64, size) < 0)
        return -errno;
    return 0;
}

// Takes ownership of `fd`, classifies it and hands out the container.
int open_classified(int fd, const char *display_path, bool read_only, const FileStatus &status,
                    unsigned flags, Container **out) {
    Container *container = nullptr;
    if (int error = container_allocate(&container)) {
        close(fd);
        return error;
    }
    container->fd = fd;
    container->info.read_only = read_only;
    container->info.block_device = status.type == FileType::block_device;
    container->info.file_size = status.size;
    container->open_status = status;
    int error = 0;
    container->display_path = strdup(display_path);
    if (container->display_path == nullptr)
        error = -ENOMEM;
    if (error == 0 && container->info.block_device)
        error = device_size(fd, &container->info.file_size);
    if (error == 0)
        error = container_classify(container, flags);
    if (error) {
        container_close(container);
        return error;
    }
    *out = container;
    return 0;
}

} // namespace

const char *format_kind_name(int kind) {
    if (kind < kFormatModern || kind > kFormatCompressed)
        return "Unknown Format";
    return kFormatKindNames[kind - 1];
}

const char *cipher_name(uint32_t id) {
    if (id >= sizeof kCipherNames / sizeof kCipherNames[0])
        return "Unknown";
    return kCipherNames[id];
}

void container_info(const Container *container, ContainerInfo *out) {
    const Container &c = *container;
    *out = c.info;
    out->display_path = c.display_path;
    out->presented_sector0 = c.presented_sector0;
    out->v3 = false;
    out->v3_version = 0;
    out->v3_chunk_size = 0;
    out->v3_compressed = false;
    out->v3_open_for_writing = false;
    out->v3_recovery_needed = false;
    out->v3_copies_valid = false;
    if (c.v3 != nullptr) {
        out->v3 = true;
        out->v3_version = v3_version(c.v3);
        out->v3_chunk_size = v3_chunk_size(c.v3);
        out->v3_compressed = v3_compressed(c.v3);
        out->v3_open_for_writing = v3_open_for_writing(c.v3);
        out->v3_recovery_needed = v3_recovery_needed(c.v3);
        out->v3_copies_valid = v3_copies_valid(c.v3);
    }
}

ContainerDamage container_damage(const Container *container) {
    ContainerDamage out;
    if (container == nullptr || container->v3 == nullptr)
        return out;
    V3Damage d = v3_damage(container->v3);
    static constexpr DamagedPart kParts[] = {DamagedPart::none, DamagedPart::chunk_map,
                                             DamagedPart::allocation_bitmap,
                                             DamagedPart::data_chunk, DamagedPart::sector0};
    out.part = kParts[static_cast<int>(d.part)];
    out.index = d.index;
    out.first_byte = d.first_byte;
    out.length = d.length;
    return out;
}

void container_damage_clear(Container *container) {
    if (container != nullptr && container->v3 != nullptr)
        v3_damage_clear(container->v3);
}

ContainerDamage container_diagnose_file(const char *path) {
    ContainerDamage out;
    int fd = path ? open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0)
        return out;
    FileStatus st;
    if (file_status(fd, &st) == 0 && st.type == FileType::regular) {
        int rc = v3_diagnose_header(fd, st.size);
        // Too short for the two copies: whatever is left, the file was cut.
        if (rc == 1 || (rc == 0 && st.size < 2 * kV3HeaderSize))
            out.part = DamagedPart::truncated;
        else if (rc == 0)
            out.part = DamagedPart::header;
    }
    close(fd);
    return out;
}

int container_descriptor(const Container *container) {
    return container->fd;
}

void container_set_cancel(Container *container, const std::atomic<uint32_t> *cancel) {
    container->cancel = cancel;
}

int container_allocate(Container **out) {
    *out = nullptr;
    bool locked = false;
    void *memory = secure_alloc(sizeof(Container), &locked);
    if (memory == nullptr)
        return -ENOMEM;
    // Every flag off, every count 0, no pointers.
    auto *container = new (memory) Container{};
    container->fd = -1;
    container->info.memory_locked = locked;
    container->info.cipher = kCipherUnset;
    container->info.header_cipher = kCipherUnset;
    cipher_reset(&container->data_cipher);
    *out = container;
    return 0;
}

int container_open(const char *path, int mode, Container **out, unsigned flags) {
    *out = nullptr;
    ContainerFile file;
    if (int error = container_file_open(path, mode, &file))
        return error;
    return open_classified(file.file.release(), path, file.read_only, file.status, flags, out);
}

int container_open_descriptor(int fd, bool writable, Container **out, unsigned flags) {
    return container_open_descriptor_named(fd, writable, kDescriptorDisplayPath, out, flags);
}

int container_open_descriptor_named(int fd, bool writable, const char *display_name,
                                    Container **out, unsigned flags) {
    *out = nullptr;
    if (fd < 0)
        return -EBADF;
    FileStatus status;
    if (int error = file_status(fd, &status))
        return error;
    if (status.type != FileType::regular && status.type != FileType::block_device) {
        std::fprintf(stderr, "Error: '%s' is neither a regular file nor a block device.\n",
                     display_name);
        return -EINVAL;
    }
    bool read_only = !writable || handle_is_read_only(fd);
    int own = file_duplicate(fd);
    if (own < 0)
        return own;
    return open_classified(own, display_name, read_only, status, flags, out);
}

int container_close(Container *container) {
    if (container == nullptr)
        return 0;
    int error = 0;
    bool writable_and_written = container->written && !container->info.read_only;
    if (container->written || container->write_error) {
        // A write that failed earlier is reported even when the flush works:
        // the image is not what the writer meant it to be. A v3 store first
        // publishes its open transaction.
        error = container->write_error;
        int flush_error = 0;
        if (container->v3 != nullptr)
            flush_error = v3_commit(container->v3);
        if (flush_error == 0 && !container->info.read_only && container->fd >= 0)
            flush_error = file_flush(container->fd);
        if (flush_error) {
            container->write_error = flush_error;
            error = flush_error;
        }
    }
    if (container->fd >= 0) {
        int close_error = close(container->fd) < 0 ? -errno : 0;
        container->fd = -1;
        if (close_error && writable_and_written && error == 0)
            error = close_error;
    }
    if (error) {
        std::fprintf(stderr, "Error: flushing '%s' failed: %s\n",
                     container->display_path ? container->display_path : "container",
                     error_text(error));
    }
    if (container->display_path != nullptr)
        secure_wipe(container->display_path, std::strlen(container->display_path));
    std::free(container->display_path);
    container->display_path = nullptr;
    v3_close(container->v3);
    container->v3 = nullptr;
    cipher_reset(&container->data_cipher);
    secure_free(container, sizeof(Container));
    return error;
}

} // namespace tw
