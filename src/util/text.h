// Text helpers shared by every section.
#pragma once

#include <cstdint>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace vq4 {

std::wstring to_upper_ascii(const std::wstring& text);

// Case-insensitive (ASCII letters only) substring test.
bool contains_nocase(const std::wstring& haystack, const std::wstring& needle);

// Whole-text comparison ignoring the case of ASCII letters (_wcsicmp == 0).
bool equals_nocase(std::wstring_view a, std::wstring_view b);

// Whether `text` begins with `prefix`, ASCII letters compared without regard to case.
bool starts_with_nocase(std::wstring_view text, std::wstring_view prefix);

// Wide printf into a buffer of `capacity` characters (terminator included).
// Returns the length written, or -1 when formatting fails or the text does
// not fit; `out` is then empty.
template <class... Args>
int format_wide(std::wstring& out, std::size_t capacity, const wchar_t* format, Args... args) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    const int written = std::swprintf(buffer.data(), capacity, format, args...);
    if (written < 0) {
        out.clear();
        return -1;
    }
    out.assign(buffer.data(), static_cast<std::size_t>(written));
    return written;
}

// A Windows path that names one file whatever the current drive and
// directory: a drive letter, a colon and a separator (C:\x.dll), or two
// leading separators (UNC \\server\share\x.dll, \\?\C:\x.dll). Both the
// backslash and the slash count as separators. A bare name, a relative path,
// a path from the current drive's root (\x.dll) or from a drive's current
// directory (C:x.dll) is not.
bool is_fully_qualified_path(const std::wstring& path);

std::wstring decimal(std::int32_t value);
std::wstring decimal(std::uint32_t value);

// Text of UTF-16LE bytes up to the first NUL unit (or all of them). Each
// UTF-16 unit becomes one wide character. Every registry value and device
// property that the tool reads as text goes through here: the system copies
// such a value into a zeroed buffer, so an odd last byte still forms a last
// character with the zero byte after it.
std::wstring utf16le_text(const std::uint8_t* bytes, std::size_t count);
std::wstring utf16le_text(const std::vector<std::uint8_t>& bytes);

// A little-endian 32-bit value (a REG_DWORD's data, a field of a file
// header): the four bytes from `offset`, fewer when the bytes end before.
std::uint32_t little_endian_dword(const std::vector<std::uint8_t>& bytes, std::size_t offset = 0);

// UTF-16LE bytes of a text, with `terminators` NUL units appended.
std::vector<std::uint8_t> utf16le_bytes(const std::wstring& text, std::size_t terminators);

// ASCII/Latin-1 widening of a narrow text.
std::wstring widen(const std::string& text);

// UTF-16 units of a UTF-8 text (the Linux build's command line and file
// names): a character beyond U+FFFF as a surrogate pair, a byte that starts
// no well-formed sequence as U+FFFD.
std::wstring utf16_from_utf8(const std::string& text);

// Appends the UTF-8 bytes of one code point (up to U+10FFFF).
void append_utf8(std::string& out, std::uint32_t code);

// The most UTF-8 bytes one wide character can take: a UTF-16 unit makes at
// most 3 (a surrogate pair makes 4 from two units), a UTF-32 one up to 4.
inline constexpr std::size_t kMaxUtf8PerWideChar = sizeof(wchar_t) == 2 ? 3 : 4;

// The character that starts at text[at], as UTF-8 takes it: a surrogate
// pair joined into one (`at` then moves onto its low half), a lone surrogate
// or a value beyond U+10FFFF (no character at all) as U+FFFD.
inline std::uint32_t code_point_at(const wchar_t* text, std::size_t size, std::size_t& at) {
    std::uint32_t code = static_cast<std::uint32_t>(text[at]);
    if (code >= 0xD800 && code <= 0xDBFF && at + 1 < size) {
        const auto low = static_cast<std::uint32_t>(text[at + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++at;
            return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = 0xFFFD;
    return code;
}

// Writes the UTF-8 bytes of one code point (up to U+10FFFF) at `out`, which
// has room for 4; returns the end of what it wrote.
inline char* put_utf8(char* out, std::uint32_t code) {
    if (code < 0x80) {
        *out++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code >> 6));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code >> 18));
        *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// UTF-8 of a wide text: surrogate pairs joined into one character, a lone
// surrogate (no character at all) as U+FFFD.
std::string utf8_text(const std::wstring& text);

// The same, appended to `out`.
void append_utf8_text(std::string& out, const wchar_t* text, std::size_t size);

}  // namespace vq4
