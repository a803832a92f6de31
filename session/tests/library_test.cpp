// Saved credentials in a real keyring (gnome-keyring-daemon on a private
// session bus), sign-in mounting from the desktop app's library, the
// per-sign-in record, preference changes and idle unmounting. The service
// runs in this process with the real tarnwick-worker; the broker is a
// stand-in that attaches nothing and logs what it was asked.
#include "platform/clock.h"
#include "platform/files.h"
#include "runtime/text.h"
#include "session/library.h"
#include "session/protocol.h"
#include "session/service.h"
#include "session/sessions.h"
#include "session/tests/support/private_keyring.h"
#include "session/tests/support/session_fixtures.h"
#include "session/tests/support/stand_in_logind.h"
#include "session/texts.h"
#include "worker/status.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {
namespace {

namespace text = session_text;

std::vector<std::string> g_broker_calls;
std::map<std::string, std::string> g_broker_errors; // action -> message of a failure

int fake_broker(JsonValue *request, JsonValue **reply, std::string *message) {
    std::string action = json_get_string(request, "action", "");
    json_free(request);
    g_broker_calls.push_back(action);
    if (auto it = g_broker_errors.find(action); it != g_broker_errors.end()) {
        *message = it->second;
        return -EREMOTEIO;
    }
    if (action == "attach")
        *reply = json_parse_text(
            R"({"mountPoint":"/run/media/u/TWTEST","volume":"/dev/loop9","filesystem":"FAT32","phase":"mounted"})");
    else if (action == "list")
        *reply = json_parse_text(R"({"sessions":[]})");
    else
        *reply = json_parse_text(R"({"phase":"disconnected"})");
    return 0;
}

std::string file_text(const std::string &path) {
    Bytes b = read_bytes(path);
    return std::string(b.begin(), b.end());
}

class Library : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = service_test_home("tw-library");
        ASSERT_FALSE(dir.empty());
        // No logind unless a test brings its own: every service start is
        // then a sign-in of its own.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/no-system-bus").c_str(), 1);
        ASSERT_EQ(0, service_init(&service));
        service.worker_program = std::string(TW_BIN_DIR) + "/tarnwick-worker";
        root = dir + "/data/Tarnwick";
        g_broker_calls.clear();
        g_broker_errors.clear();
        sessions_set_broker_for_testing(fake_broker);
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> held(service.lock);
            sessions_unmount_all(&service);
        }
        sessions_set_broker_for_testing(nullptr);
        keyring.stop();
        if (!dir.empty())
            shell("rm -rf '" + dir + "'");
    }

    void start_keyring(bool with_service = true) {
        ASSERT_TRUE(keyring.start(dir + "/runtime", with_service));
    }

    std::string ask(const std::string &request, pid_t client = 0) {
        JsonValue *parsed = json_parse_text(request.c_str());
        EXPECT_NE(parsed, nullptr) << request;
        std::unique_lock<std::mutex> held(service.lock);
        // Each request refreshes the sessions first, as a client's would.
        service.last_refresh = 0;
        JsonValue *reply = service_dispatch(&service, parsed, held, client);
        json_free(parsed);
        char *t = json_serialize(reply);
        std::string out = t;
        json_free_text(t);
        json_free(reply);
        return out;
    }

    // A container of the FAT32 image made once per test.
    std::string container(const std::string &name) {
        if (image.empty())
            image = make_fat32_image(dir, "fat.img", 33);
        std::string path = dir + "/" + name;
        make_container(image, path);
        return path;
    }

    std::string mount_members(const std::string &path, const std::string &more = "") {
        return "\"path\":\"" + path + "\",\"credentials\":\"" + credentials_text(kPassword) + "\"" +
               (more.empty() ? "" : "," + more);
    }

    // Writes the library file with one entry per line of `entries`:
    // {id, path, preferences JSON}.
    struct Entry {
        std::string id, path, preferences;
    };
    void write_library(const std::vector<Entry> &entries, int version = 1) {
        std::string text = "{\"version\":" + std::to_string(version) + ",\"entries\":[";
        for (size_t i = 0; i < entries.size(); i++)
            text += std::string(i ? "," : "") + "{\"id\":\"" + entries[i].id + "\",\"path\":\"" +
                    entries[i].path +
                    "\",\"favorite\":false,\"added\":1,\"lastOpened\":1,\"info\":{},"
                    "\"preferences\":" +
                    entries[i].preferences + "}";
        text += "]}";
        shell("mkdir -p '" + root + "'");
        write_bytes(root + "/library.json", Bytes(text.begin(), text.end()));
    }

    // Mounts `path` for a library entry with "remember", then unmounts it:
    // its credentials stay saved.
    void save_credentials(const std::string &path, const std::string &id) {
        ParsedReply mounted(ask(request_text(
            "mount", 3, mount_members(path, "\"entryID\":\"" + id + "\",\"remember\":true"))));
        ASSERT_EQ("", mounted.code()) << mounted.message();
        ASSERT_EQ(1u, mounted.session_count());
        unmount_all();
    }

    void unmount_all() {
        std::lock_guard<std::mutex> held(service.lock);
        sessions_unmount_all(&service);
        for (const SessionSlot &slot : service.slots)
            ASSERT_EQ(nullptr, slot.record);
    }

    std::vector<std::string> mounted_paths() {
        std::vector<std::string> paths;
        for (const SessionSlot &slot : service.slots)
            if (slot.record != nullptr)
                paths.push_back(json_get_string(slot.record, "path", ""));
        return paths;
    }

    size_t attaches() const {
        return static_cast<size_t>(
            std::count(g_broker_calls.begin(), g_broker_calls.end(), std::string("attach")));
    }

    std::string dir, root, image;
    Service service;
    PrivateKeyring keyring;
};

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// ---- Saved credentials

TEST_F(Library, CredentialsRoundTripThroughTheKeyringAndAreForgotten) {
    start_keyring();
    const std::string path = container("Holiday Photos.zcx");
    const std::string id = new_uuid();
    const std::string frame = credentials_text(kPassword);
    ParsedReply mounted(ask(request_text(
        "mount", 3,
        mount_members(path, "\"partition\":1,\"entryID\":\"" + id + "\",\"remember\":true"))));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    ASSERT_EQ(1u, mounted.session_count());
    const JsonValue *record = mounted.session(0);

    // The blob holds the frame exactly as sent, the partition and the file.
    JsonValue *blob = nullptr;
    const char *message = nullptr;
    ASSERT_EQ(0, credentials_read(id.c_str(), &blob, &message));
    EXPECT_EQ(frame, json_get_string(blob, "frame", ""));
    EXPECT_EQ(1, json_get_int(blob, "partition", 0));
    EXPECT_EQ(json_get_int(record, "sourceVolume", -1), json_get_int(blob, "volume", -2));
    EXPECT_EQ(json_get_int(record, "sourceFile", -1), json_get_int(blob, "file", -2));
    json_free(blob);
    // Ids compare without regard to case.
    ASSERT_EQ(0, credentials_read(upper(id).c_str(), &blob, &message));
    json_free(blob);
    // The item as other keyring tools see it: labelled with the file name.
    std::string listed = keyring.listing("Tarnwick/" + upper(id));
    EXPECT_NE(std::string::npos, listed.find("label = Tarnwick: Holiday Photos.zcx")) << listed;
    EXPECT_NE(std::string::npos, listed.find("attribute.user = Tarnwick")) << listed;
    EXPECT_EQ(std::string::npos, listed.find(kPassword)) << "only the credential frame is saved";

    // Forgetting deletes it; forgetting again is no failure.
    for (int round = 0; round < 2; round++) {
        ParsedReply forgot(ask(request_text("forget", 2, "\"entryID\":\"" + id + "\"")));
        EXPECT_EQ("", forgot.code()) << forgot.message();
    }
    EXPECT_EQ(-ENOENT, credentials_read(id.c_str(), &blob, &message));
    EXPECT_STREQ(text::kNothingSaved, message);
    ParsedReply bad(ask(request_text("forget", 2, "\"entryID\":\"not-an-id\"")));
    EXPECT_EQ("protocol", bad.code());
    EXPECT_EQ(text::kForgetNeedsEntry, bad.message());
}

TEST_F(Library, ABlobOverTheLimitIsNotSavedAndTheMountStays) {
    start_keyring();
    const std::string id = new_uuid();
    JsonValue *record =
        json_parse_text(R"({"path":"/c/x.zcx","sourceVolume":2049,"sourceFile":131})");
    // The blob's length without a frame, then frames that make it 2560 and
    // 2561 bytes long.
    JsonValue *probe = json_parse_text(R"({"frame":"","volume":2049,"file":131})");
    size_t length = 0;
    char *t = json_serialize(probe, &length);
    json_free_text(t);
    json_free(probe);
    ASSERT_LT(length, kCredentialBlobMax);
    struct Case {
        size_t blob;
        int result;
    } cases[] = {{kCredentialBlobMax, 0}, {kCredentialBlobMax + 1, -E2BIG}};
    for (const Case &c : cases) {
        std::string request = "{\"credentials\":\"" + std::string(c.blob - length, 'A') + "\"}";
        JsonValue *parsed = json_parse_text(request.c_str());
        credentials_forget(id.c_str());
        EXPECT_EQ(c.result, credentials_store(id.c_str(), parsed, record)) << c.blob;
        JsonValue *blob = nullptr;
        const char *message = nullptr;
        EXPECT_EQ(c.result == 0 ? 0 : -ENOENT, credentials_read(id.c_str(), &blob, &message))
            << c.blob;
        json_free(blob);
        json_free(parsed);
    }
    EXPECT_EQ(-EINVAL, credentials_store("Tarnwick", record, record));
    json_free(record);

    // Through a mount: a long password makes a frame too long to save; the
    // container is mounted all the same and the reply says what was lost.
    const std::string password(2000, 'p');
    make_container(image.empty() ? (image = make_fat32_image(dir, "fat.img", 33)) : image,
                   dir + "/long.zcx", password);
    ParsedReply mounted(ask(request_text("mount", 3,
                                         "\"path\":\"" + dir + "/long.zcx\",\"credentials\":\"" +
                                             credentials_text(password) + "\",\"entryID\":\"" + id +
                                             "\",\"remember\":true")));
    EXPECT_EQ("keychain", mounted.code());
    EXPECT_EQ(text::kTooLongToSave, mounted.message());
    EXPECT_EQ(1u, mounted.session_count());
    JsonValue *blob = nullptr;
    const char *message = nullptr;
    EXPECT_EQ(-ENOENT, credentials_read(id.c_str(), &blob, &message));
}

TEST_F(Library, WithoutAKeyringSavingFailsAsDesignedAndMountingStillWorks) {
    struct Case {
        const char *name;
        bool bus;
    } cases[] = {{"no session bus", false}, {"a bus without a Secret Service", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bus)
            start_keyring(false);
        else
            setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir + "/no-bus").c_str(), 1);
        const std::string path = container(std::string("plain-") + (c.bus ? "1" : "0") + ".zcx");
        const std::string id = new_uuid();
        ParsedReply mounted(ask(request_text(
            "mount", 3, mount_members(path, "\"entryID\":\"" + id + "\",\"remember\":true"))));
        EXPECT_EQ("keychain", mounted.code());
        EXPECT_EQ(text::kNotSaved, mounted.message());
        EXPECT_EQ(1u, mounted.session_count()) << "the container stays mounted";
        JsonValue *blob = nullptr;
        const char *message = nullptr;
        EXPECT_EQ(-EIO, credentials_read(id.c_str(), &blob, &message));
        EXPECT_STREQ(text::kSavedUnavailable, message);
        ParsedReply forgot(ask(request_text("forget", 2, "\"entryID\":\"" + id + "\"")));
        EXPECT_EQ("keychain", forgot.code());
        EXPECT_EQ(text::kForgetFailed, forgot.message());
        // A mount that saves nothing does not need the keyring at all.
        unmount_all();
        ParsedReply plain(ask(request_text("mount", 3, mount_members(path))));
        EXPECT_EQ("", plain.code()) << plain.message();
        unmount_all();
        keyring.stop();
    }
}

// ---- Sign-in mounting

TEST_F(Library, SignInMountsMarkedEntriesOncePerSignIn) {
    start_keyring();
    const std::string saved = container("saved.zcx");
    const std::string unsaved = container("unsaved.zcx");
    const std::string unmarked = container("unmarked.zcx");
    const std::string saved_id = upper(new_uuid()), unsaved_id = upper(new_uuid()),
                      unmarked_id = upper(new_uuid());
    save_credentials(saved, saved_id);
    save_credentials(unmarked, unmarked_id);
    write_library({{saved_id, saved, R"({"mountOnLogin":true,"idleSeconds":600})"},
                   {unsaved_id, unsaved, R"({"mountOnLogin":true})"},
                   {unmarked_id, unmarked, R"({"mountOnLogin":false})"},
                   {"not-a-uuid", unmarked, R"({"mountOnLogin":true})"}});
    g_broker_calls.clear();

    ParsedReply first(ask(request_text("login", 3)));
    EXPECT_EQ("", first.code()) << first.message();
    EXPECT_EQ(std::vector<std::string>{saved}, mounted_paths());
    const std::string issue = std::string("unsaved.zcx: ") + text::kNothingSaved;
    EXPECT_EQ(std::vector<std::string>{issue}, first.warnings());
    // Mounted read-only with the entry's preferences.
    const JsonValue *prefs = json_get(first.session(0), "preferences");
    EXPECT_TRUE(json_get_bool(prefs, "readOnly", false));
    EXPECT_EQ(600, json_get_int(prefs, "idleSeconds", 0));
    // The record names this sign-in, what was tried and the issue.
    JsonValue *login = json_read_file((root + "/login.json").c_str(), kLoginFileMax);
    ASSERT_NE(nullptr, login);
    std::string identity;
    bool remote = true;
    ASSERT_EQ(0, sign_in_identity(&service, 0, &identity, &remote));
    EXPECT_FALSE(remote);
    EXPECT_EQ(identity, json_get_string(login, "login", ""));
    const JsonValue *attempted = json_get(login, "attempted");
    ASSERT_NE(nullptr, attempted);
    std::vector<std::string> ids;
    for (const JsonValue *a = json_first(attempted); a != nullptr; a = json_next(a))
        ids.push_back(a->string_bytes);
    EXPECT_EQ((std::vector<std::string>{saved_id, unsaved_id}), ids);
    EXPECT_EQ(issue, json_get_string(json_get(login, "issues"), unsaved_id.c_str(), ""));
    json_free(login);

    // The same sign-in again: nothing is tried, the issue is still shown.
    unmount_all();
    g_broker_calls.clear();
    ParsedReply again(ask(request_text("login", 3)));
    EXPECT_EQ("", again.code()) << again.message();
    EXPECT_EQ(0u, attaches());
    EXPECT_TRUE(mounted_paths().empty());
    EXPECT_EQ(std::vector<std::string>{issue}, again.warnings());

    // Mounting the entry by hand clears its issue, here and in the record.
    ParsedReply manual(ask(
        request_text("mount", 3, mount_members(unsaved, "\"entryID\":\"" + unsaved_id + "\""))));
    EXPECT_EQ("", manual.code()) << manual.message();
    EXPECT_TRUE(manual.warnings().empty());
    EXPECT_EQ(std::string::npos, file_text(root + "/login.json").find(text::kNothingSaved));
    unmount_all();

    // A new sign-in (here: the service started again without logind) tries
    // every marked entry once more.
    service.start += 1;
    ParsedReply next(ask(request_text("login", 3)));
    EXPECT_EQ(std::vector<std::string>{saved}, mounted_paths());
    EXPECT_EQ(std::vector<std::string>{issue}, next.warnings());
}

TEST_F(Library, SignInSkipsMountedEntriesAndNeverPresentsCredentialsToAnotherFile) {
    start_keyring();
    const std::string moved = container("moved.zcx");
    const std::string replaced = container("replaced.zcx");
    const std::string open_one = container("open.zcx");
    const std::string writable = container("writable.zcx");
    const std::string ids[] = {upper(new_uuid()), upper(new_uuid()), upper(new_uuid()),
                               upper(new_uuid())};
    for (auto [path, id] : {std::pair{moved, ids[0]}, std::pair{replaced, ids[1]},
                            std::pair{open_one, ids[2]}, std::pair{writable, ids[3]}})
        save_credentials(path, id);
    // One file moved away, one replaced by a copy of itself (a new file),
    // one already mounted, one marked for a writable mount.
    ASSERT_EQ(0, rename(moved.c_str(), (moved + ".away").c_str()));
    ASSERT_TRUE(shell("cp '" + replaced + "' '" + replaced + ".copy' && mv '" + replaced +
                      ".copy' '" + replaced + "'"));
    ParsedReply opened(ask(request_text("mount", 3, mount_members(open_one))));
    ASSERT_EQ("", opened.code()) << opened.message();
    write_library({{ids[0], moved, R"({"mountOnLogin":true})"},
                   {ids[1], replaced, R"({"mountOnLogin":true})"},
                   {ids[2], open_one, R"({"mountOnLogin":true})"},
                   {ids[3], writable, R"({"mountOnLogin":true,"readOnly":false})"}});
    g_broker_calls.clear();
    ParsedReply reply(ask(request_text("login", 3)));
    EXPECT_EQ("", reply.code()) << reply.message();
    EXPECT_EQ(0u, attaches());
    EXPECT_EQ(std::vector<std::string>{open_one}, mounted_paths());
    std::vector<std::string> warnings = reply.warnings();
    ASSERT_EQ(3u, warnings.size());
    EXPECT_EQ(std::string("moved.zcx: ") + text::kSavedContainerChanged, warnings[0]);
    EXPECT_EQ(std::string("replaced.zcx: ") + text::kSavedContainerChanged, warnings[1]);
    EXPECT_EQ(0u, warnings[2].find("writable.zcx: ")) << warnings[2];
    EXPECT_NE(std::string::npos, warnings[2].find("Write mounts must be started manually"))
        << warnings[2];
}

TEST_F(Library, SignInIdentityComesFromTheClientsLogindSession) {
    StandInLogind logind;
    ASSERT_TRUE(logind.start());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", logind.address.c_str(), 1);
    std::string first, again, later;
    bool remote = true;
    ASSERT_EQ(0, sign_in_identity(&service, getpid(), &first, &remote));
    EXPECT_FALSE(remote);
    char expected[64];
    snprintf(expected, sizeof expected, "%llu:%016llx",
             static_cast<unsigned long long>(boot_time()),
             static_cast<unsigned long long>(logind.session_created.load()));
    EXPECT_EQ(expected, first);
    // A restarted service is still in the same sign-in.
    service.start += 1;
    ASSERT_EQ(0, sign_in_identity(&service, getpid(), &again, &remote));
    EXPECT_EQ(first, again);
    // A new logon is a new sign-in.
    logind.session_created += 5;
    ASSERT_EQ(0, sign_in_identity(&service, getpid(), &later, &remote));
    EXPECT_NE(first, later);

    // A remote session does not mount anything.
    logind.session_remote = true;
    write_library({});
    ParsedReply refused(ask(request_text("login", 3), getpid()));
    EXPECT_EQ("login", refused.code());
    EXPECT_EQ(text::kLoginRemote, refused.message());
}

TEST_F(Library, DamagedFilesGiveTheirMessagesAndTheLibraryIsNeverWritten) {
    const std::string id = upper(new_uuid());
    std::string big(kLibraryFileMax + 1, ' ');
    big.replace(0, 13, "{\"version\":1,");
    big.back() = '}';
    struct Case {
        const char *name;
        std::string library;
        const char *code;
        const char *message;
    } cases[] = {
        {"not JSON", "{\"version\":1,\"entries\":[", "library", text::kLibraryUnreadable},
        {"not an object", "[1,2]", "library", text::kLibraryUnreadable},
        {"newer version", "{\"version\":2,\"entries\":[]}", "library", text::kLibraryNewer},
        {"no version", "{\"entries\":[]}", "library", text::kLibraryNewer},
        {"entries not an array", "{\"version\":1,\"entries\":{}}", "library",
         text::kLibraryUnreadable},
        {"over 16 MiB", big, "library", text::kLibraryUnreadable},
        {"no entries", "{\"version\":1}", "", ""},
    };
    shell("mkdir -p '" + root + "'");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_bytes(root + "/library.json", Bytes(c.library.begin(), c.library.end()));
        ParsedReply reply(ask(request_text("login", 3)));
        EXPECT_EQ(c.code, reply.code());
        EXPECT_EQ(c.message, reply.message());
        EXPECT_EQ(c.library, file_text(root + "/library.json")) << "left byte for byte";
    }
    // No library at all: nothing to mount.
    unlink((root + "/library.json").c_str());
    ParsedReply none(ask(request_text("login", 3)));
    EXPECT_EQ("", none.code()) << none.message();

    // A damaged, foreign or oversized sign-in record is the service's own:
    // it is replaced by a fresh one for this sign-in.
    std::string identity;
    bool remote = false;
    ASSERT_EQ(0, sign_in_identity(&service, 0, &identity, &remote));
    write_library({{id, dir + "/missing.zcx", R"({"mountOnLogin":true})"}});
    const std::string records[] = {
        "{\"login\":",
        "{\"login\":\"1:0000000000000001\",\"attempted\":[\"" + id + "\"],\"issues\":{}}",
        "{\"login\":\"" + identity + "\",\"attempted\":{},\"issues\":{}}",
        "{\"login\":\"" + identity + "\",\"attempted\":[],\"issues\":[]}",
        "{\"login\":\"" + identity + "\",\"attempted\":[\"" + id + "\"],\"issues\":{},\"pad\":\"" +
            std::string(kLoginFileMax, 'x') + "\"}",
    };
    start_keyring();
    for (const std::string &record : records) {
        SCOPED_TRACE(record.substr(0, 60));
        write_bytes(root + "/login.json", Bytes(record.begin(), record.end()));
        ParsedReply reply(ask(request_text("login", 3)));
        EXPECT_EQ("", reply.code()) << reply.message();
        JsonValue *fresh = json_read_file((root + "/login.json").c_str(), kLoginFileMax);
        ASSERT_NE(nullptr, fresh);
        EXPECT_EQ(identity, json_get_string(fresh, "login", ""));
        EXPECT_EQ(1u, json_get(fresh, "attempted")->child_count);
        json_free(fresh);
        EXPECT_EQ(std::vector<std::string>{std::string("missing.zcx: ") + text::kNothingSaved},
                  reply.warnings());
    }
    // A sign-in record that cannot be written stops the run before any
    // entry is tried.
    unlink((root + "/login.json").c_str());
    ASSERT_EQ(0, mkdir((root + "/login.json").c_str(), 0700));
    ParsedReply stopped(ask(request_text("login", 3)));
    EXPECT_EQ("login", stopped.code());
    EXPECT_EQ(text::kLoginNotSaved, stopped.message());
}

// ---- Preferences of a running session

TEST_F(Library, PreferencesChangeWhileMountedButNeverTheAccess) {
    const std::string path = container("prefs.zcx");
    // Writable mounts need a current client: a ticket first.
    const std::string op = new_uuid();
    const std::string members = "\"path\":\"" + path + "\",\"preferences\":{\"readOnly\":false}";
    ParsedReply prepared(ask(request_text("prepare-mount", 7, members, op)));
    ASSERT_EQ("", prepared.code()) << prepared.message();
    ParsedReply mounted(ask(request_text(
        "mount", 7,
        members + ",\"credentials\":\"" + credentials_text(kPassword) + "\",\"mountTicket\":\"" +
            prepared.ticket() + "\",\"serviceInstance\":\"" + service.instance + "\"",
        op)));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    const std::string id = json_get_string(mounted.session(0), "id", "");
    struct Case {
        std::string session;
        std::string preferences; // empty: none sent
        const char *code;
    } cases[] = {
        {new_uuid(), "{}", "session"},
        {id, "", "session"},
        {id, "[]", "session"},
        {id, R"({"idleSeconds":0})", "idle"},
        {id, R"({"volumeLabel":" x"})", "label"},
        // Mount-after-sign-in without "readOnly": stored for this writable
        // session as writable and not at sign-in.
        {id, R"({"mountOnLogin":true,"idleSeconds":120})", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.preferences);
        std::string members = "\"sessionID\":\"" + c.session + "\"";
        if (!c.preferences.empty())
            members += ",\"preferences\":" + c.preferences;
        ParsedReply reply(ask(request_text("preferences", 2, members)));
        EXPECT_EQ(c.code, reply.code()) << reply.message();
        if (std::string(c.code) == "session") {
            EXPECT_EQ(text::kRefreshBeforePreferences, reply.message());
        }
    }
    JsonValue *saved =
        json_read_file((service.run_folder + "/" + id + "/session.json").c_str(), 65536);
    const JsonValue *prefs = json_get(saved, "preferences");
    EXPECT_FALSE(json_get_bool(prefs, "readOnly", true));
    EXPECT_FALSE(json_get_bool(prefs, "mountOnLogin", true));
    EXPECT_EQ(120, json_get_int(prefs, "idleSeconds", 0));
    EXPECT_TRUE(json_get_bool(saved, "writable", false));
    json_free(saved);
    // A record that cannot be saved keeps the old preferences.
    std::string folder = service.run_folder + "/" + id;
    ASSERT_EQ(0, chmod(folder.c_str(), 0500));
    ParsedReply refused(ask(request_text(
        "preferences", 2, "\"sessionID\":\"" + id + "\",\"preferences\":{\"idleSeconds\":5}")));
    chmod(folder.c_str(), 0700);
    if (geteuid() != 0) { // root writes into a read-only folder anyway
        EXPECT_EQ("registry", refused.code());
        EXPECT_EQ(text::kPreferencesNotSaved, refused.message());
        int slot = session_find(&service, id.c_str());
        EXPECT_EQ(120, json_get_int(json_get(service.slots[slot].record, "preferences"),
                                    "idleSeconds", 0));
    }
}

// ---- Idle unmounting

// Plays the worker's I/O in its status record: the activity time and the
// busy flag, as the worker stores them around every request it serves.
void play_io(const std::string &status, uint64_t activity, uint32_t busy) {
    int fd = open(status.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(8, pwrite(fd, &activity, 8, kStatusActivity));
    ASSERT_EQ(4, pwrite(fd, &busy, 4, kStatusBusy));
    close(fd);
}

TEST_F(Library, IdleSessionsUnmountAfterTheirPeriodButNotWhileBusy) {
    const std::string path = container("idle.zcx");
    ParsedReply mounted(
        ask(request_text("mount", 3, mount_members(path, R"("preferences":{"idleSeconds":1})"))));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    const std::string id = json_get_string(mounted.session(0), "id", "");
    const std::string status = service.run_folder + "/" + id + "/status.bin";
    auto check = [this] {
        std::lock_guard<std::mutex> held(service.lock);
        sessions_idle_check(&service);
    };
    // Busy for three periods: a read in progress keeps the session.
    uint64_t start = monotonic_now();
    while (monotonic_now() - start < 30000000) {
        play_io(status, monotonic_now(), 1);
        check();
        ASSERT_GE(session_find(&service, id.c_str()), 0) << "busy";
        usleep(200000);
    }
    // Reads that keep coming (not busy at the moment of each look).
    start = monotonic_now();
    uint64_t last_io = 0;
    while (monotonic_now() - start < 25000000) {
        last_io = monotonic_now();
        play_io(status, last_io, 0);
        check();
        ASSERT_GE(session_find(&service, id.c_str()), 0) << "active";
        usleep(200000);
    }
    // Quiet for the period: unmounted, through the broker.
    g_broker_calls.clear();
    uint64_t quiet = monotonic_now();
    while (session_find(&service, id.c_str()) >= 0 && monotonic_now() - quiet < 50000000) {
        check();
        usleep(100000);
    }
    EXPECT_LT(session_find(&service, id.c_str()), 0);
    EXPECT_GE(monotonic_now() - last_io, 10000000u) << "not before the period";
    EXPECT_NE(std::find(g_broker_calls.begin(), g_broker_calls.end(), "unmount"),
              g_broker_calls.end());
}

TEST_F(Library, AFailedIdleUnmountSaysSoAndWaitsAFullPeriod) {
    const std::string path = container("stuck.zcx");
    ParsedReply mounted(
        ask(request_text("mount", 3, mount_members(path, R"("preferences":{"idleSeconds":2})"))));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    const std::string id = json_get_string(mounted.session(0), "id", "");
    const std::string status = service.run_folder + "/" + id + "/status.bin";
    g_broker_errors["unmount"] = "Files on this volume are still open.";
    play_io(status, monotonic_now() - 30000000, 0);
    usleep(2100000); // the mount itself counts as activity
    g_broker_calls.clear();
    {
        std::lock_guard<std::mutex> held(service.lock);
        sessions_idle_check(&service);
        sessions_idle_check(&service); // at once again: waits for the next period
    }
    EXPECT_EQ(1, std::count(g_broker_calls.begin(), g_broker_calls.end(), "unmount"));
    int slot = session_find(&service, id.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_STREQ("Automatic unmount: Files on this volume are still open.",
                 json_get_string(service.slots[slot].record, "message", ""));
    EXPECT_NE(std::string::npos,
              file_text(service.run_folder + "/" + id + "/session.json")
                  .find("Automatic unmount: Files on this volume are still open."));
    usleep(2100000);
    {
        std::lock_guard<std::mutex> held(service.lock);
        sessions_idle_check(&service);
    }
    EXPECT_EQ(2, std::count(g_broker_calls.begin(), g_broker_calls.end(), "unmount"));
    g_broker_errors.clear();
}

TEST_F(Library, IdleMonitoringPausesWithoutTheWorker) {
    const std::string path = container("paused.zcx");
    ParsedReply mounted(
        ask(request_text("mount", 3, mount_members(path, R"("preferences":{"idleSeconds":1})"))));
    ASSERT_EQ("", mounted.code()) << mounted.message();
    const std::string id = json_get_string(mounted.session(0), "id", "");
    int slot = session_find(&service, id.c_str());
    ASSERT_GE(slot, 0);
    // The worker is gone: nothing can be measured, so nothing is unmounted.
    kill(service.slots[slot].worker_pid, SIGKILL);
    usleep(300000);
    g_broker_calls.clear();
    {
        std::lock_guard<std::mutex> held(service.lock);
        sessions_idle_check(&service);
    }
    EXPECT_TRUE(g_broker_calls.empty());
    EXPECT_STREQ(text::kIdlePaused, json_get_string(service.slots[slot].record, "idleMessage", ""));
    // A preference change takes the message away again.
    ParsedReply changed(ask(request_text(
        "preferences", 2, "\"sessionID\":\"" + id + "\",\"preferences\":{\"idleSeconds\":9}")));
    slot = session_find(&service, id.c_str());
    ASSERT_GE(slot, 0);
    EXPECT_EQ(nullptr, json_get(service.slots[slot].record, "idleMessage"));
}

} // namespace
} // namespace tw::test
