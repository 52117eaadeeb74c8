// Typed reads from a machine file's JSON, each failure naming its location
// (a JSON pointer such as /devices/2/status).
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sim/json_document.h"

namespace vq4::sim {

struct MachineFileError : std::runtime_error {
    MachineFileError(std::string where, const std::string& what) : std::runtime_error(what), pointer(std::move(where)) {}
    std::string pointer;
};

// UTF-8 to wide text holding UTF-16 units (surrogate pairs for characters
// beyond the BMP), the representation all wide text uses in this tool.
std::wstring widen_utf8(std::string_view text);

std::pair<std::size_t, std::size_t> line_and_column(const std::string& text, std::size_t byte_offset);

// A value of a machine file's document and what the loader reads from it.
// Two words, copied freely: its location is spelt out only for a failure.
struct JsonAt {
    const JsonDocument* document;
    std::uint32_t index;

    const JsonValue& value() const { return document->values[index]; }
    JsonKind kind() const { return value().kind; }
    bool is_null() const { return kind() == JsonKind::Null; }
    bool is_boolean() const { return kind() == JsonKind::Boolean; }
    bool is_string() const { return kind() == JsonKind::String; }
    bool is_array() const { return kind() == JsonKind::Array; }
    bool is_object() const { return kind() == JsonKind::Object; }
    bool is_unsigned() const { return kind() == JsonKind::Unsigned; }
    std::string_view text() const { return document->text(value()); }

    // The JSON pointer of this value, such as /devices/2/status ("" for the root).
    std::string pointer() const;

    [[noreturn]] void fail(const std::string& what) const { throw MachineFileError(pointer(), what); }

    // The member called `name`; none if absent (or this is no object).
    std::optional<JsonAt> find(std::string_view name) const {
        if (!is_object()) return std::nullopt;
        const JsonValue& object = value();
        for (std::uint32_t i = object.first; i < object.first + object.count; ++i) {
            const JsonMember& member = document->members[i];
            if (document->name(member) == name) return JsonAt{document, member.value};
        }
        return std::nullopt;
    }

    bool has(const char* name) const { return find(name).has_value(); }

    JsonAt field(const char* name) const {
        if (!is_object()) fail("expected an object");
        if (const auto found = find(name)) return *found;
        fail(std::string("missing \"") + name + "\"");
    }

    // Entry `i` of an array known to have it.
    JsonAt at(std::size_t i) const { return JsonAt{document, document->elements[value().first + i]}; }

    // An array's entries; fails for anything else.
    std::vector<JsonAt> items() const {
        if (!is_array()) fail("expected an array");
        const JsonValue& array = value();
        std::vector<JsonAt> out;
        out.reserve(array.count);
        for (std::uint32_t i = array.first; i < array.first + array.count; ++i) {
            out.push_back(JsonAt{document, document->elements[i]});
        }
        return out;
    }

    // An object's members with their names, in the document's order (by name).
    std::vector<std::pair<std::string_view, JsonAt>> members() const {
        if (!is_object()) fail("expected an object");
        const JsonValue& object = value();
        std::vector<std::pair<std::string_view, JsonAt>> out;
        out.reserve(object.count);
        for (std::uint32_t i = object.first; i < object.first + object.count; ++i) {
            const JsonMember& member = document->members[i];
            out.emplace_back(document->name(member), JsonAt{document, member.value});
        }
        return out;
    }

    void only_keys(std::initializer_list<std::string_view> allowed) const {
        if (!is_object()) fail("expected an object");
        const JsonValue& object = value();
        for (std::uint32_t i = object.first; i < object.first + object.count; ++i) {
            const JsonMember& member = document->members[i];
            const std::string_view name = document->name(member);
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
                JsonAt{document, member.value}.fail("unknown entry \"" + std::string(name) + "\"");
            }
        }
    }

    std::string as_string() const {
        if (!is_string()) fail("expected a string");
        return std::string(text());
    }
    std::wstring as_wide() const {
        if (!is_string()) fail("expected a string");
        return widen_utf8(text());
    }
    bool as_bool() const {
        if (!is_boolean()) fail("expected true or false");
        return value().boolean;
    }
    std::uint64_t as_u64() const {
        if (is_unsigned()) return value().unsigned_number();
        if (is_string()) {
            // Hexadecimal numbers are easier to read as "0x..." strings.
            // Hexadecimal digits only: no sign, blank or second prefix (which
            // strtoull would take), and no wrap past 64 bits.
            const std::string_view text = this->text();
            if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
                std::uint64_t v = 0;
                bool fits = true;
                for (const char c : text.substr(2)) {
                    const int digit = hex_digit_value(c);
                    if (digit < 0) fail("expected hexadecimal digits after \"0x\"");
                    if (v > (UINT64_MAX >> 4)) fits = false;
                    v = (v << 4) | static_cast<std::uint64_t>(digit);
                }
                if (!fits) fail("number does not fit 64 bits");
                return v;
            }
        }
        fail("expected a non-negative integer (or a \"0x...\" string)");
    }
    std::uint32_t as_u32() const {
        const std::uint64_t v = as_u64();
        if (v > 0xFFFFFFFFull) fail("number does not fit 32 bits");
        return static_cast<std::uint32_t>(v);
    }
    std::uint16_t as_u16() const {
        const std::uint64_t v = as_u64();
        if (v > 0xFFFFull) fail("number does not fit 16 bits");
        return static_cast<std::uint16_t>(v);
    }
    std::int32_t as_i32() const {
        if (is_unsigned() && value().unsigned_number() <= INT32_MAX) {
            return static_cast<std::int32_t>(value().unsigned_number());
        }
        if (kind() == JsonKind::Signed && value().signed_number() >= INT32_MIN) {
            return static_cast<std::int32_t>(value().signed_number());
        }
        fail("expected a signed 32-bit integer");
    }
    // "0c 00 00 00" or "0c000000": whitespace between bytes is allowed.
    std::vector<std::uint8_t> as_hex_bytes() const {
        const std::string text = as_string();
        std::vector<std::uint8_t> bytes;
        int pending = -1;
        for (const char c : text) {
            if (c == ' ' || c == '\n' || c == '\t') continue;
            const int digit = hex_digit_value(c);
            if (digit < 0) fail(std::string("not a hexadecimal digit: '") + c + "'");
            if (pending < 0) {
                pending = digit;
            } else {
                bytes.push_back(static_cast<std::uint8_t>(pending * 16 + digit));
                pending = -1;
            }
        }
        if (pending >= 0) fail("odd number of hexadecimal digits");
        return bytes;
    }
};

}  // namespace vq4::sim
