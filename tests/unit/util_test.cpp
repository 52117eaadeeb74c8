#include <gtest/gtest.h>

#include <climits>

#include "util/guid.h"
#include "util/text.h"

namespace vq4 {
namespace {

TEST(ParseGuid, AcceptsEitherCaseAndFormatsUpperCase) {
    Guid lower, upper;
    ASSERT_TRUE(parse_guid(L"{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}", lower));
    ASSERT_TRUE(parse_guid(L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", upper));
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(format_guid(lower), L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}");
    EXPECT_EQ(lower.Data1, 0xC47D2A19u);
    EXPECT_EQ(lower.Data2, 0x5E80);
    EXPECT_EQ(lower.Data3, 0x4B3F);
    EXPECT_EQ(lower.Data4[0], 0x9A);
    EXPECT_EQ(lower.Data4[7], 0x52);
}

TEST(ParseGuid, TableOfTexts) {
    struct Case {
        const wchar_t* text;
        bool parses;
    };
    const Case cases[] = {
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", true},
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", true},         // closing brace not checked
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}garbage", true},  // trailing text not checked
        {L"{1-2-3-0405-060708090a0b}", true},                       // short fields
        {L"C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", false},          // no opening brace
        {L" {C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", false},       // leading blank
        {L"", false},
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B7}", false},  // ten fields only
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3}", false},   // nine fields
        {L"{XYZ}", false},
    };
    for (const Case& c : cases) {
        Guid value;
        EXPECT_EQ(parse_guid(c.text, value), c.parses) << std::wstring(c.text).size();
    }
}

TEST(ParseGuid, FailureLeavesValueUntouched) {
    Guid value;
    value.Data1 = 0x12345678;
    EXPECT_FALSE(parse_guid(L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3}", value));
    EXPECT_EQ(value.Data1, 0x12345678u);
}

TEST(FormatGuid, ZeroAndLeadingZeros) {
    EXPECT_EQ(format_guid(Guid{}), L"{00000000-0000-0000-0000-000000000000}");
    Guid v;
    ASSERT_TRUE(parse_guid(L"{1-2-3-0405-060708090a0b}", v));
    EXPECT_EQ(format_guid(v), L"{00000001-0002-0003-0405-060708090A0B}");
    EXPECT_TRUE(same_guid(L"{1-2-3-0405-060708090a0b}", L"{00000001-0002-0003-0405-060708090A0B}"));
    EXPECT_FALSE(same_guid(L"not a guid", L"not a guid"));
}

TEST(ContainsNocase, Table) {
    struct Case {
        const wchar_t* haystack;
        const wchar_t* needle;
        bool expected;
    };
    const Case cases[] = {
        {L"", L"", true},
        {L"abc", L"", true},
        {L"ab", L"abc", false},
        {L"usb\\vid_2a7d&pid_5e3c&mi_03\\6&1", L"VID_2A7D&PID_5E3C", true},
        {L"USB\\VID_2A7D&PID_5E3C&mi_03", L"&MI_03", true},
        {L"USB\\VID_2A7D&PID_5E3D", L"VID_2A7D&PID_5E3C", false},
        {L"\u00e9t\u00e9", L"\u00c9T\u00c9", false},  // only ASCII letters fold
    };
    for (const Case& c : cases) {
        EXPECT_EQ(contains_nocase(c.haystack, c.needle), c.expected);
    }
}

TEST(ToUpperAscii, KeepsNonAsciiLetters) {
    EXPECT_EQ(to_upper_ascii(L"winusb \u00e9z"), L"WINUSB \u00e9Z");
}

TEST(FullyQualifiedPath, OnlyPathsThatNeedNoSearchAndNoCurrentDirectory) {
    struct Case {
        const wchar_t* path;
        bool expected;
    };
    const Case cases[] = {
        {L"C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll", true},
        {L"z:/sdk/qtv_api_core.dll", true},
        {L"C:\\", true},
        {L"\\\\server\\share\\qtv_api_core.dll", true},
        {L"\\\\?\\C:\\SDK\\qtv_api_core.dll", true},
        {L"//server/share/qtv_api_core.dll", true},
        {L"qtv_api_core.dll", false},
        {L".\\qtv_api_core.dll", false},
        {L"..\\SDK\\qtv_api_core.dll", false},
        {L"SDK\\qtv_api_core.dll", false},
        {L"\\SDK\\qtv_api_core.dll", false},  // from the current drive's root
        {L"C:qtv_api_core.dll", false},       // from drive C's current directory
        {L"C:", false},
        {L"1:\\qtv_api_core.dll", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        const std::wstring path = c.path;
        EXPECT_EQ(is_fully_qualified_path(path), c.expected) << std::string(path.begin(), path.end());
    }
}

TEST(Decimal, SignedAndUnsigned) {
    EXPECT_EQ(decimal(std::int32_t{-5}), L"-5");
    EXPECT_EQ(decimal(std::int32_t{INT_MIN}), L"-2147483648");
    EXPECT_EQ(decimal(std::uint32_t{0xE0000235}), L"3758096949");
    EXPECT_EQ(decimal(std::uint32_t{0}), L"0");
}

TEST(FormatWide, CapacityIsHonoured) {
    std::wstring out;
    EXPECT_EQ(format_wide(out, 32, L"%d.%02X", 1, 0x51), 4);
    EXPECT_EQ(out, L"1.51");
    EXPECT_EQ(format_wide(out, 4, L"%ls", L"toolong"), -1);
    EXPECT_TRUE(out.empty());
}

TEST(Utf16le, RoundTripAndStopsAtNul) {
    const auto bytes = utf16le_bytes(L"AB\u00e9", 1);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[4], 0xE9);
    EXPECT_EQ(utf16le_text(bytes), L"AB\u00e9");
}

// Registry values and device properties come into a zeroed buffer: an odd
// last byte is the low byte of one more character.
TEST(Utf16le, ValueBytesAsText) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"even, with its NUL", {'A', 0, 'B', 0, 0, 0}, L"AB"},
        {"even, without a NUL", {'A', 0, 'B', 0}, L"AB"},
        {"odd, without a NUL: the last byte is a character", {'A', 0, 'B'}, L"AB"},
        {"odd, one byte only", {'Q'}, L"Q"},
        {"odd, a zero last byte ends the text", {'A', 0, 0}, L"A"},
        {"odd, after a NUL: not reached", {'A', 0, 0, 0, 'B'}, L"A"},
        {"odd, a Latin-1 last byte", {'A', 0, 0xE9}, L"A\u00e9"},
        {"a character beyond U+00FF", {0x13, 0x20, 'x'}, L"\u2013x"},
        {"empty", {}, L""},
        {"a NUL first", {0, 0, 'A', 0}, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utf16le_text(c.bytes), c.text);
        EXPECT_EQ(utf16le_text(c.bytes.data(), c.bytes.size()), c.text);
    }
}

// A REG_DWORD comes little-endian; a shorter value (a REG_DWORD of fewer
// bytes, as a hand-edited registry may hold) gives what it has.
// The Linux build's command line and file names: UTF-8 to UTF-16 units.
TEST(Utf16FromUtf8, CharactersOfAnyPlaneAndBytesThatAreNone) {
    const std::vector<std::pair<std::string, std::wstring>> cases = {
        {"C:\\Tools", L"C:\\Tools"},
        {"\xC5\x92uvre \xC3\x9F \xE6\xBC\xA2\xE5\xAD\x97", L"\u0152uvre \u00DF \u6F22\u5B57"},
        {"\xEF\xBC\x82", L"\uFF02"},
        {"\xF0\x9F\x8E\xB5", std::wstring{static_cast<wchar_t>(0xD83C), static_cast<wchar_t>(0xDFB5)}},
        {"a\xFF" "b", L"a\uFFFDb"},                   // no lead byte
        {"\xC3", L"\uFFFD"},                         // cut short
        {"\xC0\xAF", L"\uFFFD\uFFFD"},              // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},   // a surrogate
        {"", L""},
    };
    for (const auto& [utf8, utf16] : cases) {
        EXPECT_EQ(utf16_from_utf8(utf8), utf16) << utf8;
        if (utf16.find(L'\uFFFD') == std::wstring::npos) {
            EXPECT_EQ(utf8_text(utf16), utf8);
        }
    }
}

TEST(LittleEndianDword, LowByteFirst) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"four bytes", {0x02, 0x01, 0x00, 0x00}, 0x0102u},
        {"high byte set", {0x78, 0x56, 0x34, 0x12}, 0x12345678u},
        {"more than four: the first four", {0x01, 0x00, 0x00, 0x00, 0xFF}, 1u},
        {"two bytes", {0x34, 0x12}, 0x1234u},
        {"empty", {}, 0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(little_endian_dword(c.bytes), c.value);
    }
    // From an offset: a header field, or what the bytes still hold of it.
    const std::vector<std::uint8_t> header = {0xFF, 0x40, 0x00, 0x00, 0x00, 0x12};
    EXPECT_EQ(little_endian_dword(header, 1), 0x40u);
    EXPECT_EQ(little_endian_dword(header, 4), 0x1200u);
    EXPECT_EQ(little_endian_dword(header, 6), 0u);
    EXPECT_EQ(little_endian_dword(header, 9), 0u);
}

}  // namespace
}  // namespace vq4
