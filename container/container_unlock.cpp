// Unlocking a classified container, and proving the key for the kinds whose
// headers cannot: a legacy container is keyed with the password bytes and
// accepted when a filesystem or partition layout appears in the decrypted
// data, because a wrong key only ever yields random sectors.
#include "container/container.h"

#include "container/container_access.h"
#include "container/container_internal.h"
#include "container/formats/formats.h"
#include "container/keys/system_key.h"
#include "container/probe/probe.h"
#include "container/probe/probe_checks.h"
#include "platform/io.h"
#include "runtime/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tw {

namespace {

using probe::all_zero;
using probe::has_boot_signature;
using probe::le16;

constexpr size_t kSectorBlocks = kSectorSize / kSse2BlockSize;
constexpr uint64_t kIsoDescriptorSector = 64;
constexpr size_t kBootCodeSize = 440; // bytes before the MBR disk signature
constexpr size_t kEmbeddedMarkerOffset = 494;
constexpr uint16_t kBootSignature = 0xAA55;

// Drops every key and makes the container unreadable again.
void reset_contexts(Container *c) {
    cipher_reset(&c->data_cipher);
    secure_wipe(c->data_key, sizeof c->data_key);
    c->info.cipher = kCipherUnset;
    c->info.unlocked = false;
}

int probe_read(void *user, void *buffer, size_t length, uint64_t offset) {
    ssize_t got = container_read(static_cast<Container *>(user), buffer, length, offset);
    if (got < 0)
        return int(got);
    return size_t(got) == length ? 0 : -EIO;
}

// ---- Cipher and password candidates of the legacy kinds

struct CipherCandidates {
    uint32_t ids[2];
    size_t count;
};

CipherCandidates cipher_candidates(const Container *c, uint32_t requested) {
    if (requested != kCipherUnset)
        return {{requested, 0}, 1};
    uint32_t named = c->info.header_cipher;
    if (c->info.format_kind != kFormatLegacy && (named == kCipherSse1 || named == kCipherXor))
        return {{named, named == kCipherSse1 ? kCipherXor : kCipherSse1}, 2};
    return {{kCipherSse1, kCipherXor}, 2};
}

int key_legacy(Container *c, uint32_t cipher, std::span<const uint8_t> password) {
    c->info.cipher = kCipherUnset;
    int error = cipher_setup(&c->data_cipher, cipher, password.data(), password.size());
    if (error == 0)
        c->info.cipher = cipher;
    return error;
}

// ---- Filesystem trial (kinds 1, 2, 4, 6)

int filesystem_trial(Container *c, const CipherCandidates &ciphers,
                     const PasswordCandidates &passwords, uint32_t requested) {
    int first_error = 0;
    for (size_t i = 0; i < ciphers.count; ++i) {
        for (size_t p = 0; p < passwords.count; ++p) {
            if (key_legacy(c, ciphers.ids[i], passwords[p]) != 0)
                continue;
            int read_error = 0;
            if (container_probe(c, nullptr, 0, &read_error) == kProbeRecognised)
                return 0;
            if (first_error == 0)
                first_error = read_error;
        }
    }
    // Nothing recognised: unlock anyway with the most likely cipher. The
    // verification that follows tells the caller the password was wrong.
    uint32_t cipher = requested;
    if (requested == kCipherUnset) {
        uint32_t named = c->info.header_cipher;
        cipher = named == kCipherSse1 || named == kCipherXor ? named : kCipherSse1;
        c->info.fallback = true;
    }
    if (int error = key_legacy(c, cipher, passwords[0])) {
        c->info.fallback = false;
        return error;
    }
    c->last_read_error = first_error;
    return 0;
}

// ---- Kind-3 trial: sector 0 itself is under the password

struct Pair {
    bool set = false;
    size_t cipher = 0;
    size_t password = 0;
};

// How much a decrypted sector 0 looks like a header or a boot sector.
int score_sector0(const uint8_t *s, uint64_t sector_count) {
    int score = 0;
    bool signature = has_boot_signature(s);
    if (signature && le16(s + kEmbeddedMarkerOffset) == kBootSignature)
        score += 4;
    if (signature) {
        bool named =
            std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 82, "FAT32   ", 8) == 0 ||
            std::memcmp(s + 54, "FAT16   ", 8) == 0 || std::memcmp(s + 54, "FAT12   ", 8) == 0 ||
            std::memcmp(s + 3, "EXFAT   ", 8) == 0;
        if (named)
            score += 2;
        else if (probe::mbr_table_valid(s, sector_count))
            score += 1;
    }
    return score;
}

class Kind3Trial {
  public:
    Kind3Trial(Container *c, const CipherCandidates &ciphers, const PasswordCandidates &passwords,
               bool requested)
        : c_(c), ciphers_(ciphers), passwords_(passwords), requested_(requested) {}

    int run() {
        if (!sector_.valid())
            return -ENOMEM;
        Pair winner = main_pass();
        if (!winner.set)
            winner = second_pass();
        if (!winner.set && requested_ && fallback_.set)
            winner = fallback_;
        if (winner.set)
            return accept(winner);
        if (iso_pass())
            return 0;
        reset_contexts(c_);
        c_->info.sector0_available = false;
        secure_wipe(c_->presented_sector0, kSectorSize);
        return first_error_ ? first_error_ : -EACCES;
    }

  private:
    // Keys the pair and decrypts the raw sector 0 into sector_.
    bool decrypt_sector0(const Pair &pair) {
        if (key_legacy(c_, ciphers_.ids[pair.cipher], passwords_[pair.password]) != 0)
            return false;
        std::memcpy(sector_.data(), c_->raw_sector0, kSectorSize);
        return cipher_sector(&c_->data_cipher, sector_.data(), 0, kDecrypt) == 0;
    }

    bool raw_signed() const { return has_boot_signature(c_->raw_sector0); }
    bool boot_code_empty() const { return all_zero(sector_.data(), kBootCodeSize); }

    template <typename Visit>
    bool each_pair(Visit visit) {
        for (size_t i = 0; i < ciphers_.count; ++i) {
            for (size_t p = 0; p < passwords_.count; ++p) {
                Pair pair{true, i, p};
                if (decrypt_sector0(pair) && visit(pair))
                    return true;
            }
        }
        return false;
    }

    Pair main_pass() {
        Pair best;
        int best_score = 0;
        bool fallback_empty = false;
        each_pair([&](const Pair &pair) {
            int score = score_sector0(sector_.data(), c_->info.sector_count);
            if (score > best_score) {
                best = pair;
                best_score = score;
            }
            if (requested_ && score == 0 && (boot_code_empty() || !raw_signed())) {
                // A later pair replaces the remembered one only when it has
                // empty boot code and the remembered one has not.
                if (!fallback_.set || (!fallback_empty && boot_code_empty())) {
                    fallback_ = pair;
                    fallback_empty = boot_code_empty();
                }
            }
            return false;
        });
        return best;
    }

    Pair second_pass() {
        Pair found;
        each_pair([&](const Pair &pair) {
            if (!boot_code_empty() && raw_signed())
                return false;
            std::memcpy(c_->presented_sector0, sector_.data(), kSectorSize);
            c_->info.sector0_available = true;
            int read_error = 0;
            if (container_probe(c_, nullptr, 0, &read_error) == kProbeRecognised) {
                found = pair;
                return true;
            }
            if (first_error_ == 0)
                first_error_ = read_error;
            return false;
        });
        if (!found.set) {
            c_->info.sector0_available = false;
            secure_wipe(c_->presented_sector0, kSectorSize);
        }
        return found;
    }

    // A CD image keeps its descriptor readable at byte 32768 under the data
    // cipher; sector 0 then belongs to the image, not to a header.
    bool iso_pass() {
        if (c_->info.sector_count <= kIsoDescriptorSector)
            return false;
        SecureBuffer raw(kSectorSize);
        if (!raw.valid())
            return false;
        int error = pread_full(c_->fd, raw.data(), kSectorSize, kIsoDescriptorSector * kSectorSize);
        if (error) {
            if (first_error_ == 0)
                first_error_ = error;
            if (c_->last_read_error == 0)
                c_->last_read_error = error;
            return false;
        }
        return each_pair([&](const Pair &) {
            std::memcpy(sector_.data(), raw.data(), kSectorSize);
            if (cipher_sector(&c_->data_cipher, sector_.data(), kIsoDescriptorSector, kDecrypt) !=
                    0 ||
                !container_iso_descriptor(sector_.data()))
                return false;
            std::memcpy(c_->presented_sector0, c_->raw_sector0, kSectorSize);
            if (!raw_signed() && c_->system_key_loaded) {
                sse2_decrypt_blocks(c_->presented_sector0, kSectorBlocks, c_->system_key_schedule);
                c_->info.format_kind = kFormatNoHeader;
            } else {
                c_->info.format_kind = kFormatClear;
            }
            container_record_whole_range(c_);
            c_->info.sector0_available = true;
            c_->info.cd_image = true;
            c_->info.header_present = false;
            c_->info.header_locked = false;
            return true;
        });
    }

    int accept(const Pair &pair) {
        if (!decrypt_sector0(pair)) {
            reset_contexts(c_);
            return -EIO;
        }
        uint8_t *s = c_->presented_sector0;
        std::memcpy(s, sector_.data(), kSectorSize);
        c_->info.sector0_available = true;
        container_record_embedded_header(c_, s);
        c_->info.header_present =
            has_boot_signature(s) && le16(s + kEmbeddedMarkerOffset) == kBootSignature;
        if (!c_->info.header_present)
            c_->info.header_cipher = kCipherUnset; // the bytes were boot code, not a header
        c_->info.header_locked = !all_zero(s, kBootCodeSize);
        return 0;
    }

    Container *c_;
    const CipherCandidates &ciphers_;
    const PasswordCandidates &passwords_;
    bool requested_;
    SecureBuffer sector_{kSectorSize};
    Pair fallback_;
    int first_error_ = 0;
};

int unlock_legacy(Container *c, const uint8_t *password, size_t length, uint32_t requested) {
    PasswordCandidates passwords;
    if (int error = password_candidates_build(password, length, &passwords))
        return error;
    CipherCandidates ciphers = cipher_candidates(c, requested);
    reset_contexts(c);
    c->info.unlocked = true; // trial reads go through the container
    c->info.fallback = false;
    c->last_read_error = 0;
    int error = c->info.format_kind == kFormatLegacy
                    ? Kind3Trial(c, ciphers, passwords, requested != kCipherUnset).run()
                    : filesystem_trial(c, ciphers, passwords, requested);
    if (error)
        reset_contexts(c);
    return error;
}

// ---- Kind 5

int unlock_salted(Container *c, const uint8_t *password, size_t length, uint32_t requested) {
    reset_contexts(c);
    if (!c->info.sector0_available)
        return -EACCES; // sector 0 did not decrypt under any system key
    if (requested != kCipherUnset && requested != c->info.header_cipher)
        return -EINVAL;
    int error = kdf_trailer_unlock(c->trailer, c->info.file_size, password, length, c->data_key);
    if (error == 0)
        error = cipher_setup(&c->data_cipher, c->info.header_cipher, c->data_key,
                             cipher_key_length(c->info.header_cipher));
    secure_wipe(c->data_key, sizeof c->data_key);
    if (error) {
        reset_contexts(c);
        return error;
    }
    c->info.cipher = c->info.header_cipher;
    c->info.unlocked = true;
    return 0;
}

// ---- Kind 7

bool v3_writable_version(const V3Store *store) {
    uint32_t version = v3_version(store);
    return version == 5 || version == 7 || version == 8;
}

int read_v3_sector0(Container *c) {
    return v3_read(c->v3, container_v3_cipher, c, c->presented_sector0, kSectorSize, 0);
}

// A v3 sector 0 is protected with the system key in force when it was
// written. When a user key is in force and sector 0 does not look like the
// start of a disk under it, the container may have been written under the
// built-in key.
int settle_v3_system_key(Container *c) {
    if (plausible_boot_sector(c->presented_sector0, c->info.sector_count, true))
        return 0;
    if (!system_key_is_set() || system_key_is_default() || v3_version(c->v3) == 8)
        return 0;
    SecureBuffer user(kSse2TableSize);
    if (!user.valid())
        return -ENOMEM;
    std::memcpy(user.data(), c->system_key_schedule, kSse2TableSize);
    sse2_schedule(kDefaultSystemKey, c->system_key_schedule);
    c->system_key_loaded = true;
    int error = read_v3_sector0(c);
    if (error == 0 && plausible_boot_sector(c->presented_sector0, c->info.sector_count, true))
        return 0;
    std::memcpy(c->system_key_schedule, user.data(), kSse2TableSize);
    return read_v3_sector0(c);
}

int unlock_v3(Container *c, const uint8_t *password, size_t length, const uint8_t *keyfile_secret,
              uint32_t requested) {
    if (c->info.unlocked && !c->info.read_only && v3_writable_version(c->v3))
        return -EBUSY;
    if (int error = v3_commit(c->v3))
        return error;
    reset_contexts(c);
    c->info.sector0_available = false;
    int error = v3_authenticate(c->v3, password, length, keyfile_secret, c->data_key);
    if (error) {
        secure_wipe(c->data_key, sizeof c->data_key);
        return error;
    }
    // Detection classified the file from the first structurally valid copy;
    // when that copy did not authenticate, everything it named is untrusted
    // and the copy that did authenticate decides cipher and size.
    c->info.header_cipher = v3_cipher(c->v3);
    c->info.size = v3_virtual_size(c->v3);
    c->info.sector_count = c->info.size / kSectorSize;
    if (requested != kCipherUnset && requested != c->info.header_cipher) {
        reset_contexts(c);
        return -EINVAL;
    }
    error = cipher_setup(&c->data_cipher, c->info.header_cipher, c->data_key,
                         cipher_key_length(c->info.header_cipher));
    secure_wipe(c->data_key, sizeof c->data_key);
    if (error == 0) {
        c->info.cipher = c->info.header_cipher;
        error = read_v3_sector0(c);
    }
    if (error == 0)
        error = settle_v3_system_key(c);
    if (error) {
        reset_contexts(c);
        secure_wipe(c->presented_sector0, kSectorSize);
        return error;
    }
    c->info.sector0_available = true;
    c->info.unlocked = true;
    return 0;
}

bool plaintext_kind(int kind) {
    return kind == kFormatModern || kind == kFormatIntermediate || kind == kFormatNoHeader ||
           kind == kFormatClear;
}

} // namespace

int container_probe(Container *c, char *text, size_t text_size, int *read_error) {
    SecureBuffer sector0(kSectorSize);
    if (!sector0.valid()) {
        *read_error = -ENOMEM;
        if (text && text_size > 0)
            text[0] = 0;
        return kProbeNotRecognised;
    }
    if (c->info.format_kind == kFormatCompressed)
        std::memcpy(sector0.data(), c->presented_sector0, kSectorSize);
    else
        container_serve_sector0(c, sector0.data());
    ProbeContext ctx;
    ctx.sector0 = sector0.data();
    ctx.sector_count = c->info.sector_count;
    ctx.read = probe_read;
    ctx.read_user = c;
    ctx.format_kind = c->info.format_kind;
    ctx.encrypted = c->info.cipher != kCipherNone;
    int result = filesystem_probe(&ctx, text, text_size);
    *read_error = ctx.first_error;
    return result;
}

int container_probe_plaintext(Container *c) {
    if (!plaintext_kind(c->info.format_kind) || !c->info.sector0_available || c->v3 != nullptr)
        return -EACCES;
    const uint32_t cipher = c->info.cipher;
    const bool unlocked = c->info.unlocked;
    c->info.cipher = kCipherNone;
    c->info.unlocked = true;
    int read_error = 0;
    if (container_probe(c, nullptr, 0, &read_error) == kProbeRecognised)
        return 0;
    c->info.cipher = cipher;
    c->info.unlocked = unlocked;
    return read_error ? read_error : -EACCES;
}

int container_unlock(Container *c, const uint8_t *password, size_t length, uint32_t requested) {
    return container_unlock_with_secret(c, password, length, nullptr, requested);
}

int container_unlock_with_secret(Container *c, const uint8_t *password, size_t length,
                                 const uint8_t *keyfile_secret, uint32_t requested) {
    if (c == nullptr || (password == nullptr && length > 0))
        return -EINVAL;
    if (requested != kCipherUnset && !cipher_is_offered(requested))
        return -EINVAL;
    if (length > kMaxPasswordLength)
        return -E2BIG;
    switch (c->info.format_kind) {
    case kFormatCompressed:
        return unlock_v3(c, password, length, keyfile_secret, requested);
    case kFormatSalted:
        return unlock_salted(c, password, length, requested);
    case kFormatModern:
    case kFormatIntermediate:
    case kFormatLegacy:
    case kFormatNoHeader:
    case kFormatClear:
        if (requested == kCipherAesXts || requested == kCipherXChaCha20)
            return -EINVAL;
        return unlock_legacy(c, password, length, requested);
    default:
        return -EINVAL;
    }
}

int container_verify_filesystem(Container *c, char *text, size_t text_size) {
    auto say = [&](const char *line) {
        if (text && text_size > 0)
            std::snprintf(text, text_size, "%s", line);
    };
    if (!c->info.sector0_available) {
        say("sector 0 is not available");
        return kVerifyNoSector0;
    }
    int read_error = 0;
    if (container_probe(c, text, text_size, &read_error) == kProbeRecognised) {
        c->info.fallback = false;
        return kVerifyRecognised;
    }
    if (read_error) {
        if (c->last_read_error == 0)
            c->last_read_error = read_error;
        if (text && text_size > 0)
            std::snprintf(text, text_size, "reading the container failed: %s",
                          error_text(read_error));
        return kVerifyReadError;
    }
    return kVerifyNotRecognised;
}

} // namespace tw
