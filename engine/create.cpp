// "create": a new container holding a freshly formatted FAT32, exFAT or NTFS
// filesystem. The engine serves an empty raw image (an unnamed file next to
// the destination, so it never outlives the process) through a private
// loopback target, the broker formats that disk with the system's mkfs, and
// the formatted image is encrypted into the new container.
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/files/raw_image.h"
#include "engine/arguments.h"
#include "engine/broker_client.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "engine/source.h"
#include "engine/summary.h"
#include "iscsi/naming.h"
#include "iscsi/target.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/secure_memory.h"
#include "runtime/cipher_id.h"
#include "runtime/creation_rules.h"
#include "runtime/random.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace tw {

namespace {

constexpr uint64_t kMiB = kCreationMiB;
constexpr size_t kChapSecretLength = kTargetSecretLength;

constexpr const char *kCancelled = "Container creation cancelled. No existing file was replaced.";
constexpr const char *kNotReopened = "The saved container could not be reopened. Verify it before "
                                     "use.";

struct Failure {
    int rc;
    const char *code;
    const char *message;
};

constexpr Failure kFailures[] = {
    {-ENOTSUP, "creation",
     "This storage does not support the required reservation or durability guarantees. Choose "
     "another local disk."},
    {-ECANCELED, "cancelled", kCancelled},
    {-ENOSPC, "creation",
     "Creation needs space for both an empty filesystem image and the encrypted container. Free "
     "more space or choose a smaller size."},
    {-EFBIG, "fileSize", kTextCreationFileSize},
    {-EINVAL, "creation", kTextCreationInvalid},
    {-EEXIST, "destinationExists", "The destination already exists. Choose a new filename."},
    {-EBUSY, "destinationExists", "The destination already exists. Choose a new filename."},
    {-EACCES, "creation",
     "Choose a local destination folder owned by your account that other users cannot modify."},
    {-ECHILD, "creation",
     "The formatter could not prepare the empty image. No container was published."},
    {-E2BIG, "creation",
     "Enter and confirm the same nonempty new password, up to 4096 UTF-8 bytes."},
};
constexpr const char *kFailed = "Container creation failed. No existing file was replaced. If a "
                                "final file exists, verify it before use.";

// The error event of a result; a message of the checks or of the broker
// wins (never over cancellation).
int creation_failure(int rc, const std::string &message) {
    if (rc == -ECANCELED)
        return engine_fail("cancelled", kCancelled);
    if (!message.empty())
        return engine_fail("creation", message.c_str());
    for (const Failure &f : kFailures)
        if (f.rc == rc)
            return engine_fail(f.code, f.message);
    return engine_fail("creation", kFailed);
}

// Checks 2 to 8, in order, before anything is written. 0 with the opened
// destination folder, or a negative errno (with *message for a message of
// its own).
int creation_checks(EngineContext *ctx, uint64_t bytes, FileHandle *folder, std::string *message) {
    const EngineArgs &args = ctx->args;
    const CredentialRecord *cred = ctx->credentials;
    const std::string filesystem = args.fs;
    const char *size_message = nullptr;
    if (int rc = creation_size_check(bytes, filesystem, &size_message)) {
        if (size_message != nullptr)
            *message = size_message;
        return rc;
    }
    if (!cipher_is_offered(cred->cipher))
        return -EINVAL;
    if (cred->new_password_length == 0 ||
        cred->new_password_length > new_password_limit(cred->cipher))
        return -E2BIG;
    if (!creation_label_valid(filesystem, args.label))
        return -EINVAL;
    const uint64_t need =
        args.pair_given ? bytes / 1024 + 256ull * args.chunk_size + 64 * kMiB + 4096 : bytes + 4096;
    if (int rc = destination_check(args.output, need, folder))
        return rc;
    if (engine_cancel_requested(ctx))
        return -ECANCELED;
    return 0;
}

// The format target's disk: the raw image through its write descriptor.
int image_read(void *context, void *buffer, uint64_t offset, size_t count) {
    return pread_full(*static_cast<int *>(context), buffer, count, offset) == 0 ? 0 : -EIO;
}

int image_write(void *context, const void *buffer, uint64_t offset, size_t count) {
    return pwrite_full(*static_cast<int *>(context), buffer, count, offset) == 0 ? 0 : -EIO;
}

int image_flush(void *context) {
    return file_flush_data(*static_cast<int *>(context)) == 0 ? 0 : -EIO;
}

// The target's name, CHAP secret (also as text in `secret`), serial number
// and NAA identifier for the creation `uuid`.
int build_config(const char *uuid, TargetConfig *config, char secret[kChapSecretLength + 1]) {
    const std::string name = std::string(kTarnwickIqnAuthority) + ":format-" + uuid;
    if (int rc = target_config_prepare(config, name, secret))
        return rc;
    snprintf(config->serial, sizeof config->serial, "%.8s%.4s%.4s", uuid, uuid + 9, uuid + 14);
    return 0;
}

// Serves the raw image to the broker's initiator while the broker formats
// it. 0, or a negative errno with *message from the broker.
int format_image(EngineContext *ctx, int image_fd, uint64_t bytes, std::string *message) {
    char uuid[kUuidTextSize];
    if (!uuid_generate(uuid))
        return -EIO;
    TargetConfig config{};
    char secret[kChapSecretLength + 1] = {};
    struct Wipe {
        TargetConfig *config;
        char *secret;
        ~Wipe() {
            secure_wipe(config, sizeof *config);
            secure_wipe(secret, kChapSecretLength + 1);
        }
    } wipe{&config, secret};
    if (build_config(uuid, &config, secret) != 0)
        return -EIO;
    int fd = image_fd;
    BlockDevice device{};
    device.context = &fd;
    device.size = bytes;
    device.read_only = 0;
    device.removable = 1;
    device.read = image_read;
    device.write = image_write;
    device.flush = image_flush;
    device.write_protect_switch_permitted = 0;
    uint16_t port = 0;
    IscsiTarget *target = target_create(&config, &device, &port);
    if (target == nullptr)
        return -EIO;
    std::thread serving([target] { target_serve(target); });

    engine_progress(ctx, "formatting", 0, bytes);
    FormatRequest request;
    request.port = port;
    request.target = config.target_name;
    request.chap_name = kTarnwickChapName;
    request.chap_secret = secret;
    request.size = bytes;
    request.filesystem = ctx->args.fs;
    request.label = ctx->args.label;
    int rc = broker_format(request, message);
    secure_wipe(secret, sizeof secret);

    target_stop(target);
    serving.join();
    target_destroy(target);
    return rc != 0 ? -ECHILD : 0;
}

int create_container(EngineContext *ctx, uint64_t bytes, std::string *message) {
    FileHandle folder;
    if (int rc = creation_checks(ctx, bytes, &folder, message))
        return rc;
    RawImage image;
    if (int rc = raw_image_create(folder.get(), "create", bytes, false, &image))
        return rc;
    if (int rc = format_image(ctx, image.write.get(), bytes, message))
        return rc;
    if (engine_cancel_requested(ctx))
        return -ECANCELED;

    // The formatter must have left a boot sector.
    uint8_t sector[512];
    if (pread_full(image.read.get(), sector, sizeof sector, 0) != 0 || sector[510] != 0x55 ||
        sector[511] != 0xAA)
        return -ECHILD;
    if (file_flush_data(image.write.get()) != 0)
        return -EIO;
    image.write.reset();

    ReencodeOptions options;
    options.password = reinterpret_cast<const uint8_t *>(ctx->credentials->new_password);
    options.password_length = ctx->credentials->new_password_length;
    options.cipher = ctx->credentials->cipher;
    options.creation = true;
    options.chunk_size = ctx->args.pair_given ? ctx->args.chunk_size : 0;
    options.compress = ctx->args.pair_given && ctx->args.compression == CompressionChoice::Fast;
    options.output_path = ctx->args.output;
    options.progress = [](const char *phase, uint64_t done, uint64_t total, void *data) {
        engine_progress(data, phase, done, total);
    };
    options.progress_data = ctx;
    // The raw image goes with its last descriptor, when `image` is released.
    return container_create_from_image(image.read.get(), options);
}

} // namespace

int run_create(EngineContext *ctx) {
    engine_set_cancelled_message(kCancelled);
    const CredentialRecord *cred = ctx->credentials;
    uint64_t bytes = 0;
    if (!parse_unsigned(ctx->args.bytes, &bytes) || cred->password_length != 0 ||
        !cipher_is_offered(cred->cipher))
        return engine_fail("usage", "Invalid creation request.");

    std::string message;
    int rc = create_container(ctx, bytes, &message);
    if (rc != 0)
        return creation_failure(rc, message);

    PreparedSource written;
    written.path = ctx->args.output;
    rc = container_open(ctx->args.output, kContainerOpenRead, &written.container);
    if (rc == 0)
        rc = container_unlock(written.container,
                              reinterpret_cast<const uint8_t *>(cred->new_password),
                              cred->new_password_length, cred->cipher);
    if (rc == 0 && container_verify_filesystem(written.container, written.probe_text,
                                               sizeof written.probe_text) != kVerifyRecognised)
        rc = -EILSEQ;
    if (rc != 0) {
        source_release(&written);
        return engine_fail("verification", kNotReopened);
    }
    int code = write_summary(ctx, written, true, nullptr);
    source_release(&written);
    return code;
}

} // namespace tw
