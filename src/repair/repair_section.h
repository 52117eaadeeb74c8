// Section 7: reports the repairable MI_03 problem and the plan, asks for
// consent, then repairs in place when elevated or relaunches the tool
// elevated with "/fix" and reports that instance's exit code and result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "repair/elevated_handover.h"

namespace vq4 {

// How section 7 ended, read by the run driver.
enum class SectionOutcome {
    NothingToRepair,
    RepairNotApplied,
    RepairSucceeded,
    RepairNeedsReplug,
    RepairFailed,
    RepairDelegated,  // the elevated instance ran: `relaunch` says how it ended and whether it repaired
};

struct RepairSectionResult {
    SectionOutcome outcome = SectionOutcome::NothingToRepair;
    std::optional<ElevatedRelaunch> relaunch = std::nullopt;  // the relaunch, when this instance made one

    // The elevated instance reports the repair as done: this instance then
    // verifies it itself, as the user, which is what the user's applications see.
    bool delegated_repair_done() const {
        return outcome == SectionOutcome::RepairDelegated && relaunch && relaunch->result.repaired;
    }
};

struct RepairRequest {
    bool fix_requested = false;  // "/fix": consent without a question
    bool may_prompt = false;     // no "/nopause": the section may ask on the console
    bool relaunched = false;     // "/elevated": this instance was started by the elevated relaunch
    bool json = false;           // "/json": passed on to the elevated instance
    // This instance's report: the name it computed, and the file it writes
    // (empty when none could be created). The elevated report goes beside it.
    std::wstring report_path;
    std::wstring opened_report_path;
    // "/guid:": the GUID the first instance expects (relaunched only).
    std::wstring handed_guid;
};

// Prints nothing and ends with NothingToRepair when there is no candidate.
RepairSectionResult run_repair_section(const RepairRequest& request);

// The same for a first instance without a report of its own.
SectionOutcome run_repair_section(bool fix_requested, bool may_prompt);

// The lines section 7 prints from a relaunch that started: how the elevated
// instance ended (its exit code; any code but 0 and 1 is an abnormal end,
// given in hexadecimal), then what its report says.
void print_relaunch_ending(const ElevatedRelaunch& run, const std::wstring& base_report_path);

// True only when the process token can be read and says it is elevated.
bool process_is_elevated();

}  // namespace vq4
