// Section 3: the MI_03 vendor interface from its node's hardware key up to
// one UCR PING through WinUSB.
#pragma once

#include <vector>

#include "inspect/usb_nodes.h"

namespace vq4 {

// Reports on the first MI_03 node of `nodes`; empties mi03_interface_path and
// sets it to the device path of the interface found, if any.
void run_low_level_section(const std::vector<UsbNode>& nodes);

}  // namespace vq4
