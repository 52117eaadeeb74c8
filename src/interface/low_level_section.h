// Section 3: the MI_03 vendor interface from its node's hardware key up to
// one UCR PING through WinUSB.
#pragma once

#include <string>
#include <vector>

#include "inspect/usb_nodes.h"

namespace vq4 {

// What section 3 found, for the run: the interface for section 5 and the
// facts the JSON report gives.
struct LowLevelResult {
    // The device path of the usable MI_03 device interface, for section 5's
    // lock test; empty when none was found.
    std::wstring interface_path;
    // Whether the MI_03 node's GUIDs were read (its hardware key opened);
    // the GUID facts below are known only then.
    bool guids_read = false;
    std::vector<std::wstring> registered_guids;  // as stored
    std::wstring expected_guid;
    std::wstring expected_guid_source;
};

// Reports on the first MI_03 node of `nodes`.
LowLevelResult run_low_level_section(const std::vector<UsbNode>& nodes);

}  // namespace vq4
