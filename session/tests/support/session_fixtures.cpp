#include "session/tests/support/session_fixtures.h"

#include "client/client.h"
#include "container/cipher/cipher.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"
#include "runtime/text.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

namespace tw::test {

namespace {
constexpr size_t kSector = 512;
}

std::string service_test_home(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || mkdir((pattern + "/runtime").c_str(), 0700) != 0)
        return "";
    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (pattern + "/runtime").c_str(), 1);
    return pattern;
}

bool shell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

Bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string make_fat32_image(const std::string &folder, const std::string &name, int megabytes) {
    std::string image = folder + "/" + name;
    EXPECT_TRUE(shell("cd '" + folder + "' && truncate -s " + std::to_string(megabytes) + "M '" +
                      name + "' && mkfs.vfat -F 32 -n TWTEST '" + name +
                      "' >/dev/null 2>&1 && printf 'hello from tarnwick\\n' > hello.txt && "
                      "MTOOLS_SKIP_CHECK=1 mcopy -i '" +
                      name + "' hello.txt ::/hello.txt && rm hello.txt"));
    return image;
}

void make_container(const std::string &image_path, const std::string &path,
                    const std::string &password) {
    Bytes image = read_bytes(image_path);
    ASSERT_EQ(image.size() % kSector, 0u);
    uint8_t trailer[kKdfTrailerSize];
    uint8_t data_key[kDataKeySize];
    ASSERT_EQ(kdf_trailer_create(trailer, image.size(), kCipherAesXts,
                                 reinterpret_cast<const uint8_t *>(password.data()),
                                 password.size(), data_key),
              0);
    CipherContext *ctx = cipher_context_create();
    ASSERT_EQ(cipher_setup(ctx, kCipherAesXts, data_key, cipher_key_length(kCipherAesXts)), 0);
    ASSERT_EQ(cipher_sectors(ctx, 1, image.size() / kSector - 1, image.data() + kSector,
                             image.data() + kSector, kEncrypt),
              0);
    cipher_context_destroy(ctx);
    uint8_t table[kSse2TableSize];
    sse2_schedule(kDefaultSystemKey, table);
    sse2_encrypt_blocks(image.data(), kSector / kSse2BlockSize, table);
    image.insert(image.end(), trailer, trailer + sizeof trailer);
    write_bytes(path, image);
}

std::string credentials_text(const std::string &password) {
    CredentialInput in;
    in.kind = 1;
    in.password = {reinterpret_cast<const uint8_t *>(password.data()), password.size()};
    SecureBuffer record;
    ClientOutcome err;
    EXPECT_EQ(0, credential_request_build(in, &record, &err)) << err.message;
    char *text = base64_encode(record.data(), record.size());
    std::string result = text != nullptr ? text : "";
    free(text);
    return result;
}

std::string new_uuid() {
    char id[kUuidTextSize];
    EXPECT_TRUE(uuid_generate(id));
    return id;
}

std::string request_text(const std::string &action, int version, const std::string &members,
                         const std::string &operation) {
    std::string text = "{\"version\":" + std::to_string(version) + ",\"operationID\":\"" +
                       (operation.empty() ? new_uuid() : operation) + "\",\"action\":\"" + action +
                       "\"";
    if (!members.empty())
        text += "," + members;
    return text + "}";
}

ParsedReply::ParsedReply(const std::string &text) : value(json_parse_text(text.c_str())) {}

std::string ParsedReply::code() const {
    return json_get_string(json_get(value, "error"), "code", "");
}
std::string ParsedReply::message() const {
    return json_get_string(json_get(value, "error"), "message", "");
}
std::string ParsedReply::ticket() const {
    return json_get_string(value, "mountTicket", "");
}
std::string ParsedReply::instance() const {
    return json_get_string(json_get(value, "service"), "instance", "");
}
bool ParsedReply::can_restart() const {
    return json_get_bool(json_get(value, "service"), "canRestart", false);
}
size_t ParsedReply::session_count() const {
    const JsonValue *s = json_get(value, "sessions");
    return s != nullptr ? static_cast<size_t>(s->child_count) : 0;
}
const JsonValue *ParsedReply::session(size_t i) const {
    const JsonValue *e = json_first(json_get(value, "sessions"));
    while (e != nullptr && i-- > 0)
        e = json_next(e);
    return e;
}
std::vector<std::string> ParsedReply::warnings() const {
    std::vector<std::string> out;
    for (const JsonValue *w = json_first(json_get(value, "warnings")); w != nullptr;
         w = json_next(w))
        out.push_back(json_string_bytes(w) != nullptr ? json_string_bytes(w) : "");
    return out;
}

} // namespace tw::test
