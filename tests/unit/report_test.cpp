#include <gtest/gtest.h>

#include "app/summary.h"
#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

class ReportOutput : public ::testing::Test {
protected:
    void SetUp() override {
        test::machine_file().use();
        test::reset_counters();
        dir = test::make_temp_dir("report");
        path = dir / "report.txt";
        ASSERT_EQ(open_report_file(widen(path.string())), widen(path.string()));
    }
    void TearDown() override {
        close_report_file();
        std::filesystem::remove_all(dir);
    }
    std::string file_text() {
        close_report_file();
        return test::read_file_bytes(path);
    }
    std::filesystem::path dir, path;
};

TEST_F(ReportOutput, StatusLinesCountByKind) {
    print_status(StatusKind::Ok, L"a");
    print_status(StatusKind::Warn, L"b");
    print_status(StatusKind::Fail, L"c");
    print_status(StatusKind::Info, L"d");
    print_status(static_cast<StatusKind>(7), L"e");
    EXPECT_EQ(test::counts().ok, 1);
    EXPECT_EQ(test::counts().warn, 1);
    EXPECT_EQ(test::counts().fail, 1);
    EXPECT_EQ(file_text(), test::crlf("[  OK  ] a\n[ WARN ] b\n[ FAIL ] c\n[ INFO ] d\n[ INFO ] e\n"));
}

TEST_F(ReportOutput, HeadersDetailsAndEmptyText) {
    print_section(L"1. System information");
    print_detail(L"Driver (service): WINUSB");
    print_status(StatusKind::Warn, L"");
    EXPECT_EQ(file_text(), "\r\n==== 1. System information ====\r\n         Driver (service): WINUSB\r\n[ WARN ] \r\n");
}

TEST_F(ReportOutput, Latin1AndReplacementBeyondU00FF) {
    print_detail(L"caf\u00e9 \u4e2d\u6587 end");
    EXPECT_EQ(file_text(), "         caf\xe9 ?? end\r\n");
}

// Texts from the system cannot break a report line: every control character
// (C0, DEL, C1) is one '?', a surrogate pair (one character) is one '?', a
// lone surrogate is left to the encoding, which writes '?' for it too.
TEST_F(ReportOutput, ControlCharactersAndSurrogatePairs) {
    EXPECT_EQ(printable_text(L"a\r\nb\tc\x1b[2J\x7f\x85\x9f\xa0\xff"), L"a??b?c?[2J???\xa0\xff");
    EXPECT_EQ(printable_text(std::wstring(L"x\0y", 3)), L"x?y");
    const std::wstring pair = {L'A', wchar_t(0xD83C), wchar_t(0xDFB5), L'B'};
    EXPECT_EQ(printable_text(pair), L"A?B");
    const std::wstring lone = {wchar_t(0xDFB5), wchar_t(0xD83C)};
    EXPECT_EQ(printable_text(lone), lone);
    print_status(StatusKind::Info, L"line\nbreak");
    print_detail(L"tab\there");
    print_section(L"T\r");
    print_detail(lone);
    EXPECT_EQ(file_text(), "[ INFO ] line?break\r\n         tab?here\r\n\r\n==== T? ====\r\n         ??\r\n");
}

TEST_F(ReportOutput, ClosedFileStillCountsLines) {
    close_report_file();
    print_status(StatusKind::Fail, L"console only");
    EXPECT_EQ(test::counts().fail, 1);
    EXPECT_EQ(test::read_file_bytes(path), "");
}

TEST_F(ReportOutput, ExistingReportIsNeverTruncated) {
    print_status(StatusKind::Info, L"first run");
    close_report_file();
    const std::wstring second = open_report_file(widen(path.string()));
    EXPECT_EQ(second, widen((dir / "report_2.txt").string()));
    print_status(StatusKind::Info, L"second run");
    const std::wstring third = open_report_file(widen(path.string()));
    EXPECT_EQ(third, widen((dir / "report_3.txt").string()));
    close_report_file();
    EXPECT_EQ(test::read_file_bytes(path), "[ INFO ] first run\r\n");
    EXPECT_EQ(test::read_file_bytes(dir / "report_2.txt"), "[ INFO ] second run\r\n");
}

TEST_F(ReportOutput, UnwritableDirectoryGivesConsoleOnly) {
    close_report_file();
    EXPECT_EQ(open_report_file(widen((dir / "missing" / "r.txt").string())), L"");
    EXPECT_FALSE(report_file_is_open());
}

struct SummaryCase {
    int ok, warn, fail;
    const char* expected;
    int ok_after, warn_after, fail_after;
};

TEST_F(ReportOutput, SummaryVerdicts) {
    const SummaryCase cases[] = {
        {0, 0, 0,
         "[ INFO ] 0 test(s) OK, 0 warning(s), 0 failure(s).\n[  OK  ] Everything appears to be working correctly.\n", 1,
         0, 0},
        {3, 5, 2,
         "[ INFO ] 3 test(s) OK, 5 warning(s), 2 failure(s).\n[ FAIL ] Problems were detected (see [FAIL] above). "
         "Re-read the detail section by section to identify the cause.\n",
         3, 5, 3},
        {4, 1, 0,
         "[ INFO ] 4 test(s) OK, 1 warning(s), 0 failure(s).\n[ WARN ] Functional, but with a few points worth checking "
         "(see [WARN] above).\n",
         4, 2, 0},
    };
    for (const SummaryCase& c : cases) {
        close_report_file();
        std::filesystem::remove(path);
        ASSERT_FALSE(open_report_file(widen(path.string())).empty());
        test::counts().ok = c.ok;
        test::counts().warn = c.warn;
        test::counts().fail = c.fail;
        print_summary(L"Summary", test::counts());
        EXPECT_EQ(file_text(), test::crlf(std::string("\n==== Summary ====\n") + c.expected));
        EXPECT_EQ(test::counts().ok, c.ok_after);
        EXPECT_EQ(test::counts().warn, c.warn_after);
        EXPECT_EQ(test::counts().fail, c.fail_after);
    }
}

TEST_F(ReportOutput, SecondSummaryCountsTheFirstVerdict) {
    test::counts().warn = 1;
    print_summary(L"Summary", test::counts());
    print_summary(L"Summary after repair attempt", test::counts());
    const std::string text = file_text();
    EXPECT_NE(text.find("[ INFO ] 0 test(s) OK, 2 warning(s), 0 failure(s)."), std::string::npos);
    EXPECT_EQ(test::counts().warn, 3);
}

}  // namespace
}  // namespace vq4
