// The JSON report's pieces that do not need a run: UTF-8 of the tool's wide
// texts, the JSON file's name beside the text report.
#include <gtest/gtest.h>

#include "app/json_report.h"
#include "util/text.h"

namespace vq4 {
namespace {

// Wide texts as Windows holds them (UTF-16 units, one wchar_t each), and the
// UTF-8 bytes of the characters they stand for.
TEST(JsonReportText, Utf8OfUtf16UnitsJoinsPairsAndReplacesLoneSurrogates) {
    struct Case {
        std::wstring text;
        std::string utf8;
    };
    const Case cases[] = {
        {L"ASCII", "ASCII"},
        {std::wstring(L"caf") + wchar_t(0x00E9), "caf\xC3\xA9"},
        {std::wstring{0x97F3, 0x9891}, "\xE9\x9F\xB3\xE9\xA2\x91"},
        {std::wstring{0xD83C, 0xDFA7}, "\xF0\x9F\x8E\xA7"},           // U+1F3A7 as a surrogate pair
        {std::wstring{L'a', 0xD83C, L'b'}, "a\xEF\xBF\xBD" "b"},       // a high surrogate alone: U+FFFD
        {std::wstring{0xDFA7, 0xD83C}, "\xEF\xBF\xBD\xEF\xBF\xBD"},   // the pair's halves in the wrong order
        {std::wstring{L'x', 0xD83C}, "x\xEF\xBF\xBD"},                 // a high surrogate at the end
        {std::wstring{0xFFFF}, "\xEF\xBF\xBF"},
    };
    for (const Case& c : cases) EXPECT_EQ(utf8_text(c.text), c.utf8) << c.utf8;
}

TEST(JsonReportText, TheJsonFileTakesTheTextReportsBaseName) {
    EXPECT_EQ(json_partner_path(L"C:\\T\\VQ4_Diag_Report_20261210_090807.txt"), L"C:\\T\\VQ4_Diag_Report_20261210_090807.json");
    EXPECT_EQ(json_partner_path(L"C:\\T\\VQ4_Diag_Report_20261210_090807_2.txt"),
              L"C:\\T\\VQ4_Diag_Report_20261210_090807_2.json");
}

}  // namespace
}  // namespace vq4
