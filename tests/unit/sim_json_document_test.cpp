// The machine file's JSON reader: the values nlohmann's parser read from the
// same text (it read machine files before this reader, and the tests still
// write them with it), the place and reason of a refusal, and the locations
// the loader names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/json_reader.h"
#include "platform/sim/machine_file.h"
#include "support/json_document_check.h"

namespace vq4 {
namespace {

sim::JsonDocument parsed(const std::string& text) {
    sim::JsonDocument doc;
    sim::JsonSyntaxError error;
    EXPECT_TRUE(sim::parse_json(text, doc, error)) << text << ": " << error.message;
    return doc;
}

TEST(JsonDocument, ReadsWhatNlohmannReads) {
    std::vector<std::string> texts = {
        "{}",
        "[]",
        " \t\r\n[ 1 , [ ] , { } ] \n",
        R"({"b": 1, "a": [true, false, null], "c": {"d": "e"}})",
        // Escapes, a NUL inside a string, a pair of surrogates, raw UTF-8.
        R"(["\"\\\/\b\f\n\r\t", "a\u0000b", "\u00e9\u20AC\ud83d\ude00", "é€😀"])",
        // Whole numbers at the edges of 64 bits, and past them (doubles).
        "[0, -0, 18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809]",
        "[1.5, -0.0, 1E+2, 2e-3, 1e-400, 123456789012345678901234567890]",
        // A repeated name keeps its last value; names come sorted.
        R"({"z": 1, "a": 2, "z": 3, "m": {"k": [1], "k": [2, 3]}})",
        "\xEF\xBB\xBF{\"after a byte order mark\": true}",
        "\"a lone string\"",
        "7",
    };
    // An object of more members than the reader sorts in place, names repeated.
    std::string many = "{";
    for (int i = 40; i > 0; --i)
        many += "\"k" + std::to_string(i % 25) + "\": " + std::to_string(i) + (i > 1 ? ", " : "}");
    texts.push_back(many);
    for (const std::string& text : texts) {
        const sim::JsonDocument doc = parsed(text);
        if (doc.values.empty()) continue;
        EXPECT_TRUE(test::same_json(test::as_nlohmann(doc), nlohmann::json::parse(text)))
            << text << "\nread as " << test::as_nlohmann(doc).dump();
    }
}

TEST(JsonDocument, RefusesWhatNlohmannRefusesAndSaysWhere) {
    struct Case {
        std::string text;
        std::size_t byte;  // 1-based
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", 1, "unexpected end of the text: a value is missing"},
        {"  ", 3, "unexpected end of the text: a value is missing"},
        {"{\"a\": tru}", 7, "expected a value (an unknown word)"},
        {"[1,]", 4, "expected a value"},
        {"[1 2]", 4, "expected ',' or ']'"},
        {"{\"a\" 1}", 6, "expected ':' after a member name"},
        {"{\"a\": 1,}", 9, "expected a member name in double quotes"},
        {"{'a': 1}", 2, "expected a member name in double quotes"},
        {"[1", 3, "unexpected end of the text: an array is not closed"},
        {"{\"a\": [1]", 10, "unexpected end of the text: an object is not closed"},
        {"[1] 2", 5, "unexpected text after the JSON value"},
        {"[01]", 3, "expected ',' or ']'"},
        {"[1.]", 2, "a number is not well-formed"},
        {"[-]", 2, "a number is not well-formed"},
        {"[1e]", 2, "a number is not well-formed"},
        {"[+1]", 2, "expected a value"},
        {"[\"abc", 6, "a string is not closed"},
        {"[\"a\tb\"]", 4, "a control character in a string must be escaped"},
        {"[\"\\x\"]", 3, "an unknown escape in a string"},
        {"[\"\\u12G4\"]", 3, "a \\u escape needs four hexadecimal digits"},
        {"[\"\\udc00\"]", 3, "a \\u escape has a low surrogate without a high one"},
        {"[\"\\ud800\"]", 3, "a \\u escape has a high surrogate without a low one"},
        {"[\"\\ud800\\u0041\"]", 9, "a \\u escape has a high surrogate without a low one"},
        // Overlong, an encoded surrogate, beyond U+10FFFF, a cut sequence.
        {"[\"\xC0\x80\"]", 3, "a string is not well-formed UTF-8"},
        {"[\"\xED\xA0\x80\"]", 3, "a string is not well-formed UTF-8"},
        {"[\"\xF4\x90\x80\x80\"]", 3, "a string is not well-formed UTF-8"},
        {"[\"\xE2\x82\"]", 3, "a string is not well-formed UTF-8"},
        {"\xEF\xBB[]", 1, "expected a value"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(nlohmann::json::accept(c.text)) << "nlohmann takes " << c.text;
        sim::JsonDocument doc;
        sim::JsonSyntaxError error;
        EXPECT_FALSE(sim::parse_json(c.text, doc, error)) << c.text;
        EXPECT_EQ(error.byte, c.byte) << c.text;
        EXPECT_EQ(error.message, c.message) << c.text;
        EXPECT_TRUE(doc.values.empty()) << "a refused text leaves no document";
    }
}

TEST(JsonDocument, NestingDeeperThanAnyStackIsRead) {
    const std::size_t depth = 200000;
    const std::string text = std::string(depth, '[') + std::string(depth, ']');
    const sim::JsonDocument doc = parsed(text);
    ASSERT_EQ(doc.values.size(), depth);
    EXPECT_EQ(doc.values.back().parent, depth - 2);
    sim::JsonSyntaxError error;
    sim::JsonDocument unclosed;
    EXPECT_FALSE(sim::parse_json(std::string(depth, '['), unclosed, error));
    EXPECT_EQ(error.byte, depth + 1);
}

TEST(JsonDocument, LocationsNameTheMembersAndPlacesAboveAValue) {
    const sim::JsonDocument doc =
        parsed(R"({"z": 0, "devices": [{"a": 1}, {"status": [5, {"x/y": null}]}], "devices": [{"kept": true}]})");
    const sim::JsonAt root{&doc, 0};
    EXPECT_EQ(root.pointer(), "");
    // The repeated "devices" keeps its last value.
    EXPECT_EQ(root.field("devices").at(0).field("kept").pointer(), "/devices/0/kept");
    EXPECT_FALSE(root.field("devices").at(0).has("a"));
    const sim::JsonDocument nested = parsed(R"({"b": [[0, 1, {"c": {"d": [7, 8, 9]}}]], "a": 1})");
    const sim::JsonAt nine = sim::JsonAt{&nested, 0}.field("b").at(0).at(2).field("c").field("d").at(2);
    EXPECT_EQ(nine.value().unsigned_number(), 9u);
    EXPECT_EQ(nine.pointer(), "/b/0/2/c/d/2");
    EXPECT_EQ((sim::JsonAt{&nested, 0}.field("a").pointer()), "/a");
}

TEST(JsonDocument, NumbersAndTheirReaders) {
    const sim::JsonDocument doc =
        parsed(R"([4294967295, 4294967296, -2147483648, -2147483649, 2147483647, 1.0, "0x1F"])");
    const sim::JsonAt array{&doc, 0};
    EXPECT_EQ(array.at(0).as_u32(), 4294967295u);
    EXPECT_THROW((void)array.at(1).as_u32(), sim::MachineFileError);
    EXPECT_EQ(array.at(2).as_i32(), INT32_MIN);
    EXPECT_THROW((void)array.at(3).as_i32(), sim::MachineFileError);
    EXPECT_EQ(array.at(4).as_i32(), INT32_MAX);
    // 1.0 is a double, not a count: the loader wants whole numbers.
    EXPECT_THROW((void)array.at(5).as_u32(), sim::MachineFileError);
    EXPECT_EQ(array.at(6).as_u32(), 0x1Fu);
    try {
        (void)array.at(3).as_i32();
    } catch (const sim::MachineFileError& e) {
        EXPECT_EQ(e.pointer, "/3");
        EXPECT_STREQ(e.what(), "expected a signed 32-bit integer");
    }
}

TEST(JsonDocument, LoaderNamesTheLineAndColumnOfASyntaxError) {
    sim::Machine m;
    std::string error;
    EXPECT_FALSE(sim::parse_machine_json("{\n  \"elevated\": tru\n}", "t", m, error));
    EXPECT_EQ(error, "machine file 't': line 2, column 15: expected a value (an unknown word)");
    EXPECT_FALSE(sim::parse_machine_json("{\"description\": \"a\x01\"}", "t", m, error));
    EXPECT_EQ(error, "machine file 't': line 1, column 19: a control character in a string must be escaped");
}

}  // namespace
}  // namespace vq4
