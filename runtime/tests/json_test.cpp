#include "runtime/json.h"

#include "runtime/records.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tw::JsonKind;
using tw::JsonValue;

// Owns a parsed or built tree for the length of a test.
struct Tree {
    JsonValue *v;
    explicit Tree(JsonValue *value) : v(value) {}
    ~Tree() { tw::json_free(v); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
};

JsonValue *parse(const std::string &text) {
    return tw::json_parse(text.data(), text.size());
}

// The compact text of a value, or "<none>".
std::string write(const JsonValue *v) {
    size_t length = 0;
    char *text = tw::json_serialize(v, &length);
    if (text == nullptr)
        return "<none>";
    std::string s(text, length);
    EXPECT_EQ(strlen(text), length);
    tw::json_free_text(text);
    return s;
}

std::string nested_arrays(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(int depth) {
    std::string s;
    for (int i = 1; i < depth; ++i)
        s += "{\"k\":";
    s += "{}";
    s += std::string(depth - 1, '}');
    return s;
}

struct AcceptCase {
    std::string input;
    std::string written;
};

TEST(JsonParse, AcceptsValidTextsAndWritesThemCompactly) {
    const AcceptCase cases[] = {
        {"[]", "[]"},
        {"{ }", "{}"},
        {"[ [ ] ]", "[[]]"},
        {" \t\r\n{ \"a\" : [ 1 , 2 ] , \"b\":{}}\r\n\t ", "{\"a\":[1,2],\"b\":{}}"},
        {"true", "true"},
        {"false", "false"},
        {"null", "null"},
        {"[true,false,null]", "[true,false,null]"},
        {"0", "0"},
        {"-0", "0"},
        {"10", "10"},
        {"10.0", "10"},
        {"1e1", "10"},
        {"1E+2", "100"},
        {"2.5e-1", "0.25"},
        {"0.5", "0.5"},
        {"0.1", "0.10000000000000001"},
        {"-12.75", "-12.75"},
        {"1e-400", "0"},
        {"-0.0", "0"},
        {"9223372036854775806", "9223372036854775806"},
        {"9223372036854775807", "9.2233720368547758e+18"},
        {"-9223372036854775807", "-9223372036854775807"},
        {"-9223372036854775808", "-9.2233720368547758e+18"},
        {"123456789012345678901234567890", "1.2345678901234568e+29"},
        // 63 bytes of number text is the most accepted.
        {"1." + std::string(61, '0'), "1"},
        {"\"\"", "\"\""},
        {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
        {"\"\\uD83D\\uDE00\"", "\"\xF0\x9F\x98\x80\""},
        {"\"\\u00e9\\u00C9\"", "\"\xC3\xA9\xC3\x89\""},
        {"\"\\u20ac\"", "\"\xE2\x82\xAC\""},
        {"\"\\ufffd\"", "\"\xEF\xBF\xBD\""},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\\"\\\\/\\u0008\\u000c\\u000a\\u000d\\u0009\""},
        {"\"\\u001f\\u0001\"", "\"\\u001f\\u0001\""},
        {"\"\x7f\"", "\"\x7f\""},
        {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF\"",
         "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF\""},
        {"{\"A\":1,\"a\":2}", "{\"A\":1,\"a\":2}"},
        {"{\"\":\"\"}", "{\"\":\"\"}"},
        {nested_arrays(32), nested_arrays(32)},
        {nested_objects(32), nested_objects(32)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        Tree t(parse(c.input));
        ASSERT_NE(nullptr, t.v);
        EXPECT_EQ(c.written, write(t.v));
    }
}

TEST(JsonParse, RejectsEverythingOutsideTheStrictGrammar) {
    const std::string cases[] = {
        "",
        " ",
        "[1,]",
        "{\"a\":1,}",
        "[,]",
        "{,}",
        "[1,,2]",
        "[1 2]",
        "{\"a\" 1}",
        "{\"a\":}",
        "{1:2}",
        "{'a':1}",
        "{\"a\":1,\"a\":2}",
        "{\"a\":{\"b\":1,\"b\":1}}",
        "[",
        "]",
        "{\"a\":1",
        "[1]]",
        "01",
        "-01",
        "00",
        "1.",
        ".5",
        "-",
        "+1",
        "1e",
        "1e+",
        "1.e5",
        "0x10",
        "1e400",
        "-1e400",
        "NaN",
        "Infinity",
        "-Infinity",
        // 64 bytes of number text.
        "1." + std::string(62, '0'),
        "-" + std::string(63, '1'),
        "tru",
        "True",
        "nul",
        "truex",
        "[true false]",
        "\xEF\xBB\xBF{}",
        "[] x",
        "[][]",
        "\f[]",
        "\v[]",
        "\xC2\xA0[]",
        std::string("[]\0", 3),
        std::string("\0[]", 3),
        std::string("\"a\0b\"", 5),
        "\"\\u0000\"",
        "\"\\ud83d\"",
        "\"\\ude00\"",
        "\"\\ud83d\\ud83d\"",
        "\"\\ud83d\\u0041\"",
        "\"\\ud83dx\"",
        "\"\\ud83d\\\"",
        "\"\\ude00\\ud83d\"",
        "\"\\u12\"",
        "\"\\u12G4\"",
        "\"\\U0041\"",
        "\"\\x41\"",
        "\"\\a\"",
        "\"\\'\"",
        "\"\\",
        "\"abc",
        "'a'",
        "\"\t\"",
        "\"\n\"",
        "\"\x1f\"",
        "\"\xC0\x80\"",
        "\"\xC1\xBF\"",
        "\"\xED\xA0\x80\"",
        "\"\xED\xBF\xBF\"",
        "\"\xF4\x90\x80\x80\"",
        "\"\xF5\x80\x80\x80\"",
        "\"\xFF\"",
        "\"\x80\"",
        "\"\xBF\"",
        "\"\xC3\"",
        "\"\xC3\x28\"",
        "\"\xE2\x82\"",
        "\"\xE0\x9F\xBF\"",
        "\"\xF0\x8F\xBF\xBF\"",
        "\"\xF0\x9F\x98\"",
        "\"\xE2\x82\xAC",
        nested_arrays(33),
        nested_objects(33),
        "[" + nested_objects(32) + "]",
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c));
        JsonValue *v = parse(c);
        EXPECT_EQ(nullptr, v);
        tw::json_free(v);
    }
}

TEST(JsonParse, NulTerminatedTextAndNullArguments) {
    Tree t(tw::json_parse_text("{\"a\":[1]}"));
    ASSERT_NE(nullptr, t.v);
    EXPECT_EQ(JsonKind::Object, t.v->kind);
    EXPECT_EQ(nullptr, tw::json_parse_text(nullptr));
    EXPECT_EQ(nullptr, tw::json_parse(nullptr, 4));
    // Only the given length counts: a valid prefix of a longer buffer parses.
    EXPECT_EQ(nullptr, tw::json_parse("[1]x", 4));
    Tree prefix(tw::json_parse("[1]x", 3));
    EXPECT_NE(nullptr, prefix.v);
}

TEST(JsonParse, DuplicateKeysAreFoundInLargeObjects) {
    // Beyond a handful of members the duplicate check switches to an index;
    // a duplicate must be caught wherever it lies.
    std::string body;
    for (int i = 0; i < 2000; ++i)
        body += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    Tree ok(parse("{" + body + "}"));
    ASSERT_NE(nullptr, ok.v);
    EXPECT_EQ(2000u, ok.v->child_count);
    EXPECT_EQ(1999, tw::json_get_int(ok.v, "k1999", -1));
    for (const char *dup : {"k0", "k15", "k16", "k17", "k1000", "k1999"}) {
        SCOPED_TRACE(dup);
        JsonValue *v = parse("{" + body + ",\"" + dup + "\":true}");
        EXPECT_EQ(nullptr, v);
        tw::json_free(v);
    }
    // Keys differing only in case are different keys.
    Tree cased(parse("{" + body + ",\"K0\":true}"));
    EXPECT_NE(nullptr, cased.v);
}

TEST(JsonParse, IntegerAndRealForms) {
    struct Case {
        const char *text;
        bool is_integer;
        int64_t integer;
        double real;
    };
    const Case cases[] = {
        {"10", true, 10, 10.0},
        {"-0", true, 0, 0.0},
        {"10.0", false, 0, 10.0},
        {"1e1", false, 0, 10.0},
        {"-9223372036854775807", true, -9223372036854775807LL, -9223372036854775807.0},
        {"9223372036854775807", false, 0, 9223372036854775807.0},
        {"-9223372036854775808", false, 0, -9223372036854775807.0 - 1},
        {"99999999999999999999", false, 0, 1e20},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Tree t(tw::json_parse_text(c.text));
        ASSERT_NE(nullptr, t.v);
        EXPECT_EQ(JsonKind::Number, t.v->kind);
        EXPECT_EQ(c.is_integer, t.v->is_integer);
        if (c.is_integer) {
            EXPECT_EQ(c.integer, t.v->int_value);
        }
        EXPECT_EQ(c.real, t.v->real_value);
    }
}

TEST(JsonParse, NumbersIgnoreTheProgramLocale) {
    // A program that adopts a locale with a decimal comma (the GUI does) must
    // still read and write "0.5". Build such a locale privately when the
    // machine has none installed.
    char tmpl[] = "/tmp/tw-json-locale-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string dir = tmpl;
    std::string command = "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0)
        setenv("LOCPATH", dir.c_str(), 1);
    std::string saved = setlocale(LC_NUMERIC, nullptr);
    const char *set = setlocale(LC_NUMERIC, "de_DE.UTF-8");
    std::string text = "<not run>";
    if (set != nullptr) {
        Tree t(tw::json_parse_text("[0.5,1e-1,-2.25]"));
        text = t.v ? write(t.v) : "<none>";
        setlocale(LC_NUMERIC, saved.c_str());
    }
    unsetenv("LOCPATH");
    std::system(("rm -rf '" + dir + "'").c_str());
    if (set == nullptr)
        GTEST_SKIP() << "no locale with a decimal comma available";
    EXPECT_EQ("[0.5,0.10000000000000001,-2.25]", text);
}

TEST(JsonWrite, EscapesControlBytesQuoteAndBackslashOnly) {
    Tree s(tw::json_new_string("\n\"/"));
    ASSERT_NE(nullptr, s.v);
    std::string text = write(s.v);
    EXPECT_EQ("\"\\u000a\\\"/\"", text);
    EXPECT_EQ(11u, text.size());

    Tree o(tw::json_new(JsonKind::Object));
    tw::json_set_string(o.v, "\xC3\xA9\t\\", "\xC3\xA9\x01\x7f");
    EXPECT_EQ("{\"\xC3\xA9\\u0009\\\\\":\"\xC3\xA9\\u0001\x7f\"}", write(o.v));
}

TEST(JsonWrite, EmptyValuesOfEveryKind) {
    const std::pair<JsonKind, const char *> cases[] = {
        {JsonKind::Null, "null"},   {JsonKind::Bool, "false"}, {JsonKind::Number, "0"},
        {JsonKind::String, "\"\""}, {JsonKind::Array, "[]"},   {JsonKind::Object, "{}"},
    };
    for (const auto &[kind, text] : cases) {
        Tree t(tw::json_new(kind));
        ASSERT_NE(nullptr, t.v);
        EXPECT_EQ(text, write(t.v));
    }
    EXPECT_EQ(nullptr, tw::json_new(static_cast<JsonKind>(6)));
    EXPECT_EQ(nullptr, tw::json_serialize(nullptr));
}

TEST(JsonWrite, LongAndHeavilyEscapedStringsRoundTrip) {
    // Grows both the parser's string buffer and the writer's output many times.
    std::string raw;
    for (int i = 0; i < 50000; ++i)
        raw += static_cast<char>(i % 31 + 1) + std::string("\xE2\x82\xAC\"\\x");
    Tree s(tw::json_new_string(raw.c_str()));
    ASSERT_NE(nullptr, s.v);
    std::string text = write(s.v);
    Tree back(parse(text));
    ASSERT_NE(nullptr, back.v);
    size_t length = 0;
    const char *bytes = tw::json_string_bytes(back.v, &length);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(raw, std::string(bytes, length));
    EXPECT_EQ(text, write(back.v));
}

TEST(JsonWrite, NonFiniteNumbersAreNeverWritten) {
    Tree o(tw::json_new(JsonKind::Object));
    EXPECT_EQ(-EINVAL, tw::json_set_double(o.v, "x", INFINITY));
    EXPECT_EQ(-EINVAL, tw::json_set_double(o.v, "x", NAN));
    EXPECT_EQ(0u, o.v->child_count);
    // A node changed by hand: the writer refuses rather than emit "inf".
    JsonValue *n = tw::json_new(JsonKind::Number);
    n->is_integer = false;
    n->real_value = -INFINITY;
    tw::json_set(o.v, "x", n);
    EXPECT_EQ(nullptr, tw::json_serialize(o.v));
    EXPECT_EQ(nullptr, tw::json_clone(o.v));
}

TEST(JsonRoundTrip, ParseWriteParseIsStable) {
    const char *texts[] = {
        "{\"version\":1,\"event\":\"progress\",\"done\":0.25,\"items\":[1,-2,3.5,\"x\",null,"
        "true,{\"a\":{\"b\":[[]]}}],\"big\":1e300,\"tiny\":5e-324,\"neg\":-1.5e-7}",
        "[\"\\u0000x\"]",
        "[\"\\u0001\\u001F\\u007f\\u0080\\u07ff\\u0800\\uffff\\udbff\\udfff\"]",
        "[123456789012,-123456789012,1.7976931348623157e308,2.2250738585072014e-308]",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        Tree first(tw::json_parse_text(text));
        if (strstr(text, "\\u0000")) {
            EXPECT_EQ(nullptr, first.v);
            continue;
        }
        ASSERT_NE(nullptr, first.v);
        std::string once = write(first.v);
        Tree second(parse(once));
        ASSERT_NE(nullptr, second.v);
        EXPECT_EQ(once, write(second.v));
        Tree copy(tw::json_clone(first.v));
        ASSERT_NE(nullptr, copy.v);
        EXPECT_EQ(once, write(copy.v));
        EXPECT_EQ(nullptr, copy.v->key);
    }
}

// A fixture document with one member of every kind.
class JsonObject : public ::testing::Test {
  protected:
    void SetUp() override {
        doc = tw::json_parse_text("{\"s\":\"text\",\"i\":42,\"e\":1e3,\"f\":5.0,\"r\":0.5,"
                                  "\"t\":true,\"n\":null,\"a\":[1,2],\"o\":{\"x\":1}}");
        ASSERT_NE(nullptr, doc);
    }
    void TearDown() override { tw::json_free(doc); }
    JsonValue *doc = nullptr;
};

TEST_F(JsonObject, GettersReturnDefaultsForMissingOrOtherKinds) {
    EXPECT_STREQ("text", tw::json_get_string(doc, "s", "d"));
    EXPECT_STREQ("d", tw::json_get_string(doc, "i", "d"));
    EXPECT_STREQ("d", tw::json_get_string(doc, "missing", "d"));
    EXPECT_STREQ("d", tw::json_get_string(doc, "S", "d"));
    EXPECT_EQ(nullptr, tw::json_get_string(doc, "n", nullptr));

    EXPECT_EQ(42, tw::json_get_int(doc, "i", -1));
    EXPECT_EQ(-1, tw::json_get_int(doc, "e", -1));
    EXPECT_EQ(-1, tw::json_get_int(doc, "f", -1));
    EXPECT_EQ(-1, tw::json_get_int(doc, "s", -1));
    EXPECT_EQ(-1, tw::json_get_int(doc, "t", -1));

    EXPECT_EQ(1000.0, tw::json_get_double(doc, "e", -1));
    EXPECT_EQ(5.0, tw::json_get_double(doc, "f", -1));
    EXPECT_EQ(42.0, tw::json_get_double(doc, "i", -1));
    EXPECT_EQ(0.5, tw::json_get_double(doc, "r", -1));
    EXPECT_EQ(-1.0, tw::json_get_double(doc, "s", -1));

    EXPECT_TRUE(tw::json_get_bool(doc, "t", false));
    EXPECT_FALSE(tw::json_get_bool(doc, "i", false));
    EXPECT_TRUE(tw::json_get_bool(doc, "n", true));

    EXPECT_TRUE(tw::json_has(doc, "n", JsonKind::Null));
    EXPECT_TRUE(tw::json_has(doc, "a", JsonKind::Array));
    EXPECT_FALSE(tw::json_has(doc, "a", JsonKind::Object));
    EXPECT_FALSE(tw::json_has(doc, "missing", JsonKind::Null));

    // Not an object, or no value at all.
    JsonValue *array = tw::json_get(doc, "a");
    EXPECT_EQ(nullptr, tw::json_get(array, "0"));
    EXPECT_EQ(7, tw::json_get_int(array, "0", 7));
    EXPECT_EQ(7, tw::json_get_int(nullptr, "i", 7));
    EXPECT_STREQ("d", tw::json_get_string(nullptr, "s", "d"));
    EXPECT_EQ(nullptr, tw::json_get(doc, nullptr));
    EXPECT_FALSE(tw::json_has(nullptr, "s", JsonKind::String));
}

TEST_F(JsonObject, SetMovesTheMemberToTheEnd) {
    EXPECT_EQ(0, tw::json_set_int(doc, "s", 7));
    EXPECT_EQ(9u, doc->child_count);
    EXPECT_EQ(0, tw::json_set_string(doc, "i", "now text"));
    EXPECT_EQ(0, tw::json_set_bool(doc, "new", false));
    EXPECT_EQ(0, tw::json_set_double(doc, "e", 0.25));
    EXPECT_EQ(11u - 1, doc->child_count);
    EXPECT_EQ("{\"f\":5,\"r\":0.5,\"t\":true,\"n\":null,\"a\":[1,2],\"o\":{\"x\":1},"
              "\"s\":7,\"i\":\"now text\",\"new\":false,\"e\":0.25}",
              write(doc));
    EXPECT_EQ(7.0, tw::json_get_double(doc, "s", 0));
    EXPECT_STREQ("e", doc->last_child->key);
}

TEST_F(JsonObject, RemoveKeepsListAndCountConsistent) {
    EXPECT_TRUE(tw::json_remove(doc, "s"));  // first
    EXPECT_TRUE(tw::json_remove(doc, "n"));  // middle
    EXPECT_TRUE(tw::json_remove(doc, "o"));  // last
    EXPECT_FALSE(tw::json_remove(doc, "o")); // gone
    EXPECT_FALSE(tw::json_remove(nullptr, "o"));
    EXPECT_EQ(6u, doc->child_count);
    // The last-member link must have moved back, or this append would be lost.
    tw::json_set_int(doc, "z", 1);
    EXPECT_EQ("{\"i\":42,\"e\":1000,\"f\":5,\"r\":0.5,\"t\":true,\"a\":[1,2],\"z\":1}", write(doc));
    for (const char *k : {"i", "e", "f", "r", "t", "a", "z"})
        EXPECT_TRUE(tw::json_remove(doc, k));
    EXPECT_EQ(0u, doc->child_count);
    EXPECT_EQ(nullptr, doc->first_child);
    EXPECT_EQ(nullptr, doc->last_child);
    tw::json_set_int(doc, "only", 1);
    EXPECT_EQ("{\"only\":1}", write(doc));
}

TEST_F(JsonObject, FailedInsertionsLeaveTheTreeUnchanged) {
    std::string before = write(doc);
    JsonValue *array = tw::json_get(doc, "a");
    // Each refused value is released by the call (the leak checker sees it).
    EXPECT_EQ(-EINVAL, tw::json_set(array, "k", tw::json_new(JsonKind::Null)));
    EXPECT_EQ(-EINVAL, tw::json_set(doc, nullptr, tw::json_new(JsonKind::Null)));
    EXPECT_EQ(-EINVAL, tw::json_set(doc, "\xC3", tw::json_new(JsonKind::Null)));
    EXPECT_EQ(-EINVAL, tw::json_set(nullptr, "k", tw::json_new(JsonKind::Null)));
    EXPECT_EQ(-EINVAL, tw::json_set(doc, "s", nullptr));
    EXPECT_EQ(-EINVAL, tw::json_set_string(doc, "s", "\xFF"));
    EXPECT_EQ(-EINVAL, tw::json_set_string(doc, "s", nullptr));
    EXPECT_EQ(-EINVAL, tw::json_append(doc, tw::json_new(JsonKind::Null)));
    EXPECT_EQ(-EINVAL, tw::json_append(nullptr, tw::json_new(JsonKind::Null)));
    EXPECT_EQ(before, write(doc));
}

TEST_F(JsonObject, WalkMembersAndDetach) {
    std::string keys;
    for (JsonValue *m = tw::json_first(doc); m != nullptr; m = tw::json_next(m))
        keys += tw::json_key(m);
    EXPECT_EQ("siefrtnao", keys);
    size_t length = 0;
    EXPECT_STREQ("text", tw::json_string_bytes(tw::json_get(doc, "s"), &length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(nullptr, tw::json_string_bytes(tw::json_get(doc, "i")));
    EXPECT_EQ(nullptr, tw::json_first(tw::json_get(doc, "s")));

    JsonValue *array = tw::json_get(doc, "a");
    JsonValue *moved = tw::json_detach(doc, array);
    ASSERT_EQ(array, moved);
    EXPECT_EQ(nullptr, moved->key);
    EXPECT_EQ(nullptr, moved->next);
    EXPECT_EQ(nullptr, tw::json_detach(doc, moved));
    EXPECT_EQ(0, tw::json_append(moved, tw::json_new_string("x")));
    EXPECT_EQ(0, tw::json_set(tw::json_get(doc, "o"), "list", moved));
    EXPECT_EQ("{\"s\":\"text\",\"i\":42,\"e\":1000,\"f\":5,\"r\":0.5,\"t\":true,\"n\":null,"
              "\"o\":{\"x\":1,\"list\":[1,2,\"x\"]}}",
              write(doc));
}

TEST(JsonBuild, StringsAreCheckedAndIntegersKeepTheirReal) {
    EXPECT_EQ(nullptr, tw::json_new_string(nullptr));
    EXPECT_EQ(nullptr, tw::json_new_string("\xED\xA0\x80"));
    EXPECT_EQ(nullptr, tw::json_new_string_bytes("a\0b", 3));
    Tree bytes(tw::json_new_string_bytes("abc", 2));
    EXPECT_EQ("\"ab\"", write(bytes.v));

    Tree o(tw::json_new(JsonKind::Object));
    tw::json_set_int(o.v, "max", INT64_MAX);
    tw::json_set_int(o.v, "neg", -5);
    JsonValue *neg = tw::json_get(o.v, "neg");
    ASSERT_NE(nullptr, neg);
    EXPECT_TRUE(neg->is_integer);
    EXPECT_EQ(-5.0, neg->real_value);
    EXPECT_EQ(INT64_MAX, tw::json_get_int(o.v, "max", 0));
    EXPECT_EQ("{\"max\":9223372036854775807,\"neg\":-5}", write(o.v));

    Tree a(tw::json_new(JsonKind::Array));
    for (int i = 0; i < 3; ++i)
        tw::json_append(a.v, tw::json_new(JsonKind::Null));
    EXPECT_EQ(3u, a.v->child_count);
    EXPECT_EQ("[null,null,null]", write(a.v));
}

TEST(JsonBuild, DeepTreesAreReleasedWithoutRecursion) {
    // Far deeper than any parsed text may be; releasing must not use the stack
    // per level.
    JsonValue *root = tw::json_new(JsonKind::Array);
    JsonValue *at = root;
    for (int i = 0; i < 200000; ++i) {
        JsonValue *inner = tw::json_new(JsonKind::Array);
        tw::json_append(at, tw::json_new_string("secret"));
        tw::json_append(at, inner);
        at = inner;
    }
    tw::json_free(root);
}

// A private temporary folder for file tests.
class JsonFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tw-json-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string dir;
};

TEST_F(JsonFiles, WriteThenReadBackWithLimits) {
    std::string path = dir + "/session.json";
    Tree o(tw::json_parse_text("{\"version\":1,\"password\":\"p\\u00e9\"}"));
    ASSERT_EQ(0, tw::json_write_file(path.c_str(), o.v));
    Tree back(tw::json_read_file(path.c_str(), tw::kRecordLimit));
    ASSERT_NE(nullptr, back.v);
    EXPECT_EQ(write(o.v), write(back.v));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    size_t size = write(o.v).size();
    EXPECT_NE(nullptr, Tree(tw::json_read_file(path.c_str(), size)).v);
    EXPECT_EQ(nullptr, tw::json_read_file(path.c_str(), size - 1));
    EXPECT_EQ(nullptr, tw::json_read_file((dir + "/missing.json").c_str(), 65536));
    EXPECT_EQ(nullptr, tw::json_read_file(dir.c_str(), 65536));

    // A file that is not one JSON text.
    ASSERT_EQ(0, tw::write_record_file(path.c_str(), "{} {}", 5));
    EXPECT_EQ(nullptr, tw::json_read_file(path.c_str(), 65536));

    EXPECT_EQ(-EINVAL, tw::json_write_file(path.c_str(), nullptr));
    EXPECT_EQ(-EIO, tw::json_write_file((dir + "/no/such/folder.json").c_str(), o.v));
}

} // namespace
