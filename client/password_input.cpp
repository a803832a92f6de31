// Reading passwords from the terminal or from standard input.
#include "client/client.h"
#include "client/messages.h"

#include "platform/descriptor.h"
#include "platform/io.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>

namespace tw {

namespace {

constexpr size_t kStdinPasswordLimit = kClientPasswordLimit + 1;
constexpr size_t kCredentialsJsonLimit = 65536;

constexpr const char *kNoTerminal =
    "Could not read a password. Use --credentials-stdin for create or rekey, or "
    "--password-stdin for other credential operations without a terminal.";
constexpr const char *kReadFailed = "Could not read a password.";

// Reads fd to its end into buffer, which has room for limit + 1 bytes, so
// that input over the limit is seen (and then not read further).
// 0, -E2BIG when more than limit bytes came, or -EIO.
int read_to_end(int fd, SecureBuffer *buffer, size_t limit) {
    size_t total = 0;
    for (;;) {
        ssize_t n = read_some(fd, buffer->data() + total, limit + 1 - total);
        if (n < 0)
            return -EIO;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
        if (total > limit)
            return -E2BIG;
    }
    buffer->resize(total);
    return 0;
}

bool text_is_clean(const SecureBuffer &text) {
    return std::memchr(text.data(), '\0', text.size()) == nullptr &&
           utf8_is_valid(text.data(), text.size());
}

// Removes the last character of the UTF-8 text (continuation bytes and
// their lead byte).
void erase_last_character(SecureBuffer *line) {
    size_t size = line->size();
    while (size > 0 && (line->data()[size - 1] & 0xC0) == 0x80)
        --size;
    if (size > 0)
        --size;
    line->resize(size);
}

// Reads one line with the terminal in non-canonical mode: a canonical line
// holds at most 4095 characters, fewer than the longest password. Editing
// follows the terminal's own erase and kill characters.
int read_line(int fd, const termios &settings, SecureBuffer *line, bool *overflow) {
    const auto erase = static_cast<unsigned char>(settings.c_cc[VERASE]);
    const auto kill = static_cast<unsigned char>(settings.c_cc[VKILL]);
    const auto eof = static_cast<unsigned char>(settings.c_cc[VEOF]);
    for (;;) {
        unsigned char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        // An interrupted read (Ctrl+C) or a hang-up ends the input unread.
        if (n <= 0)
            return -EIO;
        if (c == '\n' || c == '\r' || (c == eof && eof != 0))
            return 0;
        if (c == erase || c == 0x7F || c == 0x08) {
            // Once bytes were dropped the line is refused whatever is erased:
            // erasing must never turn it into a shortened password.
            erase_last_character(line);
        } else if (c == kill && kill != 0) {
            line->clear();
            *overflow = false;
        } else if (line->size() < line->capacity()) {
            line->data()[line->size()] = c;
            line->resize(line->size() + 1);
        } else {
            *overflow = true;
        }
        c = 0;
    }
}

} // namespace

int read_password_console(const char *prompt, SecureBuffer *out, ClientOutcome *err) {
    out->clear();
    // The platform open has no O_NOCTTY: opening the terminal must never
    // make it this process's controlling terminal.
    FileHandle tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int fd = tty.get();
    termios saved{};
    if (!tty.valid() || !::isatty(fd) || tcgetattr(fd, &saved) != 0)
        return client_fail(err, "credentials", kNoTerminal);
    SecureBuffer line = SecureBuffer::with_capacity(kClientPasswordLimit);
    if (!line.valid())
        return client_fail(err, "credentials", kReadFailed);
    write_full(fd, prompt);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON);
    quiet.c_cc[VMIN] = 1;
    quiet.c_cc[VTIME] = 0;
    int rc = tcsetattr(fd, TCSANOW, &quiet) == 0 ? 0 : -EIO;
    bool overflow = false;
    if (rc == 0)
        rc = read_line(fd, saved, &line, &overflow);
    tcsetattr(fd, TCSANOW, &saved);
    write_full(fd, "\n");
    tty.reset();
    if (rc == 0 && overflow) {
        line.clear();
        return client_fail(err, "credentials", kCredentialLimitMessage);
    }
    if (rc != 0 || !text_is_clean(line)) {
        line.clear();
        return client_fail(err, "credentials", kReadFailed);
    }
    *out = std::move(line);
    return 0;
}

int read_password_stdin(SecureBuffer *out, ClientOutcome *err, int fd) {
    out->clear();
    SecureBuffer text = SecureBuffer::with_capacity(kStdinPasswordLimit + 1);
    if (!text.valid())
        return client_fail(err, "credentials", kReadFailed);
    int rc = read_to_end(fd, &text, kStdinPasswordLimit);
    if (rc == -E2BIG)
        return client_fail(err, "credentials", "Credential input exceeds the limit.");
    if (rc != 0)
        return client_fail(err, "credentials", kReadFailed);
    size_t size = text.size();
    if (size > 0 && text.data()[size - 1] == '\n')
        --size;
    if (size > 0 && text.data()[size - 1] == '\r')
        --size;
    text.resize(size);
    if (!text_is_clean(text))
        return client_fail(err, "credentials", "Password input exceeds the limit or is not UTF-8.");
    *out = std::move(text);
    return 0;
}

int read_credentials_json(bool needs_password, SecureBuffer *password, SecureBuffer *new_password,
                          SecureBuffer *confirmation, ClientOutcome *err, int fd) {
    const char *message =
        needs_password ? "Expected a JSON object with password, newPassword, and confirmation "
                         "strings, up to 64 KiB."
                       : "Expected a JSON object with newPassword and confirmation strings, up "
                         "to 64 KiB.";
    password->clear();
    new_password->clear();
    confirmation->clear();
    SecureBuffer text = SecureBuffer::with_capacity(kCredentialsJsonLimit + 1);
    if (!text.valid() || read_to_end(fd, &text, kCredentialsJsonLimit) != 0)
        return client_fail(err, "credentials", message);
    JsonValue *object = json_parse(text.data(), text.size());
    text.clear();
    bool ok = object != nullptr && object->kind == JsonKind::Object &&
              json_has(object, "newPassword", JsonKind::String) &&
              json_has(object, "confirmation", JsonKind::String) &&
              (!needs_password || json_has(object, "password", JsonKind::String));
    auto copy = [&](const char *key, SecureBuffer *to) {
        size_t length = 0;
        const char *bytes = json_string_bytes(json_get(object, key), &length);
        return to->assign(bytes, length);
    };
    ok = ok && copy("newPassword", new_password) && copy("confirmation", confirmation) &&
         (!needs_password || copy("password", password));
    json_free(object); // wipes every string of the tree
    if (!ok) {
        password->clear();
        new_password->clear();
        confirmation->clear();
        return client_fail(err, "credentials", message);
    }
    return 0;
}

} // namespace tw
