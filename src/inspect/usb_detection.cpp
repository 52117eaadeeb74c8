#include "inspect/usb_detection.h"

#include "report/report.h"
#include "util/text.h"

namespace vq4 {

std::wstring problem_text(std::uint32_t code) {
    switch (code) {
        case 0:
            return L"no problem";
        case 1:  // CM_PROB_NOT_CONFIGURED
            return L"device is not configured correctly";
        case 10:  // CM_PROB_FAILED_START
            return L"this device cannot start";
        case 18:  // CM_PROB_REINSTALL
            return L"drivers need to be reinstalled";
        case 22:  // CM_PROB_DISABLED
            return L"device is disabled (via Device Manager)";
        case 24:  // CM_PROB_DEVICE_NOT_THERE
            return L"device is not present / unplugged (phantom state)";
        case 28:  // CM_PROB_FAILED_INSTALL
            return L"drivers are not installed for this device";
        case 45:  // CM_PROB_PHANTOM
            return L"device is currently not plugged in (phantom state, last known driver kept)";
        case 48:  // CM_PROB_DRIVER_BLOCKED
            return L"driver blocked by Windows (compatibility or signature)";
        default: {
            std::wstring text;
            format_wide(text, 64, L"problem code CM_PROB=%lu (see Microsoft docs)", static_cast<unsigned long>(code));
            return text;
        }
    }
}

void run_usb_detection_section(const std::vector<UsbNode>& nodes) {
    print_section(L"2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4)");
    if (nodes.empty()) {
        print_status(StatusKind::Fail,
                     L"No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged in "
                     L"(check the cable, the USB port, or that the device is powered on).");
        return;
    }
    print_status(StatusKind::Ok,
                 L"Device detected: " + decimal(static_cast<std::uint32_t>(nodes.size())) + L" USB node(s) found.");
    for (const UsbNode& node : nodes) {
        print_status(StatusKind::Info, node_role_label(node.instance_id) + L": " + node.instance_id);
        if (!node.description.empty()) print_detail(L"Description: " + node.description);
        print_detail(L"Driver (service): " + (node.service.empty() ? std::wstring(L"(none)") : node.service));
        // Only the problem code decides: a node that is not started but has
        // no problem code is what Windows calls working.
        if (!node.has_status) {
            print_status(StatusKind::Warn, L"  -> Unable to query this node's state (CM_Get_DevNode_Status failed).");
        } else if (node.problem != 0) {
            print_status(StatusKind::Fail, L"  -> Problem reported by Windows: " + problem_text(node.problem));
        } else {
            print_status(StatusKind::Ok, L"  -> Driver active, no problem reported by Windows.");
        }
    }
}

}  // namespace vq4
