#include "app/sections.h"

#include "inspect/system_information.h"
#include "repair/repair_section.h"

namespace vq4 {

void run_report_sections() {
    run_system_information_section();
}

int run_repair_stage(bool fix_requested, bool may_prompt) { return run_repair_section(fix_requested, may_prompt); }

void run_verification_sections() {}

}  // namespace vq4
