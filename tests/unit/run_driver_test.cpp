#include <gtest/gtest.h>

#include "app/run_driver.h"
#include "platform/sim/machine.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(RunOptions, RecognisedSpellings) {
    struct Case {
        std::vector<std::wstring> args;
        bool interactive, fix, skip;
        bool json = false;
    };
    const Case cases[] = {
        {{}, true, false, false},
        {{L"/nopause"}, false, false, false},
        {{L"/NoPause"}, false, false, false},
        {{L"-nopause", L"/nopause:1", L"nopause"}, true, false, false},
        {{L"/fix", L"/nofix"}, true, true, true},
        {{L"/FIX", L"/FIX"}, true, true, false},
        {{L"extra", L"/NOFIX"}, true, false, true},
        {{L"/nopause", L"/nofix", L"/JSON"}, false, false, true, true},
        {{L"-json", L"/json:1", L"json"}, true, false, false, false},
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
        std::vector<std::wstring> args;
        bool usage, relaunched;
        const wchar_t* report;
    };
    const Case cases[] = {
        {{L"/?"}, true, false, L""},
        {{L"-h"}, true, false, L""},
        {{L"--help"}, true, false, L""},
        {{L"/nopause", L"--HELP"}, true, false, L""},
        {{L"/h", L"-help", L"/help", L"-?", L"?"}, false, false, L""},
        {{L"/elevated"}, false, true, L""},
        {{L"/ELEVATED", L"/report:C:\\My Tools\\VQ4_Diag_Report_1.txt"}, false, true, L"C:\\My Tools\\VQ4_Diag_Report_1.txt"},
        {{L"/Report:x.txt"}, false, false, L"x.txt"},
        {{L"/report"}, false, false, L""},
        {{L"/elevated:1"}, false, false, L""},
    };
    for (const Case& c : cases) {
        const RunOptions o = parse_run_options(c.args);
        EXPECT_EQ(o.show_usage, c.usage) << sim::narrow(c.args.front());
        EXPECT_EQ(o.relaunched, c.relaunched) << sim::narrow(c.args.front());
        EXPECT_EQ(o.handed_report_path, c.report) << sim::narrow(c.args.front());
        EXPECT_TRUE(o.interactive == (c.args.front() != L"/nopause"));
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
