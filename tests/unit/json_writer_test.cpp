// The streaming JSON writer: strings (escapes, control characters, UTF-8 of
// wide texts), numbers, the two-space layout, and that what it writes is what
// nlohmann's dump(2) writes for the same document, so the files it replaced
// nlohmann for keep every byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "util/json_writer.h"
#include "util/text.h"

namespace vq4 {
namespace {

// A wide text from UTF-16 units (or any values), one wchar_t each.
std::wstring units(std::initializer_list<std::uint32_t> values) {
    std::wstring text;
    for (const std::uint32_t value : values) text += static_cast<wchar_t>(value);
    return text;
}

std::string string_json(const std::wstring& text) {
    JsonWriter out;
    out.value(text);
    return out.take();
}

TEST(JsonWriter, WideStrings) {
    struct Case {
        std::wstring text;
        std::string json;
    };
    const Case cases[] = {
        {L"", R"("")"},
        {L"plain text / slash", R"("plain text / slash")"},
        {L"say \"hi\" C:\\Temp", R"("say \"hi\" C:\\Temp")"},
        {L"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {units({0x00, 0x01, 0x0B, 0x1F}), R"("\u0000\u0001\u000b\u001f")"},  // lower-case hex
        {units({0x20, 0x7E, 0x7F}), "\" ~\x7F\""},                             // DEL is no control character here
        {units({'c', 'a', 'f', 0xE9}), "\"caf\xC3\xA9\""},
        {units({0x20AC, 0x97F3}), "\"\xE2\x82\xAC\xE9\x9F\xB3\""},
        {units({0xD83C, 0xDFA7}), "\"\xF0\x9F\x8E\xA7\""},                     // a pair: one character, U+1F3A7
        {units({'a', 0xD83C, 'b'}), "\"a\xEF\xBF\xBD" "b\""},                   // a high surrogate alone
        {units({0xDFA7, 0xD83C}), "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},              // halves in the wrong order
        {units({'x', 0xDBFF}), "\"x\xEF\xBF\xBD\""},                            // a high surrogate at the end
        {units({0xDC00, '"'}), "\"\xEF\xBF\xBD\\\"\""},                          // a low one alone, then a quote
        {units({0xFFFF, '\n', 0xE9}), "\"\xEF\xBF\xBF\\n\xC3\xA9\""},
    };
    for (const Case& c : cases) EXPECT_EQ(string_json(c.text), c.json) << c.json;
}

TEST(JsonWriter, Utf32CharactersBeyondTheBasicPlane) {
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(string_json(units({0x1F3A7})), "\"\xF0\x9F\x8E\xA7\"");
        EXPECT_EQ(string_json(units({0x10FFFF})), "\"\xF4\x8F\xBF\xBF\"");
        EXPECT_EQ(string_json(units({0x110000})), "\"\xEF\xBF\xBD\"");  // no character at all
    } else {
        GTEST_SKIP() << "wchar_t holds UTF-16 units here";
    }
}

TEST(JsonWriter, NarrowStringsEscapeAndKeepUtf8) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"REG_SZ", R"("REG_SZ")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {std::string("x\0y\x1F\t", 5), R"("x\u0000y\u001f\t")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
    };
    for (const Case& c : cases) {
        JsonWriter out;
        out.value(c.text);
        EXPECT_EQ(out.text(), c.json) << c.json;
    }
}

TEST(JsonWriter, NumbersBoolsAndNull) {
    struct Case {
        void (*write)(JsonWriter&);
        std::string json;
    };
    const Case cases[] = {
        {[](JsonWriter& out) { out.value(0); }, "0"},
        {[](JsonWriter& out) { out.value(std::int32_t{-5}); }, "-5"},
        {[](JsonWriter& out) { out.value(std::numeric_limits<std::int64_t>::min()); }, "-9223372036854775808"},
        {[](JsonWriter& out) { out.value(std::numeric_limits<std::uint64_t>::max()); }, "18446744073709551615"},
        {[](JsonWriter& out) { out.value(std::uint32_t{0xFFFFFFFF}); }, "4294967295"},
        {[](JsonWriter& out) { out.value(std::uint16_t{0x2A7D}); }, "10877"},
        {[](JsonWriter& out) { out.value(true); }, "true"},
        {[](JsonWriter& out) { out.value(false); }, "false"},
        {[](JsonWriter& out) { out.value(nullptr); }, "null"},
    };
    for (const Case& c : cases) {
        JsonWriter out;
        c.write(out);
        EXPECT_EQ(out.text(), c.json);
    }
}

TEST(JsonWriter, LayoutOfContainers) {
    struct Case {
        void (*write)(JsonWriter&);
        std::string json;
    };
    const Case cases[] = {
        {[](JsonWriter& out) {
             out.begin_object();
             out.end_object();
         },
         "{}"},
        {[](JsonWriter& out) {
             out.begin_array();
             out.end_array();
         },
         "[]"},
        {[](JsonWriter& out) {
             out.begin_array();
             out.value(1);
             out.value("two");
             out.end_array();
         },
         "[\n  1,\n  \"two\"\n]"},
        {[](JsonWriter& out) {
             out.begin_object();
             out.member("a", 1);
             out.key("empty list");
             out.begin_array();
             out.end_array();
             out.key("empty object");
             out.begin_object();
             out.end_object();
             out.member("z", nullptr);
             out.end_object();
         },
         "{\n  \"a\": 1,\n  \"empty list\": [],\n  \"empty object\": {},\n  \"z\": null\n}"},
        {[](JsonWriter& out) {
             out.begin_array();
             out.begin_array();
             out.value(true);
             out.begin_object();
             out.member("k", L"v");
             out.end_object();
             out.end_array();
             out.begin_object();
             out.end_object();
             out.end_array();
         },
         "[\n  [\n    true,\n    {\n      \"k\": \"v\"\n    }\n  ],\n  {}\n]"},
        {[](JsonWriter& out) {
             out.begin_object();
             out.key(units({'%', 0xE9, '"', '%'}));
             out.value(L"x");
             out.end_object();
         },
         "{\n  \"%\xC3\xA9\\\"%\": \"x\"\n}"},
    };
    for (const Case& c : cases) {
        JsonWriter out;
        c.write(out);
        EXPECT_EQ(out.text(), c.json);
    }
}

// One document with every kind of value, nested, written by both: the files
// that nlohmann wrote before keep every byte.
TEST(JsonWriter, SameBytesAsNlohmannDump2) {
    using json = nlohmann::ordered_json;
    const std::wstring texts[] = {
        L"",
        L"plain",
        L"quote \" backslash \\ slash /",
        units({0x00, 0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x1B, 0x1F, 0x7F}),
        units({0xE9, 0x20AC, 0xD83C, 0xDFA7, 0xFFFD}),
    };
    JsonWriter out;
    json document = json::object();
    out.begin_object();
    out.key("texts");
    out.begin_array();
    json list = json::array();
    for (const std::wstring& text : texts) {
        out.value(text);
        list.push_back(utf8_text(text));
    }
    out.end_array();
    document["texts"] = list;
    out.key("numbers");
    out.begin_object();
    out.member("negative", std::int32_t{-2147483647 - 1});
    out.member("unsigned", std::uint32_t{4294967295u});
    out.member("zero", 0);
    out.end_object();
    document["numbers"] = {{"negative", std::int32_t{-2147483647 - 1}}, {"unsigned", std::uint32_t{4294967295u}}, {"zero", 0}};
    out.key("empty");
    out.begin_object();
    out.key("object");
    out.begin_object();
    out.end_object();
    out.key("array");
    out.begin_array();
    out.end_array();
    out.end_object();
    document["empty"] = {{"object", json::object()}, {"array", json::array()}};
    out.key("nested");
    out.begin_array();
    out.begin_array();
    out.value(nullptr);
    out.value(false);
    out.end_array();
    out.begin_object();
    out.member("deep", true);
    out.end_object();
    out.end_array();
    document["nested"] = json::array({json::array({nullptr, false}), json::object({{"deep", true}})});
    out.end_object();
    EXPECT_EQ(out.text(), document.dump(2));
}

// Appending keeps what was there; the sized buffer is cut to the bytes written.
TEST(Utf8Text, AppendsAfterWhatIsThere) {
    std::string out = "head:";
    const std::wstring text = units({'a', 0xE9, 0xD83C, 0xDFA7});
    append_utf8_text(out, text.data(), text.size());
    EXPECT_EQ(out, "head:a\xC3\xA9\xF0\x9F\x8E\xA7");
    EXPECT_EQ(utf8_text(L""), "");
}

}  // namespace
}  // namespace vq4
