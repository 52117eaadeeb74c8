#include "app/sections.h"

#include <vector>

#include "inspect/system_information.h"
#include "inspect/usb_nodes.h"
#include "vendor/low_level_section.h"

namespace vq4 {

void run_report_sections() {
    run_system_information_section();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    run_low_level_section(nodes);
}

int run_repair_stage(bool /*fix_requested*/, bool /*may_prompt*/) {
    // No repair section in this build: nothing is repaired, nothing printed.
    return 0;
}

void run_verification_sections() {
    {
        // A fresh node list: the repair has re-created the device's nodes.
        const std::vector<UsbNode> fresh_nodes = enumerate_usb_nodes();
        run_low_level_section(fresh_nodes);
    }
}

}  // namespace vq4
