// Section 2: whether the device is plugged in, and the role, driver and
// state of each of its USB nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/usb_nodes.h"

namespace vq4 {

// Reports on the node list built by the run driver; changes nothing.
void run_usb_detection_section(const std::vector<UsbNode>& nodes);

// Text for a device-node problem code (CM_PROB_*).
std::wstring problem_text(std::uint32_t code);

}  // namespace vq4
