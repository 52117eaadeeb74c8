// The real Linux binary repairing: consent, the elevated relaunch as a real
// second process on the same machine file, the in-place repair and the run
// driver's section 8 and second summaries.
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>

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
const std::string kDeclined = info("Repair declined by the user. No change was made.");
const std::string kRunWithFix = info("Run this tool again with /fix to apply the repair.");
const std::string kStep1Repair =
    info("Repairing " + kMi03 + " (previous GUID(s): (none))") +
    info("Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the firmware descriptor; audio is not "
         "interrupted).") +
    info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected.") +
    ok("  -> The firmware's interface GUID " + kExpectedGuid + " is registered again on MI_03.");
const std::string kVerification =
    test::header("8. Verification after repair") + info("Re-running sections 3 and 5 after the repair.");

std::string finished(int code) {
    return info("The elevated instance has finished (exit code " + std::to_string(code) +
                ", 0 = no failure left). See its report for the details.");
}

struct MachineDir {
    fs::path dir;
    fs::path machine;
};

// A machine file from machines/, writing its reports into a fresh folder at a
// fixed time: the first instance's report is ..._050607.txt, the elevated
// instance's (same second) ..._050607_2.txt.
MachineDir prepare(const std::string& name, const std::function<void(json&)>& change = {}) {
    MachineDir s;
    s.dir = test::make_temp_dir("repair_e2e");
    s.machine = s.dir / "machine.json";
    std::ofstream(s.machine, std::ios::binary) << test::machine_text(name, [&](json& m) {
        m["module_path"] = (s.dir / "VQ4_Diag").string();
        m["local_time"] = "2026-03-04 05:06:07";
        if (change) change(m);
    });
    return s;
}

std::string first_report(const MachineDir& s) { return test::read_file_bytes(s.dir / "VQ4_Diag_Report_20260304_050607.txt"); }
std::string elevated_report(const MachineDir& s) {
    return test::read_file_bytes(s.dir / "VQ4_Diag_Report_20260304_050607_2.txt");
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The exit code the driver owes a report: 1 while Fail lines are counted
// (since section 8's reset when there is one).
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

fs::path host_path_of(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Both "Report saved to:" paths on the console, in order, as host paths.
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

TEST(RepairEndToEnd, BuiltInMachineReportsThePlanAndHintsAtFix) {
    const test::RunResult run = test::run_tool("", {"/nopause"});
    const std::vector<fs::path> reports = saved_reports(run.stdout_text);
    ASSERT_EQ(reports.size(), 1u) << run.stdout_text;
    const std::string report = test::read_file_bytes(reports[0]);
    fs::remove(reports[0]);
    EXPECT_EQ(test::section_block(report, kSection7), kIntro + kRunWithFix);
    EXPECT_EQ(report.find("Summary after repair"), std::string::npos);
    EXPECT_EQ(run.exit_code, exit_code_for(report));
    EXPECT_EQ(run.stdout_text.find("Apply the repair now?"), std::string::npos);
}

TEST(RepairEndToEnd, BuiltInMachineWithFixRelaunchesAndTheElevatedInstanceRepairs) {
    // The elevated instance runs with "/fix" alone, so it pauses at its end on the shared input.
    const test::RunResult run = test::run_tool("", {"/fix", "/nopause"}, "\n");
    const std::vector<fs::path> reports = saved_reports(run.stdout_text);
    ASSERT_EQ(reports.size(), 2u) << run.stdout_text << run.stderr_text;
    const std::string elevated = test::read_file_bytes(reports[0]);  // it ends first
    const std::string first = test::read_file_bytes(reports[1]);
    fs::remove(reports[0]);
    fs::remove(reports[1]);
    // The elevated instance backs up what it changes beside its report.
    const std::string backup = backup_named_in(elevated);
    ASSERT_FALSE(backup.empty());
    EXPECT_EQ(host_path_of(backup).parent_path(), reports[0].parent_path());
    EXPECT_TRUE(fs::exists(host_path_of(backup)));
    fs::remove(host_path_of(backup));

    EXPECT_EQ(test::section_block(first, kSection7), kIntro + kRelaunching + finished(0));
    EXPECT_EQ(first.find("Summary after repair"), std::string::npos) << "the first instance ends without a second summary";
    EXPECT_EQ(run.exit_code, exit_code_for(first));

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
    EXPECT_NE(elevated.find("\r\n==== Summary after repair ====\r\n"), std::string::npos);
    EXPECT_EQ(exit_code_for(elevated), 0) << "the repaired machine passes the verification";

    // Only the elevated instance asked for Enter; the first one has /nopause.
    EXPECT_EQ(count(run.stdout_text, "Press Enter to close..."), 1u);
    EXPECT_LT(run.stdout_text.find("Press Enter to close..."), run.stdout_text.find("The elevated instance has finished"));
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
        // The answer, the elevated instance's pause, the first instance's pause.
        const test::RunResult run = test::run_tool(s.machine, {}, c.input + "\n\n");
        const std::string report = first_report(s);
        EXPECT_NE(run.stdout_text.find("\nApply the repair now? [Y/N] "), std::string::npos) << c.input;
        EXPECT_EQ(report.find("Apply the repair"), std::string::npos) << "the question is not reported";
        if (c.consent) {
            EXPECT_EQ(test::section_block(report, kSection7), kIntro + kRelaunching + finished(0)) << c.input;
            EXPECT_EQ(test::section_block(elevated_report(s), kSection7), kIntro + kStep1Repair) << c.input;
            EXPECT_EQ(count(run.stdout_text, "Apply the repair now?"), 1u) << "the elevated instance does not ask";
        } else {
            EXPECT_EQ(test::section_block(report, kSection7), kIntro + kDeclined) << c.input;
            EXPECT_FALSE(fs::exists(s.dir / "VQ4_Diag_Report_20260304_050607_2.txt")) << c.input;
        }
        EXPECT_EQ(report.find("Summary after repair"), std::string::npos) << c.input;
        EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.input;
        fs::remove_all(s.dir);
    }
}

TEST(RepairEndToEnd, ElevationFailuresAndTheElevatedExitCode) {
    struct Case {
        const char* machine;
        std::function<void(json&)> change;
        std::string tail;       // section 7 after the plan
        bool elevated_ran;      // a second report exists
        const char* summary;    // the second summary, if any
    };
    const std::vector<Case> cases = {
        {"repair-elevation-refused", {}, kRelaunching + kRefused, false, "Summary after repair attempt"},
        {"repair-elevation-refused",
         [](json& m) {
             m["elevation_prompt_accepted"] = true;
             m["faults"] = json::array({{{"operation", "ShellExecuteExW"}, {"code", 1155}}});
         },
         kRelaunching + kRefused, false, "Summary after repair attempt"},
        {"repair-exit-code-unavailable", {}, kRelaunching + kRefused, true, "Summary after repair attempt"},
        // A failed wait gives no exit code either (the instance would still be running).
        {"repair-step1-works",
         [](json& m) {
             m["elevated"] = false;
             m["faults"] = json::array({{{"operation", "WaitForSingleObject"}, {"code", 6}}});
         },
         kRelaunching + kRefused, true, "Summary after repair attempt"},
        {"repair-token-unreadable", {}, kRelaunching + finished(0), true, nullptr},
        // The elevated instance keeps a Fail line: its exit code 1 is shown, no second summary here.
        {"repair-step3-write-fails", [](json& m) { m["elevated"] = false; }, kRelaunching + finished(1), true, nullptr},
    };
    for (const Case& c : cases) {
        const MachineDir s = prepare(c.machine, c.change);
        const test::RunResult run = test::run_tool(s.machine, {"/fix", "/nopause"}, "\n");
        const std::string report = first_report(s);
        EXPECT_EQ(test::section_block(report, kSection7), kIntro + c.tail) << c.machine;
        EXPECT_EQ(fs::exists(s.dir / "VQ4_Diag_Report_20260304_050607_2.txt"), c.elevated_ran) << c.machine;
        if (c.summary != nullptr) {
            EXPECT_NE(report.find("\r\n==== " + std::string(c.summary) + " ====\r\n"), std::string::npos) << c.machine;
        } else {
            EXPECT_EQ(report.find("Summary after repair"), std::string::npos) << c.machine;
        }
        EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.machine;
        if (c.elevated_ran) {
            const std::string elevated = elevated_report(s);
            EXPECT_NE(elevated.find(info("Repairing " + kMi03 + " (previous GUID(s): (none))")), std::string::npos)
                << c.machine << ": the elevated instance repaired in place";
            EXPECT_EQ(elevated.find("Administrator rights are needed"), std::string::npos) << c.machine;
        }
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
            EXPECT_EQ(report.find("Summary after repair"), std::string::npos) << c.machine;
        }
        EXPECT_EQ(run.exit_code, exit_code_for(report)) << c.machine;
        EXPECT_FALSE(fs::exists(s.dir / "VQ4_Diag_Report_20260304_050607_2.txt")) << "no relaunch when elevated";
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
            EXPECT_EQ(host_path_of(backup).parent_path(), s.dir) << c.machine << ": beside the report";
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
