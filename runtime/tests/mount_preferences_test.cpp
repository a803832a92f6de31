#include "runtime/mount_preferences.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Case {
    const char *preferences; // JSON text, or null for absent
    const char *code;        // expected code, or "" when accepted
};

TEST(MountPreferences, RulesAsATable) {
    const std::string label101(101, 'a');
    const std::string label100(100, 'a');
    const std::string long_label = "{\"volumeLabel\":\"" + label101 + "\"}";
    const std::string max_label = "{\"volumeLabel\":\"" + label100 + "\"}";
    const Case cases[] = {
        {nullptr, ""},
        {"{}", ""},
        {"[]", "protocol"},
        {"\"x\"", "protocol"},
        {"{\"readOnly\":false,\"mountOnLogin\":true}", "writeLogin"},
        {"{\"readOnly\":true,\"mountOnLogin\":true}", ""},
        {"{\"mountOnLogin\":true}", ""},
        {"{\"idleSeconds\":null}", ""},
        {"{\"idleSeconds\":1}", ""},
        {"{\"idleSeconds\":31536000}", ""},
        {"{\"idleSeconds\":31536001}", "idle"},
        {"{\"idleSeconds\":0}", "idle"},
        {"{\"idleSeconds\":-5}", "idle"},
        {"{\"idleSeconds\":1.5}", "idle"},
        {"{\"idleSeconds\":\"60\"}", "idle"},
        {long_label.c_str(), "label"},
        {max_label.c_str(), ""},
        {"{\"volumeLabel\":\" Photos\"}", "label"},
        {"{\"volumeLabel\":\".hidden\"}", "label"},
        {"{\"volumeLabel\":\"Photos \"}", "label"},
        {"{\"volumeLabel\":\"a:b\"}", "label"},
        {"{\"volumeLabel\":\"a/b\"}", "label"},
        {"{\"volumeLabel\":\"a\\\\b\"}", "label"},
        {"{\"volumeLabel\":\"a\\tb\"}", "label"},
        {"{\"volumeLabel\":\"a\\u007fb\"}", "label"},
        {"{\"volumeLabel\":\"\"}", "label"},
        {"{\"volumeLabel\":\"Fotos 2026 \\u00e9t\\u00e9\"}", ""},
        // A label that is not a text counts as absent.
        {"{\"volumeLabel\":7}", ""},
    };
    for (const Case &c : cases) {
        tw::JsonValue *value = c.preferences ? tw::json_parse_text(c.preferences) : nullptr;
        if (c.preferences) {
            ASSERT_NE(nullptr, value) << c.preferences;
        }
        std::string code, message;
        int rc = tw::mount_preferences_check(value, &code, &message);
        const char *shown = c.preferences ? c.preferences : "(absent)";
        if (*c.code == '\0') {
            EXPECT_EQ(0, rc) << shown << ": " << message;
        } else {
            EXPECT_NE(0, rc) << shown;
            EXPECT_EQ(c.code, code) << shown;
            EXPECT_FALSE(message.empty()) << shown;
        }
        tw::json_free(value);
    }
}

} // namespace
