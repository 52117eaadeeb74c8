// The report sections in their fixed order. Each section's code lives in the
// folder of its subsystem; this is where the run driver reaches them.
#pragma once

namespace vq4 {

// Sections 1 to 6, in order, over one node list built after section 1;
// section 5 gets the MI_03 interface that section 3 found.
void run_report_sections();

// The re-checks of section 8: sections 3 and 5 on a fresh node list.
void run_verification_sections();

}  // namespace vq4
