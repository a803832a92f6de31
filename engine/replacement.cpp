#include "engine/replacement.h"

#include "platform/io.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"
#include "runtime/text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr char kJournalMagic[8] = {'T', 'K', 'W', 'I', 'N', 'R', 'E', 'P'};
constexpr uint32_t kJournalVersion = 1;
constexpr size_t kHashedLength = 896;
constexpr size_t kIdentityBlock = 1u << 20;

// Field offsets of the journal record.
constexpr size_t kOffsetName = 16;
constexpr size_t kOffsetBackup = 272;
constexpr size_t kOffsetSwap = 528;
constexpr size_t kOffsetOriginal = 784;
constexpr size_t kOffsetCopy = 840;

void put64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}
uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool sha256(const uint8_t *data, size_t length, uint8_t out[32]) {
    unsigned int n = 0;
    return EVP_Digest(data, length, out, &n, EVP_sha256(), nullptr) == 1 && n == 32;
}

void encode_identity(const ReplacementIdentity &id, uint8_t *p) {
    put64(p, id.volume);
    put64(p + 8, id.file);
    put64(p + 16, id.size);
    std::memcpy(p + 24, id.sha256, 32);
}

void decode_identity(const uint8_t *p, ReplacementIdentity *id) {
    id->volume = get64(p);
    id->file = get64(p + 8);
    id->size = get64(p + 16);
    std::memcpy(id->sha256, p + 24, 32);
}

// A journal name must be a plain file name inside the folder: anything that
// could leave it ("/", ".."), or that the designs of other systems treat as a
// separator ("\", ":"), is refused.
bool name_is_plain(const std::string &name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos;
}

bool encode_name(const std::string &name, uint8_t *field) {
    if (name.size() >= kReplacementNameField || name.find('\0') != std::string::npos)
        return false;
    std::memcpy(field, name.data(), name.size());
    return true;
}

bool decode_name(const uint8_t *field, std::string *name) {
    const void *nul = std::memchr(field, '\0', kReplacementNameField);
    if (nul == nullptr)
        return false;
    name->assign(reinterpret_cast<const char *>(field), static_cast<const uint8_t *>(nul) - field);
    return name_is_plain(*name);
}

enum class NameState { missing, original, copy, other };

bool matches(const FileStatus &st, const ReplacementIdentity &id) {
    return st.type == FileType::regular && st.identity.volume == id.volume &&
           st.identity.file == id.file && st.size == id.size;
}

NameState classify(int dir, const std::string &name, const ReplacementJournal &journal) {
    FileStatus st;
    int rc = file_status_at(dir, name.c_str(), false, &st);
    if (rc == -ENOENT)
        return NameState::missing;
    if (rc != 0)
        return NameState::other;
    if (matches(st, journal.original))
        return NameState::original;
    if (matches(st, journal.copy))
        return NameState::copy;
    return NameState::other;
}

// Called after each rename of the exchange (tests only).
void (*exchange_hook)(int renames_done) = nullptr;

int flush_dir(int dir) {
    return file_flush(dir);
}

int rename_and_flush(int dir, const std::string &from, const std::string &to) {
    int rc = rename_noreplace(dir, from.c_str(), to.c_str());
    if (rc == 0)
        rc = flush_dir(dir);
    return rc;
}

// Recomputes the full identity of an existing name and compares it with the
// recorded one it claims to be.
int check_name(int dir, const std::string &name, const ReplacementJournal &journal) {
    FileStatus st;
    int rc = file_status_at(dir, name.c_str(), false, &st);
    if (rc == -ENOENT)
        return 0;
    if (rc != 0)
        return -kErrChanged;
    const ReplacementIdentity *expected = matches(st, journal.original) ? &journal.original
                                          : matches(st, journal.copy)   ? &journal.copy
                                                                        : nullptr;
    if (expected == nullptr)
        return -kErrChanged;
    int fd = file_open_at(dir, name.c_str(), FileAccess::read, FileCreate::open_existing,
                          kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return -kErrChanged;
    FileHandle file(fd);
    ReplacementIdentity actual;
    rc = replacement_identity_fd(file.get(), nullptr, nullptr, &actual);
    if (rc != 0)
        return rc;
    return actual == *expected ? 0 : -kErrChanged;
}

} // namespace

int replacement_journal_encode(const ReplacementJournal &journal,
                               uint8_t out[kReplacementJournalSize]) {
    std::memset(out, 0, kReplacementJournalSize);
    std::memcpy(out, kJournalMagic, sizeof kJournalMagic);
    put32(out + 8, kJournalVersion);
    put32(out + 12, kReplacementJournalSize);
    if (!encode_name(journal.name, out + kOffsetName) ||
        !encode_name(journal.backup, out + kOffsetBackup) ||
        !encode_name(journal.swap, out + kOffsetSwap))
        return -EINVAL;
    encode_identity(journal.original, out + kOffsetOriginal);
    encode_identity(journal.copy, out + kOffsetCopy);
    return sha256(out, kHashedLength, out + kHashedLength) ? 0 : -ENOMEM;
}

int replacement_journal_decode(const uint8_t in[kReplacementJournalSize],
                               ReplacementJournal *journal) {
    uint8_t digest[32];
    if (!sha256(in, kHashedLength, digest) ||
        CRYPTO_memcmp(digest, in + kHashedLength, sizeof digest) != 0)
        return -EINVAL;
    if (std::memcmp(in, kJournalMagic, sizeof kJournalMagic) != 0 ||
        get32(in + 8) != kJournalVersion || get32(in + 12) != kReplacementJournalSize)
        return -EINVAL;
    if (!decode_name(in + kOffsetName, &journal->name) ||
        !decode_name(in + kOffsetBackup, &journal->backup) ||
        !decode_name(in + kOffsetSwap, &journal->swap))
        return -EINVAL;
    decode_identity(in + kOffsetOriginal, &journal->original);
    decode_identity(in + kOffsetCopy, &journal->copy);
    return 0;
}

std::string replacement_journal_name(const std::string &name) {
    return name + ".openzcx-journal";
}

std::string replacement_partial_journal_name(const char *uuid) {
    return std::string(".openzcx-journal-") + uuid + ".partial";
}

namespace {

int write_record(int fd, const ReplacementJournal &journal) {
    uint8_t record[kReplacementJournalSize];
    int rc = replacement_journal_encode(journal, record);
    if (rc != 0)
        return rc;
    ssize_t n = pwrite(fd, record, sizeof record, 0);
    rc = n == static_cast<ssize_t>(sizeof record) ? 0 : (n < 0 ? -errno : -EIO);
    if (rc == 0)
        rc = file_flush(fd);
    return rc;
}

} // namespace

int replacement_journal_begin(int dir, const char *uuid, const ReplacementJournal &journal,
                              FileHandle *partial) {
    ReplacementJournal pending = journal;
    pending.copy = ReplacementIdentity{};
    std::string name = replacement_partial_journal_name(uuid);
    int fd = file_open_at(dir, name.c_str(), FileAccess::read_write, FileCreate::create_new,
                          kFileNoFollow | kFileOwnerOnly);
    if (fd < 0)
        return fd;
    partial->reset(fd);
    int rc = file_lock(fd, true);
    if (rc == 0)
        rc = write_record(fd, pending);
    if (rc == 0)
        rc = flush_dir(dir);
    if (rc != 0) {
        partial->reset();
        file_unlink_at(dir, name.c_str());
    }
    return rc;
}

int replacement_journal_commit(int dir, const char *uuid, const ReplacementJournal &journal,
                               FileHandle *partial) {
    std::string name = replacement_partial_journal_name(uuid);
    int rc = write_record(partial->get(), journal);
    // Renamed while still held, so that no sweep takes it for a leftover
    // between the close and the rename.
    if (rc == 0)
        rc = rename_noreplace(dir, name.c_str(), replacement_journal_name(journal.name).c_str());
    // The record was flushed before the rename: once the journal is in place
    // a failing close changes nothing about it.
    partial->reset();
    if (rc != 0)
        file_unlink_at(dir, name.c_str());
    int flushed = flush_dir(dir);
    return rc != 0 ? rc : flushed;
}

int replacement_journal_write(int dir, const char *uuid, const ReplacementJournal &journal) {
    FileHandle partial;
    int rc = replacement_journal_begin(dir, uuid, journal, &partial);
    return rc != 0 ? rc : replacement_journal_commit(dir, uuid, journal, &partial);
}

namespace {

bool has_affixes(const std::string &name, std::string_view prefix, std::string_view suffix) {
    return name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

// Opens a name of the folder for reading when it is a regular file of this
// user that nobody holds with the in-use lock (-EBUSY when somebody does).
int open_unheld(int dir, const std::string &name, FileHandle *out, FileStatus *st) {
    int fd = file_open_at(dir, name.c_str(), FileAccess::read, FileCreate::open_existing,
                          kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return fd;
    out->reset(fd);
    int rc = file_status(fd, st);
    if (rc != 0)
        return rc;
    if (st->type != FileType::regular || st->owner != geteuid())
        return -EPERM;
    return file_lock_test(fd, true) == 0 ? 0 : -EBUSY;
}

// Removes one leftover when nobody holds it; true when it went.
bool remove_unheld(int dir, const std::string &name, const ReplacementJournal *journal) {
    FileHandle file;
    FileStatus st;
    if (open_unheld(dir, name, &file, &st) != 0)
        return false;
    // Never the original, and the new copy only when it is the one recorded
    // (a copy not recorded yet can only be the new copy: before its journal
    // exists the swap name never holds anything else).
    if (journal != nullptr && (matches(st, journal->original) ||
                               (journal->copy.size != 0 && !matches(st, journal->copy))))
        return false;
    return file_unlink_at(dir, name.c_str()) == 0;
}

} // namespace

int replacement_sweep_leftovers(int dir, const std::string &name) {
    FileStatus st;
    int rc = file_status_at(dir, replacement_journal_name(name).c_str(), false, &st);
    if (rc == 0)
        return 0; // an exchange is pending: recovery decides
    if (rc != -ENOENT)
        return rc;
    int listing = dup(dir);
    if (listing < 0)
        return -errno;
    DIR *d = fdopendir(listing);
    if (d == nullptr) {
        int e = errno;
        close(listing);
        return -e;
    }
    rewinddir(d);
    std::vector<std::string> partials, temporaries;
    while (dirent *entry = readdir(d)) {
        std::string entry_name = entry->d_name;
        if (has_affixes(entry_name, ".openzcx-journal-", ".partial"))
            partials.push_back(entry_name);
        else if (has_affixes(entry_name, ".openzcx-rekey-.openzcx-swap-", ".partial"))
            temporaries.push_back(entry_name);
    }
    closedir(d);

    int removed = 0;
    for (const std::string &partial : partials) {
        FileHandle file;
        if (open_unheld(dir, partial, &file, &st) != 0)
            continue;
        uint8_t record[kReplacementJournalSize];
        ReplacementJournal journal;
        bool complete =
            st.size == kReplacementJournalSize &&
            pread(file.get(), record, sizeof record, 0) == static_cast<ssize_t>(sizeof record) &&
            replacement_journal_decode(record, &journal) == 0;
        if (complete && !paths_equal(journal.name.c_str(), name.c_str()))
            continue; // another container's: its own next replacement sweeps it
        if (complete) {
            // The copy writer's temporary for this swap name, then the copy.
            for (const std::string &temporary : temporaries)
                if (temporary.compare(15, journal.swap.size() + 1, journal.swap + ".") == 0 &&
                    remove_unheld(dir, temporary, nullptr))
                    ++removed;
            if (remove_unheld(dir, journal.swap, &journal))
                ++removed;
        }
        // A record cut short was never renamed into place and names nothing
        // that can be recovered.
        file.reset();
        if (file_unlink_at(dir, partial.c_str()) == 0)
            ++removed;
    }
    if (removed != 0)
        flush_dir(dir);
    return removed;
}

std::string replacement_join(const std::string &folder, const std::string &name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

int replacement_folder_open(const char *file_path, ReplacementFolder *out) {
    std::string path = file_path ? file_path : "";
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name.size() > kReplacementNameMax || name == "." || name == "..")
        return -EINVAL;
    // Only the folder is resolved: in the middle of an exchange the name
    // itself may be missing.
    char *resolved = realpath(folder.c_str(), nullptr);
    if (resolved == nullptr)
        return -errno;
    out->path = resolved;
    std::free(resolved);
    out->name = name;
    int fd = directory_open(out->path.c_str());
    if (fd < 0)
        return fd;
    out->dir.reset(fd);
    if (folder_is_trusted(out->dir.get()) != 0 || volume_is_local_durable(out->dir.get()) != 0)
        return -EACCES;
    return 0;
}

int replacement_identity_fd(int fd, bool (*cancelled)(void *), void *context,
                            ReplacementIdentity *out) {
    FileStatus st;
    int rc = file_status(fd, &st);
    if (rc != 0)
        return rc;
    if (st.type != FileType::regular)
        return -EINVAL;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kIdentityBlock]);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    if (!block || md == nullptr || EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(md);
        return -ENOMEM;
    }
    uint64_t offset = 0;
    for (;;) {
        if (cancelled != nullptr && cancelled(context)) {
            rc = -ECANCELED;
            break;
        }
        ssize_t n = pread_some(fd, block.get(), kIdentityBlock, offset);
        if (n < 0) {
            rc = static_cast<int>(n);
            break;
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(md, block.get(), static_cast<size_t>(n)) != 1) {
            rc = -EIO;
            break;
        }
        offset += static_cast<uint64_t>(n);
    }
    unsigned int length = 0;
    if (rc == 0 && EVP_DigestFinal_ex(md, out->sha256, &length) != 1)
        rc = -EIO;
    EVP_MD_CTX_free(md);
    secure_wipe(block.get(), kIdentityBlock);
    if (rc != 0)
        return rc;
    // The contents read must be the whole file as it was when we started.
    FileStatus after;
    rc = file_status(fd, &after);
    if (rc != 0)
        return rc;
    if (offset != st.size || after.size != st.size || !(after.last_write == st.last_write))
        return -kErrChanged;
    out->volume = st.identity.volume;
    out->file = st.identity.file;
    out->size = st.size;
    return 0;
}

void replacement_set_exchange_hook_for_testing(void (*hook)(int renames_done)) {
    exchange_hook = hook;
}

int replacement_exchange(int dir, const ReplacementJournal &journal) {
    int renames = 0;
    for (int round = 0; round < 4; ++round) {
        NameState n = classify(dir, journal.name, journal);
        NameState b = classify(dir, journal.backup, journal);
        NameState s = classify(dir, journal.swap, journal);
        int rc;
        if (n == NameState::original && b == NameState::copy && s == NameState::missing) {
            rc = rename_and_flush(dir, journal.name, journal.swap);
        } else if (n == NameState::missing && b == NameState::copy && s == NameState::original) {
            rc = rename_and_flush(dir, journal.backup, journal.name);
        } else if (n == NameState::copy && b == NameState::missing && s == NameState::original) {
            rc = rename_and_flush(dir, journal.swap, journal.backup);
        } else if (n == NameState::original && b == NameState::missing && s == NameState::copy) {
            rc = rename_and_flush(dir, journal.name, journal.backup);
        } else if (n == NameState::missing && b == NameState::original && s == NameState::copy) {
            rc = rename_and_flush(dir, journal.swap, journal.name);
        } else if (n == NameState::copy && b == NameState::original && s == NameState::missing) {
            rc = file_unlink_at(dir, replacement_journal_name(journal.name).c_str());
            if (rc == 0)
                rc = flush_dir(dir);
            return rc;
        } else {
            return -kErrChanged;
        }
        if (rc != 0)
            return rc;
        if (exchange_hook != nullptr)
            exchange_hook(++renames);
    }
    return -kErrChanged;
}

int recover_replacement(const char *file_path, std::string *backup_path) {
    ReplacementFolder folder;
    int rc = replacement_folder_open(file_path, &folder);
    if (rc != 0)
        return rc;
    int fd =
        file_open_at(folder.dir.get(), replacement_journal_name(folder.name).c_str(),
                     FileAccess::read, FileCreate::open_existing, kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return fd;
    FileHandle file(fd);
    FileStatus st;
    rc = file_status(file.get(), &st);
    if (rc != 0)
        return rc;
    uint8_t record[kReplacementJournalSize];
    if (st.type != FileType::regular || st.owner != geteuid() ||
        st.size != kReplacementJournalSize ||
        pread(file.get(), record, sizeof record, 0) != static_cast<ssize_t>(sizeof record))
        return -EINVAL;
    ReplacementJournal journal;
    rc = replacement_journal_decode(record, &journal);
    if (rc != 0)
        return rc;
    if (!paths_equal(journal.name.c_str(), folder.name.c_str()) ||
        paths_equal(journal.backup.c_str(), folder.name.c_str()) ||
        paths_equal(journal.swap.c_str(), folder.name.c_str()))
        return -EINVAL;
    for (const std::string *name : {&journal.name, &journal.backup, &journal.swap}) {
        rc = check_name(folder.dir.get(), *name, journal);
        if (rc != 0)
            return rc;
    }
    *backup_path = replacement_join(folder.path, journal.backup);
    return replacement_exchange(folder.dir.get(), journal);
}

} // namespace tw
