// The device's present USB nodes: the composite parent and its interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq4 {

inline constexpr const wchar_t* kDeviceHardwareId = L"VID_2A7D&PID_5E3C";

struct UsbNode {
    std::wstring instance_id;
    std::wstring description;  // friendly name, else device description, else empty
    std::wstring service;      // bound driver service, empty when none
    std::uint32_t dev_inst = 0;
    bool has_status = false;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
};

// One pass over the present nodes of the USB enumerator, in system order,
// keeping those of the Vantro Q4. Every failure is silent.
std::vector<UsbNode> enumerate_usb_nodes();

// "interface MI_xx" or "composite device (parent)".
std::wstring node_role_label(const std::wstring& instance_id);

}  // namespace vq4
