// Text helpers shared by every section.
#pragma once

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace vq4 {

std::wstring to_upper_ascii(const std::wstring& text);

// Case-insensitive (ASCII letters only) substring test.
bool contains_nocase(const std::wstring& haystack, const std::wstring& needle);

// Whole-text comparison ignoring the case of ASCII letters (_wcsicmp == 0).
bool equals_nocase(const std::wstring& a, const std::wstring& b);

// Whether `text` begins with `prefix`, ASCII letters compared without regard to case.
bool starts_with_nocase(const std::wstring& text, const std::wstring& prefix);

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

// Appends the UTF-8 bytes of one code point (up to U+10FFFF).
void append_utf8(std::string& out, std::uint32_t code);

// UTF-8 of a wide text: surrogate pairs joined into one character, a lone
// surrogate (no character at all) as U+FFFD.
std::string utf8_text(const std::wstring& text);

}  // namespace vq4
