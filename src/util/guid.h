// GUID values and their braced text forms.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vq4 {

struct Guid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
};

// Reads "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with wide-scanf rules: the
// opening brace must come first, fields may be short, anything after the
// eleventh field is not checked. On failure `out` keeps its value.
bool parse_guid(const std::wstring& text, Guid& out);

// The 38-character upper-case braced form.
std::wstring format_guid(const Guid& value);

// True when both texts parse and hold the same 16 bytes.
bool same_guid(const std::wstring& a, const std::wstring& b);

}  // namespace vq4
