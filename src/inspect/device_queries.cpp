#include "inspect/device_queries.h"

#include "capture/machine_capture.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4 {

namespace {

// Characters of the buffer an instance id is read into.
constexpr std::uint32_t kInstanceIdChars = 512;
// Bytes of the buffer a text property is read into.
constexpr std::uint32_t kTextPropertyBytes = 1024;

// The set of present interfaces of a class (on the node `instance_id` names,
// or on any device) and the first of them; `found` is false when either is
// missing.
struct FirstInterface {
    platform::DevInfoSet set;
    platform::DeviceInterfaceData first;
    bool found = false;
};

FirstInterface first_interface(const Guid& interface_class, const std::wstring* instance_id) {
    FirstInterface result;
    if (platform::setupdi_get_class_devs(&interface_class, instance_id,
                                         win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, result.set) != 0) {
        return result;
    }
    result.found = platform::setupdi_enum_device_interfaces(result.set, nullptr, interface_class, 0, result.first) == 0;
    return result;
}

}  // namespace

PresentUsbNodes present_usb_nodes() {
    PresentUsbNodes nodes;
    const std::wstring enumerator = L"USB";
    nodes.error = platform::setupdi_get_class_devs(nullptr, &enumerator, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_,
                                                   nodes.set);
    return nodes;
}

std::optional<PresentNode> next_present_node(PresentUsbNodes& nodes) {
    if (nodes.error != 0) return std::nullopt;
    for (;;) {
        platform::DeviceInfoData device;
        if (platform::setupdi_enum_device_info(nodes.set, nodes.next_index, device) != 0) return std::nullopt;
        ++nodes.next_index;
        std::wstring instance_id;
        if (platform::setupdi_get_device_instance_id(nodes.set, device, kInstanceIdChars, instance_id) != 0) continue;
        capture::node_listed(device.dev_inst, instance_id);
        return PresentNode{device, std::move(instance_id)};
    }
}

std::wstring read_text_property(const platform::DevInfoSet& set, const platform::DeviceInfoData& device,
                                std::uint32_t property) {
    const platform::PropertyRead read =
        platform::setupdi_get_device_registry_property(set, device, property, kTextPropertyBytes);
    capture::node_property(device.dev_inst, property, read);
    return read.error == 0 ? utf16le_text(read.data) : std::wstring();
}

std::uint32_t open_node_hardware_key(const platform::DevInfoSet& set, const platform::DeviceInfoData& device,
                                     std::uint32_t access, platform::RegKey& key) {
    const std::uint32_t error =
        platform::setupdi_open_dev_reg_key(set, device, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, access, key);
    capture::hardware_key_opened(device.dev_inst, key, error);
    return error;
}

HardwareKey open_hardware_key(const std::wstring& instance_id) {
    HardwareKey result;
    PresentUsbNodes nodes = present_usb_nodes();
    if (nodes.error != 0) {
        result.opening = KeyOpening::NodesNotListed;
        return result;
    }
    const std::wstring wanted = to_upper_ascii(instance_id);
    while (const std::optional<PresentNode> node = next_present_node(nodes)) {
        if (to_upper_ascii(node->instance_id) != wanted) continue;
        const std::uint32_t error = open_node_hardware_key(nodes.set, node->device, win::KEY_READ_, result.key);
        // The node list is not needed any more, whether or not the key opened.
        nodes.set.reset();
        result.opening = error == 0 ? KeyOpening::Opened : KeyOpening::KeyNotOpened;
        return result;
    }
    result.opening = KeyOpening::NodeDisappeared;
    return result;
}

std::optional<std::uint32_t> read_dword_value(const platform::RegKey& key, const std::wstring& name) {
    const platform::RegRead read = platform::reg_query_value(key, name, 4);
    capture::value_read(key, name, read);
    if (read.status != 0 || read.type != win::REG_DWORD_) return std::nullopt;
    return little_endian_dword(read.data);
}

bool interface_present(const Guid& interface_class, const std::wstring& instance_id) {
    FirstInterface lookup = first_interface(interface_class, &instance_id);
    if (lookup.found) capture::interface_found(format_guid(interface_class), instance_id);
    lookup.set.reset();
    return lookup.found;
}

std::optional<std::wstring> interface_path(const Guid& interface_class) {
    const FirstInterface lookup = first_interface(interface_class, nullptr);
    if (!lookup.found) return std::nullopt;
    const platform::DevInfoSet& set = lookup.set;
    const platform::DeviceInterfaceData& first = lookup.first;
    // The size query itself reports failure; only the size counts. A size of
    // 0 cannot hold the record and counts as a failed read.
    std::uint32_t required = 0;
    platform::setupdi_get_device_interface_detail_size(set, first, required);
    std::wstring path;
    if (required == 0 || platform::setupdi_get_device_interface_detail(set, first, required, path) != 0) {
        return std::nullopt;
    }
    capture::interface_path_read(format_guid(interface_class), path);
    return path;
}

}  // namespace vq4
