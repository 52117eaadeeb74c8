// The JSON of a machine file, read into one flat record: every value in one
// array, every string in one buffer. A machine of 10,000 nodes is megabytes
// of JSON, and a tree of small allocations (one per value, member and
// string) cost more than the rest of the run together. Each value knows its
// parent and its place there, so a location such as /devices/2/status is
// spelt out only when a reader has something to say about it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vq4::sim {

enum class JsonKind : std::uint8_t { Null, Boolean, Unsigned, Signed, Float, String, Array, Object };

inline constexpr std::uint32_t kNoJsonParent = 0xFFFFFFFFu;

struct JsonValue {
    JsonKind kind = JsonKind::Null;
    bool boolean = false;
    // Unsigned: a whole number of 0 or more that fits 64 bits. Signed: one
    // below 0 (or "-0") that fits 64 bits. Any other number is Float. One
    // word holds each (a value is 32 bytes: a machine file has hundreds of
    // thousands of them).
    std::uint64_t number_bits = 0;
    std::uint64_t unsigned_number() const { return number_bits; }
    std::int64_t signed_number() const { return static_cast<std::int64_t>(number_bits); }
    double float_number() const { return std::bit_cast<double>(number_bits); }
    // String: the bytes in JsonDocument::strings. Array: the entries in
    // JsonDocument::elements. Object: the entries in JsonDocument::members.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t parent = kNoJsonParent;
    // The index in the parent array, or the parent's member in
    // JsonDocument::members.
    std::uint32_t place = 0;
};
static_assert(sizeof(JsonValue) == 32);

struct JsonMember {
    std::uint32_t name_first = 0;  // in JsonDocument::strings
    std::uint32_t name_size = 0;
    std::uint32_t value = 0;
};

struct JsonDocument {
    std::vector<JsonValue> values;  // values[0] is the root
    std::vector<std::uint32_t> elements;
    // An object's members come sorted by name (bytewise), a repeated name
    // keeping its last value: the order and the rule machine files have
    // always been read with.
    std::vector<JsonMember> members;
    std::string strings;  // decoded UTF-8, back to back

    std::string_view text(const JsonValue& string) const { return {strings.data() + string.first, string.count}; }
    std::string_view name(const JsonMember& member) const {
        return {strings.data() + member.name_first, member.name_size};
    }
};

// 0 to 15 for a hexadecimal digit of either case, -1 for any other character.
inline int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct JsonSyntaxError {
    std::size_t byte = 0;  // 1-based place of the byte at fault (the input's size + 1 at its end)
    std::string message;   // one line
};

// Reads `text` as RFC 8259 JSON in UTF-8 (a leading byte order mark is
// skipped): strings must be well-formed UTF-8 with paired surrogates, and a
// number too large for a double is refused rather than made infinite.
// Nesting is unlimited: the reader keeps its own stack. On failure `out` is
// left empty.
bool parse_json(std::string_view text, JsonDocument& out, JsonSyntaxError& error);

}  // namespace vq4::sim
