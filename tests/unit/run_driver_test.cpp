#include <gtest/gtest.h>

#include "app/run_driver.h"
#include "platform/sim/machine.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(RunOptions, RecognisedSpellings) {
    struct Case {
        std::vector<std::string> args;
        bool interactive, fix, skip;
        bool json = false;
    };
    const Case cases[] = {
        {{}, true, false, false},
        {{"/nopause"}, false, false, false},
        {{"/NoPause"}, false, false, false},
        {{"-nopause", "/nopause:1", "nopause"}, true, false, false},
        {{"/fix", "/nofix"}, true, true, true},
        {{"/FIX", "/FIX"}, true, true, false},
        {{"extra", "/NOFIX"}, true, false, true},
        {{"/nopause", "/nofix", "/JSON"}, false, false, true, true},
        {{"-json", "/json:1", "json"}, true, false, false, false},
    };
    for (const Case& c : cases) {
        const RunOptions o = parse_run_options(c.args);
        EXPECT_EQ(o.interactive, c.interactive);
        EXPECT_EQ(o.fix_requested, c.fix);
        EXPECT_EQ(o.skip_repair, c.skip);
        EXPECT_EQ(o.json, c.json);
    }
}

TEST(RunOptions, UsageAndTheInternalArguments) {
    struct Case {
        std::vector<std::string> args;
        bool usage, relaunched;
        const wchar_t* report;
    };
    const Case cases[] = {
        {{"/?"}, true, false, L""},
        {{"-h"}, true, false, L""},
        {{"--help"}, true, false, L""},
        {{"/nopause", "--HELP"}, true, false, L""},
        {{"/h", "-help", "/help", "-?", "?"}, false, false, L""},
        {{"/elevated"}, false, true, L""},
        {{"/ELEVATED", "/report:C:\\My Tools\\VQ4_Diag_Report_1.txt"}, false, true, L"C:\\My Tools\\VQ4_Diag_Report_1.txt"},
        {{"/Report:x.txt"}, false, false, L"x.txt"},
        {{"/report"}, false, false, L""},
        {{"/elevated:1"}, false, false, L""},
    };
    for (const Case& c : cases) {
        const RunOptions o = parse_run_options(c.args);
        EXPECT_EQ(o.show_usage, c.usage) << c.args.front();
        EXPECT_EQ(o.relaunched, c.relaunched) << c.args.front();
        EXPECT_EQ(o.handed_report_path, c.report) << c.args.front();
        EXPECT_TRUE(o.interactive == (c.args.front() != "/nopause"));
    }
}

TEST(RunOptions, UsageNamesTheOptionsTheExitCodesAndTheFiles) {
    const std::wstring usage = usage_text();
    for (const wchar_t* part : {L"/nopause", L"/fix", L"/nofix", L"/json", L"/?", L"-h", L"--help", L"Exit code: 0", L"1 when Fail",
                                L"this window checks it again itself", L"VQ4_Diag_Report_YYYYMMDD_hhmmss.txt",
                                L"next to the executable"}) {
        EXPECT_NE(usage.find(part), std::wstring::npos) << sim::narrow(part);
    }
    EXPECT_EQ(usage.find(L"/elevated"), std::wstring::npos) << "internal arguments are not for users";
    EXPECT_EQ(usage.back(), L'\n');
}

TEST(ReportPath, AHandedPathCountsOnlyForTheRelaunchedInstanceAndOnlyInItsFolder) {
    test::machine_file().local_time("2026-03-04 05:06:07").use();
    const std::wstring usual = L"C:\\Tools\\VQ4_Diag_Report_20260304_050607.txt";
    const std::wstring handed = L"C:\\Tools\\VQ4_Diag_Report_20260304_050607_2.txt";
    RunOptions options;
    options.handed_report_path = handed;
    EXPECT_EQ(run_report_path(options, L"C:\\Tools"), usual) << "without /elevated";
    options.relaunched = true;
    EXPECT_EQ(run_report_path(options, L"C:\\Tools"), handed);
    EXPECT_EQ(run_report_path(options, L"C:\\Other"), L"C:\\Other\\VQ4_Diag_Report_20260304_050607.txt");
    options.handed_report_path.clear();
    EXPECT_EQ(run_report_path(options, L"C:\\Tools"), usual);
}

TEST(ExeDirectory, FromModulePath) {
    struct Case {
        const wchar_t* module_path;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {L"C:\\a\\b\\tool.exe", L"C:\\a\\b"},
        {L"C:/a/b/tool.exe", L"C:/a/b"},
        {L"tool.exe", L"."},
        {L"", L"."},
    };
    for (const Case& c : cases) {
        test::machine_file().module_path(c.module_path).use();
        EXPECT_EQ(exe_directory(), c.directory);
    }
}

TEST(ReportPath, DateAndTimeZeroPadded) {
    test::machine_file().local_time("2026-03-04 05:06:07").use();
    EXPECT_EQ(build_report_path(L"C:\\a\\b"), L"C:\\a\\b\\VQ4_Diag_Report_20260304_050607.txt");
}

TEST(ReportPath, TooLongDirectoryFallsBackToCurrentDirectory) {
    test::machine_file().local_time("2026-03-04 05:06:07").use();
    const std::wstring long_dir = L"C:\\" + std::wstring(240, L'd');
    EXPECT_EQ(build_report_path(long_dir), L".\\VQ4_Diag_Report_20260304_050607.txt");
    // 259 characters still fit the 260-character capacity.
    const std::wstring fitting = L"C:\\" + std::wstring(259 - 3 - 36, L'd');
    EXPECT_EQ(build_report_path(fitting).size(), 259u);
}

}  // namespace
}  // namespace vq4
