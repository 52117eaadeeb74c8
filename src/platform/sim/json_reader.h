// Typed reads from a machine file's JSON, each failure naming its location
// (a JSON pointer such as /devices/2/status).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vq4::sim {

struct MachineFileError : std::runtime_error {
    MachineFileError(std::string where, const std::string& what) : std::runtime_error(what), pointer(std::move(where)) {}
    std::string pointer;
};

// UTF-8 to wide text holding UTF-16 units (surrogate pairs for characters
// beyond the BMP), the representation all wide text uses in this tool.
std::wstring widen_utf8(const std::string& text);

std::pair<std::size_t, std::size_t> line_and_column(const std::string& text, std::size_t byte_offset);

struct JsonAt {
    const nlohmann::json& value;
    std::string pointer;

    [[noreturn]] void fail(const std::string& what) const { throw MachineFileError(pointer, what); }

    bool has(const char* key) const { return value.is_object() && value.contains(key); }

    JsonAt field(const char* key) const {
        if (!value.is_object()) fail("expected an object");
        const auto found = value.find(key);
        if (found == value.end()) fail(std::string("missing \"") + key + "\"");
        return JsonAt{*found, child_pointer(key)};
    }

    JsonAt at(std::size_t index) const { return JsonAt{value.at(index), child_pointer(std::to_string(index).c_str())}; }

    // pointer + "/" + name, built in one allocation: a large machine file
    // makes a million of these.
    std::string child_pointer(const char* name) const {
        std::string child;
        child.reserve(pointer.size() + 1 + std::char_traits<char>::length(name));
        child += pointer;
        child += '/';
        child += name;
        return child;
    }

    std::vector<JsonAt> items() const {
        if (!value.is_array()) fail("expected an array");
        std::vector<JsonAt> out;
        for (std::size_t i = 0; i < value.size(); ++i) out.push_back(at(i));
        return out;
    }

    void only_keys(std::initializer_list<const char*> allowed) const {
        if (!value.is_object()) fail("expected an object");
        for (const auto& item : value.items()) {
            bool ok = false;
            for (const char* name : allowed) ok = ok || item.key() == name;
            if (!ok) JsonAt{item.value(), pointer + "/" + item.key()}.fail("unknown entry \"" + item.key() + "\"");
        }
    }

    std::string as_string() const {
        if (!value.is_string()) fail("expected a string");
        return value.get<std::string>();
    }
    std::wstring as_wide() const {
        if (!value.is_string()) fail("expected a string");
        return widen_utf8(value.get_ref<const std::string&>());
    }
    bool as_bool() const {
        if (!value.is_boolean()) fail("expected true or false");
        return value.get<bool>();
    }
    std::uint64_t as_u64() const {
        if (value.is_number_unsigned()) return value.get<std::uint64_t>();
        if (value.is_string()) {
            // Hexadecimal numbers are easier to read as "0x..." strings.
            const std::string text = value.get<std::string>();
            if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
                try {
                    std::size_t used = 0;
                    const unsigned long long v = std::stoull(text.substr(2), &used, 16);
                    if (used == text.size() - 2) return v;
                } catch (const std::exception&) {
                }
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
        if (value.is_number_integer()) {
            const std::int64_t v = value.get<std::int64_t>();
            if (v >= INT32_MIN && v <= INT32_MAX) return static_cast<std::int32_t>(v);
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
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
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
