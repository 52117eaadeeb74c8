// The hand-over between the first instance and the elevated one: the report
// path it names, the parameters, the path the elevated instance accepts, and
// the lines that show the elevated report's result.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/win_constants.h"
#include "repair/elevated_handover.h"
#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

TEST(ElevatedHandover, AbsolutePaths) {
    struct Case {
        const wchar_t* path;
        bool absolute;
    };
    const Case cases[] = {
        {L"C:\\Tools\\x.txt", true}, {L"c:/Tools/x.txt", true}, {L"\\\\server\\share\\x.txt", true},
        {L"/tmp/x", true},           {L"\\Tools\\x.txt", true}, {L"x.txt", false},
        {L".\\x.txt", false},        {L"C:x.txt", false},       {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(path_is_absolute(c.path), c.absolute) << sim::narrow(c.path);
}

TEST(ElevatedHandover, ParametersCarryTheMarkThePathQuotedAndNopause) {
    EXPECT_EQ(relaunch_parameters(L"C:\\My Tools\\VQ4_Diag_Report_20260304_050607_2.txt", true),
              L"/fix /elevated \"/report:C:\\My Tools\\VQ4_Diag_Report_20260304_050607_2.txt\" /nopause");
    EXPECT_EQ(relaunch_parameters(L"C:\\T\\VQ4_Diag_Report_1.txt", false),
              L"/fix /elevated \"/report:C:\\T\\VQ4_Diag_Report_1.txt\"");
    EXPECT_EQ(relaunch_parameters(L"", true), L"/fix /elevated /nopause");
    EXPECT_EQ(relaunch_parameters(L"", false), L"/fix /elevated");
    // "/json" is passed on: the elevated instance writes its own JSON report.
    EXPECT_EQ(relaunch_parameters(L"C:\\T\\VQ4_Diag_Report_1_2.txt", true, true),
              L"/fix /elevated \"/report:C:\\T\\VQ4_Diag_Report_1_2.txt\" /nopause /json");
    EXPECT_EQ(relaunch_parameters(L"", false, true), L"/fix /elevated /json");
}

bool empty_file(const fs::path& path) { return fs::is_regular_file(path) && fs::file_size(path) == 0; }

// The first instance reserves the elevated instance's names (created empty)
// as a pair: the text report and its JSON partner, so that no other run
// takes them before the elevated instance starts.
TEST(ElevatedHandover, TheElevatedNamesAreReservedAsAPairBesideTheOwnReport) {
    test::machine_file().use();
    const fs::path dir = test::make_temp_dir("handover_name");
    const std::wstring base = widen(dir.string()) + L"\\VQ4_Diag_Report_20260304_050607.txt";
    const std::wstring stem = widen(dir.string()) + L"\\VQ4_Diag_Report_20260304_050607";
    const std::string file_stem = "VQ4_Diag_Report_20260304_050607";

    // Nothing there yet: the computed name itself (the own report could not be created).
    const ReservedReportName first = reserve_report_name(base, L"", true);
    EXPECT_EQ(first.path, base);
    EXPECT_TRUE(first.reserved && first.json_reserved);
    EXPECT_TRUE(empty_file(dir / (file_stem + ".txt")));
    EXPECT_TRUE(empty_file(dir / (file_stem + ".json")));
    // Reserved means taken: the next run's reservation moves on.
    EXPECT_EQ(reserve_report_name(base, L"", true).path, stem + L"_2.txt");
    // The own report is never handed over, even when its name looks free;
    // without /json only the text report is created.
    const ReservedReportName text_only = reserve_report_name(base, stem + L"_3.txt", false);
    EXPECT_EQ(text_only.path, stem + L"_4.txt");
    EXPECT_TRUE(text_only.reserved);
    EXPECT_FALSE(text_only.json_reserved);
    EXPECT_FALSE(fs::exists(dir / (file_stem + "_4.json")));
    // A JSON left in the folder, even one that says all is well, takes its
    // number from the pair, with or without /json: no report is put beside it.
    std::ofstream(dir / (file_stem + "_3.txt")) << "own";
    std::ofstream(dir / (file_stem + "_5.json")) << "{\"exit_code\": 0}";
    std::ofstream(dir / (file_stem + "_6.json")) << "{\"exit_code\": 0}";
    EXPECT_EQ(reserve_report_name(base, L"", true).path, stem + L"_7.txt");
    EXPECT_FALSE(fs::exists(dir / (file_stem + "_5.txt")));
    EXPECT_FALSE(fs::exists(dir / (file_stem + "_6.txt")));
    EXPECT_EQ(test::read_file_bytes(dir / (file_stem + "_5.json")), "{\"exit_code\": 0}");
    // A folder of that name is taken as well.
    fs::create_directory(dir / (file_stem + "_8.txt"));
    const ReservedReportName last = reserve_report_name(base, L"", true);
    EXPECT_EQ(last.path, stem + L"_9.txt");
    // A name not used goes back, both files.
    release_report_name(last);
    EXPECT_FALSE(fs::exists(dir / (file_stem + "_9.txt")));
    EXPECT_FALSE(fs::exists(dir / (file_stem + "_9.json")));
    // No name in a folder that is not there, nor for a relative or odd base.
    EXPECT_EQ(reserve_report_name(widen(dir.string()) + L"\\missing\\VQ4_Diag_Report_1.txt", L"", true).path, L"");
    EXPECT_EQ(reserve_report_name(widen(dir.string()) + L"\\report.log", L"", true).path, L"");
    fs::remove_all(dir);
}

// The elevated instance writes only into the empty file reserved for it:
// anything else found under that name (bytes, a folder, a link to another
// file) is refused with ERROR_FILE_EXISTS and left as it was. A name the
// first instance could not reserve is created, never replaced.
TEST(ElevatedHandover, TheHandedNameIsOpenedOnlyAsTheEmptyFileReservedForIt) {
    test::machine_file().use();
    const fs::path dir = test::make_temp_dir("handover_open");
    const auto path = [&](const std::string& name) { return widen(dir.string()) + L"\\" + widen(name); };
    const fs::path target = dir / "someone_elses.txt";
    std::ofstream(target) << "keep me";
    std::ofstream(dir / "with_bytes.txt") << "x";
    fs::create_directory(dir / "folder.txt");
    fs::create_symlink(target, dir / "symlink.txt");
    std::ofstream(dir / "hardlinked.txt");
    fs::create_hard_link(dir / "hardlinked.txt", dir / "hardlinked_twin.txt");
    std::ofstream(dir / "reserved.txt");
    std::ofstream(dir / "reserved.json");

    struct Case {
        const char* name;
        bool json;
        std::uint32_t error;
        bool json_reserved;
    };
    const Case cases[] = {
        {"reserved.txt", true, 0, true},
        {"not_reserved.txt", true, 0, false},
        {"with_bytes.txt", false, win::ERROR_FILE_EXISTS_, false},
        {"folder.txt", false, win::ERROR_FILE_EXISTS_, false},
        {"symlink.txt", false, win::ERROR_FILE_EXISTS_, false},
        {"hardlinked.txt", false, win::ERROR_FILE_EXISTS_, false},
    };
    for (const Case& c : cases) {
        const ReportFileOpening opening = open_handed_report_file(path(c.name), c.json);
        EXPECT_EQ(opening.error, c.error) << c.name;
        EXPECT_EQ(opening.path, c.error == 0 ? path(c.name) : L"") << c.name;
        EXPECT_EQ(opening.json_reserved, c.json_reserved) << c.name;
        EXPECT_EQ(report_file_is_open(), c.error == 0) << c.name;
        close_report_file();
    }
    EXPECT_EQ(test::read_file_bytes(target), "keep me");
    EXPECT_EQ(test::read_file_bytes(dir / "with_bytes.txt"), "x");
    fs::remove_all(dir);
}

// The run's own report takes a name only with its JSON partner: a JSON left
// in the folder never blocks this run's JSON and never sits beside its report.
TEST(ElevatedHandover, TheOwnReportMovesPastAJsonLeftInTheFolder) {
    test::machine_file().use();
    const fs::path dir = test::make_temp_dir("handover_own");
    const std::wstring base = widen(dir.string()) + L"\\VQ4_Diag_Report_1.txt";
    std::ofstream(dir / "VQ4_Diag_Report_1.json") << "{\"exit_code\": 0}";
    for (const bool json : {true, false}) {
        const ReportFileOpening opening = open_report_file_with_code(base, json);
        EXPECT_EQ(opening.error, 0u);
        EXPECT_EQ(opening.path, widen(dir.string()) + (json ? L"\\VQ4_Diag_Report_1_2.txt" : L"\\VQ4_Diag_Report_1_3.txt"));
        EXPECT_EQ(opening.json_reserved, json);
        close_report_file();
    }
    EXPECT_TRUE(empty_file(dir / "VQ4_Diag_Report_1_2.json"));
    EXPECT_FALSE(fs::exists(dir / "VQ4_Diag_Report_1_3.json"));
    EXPECT_FALSE(fs::exists(dir / "VQ4_Diag_Report_1.txt"));
    EXPECT_EQ(test::read_file_bytes(dir / "VQ4_Diag_Report_1.json"), "{\"exit_code\": 0}");
    fs::remove_all(dir);
}

TEST(ElevatedHandover, AReportPathIsAcceptedOnlyInTheOwnFolder) {
    struct Case {
        const wchar_t* handed;
        const wchar_t* own_directory;
        bool accepted;
    };
    const Case cases[] = {
        {L"C:\\Tools\\VQ4_Diag_Report_20260304_050607_2.txt", L"C:\\Tools", true},
        {L"c:/tools/vq4_diag_report_20260304_050607_2.TXT", L"C:\\Tools", true},
        {L"C:\\Tools\\VQ4_Diag_Report_20260304_050607_2.txt", L"C:/TOOLS", true},
        {L"/tmp/run\\VQ4_Diag_Report_1.txt", L"/tmp/run", true},
        {L"C:\\Other\\VQ4_Diag_Report_20260304_050607_2.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\..\\Windows\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\Sub\\..\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\.\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\Sub\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\version.dll", L"C:\\Tools", false},
        {L"C:\\Tools\\VQ4_Diag_Report_1.txt:stream", L"C:\\Tools", false},
        {L"C:\\Tools\\VQ4_Diag_Report_1.txt.", L"C:\\Tools", false},
        {L"C:\\Tools\\VQ4_Diag_Report_.txt", L"C:\\Tools", false},
        {L"C:\\Tools\\VQ4_Diag_Report_a.txt", L"C:\\Tools", false},
        {L"C:\\ToolsX\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"\\\\?\\C:\\Tools\\VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L"VQ4_Diag_Report_1.txt", L"C:\\Tools", false},
        {L".\\VQ4_Diag_Report_1.txt", L".", false},
        {L"", L"C:\\Tools", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(accepted_report_path(c.handed, c.own_directory), c.accepted ? std::wstring(c.handed) : L"")
            << sim::narrow(c.handed) << " in " << sim::narrow(c.own_directory);
    }
    const std::wstring too_long = L"C:\\" + std::wstring(230, L'd') + L"\\VQ4_Diag_Report_20260304_050607_2.txt";
    EXPECT_EQ(accepted_report_path(too_long, too_long.substr(0, too_long.rfind(L'\\'))), L"") << "260 characters or more";
}

// An elevated report as the elevated instance writes it.
std::string report_with(const std::string& section7, const std::string& summaries) {
    return "==============================================================\r\n Diagnostic tool - Quorvane Vantro Q4 "
           "(VID_2A7D&PID_5E3C)\r\n==============================================================\r\n\r\n==== 1. System "
           "information ====\r\n[ INFO ] OS: Windows 11 Pro\r\n\r\n==== Summary ====\r\n[ INFO ] 3 test(s) OK, 1 "
           "warning(s), 2 failure(s).\r\n[ FAIL ] Problems were detected (see [FAIL] above). Re-read the detail section "
           "by section to identify the cause.\r\n" +
           section7 + summaries;
}

const std::string kSection7 =
    "\r\n==== 7. Automatic repair (MI_03 interface GUID) ====\r\n[ INFO ] A repairable problem was detected on 1 MI_03 "
    "interface(s): WinUSB is active but the GUID expected by the SDK ({G}) is not registered.\r\n         USB\\A  -  "
    "current GUID(s): (none)\r\n         Repair (stops at the first step that works; administrator rights required):\r\n";
const std::string kOkSummary =
    "\r\n==== 8. Verification after repair ====\r\n[ INFO ] Re-running sections 3 and 5 after the repair.\r\n[  OK  ] "
    "PING\r\n\r\n==== Summary after repair ====\r\n[ INFO ] 5 test(s) OK, 0 warning(s), 0 failure(s).\r\n[  OK  ] "
    "Everything appears to be working correctly.\r\n";
const std::string kAttemptSummary =
    "\r\n==== Summary after repair attempt ====\r\n[ INFO ] 3 test(s) OK, 2 warning(s), 2 failure(s).\r\n[ FAIL ] "
    "Problems were detected (see [FAIL] above). Re-read the detail section by section to identify the cause.\r\n";

TEST(ElevatedHandover, TheElevatedReportGivesTheStepTheSummaryAndThePath) {
    const std::wstring path = L"C:\\T\\VQ4_Diag_Report_1_2.txt";
    const std::wstring ok_summary =
        L"Elevated instance, Summary after repair: 5 test(s) OK, 0 warning(s), 0 failure(s). Everything appears to be "
        L"working correctly.";
    const std::wstring attempt_summary =
        L"Elevated instance, Summary after repair attempt: 3 test(s) OK, 2 warning(s), 2 failure(s). Problems were "
        L"detected (see [FAIL] above). Re-read the detail section by section to identify the cause.";
    const std::wstring first_summary =
        L"Elevated instance, Summary: 3 test(s) OK, 1 warning(s), 2 failure(s). Problems were detected (see [FAIL] "
        L"above). Re-read the detail section by section to identify the cause.";
    const std::wstring path_line = L"Elevated instance's report: " + path;
    struct Case {
        const char* what;
        std::string report;
        std::vector<std::wstring> lines;
    };
    const std::vector<Case> cases = {
        {"step 1 worked",
         report_with(kSection7 + "[ INFO ] Repairing USB\\A (previous GUID(s): (none))\r\n[ INFO ] Step 1/3: remove "
                                 "it\r\n[ INFO ]   -> Removed: USB\\A\r\n[  OK  ]   -> The firmware's interface GUID "
                                 "{G} is registered again on MI_03.\r\n",
                     kOkSummary),
         {L"Elevated instance: the repair of USB\\A worked at step 1/3.", ok_summary, path_line}},
        {"step 3 worked after two failed steps",
         report_with(kSection7 + "[ INFO ] Repairing USB\\A (previous GUID(s): (none))\r\n[ INFO ] Step 1/3: x\r\n"
                                 "[ WARN ]   -> Removal failed for USB\\A (code=5).\r\n[ INFO ] Step 2/3: y\r\n[ INFO ] "
                                 "Step 3/3 (last resort): z\r\n[  OK  ]   -> Interface MI_03 restarted.\r\n[  OK  ]   "
                                 "-> Device interface {G} is now registered on MI_03.\r\n",
                     kOkSummary),
         {L"Elevated instance: the repair of USB\\A worked at step 3/3.", ok_summary, path_line}},
        {"two interfaces, the second one failing",
         report_with(kSection7 + "[ INFO ] Repairing USB\\A (previous GUID(s): (none))\r\n[ INFO ] Step 1/3: x\r\n"
                                 "[  OK  ]   -> The firmware's interface GUID {G} is registered again on MI_03.\r\n"
                                 "[ INFO ] Repairing USB\\B (previous GUID(s): {X})\r\n[ INFO ] Step 1/3: x\r\n[ INFO ] "
                                 "Step 2/3: y\r\n[ WARN ]   -> MI_03 node not found (device unplugged?).\r\n[ WARN ]   "
                                 "-> The MI_03 interface has not come back. Unplug it.\r\n",
                     kAttemptSummary),
         {L"Elevated instance: the repair of USB\\A worked at step 1/3.",
          L"Elevated instance: the repair of USB\\B ended at step 2/3: The MI_03 interface has not come back. Unplug it.",
          attempt_summary, path_line}},
        {"no rights in the elevated instance",
         report_with(kSection7 + "[ FAIL ] Administrator rights could not be obtained: no.\r\n", kAttemptSummary),
         {L"Elevated instance: no repair was made: Administrator rights could not be obtained: no.", attempt_summary,
          path_line}},
        {"nothing left to repair", report_with("", ""),
         {L"Elevated instance: no repairable problem was found.", first_summary, path_line}},
        {"lines ending in LF alone, a character of Latin-1",
         "\n==== 7. Automatic repair (MI_03 interface GUID) ====\n[ INFO ] Repairing USB\\\xC9 (previous GUID(s): "
         "(none))\n[ INFO ] Step 2/3: y\n[ FAIL ]   -> Writing the GUID to the registry failed (code=5).\n\n==== Summary "
         "after repair attempt ====\n[ INFO ] 0 test(s) OK, 0 warning(s), 1 failure(s).\n[ FAIL ] Bad.\n",
         {L"Elevated instance: the repair of USB\\\u00C9 ended at step 2/3: Writing the GUID to the registry failed "
          L"(code=5).",
          L"Elevated instance, Summary after repair attempt: 0 test(s) OK, 0 warning(s), 1 failure(s). Bad.",
          path_line}},
        // An instance that stopped before its summary (or a file that is no report) gives nothing to show.
        {"no summary", report_with(kSection7 + "[ INFO ] Repairing USB\\A (previous GUID(s): (none))\r\n", "").substr(0, 60),
         {}},
        {"a summary cut after its counts",
         report_with("", "").substr(0, report_with("", "").find("[ FAIL ] Problems")), {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(elevated_result_lines(bytes_of(c.report), path), c.lines) << c.what;
}

// The first instance decides from the elevated report whether the repair was
// done (it then verifies it itself) and where its backup went.
TEST(ElevatedHandover, TheElevatedReportSaysWhetherItRepairedAndWhereItsBackupWent) {
    const std::wstring path = L"C:\\T\\VQ4_Diag_Report_1_2.txt";
    const std::string repairing = "[ INFO ] Repairing USB\\A (previous GUID(s): (none))\r\n[ INFO ] Step 2/3: y\r\n";
    const std::string hint =
        "[ INFO ] To undo the registry changes of this repair, run as administrator: reg import "
        "\"C:\\ProgramData\\VQ4_Diag\\Backups\\VQ4_Diag_Backup_1.reg\"\r\n";
    struct Case {
        const char* what;
        std::string report;
        bool repaired;
        std::wstring backup;
    };
    const std::vector<Case> cases = {
        {"repaired, with a backup",
         report_with(kSection7 + repairing + "[  OK  ]   -> The firmware's interface GUID {G} is registered again on "
                                             "MI_03.\r\n" + hint,
                     kOkSummary),
         true, L"C:\\ProgramData\\VQ4_Diag\\Backups\\VQ4_Diag_Backup_1.reg"},
        {"repaired at step 1: no backup", report_with(kSection7 + repairing + "[  OK  ]   -> ok\r\n", kOkSummary), true,
         L""},
        {"not repaired, the backup named all the same",
         report_with(kSection7 + repairing + "[ FAIL ]   -> Writing failed (code=5).\r\n" + hint, kAttemptSummary),
         false, L"C:\\ProgramData\\VQ4_Diag\\Backups\\VQ4_Diag_Backup_1.reg"},
        {"nothing to repair", report_with("", ""), false, L""},
        {"a hint without its closing quote names nothing",
         report_with(kSection7 + repairing + hint.substr(0, hint.size() - 3) + "\r\n", kOkSummary), true, L""},
        {"no summary: nothing is known", kSection7 + repairing + hint, false, L""},
    };
    for (const Case& c : cases) {
        const ElevatedReportResult result = read_elevated_result(bytes_of(c.report), path);
        EXPECT_EQ(result.repaired, c.repaired) << c.what;
        EXPECT_EQ(result.lines, elevated_result_lines(bytes_of(c.report), path)) << c.what;
        if (!result.lines.empty()) {
            EXPECT_EQ(result.backup_path, c.backup) << c.what;
        }
    }
}

// Any folder name arrives whole: the C runtime's splitting gives back what
// quoted_argument quoted (backslashes literal unless a quote follows them).
TEST(ElevatedHandover, AnArgumentIsQuotedSoThatItArrivesWhole) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"/report:C:\\My Tools\\VQ4_Diag_Report_1.txt", L"\"/report:C:\\My Tools\\VQ4_Diag_Report_1.txt\""},
        {L"/report:D:\\\u0418\u043d\u0441\u0442 \u6f22\u5b57 \uff02q\uff02\\r.txt",
         L"\"/report:D:\\\u0418\u043d\u0441\u0442 \u6f22\u5b57 \uff02q\uff02\\r.txt\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"ends\\", L"\"ends\\\\\""},
        {L"", L"\"\""},
    };
    for (const auto& [argument, quoted] : cases) EXPECT_EQ(quoted_argument(argument), quoted) << sim::narrow(argument);
}

// The elevated instance takes only a braced GUID, exactly.
TEST(ElevatedHandover, TheHandedGuidIsTakenOnlyAsABracedGuid) {
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}"},
        {L"{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}", L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}"},
        {L"C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", L""},
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B75}", L""},
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}x", L""},
        {L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B7G2}", L""},
        {L"{C47D2A1-95E80-4B3F-9A26-81D0E4F3B752}", L""},
        {L"", L""},
    };
    for (const auto& [handed, accepted] : cases) EXPECT_EQ(accepted_expected_guid(handed), accepted) << sim::narrow(handed);
    EXPECT_EQ(relaunch_parameters(L"C:\\T\\VQ4_Diag_Report_1.txt", true, false, L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}"),
              L"/fix /elevated \"/report:C:\\T\\VQ4_Diag_Report_1.txt\" /nopause /guid:{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}");
}

}  // namespace
}  // namespace vq4
