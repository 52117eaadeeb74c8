#include "inspect/usb_nodes.h"

#include "capture/machine_capture.h"
#include "inspect/device_queries.h"
#include "platform/devices.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4 {

std::vector<UsbNode> enumerate_usb_nodes() {
    std::vector<UsbNode> nodes;
    PresentUsbNodes present = present_usb_nodes();
    while (const std::optional<PresentNode> next = next_present_node(present)) {
        const PresentNode& present_node = *next;
        if (!contains_nocase(present_node.instance_id, kDeviceHardwareId)) continue;
        const platform::DeviceInfoData& device = present_node.device;

        UsbNode node;
        node.instance_id = present_node.instance_id;
        node.description = read_text_property(present.set, device, win::SPDRP_FRIENDLYNAME_);
        if (node.description.empty()) {
            node.description = read_text_property(present.set, device, win::SPDRP_DEVICEDESC_);
        }
        node.service = read_text_property(present.set, device, win::SPDRP_SERVICE_);
        node.dev_inst = device.dev_inst;
        std::uint32_t status = 0, problem = 0;
        const std::uint32_t status_result = platform::cm_get_devnode_status(device.dev_inst, status, problem);
        capture::node_status(device.dev_inst, status_result, status, problem);
        if (status_result == win::CR_SUCCESS_) {
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
