#include "engine/import_staging.h"

#include "platform/folders.h"
#include "platform/io.h"
#include "runtime/json.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kRecordLimit = 8191;
constexpr const char *kStagedPrefix = ".tarnwick-";

void hex(const uint8_t *bytes, size_t count, char *out) {
    for (size_t i = 0; i < count; ++i)
        std::snprintf(out + 2 * i, 3, "%02x", bytes[i]);
}

bool lower_hex(const char *text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f')))
            return false;
    return true;
}

bool is_record_name(const char *name) {
    size_t n = std::strlen(name);
    return n > 5 && std::strcmp(name + n - 5, ".json") == 0;
}

enum class Outcome { can_go, kept };

// Steps 3 and 4 of the sweep for one parsed record.
Outcome resolve_record(const JsonValue *record) {
    const char *folder = json_get_string(record, "folder", "");
    const char *staged = json_get_string(record, "staged", "");
    if (folder[0] == 0 || !staged_name_is_valid(staged))
        return Outcome::kept;
    int dir = directory_open(folder);
    if (dir == -ENOENT)
        return Outcome::can_go;
    if (dir < 0)
        return Outcome::kept;
    FileHandle folder_handle(dir);
    FileStatus folder_status;
    if (volume_is_local_durable(dir) != 0 || file_status(dir, &folder_status) != 0 ||
        identity_text(folder_status.identity) != json_get_string(record, "folderId", ""))
        return Outcome::kept;
    FileStatus staged_status;
    int error = file_status_at(dir, staged, false, &staged_status);
    if (error == -ENOENT)
        return Outcome::can_go;
    if (error != 0 || staged_status.type != FileType::regular || staged_status.owner != geteuid() ||
        identity_text(staged_status.identity) != json_get_string(record, "stagedId", ""))
        return Outcome::kept;
    error = file_unlink_at(dir, staged);
    if (error != 0 && error != -ENOENT)
        return Outcome::kept;
    return file_flush(dir) == 0 ? Outcome::can_go : Outcome::kept;
}

} // namespace

bool staged_name_is_valid(const char *name) {
    const size_t prefix = std::strlen(kStagedPrefix);
    return name != nullptr && std::strlen(name) == kStagedNameLength &&
           std::strncmp(name, kStagedPrefix, prefix) == 0 && lower_hex(name + prefix, 24) &&
           std::strcmp(name + prefix + 24, ".tmp") == 0;
}

int staged_name_make(char name[kStagedNameLength + 1]) {
    uint8_t random[12];
    if (int error = random_fill(random, sizeof random))
        return error;
    std::memcpy(name, kStagedPrefix, 10);
    hex(random, sizeof random, name + 10);
    std::memcpy(name + 34, ".tmp", 5);
    return 0;
}

std::string identity_text(const FileIdentity &identity) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%llu", static_cast<unsigned long long>(identity.volume),
                  static_cast<unsigned long long>(identity.file));
    return text;
}

int staging_folder_open() {
    std::string path;
    if (int error = user_folder("import-staging", &path))
        return error;
    if (int error = ensure_private_folder(path))
        return error;
    int dir = directory_open(path.c_str());
    if (dir < 0)
        return dir;
    if (volume_is_local_durable(dir) != 0) {
        close(dir);
        return -ENOTSUP;
    }
    return dir;
}

int staging_sweep() {
    int opened = staging_folder_open();
    if (opened < 0)
        return opened;
    FileHandle staging(opened);
    // The listing goes through its own descriptor: readdir consumes it.
    int listing_fd = file_duplicate(staging.get());
    if (listing_fd < 0)
        return listing_fd;
    DIR *listing = fdopendir(listing_fd);
    if (listing == nullptr) {
        close(listing_fd);
        return -EIO;
    }
    int kept = 0;
    int error = 0;
    while (error == 0) {
        errno = 0;
        dirent *entry = readdir(listing);
        if (entry == nullptr) {
            if (errno != 0)
                error = -EIO;
            break;
        }
        if (!is_record_name(entry->d_name))
            continue;
        FileStatus status;
        if (file_status_at(staging.get(), entry->d_name, false, &status) != 0 ||
            status.type != FileType::regular) {
            ++kept; // folders, links and whatever cannot be looked at stay
            continue;
        }
        Outcome outcome = Outcome::kept;
        int fd = file_open_at(staging.get(), entry->d_name, FileAccess::read,
                              FileCreate::open_existing, kFileNoFollow | kFileNonBlock);
        if (fd >= 0) {
            FileHandle file(fd);
            char text[kRecordLimit + 1];
            size_t got = 0;
            int read_error = read_full(fd, text, kRecordLimit, &got);
            if (read_error == 0 || read_error == -EIO) {
                JsonValue *record = json_parse(text, got);
                if (record != nullptr)
                    outcome = resolve_record(record);
                json_free(record);
            }
        }
        if (outcome == Outcome::kept) {
            ++kept;
            continue;
        }
        error = staging_record_delete(staging.get(), entry->d_name);
        if (error != 0)
            error = -EIO;
    }
    closedir(listing);
    return error != 0 ? error : kept;
}

int staging_record_write(int staging, const StagingRecord &r, std::string *name) {
    uint8_t random[16];
    if (int error = random_fill(random, sizeof random))
        return error;
    char file_name[40];
    hex(random, sizeof random, file_name);
    std::memcpy(file_name + 32, ".json", 6);

    JsonValue *record = json_new(JsonKind::Object);
    if (record == nullptr)
        return -ENOMEM;
    json_set_string(record, "folder", r.folder.c_str());
    json_set_string(record, "folderId", identity_text(r.folder_id).c_str());
    json_set_string(record, "staged", r.staged.c_str());
    json_set_string(record, "stagedId", identity_text(r.staged_id).c_str());
    json_set_int(record, "version", 1);
    size_t length = 0;
    char *text = json_serialize(record, &length);
    json_free(record);
    if (text == nullptr)
        return -ENOMEM;
    int error = 0;
    int fd = file_open_at(staging, file_name, FileAccess::write, FileCreate::create_new,
                          kFileNoFollow | kFileOwnerOnly);
    if (fd < 0) {
        error = fd;
    } else {
        FileHandle file(fd);
        error = write_full(fd, text, length);
        if (error == 0)
            error = file_flush(fd);
        if (error != 0)
            file_unlink_at(staging, file_name);
    }
    json_free_text(text);
    if (error == 0)
        error = file_flush(staging);
    if (error == 0)
        *name = file_name;
    return error;
}

int staging_record_delete(int staging, const std::string &name) {
    int error = file_unlink_at(staging, name.c_str());
    if (error != 0 && error != -ENOENT)
        return error;
    return file_flush(staging);
}

} // namespace tw
