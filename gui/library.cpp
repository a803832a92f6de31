#include "gui/library.h"

#include "platform/descriptor.h"
#include "platform/process.h"
#include "runtime/text.h"

#include "client/client.h"

#include <cctype>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

namespace tw {

namespace {

// 2001-01-01T00:00:00Z in seconds since the Unix epoch.
constexpr int64_t kLibraryEpoch = 978307200;

JsonValue *empty_library() {
    JsonValue *root = json_new(JsonKind::Object);
    json_set_int(root, "version", 1);
    json_set(root, "entries", json_new(JsonKind::Array));
    return root;
}

std::string upper_uuid() {
    char text[kUuidTextSize];
    if (!uuid_generate(text))
        return std::string();
    std::string id(text);
    for (char &c : id)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return id;
}

} // namespace

int library_load(Library *library, const std::string &path) {
    json_free(library->root);
    library->root = nullptr;
    library->path = path;
    library->read_only = false;
    library->state = LibraryLoadState::Loaded;
    struct stat st;
    const bool exists = lstat(path.c_str(), &st) == 0 || errno != ENOENT;
    JsonValue *root = exists ? json_read_file(path.c_str(), kLibraryFileLimit) : nullptr;
    if (exists) {
        const JsonValue *version = json_get(root, "version");
        const JsonValue *entries = json_get(root, "entries");
        if (root == nullptr || root->kind != JsonKind::Object || version == nullptr ||
            version->kind != JsonKind::Number) {
            library->state = LibraryLoadState::Damaged;
        } else if (!version->is_integer || version->int_value != 1) {
            library->state = LibraryLoadState::TooNew;
        } else if (entries == nullptr || entries->kind != JsonKind::Array) {
            library->state = LibraryLoadState::Damaged;
        }
        if (library->state != LibraryLoadState::Loaded) {
            json_free(root);
            root = nullptr;
            library->read_only = true;
        }
    }
    library->root = root != nullptr ? root : empty_library();
    return library->root != nullptr ? 0 : -ENOMEM;
}

int library_save(const Library *library) {
    if (library->read_only)
        return -EROFS;
    return json_write_file(library->path.c_str(), library->root);
}

JsonValue *library_entries(const Library *library) {
    return json_get(library->root, "entries");
}

size_t library_size(const Library *library) {
    const JsonValue *entries = library_entries(library);
    return entries != nullptr ? static_cast<size_t>(entries->child_count) : 0;
}

JsonValue *library_find_id(const Library *library, std::string_view id) {
    for (JsonValue *e = json_first(library_entries(library)); e != nullptr; e = json_next(e)) {
        const char *other = entry_id(e);
        if (std::string_view(other).size() == id.size() &&
            strncasecmp(other, id.data(), id.size()) == 0)
            return e;
    }
    return nullptr;
}

JsonValue *library_find_path(const Library *library, std::string_view path) {
    const std::string wanted(path);
    for (JsonValue *e = json_first(library_entries(library)); e != nullptr; e = json_next(e))
        if (paths_equal(entry_path(e), wanted.c_str()))
            return e;
    return nullptr;
}

int library_final_path(std::string_view given, std::string *out) {
    if (given.empty() || !utf8_is_valid(given.data(), given.size()))
        return -EINVAL;
    const std::string text(given);
    // O_PATH reads the attributes without opening the file's data, as the
    // container may be locked by a writer.
    FileHandle fd(open(text.c_str(), O_PATH | O_CLOEXEC));
    if (fd.valid()) {
        struct stat st;
        if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
            return -EISDIR;
        if (final_path_of_handle(fd.get(), out) == 0)
            return 0;
    }
    return resolve_full_path(given, out);
}

int library_open_path(Library *library, std::string_view given, JsonValue **entry, bool *added) {
    *entry = nullptr;
    *added = false;
    if (library->read_only)
        return -EROFS;
    std::string path;
    if (int rc = library_final_path(given, &path); rc != 0)
        return rc;
    const int64_t now = library_now();
    if (JsonValue *existing = library_find_path(library, path); existing != nullptr) {
        json_set_int(existing, "lastOpened", now);
        *entry = existing;
        return 0;
    }
    const std::string id = upper_uuid();
    JsonValue *e = json_new(JsonKind::Object);
    if (id.empty() || e == nullptr) {
        json_free(e);
        return -ENOMEM;
    }
    json_set_string(e, "id", id.c_str());
    json_set_string(e, "path", path.c_str());
    json_set_bool(e, "favorite", false);
    json_set_int(e, "added", now);
    json_set_int(e, "lastOpened", now);
    if (json_append(library_entries(library), e) != 0)
        return -ENOMEM;
    *entry = e;
    *added = true;
    return 0;
}

int library_put_path(Library *library, const std::string &path, JsonValue *info,
                     JsonValue **entry) {
    *entry = nullptr;
    if (library->read_only) {
        json_free(info);
        return -EROFS;
    }
    while (JsonValue *old = library_find_path(library, path))
        json_free(json_detach(library_entries(library), old));
    bool added = false;
    if (int rc = library_open_path(library, path, entry, &added); rc != 0) {
        json_free(info);
        return rc;
    }
    if (info != nullptr)
        json_set(*entry, "info", info);
    return 0;
}

bool library_remove(Library *library, std::string_view id) {
    JsonValue *e = library_find_id(library, id);
    if (e == nullptr)
        return false;
    json_free(json_detach(library_entries(library), e));
    return true;
}

int64_t library_now() {
    return static_cast<int64_t>(time(nullptr)) - kLibraryEpoch;
}

const char *entry_id(const JsonValue *entry) {
    return json_get_string(entry, "id", "");
}
const char *entry_path(const JsonValue *entry) {
    return json_get_string(entry, "path", "");
}

std::string entry_file_name(const JsonValue *entry) {
    const std::string_view path = entry_path(entry);
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

const JsonValue *entry_info(const JsonValue *entry) {
    const JsonValue *info = json_get(entry, "info");
    return info != nullptr && info->kind == JsonKind::Object ? info : nullptr;
}

bool entry_info_flag(const JsonValue *entry, const char *member) {
    return json_get_bool(entry_info(entry), member, false);
}

} // namespace tw
