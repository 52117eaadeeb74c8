#include "app/sections.h"

#include <string>
#include <vector>

#include "inspect/system_information.h"
#include "inspect/usb_detection.h"
#include "related/related_software.h"

namespace vq4 {

ReportFacts run_report_sections() {
    ReportFacts facts;
    run_system_information_section();
    facts.nodes = enumerate_usb_nodes();
    run_usb_detection_section(facts.nodes);
    facts.low_level = run_low_level_section(facts.nodes);
    facts.sdk_registration = run_sdk_registration_section();
    facts.sdk_test = run_sdk_test_section(facts.low_level.interface_path);
    run_related_software_section();
    return facts;
}

VerificationFacts run_verification_sections() {
    VerificationFacts facts;
    // A fresh node list: the repair has re-created the device's nodes.
    facts.nodes = enumerate_usb_nodes();
    facts.low_level = run_low_level_section(facts.nodes);
    facts.sdk_test = run_sdk_test_section(facts.low_level.interface_path);
    return facts;
}

}  // namespace vq4
