// Sign-in mounting, the sign-in record and saved credentials.
#include "session/library.h"

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/keyring/keyring.h"
#include "runtime/records.h"
#include "runtime/text.h"
#include "session/sessions.h"
#include "session/texts.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace tw {

namespace wire = session_wire;
namespace text = session_text;

namespace {

constexpr const char kLibraryFile[] = "library.json";
constexpr const char kLoginFile[] = "login.json";
constexpr const char kCredentialUser[] = "Tarnwick";

// Members of the library, the sign-in record and the credential blob.
constexpr const char kEntries[] = "entries";
constexpr const char kLogin[] = "login";
constexpr const char kAttempted[] = "attempted";
constexpr const char kIssues[] = "issues";
constexpr const char kFrame[] = "frame";
constexpr const char kBlobVolume[] = "volume";
constexpr const char kBlobFile[] = "file";

constexpr const char *kLogind = "org.freedesktop.login1";
constexpr const char *kLogindPath = "/org/freedesktop/login1";
constexpr const char *kLogindManager = "org.freedesktop.login1.Manager";
constexpr const char *kLogindSession = "org.freedesktop.login1.Session";
constexpr const char *kLogindUser = "org.freedesktop.login1.User";

// The keyring's target for an entry. Entry ids compare without regard to
// case, so the target always uses upper case (as the desktop app writes ids).
std::string credential_target(const char *entry_id) {
    std::string target = "Tarnwick/";
    for (const char *c = entry_id; *c != '\0'; c++)
        target += static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    return target;
}

const char *file_name_of(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

std::string format_text(const char *format, const char *a, const char *b) {
    char *m = format_alloc(format, a, b);
    std::string out = m != nullptr ? m : "";
    free(m);
    return out;
}

// ---- logind: the client's sign-in

// The login session of `pid`, or else the user's graphical session (a
// program started by the user's service manager, as autostart entries may
// be, belongs to no session of its own). Empty when logind names none.
std::string logind_session_of(sd_bus *bus, pid_t pid) {
    std::string path;
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (pid > 0 && sd_bus_call_method(bus, kLogind, kLogindPath, kLogindManager, "GetSessionByPID",
                                      &error, &reply, "u", static_cast<uint32_t>(pid)) >= 0) {
        const char *found = nullptr;
        if (sd_bus_message_read(reply, "o", &found) >= 0 && found != nullptr)
            path = found;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    reply = nullptr;
    if (!path.empty())
        return path;
    std::string user;
    if (sd_bus_call_method(bus, kLogind, kLogindPath, kLogindManager, "GetUser", &error, &reply,
                           "u", static_cast<uint32_t>(getuid())) >= 0) {
        const char *found = nullptr;
        if (sd_bus_message_read(reply, "o", &found) >= 0 && found != nullptr)
            user = found;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    reply = nullptr;
    if (user.empty())
        return path;
    if (sd_bus_get_property(bus, kLogind, user.c_str(), kLogindUser, "Display", &error, &reply,
                            "(so)") >= 0) {
        const char *id = nullptr, *found = nullptr;
        if (sd_bus_message_read(reply, "(so)", &id, &found) >= 0 && found != nullptr &&
            strcmp(found, "/") != 0)
            path = found;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return path;
}

// The creation time of the client's login session (microseconds) and
// whether it is remote. 0 for the time when logind does not know it.
uint64_t logind_sign_in(pid_t client, bool *remote) {
    *remote = false;
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return 0;
    uint64_t created = 0;
    std::string session = logind_session_of(bus, client);
    if (!session.empty()) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (sd_bus_get_property_trivial(bus, kLogind, session.c_str(), kLogindSession, "Timestamp",
                                        &error, 't', &created) < 0)
            created = 0;
        sd_bus_error_free(&error);
        int is_remote = 0;
        if (sd_bus_get_property_trivial(bus, kLogind, session.c_str(), kLogindSession, "Remote",
                                        &error, 'b', &is_remote) >= 0)
            *remote = is_remote != 0;
        sd_bus_error_free(&error);
    }
    sd_bus_flush_close_unref(bus);
    return created;
}

// ---- The sign-in record

JsonValue *fresh_login_record(const std::string &identity) {
    JsonValue *record = json_new(JsonKind::Object);
    json_set_int(record, wire::kVersion, 1);
    json_set_string(record, kLogin, identity.c_str());
    json_set(record, kAttempted, json_new(JsonKind::Array));
    json_set(record, kIssues, json_new(JsonKind::Object));
    return record;
}

// The sign-in record of this sign-in: the saved one when it belongs to it
// and is well formed, else a fresh one (a missing, damaged or oversized
// file, or one of an earlier sign-in).
JsonValue *load_login_record(const std::string &path, const std::string &identity) {
    JsonValue *record = json_read_file(path.c_str(), kLoginFileMax);
    if (record == nullptr || record->kind != JsonKind::Object ||
        strcmp(json_get_string(record, kLogin, ""), identity.c_str()) != 0 ||
        !json_has(record, kAttempted, JsonKind::Array) ||
        !json_has(record, kIssues, JsonKind::Object)) {
        json_free(record);
        return fresh_login_record(identity);
    }
    return record;
}

bool attempted_holds(const JsonValue *record, const char *id) {
    for (const JsonValue *a = json_first(json_get(record, kAttempted)); a != nullptr;
         a = json_next(a))
        if (a->kind == JsonKind::String && strcasecmp(a->string_bytes, id) == 0)
            return true;
    return false;
}

// Removes every issue of `id` (compared without regard to case). True when
// one was there.
bool issues_remove(JsonValue *issues, const char *id) {
    bool removed = false;
    for (JsonValue *i = json_first(issues); i != nullptr;) {
        JsonValue *next = json_next(i);
        if (strcasecmp(json_key(i), id) == 0) {
            json_free(json_detach(issues, i));
            removed = true;
        }
        i = next;
    }
    return removed;
}

void memory_issues_remove(Service *s, const char *id) {
    std::erase_if(s->sign_in_issues,
                  [id](const auto &issue) { return strcasecmp(issue.first.c_str(), id) == 0; });
}

// ---- The library

// Loads the library: 0 with *library (null when there is none), or a
// negative errno with *err set.
int load_library(const std::string &path, JsonValue **library, SessionError *err) {
    *library = nullptr;
    char *contents = nullptr;
    size_t length = 0;
    int rc = read_whole_file(path.c_str(), kLibraryFileMax, &contents, &length);
    if (rc == -ENOENT)
        return 0;
    if (rc != 0)
        return session_fail(err, wire::kCodeLibrary, text::kLibraryUnreadable, rc);
    JsonValue *parsed = json_parse(contents, length);
    free_whole_file(contents, length);
    if (parsed == nullptr || parsed->kind != JsonKind::Object) {
        json_free(parsed);
        return session_fail(err, wire::kCodeLibrary, text::kLibraryUnreadable, -EILSEQ);
    }
    const JsonValue *version = json_get(parsed, wire::kVersion);
    if (version == nullptr || version->kind != JsonKind::Number || !version->is_integer ||
        version->int_value != 1) {
        json_free(parsed);
        return session_fail(err, wire::kCodeLibrary, text::kLibraryNewer, -EPROTO);
    }
    const JsonValue *entries = json_get(parsed, kEntries);
    if (entries != nullptr && entries->kind != JsonKind::Array) {
        json_free(parsed);
        return session_fail(err, wire::kCodeLibrary, text::kLibraryUnreadable, -EILSEQ);
    }
    *library = parsed;
    return 0;
}

bool session_has_path(const Service *s, const char *path) {
    for (const SessionSlot &slot : s->slots)
        if (slot.record != nullptr &&
            paths_equal(json_get_string(slot.record, wire::kPath, ""), path))
            return true;
    return false;
}

// Mounts one library entry with its saved credentials. 0, or a negative
// errno with *message saying why.
int mount_entry(Service *s, const JsonValue *entry, std::string *message) {
    const char *id = json_get_string(entry, wire::kId, "");
    const char *path = json_get_string(entry, wire::kPath, nullptr);
    JsonValue *blob = nullptr;
    const char *read_message = nullptr;
    if (int rc = credentials_read(id, &blob, &read_message); rc != 0) {
        *message = read_message;
        return rc;
    }
    // The file must be the one whose credentials were saved: a container
    // that was moved, replaced or copied has another identity.
    FileStatus st;
    if (path == nullptr || file_status_path(path, true, &st) != 0 || st.type != FileType::regular ||
        st.identity.volume != static_cast<uint64_t>(json_get_int(blob, kBlobVolume, -1)) ||
        st.identity.file != static_cast<uint64_t>(json_get_int(blob, kBlobFile, -1))) {
        json_free(blob);
        *message = text::kSavedContainerChanged;
        return -ESTALE;
    }
    JsonValue *request = json_new(JsonKind::Object);
    json_set_int(request, wire::kVersion, wire::kVersionLoginMount);
    json_set_string(request, wire::kPath, path);
    if (JsonValue *frame = json_get(blob, kFrame); frame != nullptr)
        json_set(request, wire::kCredentials, json_clone(frame));
    if (const JsonValue *partition = json_get(blob, wire::kPartition); partition != nullptr)
        json_set(request, wire::kPartition, json_clone(partition));
    if (const JsonValue *preferences = json_get(entry, wire::kPreferences); preferences != nullptr)
        json_set(request, wire::kPreferences, json_clone(preferences));
    json_free(blob);
    JsonValue *record = nullptr;
    std::string session_id;
    SessionError err;
    int rc = session_mount(s, request, &record, &session_id, &err);
    json_free(record);
    json_free(request); // wipes the credentials
    if (rc != 0)
        *message = err.message;
    return rc;
}

} // namespace

// ---- Saved credentials

int credentials_store(const char *entry_id, const JsonValue *request, const JsonValue *record) {
    if (!uuid_is_valid(entry_id))
        return -EINVAL;
    JsonValue *blob = json_new(JsonKind::Object);
    json_set_string(blob, kFrame, json_get_string(request, wire::kCredentials, ""));
    const JsonValue *partition = json_get(request, wire::kPartition);
    if (partition != nullptr && partition->kind == JsonKind::Number)
        json_set_int(blob, wire::kPartition, partition->is_integer ? partition->int_value : 0);
    json_set_int(blob, kBlobVolume, json_get_int(record, wire::kSourceVolume, 0));
    json_set_int(blob, kBlobFile, json_get_int(record, wire::kSourceFile, 0));
    size_t length = 0;
    char *serialized = json_serialize(blob, &length);
    json_free(blob);
    if (serialized == nullptr)
        return -EIO;
    int rc = -E2BIG;
    if (length <= kCredentialBlobMax) {
        std::string label =
            std::string("Tarnwick: ") + file_name_of(json_get_string(record, wire::kPath, ""));
        rc = keyring_store(credential_target(entry_id), label, kCredentialUser,
                           {reinterpret_cast<const uint8_t *>(serialized), length}) == 0
                 ? 0
                 : -EIO;
    }
    wipe_and_free(serialized, length);
    return rc;
}

int credentials_read(const char *entry_id, JsonValue **blob, const char **message) {
    *blob = nullptr;
    SecureBuffer saved;
    int rc = keyring_read(credential_target(entry_id), &saved);
    if (rc == -ENOENT) {
        *message = text::kNothingSaved;
        return rc;
    }
    if (rc != 0) {
        *message = text::kSavedUnavailable;
        return -EIO;
    }
    JsonValue *parsed = json_parse(saved.data(), saved.size());
    if (parsed == nullptr || parsed->kind != JsonKind::Object ||
        !json_has(parsed, kFrame, JsonKind::String) ||
        !json_has(parsed, kBlobVolume, JsonKind::Number) ||
        !json_has(parsed, kBlobFile, JsonKind::Number)) {
        json_free(parsed);
        *message = text::kSavedUnreadable;
        return -EILSEQ;
    }
    *blob = parsed;
    return 0;
}

int credentials_forget(const char *entry_id) {
    if (!uuid_is_valid(entry_id))
        return -EINVAL;
    return keyring_delete(credential_target(entry_id)) == 0 ? 0 : -EIO;
}

// ---- Sign-in mounting

int sign_in_identity(const Service *s, pid_t client, std::string *identity, bool *remote) {
    uint64_t logon = logind_sign_in(client, remote);
    if (logon == 0)
        logon = s->start; // without logind every start of the service is a new sign-in
    if (s->boot == 0 || logon == 0)
        return -ENOENT;
    char text[64];
    snprintf(text, sizeof text, "%" PRIu64 ":%08" PRIx32 "%08" PRIx32, s->boot,
             static_cast<uint32_t>(logon >> 32), static_cast<uint32_t>(logon));
    *identity = text;
    return 0;
}

int library_login(Service *s, pid_t client, SessionError *err) {
    std::string identity, login_path, library_path;
    bool remote = false;
    int identified = sign_in_identity(s, client, &identity, &remote);
    if (remote)
        return session_fail(err, wire::kCodeLogin, text::kLoginRemote, -EPERM);
    if (identified != 0 || user_folder(kLoginFile, &login_path) != 0 ||
        user_folder(kLibraryFile, &library_path) != 0)
        return session_fail(err, wire::kCodeLogin, text::kLoginUnidentified, -ENOENT);
    JsonValue *record = load_login_record(login_path, identity);
    JsonValue *library = nullptr;
    if (int rc = load_library(library_path, &library, err); rc != 0) {
        json_free(record);
        return rc;
    }
    int result = 0;
    for (const JsonValue *entry = json_first(json_get(library, kEntries)); entry != nullptr;
         entry = json_next(entry)) {
        const char *id = json_get_string(entry, wire::kId, nullptr);
        if (!json_get_bool(json_get(entry, wire::kPreferences), wire::kMountOnLogin, false) ||
            !uuid_is_valid(id) || attempted_holds(record, id))
            continue;
        // Each entry is tried at most once per sign-in, also across restarts
        // of the service: it is recorded as tried before it is tried.
        json_append(json_get(record, kAttempted), json_new_string(id));
        if (json_write_file(login_path.c_str(), record) != 0) {
            result = session_fail(err, wire::kCodeLogin, text::kLoginNotSaved, -EIO);
            break;
        }
        const char *path = json_get_string(entry, wire::kPath, "");
        if (session_has_path(s, path))
            continue;
        std::string message;
        JsonValue *issues = json_get(record, kIssues);
        issues_remove(issues, id);
        if (mount_entry(s, entry, &message) != 0)
            json_set_string(
                issues, id,
                format_text(text::kLoginIssue, file_name_of(path), message.c_str()).c_str());
        if (json_write_file(login_path.c_str(), record) != 0) {
            result = session_fail(err, wire::kCodeLogin, text::kLoginNotSaved, -EIO);
            break;
        }
    }
    s->sign_in_issues.clear();
    for (const JsonValue *i = json_first(json_get(record, kIssues)); i != nullptr; i = json_next(i))
        if (i->kind == JsonKind::String)
            s->sign_in_issues.emplace_back(json_key(i), i->string_bytes);
    json_free(library);
    json_free(record);
    return result;
}

int library_forget(Service *, const JsonValue *request, SessionError *err) {
    const char *id = json_get_string(request, wire::kEntryId, nullptr);
    if (!uuid_is_valid(id))
        return session_fail(err, wire::kCodeProtocol, text::kForgetNeedsEntry, -EINVAL);
    if (credentials_forget(id) != 0)
        return session_fail(err, wire::kCodeKeychain, text::kForgetFailed, -EIO);
    return 0;
}

void library_after_mount(Service *s, const JsonValue *request, const JsonValue *record,
                         SessionError *err) {
    const char *id = json_get_string(request, wire::kEntryId, nullptr);
    if (id == nullptr)
        return;
    if (json_get_bool(request, wire::kRemember, false)) {
        int rc = credentials_store(id, request, record);
        if (rc == -E2BIG)
            session_fail(err, wire::kCodeKeychain, text::kTooLongToSave, rc);
        else if (rc != 0)
            session_fail(err, wire::kCodeKeychain, text::kNotSaved, rc);
    }
    // A mount of the entry clears its sign-in issue, here and in the record
    // (rewritten only when it held one).
    memory_issues_remove(s, id);
    std::string login_path;
    if (user_folder(kLoginFile, &login_path) != 0)
        return;
    JsonValue *saved = json_read_file(login_path.c_str(), kLoginFileMax);
    if (saved != nullptr && issues_remove(json_get(saved, kIssues), id))
        json_write_file(login_path.c_str(), saved);
    json_free(saved);
}

} // namespace tw
