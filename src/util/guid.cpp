#include "util/guid.h"

#include <cwchar>

#include "util/text.h"

namespace vq4 {

bool parse_guid(const std::wstring& text, Guid& out) {
    unsigned long d1 = 0;
    unsigned int d2 = 0, d3 = 0;
    unsigned int b[8] = {};
    const int fields = std::swscanf(text.c_str(), L"{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    if (fields != 11) {
        return false;
    }
    out.Data1 = static_cast<std::uint32_t>(d1);
    out.Data2 = static_cast<std::uint16_t>(d2 & 0xFFFF);
    out.Data3 = static_cast<std::uint16_t>(d3 & 0xFFFF);
    for (int i = 0; i < 8; ++i) {
        out.Data4[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b[i] & 0xFF);
    }
    return true;
}

std::wstring format_guid(const Guid& v) {
    std::wstring text;
    format_wide(text, 64, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(v.Data1),
                static_cast<unsigned>(v.Data2), static_cast<unsigned>(v.Data3), static_cast<unsigned>(v.Data4[0]),
                static_cast<unsigned>(v.Data4[1]), static_cast<unsigned>(v.Data4[2]), static_cast<unsigned>(v.Data4[3]),
                static_cast<unsigned>(v.Data4[4]), static_cast<unsigned>(v.Data4[5]), static_cast<unsigned>(v.Data4[6]),
                static_cast<unsigned>(v.Data4[7]));
    return text;
}

bool same_guid(const std::wstring& a, const std::wstring& b) {
    Guid ga, gb;
    return parse_guid(a, ga) && parse_guid(b, gb) && ga == gb;
}

}  // namespace vq4
