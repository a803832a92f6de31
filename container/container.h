// The open container: every image read of the system goes through it.
//
// container_open opens a container file (with the in-use lock where the mode
// asks for it) and classifies it into one of the seven format kinds before
// any password is known; the result says which cipher the header names, what
// sector 0 looks like to readers and which header parts were found. Unlocking
// and reading build on this object. Opening loads the process-wide system key
// (system_key.h), so it must not run while another thread changes that key.
//
// A Container is opaque (its definition is container/container_internal.h,
// for the library's own files): it lives in locked memory because it holds
// the system-key schedule, decrypted sector-0 copies and, once unlocked, the
// data key and cipher contexts. container_close wipes all of it.
#pragma once

#include "container/cipher/cipher.h"
#include "container/keys/keys.h"
#include "platform/files.h"
#include "platform/secure_memory.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

namespace tw {

// Format kinds, as reported in ContainerInfo::format_kind.
enum FormatKind : int {
    kFormatModern = 1,       // 32-byte header at 256..287 under the system key
    kFormatIntermediate = 2, // whole sector 0 under the system key, with header
    kFormatLegacy = 3,       // sector 0 under the user's password
    kFormatNoHeader = 4,     // whole sector 0 under the system key, no header
    kFormatSalted = 5,       // salted trailer in the last 4096 bytes
    kFormatClear = 6,        // sector 0 in clear (or an ISO 9660 image)
    kFormatCompressed = 7,   // v3 chunk store
};

// Display name of a format kind; "Unknown Format" for any other number.
const char *format_kind_name(int kind);

// Display name of a cipher id 0..10; "Unknown" above 10.
const char *cipher_name(uint32_t id);

struct Container;

// What an open container reports about itself, as container_info fills it in
// at the time of the call. It holds no key material; the pointers point into
// the Container and stay valid until container_close.
struct ContainerInfo {
    const char *display_path; // the path text, or "passed container descriptor"
    bool read_only;           // opened without write access
    bool block_device;        // the container is a block device, not a regular file
    bool memory_locked;       // the Container's pages are locked
    uint64_t file_size;       // bytes in the file (or device)
    uint64_t size;            // image bytes: file size, minus the trailer (5), virtual size (7)
    uint64_t sector_count;    // size / 512; a trailing partial sector is not addressable

    int format_kind;        // FormatKind
    uint32_t cipher;        // cipher in use: 255 until unlocked, 254 read as plaintext
    uint32_t header_cipher; // named by header or trailer when usable (1, 8, 9, 10), else 255
    bool fallback;          // a legacy unlock fell back to an unverified cipher
    bool unlocked;          // sector reads are allowed

    uint64_t range_start; // recorded from the header (whole container for kinds 4 and 6)
    uint64_t range_end;
    uint64_t range_attribute64;
    uint32_t range_attribute32;

    const uint8_t *presented_sector0; // kSectorSize bytes: sector 0 as served to readers
    bool sector0_available;           // presented_sector0 is valid
    bool header_present;              // header markers found (kinds 1, 2, some 3)
    bool header_locked;               // kind 3: accepted sector 0 carries boot code
    bool cd_image;                    // ISO 9660 descriptor at byte 32768

    // Kind 7: the chunk store's facts (container/v3_store.h); all zero and
    // false without a store.
    bool v3;
    uint32_t v3_version;
    uint32_t v3_chunk_size;
    bool v3_compressed;
    bool v3_open_for_writing;
    bool v3_recovery_needed;
    bool v3_copies_valid; // both root-header copies are valid
};

// Fills `out` with the facts of an open container.
void container_info(const Container *container, ContainerInfo *out);

// What reads found damaged in a container, or why a file with a container
// header could not be opened. The byte range is the part of the disk image
// that the damaged block holds or maps (empty when it holds none).
enum class DamagedPart : int {
    none,
    header,            // no copy of the v3 root header is valid
    truncated,         // the file is shorter than its header records
    chunk_map,         // a chunk-map node
    allocation_bitmap, // an allocation-bitmap node
    data_chunk,        // a data chunk (index = chunk number)
    sector0,           // the block that holds sector 0
};
struct ContainerDamage {
    DamagedPart part = DamagedPart::none;
    uint64_t index = 0;
    uint64_t first_byte = 0;
    uint64_t length = 0;
};
// The first damaged block that reads of this container met. Only layouts
// that authenticate their blocks (v3) can tell; others report none.
ContainerDamage container_damage(const Container *container);
// Forgets the recorded damage, so that the next damaged block is recorded.
void container_damage_clear(Container *container);
// For a path that container_open refused: header or truncated when the file
// carries a v3 root header that is damaged or was cut short, else none.
ContainerDamage container_diagnose_file(const char *path);

// The container's own descriptor, for status and identity checks of the file
// it holds open (and its in-use lock). The Container keeps owning it: never
// close it; -1 once the container is closed.
int container_descriptor(const Container *container);

// Sets the flag the long operations (container_check_all, container_export,
// container_reencode) watch: nonzero asks them to stop with ECANCELED. Null
// (the default) turns it off. The flag must outlive its use.
void container_set_cancel(Container *container, const std::atomic<uint32_t> *cancel);

enum ContainerOpenFlags : unsigned {
    // The file is a freshly formatted private image (container creation): the
    // system key is not loaded from the environment for it.
    kContainerFreshImage = 1u << 0,
};

// A new, empty Container in locked memory: no file (fd -1), kind 0, ciphers
// 255, all contexts reset. 0 or -ENOMEM.
int container_allocate(Container **out);

// Opens the container file with the guarded open of file_access.h (mode
// kContainerOpenUnlocked, kContainerOpenRead or kContainerOpenWrite) and
// classifies it. Never needs a password. On success *out is owned by the
// caller (container_close). Errors: those of container_file_open, and
//   EINVAL  shorter than 512 bytes, damaged salted trailer, invalid v3 headers,
//           malformed system key in the environment
//   ENOTSUP v3 headers with values this build does not support
//   EXDEV   a version-8 v3 container not on a local durable volume
//   EIO     short read
//   ENOMEM
int container_open(const char *path, int mode, Container **out, unsigned flags = 0);

// The same classification for a descriptor the caller already has. The
// Container works on its own duplicate (sharing the open file and so any
// in-use lock on it); the caller keeps and closes `fd`. A descriptor opened
// read-only gives a read-only container whatever `writable` says. EBADF for
// a bad descriptor, EINVAL for one that is neither a regular file nor a block
// device.
int container_open_descriptor(int fd, bool writable, Container **out, unsigned flags = 0);

// The same under a display name of the caller's (used in error lines), for
// files the caller made itself, such as a written output being verified.
int container_open_descriptor_named(int fd, bool writable, const char *display_name,
                                    Container **out, unsigned flags = 0);

// ---- Unlocking

// The byte strings a legacy container may have been keyed with for one
// password text: the UTF-8 bytes unchanged, then the text in Windows-1251 and
// in code page 866 when every character has a code there and the result
// differs from the candidates before it. Conversions are tried only for valid
// UTF-8. All bytes live in locked memory.
inline constexpr size_t kMaxPasswordCandidates = 3;
struct PasswordCandidates {
    size_t count = 0;
    SecureBuffer bytes[kMaxPasswordCandidates];
    size_t lengths[kMaxPasswordCandidates] = {};
    std::span<const uint8_t> operator[](size_t i) const { return {bytes[i].data(), lengths[i]}; }
};

// Builds the candidates of `password`. 0, -E2BIG above kMaxPasswordLength,
// -ENOMEM.
int password_candidates_build(const uint8_t *password, size_t length, PasswordCandidates *out);

// Reads the image as unencrypted data (cipher 254) for kinds 1, 2, 4 and 6
// with sector 0 available: 0 and the container unlocked when the filesystem
// probe recognises it; -EACCES when a password is needed (every other kind,
// or nothing recognised); or the read error met. On failure the previous
// state is kept.
int container_probe_plaintext(Container *container);

// Unlocks with the password and the requested cipher (kCipherUnset for any).
//   kind 7: authenticates the v3 headers; -EACCES for a wrong password,
//           -EBUSY for a writable store already unlocked, -EINVAL when the
//           requested cipher is not the header's
//   kind 5: proves the password with the salted trailer (-EACCES wrong)
//   kinds 1, 2, 3, 4, 6: tries the cipher and password candidates until the
//           filesystem probe recognises the image. Kinds other than 3 succeed
//           in fallback when nothing is recognised (ContainerInfo::fallback);
//           container_verify_filesystem then tells a wrong password.
// -EINVAL for an unavailable cipher or a combination the kind cannot use,
// -E2BIG for a password above kMaxPasswordLength. A failed unlock leaves the
// container locked with every cipher context reset.
int container_unlock(Container *container, const uint8_t *password, size_t password_length,
                     uint32_t requested_cipher);
// The same with the 32-byte keyfile secret of version-8 v3 containers (null
// for none).
int container_unlock_with_secret(Container *container, const uint8_t *password,
                                 size_t password_length, const uint8_t *keyfile_secret,
                                 uint32_t requested_cipher);

// Results of container_verify_filesystem.
enum VerifyResult : int {
    kVerifyRecognised = 0,
    kVerifyNoSector0 = 1,
    kVerifyNotRecognised = 2, // "No recognized filesystem or partition signatures found"
    kVerifyReadError = 3,     // "reading the container failed: %s"
};

// Runs the filesystem probe through the unlocked container. Returns a
// VerifyResult; `text` (optional) receives the probe's line or the failure
// text, truncated to `text_size`. Recognition clears the fallback flag.
int container_verify_filesystem(Container *container, char *text = nullptr, size_t text_size = 0);

// ---- Reading

// Reads up to `length` bytes of the decrypted image at byte `offset`: the
// number of bytes read (0 at or beyond the end; the length is clamped to the
// end) or a negative errno. -EACCES before unlocking (sector 0 of the legacy
// and salted kinds excepted), -EIO for a short read. On failure nothing
// decrypted is left in `buffer`.
ssize_t container_read(Container *container, void *buffer, size_t length, uint64_t offset);

// Reads sector `sector` as served: 0, -EFAULT at or beyond the sector count,
// or the errors of container_read.
int container_read_sector(Container *container, uint64_t sector, uint8_t buffer[kSectorSize]);

// Image bytes that can be addressed: sector count x 512.
uint64_t container_size(const Container *container);

// The cipher a v3 store of this container transforms its units with: sector
// number 0 (the sector-0 block) under SSE2 with the container's system-key
// schedule, other units with the data cipher (and the chunk's nonce prefix
// for XChaCha20). `ctx` is the Container.
int container_v3_cipher(void *ctx, uint8_t *units, size_t count, uint64_t first_sector,
                        const uint8_t *nonce_prefix, int direction);

// ---- Writing (the mount worker's writable mounts)
//
// Writes decrypted image bytes into the container in place, encrypted as the
// format expects; sector 0 is stored so that the file is classified as the
// same kind when opened again. Every write fails with -EINVAL for a missing
// container or buffer, -EROFS for a container opened read-only, and with the
// sticky write error once a write or flush has failed: after a lost write
// nothing more is written until the container is closed. Not thread-safe.

// Writes `length` bytes at byte `offset`, clipped at the image end: the
// number of bytes written, 0 for an empty write, -ENOSPC at or beyond the
// end, -EACCES before unlocking, -ENOMEM, -EPERM for a sector 0 that cannot
// be stored safely, or the error of the file.
ssize_t container_write(Container *container, const void *data, size_t length, uint64_t offset);

// Writes one whole sector: 0, -EFAULT at or beyond the sector count, -EPERM
// for sector 0 of a header-locked container or one that cannot be stored,
// or the errors of container_write.
int container_write_sector(Container *container, uint64_t sector, const uint8_t data[kSectorSize]);

// Makes written data durable: kind 7 commits the store's open transaction;
// other kinds flush the file. Returns the sticky error, a new failure (which
// becomes sticky), or 0.
int container_flush(Container *container);

// Kind 7 write sessions around a writable mount; other kinds keep their
// session state in the worker's marker and these do nothing (0).
// Begin: sets the store's open-for-writing flag and defers commits to
// container_flush. -EINVAL closed, -EROFS read-only, -EACCES locked.
int container_begin_write_session(Container *container);
// Resume (repair of a session a crash left open): takes over the flag left
// set. -ENOTSUP without a store, -EROFS unless a version-7 or later store
// with both copies valid has its flag set.
int container_resume_write_session(Container *container);
// Finish: commits and clears the flag (versions 5, 7 and 8); a failure is
// sticky.
int container_finish_write_session(Container *container);

// Lets an unlocked v3 container transform runs of whole chunks on every
// online CPU (0 threads) or on `threads` threads, the caller's included, until
// it is closed or the pool is stopped. Whole-image reads, the copy writer and
// export start it by themselves. Nothing for other kinds or with fewer than
// two threads. 0, -EACCES before unlocking, or the pool's start error.
int container_start_chunk_pool(Container *container, unsigned threads = 0);
// Stops the pool again (the container then works on the calling thread only).
void container_stop_chunk_pool(Container *container);

// ---- Whole-image reads, export and the full read check

// Reads whole sectors (offset and length multiples of 512, inside the image;
// EINVAL otherwise) as readers see them, for copying: v3 through
// container_read (a short read is EIO); other kinds read raw and present each
// sector, where the stored sector 0 must still be the one read at open (else
// kErrChanged). 0 or a negative errno; on failure nothing decrypted is left in
// `buffer`.
int container_read_range(Container *container, void *buffer, size_t length, uint64_t offset);

// Progress of export and the full read check: (done, total, data).
using ContainerProgressFn = void (*)(uint64_t done, uint64_t total, void *data);

// Reads the whole image in 256 KiB steps as a proof that it decrypts: the
// container must be read-only, unlocked, with sector 0 and not header locked
// (EINVAL). Reports (bytes done, total) before each step; ECANCELED when the
// cancel flag is set; kErrChanged when the file changed since it was opened.
int container_check_all(Container *container, ContainerProgressFn progress, void *data);

// Writes the decrypted image to a new file `output_path` (never replacing an
// existing one: EEXIST), through a hidden temporary that is published only
// when the whole image was written. Reports (sectors done, total sectors)
// after each 64 KiB step. ENOTRECOVERABLE for a version-8 v3 container that
// needs recovery; ECANCELED when the cancel flag is set.
int container_export(Container *container, const char *output_path, ContainerProgressFn progress,
                     void *data);

// ---- Re-encoding into a new container (the copy writer)

// Progress of the copy writer: (phase, done, total, data); phases
// "reencoding" or "initializing", then "verifying".
using CopyProgressFn = void (*)(const char *phase, uint64_t done, uint64_t total, void *data);

struct ReencodeOptions {
    const uint8_t *password = nullptr; // the new password, 1..4096 bytes
    size_t password_length = 0;
    const uint8_t *keyfile_secret = nullptr; // 32 bytes for a version-8 output, else null
    uint32_t cipher = kCipherAesXts;         // the output cipher
    bool creation = false;                   // the source is a fresh plaintext image
    uint32_t chunk_size = 0;                 // 0: salted layout; 4096, 16384, 65536: v3
    bool compress = false;                   // v3 only
    const char *output_path = nullptr;       // the new container's name, or
    int output_fd = -1;                      // an empty file open for reading and writing
    CopyProgressFn progress = nullptr;
    void *progress_data = nullptr;
    // Threads that transform v3 chunks: 0 one per online CPU, 1 the calling
    // thread only (the import worker's sandbox can start no threads).
    unsigned threads = 0;
};

// Takes the in-use lock a copy of the container needs: the exclusive lock
// through a descriptor open for writing; through a read-only descriptor
// (where Linux grants no exclusive lock) the shared lock, which keeps every
// writer out, and only while no other open file holds a lock on the file.
//   0            locked so; held until the container is closed
//   EWOULDBLOCK  another open file holds the lock (a mount, another
//                operation or, for a read-only descriptor, another reader)
//   other        the error of the locking call
// On failure the container is locked out (no key, no cipher, not unlocked):
// it may no longer hold any lock, and the caller closes it.
int container_lock_for_copy(Container *container);

// Writes the decrypted image of `source` (read-only, unlocked, verified by
// the probe here) into a new container and publishes it without replacing
// anything once the output was reopened, unlocked with the new password,
// recognised and compared byte for byte. Takes the source's lock with
// container_lock_for_copy. Errors: EINVAL (refused source or options),
// ENOTSUP/ENOTRECOVERABLE (version-8 sources), EBUSY (the source's lock is
// held elsewhere), EACCES (source not recognised), E2BIG, EFBIG, ECANCELED,
// EILSEQ (the output is not what was meant), kErrChanged (a file changed
// meanwhile), and the errors of the files. Nothing is published on failure.
int container_reencode(Container *source, const ReencodeOptions &options);

// Test seam: called with the output's descriptor after the copy writer wrote
// and flushed it and before it is reopened for verification, so a test can
// damage what was written. Null turns it off.
void copy_writer_set_written_hook_for_testing(void (*hook)(int output_fd));

// Creates a container from a freshly formatted image: `image_fd` is a deleted
// regular file of the current user open read-only, holding a recognisable
// filesystem in clear. XChaCha20 without a chunk size uses 16384-byte chunks
// without compression. A system key must be set (EINVAL).
int container_create_from_image(int image_fd, const ReencodeOptions &options);

// The writer of imported volumes: `read` streams `size` bytes of a plain
// image (read from the file `source_fd`) into the empty file `output_fd`,
// written as a v3 container (AES-256-XTS, 16384-byte chunks, no compression)
// and verified through `output_read_fd`, a read-only handle of the same file.
// Publishing is the caller's. A system key must be set (EINVAL); both files
// must be unchanged afterwards (kErrChanged).
struct ImportStream {
    uint64_t size = 0;
    int (*read)(void *user, void *buffer, size_t length, uint64_t offset) = nullptr;
    void *user = nullptr;
    int source_fd = -1;
    int output_fd = -1;
    int output_read_fd = -1;
    const uint8_t *password = nullptr;
    size_t password_length = 0;
    const std::atomic<uint32_t> *cancel = nullptr;
    CopyProgressFn progress = nullptr; // phases "importing", "verifying"
    void *progress_data = nullptr;
};
int container_import_stream(const ImportStream &stream);

// Flushes a written container (kind 7 commits its store first; a flush
// failure, or a write error met before, is the result and is reported as
// "Error: flushing '...' failed: ..."), closes the file, and wipes and frees
// everything. Null is accepted (0).
int container_close(Container *container);

} // namespace tw
