#include "engine/events.h"

#include "platform/io.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {

// Sets "version" last and writes the object as one line in one write where
// possible, so that a reader never sees a partial line from a single event.
int write_line(JsonValue *event) {
    json_set_int(event, "version", 1);
    char *text = json_serialize(event);
    json_free(event);
    if (text == nullptr)
        return -ENOMEM;
    // The line feed temporarily takes the terminator's place so the whole
    // line goes out in one write; the terminator is restored before release.
    const size_t text_length = std::strlen(text);
    text[text_length] = '\n';
    // Any failure to deliver the whole line is reported as -EIO.
    int rc = write_full(STDOUT_FILENO, text, text_length + 1) == 0 ? 0 : -EIO;
    text[text_length] = '\0';
    json_free_text(text);
    return rc;
}

JsonValue *new_event(const char *name) {
    JsonValue *event = json_new(JsonKind::Object);
    if (event != nullptr)
        json_set_string(event, "event", name);
    return event;
}

} // namespace

int event_write_result(const JsonValue *result) {
    // A result carries its members first and "event" after them; a container
    // summary places "event" itself, before the members that only some
    // operations add ("backupPath" and the import's members).
    JsonValue *event = json_new(JsonKind::Object);
    if (event == nullptr)
        return -ENOMEM;
    for (const JsonValue *m = json_first(result); m != nullptr; m = json_next(m))
        json_set(event, json_key(m), json_clone(m));
    if (!json_has(event, "event", JsonKind::String))
        json_set_string(event, "event", "result");
    return write_line(event);
}

int event_write_error(const char *code, const char *message) {
    JsonValue *event = new_event("error");
    if (event == nullptr)
        return -ENOMEM;
    json_set_string(event, "code", code);
    json_set_string(event, "message", message);
    return write_line(event);
}

int event_write_progress(const char *phase, double fraction) {
    JsonValue *event = new_event("progress");
    if (event == nullptr)
        return -ENOMEM;
    if (phase != nullptr)
        json_set_string(event, "phase", phase);
    json_set_double(event, "fraction", fraction);
    return write_line(event);
}

int exit_code_for_error(const char *code) {
    return std::strcmp(code, "credentials") == 0 ? kExitCredentials : kExitFailure;
}

} // namespace tw
