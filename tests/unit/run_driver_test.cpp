#include <gtest/gtest.h>

#include "app/run_driver.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(RunOptions, RecognisedSpellings) {
    struct Case {
        std::vector<std::string> args;
        bool interactive, fix, skip;
    };
    const Case cases[] = {
        {{}, true, false, false},
        {{"/nopause"}, false, false, false},
        {{"/NoPause"}, false, false, false},
        {{"-nopause", "/nopause:1", "nopause"}, true, false, false},
        {{"/fix", "/nofix"}, true, true, true},
        {{"/FIX", "/FIX"}, true, true, false},
        {{"extra", "/NOFIX"}, true, false, true},
    };
    for (const Case& c : cases) {
        const RunOptions o = parse_run_options(c.args);
        EXPECT_EQ(o.interactive, c.interactive);
        EXPECT_EQ(o.fix_requested, c.fix);
        EXPECT_EQ(o.skip_repair, c.skip);
    }
}

TEST(ExeDirectory, FromModulePath) {
    struct Case {
        const char* module_path;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {R"(C:\\a\\b\\tool.exe)", L"C:\\a\\b"},
        {R"(C:/a/b/tool.exe)", L"C:/a/b"},
        {R"(tool.exe)", L"."},
        {R"()", L"."},
    };
    for (const Case& c : cases) {
        test::use_machine(std::string(R"({"module_path": ")") + c.module_path + "\"}");
        EXPECT_EQ(exe_directory(), c.directory);
    }
}

TEST(ReportPath, DateAndTimeZeroPadded) {
    test::use_machine(R"({"local_time": "2026-03-04 05:06:07"})");
    EXPECT_EQ(build_report_path(L"C:\\a\\b"), L"C:\\a\\b\\VQ4_Diag_Report_20260304_050607.txt");
}

TEST(ReportPath, TooLongDirectoryFallsBackToCurrentDirectory) {
    test::use_machine(R"({"local_time": "2026-03-04 05:06:07"})");
    const std::wstring long_dir = L"C:\\" + std::wstring(240, L'd');
    EXPECT_EQ(build_report_path(long_dir), L".\\VQ4_Diag_Report_20260304_050607.txt");
    // 259 characters still fit the 260-character capacity.
    const std::wstring fitting = L"C:\\" + std::wstring(259 - 3 - 36, L'd');
    EXPECT_EQ(build_report_path(fitting).size(), 259u);
}

}  // namespace
}  // namespace vq4
