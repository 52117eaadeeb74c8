// Section 7: reports the repairable MI_03 problem and the plan, asks for
// consent, then repairs in place when elevated or relaunches the tool
// elevated with "/fix" and reports that instance's exit code.
#pragma once

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

// `fix_requested`: "/fix" given (consent without a question); `may_prompt`:
// the section may ask on the console (no "/nopause"). Prints nothing and
// returns NothingToRepair when there is no candidate.
int run_repair_section(bool fix_requested, bool may_prompt);

// True only when the process token can be read and says it is elevated.
bool process_is_elevated();

}  // namespace vq4
