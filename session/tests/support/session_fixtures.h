// What the session service's tests share: containers made from real FAT32
// images, credential requests as the client builds them, requests, and a
// small reader of replies.
#pragma once

#include "runtime/json.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tw::test {

using Bytes = std::vector<uint8_t>;

inline constexpr const char kPassword[] = "correct horse";

// A new folder /tmp/PREFIX-XXXXXX that this process's user root and runtime
// folder live in (HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR point into it),
// for a service run in the test's own process. Empty on failure.
std::string service_test_home(const std::string &prefix);

// Runs a shell command; true when it exits 0.
bool shell(const std::string &command);

Bytes read_bytes(const std::string &path);
void write_bytes(const std::string &path, const Bytes &bytes);

// A FAT32 image of `megabytes` MiB made by mkfs.vfat, holding "hello.txt"
// with the text "hello from tarnwick\n".
std::string make_fat32_image(const std::string &folder, const std::string &name, int megabytes);

// An AES-XTS salted container of the image under `password`, at `path`.
void make_container(const std::string &image, const std::string &path,
                    const std::string &password = kPassword);

// The base64 text of a kind-1 credential request for `password`.
std::string credentials_text(const std::string &password);

// A request object from JSON text with "operationID" set (when not given)
// and the members appended.
std::string request_text(const std::string &action, int version, const std::string &members = "",
                         const std::string &operation = "");

// A new random UUID text.
std::string new_uuid();

// Reads members of a parsed reply.
struct ParsedReply {
    JsonValue *value = nullptr;
    explicit ParsedReply(const std::string &text);
    ~ParsedReply() { json_free(value); }
    ParsedReply(const ParsedReply &) = delete;
    ParsedReply &operator=(const ParsedReply &) = delete;
    std::string code() const;
    std::string message() const;
    std::string ticket() const;
    std::string instance() const;
    bool can_restart() const;
    size_t session_count() const;
    const JsonValue *session(size_t i) const;
    std::vector<std::string> warnings() const;
};

} // namespace tw::test
