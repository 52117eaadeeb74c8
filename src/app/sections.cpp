#include "app/sections.h"

#include <vector>

#include "inspect/system_information.h"
#include "inspect/usb_detection.h"
#include "inspect/usb_nodes.h"
#include "related/related_software.h"
#include "interface/low_level_section.h"
#include "sdk/sdk_registration_section.h"
#include "sdk/sdk_test_section.h"
#include "repair/repair_section.h"

namespace vq4 {

namespace {

// The node list of the run: built once after section 1, read by the
// sections that follow, kept until the process ends.
std::vector<UsbNode>& run_nodes() {
    static std::vector<UsbNode> nodes;
    return nodes;
}

}  // namespace

void run_report_sections() {
    run_system_information_section();
    run_nodes() = enumerate_usb_nodes();
    run_usb_detection_section(run_nodes());
    run_low_level_section(run_nodes());
    run_sdk_registration_section();
    run_sdk_test_section();
    run_related_software_section();
}

int run_repair_stage(const RepairRequest& request, std::uint32_t& elevated_exit_code) {
    return run_repair_section(request, elevated_exit_code);
}

void run_verification_sections() {
    {
        // A fresh node list: the repair has re-created the device's nodes.
        const std::vector<UsbNode> fresh_nodes = enumerate_usb_nodes();
        run_low_level_section(fresh_nodes);
    }
    run_sdk_test_section();
}

}  // namespace vq4
