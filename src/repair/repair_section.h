// Section 7: reports the repairable MI_03 problem and the plan, asks for
// consent, then repairs in place when elevated or relaunches the tool
// elevated with "/fix" and reports that instance's exit code and result.
#pragma once

#include <cstdint>
#include <string>

namespace vq4 {

// The value of section 7, read by the run driver.
enum SectionOutcome : int {
    NothingToRepair = 0,
    RepairNotApplied = 1,
    RepairSucceeded = 2,
    RepairNeedsReplug = 3,
    RepairFailed = 4,
    RepairDelegated = 5,
};

struct RepairRequest {
    bool fix_requested = false;  // "/fix": consent without a question
    bool may_prompt = false;     // no "/nopause": the section may ask on the console
    bool relaunched = false;     // "/elevated": this instance was started by the elevated relaunch
    // This instance's report: the name it computed, and the file it writes
    // (empty when none could be created). The elevated report goes beside it.
    std::wstring report_path;
    std::wstring opened_report_path;
};

// Prints nothing and returns NothingToRepair when there is no candidate.
// On RepairDelegated `elevated_exit_code` holds the elevated instance's
// exit code.
int run_repair_section(const RepairRequest& request, std::uint32_t& elevated_exit_code);

// The same for a first instance without a report of its own.
int run_repair_section(bool fix_requested, bool may_prompt);

// True only when the process token can be read and says it is elevated.
bool process_is_elevated();

}  // namespace vq4
