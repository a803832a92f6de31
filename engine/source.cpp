#include "engine/source.h"

#include "container/container.h"
#include "container/files/file_access.h"
#include "engine/damage.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/recovery_files.h"
#include "engine/summary.h"
#include "platform/files.h"
#include "platform/process.h"
#include "runtime/errors.h"
#include "runtime/text.h"
#include <cstdlib>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

bool changes_password(EngineCommand command) {
    return command == EngineCommand::Rekey || command == EngineCommand::Convert ||
           command == EngineCommand::Replace;
}

int fail(int *exit_code, const char *code, const char *message) {
    *exit_code = engine_fail(code, message);
    return -1;
}

} // namespace

int source_prepare(EngineContext *ctx, PreparedSource *src, int *exit_code) {
    const EngineCommand command = ctx->args.command;
    const bool inspect = command == EngineCommand::Inspect;
    CredentialRecord *cred = ctx->credentials;
    struct Wipe {
        CredentialRecord *r;
        ~Wipe() { credential_record_wipe_password(r); }
    } wipe{cred};

    // 1. The final path, through a handle that only looks at the file.
    int fd = open(ctx->args.file, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return fail(exit_code, "io", error_text(-errno));
    FileHandle probe(fd);
    FileStatus st;
    if (int error = file_status(probe.get(), &st))
        return fail(exit_code, "io", error_text(error));
    if (final_path_of_handle(probe.get(), &src->path) != 0)
        return fail(exit_code, "io", "Filename too long");

    // 2. Leftovers next to the given and the resolved path.
    RecoveryFiles given = recovery_files_check(ctx->args.file);
    RecoveryFiles resolved = recovery_files_check(src->path.c_str());
    if (given == RecoveryFiles::check_failed || resolved == RecoveryFiles::check_failed)
        return fail(exit_code, "io", "Cannot check conversion recovery files.");
    src->recovery_files = given == RecoveryFiles::found || resolved == RecoveryFiles::found;
    if (src->recovery_files && !inspect)
        return fail(exit_code, "recovery",
                    "An unfinished conversion or partial copy was detected. Container access is "
                    "blocked.");

    // 3. Open with the shared in-use lock.
    if (st.type != FileType::regular)
        return fail(exit_code, "unsupported",
                    "Select a regular container file. Device access is not supported.");
    // The re-encoding commands upgrade to the exclusive lock below, which
    // needs a descriptor open for writing; nothing is written through it.
    int rc = container_open(src->path.c_str(),
                            changes_password(command) ? kContainerOpenReadUpgradable
                                                      : kContainerOpenRead,
                            &src->container);
    if (rc == -EBUSY || rc == -EWOULDBLOCK)
        return fail(exit_code, "busy", "The container is in use by a mount or another operation.");
    if (rc != 0) {
        // A file that carries a container header but does not open is damaged
        // or was cut short; say so rather than give the bare error.
        ContainerDamage damage =
            rc == -EINVAL ? container_diagnose_file(src->path.c_str()) : ContainerDamage{};
        if (damage.part != DamagedPart::none) {
            *exit_code = engine_fail_damage(damage, nullptr);
            return -1;
        }
        return fail(exit_code, "io", error_text(rc));
    }

    // 4. The re-encoding commands hold the lock exclusively from here on.
    if (changes_password(command)) {
        // A file this user may only read (mode 0444, a read-only mount) is
        // open read-only and keeps the shared lock; it is refused while
        // somebody else holds a lock on it.
        rc = container_lock_for_copy(src->container);
        if (rc != 0) {
            source_release(src);
            if (rc != -EWOULDBLOCK && rc != -EAGAIN)
                return fail(exit_code, "io", error_text(rc));
            return fail(exit_code, "busy",
                        "Unmount the source and close other operations before changing its "
                        "password.");
        }
    }

    // 5. Unencrypted, or a password is needed.
    bool needs_password = true;
    if (!src->recovery_files) {
        rc = container_probe_plaintext(src->container);
        if (rc == 0) {
            needs_password = false;
            src->plaintext = true;
        } else if (rc != -EACCES) {
            source_release(src);
            return fail(exit_code, "io", "The container could not be read.");
        }
    }
    // 6. Inspect needs nothing more.
    if (inspect)
        return 0;

    // 7. Unlock with the current password, which is wiped right after.
    if (needs_password) {
        rc = container_unlock(src->container, reinterpret_cast<const uint8_t *>(cred->password),
                              cred->password_length, cred->cipher);
        credential_record_wipe_password(cred);
        if (rc == -EILSEQ) {
            // The header authenticated, so the password is right; what
            // follows it does not hold together.
            ContainerDamage damage = container_damage(src->container);
            source_release(src);
            *exit_code = engine_fail_damage(damage, nullptr);
            return -1;
        }
        if (rc != 0) {
            source_release(src);
            return fail(exit_code, rc == -EACCES ? "credentials" : "io",
                        "Credentials could not be checked.");
        }
    }

    // 8. The password is proven by a recognised filesystem or partition layout.
    rc = container_verify_filesystem(src->container, src->probe_text, sizeof src->probe_text);
    if (rc == kVerifyReadError) {
        ContainerDamage damage = container_damage(src->container);
        source_release(src);
        *exit_code =
            engine_fail_damage(damage, "An I/O error occurred while checking the container.");
        return -1;
    }
    if (rc != kVerifyRecognised) {
        source_release(src);
        return fail(exit_code, "credentials",
                    "The password, cipher, or system key did not match a supported filesystem. The "
                    "container may also be damaged.");
    }

    // 9. Only whole sectors.
    ContainerInfo info;
    container_info(src->container, &info);
    if (info.size % 512 != 0) {
        source_release(src);
        return fail(exit_code, "unsupported", "The container has an incomplete final sector.");
    }
    return 0;
}

bool destination_taken(const char *output, int *exit_code) {
    FileStatus st;
    int rc = file_status_path(output, false, &st);
    if (rc == -ENOENT)
        return false;
    *exit_code = rc == 0 ? engine_fail("destinationExists",
                                       "The destination already exists. Choose a new filename.")
                         : engine_fail("io", error_text(rc));
    return true;
}

void source_release(PreparedSource *source) {
    container_close(source->container);
    source->container = nullptr;
}

int new_password_check(const EngineContext *ctx, uint32_t output_cipher, int *exit_code) {
    uint32_t limit = new_password_limit(output_cipher);
    if (ctx->credentials->new_password_length <= limit)
        return 0;
    char *message = format_alloc(
        "%s supports at most %zu UTF-8 bytes for a new password. The password was not truncated.",
        cipher_name(output_cipher), static_cast<size_t>(limit));
    *exit_code = engine_fail("newPassword", message ? message : "The new password is too long.");
    std::free(message);
    return -1;
}

} // namespace tw
