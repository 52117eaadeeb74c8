// Section 7 in process on the machine files of machines/: every ending of the
// repair, its exact report lines, its counted waits, and proof that it
// changed nothing but what the repair must change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/sim/machine.h"
#include "platform/sim/relaunch.h"
#include "repair/repair_candidates.h"
#include "repair/repair_section.h"
#include "report/report.h"
#include "support/reg_file.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using enum SectionOutcome;

using nlohmann::json;
using test::fail;
using test::info;
using test::kComposite;
using test::kExpectedGuid;
using test::kMi00;
using test::kMi01;
using test::kMi03;
using test::ok;
using test::warn;

const std::string kIntro = test::section7_intro({{kMi03, "(none)"}});
const std::string kRepairing = info("Repairing " + kMi03 + " (previous GUID(s): (none))");
const std::string kStep1 = info(
    "Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the firmware descriptor; audio is not "
    "interrupted).");
const std::string kStep2 = info(
    "Step 2/3: remove the whole Vantro Q4 (all interfaces) and its USB descriptor cache, then re-detect it (audio is "
    "interrupted for a few seconds).");
const std::string kStep3 =
    info("Step 3/3 (last resort): the firmware descriptor still provides no GUID; writing it manually.");
const std::string kRemoved1 = info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected.");
// "<BACKUP>" stands for the path of the run's backup file.
const std::string kBackedUp = info("  -> Registry backup written: <BACKUP>");
const std::string kUndo =
    info("To undo the registry changes of this repair, run as administrator: reg import \"<BACKUP>\"");
const std::string kRemoved2 = info("  -> Removed: " + kMi00) + info("  -> Removed: " + kMi01) +
                              info("  -> Removed: " + kMi03) + info("  -> Removed: " + kComposite) + kBackedUp +
                              info("  -> USB descriptor cache deleted: HKLM\\" + test::kCacheKey) +
                              info("  -> Hardware re-detected.");
const std::string kFirmwareOk =
    ok("  -> The firmware's interface GUID " + kExpectedGuid + " is registered again on MI_03.");
const std::string kNotFound = warn("  -> MI_03 node not found (device unplugged?).");
const std::string kNotBack = warn(
    "  -> The MI_03 interface has not come back. Unplug the Vantro Q4, wait 5 seconds, plug it back directly into the "
    "PC (no hub), then re-run this tool.");
const std::string kWritten = kBackedUp + ok("  -> GUID " + kExpectedGuid + " written to 'Device Parameters' (DeviceInterfaceGUIDs).");
const std::string kRestarted = ok("  -> Interface MI_03 restarted.");
const std::string kRegistered = ok("  -> Device interface " + kExpectedGuid + " is now registered on MI_03.");
const std::string kSavedEnding =
    ". The fix is saved: unplug and replug the Vantro Q4 (or restart the PC), then re-run this tool.";
const std::string kThroughStep2 = kIntro + kRepairing + kStep1 + kRemoved1 + kStep2 + kRemoved2;
std::string restart_pending(const std::string& id) {
    return warn("  -> Windows will finish removing " + id + " at the next restart. Restart the PC, then re-run this tool.");
}

struct Ending {
    const char* machine;
    bool fix_requested;
    SectionOutcome outcome;
    std::string lines;
    std::size_t pauses;          // Sleep(250)
    std::size_t interface_tests;  // presence tests of the expected GUID on MI_03
};

const std::vector<Ending>& endings() {
    static const std::vector<Ending> table = {
        {"repair-step1-works", true, RepairSucceeded, kIntro + kRepairing + kStep1 + kRemoved1 + kFirmwareOk, 0, 1},
        {"repair-step2-works", true, RepairSucceeded, kThroughStep2 + kFirmwareOk + kUndo, 40, 42},
        {"repair-node-not-back", true, RepairNeedsReplug,
         kIntro + kRepairing + kStep1 + kRemoved1 + kStep2 + kNotFound + kNotBack, 60, 41},
        {"repair-step3-works", true, RepairSucceeded, kThroughStep2 + kStep3 + kWritten + kRestarted + kRegistered + kUndo, 100,
         103},
        {"repair-step3-needs-reboot", true, RepairNeedsReplug,
         kThroughStep2 + kStep3 + kWritten +
             warn("  -> The interface could not be restarted automatically (Windows asks for a restart)" + kSavedEnding) + kUndo,
         100, 102},
        {"repair-step3-restart-fails", true, RepairNeedsReplug,
         kThroughStep2 + kStep3 + kWritten +
             warn("  -> The interface could not be restarted automatically (code=3758096945)" + kSavedEnding) + kUndo,
         100, 102},
        {"repair-step3-interface-not-visible", true, RepairNeedsReplug,
         kThroughStep2 + kStep3 + kWritten + kRestarted +
             warn("  -> The GUID is saved but the interface is not visible yet. Unplug and replug the Vantro Q4, then "
                  "re-run this tool.") +
             kUndo,
         120, 123},
        // Windows leaves a removal to the next restart: no later step, and a
        // restart (or replug) is asked for.
        {"repair-removal-deferred", true, RepairNeedsReplug, kIntro + kRepairing + kStep1 + restart_pending(kMi03), 0,
         0},
        {"repair-removal-vetoed", true, RepairNeedsReplug,
         kIntro + kRepairing + kStep1 + kRemoved1 + kStep2 + restart_pending(kMi00), 40, 41},
        {"repair-revision-from-hardware-ids", true, RepairSucceeded, kThroughStep2 + kFirmwareOk + kUndo, 40, 42},
        {"repair-composite-id-unreadable", true, RepairSucceeded,
         kIntro + kRepairing + kStep1 + kRemoved1 + kStep2 +
             warn("  -> Unable to read the instance id of the composite device (CONFIGRET=5).") + kStep3 + kWritten +
             kRestarted + kRegistered + kUndo,
         40, 42},
        {"repair-step3-write-fails", true, RepairFailed,
         kThroughStep2 + kStep3 + kBackedUp + fail("  -> Writing the GUID to the registry failed (code=5).") + kUndo, 100, 102},
        {"repair-nothing-to-repair", true, NothingToRepair, "", 0, 0},
        {"default", false, RepairNotApplied, kIntro + info("Run this tool again with /fix to apply the repair."), 0, 0},
        {"repair-elevation-refused", true, RepairFailed,
         kIntro +
             info("Administrator rights are needed: relaunching the tool elevated (accept the Windows UAC prompt). The "
                  "elevated window applies the repair, checks the result and saves its own report next to this "
                  "executable.") +
             fail("Elevation refused or failed: no change was made. Re-run the tool with 'Run as administrator' to "
                  "apply the repair."),
         0, 0},
    };
    return table;
}

std::int32_t count_lines(const std::string& report, const std::string& tag) {
    std::int32_t n = 0;
    for (std::size_t at = report.find(tag); at != std::string::npos; at = report.find(tag, at + 1)) ++n;
    return n;
}

std::size_t interface_tests() {
    return sim::count_calls("SetupDiGetClassDevsW", kExpectedGuid + ", " + kMi03 + ", 0x12");
}

TEST(RepairSection, EveryEndingPrintsExactlyItsLinesAndCountsItsWaits) {
    for (const Ending& e : endings()) {
        test::use_machine(test::machine_text(e.machine));
        test::ReportCapture capture;
        const SectionOutcome outcome = run_repair_section(e.fix_requested, false);
        const std::string backup_path = test::printed_backup_path(capture);
        const std::string report = capture.finish();
        EXPECT_EQ(outcome, e.outcome) << e.machine;
        EXPECT_EQ(report, test::with_backup_path(e.lines, backup_path)) << e.machine;
        EXPECT_EQ(backup_path.empty(), e.lines.find("<BACKUP>") == std::string::npos) << e.machine;
        EXPECT_EQ(sim::count_calls("Sleep", "250"), e.pauses) << e.machine;
        EXPECT_EQ(sim::count_calls("Sleep"), e.pauses) << e.machine << ": no other pause";
        EXPECT_EQ(interface_tests(), e.interface_tests) << e.machine;
        EXPECT_EQ(sim::count_calls("ShellExecuteExW"), std::string(e.machine) == "repair-elevation-refused" ? 1u : 0u)
            << e.machine;
        // The counters follow the lines.
        EXPECT_EQ(test::counts().fail, count_lines(report, "[ FAIL ]")) << e.machine;
        EXPECT_EQ(test::counts().warn, count_lines(report, "[ WARN ]")) << e.machine;
        EXPECT_EQ(test::counts().ok, count_lines(report, "[  OK  ]")) << e.machine;
    }
}

TEST(RepairSection, WaitsForTheNodeBetweenStepsTwoAndThree) {
    // The node is found at once: two locate calls after step 2 (the loop's and the deciding one).
    test::use_machine(test::machine_text("repair-step3-works"));
    {
        test::ReportCapture quiet;  // the backup goes beside this report
        run_repair_section(true, false);
    }
    EXPECT_EQ(sim::count_calls("CM_Locate_DevNodeW", kMi03 + ", 0x0"), 2u + 2u) << "two removals, then the node wait";

    // It never comes back: 21 locate calls and 20 pauses, about 5 s.
    test::use_machine(test::machine_text("repair-node-not-back"));
    {
        test::ReportCapture quiet;
        run_repair_section(true, false);
    }
    EXPECT_EQ(sim::count_calls("CM_Locate_DevNodeW", kMi03 + ", 0x0"), 2u + 21u);

    // It comes back 3 s after step 2's re-detection: step 3 runs on it.
    test::use_machine(test::machine_text("repair-step3-works", [](json& m) {
        // Step 1 brings it back at once; after step 2 it takes 3 s.
        test::device_entry(m, kMi03)["redetect"] = 3000;
    }));
    test::ReportCapture capture;
    EXPECT_EQ(run_repair_section(true, false), RepairSucceeded);
    const std::string report = capture.finish();
    EXPECT_NE(report.find(kStep3), std::string::npos);
    EXPECT_EQ(report.find("has not come back"), std::string::npos);
}

TEST(RepairSection, InterfaceAfterElevenSecondsNeedsStepTwo) {
    test::use_machine(test::machine_text("repair-step1-works",
                                         [](json& m) { test::device_entry(m, kMi03)["interface_delay_ms"] = 11000; }));
    test::ReportCapture capture;
    EXPECT_EQ(run_repair_section(true, false), RepairSucceeded);
    const std::string backup_path = test::printed_backup_path(capture);
    EXPECT_EQ(capture.finish(), test::with_backup_path(kIntro + kRepairing + kStep1 + kRemoved1 + kStep2 + kRemoved2 +
                                                           kFirmwareOk + kUndo,
                                                       backup_path));
    EXPECT_EQ(interface_tests(), 41u + 45u) << "10 s in vain, then 11 s";
}

TEST(RepairSection, StepOneRemovalFailureGoesStraightToStepTwo) {
    test::use_machine(test::machine_text("repair-step2-works", [](json& m) {
        m["faults"] = json::array({{{"operation", "SetupDiCallClassInstaller"}, {"nth", 1}, {"code", 5}}});
    }));
    test::ReportCapture capture;
    EXPECT_EQ(run_repair_section(true, false), RepairSucceeded);
    const std::string backup_path = test::printed_backup_path(capture);
    EXPECT_EQ(capture.finish(),
              test::with_backup_path(kIntro + kRepairing + kStep1 + warn("  -> Removal failed for " + kMi03 + " (code=5).") +
                                         kStep2 + kRemoved2 + kFirmwareOk + kUndo,
                                     backup_path));
    EXPECT_EQ(interface_tests(), 1u) << "no wait after a failed step 1";
    EXPECT_EQ(sim::count_calls("Sleep"), 0u);
}

// A second Vantro Q4 on the same hub.
void add_second_device(json& m, const json& mi03_behaviour) {
    m["devices"].push_back({{"instance_id", "USB\\VID_2A7D&PID_5E3C\\QV4B9"},
                            {"parent", "USB\\ROOT_HUB30\\4&2A3B1C7D&0&0"},
                            {"service", "usbccgp"}});
    json mi03 = {{"instance_id", "USB\\VID_2A7D&PID_5E3C&MI_03\\7&1F&0&0003"},
                 {"parent", "USB\\VID_2A7D&PID_5E3C\\QV4B9"},
                 {"service", "WINUSB"},
                 {"hardware_key", {{{"name", "RevisionId"}, {"type", "REG_DWORD"}, {"data", 258}}}}};
    mi03.update(mi03_behaviour);
    m["devices"].push_back(mi03);
}

TEST(RepairSection, EveryCandidateIsAttemptedAndTheOutcomeCombinesThem) {
    struct Case {
        const char* what;
        json first, second, faults;
        SectionOutcome outcome;
    };
    const json redetected = {{"firmware_guid_returns", "after_interface_redetect"}};
    const std::vector<Case> cases = {
        {"both repaired", redetected, redetected, json::array(), RepairSucceeded},
        {"first repaired, second needs a replug", redetected, {{"redetect", "never"}}, json::array(), RepairNeedsReplug},
        {"first needs a replug, second repaired", {{"redetect", "never"}}, redetected, json::array(), RepairNeedsReplug},
        {"both fail without a replug (the GUID cannot be written)", json::object(), json::object(),
         json::array({{{"operation", "RegSetValueExW"}, {"nth", 1}, {"code", 5}},
                      {{"operation", "RegSetValueExW"}, {"nth", 2}, {"code", 5}}}),
         RepairFailed},
    };
    for (const Case& c : cases) {
        test::use_machine(test::machine_text("default", [&](json& m) {
            m["elevated"] = true;
            test::device_entry(m, kMi03).update(c.first);
            add_second_device(m, c.second);
            m["faults"] = c.faults;
        }));
        test::ReportCapture capture;
        EXPECT_EQ(run_repair_section(true, false), c.outcome) << c.what;
        const std::string report = capture.finish();
        EXPECT_NE(report.find(info("Repairing " + kMi03 + " (previous GUID(s): (none))")), std::string::npos) << c.what;
        EXPECT_NE(report.find(info("Repairing USB\\VID_2A7D&PID_5E3C&MI_03\\7&1F&0&0003 (previous GUID(s): (none))")),
                  std::string::npos)
            << c.what;
        EXPECT_LT(report.find("Repairing " + kMi03), report.find("Repairing USB\\VID_2A7D&PID_5E3C&MI_03\\7&1F"))
            << c.what;
        EXPECT_NE(report.find("on 2 MI_03 interface(s)"), std::string::npos) << c.what;
    }
}

const std::string kRelaunching =
    info("Administrator rights are needed: relaunching the tool elevated (accept the Windows UAC prompt). The elevated "
         "window applies the repair, checks the result and saves its own report next to this executable.");

std::string finished(int code) {
    return info("The elevated instance has finished (exit code " + std::to_string(code) +
                ", 0 = no failure left). See its report for the details.");
}

// A first instance's request whose own report is (or would be) `name` in `dir`.
RepairRequest first_instance(const std::filesystem::path& dir, bool may_prompt, bool own_report_written = true) {
    RepairRequest request;
    request.fix_requested = true;
    request.may_prompt = may_prompt;
    request.report_path = widen(dir.string()) + L"\\VQ4_Diag_Report_20260304_050607.txt";
    if (own_report_written) {
        std::ofstream(dir / "VQ4_Diag_Report_20260304_050607.txt") << "own report";
        request.opened_report_path = request.report_path;
    }
    return request;
}

// A stand-in for the elevated instance: writes the text of the environment
// variable VQ4_TEST_ELEVATED_REPORT to the path of its "/report:" argument
// and ends with the exit code of VQ4_TEST_ELEVATED_EXIT.
std::filesystem::path elevated_stand_in(const std::filesystem::path& dir) {
    const std::filesystem::path script = dir / "elevated_stand_in.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                             "for a in \"$@\"; do case \"$a\" in /report:*) path=\"${a#/report:}\";; esac; done\n"
                             "if [ -n \"$path\" ]; then\n"
                             "  printf '%s' \"$VQ4_TEST_ELEVATED_REPORT\" > \"$(printf '%s' \"$path\" | tr '\\\\' '/')\"\n"
                             "fi\n"
                             "exit \"$VQ4_TEST_ELEVATED_EXIT\"\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return script;
}

TEST(RepairSection, ATokenThatCannotBeReadIsNotElevated) {
    // The machine is elevated, but the token says nothing: the section relaunches
    // instead of repairing in place. A stand-in for the elevated instance ends
    // with 1 and writes no report.
    sim::set_relaunch_binary("/bin/false");
    for (const char* failing : {"OpenProcessToken", "GetTokenInformation"}) {
        const std::filesystem::path dir = test::make_temp_dir("repair_token");
        test::use_machine(test::machine_text("repair-step1-works", [&](json& m) {
            m["faults"] = json::array({{{"operation", failing}, {"code", 5}}});
        }));
        const RepairRequest request = first_instance(dir, false);
        test::ReportCapture capture;
        const RepairSectionResult result = run_repair_section(request);
        EXPECT_EQ(result.outcome, RepairDelegated) << failing;
        ASSERT_TRUE(result.relaunch) << failing;
        EXPECT_TRUE(result.relaunch->exit_code_known) << failing;
        EXPECT_EQ(result.relaunch->exit_code, 1u) << failing;
        EXPECT_FALSE(result.delegated_repair_done()) << failing;
        EXPECT_EQ(capture.finish(),
                  kIntro + kRelaunching + finished(1) +
                      info("The elevated instance's report cannot be read (error code=2): " + dir.string() +
                           "\\VQ4_Diag_Report_20260304_050607_2.txt") +
                      info("Where this folder refuses it, the elevated instance writes its report to "
                           "C:\\ProgramData\\VQ4_Diag\\Backups\\VQ4_Diag_Report_20260304_050607_2.txt "
                           "(administrators only)."))
            << failing;
        EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), 0u) << failing << ": nothing repaired in place";
        EXPECT_EQ(sim::count_calls("CloseHandle", "token"), std::string(failing) == "OpenProcessToken" ? 0u : 1u);
        EXPECT_EQ(sim::count_calls("CloseHandle", "process"), 1u) << failing;
        EXPECT_EQ(sim::count_calls("WaitForSingleObject", "4294967295"), 1u) << failing << ": INFINITE";
        std::filesystem::remove_all(dir);
    }
    sim::set_relaunch_binary("");
}

TEST(RepairSection, TheRelaunchPassesFixTheMarkTheReportPathAndNopause) {
    struct Case {
        const char* what;
        bool may_prompt;
        std::vector<std::string> existing;  // report names already in the folder besides the own one
        bool own_report_written;
        std::string parameters;  // with <dir> for the folder
    };
    const std::string quoted = "\"/report:<dir>\\VQ4_Diag_Report_20260304_050607";
    const std::vector<Case> cases = {
        {"unattended", false, {}, true, "/fix /elevated " + quoted + "_2.txt\" /nopause"},
        {"a user at the console", true, {}, true, "/fix /elevated " + quoted + "_2.txt\""},
        {"_2 taken", false, {"VQ4_Diag_Report_20260304_050607_2.txt"}, true,
         "/fix /elevated " + quoted + "_3.txt\" /nopause"},
        {"no report of its own: the name is free", false, {}, false, "/fix /elevated " + quoted + ".txt\" /nopause"},
    };
    for (const Case& c : cases) {
        const std::filesystem::path dir = test::make_temp_dir("repair_parameters");
        sim::set_relaunch_binary(elevated_stand_in(dir).string());
        ::setenv("VQ4_TEST_ELEVATED_REPORT", "", 1);
        ::setenv("VQ4_TEST_ELEVATED_EXIT", "0", 1);
        test::use_machine(test::machine_text("default", [](json& m) { m["module_path"] = "C:\\Tools\\VQ4_Diag.exe"; }));
        for (const std::string& name : c.existing) std::ofstream(dir / name) << "taken";
        const RepairRequest request = first_instance(dir, c.may_prompt, c.own_report_written);
        {
            test::ReportCapture capture;
            EXPECT_EQ(run_repair_section(request).outcome, RepairDelegated) << c.what;
        }
        // The GUID this instance expects goes last.
        std::string parameters = c.parameters + " /guid:" + kExpectedGuid;
        parameters.replace(parameters.find("<dir>"), 5, dir.string());
        EXPECT_EQ(sim::count_calls("ShellExecuteExW", "runas, C:\\Tools\\VQ4_Diag.exe, " + parameters + ", 1"), 1u)
            << c.what << ": " << parameters;
        EXPECT_EQ(sim::count_calls("GetModuleFileNameW", "260"), 1u) << c.what;
        for (const std::string& name : c.existing) {
            EXPECT_EQ(test::read_file_bytes(dir / name), "taken") << c.what << ": never replaced";
        }
        std::filesystem::remove_all(dir);
    }
    ::unsetenv("VQ4_TEST_ELEVATED_REPORT");
    ::unsetenv("VQ4_TEST_ELEVATED_EXIT");
    sim::set_relaunch_binary("");

    // In a process that is not the tool nothing is started: the relaunch fails.
    test::use_machine(test::machine_text("default"));
    test::ReportCapture capture;
    EXPECT_EQ(run_repair_section(true, false), RepairFailed);
    EXPECT_NE(capture.finish().find("Elevation refused or failed"), std::string::npos);
}

TEST(RepairSection, TheElevatedReportShowsUnderSection7) {
    const std::string repaired =
        "\r\n==== 7. Automatic repair (MI_03 interface GUID) ====\r\n[ INFO ] Repairing " + kMi03 +
        " (previous GUID(s): (none))\r\n[ INFO ] Step 1/3: remove\r\n[ INFO ] Step 2/3: remove the whole\r\n"
        "[  OK  ]   -> The firmware's interface GUID " + kExpectedGuid +
        " is registered again on MI_03.\r\n\r\n==== Summary after repair ====\r\n[ INFO ] 4 test(s) OK, 0 warning(s), "
        "0 failure(s).\r\n[  OK  ] Everything appears to be working correctly.\r\n";
    struct Case {
        const char* what;
        std::string report;  // what the elevated instance writes
        const char* exit;
        std::string ending;  // how it ended
        std::string lines;   // after that, <path> for the elevated report
        bool repaired;
    };
    const std::vector<Case> cases = {
        {"repaired at step 2", repaired, "0", finished(0),
         info("Elevated instance: the repair of " + kMi03 + " worked at step 2/3.") +
             info("Elevated instance, Summary after repair: 4 test(s) OK, 0 warning(s), 0 failure(s). Everything "
                  "appears to be working correctly.") +
             info("Elevated instance's report: <path>"),
         true},
        // Any code but 0 and 1 is an abnormal end, given in hexadecimal.
        {"ended before its summary", repaired.substr(0, repaired.find("\r\n==== Summary")), "3",
         fail("The elevated instance ended abnormally (exit code 0x00000003): its window was closed or it stopped. It "
              "may have changed the system. See its report for the details."),
         info("The elevated instance's report ends before its summary: <path>"), false},
        {"repaired, then ended with a code of no meaning to the tool", repaired, "255",
         fail("The elevated instance ended abnormally (exit code 0x000000FF): its window was closed or it stopped. It "
              "may have changed the system. See its report for the details."),
         info("Elevated instance: the repair of " + kMi03 + " worked at step 2/3.") +
             info("Elevated instance, Summary after repair: 4 test(s) OK, 0 warning(s), 0 failure(s). Everything "
                  "appears to be working correctly.") +
             info("Elevated instance's report: <path>"),
         true},
    };
    for (const Case& c : cases) {
        const std::filesystem::path dir = test::make_temp_dir("repair_result");
        sim::set_relaunch_binary(elevated_stand_in(dir).string());
        ::setenv("VQ4_TEST_ELEVATED_REPORT", c.report.c_str(), 1);
        ::setenv("VQ4_TEST_ELEVATED_EXIT", c.exit, 1);
        test::use_machine(test::machine_text("repair-step1-works", [](json& m) { m["elevated"] = false; }));
        std::uint32_t code = 77;
        std::string report;
        {
            const RepairRequest request = first_instance(dir, false);
            test::ReportCapture capture;
            const RepairSectionResult result = run_repair_section(request);
            EXPECT_EQ(result.outcome, RepairDelegated) << c.what;
            ASSERT_TRUE(result.relaunch) << c.what;
            code = result.relaunch->exit_code;
            EXPECT_EQ(result.delegated_repair_done(), c.repaired) << c.what;
            report = capture.finish();
        }
        EXPECT_EQ(code, static_cast<std::uint32_t>(std::stoul(c.exit))) << c.what;
        std::string lines = c.lines;
        lines.replace(lines.find("<path>"), 6, dir.string() + "\\VQ4_Diag_Report_20260304_050607_2.txt");
        EXPECT_EQ(report, kIntro + kRelaunching + c.ending + lines) << c.what;
        std::filesystem::remove_all(dir);
    }
    ::unsetenv("VQ4_TEST_ELEVATED_REPORT");
    ::unsetenv("VQ4_TEST_ELEVATED_EXIT");
    sim::set_relaunch_binary("");
}

// How the elevated instance ended, as the first window says it: 0 and 1 are
// the tool's own codes; every other value (0xFFFFFFFF too) is an abnormal
// end, in hexadecimal; no code at all says that it may have changed the system.
TEST(RepairSection, TheElevatedInstancesEndingIsSaidFromItsExitCode) {
    const std::string abnormal_tail =
        "): its window was closed or it stopped. It may have changed the system. See its report for the details.";
    struct Case {
        bool known;
        std::uint32_t code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {true, 0, finished(0)},
        {true, 1, finished(1)},
        {true, 2, fail("The elevated instance ended abnormally (exit code 0x00000002" + abnormal_tail)},
        {true, 0xC000013A, fail("The elevated instance ended abnormally (exit code 0xC000013A" + abnormal_tail)},
        {true, 0xC0000005, fail("The elevated instance ended abnormally (exit code 0xC0000005" + abnormal_tail)},
        {true, 0xFFFFFFFF, fail("The elevated instance ended abnormally (exit code 0xFFFFFFFF" + abnormal_tail)},
        {false, 0, fail("The elevated instance was started, but its exit code could not be obtained: it may have "
                        "changed the system. See its report for the details.")},
    };
    for (const Case& c : cases) {
        ElevatedRelaunch run;
        run.started = true;
        run.ended = true;
        run.exit_code_known = c.known;
        run.exit_code = c.code;
        run.report_path = L"C:\\T\\VQ4_Diag_Report_1_2.txt";
        run.report = ElevatedReportState::Incomplete;
        test::ReportCapture capture;
        print_relaunch_ending(run, L"C:\\T\\VQ4_Diag_Report_1.txt");
        EXPECT_EQ(capture.finish(),
                  c.line + info("The elevated instance's report ends before its summary: C:\\T\\VQ4_Diag_Report_1_2.txt"))
            << c.code;
    }
}

TEST(RepairSection, ARelaunchedInstanceWithoutRightsNeverRelaunches) {
    sim::set_relaunch_binary("/bin/true");
    test::use_machine(test::machine_text("repair-step1-works", [](json& m) { m["elevated"] = false; }));
    RepairRequest request;
    request.fix_requested = true;
    request.relaunched = true;
    test::ReportCapture capture;
    const RepairSectionResult result = run_repair_section(request);
    EXPECT_EQ(result.outcome, RepairFailed);
    EXPECT_EQ(capture.finish(), kIntro + fail("Administrator rights could not be obtained: this instance was relaunched "
                                              "to get them and is still not elevated. No change was made."));
    EXPECT_FALSE(result.relaunch) << "no elevated instance";
    EXPECT_EQ(sim::count_calls("ShellExecuteExW"), 0u) << "no elevated instance";
    EXPECT_EQ(sim::count_calls("ShellExecuteExW"), 0u);
    EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), 0u);
    sim::set_relaunch_binary("");
}

TEST(RepairSection, EveryPathChangesOnlyWhatTheRepairMust) {
    std::vector<std::string> machines;
    for (const Ending& e : endings()) machines.push_back(e.machine);
    for (const std::string& name : machines) {
        test::use_machine(test::machine_text(name));
        const test::TreeSnapshot before = test::take_snapshot();
        const Ending& e = *std::find_if(endings().begin(), endings().end(),
                                        [&](const Ending& x) { return x.machine == name; });
        {
            test::ReportCapture capture;
            run_repair_section(e.fix_requested, false);
        }
        const test::TreeSnapshot after = test::take_snapshot();
        const std::vector<std::string> changes = test::forbidden_changes(before, after);
        EXPECT_TRUE(changes.empty()) << name << ": " << (changes.empty() ? "" : changes.front());
        if (e.outcome == RepairSucceeded) {
            EXPECT_TRUE(find_repair_candidates(widen(kExpectedGuid)).empty()) << name << ": repaired";
        }
        if (e.outcome == NothingToRepair || e.outcome == RepairNotApplied || name == "repair-elevation-refused") {
            EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), 0u) << name;
            EXPECT_EQ(sim::count_calls("RegSetValueExW"), 0u) << name;
        }
    }
}

// What the repair deleted or overwrote comes back when the backup file is
// imported over the registry the repair left: on every path, read from the
// file by the tests' own .reg reader.
TEST(RepairSection, EveryPathsBackupGivesBackWhatTheRepairChanged) {
    using Values = std::map<std::wstring, test::TreeSnapshot::Value>;
    using Registry = std::map<std::wstring, Values>;
    const std::wstring usbflags = L"HKLM\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\USBFLAGS\\";
    const std::wstring mi03_key = to_upper_ascii(sim::hardware_key_path(widen(kMi03)));
    // The descriptor caches, and MI_03's two GUID values: what the repair
    // itself deletes or writes (a re-detection rewrites MI_03's key on its own).
    const auto touched = [&](const Registry& registry, bool caches, bool guids) {
        Registry out;
        for (const auto& [path, values] : registry) {
            if (caches && path.rfind(usbflags, 0) == 0) out[path] = values;
        }
        const auto key = registry.find(mi03_key);
        for (const wchar_t* name : {L"DEVICEINTERFACEGUIDS", L"DEVICEINTERFACEGUID"}) {
            if (guids && key != registry.end() && key->second.count(name) != 0) out[mi03_key][name] = key->second.at(name);
        }
        return out;
    };
    int with_backup = 0;
    for (const Ending& e : endings()) {
        test::use_machine(test::machine_text(e.machine));
        const test::TreeSnapshot before = test::take_snapshot();
        test::ReportCapture capture;
        run_repair_section(e.fix_requested, false);
        const test::TreeSnapshot after = test::take_snapshot();
        const bool cache_deleted = touched(after.registry, true, false) != touched(before.registry, true, false);
        const bool guid_written = sim::count_calls("RegSetValueExW") != 0;
        const std::vector<std::string> files = test::backup_files(capture.backup_directory().string());
        ASSERT_LE(files.size(), 1u) << e.machine;
        if (!cache_deleted && !guid_written) {
            EXPECT_TRUE(files.empty()) << e.machine << ": nothing changed, nothing backed up";
            continue;
        }
        ASSERT_EQ(files.size(), 1u) << e.machine << ": changed without a backup";
        ++with_backup;
        std::string error;
        const std::vector<test::RegFileOp> ops = test::parse_reg_file(test::read_file_bytes(files[0]), error);
        ASSERT_EQ(error, "") << e.machine;
        EXPECT_EQ(touched(test::import_reg_ops(after.registry, ops), true, guid_written),
                  touched(before.registry, true, guid_written))
            << e.machine;
    }
    EXPECT_EQ(with_backup, 8) << "paths that delete the cache or write the GUID";
}

TEST(RepairSection, TheSnapshotComparisonCatchesStrayChanges) {
    // The comparison itself must fail on what a careless repair could do.
    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const std::vector<Case> cases = {
        {"GUID written into MI_00's key",
         [] {
             sim::machine().registry.set_value(sim::hardware_key_path(widen(kMi00)),
                                               {L"DeviceInterfaceGUIDs", 7, utf16le_bytes(widen(kExpectedGuid), 2), {}});
         }},
        {"another value of MI_03 changed",
         [] { sim::machine().registry.set_value(sim::hardware_key_path(widen(kMi03)), {L"RevisionId", 4, {1, 0, 0, 0}, {}}); }},
        {"another revision's cache deleted",
         [] { sim::machine().registry.remove_tree(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0200"); }},
        {"another device's cache deleted",
         [] { sim::machine().registry.remove_tree(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\046DC0770100"); }},
        {"the mouse removed", [] { sim::machine().devices.erase(sim::machine().devices.begin() + 1); }},
        {"the SDK registration touched",
         [] {
             sim::machine().registry.set_value(
                 L"HKLM\\SOFTWARE\\Classes\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
                 {L"ThreadingModel", 1, utf16le_bytes(L"Apartment", 1), {}});
         }},
        {"a key left behind", [] { sim::machine().registry.create(L"HKLM\\SOFTWARE\\Quorvane\\Repair"); }},
        {"MI_00 back without its key",
         [] { sim::machine().registry.remove_tree(L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + widen(kMi00)); }},
    };
    for (const Case& c : cases) {
        test::use_machine(test::machine_text("repair-step2-works", [](json& m) {
            test::device_entry(m, kMi00)["hardware_key"] = json::array({{{"name", "RevisionId"}, {"type", "REG_DWORD"}, {"data", 258}}});
        }));
        const test::TreeSnapshot before = test::take_snapshot();
        c.change();
        EXPECT_FALSE(test::forbidden_changes(before, test::take_snapshot()).empty()) << c.what;
    }
}

}  // namespace
}  // namespace vq4
