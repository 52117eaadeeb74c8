// The real Linux binary repairing: consent, the elevated relaunch as a real
// second process on the same machine file with a console of its own, the
// hand-over of its report to the first instance, the in-place repair and the
// run driver's section 8 and second summaries.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "support/repair_support.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::fail;
using test::info;
using test::kExpectedGuid;
using test::kMi03;
using test::ok;

const std::string kIntro = test::section7_intro({{kMi03, "(none)"}});
const std::string kSection7 = "7. Automatic repair (MI_03 interface GUID)";
const std::string kRelaunching = info(
    "Administrator rights are needed: relaunching the tool elevated (accept the Windows UAC prompt). The elevated window "
    "applies the repair, checks the result and saves its own report next to this executable.");
const std::string kRefused = fail(
    "Elevation refused or failed: no change was made. Re-run the tool with 'Run as administrator' to apply the repair.");
// Started, but its end could not be learnt: it may well have repaired.
const std::string kExitUnknown = fail(
    "The elevated instance was started, but its exit code could not be obtained: it may have changed the system. See "
    "its report for the details.");
const std::string kDeclined = info("Repair declined by the user. No change was made.");
const std::string kRunWithFix = info("Run this tool again with /fix to apply the repair.");
const std::string kNotElevatedAgain =
    "Administrator rights could not be obtained: this instance was relaunched to get them and is still not elevated. "
    "No change was made.";
const std::string kStep1Repair =
    info("Repairing " + kMi03 + " (previous GUID(s): (none))") +
    info("Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the firmware descriptor; audio is not "
         "interrupted).") +
    info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected.") +
    ok("  -> The firmware's interface GUID " + kExpectedGuid + " is registered again on MI_03.");
const std::string kVerification =
    test::header("8. Verification after repair") + info("Re-running sections 3 and 5 after the repair.");
const std::string kOkVerdict = "Everything appears to be working correctly.";
const std::string kFailVerdict =
    "Problems were detected (see [FAIL] above). Re-read the detail section by section to identify the cause.";
const std::string kFirstReportName = "VQ4_Diag_Report_20260304_050607.txt";
const std::string kElevatedReportName = "VQ4_Diag_Report_20260304_050607_2.txt";

std::string finished(int code) {
    return info("The elevated instance has finished (exit code " + std::to_string(code) +
                ", 0 = no failure left). See its report for the details.");
}

struct MachineDir {
    fs::path dir;
    fs::path machine;
    fs::path elevated_console;  // the elevated instance's own console window
};

// A machine file from machines/, writing its reports into a fresh folder at a
// fixed time: the first instance's report is ..._050607.txt, the elevated
// instance's (beside it, under the next free name) ..._050607_2.txt.
MachineDir prepare(const std::string& name, const std::function<void(json&)>& change = {}) {
    MachineDir s;
    s.dir = test::make_temp_dir("repair_e2e");
    s.machine = s.dir / "machine.json";
    s.elevated_console = s.dir / "elevated_console.txt";
    std::ofstream(s.machine, std::ios::binary) << test::machine_text(name, [&](json& m) {
        m["module_path"] = (s.dir / "VQ4_Diag").string();
        m["local_time"] = "2026-03-04 05:06:07";
        if (change) change(m);
    });
    return s;
}

test::Environment elevated_window(const MachineDir& s) {
    return {{"VQ4_DIAG_ELEVATED_CONSOLE", s.elevated_console.string()}};
}

std::string first_report(const MachineDir& s) { return test::read_file_bytes(s.dir / kFirstReportName); }
std::string elevated_report(const MachineDir& s) { return test::read_file_bytes(s.dir / kElevatedReportName); }
// The elevated report's path as the tool writes it: its folder, a backslash, the name.
std::string elevated_report_path(const MachineDir& s) { return s.dir.string() + "\\" + kElevatedReportName; }

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The exit code the driver owes a report by its own Fail lines: 1 while Fail
// lines are counted (since section 8's reset when there is one).
int exit_code_for(const std::string& report) {
    const std::size_t reset = report.find("\r\n==== 8. Verification after repair ====");
    return count(reset == std::string::npos ? report : report.substr(reset), "\r\n[ FAIL ]") > 0 ? 1 : 0;
}

// The backup file a report names ("Registry backup written: "), as the
// report gives it; empty when it names none.
std::string backup_named_in(const std::string& report) {
    const std::string marker = "  -> Registry backup written: ";
    const std::size_t at = report.find(marker);
    if (at == std::string::npos) return {};
    const std::size_t start = at + marker.size();
    return report.substr(start, report.find("\r\n", start) - start);
}

// A path the tool printed as a host path; the simulated C:\ProgramData is the
// folder "ProgramData" beside the executable in `dir`.
fs::path host_path_of(std::string path, const fs::path& dir = {}) {
    const std::string program_data = "C:\\ProgramData\\";
    if (path.compare(0, program_data.size(), program_data) == 0) path = (dir / "ProgramData").string() + "/" + path.substr(program_data.size());
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// The "Report saved to:" paths on a console, in order, as host paths.
std::vector<fs::path> saved_reports(const std::string& console) {
    std::vector<fs::path> paths;
    const std::string marker = "Report saved to:\n  ";
    for (std::size_t at = console.find(marker); at != std::string::npos; at = console.find(marker, at + 1)) {
        std::string path = console.substr(at + marker.size());
        path = path.substr(0, path.find('\n'));
        std::replace(path.begin(), path.end(), '\\', '/');
        paths.emplace_back(path);
    }
    return paths;
}

// The last summary of a report as the first instance quotes it: its title,
// its counts line and its verdict line.
std::string quoted_summary(const std::string& report) {
    const std::size_t at = report.rfind("\r\n==== Summary");
    if (at == std::string::npos) return "(no summary)";
    std::size_t line_start = at + 2;
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = report.find("\r\n", line_start);
        lines.push_back(report.substr(line_start, end - line_start));
        line_start = end + 2;
    }
    const std::string title = lines[0].substr(5, lines[0].size() - 10);  // "==== " title " ===="
    return title + ": " + lines[1].substr(9) + " " + lines[2].substr(9);
}

// What the first instance shows of the elevated report under section 7.
std::string elevated_result(const std::string& ending, const std::string& elevated, const std::string& path) {
    return info("Elevated instance: " + ending) + info("Elevated instance, " + quoted_summary(elevated)) +
           info("Elevated instance's report: " + path);
}

std::string worked(const std::string& step) { return "the repair of " + kMi03 + " worked at step " + step + "."; }

TEST(RepairEndToEnd, BuiltInMachineReportsThePlanAndHintsAtFix) {
    const test::RunResult run = test::run_tool("", {"/nopause"});
    const std::vector<fs::path> reports = saved_reports(run.stdout_text);
    ASSERT_EQ(reports.size(), 1u) << run.stdout_text;
    const std::string report = test::read_file_bytes(reports[0]);
    fs::remove(reports[0]);
    EXPECT_EQ(test::section_block(report, kSection7), kIntro + kRunWithFix);
    EXPECT_EQ(report.find("==== Summary after repair"), std::string::npos);
    EXPECT_EQ(run.exit_code, exit_code_for(report));
    EXPECT_EQ(run.stdout_text.find("Apply the repair now?"), std::string::npos);
}

TEST(RepairEndToEnd, BuiltInMachineWithFixShowsTheElevatedResultInTheFirstWindow) {
    // The built-in machine (no machine file), with the binary copied into a
    // folder of its own so that both reports land there.
    const fs::path dir = test::make_temp_dir("repair_builtin");
    const fs::path binary = dir / "VQ4_Diag";
    fs::copy_file(VQ4_DIAG_BINARY, binary);
    const fs::path elevated_console = dir / "elevated_console.txt";
    const test::RunResult run =
        test::run_tool("", {"/fix", "/nopause"}, "", {{"VQ4_DIAG_ELEVATED_CONSOLE", elevated_console.string()}}, binary);
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;

    // The first window: one run, its own closing message, no pause.
    const std::vector<fs::path> first_reports = saved_reports(run.stdout_text);
    ASSERT_EQ(first_reports.size(), 1u) << run.stdout_text;
    EXPECT_EQ(count(run.stdout_text, " Diagnostic tool - Quorvane Vantro Q4"), 1u) << "one banner: its own";
    EXPECT_EQ(run.stdout_text.find("Press Enter"), std::string::npos);
    const std::string first = test::read_file_bytes(first_reports[0]);

    // The elevated window: its own console, ending with its own closing message and no pause.
    const std::string console = test::read_file_bytes(elevated_console);
    const std::vector<fs::path> elevated_reports = saved_reports(console);
    ASSERT_EQ(elevated_reports.size(), 1u) << console;
    EXPECT_EQ(elevated_reports[0].parent_path(), first_reports[0].parent_path()) << "beside the first report";
    const std::string first_name = first_reports[0].filename().string();
    EXPECT_EQ(elevated_reports[0].filename().string(), first_name.substr(0, first_name.size() - 4) + "_2.txt");
    EXPECT_EQ(count(console, " Diagnostic tool - Quorvane Vantro Q4"), 1u);
    EXPECT_EQ(console.find("Press Enter"), std::string::npos) << "/nopause is passed on";
    EXPECT_EQ(console.substr(console.size() - 1), "\n") << "the closing message is the console's last line";
    const std::string elevated = test::read_file_bytes(elevated_reports[0]);
    // The elevated instance backs up what it changes.
    const std::string backup = backup_named_in(elevated);
    ASSERT_FALSE(backup.empty());
    // The elevated instance backs it up where only administrators can write.
    EXPECT_EQ(backup.rfind("C:\\ProgramData\\VQ4_Diag\\Backups\\", 0), 0u) << backup;
    EXPECT_TRUE(fs::exists(host_path_of(backup, elevated_reports[0].parent_path())));

    const std::string fix_steps =
        info("Repairing " + kMi03 + " (previous GUID(s): (none))") +
        info("Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the firmware descriptor; audio is "
             "not interrupted).") +
        info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected.") +
        info("Step 2/3: remove the whole Vantro Q4 (all interfaces) and its USB descriptor cache, then re-detect it "
             "(audio is interrupted for a few seconds).") +
        info("  -> Removed: " + test::kMi00) + info("  -> Removed: " + test::kMi01) + info("  -> Removed: " + kMi03) +
        info("  -> Removed: " + test::kComposite) + info("  -> Registry backup written: " + backup) +
        info("  -> USB descriptor cache deleted: HKLM\\" + test::kCacheKey) + info("  -> Hardware re-detected.") +
        info("Step 3/3 (last resort): the firmware descriptor still provides no GUID; writing it manually.") +
        info("  -> Registry backup written: " + backup) +
        ok("  -> GUID " + kExpectedGuid + " written to 'Device Parameters' (DeviceInterfaceGUIDs).") +
        ok("  -> Interface MI_03 restarted.") +
        ok("  -> Device interface " + kExpectedGuid + " is now registered on MI_03.") +
        info("To undo the registry changes of this repair, run as administrator: reg import \"" + backup + "\"");
    EXPECT_EQ(test::section_block(elevated, kSection7), kIntro + fix_steps);
    EXPECT_EQ(test::section_block(elevated, "8. Verification after repair"), kVerification);
    ASSERT_NE(elevated.find("\r\n==== Summary after repair ====\r\n"), std::string::npos);
    EXPECT_NE(elevated.find(ok(kOkVerdict)), std::string::npos) << "the repaired machine passes the verification";
    EXPECT_EQ(exit_code_for(elevated), 0);

    // The first window shows the step that worked, the verification's summary and the elevated report.
    std::string elevated_path = dir.string() + "\\" + elevated_reports[0].filename().string();
    EXPECT_EQ(test::section_block(first, kSection7),
              kIntro + kRelaunching + finished(0) + elevated_result(worked("3/3"), elevated, elevated_path));
    EXPECT_NE(quoted_summary(elevated).find("Summary after repair: "), std::string::npos);
    // Then the first window verifies the repair itself, as the user: its
    // section 8 and "Summary after repair" give its exit code.
    EXPECT_EQ(test::section_block(first, "8. Verification after repair"),
              test::section_block(elevated, "8. Verification after repair"));
    EXPECT_EQ(quoted_summary(first), quoted_summary(elevated)) << "the same repaired machine";
    EXPECT_NE(first.find(ok(kOkVerdict)), std::string::npos);
    EXPECT_EQ(exit_code_for(first), 0);
    EXPECT_EQ(run.exit_code, 0);
    fs::remove_all(dir);
}

TEST(RepairEndToEnd, WithoutNopauseTheElevatedWindowPausesOnItsOwnInput) {
    const MachineDir s = prepare("repair-step1-works", [](json& m) { m["elevated"] = false; });
    // What the user types into the elevated window: nothing until the test writes it.
    const fs::path input = s.dir / "elevated_input";
    ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
    const int typing = ::open(input.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(typing, 0);
    const fs::path stdin_file = s.dir / "stdin.txt";
    const fs::path stdout_file = s.dir / "stdout.txt";
    std::ofstream(stdin_file, std::ios::binary) << "\n";  // the first instance's own pause

    const pid_t first = ::fork();
    if (first == 0) {
        std::freopen(stdin_file.c_str(), "rb", stdin);
        std::freopen(stdout_file.c_str(), "wb", stdout);
        ::setenv("VQ4_DIAG_MACHINE", s.machine.c_str(), 1);
        ::setenv("VQ4_DIAG_TEST_MACHINE_PATHS", "1", 1);
        ::setenv("VQ4_DIAG_ELEVATED_CONSOLE", s.elevated_console.c_str(), 1);
        ::setenv("VQ4_DIAG_ELEVATED_INPUT", input.c_str(), 1);
        std::string binary = VQ4_DIAG_BINARY;
        std::string fix = "/fix";
        char* argv[] = {binary.data(), fix.data(), nullptr};
        ::execv(binary.c_str(), argv);
        std::_Exit(127);
    }
    // The elevated instance asks for Enter in its own window; until it gets
    // it, the first instance waits for it.
    bool first_ended_early = false;
    int status = 0;
    while (test::read_file_bytes(s.elevated_console).find("\nPress Enter to close...") == std::string::npos) {
        if (::waitpid(first, &status, WNOHANG) == first) {
            first_ended_early = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_FALSE(first_ended_early) << test::read_file_bytes(stdout_file) << test::read_file_bytes(s.elevated_console);
    EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0) << "the first instance waits for the paused elevated instance";
    EXPECT_EQ(test::read_file_bytes(stdout_file).find("The elevated instance has finished"), std::string::npos);

    ASSERT_EQ(::write(typing, "\n", 1), 1);
    ::close(typing);
    ASSERT_EQ(::waitpid(first, &status, 0), first);
    ASSERT_TRUE(WIFEXITED(status));

    const std::string console = test::read_file_bytes(stdout_file);
    const std::string elevated_console = test::read_file_bytes(s.elevated_console);
    EXPECT_EQ(elevated_console.substr(elevated_console.size() - 24), "\nPress Enter to close...");
    EXPECT_EQ(count(elevated_console, "Press Enter"), 1u);
    EXPECT_EQ(count(console, "Press Enter"), 1u) << "the first window pauses once, for itself";
    EXPECT_LT(console.find("The elevated instance has finished"), console.find("Press Enter"));
    EXPECT_EQ(test::section_block(first_report(s), kSection7),
              kIntro + kRelaunching + finished(0) +
                  elevated_result(worked("1/3"), elevated_report(s), elevated_report_path(s)));
    EXPECT_NE(first_report(s).find("\r\n==== Summary after repair ====\r\n"), std::string::npos);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    fs::remove_all(s.dir);
}

TEST(RepairEndToEnd, ConsentIsTheFirstCharacterYOrO) {
    struct Case {
        std::string input;
        bool consent;
    };
    const std::vector<Case> cases = {
        {"Y\n", true},  {"y\n", true},  {"O\n", true},   {"o\n", true},  {"yes please\n", true}, {"Oui\r\n", true},
        {"N\n", false}, {"n\n", false}, {"\n", false},   {" Y\n", false}, {"1\n", false},       {"", false},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare("repair-step1-works", [](json& m) { m["elevated"] = false; });
        // The answer, then the first instance's own pause; the elevated
        // instance pauses in its own window (nothing typed there).
        const test::RunResult run = test::run_tool(s.machine, {}, c.input + "\n", elevated_window(s));
        const std::string report = first_report(s);
        EXPECT_NE(run.stdout_text.find("\nApply the repair now? [Y/N] "), std::string::npos) << c.input;
        EXPECT_EQ(report.find("Apply the repair"), std::string::npos) << "the question is not reported";
        if (c.consent) {
            const std::string elevated = elevated_report(s);
            EXPECT_EQ(test::section_block(report, kSection7),
                      kIntro + kRelaunching + finished(0) +
                          elevated_result(worked("1/3"), elevated, elevated_report_path(s)))
                << c.input;
            EXPECT_EQ(test::section_block(elevated, kSection7), kIntro + kStep1Repair) << c.input;
            EXPECT_EQ(count(run.stdout_text, "Apply the repair now?"), 1u);
            EXPECT_EQ(test::read_file_bytes(s.elevated_console).find("Apply the repair now?"), std::string::npos)
                << "the elevated instance does not ask";
            EXPECT_NE(report.find("\r\n==== Summary after repair ====\r\n"), std::string::npos) << c.input;
            EXPECT_EQ(run.exit_code, 0) << c.input << ": the first window's own verification";
        } else {
            EXPECT_EQ(report.find("==== Summary after repair"), std::string::npos) << c.input;
            EXPECT_EQ(test::section_block(report, kSection7), kIntro + kDeclined) << c.input;
            EXPECT_FALSE(fs::exists(s.dir / kElevatedReportName)) << c.input;
            EXPECT_FALSE(fs::exists(s.elevated_console)) << c.input << ": no elevated window";
            EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.input;
        }
        fs::remove_all(s.dir);
    }
}

TEST(RepairEndToEnd, ElevationFailuresAndTheElevatedInstancesResult) {
    struct Case {
        const char* machine;
        std::function<void(json&)> change;
        std::string tail;       // section 7 after the relaunching line, the elevated report's path left out
        bool elevated_ran;      // a second report exists
        const char* summary;    // the first instance's second summary
        int exit_code;          // the elevated instance's; -1: none known
        bool result_shown = false;  // the elevated instance's summary and report path follow `tail`
    };
    const auto not_elevated = [](json& m) { m["elevated"] = false; };
    const std::vector<Case> cases = {
        {"repair-elevation-refused", {}, kRefused, false, "Summary after repair attempt", -1},
        {"repair-elevation-refused",
         [](json& m) {
             m["elevation_prompt_accepted"] = true;
             m["faults"] = json::array({{{"operation", "ShellExecuteExW"}, {"code", 1155}}});
         },
         kRefused, false, "Summary after repair attempt", -1},
        // The elevated instance ran and repaired: its report still tells what it did.
        // It reports the repair done: the first window verifies it.
        {"repair-exit-code-unavailable", {}, kExitUnknown + info("Elevated instance: " + worked("1/3")), true,
         "Summary after repair", -1, true},
        // A failed wait gives no exit code either; the instance may still be running, so its report is not read.
        {"repair-step1-works",
         [](json& m) {
             m["elevated"] = false;
             m["faults"] = json::array({{{"operation", "WaitForSingleObject"}, {"code", 6}}});
         },
         kExitUnknown, true, "Summary after repair attempt", -1},
        {"repair-token-unreadable", {}, finished(0) + info("Elevated instance: " + worked("1/3")), true,
         "Summary after repair", 0},
        // The elevated instance did not repair: a failed repair in the first window, exit code 1.
        {"repair-step3-write-fails", not_elevated,
         finished(1) + info("Elevated instance: the repair of " + kMi03 +
                            " ended at step 3/3: Writing the GUID to the registry failed (code=5)."),
         true, "Summary after repair attempt", 1},
        {"repair-node-not-back", not_elevated,
         finished(1) + info("Elevated instance: the repair of " + kMi03 +
                            " ended at step 2/3: The MI_03 interface has not come back. Unplug the Vantro Q4, wait 5 "
                            "seconds, plug it back directly into the PC (no hub), then re-run this tool."),
         true, "Summary after repair attempt", 1},
        // "runas" gives no administrator rights: the relaunched instance says so and never relaunches.
        {"repair-relaunch-not-elevated", {},
         finished(1) + info("Elevated instance: no repair was made: " + kNotElevatedAgain), true,
         "Summary after repair attempt", 1},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare(c.machine, c.change);
        const test::RunResult run = test::run_tool(s.machine, {"/fix", "/nopause"}, "", elevated_window(s));
        EXPECT_TRUE(run.stderr_text.empty()) << c.machine << run.stderr_text;
        const std::string report = first_report(s);
        std::string tail = c.tail;
        if (c.exit_code >= 0 || c.result_shown) {
            const std::string elevated = elevated_report(s);
            tail += info("Elevated instance, " + quoted_summary(elevated)) +
                    info("Elevated instance's report: " + elevated_report_path(s));
            if (c.exit_code >= 0) {
                EXPECT_EQ(exit_code_for(elevated), c.exit_code) << c.machine << ": the code it owes its own report";
            }
        }
        EXPECT_EQ(test::section_block(report, kSection7), kIntro + kRelaunching + tail) << c.machine;
        EXPECT_EQ(fs::exists(s.dir / kElevatedReportName), c.elevated_ran) << c.machine;
        EXPECT_EQ(fs::exists(s.elevated_console), c.elevated_ran) << c.machine;
        EXPECT_NE(report.find("\r\n==== " + std::string(c.summary) + " ====\r\n"), std::string::npos) << c.machine;
        EXPECT_EQ(report.find("\r\n==== Summary after repair"), report.rfind("\r\n==== Summary after repair"))
            << c.machine << ": one ending";
        const bool verified = std::string(c.summary) == "Summary after repair";
        EXPECT_EQ(report.find("\r\n==== 8. Verification after repair ====\r\n") != std::string::npos, verified)
            << c.machine;
        // After a repair, the first window's own verification; without one, a failure.
        EXPECT_EQ(run.exit_code, verified ? exit_code_for(report) : 1) << c.machine;
        if (c.elevated_ran) {
            const std::string elevated = elevated_report(s);
            EXPECT_EQ(elevated.find("Administrator rights are needed"), std::string::npos)
                << c.machine << ": the elevated instance never relaunches";
            if (std::string(c.machine) == "repair-relaunch-not-elevated") {
                EXPECT_EQ(test::section_block(elevated, kSection7), kIntro + fail(kNotElevatedAgain));
                EXPECT_NE(elevated.find("\r\n==== Summary after repair attempt ====\r\n"), std::string::npos);
                EXPECT_NE(elevated.find(fail(kFailVerdict)), std::string::npos);
            } else {
                EXPECT_NE(elevated.find(info("Repairing " + kMi03 + " (previous GUID(s): (none))")), std::string::npos)
                    << c.machine << ": the elevated instance repaired in place";
            }
        }
        fs::remove_all(s.dir);
    }
}

// The user closes the elevated window while it waits for Enter at its end:
// Windows ends it with STATUS_CONTROL_C_EXIT (0xC000013A). The first window
// says it ended abnormally, shows its report, and verifies the repair that
// report shows as done; without one, the repair failed.
TEST(RepairEndToEnd, AClosedElevatedWindowIsAnAbnormalEnd) {
    const std::string closed = fail(
        "The elevated instance ended abnormally (exit code 0xC000013A): its window was closed or it stopped. It may "
        "have changed the system. See its report for the details.");
    struct Case {
        const char* machine;
        std::string ending;  // the elevated instance's first result line
        bool repaired;
    };
    const std::vector<Case> cases = {
        {"repair-step1-works", "Elevated instance: " + worked("1/3"), true},
        {"repair-step3-write-fails",
         "Elevated instance: the repair of " + kMi03 +
             " ended at step 3/3: Writing the GUID to the registry failed (code=5).",
         false},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare(c.machine, [](json& m) { m["elevated"] = false; });
        // No "/nopause": the elevated instance waits for Enter in its own window, and the first one pauses on "\n".
        test::Environment environment = elevated_window(s);
        environment.push_back({"VQ4_DIAG_ELEVATED_WINDOW_CLOSED", "1"});
        const test::RunResult run = test::run_tool(s.machine, {"/fix"}, "\n", environment);
        EXPECT_TRUE(run.stderr_text.empty()) << c.machine << run.stderr_text;
        const std::string report = first_report(s);
        const std::string elevated = elevated_report(s);
        EXPECT_NE(test::read_file_bytes(s.elevated_console).find("Press Enter to close..."), std::string::npos)
            << c.machine << ": closed while it waited";
        EXPECT_EQ(test::section_block(report, kSection7),
                  kIntro + kRelaunching + closed +
                      info(c.ending) + info("Elevated instance, " + quoted_summary(elevated)) +
                      info("Elevated instance's report: " + elevated_report_path(s)))
            << c.machine;
        if (c.repaired) {
            EXPECT_EQ(test::section_block(report, "8. Verification after repair"),
                      test::section_block(elevated, "8. Verification after repair"))
                << c.machine << ": the first window's own verification of the repaired machine";
            EXPECT_NE(report.find(ok(kOkVerdict)), std::string::npos) << c.machine;
            EXPECT_EQ(run.exit_code, 0) << c.machine << ": the device works";
        } else {
            EXPECT_NE(report.find("\r\n==== Summary after repair attempt ====\r\n"), std::string::npos) << c.machine;
            EXPECT_EQ(report.find("==== 8. Verification"), std::string::npos) << c.machine;
            EXPECT_EQ(run.exit_code, 1) << c.machine << ": a failed repair";
        }
        fs::remove_all(s.dir);
    }
}

// The binary in a folder whose name is not ASCII (and not Latin-1 either):
// both instances write their reports there, the elevated instance accepts
// the report path handed over, and the first window shows its result.
TEST(RepairEndToEnd, AFolderOfAnyNameKeepsTheElevatedResult) {
    const fs::path base = test::make_temp_dir("repair_any_folder");
    const fs::path dir = base / "\xC5\x92uvre \xC3\x9F \xE6\xBC\xA2\xE5\xAD\x97";  // "Œuvre ß 漢字" in UTF-8
    fs::create_directory(dir);
    const fs::path binary = dir / "VQ4_Diag";
    fs::copy_file(VQ4_DIAG_BINARY, binary);
    const fs::path machine = base / "machine.json";
    std::ofstream(machine, std::ios::binary) << test::machine_text("repair-step1-works", [](json& m) {
        m["elevated"] = false;
        m["local_time"] = "2026-03-04 05:06:07";
    });
    const test::RunResult run = test::run_tool(machine, {"/fix", "/nopause"}, "", {}, binary);
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;
    ASSERT_TRUE(fs::exists(dir / kFirstReportName)) << run.stdout_text;
    ASSERT_TRUE(fs::exists(dir / kElevatedReportName)) << run.stdout_text;
    const std::string first = test::read_file_bytes(dir / kFirstReportName);
    const std::string section7 = test::section_block(first, kSection7);
    EXPECT_NE(section7.find(kRelaunching + finished(0) + info("Elevated instance: " + worked("1/3"))), std::string::npos)
        << section7;
    EXPECT_NE(section7.find("[ INFO ] Elevated instance's report: "), std::string::npos) << section7;
    EXPECT_NE(first.find("\r\n==== Summary after repair ====\r\n"), std::string::npos);
    EXPECT_EQ(run.exit_code, 0);
    fs::remove_all(base);
}

// The elevated instance, started as the relaunch starts it, reads another
// GUID from the SDK configuration than the first window handed over (another
// account's registration, say): it repairs toward the handed GUID, which the
// user's applications look for, and says so. A text that is not exactly a
// braced GUID is not taken: it then repairs toward its own reading.
TEST(RepairEndToEnd, TheElevatedInstanceRepairsTowardTheFirstWindowsGuid) {
    const std::string own = "{1B2C3D4E-0000-4000-8000-00000000ABCD}";
    const std::string config = "C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll.config.ini";
    const std::string handed_line =
        info("The repair registers " + kExpectedGuid +
             " (source: the first window, the GUID its user's applications expect); this elevated instance reads " +
             own + " (source: " + config + ").");
    struct Case {
        const char* what;
        std::string argument;
        std::string repaired_toward;
        bool said;
    };
    const std::vector<Case> cases = {
        {"handed over", "/guid:" + kExpectedGuid, kExpectedGuid, true},
        {"lower case", "/GUID:{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}", kExpectedGuid, true},
        {"a short field", "/guid:{C47D2A19-5E80-4B3F-9A26-81D0E4F3B75}", own, false},
        {"text after it", "/guid:" + kExpectedGuid + "x", own, false},
        {"no braces", "/guid:C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", own, false},
        {"the same as its own reading", "/guid:" + own, own, false},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare("repair-step1-works", [&](json& m) {
            for (json& file : m["files"]) {
                if (file.value("path", "") == config) file["text"] = "[DriverInterface]\r\nInterfaceGUID=" + own + "\r\n";
            }
        });
        const test::RunResult run = test::run_tool(s.machine, {"/nopause", "/fix", "/elevated", c.argument});
        EXPECT_TRUE(run.stderr_text.empty()) << c.what << run.stderr_text;
        const std::string section7 = test::section_block(first_report(s), kSection7);
        EXPECT_NE(section7.find("the GUID expected by the SDK (" + c.repaired_toward + ") is not registered."),
                  std::string::npos)
            << c.what << section7;
        EXPECT_EQ(section7.find(handed_line) != std::string::npos, c.said) << c.what << section7;
        EXPECT_EQ(section7.find("this elevated instance reads") != std::string::npos, c.said) << c.what;
        // The firmware gives the handed GUID back at step 1; its own reading needs step 3.
        EXPECT_EQ(section7.find("Step 3/3") == std::string::npos, c.repaired_toward == kExpectedGuid) << c.what;
        fs::remove_all(s.dir);
    }
}

// Over-the-shoulder elevation: a standard user's UAC prompt answered with an
// administrator's password. The elevated instance runs as that account, whose
// HKCU holds no SDK registration, so on its own it would expect the built-in
// default. It repairs toward the GUID the user's per-user SDK names (handed
// over), says so, and leaves the user's HKCU alone: the first window's own
// verification, as the user, finds the SDK and decides the outcome.
TEST(RepairEndToEnd, AnotherAccountsElevationRepairsTowardTheUsersGuid) {
    const std::string users_guid = "{5D0F8E2B-7A41-4C96-B3E8-2F1A9C6D4B70}";
    const std::string users_config =
        "C:\\Users\\ana\\AppData\\Local\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll.config.ini";
    const MachineDir s = prepare("repair-over-the-shoulder");
    const test::RunResult run = test::run_tool(s.machine, {"/fix", "/nopause"}, "", elevated_window(s));
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;

    const std::string elevated = elevated_report(s);
    EXPECT_NE(elevated.find(info("The repair registers " + users_guid +
                                 " (source: the first window, the GUID its user's applications expect); this elevated "
                                 "instance reads " + kExpectedGuid +
                                 " (source: built-in default, SDK configuration file not readable).")),
              std::string::npos)
        << elevated;
    EXPECT_NE(elevated.find(ok("  -> The firmware's interface GUID " + users_guid + " is registered again on MI_03.")),
              std::string::npos)
        << elevated;
    // Its own checks, with its own account's view, still fail: its exit code says so.
    EXPECT_NE(run.stdout_text.find("exit code 1, 0 = no failure left"), std::string::npos) << run.stdout_text;

    const std::string first = first_report(s);
    const std::string verification = first.substr(first.find(kVerification));
    EXPECT_NE(verification.find(info("Interface GUID expected by the SDK: " + users_guid + " (source: " + users_config +
                                     ").")),
              std::string::npos)
        << verification;
    EXPECT_NE(verification.find(ok("1 Tonvela device(s) detected by the SDK.")), std::string::npos) << verification;
    EXPECT_NE(verification.find(test::header("Summary after repair") +
                                info("5 test(s) OK, 0 warning(s), 0 failure(s).") + ok(kOkVerdict)),
              std::string::npos)
        << verification;
    EXPECT_EQ(run.exit_code, 0) << "the first window's own verification decides";
    fs::remove_all(s.dir);
}

TEST(RepairEndToEnd, AnElevatedReportThatCannotBeReadIsNamedWithTheError) {
    // The elevated instance repairs and writes its report, but another
    // process (an antivirus scan, say) holds the file without sharing when
    // the first instance comes to read it.
    const MachineDir s = prepare("repair-step1-works", [](json& m) { m["elevated"] = false; });
    {
        json m = json::parse(test::read_file_bytes(s.machine));
        m["files"].push_back({{"path", elevated_report_path(s)}, {"text", ""}, {"held_exclusively", true}});
        std::ofstream(s.machine, std::ios::binary) << m.dump(1);
    }
    const test::RunResult run = test::run_tool(s.machine, {"/fix", "/nopause"}, "", elevated_window(s));
    ASSERT_TRUE(fs::exists(s.dir / kElevatedReportName));
    EXPECT_EQ(test::section_block(first_report(s), kSection7),
              kIntro + kRelaunching + finished(0) +
                  info("The elevated instance's report cannot be read (error code=32): " + elevated_report_path(s)));
    EXPECT_NE(first_report(s).find("\r\n==== Summary after repair attempt ====\r\n"), std::string::npos)
        << "what it did is not known here: a failed repair";
    EXPECT_EQ(run.exit_code, 1);
    fs::remove_all(s.dir);
}

TEST(RepairEndToEnd, TheElevatedInstanceWritesOnlyInsideItsOwnFolder) {
    // An instance started with the internal arguments, as the relaunch starts
    // it, whose executable lives in `dir`: a report path from its command line
    // is taken only for a report name directly in that folder.
    struct Case {
        std::string what;
        std::function<std::string(const fs::path& dir, const fs::path& outside)> handed;
        bool relaunched;  // "/elevated" given
        bool accepted;
    };
    const std::string name = "VQ4_Diag_Report_20260304_050607_7.txt";
    const std::vector<Case> cases = {
        {"beside the executable", [&](const fs::path& d, const fs::path&) { return d.string() + "\\" + name; }, true,
         true},
        {"beside it, with slashes", [&](const fs::path& d, const fs::path&) { return d.string() + "/" + name; }, true,
         true},
        {"the same path without /elevated", [&](const fs::path& d, const fs::path&) { return d.string() + "\\" + name; },
         false, false},
        {"another folder", [&](const fs::path&, const fs::path& o) { return o.string() + "\\" + name; }, true, false},
        {"out through ..",
         [&](const fs::path& d, const fs::path& o) {
             return d.string() + "\\..\\" + o.filename().string() + "\\" + name;
         },
         true, false},
        {"a subfolder", [&](const fs::path& d, const fs::path&) { return d.string() + "\\sub\\" + name; }, true, false},
        {"another name", [](const fs::path& d, const fs::path&) { return d.string() + "\\version.dll"; }, true, false},
        {"a relative path", [&](const fs::path&, const fs::path&) { return name; }, true, false},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare("repair-nothing-to-repair", [](json& m) { m["elevated"] = true; });
        const fs::path outside = test::make_temp_dir("repair_outside");
        fs::create_directories(s.dir / "sub");
        const std::string handed = c.handed(s.dir, outside);
        std::vector<std::string> arguments = {"/nopause", "/report:" + handed};
        if (c.relaunched) arguments.push_back("/elevated");
        const test::RunResult run = test::run_tool(s.machine, arguments);
        const std::vector<fs::path> reports = saved_reports(run.stdout_text);
        ASSERT_EQ(reports.size(), 1u) << c.what << run.stdout_text;
        EXPECT_TRUE(test::files_with_prefix(outside, "").empty()) << c.what << ": nothing written outside";
        EXPECT_TRUE(test::files_with_prefix(s.dir / "sub", "").empty()) << c.what;
        EXPECT_FALSE(fs::exists(s.dir / "version.dll")) << c.what;
        if (c.accepted) {
            EXPECT_NE(run.stdout_text.find("Report saved to:\n  " + handed + "\n"), std::string::npos) << c.what;
            EXPECT_TRUE(fs::exists(s.dir / name)) << c.what;
            EXPECT_FALSE(fs::exists(s.dir / kFirstReportName)) << c.what;
        } else {
            EXPECT_NE(run.stdout_text.find("Report saved to:\n  " + s.dir.string() + "\\" + kFirstReportName + "\n"),
                      std::string::npos)
                << c.what << ": the usual name";
            EXPECT_FALSE(fs::exists(s.dir / name)) << c.what;
        }
        fs::remove_all(outside);
        fs::remove_all(s.dir);
    }
}

TEST(RepairEndToEnd, TheDriverFollowsTheOutcomeOfAnInPlaceRepair) {
    struct Case {
        const char* machine;
        std::vector<std::string> arguments;
        bool has_section7;
        bool verification;
        const char* summary;
    };
    const std::vector<Case> cases = {
        {"repair-step1-works", {"/fix", "/nopause"}, true, true, "Summary after repair"},
        {"repair-node-not-back", {"/fix", "/nopause"}, true, false, "Summary after repair attempt"},
        {"repair-step3-write-fails", {"/fix", "/nopause"}, true, false, "Summary after repair attempt"},
        {"repair-nothing-to-repair", {"/fix", "/nopause"}, false, false, nullptr},
        {"repair-step1-works", {"/fix", "/nofix", "/nopause"}, false, false, nullptr},
        {"repair-step1-works", {"/nopause"}, true, false, nullptr},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare(c.machine);
        const test::RunResult run = test::run_tool(s.machine, c.arguments);
        const std::string report = first_report(s);
        EXPECT_EQ(report.find("==== " + kSection7) != std::string::npos, c.has_section7) << c.machine;
        EXPECT_EQ(report.find("==== 8. Verification after repair ====") != std::string::npos, c.verification)
            << c.machine;
        if (c.verification) {
            EXPECT_EQ(test::section_block(report, "8. Verification after repair"), kVerification) << c.machine;
        }
        if (c.summary != nullptr) {
            EXPECT_NE(report.find("\r\n==== " + std::string(c.summary) + " ====\r\n"), std::string::npos) << c.machine;
        } else {
            EXPECT_EQ(report.find("==== Summary after repair"), std::string::npos) << c.machine;
        }
        EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.machine;
        EXPECT_FALSE(fs::exists(s.dir / kElevatedReportName)) << "no relaunch when elevated";
        fs::remove_all(s.dir);
    }
}

TEST(RepairEndToEnd, RemovalsWindowsPutOffOrCannotNameAndTheCacheFoundThroughTheHardwareIds) {
    const std::string step1 = info("Repairing " + kMi03 + " (previous GUID(s): (none))") +
                              info("Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the firmware "
                                   "descriptor; audio is not interrupted).");
    const std::string removed1 = info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected.");
    const std::string step2 = info(
        "Step 2/3: remove the whole Vantro Q4 (all interfaces) and its USB descriptor cache, then re-detect it (audio is "
        "interrupted for a few seconds).");
    const std::string kUndo =
        info("To undo the registry changes of this repair, run as administrator: reg import \"<BACKUP>\"");
    const auto pending = [](const std::string& id) {
        return test::warn("  -> Windows will finish removing " + id +
                          " at the next restart. Restart the PC, then re-run this tool.");
    };
    struct Case {
        const char* machine;
        std::string section7;  // after the plan
        const char* summary;
        int exit_code;
    };
    const std::vector<Case> cases = {
        {"repair-removal-deferred", step1 + pending(kMi03), "Summary after repair attempt", 1},
        {"repair-removal-vetoed", step1 + removed1 + step2 + pending(test::kMi00), "Summary after repair attempt", 1},
        {"repair-revision-from-hardware-ids",
         step1 + removed1 + step2 + info("  -> Removed: " + test::kMi00) + info("  -> Removed: " + test::kMi01) +
             info("  -> Removed: " + kMi03) + info("  -> Removed: " + test::kComposite) +
             info("  -> Registry backup written: <BACKUP>") +
             info("  -> USB descriptor cache deleted: HKLM\\" + test::kCacheKey) + info("  -> Hardware re-detected.") +
             ok("  -> The firmware's interface GUID " + kExpectedGuid + " is registered again on MI_03.") + kUndo,
         "Summary after repair", 0},
        {"repair-composite-id-unreadable",
         step1 + removed1 + step2 +
             test::warn("  -> Unable to read the instance id of the composite device (CONFIGRET=5).") +
             info("Step 3/3 (last resort): the firmware descriptor still provides no GUID; writing it manually.") +
             info("  -> Registry backup written: <BACKUP>") +
             ok("  -> GUID " + kExpectedGuid + " written to 'Device Parameters' (DeviceInterfaceGUIDs).") +
             ok("  -> Interface MI_03 restarted.") +
             ok("  -> Device interface " + kExpectedGuid + " is now registered on MI_03.") + kUndo,
         "Summary after repair", 0},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare(c.machine);
        const test::RunResult run = test::run_tool(s.machine, {"/fix", "/nopause"});
        const std::string report = first_report(s);
        const std::string backup = backup_named_in(report);
        EXPECT_EQ(backup.empty(), c.section7.find("<BACKUP>") == std::string::npos) << c.machine;
        if (!backup.empty()) {
            EXPECT_EQ(host_path_of(backup, s.dir).parent_path(), s.dir / "ProgramData" / "VQ4_Diag" / "Backups")
                << c.machine << ": in the protected folder";
            EXPECT_TRUE(fs::exists(host_path_of(backup, s.dir))) << c.machine;
        }
        EXPECT_EQ(test::section_block(report, kSection7), kIntro + test::with_backup_path(c.section7, backup)) << c.machine;
        EXPECT_NE(report.find("\r\n==== " + std::string(c.summary) + " ====\r\n"), std::string::npos) << c.machine;
        const bool verified = std::string(c.summary) == "Summary after repair";
        EXPECT_EQ(report.find("==== 8. Verification after repair ====") != std::string::npos, verified) << c.machine;
        EXPECT_EQ(run.exit_code, c.exit_code) << c.machine;
        EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.machine;
        fs::remove_all(s.dir);
    }
}

}  // namespace
}  // namespace vq4
