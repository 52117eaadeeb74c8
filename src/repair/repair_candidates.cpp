#include "repair/repair_candidates.h"

#include "inspect/usb_nodes.h"
#include "platform/devices.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/wait_progress.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4 {

namespace {

constexpr std::uint32_t kPauseMs = 250;

std::wstring service_of(const platform::DevInfoSet& set, const platform::DeviceInfoData& device) {
    const platform::PropertyRead read =
        platform::setupdi_get_device_registry_property(set, device, win::SPDRP_SERVICE_, 1024);
    return read.error == 0 ? utf16le_text(read.data) : std::wstring();
}

std::vector<std::wstring> registered_guids_of(const platform::DevInfoSet& set, const platform::DeviceInfoData& device) {
    platform::RegKey key;
    if (platform::setupdi_open_dev_reg_key(set, device, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, win::KEY_READ_,
                                           key) != 0) {
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
    const std::wstring enumerator = L"USB";
    platform::DevInfoSet set;
    if (platform::setupdi_get_class_devs(nullptr, &enumerator, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set) != 0) {
        return candidates;
    }
    platform::DeviceInfoData device;
    for (std::uint32_t index = 0; platform::setupdi_enum_device_info(set, index, device) == 0; ++index) {
        std::wstring instance_id;
        if (platform::setupdi_get_device_instance_id(set, device, 512, instance_id) != 0) continue;
        if (!contains_nocase(instance_id, kDeviceHardwareId) || !contains_nocase(instance_id, L"&MI_03")) continue;
        if (!equals_nocase(service_of(set, device), L"WINUSB")) continue;

        std::vector<std::wstring> registered = registered_guids_of(set, device);
        if (holds_expected(registered, expected_guid)) continue;
        candidates.push_back(RepairCandidate{instance_id, std::move(registered)});
    }
    return candidates;
}

bool interface_registered(const Guid& guid, const std::wstring& instance_id) {
    platform::DevInfoSet set;
    if (platform::setupdi_get_class_devs(&guid, &instance_id, win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, set) !=
        0) {
        return false;
    }
    platform::DeviceInterfaceData interface_data;
    const bool found = platform::setupdi_enum_device_interfaces(set, nullptr, guid, 0, interface_data) == 0;
    set.reset();
    return found;
}

bool wait_for_interface(const std::wstring& expected_guid, const std::wstring& instance_id, std::uint32_t limit_ms) {
    Guid guid;
    if (!parse_guid(expected_guid, guid)) return false;
    // Elapsed time is counted from the pauses alone, never read from a clock.
    WaitProgress progress(L"the MI_03 device interface", limit_ms);
    for (std::uint64_t elapsed = 0;; elapsed += kPauseMs) {
        if (interface_registered(guid, instance_id)) return true;
        if (elapsed >= limit_ms) return false;
        progress.show(elapsed);
        platform::sleep_ms(kPauseMs);
    }
}

}  // namespace vq4
