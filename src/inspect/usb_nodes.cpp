#include "inspect/usb_nodes.h"

#include "platform/devices.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4 {

namespace {

// A property as text; empty when absent, unreadable or over 1024 bytes.
std::wstring read_text_property(const platform::DevInfoSet& set, const platform::DeviceInfoData& device,
                                std::uint32_t property) {
    const platform::PropertyRead read = platform::setupdi_get_device_registry_property(set, device, property, 1024);
    return read.error == 0 ? utf16le_text(read.data) : std::wstring();
}

}  // namespace

std::vector<UsbNode> enumerate_usb_nodes() {
    std::vector<UsbNode> nodes;
    const std::wstring enumerator = L"USB";
    platform::DevInfoSet set;
    if (platform::setupdi_get_class_devs(nullptr, &enumerator, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set) != 0) {
        return nodes;
    }
    platform::DeviceInfoData device;
    for (std::uint32_t index = 0; platform::setupdi_enum_device_info(set, index, device) == 0; ++index) {
        std::wstring instance_id;
        if (platform::setupdi_get_device_instance_id(set, device, 512, instance_id) != 0) continue;
        if (!contains_nocase(instance_id, kDeviceHardwareId)) continue;

        UsbNode node;
        node.instance_id = instance_id;
        node.description = read_text_property(set, device, win::SPDRP_FRIENDLYNAME_);
        if (node.description.empty()) node.description = read_text_property(set, device, win::SPDRP_DEVICEDESC_);
        node.service = read_text_property(set, device, win::SPDRP_SERVICE_);
        node.dev_inst = device.dev_inst;
        std::uint32_t status = 0, problem = 0;
        if (platform::cm_get_devnode_status(device.dev_inst, status, problem) == win::CR_SUCCESS_) {
            node.has_status = true;
            node.status = status;
            node.problem = problem;
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::wstring node_role_label(const std::wstring& instance_id) {
    const std::wstring upper = to_upper_ascii(instance_id);
    const std::wstring::size_type at = upper.find(L"&MI_");
    if (at == std::wstring::npos) return L"composite device (parent)";
    return L"interface MI_" + upper.substr(at + 4, 2);
}

}  // namespace vq4
