// The report sections in their fixed order. Each section's code lives in the
// folder of its subsystem; this is where the run driver reaches them.
#pragma once

#include <vector>

#include "inspect/usb_nodes.h"
#include "interface/low_level_section.h"
#include "sdk/sdk_registration_section.h"
#include "sdk/sdk_test_section.h"

namespace vq4 {

// What sections 1 to 6 found that the run keeps for the JSON report.
struct ReportFacts {
    std::vector<UsbNode> nodes;
    LowLevelResult low_level;
    SdkRegistrationFacts sdk_registration;
    SdkTestResult sdk_test;
};

// What the re-checks of section 8 found.
struct VerificationFacts {
    std::vector<UsbNode> nodes;
    LowLevelResult low_level;
    SdkTestResult sdk_test;
};

// Sections 1 to 6, in order, over one node list built after section 1;
// section 5 gets the MI_03 interface that section 3 found.
ReportFacts run_report_sections();

// The re-checks of section 8: sections 3 and 5 on a fresh node list.
VerificationFacts run_verification_sections();

}  // namespace vq4
