// Whole-image reads of an unlocked container: the range reader used for
// copying, the full read check and export of the decrypted image to a plain
// file.
#include "container/container.h"

#include "container/container_access.h"
#include "container/container_internal.h"
#include "container/copy_source.h"
#include "container/files/output_file.h"
#include "container/formats/formats.h"
#include "container/v3/v3_pool.h"
#include "platform/io.h"
#include "runtime/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr size_t kCheckStep = 256 * 1024;
constexpr size_t kExportStepSectors = 128;
constexpr size_t kExportBatchSteps = 8; // the image is read 512 KiB at a time

bool cancelled(const Container *c) {
    return c->cancel != nullptr && c->cancel->load(std::memory_order_relaxed) != 0;
}

// The stored sector 0 must still be the one classified at open: a copy never
// presents a sector 0 that belongs to another file.
int present_sector0(Container *c, uint8_t *out) {
    int error = pread_full(c->fd, out, kSectorSize, 0);
    if (error == 0 && std::memcmp(out, c->raw_sector0, kSectorSize) != 0)
        error = -kErrChanged;
    if (error == 0 && !c->info.sector0_available)
        error = -EACCES;
    if (error) {
        secure_wipe(out, kSectorSize);
        return error;
    }
    container_serve_sector0(c, out);
    return 0;
}

int read_range(void *user, void *buffer, size_t length, uint64_t offset) {
    return container_read_range(static_cast<Container *>(user), buffer, length, offset);
}

// A chunk pool for the length of one whole-image pass, unless the caller
// already runs one.
struct PoolForCall {
    explicit PoolForCall(Container *c) : container(c) {
        if (c->v3 == nullptr || v3_pool_threads(c->v3) > 1)
            return;
        error = container_start_chunk_pool(c);
        started = error == 0;
    }
    ~PoolForCall() {
        if (started)
            container_stop_chunk_pool(container);
    }
    PoolForCall(const PoolForCall &) = delete;
    PoolForCall &operator=(const PoolForCall &) = delete;
    Container *container;
    int error = 0;
    bool started = false;
};

} // namespace

int container_read_range(Container *c, void *buffer, size_t length, uint64_t offset) {
    const uint64_t size = container_size(c);
    if (offset % kSectorSize != 0 || length % kSectorSize != 0 || offset > size ||
        length > size - offset)
        return -EINVAL;
    if (length == 0)
        return 0;
    auto *out = static_cast<uint8_t *>(buffer);
    if (c->info.format_kind == kFormatCompressed) {
        ssize_t got = container_read(c, out, length, offset);
        if (got >= 0 && size_t(got) != length) {
            secure_wipe(out, length);
            return -EIO;
        }
        return got < 0 ? int(got) : 0;
    }
    size_t done = 0;
    if (offset == 0) {
        if (int error = present_sector0(c, out)) {
            secure_wipe(out, length);
            return error;
        }
        done = kSectorSize;
    }
    if (done < length) {
        int error = container_read_sectors(c, (offset + done) / kSectorSize,
                                           (length - done) / kSectorSize, out + done);
        if (error) {
            secure_wipe(out, length);
            return error;
        }
    }
    return 0;
}

int container_check_all(Container *c, ContainerProgressFn progress, void *data) {
    if (!c->info.read_only || !c->info.unlocked || !c->info.sector0_available ||
        c->info.header_locked)
        return -EINVAL;
    if (c->v3 != nullptr) {
        if (int error = v3_commit(c->v3))
            return error;
    }
    SecureBuffer buffer(kCheckStep);
    if (!buffer.valid())
        return -ENOMEM;
    PoolForCall pool(c);
    if (pool.error)
        return pool.error;
    const uint64_t total = container_size(c);
    for (uint64_t done = 0; done < total;) {
        if (progress)
            progress(done, total, data);
        if (cancelled(c))
            return -ECANCELED;
        size_t step = size_t(std::min<uint64_t>(kCheckStep, total - done));
        if (int error = container_read_range(c, buffer.data(), step, done))
            return error;
        done += step;
    }
    buffer.wipe();
    FileStatus now;
    if (int error = file_status(c->fd, &now))
        return error;
    if (!file_status_same(now, c->open_status))
        return -kErrChanged;
    return cancelled(c) ? -ECANCELED : 0;
}

int container_export(Container *c, const char *output_path, ContainerProgressFn progress,
                     void *data) {
    // A store with a version-8 copy is only whole through that copy: one
    // that needs recovery, or is read through an older copy, is refused.
    if (c->v3 != nullptr && v3_has_version8_copy(c->v3) &&
        (v3_version(c->v3) < 8 || v3_recovery_needed(c->v3)))
        return -ENOTRECOVERABLE;
    if (cancelled(c))
        return -ECANCELED;
    OutputFile output;
    if (int error = output_open(c->fd, output_path, false, &output))
        return error;
    output.no_replace = true;

    int status = 0;
    // The image is read a batch of steps at a time (a v3 image's chunk pool
    // decrypts and authenticates many chunks at once, and the batches travel
    // between two threads); each step is still written, checked for
    // cancellation and reported on its own. The next batch is read on a
    // thread of its own while this one is written.
    const size_t step_bytes = kExportStepSectors * kSectorSize;
    const size_t batch_steps = kExportBatchSteps;
    const size_t batch_bytes = batch_steps * step_bytes;
    SecureBuffer buffer0(batch_bytes), buffer1(batch_bytes);
    if (!buffer0.valid() || !buffer1.valid())
        status = -ENOMEM;
    uint8_t *const buffers[2] = {buffer0.data(), buffer1.data()};
    PoolForCall pool(c);
    if (status == 0)
        status = pool.error;
    const uint64_t total = c->info.sector_count;
    const uint64_t total_bytes = total * kSectorSize;
    {
        const CopySource source{total_bytes, read_range, c, c->cancel, true};
        StepReadAhead ahead(source);
        int slot = 0;
        uint64_t batch_start = 0, batch_end = 0; // sectors held in buffers[slot]
        if (status == 0 && total > 0)
            ahead.start(buffers[0], size_t(std::min<uint64_t>(batch_bytes, total_bytes)), 0);
        for (uint64_t done = 0; status == 0 && done < total;) {
            if (cancelled(c)) {
                status = -ECANCELED;
                break;
            }
            uint64_t count = std::min<uint64_t>(kExportStepSectors, total - done);
            size_t length = size_t(count) * kSectorSize;
            if (done >= batch_end) {
                if (batch_end != 0)
                    slot = 1 - slot;
                batch_start = done;
                batch_end = std::min<uint64_t>(total, done + batch_steps * kExportStepSectors);
                status = ahead.finish();
                const uint64_t next = batch_end * kSectorSize;
                if (status == 0 && next < total_bytes && !cancelled(c))
                    ahead.start(buffers[1 - slot],
                                size_t(std::min<uint64_t>(batch_bytes, total_bytes - next)), next);
            }
            if (status == 0)
                status = pwrite_full(output.file.get(),
                                     buffers[slot] + (done - batch_start) * kSectorSize, length,
                                     done * kSectorSize);
            done += count;
            if (status == 0 && progress)
                progress(done, total, data);
        }
    }
    buffer0.wipe();
    buffer1.wipe();
    return output_publish(c->fd, output_path, &output, status, nullptr);
}

} // namespace tw
