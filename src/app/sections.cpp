#include "app/sections.h"

#include "inspect/system_information.h"
#include "sdk/sdk_registration_section.h"
#include "sdk/sdk_test_section.h"

namespace vq4 {

void run_report_sections() {
    run_system_information_section();
    run_sdk_registration_section();
    run_sdk_test_section();
}

int run_repair_stage(bool /*fix_requested*/, bool /*may_prompt*/) {
    // No repair section in this build: nothing is repaired, nothing printed.
    return 0;
}

void run_verification_sections() {
    run_sdk_test_section();
}

}  // namespace vq4
