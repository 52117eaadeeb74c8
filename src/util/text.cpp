#include "util/text.h"

namespace vq4 {

std::wstring to_upper_ascii(const std::wstring& text) {
    std::wstring upper = text;
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return upper;
}

bool contains_nocase(const std::wstring& haystack, const std::wstring& needle) {
    const std::wstring h = to_upper_ascii(haystack);
    const std::wstring n = to_upper_ascii(needle);
    if (n.size() > h.size()) {
        return false;
    }
    if (n.empty()) {
        return true;
    }
    return h.find(n) != std::wstring::npos;
}

bool equals_nocase(std::wstring_view a, std::wstring_view b) {
    // Compared in place: the simulated machine calls this for every key and
    // node it looks up, so copies would cost more than the comparison.
    if (a.size() != b.size()) return false;
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

bool starts_with_nocase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && equals_nocase(text.substr(0, prefix.size()), prefix);
}

bool is_fully_qualified_path(const std::wstring& path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
    const bool drive = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    return drive && path[1] == L':' && separator(path[2]);
}

std::wstring decimal(std::int32_t value) { return std::to_wstring(value); }
std::wstring decimal(std::uint32_t value) { return std::to_wstring(value); }

std::wstring utf16le_text(const std::uint8_t* bytes, std::size_t count) {
    std::wstring text;
    for (std::size_t i = 0; i < count; i += 2) {
        const unsigned high = i + 1 < count ? bytes[i + 1] : 0u;
        const auto unit = static_cast<wchar_t>(bytes[i] | (high << 8));
        if (unit == L'\0') {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

std::wstring utf16le_text(const std::vector<std::uint8_t>& bytes) { return utf16le_text(bytes.data(), bytes.size()); }

std::uint32_t little_endian_dword(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && offset < bytes.size() && i < bytes.size() - offset; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

std::vector<std::uint8_t> utf16le_bytes(const std::wstring& text, std::size_t terminators) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() + terminators) * 2);
    for (const wchar_t c : text) {
        const auto unit = static_cast<std::uint32_t>(c) & 0xFFFF;
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.insert(bytes.end(), terminators * 2, 0);
    return bytes;
}

std::wstring widen(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (const char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::wstring utf16_from_utf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                 : lead >= 0xF0 && lead <= 0xF4               ? 4
                                                                                                              : 0;
        std::uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        bool well_formed = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; well_formed && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            well_formed = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are no characters.
        if (well_formed && ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
                            (code >= 0xD800 && code <= 0xDFFF))) {
            well_formed = false;
        }
        if (!well_formed) {
            out.push_back(L'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
        i += length;
    }
    return out;
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));  // most of what the tool writes
        return;
    }
    char bytes[4];
    out.append(bytes, put_utf8(bytes, code));
}

void append_utf8_text(std::string& out, const wchar_t* text, std::size_t size) {
    // Room for the longest the text can take, then cut to what it took:
    // one size change and a store per byte instead of a push_back per byte.
    const std::size_t start = out.size();
    out.resize(start + size * kMaxUtf8PerWideChar);
    char* const begin = out.data() + start;
    char* end = begin;
    for (std::size_t i = 0; i < size; ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit < 0x80) {
            *end++ = static_cast<char>(unit);
        } else {
            end = put_utf8(end, code_point_at(text, size, i));
        }
    }
    out.resize(start + static_cast<std::size_t>(end - begin));
}

std::string utf8_text(const std::wstring& text) {
    std::string out;
    append_utf8_text(out, text.data(), text.size());
    return out;
}

}  // namespace vq4
