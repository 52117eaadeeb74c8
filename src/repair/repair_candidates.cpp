#include "repair/repair_candidates.h"

#include "inspect/device_queries.h"
#include "inspect/usb_nodes.h"
#include "platform/devices.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/wait_progress.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4 {

namespace {

std::vector<std::wstring> registered_guids_of(const platform::DevInfoSet& set, const platform::DeviceInfoData& device) {
    platform::RegKey key;
    if (open_node_hardware_key(set, device, win::KEY_READ_, key) != 0) {
        return {};  // an unopenable key counts as no registered GUID
    }
    return read_registered_guids(key);
}

bool holds_expected(const std::vector<std::wstring>& registered, const std::wstring& expected_guid) {
    Guid expected;
    if (!parse_guid(expected_guid, expected)) return false;
    for (const std::wstring& text : registered) {
        Guid value;
        if (parse_guid(text, value) && value == expected) return true;
    }
    return false;
}

}  // namespace

std::vector<RepairCandidate> find_repair_candidates(const std::wstring& expected_guid) {
    std::vector<RepairCandidate> candidates;
    PresentUsbNodes present = present_usb_nodes();
    while (const std::optional<PresentNode> next = next_present_node(present)) {
        const PresentNode& node = *next;
        if (!contains_nocase(node.instance_id, kDeviceHardwareId) || !contains_nocase(node.instance_id, L"&MI_03")) {
            continue;
        }
        if (!equals_nocase(read_text_property(present.set, node.device, win::SPDRP_SERVICE_), L"WINUSB")) continue;

        std::vector<std::wstring> registered = registered_guids_of(present.set, node.device);
        if (holds_expected(registered, expected_guid)) continue;
        candidates.push_back(RepairCandidate{node.instance_id, std::move(registered)});
    }
    return candidates;
}

bool wait_for_interface(const std::wstring& expected_guid, const std::wstring& instance_id, std::uint32_t limit_ms) {
    Guid guid;
    if (!parse_guid(expected_guid, guid)) return false;
    // Elapsed time is counted from the pauses alone, never read from a clock.
    WaitProgress progress(L"the MI_03 device interface", limit_ms);
    for (std::uint64_t elapsed = 0;; elapsed += kDevicePollMs) {
        if (interface_present(guid, instance_id)) return true;
        if (elapsed >= limit_ms) return false;
        progress.show(elapsed);
        platform::sleep_ms(kDevicePollMs);
    }
}

}  // namespace vq4
