// "image": a removable device, lent read-only by the broker, captured twice
// into a raw image that deletes itself, and encrypted into a new container
// once both passes agree.
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/files/raw_image.h"
#include "engine/broker_client.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "engine/source.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/removable_disks.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace tw {

namespace {

constexpr size_t kStep = 1 << 20;
constexpr uint64_t kSector = 512;

constexpr const char *kCancelled = "Device imaging cancelled. The source was opened read-only.";
constexpr const char *kCouldNotFinish = "Device imaging could not finish. The source was opened "
                                        "read-only. Keep any completed output and verify it "
                                        "before use.";
constexpr const char *kChanged = "The device changed while it was read. No container was saved.";

// Two locked 1 MiB buffers of plain disk contents, wiped when released.
struct StepBuffers {
    void *device = nullptr;
    void *image = nullptr;
    ~StepBuffers() {
        secure_free(device, kStep);
        secure_free(image, kStep);
    }
};

void copy_progress(const char *phase, uint64_t done, uint64_t total, void *data) {
    engine_progress(data, phase, done, total);
}

// Both passes over the device. Pass 1 copies each step into the image;
// pass 2 reads the device again and compares it with what the image holds.
int capture(EngineContext *ctx, int device, int image, uint64_t size) {
    StepBuffers buffers;
    buffers.device = secure_alloc(kStep);
    buffers.image = secure_alloc(kStep);
    if (buffers.device == nullptr || buffers.image == nullptr)
        return -ENOMEM;
    for (int pass = 1; pass <= 2; pass++) {
        for (uint64_t offset = 0; offset < size; offset += kStep) {
            if (engine_cancel_requested(ctx))
                return -ECANCELED;
            size_t length = static_cast<size_t>(std::min<uint64_t>(kStep, size - offset));
            if (int rc = pread_full(device, buffers.device, length, offset))
                return rc;
            if (pass == 1) {
                if (int rc = pwrite_full(image, buffers.device, length, offset))
                    return rc;
            } else {
                if (int rc = pread_full(image, buffers.image, length, offset))
                    return rc;
                if (std::memcmp(buffers.device, buffers.image, length) != 0)
                    return -kErrChanged;
            }
            uint64_t done = offset + length + (pass == 2 ? size : 0);
            engine_progress(ctx, "imaging", done, 2 * size);
        }
        if (pass == 1 && file_flush_data(image) != 0)
            return -EIO;
    }
    return 0;
}

struct Failure {
    int rc;
    const char *code;
    const char *message;
};

constexpr Failure kFailures[] = {
    {-ECANCELED, "cancelled", kCancelled},
    {-ENOTSUP, "io",
     "This storage does not support the required reservation or durability guarantees. Choose "
     "another local disk."},
    {-ENOSPC, "io", "There is not enough space for a complete image. The source is unchanged."},
    {-EACCES, "io",
     "Choose a local destination folder owned by your account that other users cannot modify."},
    {-EILSEQ, "verification", kCouldNotFinish},
    {-kErrChanged, "io", kChanged},
};

// The failure event of a result; a message from the broker client wins
// where there is one (but never over cancellation).
int imaging_failure(int rc, const std::string &broker_message) {
    for (const Failure &f : kFailures)
        if (f.rc == rc) {
            if (!broker_message.empty() && rc != -ECANCELED && rc != -ENOTSUP && rc != -ENOSPC &&
                rc != -EACCES)
                return engine_fail(f.code, broker_message.c_str());
            return engine_fail(f.code, f.message);
        }
    return engine_fail("io", broker_message.empty() ? kCouldNotFinish : broker_message.c_str());
}

// The capture itself, from the broker's loan to the published container.
int image_device(EngineContext *ctx, std::string *broker_message) {
    const EngineArgs &args = ctx->args;
    if (int rc = destination_check(args.output, 0))
        return rc;

    LentDevice lent;
    if (broker_image_source(args.device, static_cast<int64_t>(args.identity), &lent,
                            broker_message) != 0)
        return -EIO;
    if (lent.handle == 0 || lent.size <= 0 || lent.size % static_cast<int64_t>(kSector) != 0)
        return -EIO;
    const uint64_t size = static_cast<uint64_t>(lent.size);
    uint64_t length = 0;
    if (block_device_size(lent.device.get(), &length) != 0 || length != size)
        return -kErrChanged;

    const uint32_t chunk = args.pair_given ? args.chunk_size : kDefaultChunk;
    const uint64_t need = 2 * size + size / 32 + 256ull * chunk + 1052672;
    FileHandle folder;
    if (int rc = destination_check(args.output, need, &folder))
        return rc;
    RawImage image;
    if (int rc = raw_image_create(folder.get(), "image", size, true, &image))
        return rc;

    int rc = capture(ctx, lent.device.get(), image.write.get(), size);
    lent.device.reset();
    image.write.reset();
    if (rc != 0)
        return rc;

    ReencodeOptions options;
    options.password = reinterpret_cast<const uint8_t *>(ctx->credentials->new_password);
    options.password_length = ctx->credentials->new_password_length;
    options.cipher = args.output_cipher;
    options.creation = true;
    options.chunk_size = chunk;
    options.compress = args.compression == CompressionChoice::Fast;
    options.output_path = args.output;
    options.progress = copy_progress;
    options.progress_data = ctx;
    rc = container_create_from_image(image.read.get(), options);
    // The image goes with its last descriptor; the device goes back to the
    // broker when `lent` closes its connection.
    return rc;
}

} // namespace

int run_image(EngineContext *ctx) {
    engine_set_cancelled_message(kCancelled);
    if (ctx->credentials->password_length != 0)
        return engine_fail("usage", "Device imaging takes only a new password.");
    FileStatus st;
    int rc = file_status_path(ctx->args.output, false, &st);
    if (rc == 0)
        return engine_fail("destinationExists",
                           "Choose a new output file. Existing files are never replaced.");
    if (rc != -ENOENT)
        return engine_fail("io", error_text(rc));
    int exit_code = 0;
    if (new_password_check(ctx, ctx->args.output_cipher, &exit_code) != 0)
        return exit_code;

    std::string broker_message;
    rc = image_device(ctx, &broker_message);
    if (rc != 0)
        return imaging_failure(rc, broker_message);

    PreparedSource written;
    written.path = ctx->args.output;
    rc = container_open(ctx->args.output, kContainerOpenRead, &written.container);
    if (rc == 0)
        rc = container_unlock(written.container,
                              reinterpret_cast<const uint8_t *>(ctx->credentials->new_password),
                              ctx->credentials->new_password_length, ctx->args.output_cipher);
    if (rc == 0 && container_verify_filesystem(written.container, written.probe_text,
                                               sizeof written.probe_text) != kVerifyRecognised)
        rc = -EILSEQ;
    if (rc != 0) {
        source_release(&written);
        return engine_fail("verification", "The captured container could not be reopened.");
    }
    int code = write_summary(ctx, written, true, nullptr);
    source_release(&written);
    return code;
}

} // namespace tw
