// The report sections in their fixed order. Each section's code lives in the
// folder of its subsystem; this is where the run driver reaches them.
#pragma once

#include <cstdint>

#include "repair/repair_section.h"

namespace vq4 {

// Sections 1 to 6, in order; builds the node list that sections 2 and 3 read.
void run_report_sections();

// Section 7; returns its section_outcome (0 when there is nothing to repair)
// and, when the repair ran in the elevated instance, that instance's exit code.
int run_repair_stage(const RepairRequest& request, std::uint32_t& elevated_exit_code);

// The re-checks of section 8 (sections 3 and 5 on a fresh node list).
void run_verification_sections();

}  // namespace vq4
