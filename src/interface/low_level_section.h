// Section 3: the MI_03 vendor interface from its node's hardware key up to
// one UCR PING through WinUSB.
#pragma once

#include <string>
#include <vector>

#include "inspect/usb_nodes.h"

namespace vq4 {

// Reports on the first MI_03 node of `nodes`. Returns the device path of the
// usable MI_03 device interface it found, for section 5's lock test; empty
// when it found none.
std::wstring run_low_level_section(const std::vector<UsbNode>& nodes);

}  // namespace vq4
