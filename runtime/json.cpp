#include "runtime/json.h"

#include "platform/secure_memory.h"
#include "runtime/records.h"
#include "runtime/text.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace tw {

namespace {

bool is_container(const JsonValue *v) {
    return v->kind == JsonKind::Array || v->kind == JsonKind::Object;
}

// Wipes a node's key, string and fields, then frees it (not its children).
void release_node(JsonValue *node) {
    if (node->key != nullptr)
        wipe_and_free_text(node->key);
    if (node->string_bytes != nullptr)
        wipe_and_free(node->string_bytes, static_cast<size_t>(node->string_length) + 1);
    secure_wipe(node, sizeof *node);
    free(node);
}

void link_member(JsonValue *container, JsonValue *member) {
    member->next = nullptr;
    if (container->last_child == nullptr)
        container->first_child = member;
    else
        container->last_child->next = member;
    container->last_child = member;
    ++container->child_count;
}

// Unlinks `member` (found after `before`, or first when `before` is null).
void unlink_member(JsonValue *container, JsonValue *before, JsonValue *member) {
    if (before == nullptr)
        container->first_child = member->next;
    else
        before->next = member->next;
    if (container->last_child == member)
        container->last_child = before;
    member->next = nullptr;
    --container->child_count;
}

// Finds the first member with `key` and the member before it.
JsonValue *find_member(const JsonValue *object, const char *key, JsonValue **before) {
    if (object == nullptr || key == nullptr || object->kind != JsonKind::Object)
        return nullptr;
    JsonValue *previous = nullptr;
    for (JsonValue *m = object->first_child; m != nullptr; previous = m, m = m->next) {
        if (m->key != nullptr && strcmp(m->key, key) == 0) {
            if (before != nullptr)
                *before = previous;
            return m;
        }
    }
    return nullptr;
}

// A growable byte buffer that wipes every block it lets go of: the old block
// on each growth and the whole buffer on release.
struct WipedBuffer {
    char *data = nullptr;
    size_t length = 0;
    size_t capacity = 0;

    bool grow_to(size_t new_capacity) {
        auto *fresh = static_cast<char *>(malloc(new_capacity));
        if (fresh == nullptr)
            return false;
        if (length != 0)
            memcpy(fresh, data, length);
        wipe_and_free(data, capacity);
        data = fresh;
        capacity = new_capacity;
        return true;
    }
    void release() {
        wipe_and_free(data, capacity);
        data = nullptr;
        length = capacity = 0;
    }
};

// ---- Parser ----

// Number texts are converted in the "C" locale whatever locale the program
// set, so that "0.5" never depends on the user's decimal separator.
locale_t c_locale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

constexpr size_t kMaxNumberText = 63;

struct Parser {
    const unsigned char *p;
    const unsigned char *end;
    int depth;
};

void skip_whitespace(Parser &ps) {
    while (ps.p < ps.end && (*ps.p == ' ' || *ps.p == '\t' || *ps.p == '\n' || *ps.p == '\r'))
        ++ps.p;
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Reads four hexadecimal digits at the cursor.
bool read_hex4(Parser &ps, uint32_t &value) {
    if (ps.end - ps.p < 4)
        return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        int h = hex_digit_value(ps.p[i]);
        if (h < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(h);
    }
    ps.p += 4;
    return true;
}

void put_utf8(WipedBuffer &b, uint32_t cp) {
    char *o = b.data + b.length;
    if (cp < 0x80) {
        o[0] = static_cast<char>(cp);
        b.length += 1;
    } else if (cp < 0x800) {
        o[0] = static_cast<char>(0xC0 | (cp >> 6));
        o[1] = static_cast<char>(0x80 | (cp & 0x3F));
        b.length += 2;
    } else if (cp < 0x10000) {
        o[0] = static_cast<char>(0xE0 | (cp >> 12));
        o[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        o[2] = static_cast<char>(0x80 | (cp & 0x3F));
        b.length += 3;
    } else {
        o[0] = static_cast<char>(0xF0 | (cp >> 18));
        o[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        o[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        o[3] = static_cast<char>(0x80 | (cp & 0x3F));
        b.length += 4;
    }
}

// Decodes one escape after the backslash; the cursor stands on the letter.
bool decode_escape(Parser &ps, WipedBuffer &b) {
    if (ps.p >= ps.end)
        return false;
    unsigned char letter = *ps.p++;
    char plain;
    switch (letter) {
    case '"':
        plain = '"';
        break;
    case '\\':
        plain = '\\';
        break;
    case '/':
        plain = '/';
        break;
    case 'b':
        plain = '\b';
        break;
    case 'f':
        plain = '\f';
        break;
    case 'n':
        plain = '\n';
        break;
    case 'r':
        plain = '\r';
        break;
    case 't':
        plain = '\t';
        break;
    case 'u': {
        uint32_t unit;
        if (!read_hex4(ps, unit))
            return false;
        // A string can never hold a NUL byte; a lone low surrogate is not a
        // character.
        if (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
            return false;
        uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (ps.end - ps.p < 2 || ps.p[0] != '\\' || ps.p[1] != 'u')
                return false;
            ps.p += 2;
            uint32_t low;
            if (!read_hex4(ps, low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00);
        }
        put_utf8(b, cp);
        return true;
    }
    default:
        return false;
    }
    b.data[b.length++] = plain;
    return true;
}

// Decodes the string literal at the cursor (which stands on its opening quote)
// into a new NUL-terminated buffer.
bool parse_string(Parser &ps, char **out, uint64_t *out_length) {
    ++ps.p;
    WipedBuffer b;
    if (!b.grow_to(16))
        return false;
    for (;;) {
        if (ps.p >= ps.end)
            break;
        // Room for the longest piece (four bytes) and the terminator.
        if (b.capacity - b.length < 8 && !b.grow_to(b.capacity * 2))
            break;
        unsigned char c = *ps.p;
        if (c == '"') {
            ++ps.p;
            b.data[b.length] = '\0';
            *out = b.data;
            *out_length = b.length;
            return true;
        }
        if (c < 0x20)
            break;
        if (c == '\\') {
            ++ps.p;
            if (!decode_escape(ps, b))
                break;
        } else if (c < 0x80) {
            b.data[b.length++] = static_cast<char>(c);
            ++ps.p;
        } else {
            size_t n = utf8_sequence_length(ps.p, static_cast<size_t>(ps.end - ps.p));
            if (n == 0)
                break;
            memcpy(b.data + b.length, ps.p, n);
            b.length += n;
            ps.p += n;
        }
    }
    b.release();
    return false;
}

JsonValue *parse_number(Parser &ps) {
    const unsigned char *start = ps.p;
    if (ps.p < ps.end && *ps.p == '-')
        ++ps.p;
    if (ps.p >= ps.end)
        return nullptr;
    if (*ps.p == '0') {
        ++ps.p;
    } else if (*ps.p >= '1' && *ps.p <= '9') {
        while (ps.p < ps.end && is_digit(*ps.p))
            ++ps.p;
    } else {
        return nullptr;
    }
    bool integral = true;
    if (ps.p < ps.end && *ps.p == '.') {
        ++ps.p;
        if (ps.p >= ps.end || !is_digit(*ps.p))
            return nullptr;
        while (ps.p < ps.end && is_digit(*ps.p))
            ++ps.p;
        integral = false;
    }
    if (ps.p < ps.end && (*ps.p == 'e' || *ps.p == 'E')) {
        ++ps.p;
        if (ps.p < ps.end && (*ps.p == '+' || *ps.p == '-'))
            ++ps.p;
        if (ps.p >= ps.end || !is_digit(*ps.p))
            return nullptr;
        while (ps.p < ps.end && is_digit(*ps.p))
            ++ps.p;
        integral = false;
    }
    size_t length = static_cast<size_t>(ps.p - start);
    if (length > kMaxNumberText)
        return nullptr;
    char text[kMaxNumberText + 1];
    memcpy(text, start, length);
    text[length] = '\0';

    locale_t locale = c_locale();
    if (locale == static_cast<locale_t>(nullptr))
        return nullptr;
    // Underflow quietly gives zero or a subnormal value; overflow gives an
    // infinity, which JSON cannot carry back out, so it fails.
    double real = strtod_l(text, nullptr, locale);
    if (std::isinf(real))
        return nullptr;
    JsonValue *node = json_new(JsonKind::Number);
    if (node == nullptr)
        return nullptr;
    node->is_integer = false;
    node->int_value = 0;
    node->real_value = real;
    if (integral) {
        int64_t whole = 0;
        auto [end, error] = std::from_chars(text, text + length, whole);
        // Out of range fails; the two extremes themselves are treated like the
        // saturated results of an overflowing conversion and stay real.
        if (error == std::errc{} && end == text + length && whole != INT64_MAX &&
            whole != INT64_MIN) {
            node->is_integer = true;
            node->int_value = whole;
        }
    }
    return node;
}

bool match_word(Parser &ps, const char *word) {
    size_t n = strlen(word);
    if (static_cast<size_t>(ps.end - ps.p) < n || memcmp(ps.p, word, n) != 0)
        return false;
    ps.p += n;
    return true;
}

// Keys seen in one large object, for the duplicate check; small objects are
// searched directly. Open addressing over pointers to the members' own keys.
struct KeyIndex {
    const char **slots = nullptr;
    size_t capacity = 0;
    size_t count = 0;

    ~KeyIndex() { free(slots); }

    static uint64_t hash(const char *key) {
        uint64_t h = 1469598103934665603ull;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p; ++p)
            h = (h ^ *p) * 1099511628211ull;
        return h;
    }
    // 1 inserted, 0 already present, -1 out of memory.
    int insert(const char *key) {
        if ((count + 1) * 2 > capacity) {
            size_t bigger = capacity == 0 ? 64 : capacity * 2;
            auto *fresh = static_cast<const char **>(calloc(bigger, sizeof(const char *)));
            if (fresh == nullptr)
                return -1;
            for (size_t i = 0; i < capacity; ++i) {
                if (slots[i] == nullptr)
                    continue;
                size_t at = hash(slots[i]) & (bigger - 1);
                while (fresh[at] != nullptr)
                    at = (at + 1) & (bigger - 1);
                fresh[at] = slots[i];
            }
            free(slots);
            slots = fresh;
            capacity = bigger;
        }
        size_t at = hash(key) & (capacity - 1);
        while (slots[at] != nullptr) {
            if (strcmp(slots[at], key) == 0)
                return 0;
            at = (at + 1) & (capacity - 1);
        }
        slots[at] = key;
        ++count;
        return 1;
    }
};

constexpr uint64_t kLinearKeyCheck = 16;

// True when `key` is new in `object`; false for a duplicate or no memory.
bool key_is_new(const JsonValue *object, KeyIndex &index, const char *key) {
    if (object->child_count < kLinearKeyCheck)
        return find_member(object, key, nullptr) == nullptr;
    if (index.capacity == 0) {
        for (const JsonValue *m = object->first_child; m != nullptr; m = m->next) {
            if (index.insert(m->key) != 1)
                return false;
        }
    }
    return index.insert(key) == 1;
}

JsonValue *parse_value(Parser &ps);

JsonValue *parse_container(Parser &ps) {
    bool object = *ps.p == '{';
    unsigned char closer = object ? '}' : ']';
    if (++ps.depth > kJsonMaxDepth)
        return nullptr;
    ++ps.p;
    JsonValue *node = json_new(object ? JsonKind::Object : JsonKind::Array);
    if (node == nullptr)
        return nullptr;
    skip_whitespace(ps);
    if (ps.p < ps.end && *ps.p == closer) {
        ++ps.p;
        --ps.depth;
        return node;
    }
    KeyIndex index;
    for (;;) {
        char *key = nullptr;
        if (object) {
            uint64_t key_length;
            if (ps.p >= ps.end || *ps.p != '"' || !parse_string(ps, &key, &key_length))
                break;
            if (!key_is_new(node, index, key)) {
                wipe_and_free_text(key);
                break;
            }
            skip_whitespace(ps);
            if (ps.p >= ps.end || *ps.p != ':') {
                wipe_and_free_text(key);
                break;
            }
            ++ps.p;
        }
        JsonValue *member = parse_value(ps);
        if (member == nullptr) {
            wipe_and_free_text(key);
            break;
        }
        member->key = key;
        link_member(node, member);
        skip_whitespace(ps);
        if (ps.p >= ps.end)
            break;
        if (*ps.p == ',') {
            ++ps.p;
            skip_whitespace(ps);
            continue;
        }
        if (*ps.p == closer) {
            ++ps.p;
            --ps.depth;
            return node;
        }
        break;
    }
    json_free(node);
    return nullptr;
}

JsonValue *parse_value(Parser &ps) {
    skip_whitespace(ps);
    if (ps.p >= ps.end)
        return nullptr;
    switch (*ps.p) {
    case '"': {
        JsonValue *node = json_new(JsonKind::Null);
        if (node == nullptr)
            return nullptr;
        char *bytes;
        uint64_t length;
        if (!parse_string(ps, &bytes, &length)) {
            json_free(node);
            return nullptr;
        }
        node->kind = JsonKind::String;
        node->string_bytes = bytes;
        node->string_length = length;
        return node;
    }
    case '[':
    case '{':
        return parse_container(ps);
    case 't':
    case 'f':
    case 'n': {
        JsonKind kind;
        bool flag = false;
        if (match_word(ps, "true")) {
            kind = JsonKind::Bool;
            flag = true;
        } else if (match_word(ps, "false")) {
            kind = JsonKind::Bool;
        } else if (match_word(ps, "null")) {
            kind = JsonKind::Null;
        } else {
            return nullptr;
        }
        JsonValue *node = json_new(kind);
        if (node != nullptr)
            node->bool_value = flag;
        return node;
    }
    default:
        if (*ps.p == '-' || is_digit(*ps.p))
            return parse_number(ps);
        return nullptr;
    }
}

// ---- Writer ----

struct Writer {
    WipedBuffer out;
    bool out_of_memory = false;
    bool not_finite = false;

    bool failed() const { return out_of_memory || not_finite; }

    void put(const char *bytes, size_t n) {
        if (failed())
            return;
        // Keep room for the terminator added at the end.
        if (out.capacity - out.length < n + 1) {
            size_t needed = out.length + n + 1;
            if (needed < n || needed > SIZE_MAX / 2 || !out.grow_to(needed * 2)) {
                out_of_memory = true;
                return;
            }
        }
        memcpy(out.data + out.length, bytes, n);
        out.length += n;
    }
    void put(char c) { put(&c, 1); }
};

void write_string(Writer &w, const char *bytes, size_t length) {
    w.put('"');
    size_t plain_from = 0;
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        w.put(bytes + plain_from, i - plain_from);
        plain_from = i + 1;
        if (c == '"' || c == '\\') {
            char escaped[2] = {'\\', static_cast<char>(c)};
            w.put(escaped, 2);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            w.put(escaped, 6);
        }
    }
    w.put(bytes + plain_from, length - plain_from);
    w.put('"');
}

void write_number(Writer &w, const JsonValue *v) {
    char text[64];
    std::to_chars_result r;
    if (v->is_integer) {
        r = std::to_chars(text, text + sizeof text, static_cast<long long>(v->int_value));
    } else if (!std::isfinite(v->real_value)) {
        w.not_finite = true;
        return;
    } else if (v->real_value == 0) {
        // Negative zero as well: "-0" would read back as the integer 0 and so
        // write differently the second time.
        r = std::to_chars(text, text + sizeof text, 0);
    } else {
        // Shortest form of "%.17g", independent of the locale.
        r = std::to_chars(text, text + sizeof text, v->real_value, std::chars_format::general, 17);
    }
    w.put(text, static_cast<size_t>(r.ptr - text));
}

void write_value(Writer &w, const JsonValue *v) {
    switch (v->kind) {
    case JsonKind::Null:
        w.put("null", 4);
        break;
    case JsonKind::Bool:
        if (v->bool_value)
            w.put("true", 4);
        else
            w.put("false", 5);
        break;
    case JsonKind::Number:
        write_number(w, v);
        break;
    case JsonKind::String:
        write_string(w, v->string_bytes, static_cast<size_t>(v->string_length));
        break;
    case JsonKind::Array:
    case JsonKind::Object: {
        bool object = v->kind == JsonKind::Object;
        w.put(object ? '{' : '[');
        for (const JsonValue *m = v->first_child; m != nullptr && !w.failed(); m = m->next) {
            if (m != v->first_child)
                w.put(',');
            if (object) {
                const char *key = m->key != nullptr ? m->key : "";
                write_string(w, key, strlen(key));
                w.put(':');
            }
            write_value(w, m);
        }
        w.put(object ? '}' : ']');
        break;
    }
    default:
        w.put("null", 4);
        break;
    }
}

// Serializes; on failure returns null and sets *error to -ENOMEM or -EINVAL.
char *serialize(const JsonValue *value, size_t *length, int *error) {
    if (length != nullptr)
        *length = 0;
    if (value == nullptr) {
        *error = -EINVAL;
        return nullptr;
    }
    Writer w;
    write_value(w, value);
    if (w.failed()) {
        *error = w.out_of_memory ? -ENOMEM : -EINVAL;
        w.out.release();
        return nullptr;
    }
    w.out.data[w.out.length] = '\0';
    if (length != nullptr)
        *length = w.out.length;
    *error = 0;
    return w.out.data;
}

JsonValue *new_number(double real) {
    JsonValue *node = json_new(JsonKind::Number);
    if (node != nullptr) {
        node->is_integer = false;
        node->int_value = 0;
        node->real_value = real;
    }
    return node;
}

} // namespace

JsonValue *json_new(JsonKind kind) {
    if (static_cast<uint8_t>(kind) > static_cast<uint8_t>(JsonKind::Object))
        return nullptr;
    auto *node = static_cast<JsonValue *>(calloc(1, sizeof(JsonValue)));
    if (node == nullptr)
        return nullptr;
    node->kind = kind;
    if (kind == JsonKind::Number)
        node->is_integer = true;
    if (kind == JsonKind::String) {
        node->string_bytes = static_cast<char *>(calloc(1, 1));
        if (node->string_bytes == nullptr) {
            free(node);
            return nullptr;
        }
    }
    return node;
}

JsonValue *json_new_string_bytes(const void *bytes, size_t length) {
    if ((bytes == nullptr && length != 0) || length == SIZE_MAX)
        return nullptr;
    if (length != 0 && (memchr(bytes, 0, length) != nullptr || !utf8_is_valid(bytes, length)))
        return nullptr;
    auto *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr)
        return nullptr;
    if (length != 0)
        memcpy(copy, bytes, length);
    copy[length] = '\0';
    auto *node = static_cast<JsonValue *>(calloc(1, sizeof(JsonValue)));
    if (node == nullptr) {
        wipe_and_free(copy, length + 1);
        return nullptr;
    }
    node->kind = JsonKind::String;
    node->string_bytes = copy;
    node->string_length = length;
    return node;
}

JsonValue *json_new_string(const char *text) {
    if (text == nullptr)
        return nullptr;
    return json_new_string_bytes(text, strlen(text));
}

JsonValue *json_parse(const void *bytes, size_t length) {
    if (bytes == nullptr || length == 0)
        return nullptr;
    if (memchr(bytes, 0, length) != nullptr)
        return nullptr;
    const auto *start = static_cast<const unsigned char *>(bytes);
    Parser ps{start, start + length, 0};
    JsonValue *root = parse_value(ps);
    if (root == nullptr)
        return nullptr;
    skip_whitespace(ps);
    if (ps.p != ps.end) {
        json_free(root);
        return nullptr;
    }
    return root;
}

JsonValue *json_parse_text(const char *text) {
    if (text == nullptr)
        return nullptr;
    return json_parse(text, strlen(text));
}

char *json_serialize(const JsonValue *value, size_t *length) {
    int error;
    return serialize(value, length, &error);
}

void json_free_text(char *text) {
    wipe_and_free_text(text);
}

JsonValue *json_clone(const JsonValue *value) {
    size_t length;
    char *text = json_serialize(value, &length);
    if (text == nullptr)
        return nullptr;
    JsonValue *copy = json_parse(text, length);
    json_free_text(text);
    return copy;
}

void json_free(JsonValue *value) {
    if (value == nullptr)
        return;
    // Iterative, so that no nesting depth can exhaust the stack: the members
    // still to release form one list through their next links.
    JsonValue *pending = nullptr;
    auto take_members = [&pending](JsonValue *node) {
        if (is_container(node) && node->first_child != nullptr) {
            node->last_child->next = pending;
            pending = node->first_child;
        }
    };
    take_members(value);
    release_node(value);
    while (pending != nullptr) {
        JsonValue *node = pending;
        pending = node->next;
        take_members(node);
        release_node(node);
    }
}

JsonValue *json_get(const JsonValue *object, const char *key) {
    return find_member(object, key, nullptr);
}

const char *json_get_string(const JsonValue *object, const char *key, const char *fallback) {
    const JsonValue *m = json_get(object, key);
    return m != nullptr && m->kind == JsonKind::String ? m->string_bytes : fallback;
}

int64_t json_get_int(const JsonValue *object, const char *key, int64_t fallback) {
    const JsonValue *m = json_get(object, key);
    return m != nullptr && m->kind == JsonKind::Number && m->is_integer ? m->int_value : fallback;
}

bool json_get_bool(const JsonValue *object, const char *key, bool fallback) {
    const JsonValue *m = json_get(object, key);
    return m != nullptr && m->kind == JsonKind::Bool ? m->bool_value : fallback;
}

double json_get_double(const JsonValue *object, const char *key, double fallback) {
    const JsonValue *m = json_get(object, key);
    return m != nullptr && m->kind == JsonKind::Number ? m->real_value : fallback;
}

bool json_has(const JsonValue *object, const char *key, JsonKind kind) {
    const JsonValue *m = json_get(object, key);
    return m != nullptr && m->kind == kind;
}

int json_set(JsonValue *object, const char *key, JsonValue *value) {
    if (value == nullptr)
        return -EINVAL;
    if (object == nullptr || object->kind != JsonKind::Object || key == nullptr ||
        value == object || !utf8_is_valid(key, strlen(key))) {
        json_free(value);
        return -EINVAL;
    }
    char *copy = strdup(key);
    if (copy == nullptr) {
        json_free(value);
        return -ENOMEM;
    }
    json_remove(object, key);
    if (value->key != nullptr)
        wipe_and_free_text(value->key);
    value->key = copy;
    link_member(object, value);
    return 0;
}

int json_set_string(JsonValue *object, const char *key, const char *text) {
    if (text == nullptr)
        return -EINVAL;
    JsonValue *node = json_new_string(text);
    if (node == nullptr)
        return utf8_is_valid(text, strlen(text)) ? -ENOMEM : -EINVAL;
    return json_set(object, key, node);
}

int json_set_int(JsonValue *object, const char *key, int64_t number) {
    JsonValue *node = json_new(JsonKind::Number);
    if (node == nullptr)
        return -ENOMEM;
    node->is_integer = true;
    node->int_value = number;
    node->real_value = static_cast<double>(number);
    return json_set(object, key, node);
}

int json_set_bool(JsonValue *object, const char *key, bool flag) {
    JsonValue *node = json_new(JsonKind::Bool);
    if (node == nullptr)
        return -ENOMEM;
    node->bool_value = flag;
    return json_set(object, key, node);
}

int json_set_double(JsonValue *object, const char *key, double number) {
    // JSON has no infinity or NaN: such a member could never be written.
    if (!std::isfinite(number))
        return -EINVAL;
    JsonValue *node = new_number(number);
    if (node == nullptr)
        return -ENOMEM;
    return json_set(object, key, node);
}

int json_append(JsonValue *array, JsonValue *value) {
    if (value == nullptr)
        return -EINVAL;
    if (array == nullptr || array->kind != JsonKind::Array || value == array) {
        json_free(value);
        return -EINVAL;
    }
    if (value->key != nullptr) {
        wipe_and_free_text(value->key);
        value->key = nullptr;
    }
    link_member(array, value);
    return 0;
}

bool json_remove(JsonValue *object, const char *key) {
    JsonValue *before = nullptr;
    JsonValue *member = find_member(object, key, &before);
    if (member == nullptr)
        return false;
    unlink_member(object, before, member);
    json_free(member);
    return true;
}

JsonValue *json_detach(JsonValue *container, JsonValue *member) {
    if (container == nullptr || member == nullptr || !is_container(container))
        return nullptr;
    JsonValue *before = nullptr;
    for (JsonValue *m = container->first_child; m != nullptr; before = m, m = m->next) {
        if (m != member)
            continue;
        unlink_member(container, before, member);
        if (member->key != nullptr) {
            wipe_and_free_text(member->key);
            member->key = nullptr;
        }
        return member;
    }
    return nullptr;
}

JsonValue *json_read_file(const char *path, size_t limit) {
    char *contents;
    size_t length;
    if (read_whole_file(path, limit, &contents, &length) != 0)
        return nullptr;
    JsonValue *value = json_parse(contents, length);
    free_whole_file(contents, length);
    return value;
}

int json_write_file(const char *path, const JsonValue *value) {
    size_t length;
    int error;
    char *text = serialize(value, &length, &error);
    if (text == nullptr)
        return error;
    int rc = write_record_file(path, text, length);
    json_free_text(text);
    return rc;
}

} // namespace tw
