// JSON values, a strict parser and a compact writer.
//
// Every message, event and record of the system is JSON built and read here.
// Passwords and keys travel inside these documents, so every key, string and
// text buffer is overwritten with zeros before its memory is released.
//
// Ownership (C style, raw pointers):
// - json_new*, json_parse*, json_clone and json_read_file return a new tree
//   that the caller owns and releases with json_free.
// - A parent owns its members. Pointers returned by json_get, json_first,
//   json_next, json_get_string and json_string_bytes point into the tree and
//   stay valid until that member is removed, replaced or its tree released.
// - json_set and json_append take ownership of the value in every case: when it
//   cannot be inserted it is released. The value must be free-standing (not a
//   member of any array or object; use json_detach first).
// - json_serialize returns a malloc'd text; release it with json_free_text,
//   which wipes it.
// - Every function accepts null for a value and then does nothing or returns
//   its default.
//
// Values are not thread-safe; the library keeps no global state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

enum class JsonKind : uint8_t {
    Null = 0,
    Bool = 1,
    Number = 2,
    String = 3,
    Array = 4,
    Object = 5,
};

// Containers may be nested at most this deep in parsed text.
inline constexpr int kJsonMaxDepth = 32;

struct JsonValue {
    JsonKind kind;
    // Member name (owned, NUL-terminated UTF-8), only while the value is a
    // member of an object; null otherwise.
    char *key;
    // Next member of the same array or object, or null.
    JsonValue *next;
    // Bool.
    bool bool_value;
    // Number: set when the number is held exactly as a signed 64-bit integer in
    // int_value. real_value is set for every number.
    bool is_integer;
    int64_t int_value;
    double real_value;
    // String: owned, NUL-terminated UTF-8 bytes (never null for a string) and
    // their count without the terminator. Strings never contain NUL.
    char *string_bytes;
    uint64_t string_length;
    // Array and Object: members in insertion order.
    JsonValue *first_child;
    JsonValue *last_child;
    uint64_t child_count;
};

// ---- Building ----

// A new empty value: null, false, the integer 0, the empty string, an empty
// array or an empty object. Null when memory runs out.
JsonValue *json_new(JsonKind kind);
// A new string holding a copy of the NUL-terminated text. Null when the text is
// null, not valid UTF-8, or memory runs out (text that is not UTF-8 could not be
// written as JSON that reads back).
JsonValue *json_new_string(const char *text);
// The same for `length` bytes; null also when they contain a NUL byte.
JsonValue *json_new_string_bytes(const void *bytes, size_t length);

// ---- Parsing and writing ----

// Parses exactly one JSON text filling the whole buffer (surrounding whitespace
// allowed). Null for anything else: invalid grammar, a NUL byte anywhere,
// invalid UTF-8, nesting deeper than kJsonMaxDepth, a duplicate key, a number
// text over 63 bytes or out of range, or no memory.
JsonValue *json_parse(const void *bytes, size_t length);
JsonValue *json_parse_text(const char *text);

// Compact text of the value (no whitespace), newly allocated and
// NUL-terminated; *length (when given) receives its length. Null when memory ran
// out, or when the tree holds a number that is not finite (which JSON cannot
// express). Release the text with json_free_text.
char *json_serialize(const JsonValue *value, size_t *length = nullptr);
// Wipes and frees a text returned by json_serialize. Null is accepted.
void json_free_text(char *text);

// A deep copy (written, then parsed back), or null. The copy has no key.
JsonValue *json_clone(const JsonValue *value);

// Releases the value and everything below it, wiping keys and strings. The
// value must not be a member of an array or object (json_detach it first, or
// use json_remove).
void json_free(JsonValue *value);

// ---- Reading members ----

// The first member of an object with exactly this key (byte comparison), or
// null (also when `object` is not an object).
JsonValue *json_get(const JsonValue *object, const char *key);
// The member's bytes when it exists and is a string, else `fallback`.
const char *json_get_string(const JsonValue *object, const char *key, const char *fallback);
// The member's integer when it is a number held as an integer, else `fallback`
// (so 1e3 and 5.0 give the fallback).
int64_t json_get_int(const JsonValue *object, const char *key, int64_t fallback);
bool json_get_bool(const JsonValue *object, const char *key, bool fallback);
// The member's real value when it is a number of either form, else `fallback`.
double json_get_double(const JsonValue *object, const char *key, double fallback);
// True when a member with this key exists and has this kind.
bool json_has(const JsonValue *object, const char *key, JsonKind kind);

// Walking arrays and objects: the first member (null when empty or not a
// container), then the member after `member` (null at the end).
inline JsonValue *json_first(const JsonValue *container) {
    if (container == nullptr ||
        (container->kind != JsonKind::Array && container->kind != JsonKind::Object))
        return nullptr;
    return container->first_child;
}
inline JsonValue *json_next(const JsonValue *member) {
    return member == nullptr ? nullptr : member->next;
}
// The member name of an object member, or null.
inline const char *json_key(const JsonValue *member) {
    return member == nullptr ? nullptr : member->key;
}
// A string value's NUL-terminated bytes and (when `length` is given) their
// count; null when the value is not a string.
inline const char *json_string_bytes(const JsonValue *value, size_t *length = nullptr) {
    if (value == nullptr || value->kind != JsonKind::String)
        return nullptr;
    if (length != nullptr)
        *length = static_cast<size_t>(value->string_length);
    return value->string_bytes;
}

// ---- Changing objects and arrays ----
//
// These return 0, or -EINVAL (not an object/array, null or invalid UTF-8 key,
// non-finite double) or -ENOMEM; in every failure the object is unchanged and
// the value given to it has been released. Callers may ignore the result.

// Removes the first member with this key, then appends `value` under a copy of
// the key at the end: setting an existing key moves it to the end. A null
// value does nothing (an existing member stays).
int json_set(JsonValue *object, const char *key, JsonValue *value);
int json_set_string(JsonValue *object, const char *key, const char *text);
int json_set_int(JsonValue *object, const char *key, int64_t number);
int json_set_bool(JsonValue *object, const char *key, bool flag);
int json_set_double(JsonValue *object, const char *key, double number);
// Appends `value` at the end of the array.
int json_append(JsonValue *array, JsonValue *value);
// Removes and releases the first member with this key; true when one existed.
bool json_remove(JsonValue *object, const char *key);
// Unlinks `member` from `container` without releasing it and returns it (its
// key released, its next link cleared), or null when it is not a member there.
// The caller then owns it.
JsonValue *json_detach(JsonValue *container, JsonValue *member);

// ---- Files ----

// Reads the whole file (no symlinks, at most `limit` bytes) and parses it; null
// on any failure. The file's text is wiped after parsing.
JsonValue *json_read_file(const char *path, size_t limit);
// Serializes the value and replaces the file atomically (write_record_file).
// 0, -ENOMEM when serialization ran out of memory, -EINVAL for a null value or
// a tree with a non-finite number, or -EIO from the write.
int json_write_file(const char *path, const JsonValue *value);

} // namespace tw
