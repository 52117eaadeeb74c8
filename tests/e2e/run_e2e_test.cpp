// The real Linux binary on machine files: report bytes, console and exit code.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "support/report_check.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

const std::string kBanner =
    "==============================================================\n"
    " Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n"
    "==============================================================\n";

std::string repeat(const std::string& text, std::size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// The text as it is: malformed machine files too.
fs::path write_machine(const fs::path& dir, const std::string& json) {
    const fs::path file = dir / "machine.json";
    std::ofstream(file, std::ios::binary) << json;
    return file;
}

fs::path write_machine(const fs::path& dir, const test::MachineFile& machine) {
    return write_machine(dir, machine.text());
}

// A machine whose executable is `module` (so the report lands beside it).
test::MachineFile machine_at(const fs::path& module) { return test::machine_file().set("module_path", module.string()); }

TEST(EndToEnd, ReportFileNextToTheModuleWithExactBytes) {
    const fs::path dir = test::make_temp_dir("e2e");
    const fs::path machine =
        write_machine(dir, machine_at(dir / "VQ4_Diag")
                               .set("local_time", "2026-12-10 09:08:07")
                               .key(L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                    {test::reg_sz(L"ProductName", L"Windows 10 Pro"), test::reg_sz(L"DisplayVersion", L"22H2"),
                                     test::reg_sz(L"CurrentBuildNumber", L"19045")}));

    const test::RunResult run = test::run_tool(machine, {"/nopause"});
    const fs::path report = dir / "VQ4_Diag_Report_20261210_090807.txt";
    ASSERT_TRUE(fs::exists(report)) << run.stdout_text << run.stderr_text;
    const std::string text = test::read_file_bytes(report);

    EXPECT_EQ(text, test::crlf(kBanner +
                               "\n==== 1. System information ====\n"
                               "[ INFO ] OS: Windows 10 Pro (version 22H2, build 19045)\n"
                               "[ INFO ] System architecture: x64\n"
                               "[ INFO ] This diagnostic tool was built as: x64\n"
                               "\n==== 2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4) ====\n"
                               "[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not "
                               "seem to be plugged in (check the cable, the USB port, or that the device is powered "
                               "on).\n"
                               "\n==== 3. Low-level vendor-specific interface (WinUSB, UCR protocol) ====\n"
                               "[ WARN ] Interface MI_03 (vendor-specific) was not found in the USB enumeration: "
                               "low-level communication test skipped.\n"
                               "\n==== 4. SDK registry / DLL registration (Quorvane Tonvela API) ====\n"
                               "[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by "
                               "applications running as 64-bit view.\n"
                               "[ WARN ] CLSID registry key missing (32-bit view / WOW6432Node): the SDK will not be "
                               "found by applications running as 32-bit view / WOW6432Node.\n"
                               "\n==== 5. Functional SDK test (load + real communication) ====\n"
                               "[ FAIL ] Unable to find the SDK's CLSID key (view matching this process): functional "
                               "test cancelled.\n"
                               "\n==== 6. Related applications / processes / services (dynamic search) ====\n"
                               "[ INFO ] No application, process or Windows service whose name contains 'Quorvane', "
                               "'Vantro' or 'QTV' was found. This is normal if only the SDK is installed without the "
                               "full Tonvela application, or if the application is not currently running.\n"
                               "\n==== Summary ====\n"
                               "[ INFO ] 0 test(s) OK, 2 warning(s), 3 failure(s).\n"
                               "[ FAIL ] Problems were detected (see [FAIL] above). Re-read the detail section by "
                               "section to identify the cause.\n"));
    // No device and no SDK on this machine: Fail lines set the exit code.
    EXPECT_EQ(run.exit_code, 1);

    // The console names the file actually written and does not pause with /nopause.
    EXPECT_NE(run.stdout_text.find("\nReport saved to:\n  " + dir.string() + "\\VQ4_Diag_Report_20261210_090807.txt\n"),
              std::string::npos)
        << run.stdout_text;
    EXPECT_EQ(run.stdout_text.find("Press Enter"), std::string::npos);
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;

    // A second run in the same second keeps the first report and writes _2.
    const test::RunResult again = test::run_tool(machine, {"/nopause"});
    EXPECT_EQ(test::read_file_bytes(report), text);
    EXPECT_TRUE(fs::exists(dir / "VQ4_Diag_Report_20261210_090807_2.txt"));
    EXPECT_NE(again.stdout_text.find("VQ4_Diag_Report_20261210_090807_2.txt"), std::string::npos);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

TEST(EndToEnd, PausesForEnterWithoutNopause) {
    const fs::path dir = test::make_temp_dir("e2e_pause");
    const fs::path machine = write_machine(dir, machine_at(dir / "VQ4_Diag"));
    const test::RunResult run = test::run_tool(machine, {}, "\n");
    EXPECT_NE(run.stdout_text.find("\nPress Enter to close..."), std::string::npos);
    EXPECT_EQ(run.exit_code, 1) << "no device and no SDK: Fail lines in sections 2, 4 and 5";
    fs::remove_all(dir);
}

TEST(EndToEnd, MalformedMachineFileGetsOneClearErrorAndNoReport) {
    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{\n  \"elevated\": tru\n}", "line 2, column"},
        {R"({"devices": [{"instance_id": "USB\\X", "status": -1}]})", "at /devices/0/status: expected a non-negative integer"},
        {R"({"registry": [{"key": "HKLM\\X", "values": [{"name": "a", "type": "REG_WHAT", "data": 1}]}]})",
         "at /registry/0/values/0/type: unknown registry type"},
        {R"({"colour": 1})", "unknown entry \"colour\""},
        {R"({"devices": [{"instance_id": "A", "parent": "B"}]})", "at /devices/0/parent: no device has this instance id"},
        // Crafted key paths: one that once overflowed the stack (a call per
        // name), one that once took 1.6 GB; Windows' limits refuse both.
        {R"({"registry": [{"key": "HKLM)" + repeat("\\\\a", 300000) + R"("}]})",
         "at /registry/0/key: a key path is at most 512 levels deep"},
        {R"({"registry": [{"key": "HKLM)" + repeat("\\\\a", 20000) + R"(", "values": []}]})",
         "at /registry/0/key: a key path is at most 512 levels deep"},
        {R"({"registry": [{"key": "HKLM)" + repeat("\\\\a", 513) + R"("}]})",
         "at /registry/0/key: a key path is at most 512 levels deep"},
        {R"({"registry": [{"key": "HKLM\\SOFTWARE\\)" + std::string(256, 'k') + R"("}]})",
         "at /registry/0/key: a key name has at most 255 characters"},
        {R"({"registry": [{"key": "HKCR\\CLSID\\\\X"}]})", "at /registry/0/key: a key path has no empty name"},
        {R"({"registry": [{"key": "HKLM\\SOFTWARE\\"}]})", "at /registry/0/key: a key path has no empty name"},
        // Hexadecimal digits only: strtoull took a sign and leading blanks.
        {R"({"native_architecture": "0x-1"})", "at /native_architecture: expected hexadecimal digits after \"0x\""},
        {R"({"native_architecture": "0x 9"})", "at /native_architecture: expected hexadecimal digits after \"0x\""},
        {R"({"native_architecture": "0x+9"})", "at /native_architecture: expected hexadecimal digits after \"0x\""},
        {R"({"native_architecture": "0x9 "})", "at /native_architecture: expected hexadecimal digits after \"0x\""},
        {R"({"native_architecture": "0x0x9"})", "at /native_architecture: expected hexadecimal digits after \"0x\""},
        {R"({"devices": [{"instance_id": "X\\1", "problem": "0x10000000000000000"}]})",
         "at /devices/0/problem: number does not fit 64 bits"},
    };
    for (const Case& c : cases) {
        const fs::path dir = test::make_temp_dir("e2e_bad");
        const fs::path machine = write_machine(dir, c.json);
        const test::RunResult run = test::run_tool(machine, {"/nopause"});
        EXPECT_EQ(run.exit_code, 2);
        EXPECT_NE(run.stderr_text.find("machine file '" + machine.string() + "'"), std::string::npos) << run.stderr_text;
        EXPECT_NE(run.stderr_text.find(c.message), std::string::npos) << run.stderr_text;
        EXPECT_EQ(std::count(run.stderr_text.begin(), run.stderr_text.end(), '\n'), 1) << run.stderr_text;
        EXPECT_TRUE(run.stdout_text.empty()) << "no report on the console";
        EXPECT_TRUE(test::files_with_prefix(dir, "VQ4_Diag_Report_").empty());
        fs::remove_all(dir);
    }
    const test::RunResult missing = test::run_tool("/nonexistent/machine.json", {"/nopause"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_NE(missing.stderr_text.find("cannot be opened"), std::string::npos);
}

// What VQ4_DIAG_MACHINE names may be no file at all: a folder (which the
// stream reader took for an endless file), a device that never ends, a FIFO
// nobody writes to (an open that would wait for ever), or a file beyond the
// size a machine file may have.
TEST(EndToEnd, MachineFileThatIsNoFileOrTooLargeGetsOneClearError) {
    const fs::path dir = test::make_temp_dir("e2e_no_file");
    const fs::path fifo = dir / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path large = dir / "large.json";
    std::ofstream(large, std::ios::binary) << "{}";
    fs::resize_file(large, 64ull * 1024 * 1024 + 1);  // sparse: nothing is written
    const fs::path at_cap = dir / "at_cap.json";
    std::ofstream(at_cap, std::ios::binary) << "{}";
    fs::resize_file(at_cap, 64ull * 1024 * 1024);  // NUL bytes after the JSON: read, then refused as text

    const std::pair<fs::path, std::string> cases[] = {
        {dir, "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {large, "larger than the 67108864 bytes (64 MiB) a machine file may have"},
        {at_cap, "line 1, column 3: unexpected text after the JSON value"},
    };
    for (const auto& [machine, message] : cases) {
        const test::RunResult run = test::run_tool(machine, {"/nopause"});
        EXPECT_EQ(run.exit_code, 2) << machine;
        EXPECT_EQ(run.stderr_text, "VQ4_Diag: machine file '" + machine.string() + "': " + message + "\n");
        EXPECT_TRUE(run.stdout_text.empty()) << "no report on the console";
    }
    fs::remove_all(dir);
}

TEST(EndToEnd, BuiltInDefaultMachineRuns) {
    const test::RunResult run = test::run_tool("", {"/nopause", "/nofix"});
    EXPECT_NE(run.stdout_text.find(" Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n"), std::string::npos);
    EXPECT_NE(run.stdout_text.find("[ INFO ] OS: Windows 11 Pro (version 23H2, build 22631)\n"), std::string::npos);
    EXPECT_TRUE(run.exit_code == 0 || run.exit_code == 1);
    // Leave nothing behind next to the binary.
    const auto line = run.stdout_text.find("Report saved to:\n  ");
    ASSERT_NE(line, std::string::npos);
    std::string path = run.stdout_text.substr(line + 19);
    path = path.substr(0, path.find('\n'));
    std::replace(path.begin(), path.end(), '\\', '/');
    EXPECT_TRUE(fs::exists(path)) << path;
    fs::remove(path);
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

TEST(EndToEnd, UsageAndNothingElse) {
    for (const char* option : {"/?", "-h", "--help"}) {
        const fs::path dir = test::make_temp_dir("e2e_usage");
        const fs::path machine = write_machine(dir, machine_at(dir / "VQ4_Diag"));
        // No /nopause and no input: the usage never waits for Enter.
        const test::RunResult run = test::run_tool(machine, {"/fix", option});
        EXPECT_EQ(run.exit_code, 0) << option;
        EXPECT_TRUE(run.stdout_text.rfind("VQ4_Diag - diagnostic and repair of the Quorvane Vantro Q4", 0) == 0)
            << option << run.stdout_text;
        for (const char* part : {"Usage: VQ4_Diag [/nopause] [/fix] [/nofix]", "/nopause", "/nofix", "Exit code: 0",
                                 "VQ4_Diag_Report_YYYYMMDD_hhmmss.txt next to the executable"}) {
            EXPECT_NE(run.stdout_text.find(part), std::string::npos) << option << ": " << part;
        }
        EXPECT_EQ(run.stdout_text.find("Diagnostic tool - Quorvane"), std::string::npos) << option << ": no diagnostic";
        EXPECT_EQ(run.stdout_text.find("Press Enter to close..."), std::string::npos) << option;
        EXPECT_TRUE(test::files_with_prefix(dir, "VQ4_Diag_Report_").empty()) << option << ": no report";
        EXPECT_TRUE(run.stderr_text.empty()) << option;
        fs::remove_all(dir);
    }
}

TEST(EndToEnd, AReportThatCouldNotBeSavedIsNotCalledSaved) {
    // The executable's folder is not there: the report cannot be created.
    const fs::path dir = test::make_temp_dir("e2e_unsaved");
    const fs::path machine =
        write_machine(dir, machine_at(dir / "missing" / "VQ4_Diag").set("local_time", "2026-12-10 09:08:07"));
    const test::RunResult run = test::run_tool(machine, {"/nopause"});
    EXPECT_EQ(run.stdout_text.find("Report saved to:"), std::string::npos);
    const std::string closing = "\nThe report could not be saved (error code=3): " + (dir / "missing").string() +
                                "\\VQ4_Diag_Report_20261210_090807.txt\n";
    ASSERT_GE(run.stdout_text.size(), closing.size());
    EXPECT_EQ(run.stdout_text.substr(run.stdout_text.size() - closing.size()), closing);
    // The report itself is whole on the console.
    std::string report, named;
    ASSERT_TRUE(test::console_as_report(run.stdout_text, report, named));
    EXPECT_TRUE(report.rfind(test::crlf(kBanner), 0) == 0);
    EXPECT_EQ(run.exit_code, 1);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

// A machine file comes from a stranger: its module_path and
// current_directory do not choose where a replay writes. The report, the
// JSON and the capture go into the current directory, or the folder
// VQ4_DIAG_OUTPUT_DIR names; the registry backup into that folder's
// simulated ProgramData.
TEST(EndToEnd, AReplayWritesWhereTheDeskSaysWhateverTheMachineFileSays) {
    const fs::path elsewhere = fs::canonical(test::make_temp_dir("e2e_elsewhere"));
    const fs::path desk = fs::canonical(test::make_temp_dir("e2e_desk"));
    const fs::path chosen = fs::canonical(test::make_temp_dir("e2e_chosen"));
    const fs::path files = test::make_temp_dir("e2e_files");
    // An elevated machine whose repair deletes the descriptor cache: a backup first.
    nlohmann::json document =
        nlohmann::json::parse(test::read_file_bytes(fs::path(VQ4_SOURCE_DIR) / "machines" / "repair-step2-works.json"));
    document["module_path"] = (elsewhere / "VQ4_Diag").string();
    document["current_directory"] = elsewhere.string();
    document["local_time"] = "2026-12-10 09:08:07";
    const fs::path machine = write_machine(files, document.dump(2));
    // Not the tests' way: the machine's paths are not trusted.
    const test::Environment replay = {{"VQ4_DIAG_TEST_MACHINE_PATHS", ""}};

    const test::RunResult repaired = test::run_tool(machine, {"/nopause", "/fix", "/json"}, "", replay, {}, desk);
    EXPECT_TRUE(repaired.stderr_text.empty()) << repaired.stderr_text;
    const std::string stamp = "_20261210_090807";
    EXPECT_TRUE(fs::exists(desk / ("VQ4_Diag_Report" + stamp + ".txt"))) << repaired.stdout_text;
    EXPECT_TRUE(fs::exists(desk / ("VQ4_Diag_Report" + stamp + ".json")));
    // The backup goes where only administrators write: the simulated
    // C:\ProgramData, which a replay keeps inside the desk's folder too.
    EXPECT_EQ(test::files_with_prefix(desk / "ProgramData" / "VQ4_Diag" / "Backups", "VQ4_Diag_Backup_").size(), 1u);
    EXPECT_EQ(test::files_with_prefix(desk, "VQ4_Diag_Backup_").size(), 0u);
    EXPECT_NE(repaired.stdout_text.find("Report saved to:\n  " + desk.string() + "\\VQ4_Diag_Report" + stamp + ".txt\n"),
              std::string::npos)
        << repaired.stdout_text;

    test::Environment to_chosen = replay;
    to_chosen.push_back({"VQ4_DIAG_OUTPUT_DIR", chosen.string()});
    const test::RunResult captured = test::run_tool(machine, {"/nopause", "/capture"}, "", to_chosen, {}, desk);
    EXPECT_TRUE(captured.stderr_text.empty()) << captured.stderr_text;
    EXPECT_EQ(test::files_with_prefix(chosen, "VQ4_Diag_Report_").size(), 1u);
    EXPECT_EQ(test::files_with_prefix(chosen, "VQ4_Diag_Machine_").size(), 1u);
    EXPECT_EQ(test::files_with_prefix(desk, "VQ4_Diag_Machine_").size(), 0u);

    // The folder the machine file named got nothing.
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // A folder that is not there: no run, one line.
    test::Environment to_nowhere = replay;
    to_nowhere.push_back({"VQ4_DIAG_OUTPUT_DIR", (files / "missing").string()});
    const test::RunResult refused = test::run_tool(machine, {"/nopause"}, "", to_nowhere, {}, desk);
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.stderr_text, "VQ4_Diag: VQ4_DIAG_OUTPUT_DIR '" + (files / "missing").string() + "' is not a folder\n");
    EXPECT_TRUE(refused.stdout_text.empty());

    for (const fs::path& dir : {elsewhere, desk, chosen, files}) fs::remove_all(dir);
}

}  // namespace
}  // namespace vq4
