#include "app/sections.h"

#include <string>
#include <vector>

#include "inspect/system_information.h"
#include "inspect/usb_detection.h"
#include "inspect/usb_nodes.h"
#include "related/related_software.h"
#include "interface/low_level_section.h"
#include "sdk/sdk_registration_section.h"
#include "sdk/sdk_test_section.h"

namespace vq4 {

void run_report_sections() {
    run_system_information_section();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    run_usb_detection_section(nodes);
    const std::wstring mi03_interface_path = run_low_level_section(nodes);
    run_sdk_registration_section();
    run_sdk_test_section(mi03_interface_path);
    run_related_software_section();
}

void run_verification_sections() {
    std::wstring mi03_interface_path;
    {
        // A fresh node list: the repair has re-created the device's nodes.
        const std::vector<UsbNode> fresh_nodes = enumerate_usb_nodes();
        mi03_interface_path = run_low_level_section(fresh_nodes);
    }
    run_sdk_test_section(mi03_interface_path);
}

}  // namespace vq4
