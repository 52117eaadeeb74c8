#include "repair/repair_section.h"

#include <string>
#include <vector>

#include "platform/elevation.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "repair/elevated_handover.h"
#include "repair/protected_folder.h"
#include "repair/repair_candidates.h"
#include "repair/repair_sequence.h"
#include "report/report.h"
#include "util/guid.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4 {

namespace {

constexpr std::uint16_t kAttrPrompt = 14;

void print_problem_and_plan(const std::vector<RepairCandidate>& candidates, const std::wstring& expected_guid) {
    print_section(L"7. Automatic repair (MI_03 interface GUID)");
    print_status(StatusKind::Info, L"A repairable problem was detected on " +
                                       decimal(static_cast<std::uint32_t>(candidates.size())) +
                                       L" MI_03 interface(s): WinUSB is active but the GUID expected by the SDK (" +
                                       expected_guid + L") is not registered.");
    for (const RepairCandidate& candidate : candidates) {
        print_detail(candidate.instance_id + L"  -  current GUID(s): " + join_guids(candidate.current_guids));
    }
    print_detail(L"Repair (stops at the first step that works; administrator rights required):");
    print_detail(L"  1. remove the MI_03 interface and re-detect it (audio not interrupted);");
    print_detail(L"  2. if needed, remove the whole device + its USB descriptor cache and re-detect it");
    print_detail(L"     (audio interrupted for a few seconds - close OBS / audio apps first);");
    print_detail(L"  3. last resort: write the GUID manually into the MI_03 registry key.");
}

// The question goes to the console only; the answer is not reported.
bool ask_consent() {
    platform::console_set_attribute(kAttrPrompt);
    write_console(L"\nApply the repair now? [Y/N] ");
    platform::console_set_attribute(kAttrNormal);
    std::string answer;
    platform::console_read_line(answer);
    if (answer.empty()) return false;
    const char first = answer[0];
    return first == 'Y' || first == 'y' || first == 'O' || first == 'o';
}

SectionOutcome repair_in_place(const std::vector<RepairCandidate>& candidates, const std::wstring& expected_guid) {
    bool all_succeeded = true;
    bool any_replug = false;
    RegistryBackup backup;
    for (const RepairCandidate& candidate : candidates) {
        print_status(StatusKind::Info, L"Repairing " + candidate.instance_id + L" (previous GUID(s): " +
                                           join_guids(candidate.current_guids) + L")");
        const CandidateRepair repair = run_repair_sequence(candidate, expected_guid, backup);
        if (repair != CandidateRepair::Repaired) all_succeeded = false;
        if (repair == CandidateRepair::NeedsReplug) any_replug = true;
    }
    if (!backup.saved.empty()) {
        print_status(StatusKind::Info, std::wstring(kRestoreHintPrefix) + L"\"" + backup.path + L"\"");
    }
    if (all_succeeded) return SectionOutcome::RepairSucceeded;
    return any_replug ? SectionOutcome::RepairNeedsReplug : SectionOutcome::RepairFailed;
}

// The elevated instance's result, read from its report, in this report.
void show_elevated_result(const ElevatedRelaunch& run, const std::wstring& base_report_path) {
    switch (run.report) {
        case ElevatedReportState::NotRead:
            return;
        case ElevatedReportState::NoName:
            print_status(StatusKind::Info,
                         L"The elevated instance's report cannot be read: no free name was left for it beside " +
                             base_report_path);
            return;
        case ElevatedReportState::ReadError:
            print_status(StatusKind::Info, L"The elevated instance's report cannot be read (error code=" +
                                               decimal(run.report_error) + L"): " + run.report_path);
            show_protected_report_location(run.report_path, run.report_error);
            return;
        case ElevatedReportState::Incomplete:
            print_status(StatusKind::Info,
                         L"The elevated instance's report ends before its summary: " + run.report_path);
            return;
        case ElevatedReportState::Read:
            for (const std::wstring& line : run.result.lines) print_status(StatusKind::Info, line);
            return;
    }
}

RepairSectionResult relaunch_elevated(const RepairRequest& request, const std::wstring& expected_guid) {
    print_status(StatusKind::Info,
                 L"Administrator rights are needed: relaunching the tool elevated (accept the Windows UAC prompt). The "
                 L"elevated window applies the repair, checks the result and saves its own report next to this "
                 L"executable.");
    RelaunchRequest relaunch;
    relaunch.base_report_path = request.report_path;
    relaunch.opened_report_path = request.opened_report_path;
    relaunch.nopause = !request.may_prompt;
    relaunch.json = request.json;
    relaunch.expected_guid = expected_guid;
    const ElevatedRelaunch run = relaunch_elevated_instance(relaunch);
    if (!run.started) {
        print_status(StatusKind::Fail, L"Elevation refused or failed: no change was made. Re-run the tool with 'Run as "
                                       L"administrator' to apply the repair.");
        return {SectionOutcome::RepairFailed};
    }
    print_relaunch_ending(run, request.report_path);
    RepairSectionResult result{SectionOutcome::RepairDelegated};
    result.relaunch = run;
    return result;
}

}  // namespace

void print_relaunch_ending(const ElevatedRelaunch& run, const std::wstring& base_report_path) {
    // Once it has started, the elevated instance may have repaired (or may
    // still be repairing): "no change was made" would be false here.
    if (!run.exit_code_known) {
        print_status(StatusKind::Fail, L"The elevated instance was started, but its exit code could not be obtained: "
                                       L"it may have changed the system. See its report for the details.");
    } else if (run.exit_code == 0 || run.exit_code == 1) {
        print_status(StatusKind::Info, L"The elevated instance has finished (exit code " + decimal(run.exit_code) +
                                           L", 0 = no failure left). See its report for the details.");
    } else {
        // A closed console window ends it with STATUS_CONTROL_C_EXIT
        // (0xC000013A), a crash with an exception code: NTSTATUS values read
        // in hexadecimal.
        std::wstring code;
        format_wide(code, 16, L"0x%08X", static_cast<unsigned>(run.exit_code));
        print_status(StatusKind::Fail, L"The elevated instance ended abnormally (exit code " + code +
                                           L"): its window was closed or it stopped. It may have changed the system. "
                                           L"See its report for the details.");
    }
    show_elevated_result(run, base_report_path);
}

bool process_is_elevated() {
    platform::TokenHandle token;
    if (platform::open_process_token(win::TOKEN_QUERY_, token) != 0) return false;
    std::uint32_t elevated = 0;
    const bool read = platform::get_token_elevation(token, elevated) == 0;
    token.reset();
    return read && elevated != 0;
}

SectionOutcome run_repair_section(bool fix_requested, bool may_prompt) {
    RepairRequest request;
    request.fix_requested = fix_requested;
    request.may_prompt = may_prompt;
    return run_repair_section(request).outcome;
}

RepairSectionResult run_repair_section(const RepairRequest& request) {
    const ExpectedGuid own = expected_interface_guid();
    std::wstring expected_guid = own.guid;
    // The elevated instance repairs toward the GUID the first window's user
    // expects: it may run as another account, with another SDK
    // registration or none.
    const std::wstring handed = request.relaunched ? accepted_expected_guid(request.handed_guid) : std::wstring();
    if (!handed.empty()) expected_guid = handed;
    const std::vector<RepairCandidate> candidates = find_repair_candidates(expected_guid);
    if (candidates.empty()) return {SectionOutcome::NothingToRepair};

    print_problem_and_plan(candidates, expected_guid);
    if (!handed.empty() && !same_guid(handed, own.guid)) {
        print_status(StatusKind::Info, L"The repair registers " + handed +
                                           L" (source: the first window, the GUID its user's applications expect); "
                                           L"this elevated instance reads " + own.guid + L" (source: " + own.source +
                                           L").");
    }

    if (!request.fix_requested) {
        if (!request.may_prompt) {
            print_status(StatusKind::Info, L"Run this tool again with /fix to apply the repair.");
            return {SectionOutcome::RepairNotApplied};
        }
        if (!ask_consent()) {
            print_status(StatusKind::Info, L"Repair declined by the user. No change was made.");
            return {SectionOutcome::RepairNotApplied};
        }
    }

    if (process_is_elevated()) return {repair_in_place(candidates, expected_guid)};
    // Started by the relaunch and still without the rights (User Account
    // Control turned off for a standard user, say): relaunching again would
    // start one waiting instance after another.
    if (request.relaunched) {
        print_status(StatusKind::Fail, L"Administrator rights could not be obtained: this instance was relaunched "
                                       L"to get them and is still not elevated. No change was made.");
        return {SectionOutcome::RepairFailed};
    }
    return relaunch_elevated(request, expected_guid);
}

}  // namespace vq4
