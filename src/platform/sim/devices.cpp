// Simulated SetupAPI enumeration and configuration-manager state.
//
// A device information set is a snapshot taken when it is created, as on
// Windows: nodes removed afterwards stay listed in it. Devices enumerate in
// the machine file's order, which stands for the system's order.
#include "platform/devices.h"

#include <cstdio>
#include <map>

#include "platform/sim/device_sets.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_handles.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

constexpr std::uint32_t kSpdrpMaximumProperty = 0x25;  // the first code past SPDRP_BASE_CONTAINERID
constexpr std::uint32_t kDicsFlagConfigSpecific = 2;

using sim::DevSet;
using sim::SimInterface;

std::map<std::uintptr_t, DevSet>& open_sets() { return sim::machine().handles.device_sets.open; }

std::string guid_text(const Guid* guid) { return guid == nullptr ? "NULL" : sim::narrow(format_guid(*guid)); }

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::wstring enumerator_of(const std::wstring& instance_id) {
    const auto slash = instance_id.find(L'\\');
    return slash == std::wstring::npos ? instance_id : instance_id.substr(0, slash);
}

DevSet* find_set(const DevInfoSet& set) { return sim::find_device_set(set); }

using sim::finish;

// The record a set hands out for its nth node: dev_inst is what the logic
// passes back, `reserved` the index in the set.
const sim::Device* device_of(const DevSet& set, const DeviceInfoData& data) {
    if (data.reserved >= set.instance_ids.size()) return nullptr;
    return sim::machine().find_device(set.instance_ids[data.reserved]);
}

}  // namespace

std::uint32_t setupdi_get_class_devs(const Guid* class_guid, const std::wstring* enumerator, std::uint32_t flags,
                                     DevInfoSet& out) {
    const auto injected = sim::enter_call(
        "SetupDiGetClassDevsW",
        guid_text(class_guid) + ", " + (enumerator ? sim::narrow(*enumerator) : std::string("NULL")) + ", " + hex32(flags));
    if (injected) return finish(*injected);
    const bool present_only = (flags & win::DIGCF_PRESENT_) != 0;
    const bool interfaces = (flags & win::DIGCF_DEVICEINTERFACE_) != 0;
    if (class_guid == nullptr && (flags & win::DIGCF_ALLCLASSES_) == 0) {
        return finish(win::ERROR_INVALID_PARAMETER_);
    }

    DevSet set;
    for (const sim::Device& device : sim::machine().devices) {
        if (present_only && !device.description.present) continue;
        if (interfaces) {
            // With DIGCF_DEVICEINTERFACE the enumerator may name one device instance.
            if (enumerator != nullptr && !enumerator->empty() &&
                !equals_nocase(device.description.instance_id, *enumerator)) {
                continue;
            }
            bool listed = false;
            for (const sim::DeviceInterfaceRecord& record : device.description.interfaces) {
                Guid guid;
                if (!parse_guid(record.guid, guid) || (class_guid != nullptr && !(guid == *class_guid))) continue;
                DeviceInterfaceData data;
                data.interface_class_guid = guid;
                // The interface of a device that is not plugged in is not active.
                data.flags = device.description.present ? win::SPINT_ACTIVE_ : 0;
                data.reserved = set.interfaces.size();
                set.interfaces.push_back(SimInterface{device.description.instance_id, data, record.path});
                listed = true;
            }
            if (!listed) continue;
        } else if (enumerator != nullptr && !enumerator->empty() &&
                   !equals_nocase(enumerator_of(device.description.instance_id), *enumerator)) {
            continue;
        }
        set.instance_ids.push_back(device.description.instance_id);
        set.dev_insts.push_back(device.state.dev_inst);
    }
    out = sim::add_device_set(std::move(set));
    return finish(0);
}

std::uint32_t setupdi_enum_device_info(const DevInfoSet& set, std::uint32_t index, DeviceInfoData& out) {
    const auto injected = sim::enter_call("SetupDiEnumDeviceInfo", std::to_string(index));
    if (injected) return finish(*injected);
    const DevSet* s = find_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    if (index >= s->instance_ids.size()) return finish(win::ERROR_NO_MORE_ITEMS_);
    out = DeviceInfoData{};
    out.dev_inst = s->dev_insts[index];
    out.reserved = index;
    return finish(0);
}

std::uint32_t setupdi_get_device_instance_id(const DevInfoSet& set, const DeviceInfoData& device,
                                             std::uint32_t capacity, std::wstring& instance_id) {
    const auto injected = sim::enter_call("SetupDiGetDeviceInstanceIdW", std::to_string(device.reserved));
    if (injected) return finish(*injected);
    const DevSet* s = find_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    if (device.reserved >= s->instance_ids.size()) return finish(win::ERROR_INVALID_PARAMETER_);
    const std::wstring& id = s->instance_ids[device.reserved];
    if (id.size() + 1 > capacity) return finish(win::ERROR_INSUFFICIENT_BUFFER_);
    instance_id = id;
    return finish(0);
}

PropertyRead setupdi_get_device_registry_property(const DevInfoSet& set, const DeviceInfoData& device,
                                                  std::uint32_t property, std::uint32_t capacity) {
    PropertyRead read;
    const auto injected = sim::enter_call("SetupDiGetDeviceRegistryPropertyW",
                                          std::to_string(device.reserved) + ", " + std::to_string(property));
    if (injected) {
        read.error = finish(*injected);
        return read;
    }
    const DevSet* s = find_set(set);
    const sim::Device* d = s == nullptr ? nullptr : device_of(*s, device);
    if (d == nullptr) {
        read.error = finish(s == nullptr ? win::ERROR_INVALID_HANDLE_ : win::ERROR_NO_SUCH_DEVINST_);
        return read;
    }
    if (property >= kSpdrpMaximumProperty) {
        read.error = finish(win::ERROR_INVALID_REG_PROPERTY_);
        return read;
    }
    std::vector<std::uint8_t> bytes;
    if (const auto raw = d->description.raw_properties.find(property); raw != d->description.raw_properties.end()) {
        if (raw->second.error != 0) {
            read.error = finish(raw->second.error);
            return read;
        }
        bytes = raw->second.bytes;
    } else if (property == win::SPDRP_HARDWAREID_) {
        if (!d->description.hardware_ids.has_value()) {
            read.error = finish(win::ERROR_INVALID_DATA_);
            return read;
        }
        // REG_MULTI_SZ: each id with its NUL, then the NUL that ends the list.
        for (const std::wstring& id : *d->description.hardware_ids) {
            const std::vector<std::uint8_t> one = utf16le_bytes(id, 1);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        bytes.push_back(0);
        bytes.push_back(0);
    } else {
        const std::optional<std::wstring>* value = nullptr;
        switch (property) {
            case win::SPDRP_FRIENDLYNAME_:
                value = &d->description.friendly_name;
                break;
            case win::SPDRP_DEVICEDESC_:
                value = &d->description.device_desc;
                break;
            case win::SPDRP_SERVICE_:
                value = &d->description.service;
                break;
            default:
                break;
        }
        if (value == nullptr || !value->has_value()) {
            read.error = finish(win::ERROR_INVALID_DATA_);
            return read;
        }
        bytes = utf16le_bytes(**value, 1);
    }
    read.required_size = static_cast<std::uint32_t>(bytes.size());
    if (bytes.size() > capacity) {
        read.error = finish(win::ERROR_INSUFFICIENT_BUFFER_);
        return read;
    }
    read.data = std::move(bytes);
    read.error = finish(0);
    return read;
}

std::uint32_t cm_get_devnode_status(std::uint32_t dev_inst, std::uint32_t& status, std::uint32_t& problem) {
    const auto injected = sim::enter_call("CM_Get_DevNode_Status", std::to_string(dev_inst));
    if (injected) return finish(*injected);
    const sim::Device* d = sim::machine().find_device(dev_inst);
    if (d == nullptr || !d->description.present) return finish(win::CR_NO_SUCH_DEVNODE_);
    if (d->description.status_result != 0) return finish(d->description.status_result);
    status = d->description.status;
    problem = d->description.problem;
    return finish(win::CR_SUCCESS_);
}

std::uint32_t setupdi_open_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                       std::uint32_t hardware_profile, std::uint32_t key_type, std::uint32_t access,
                                       RegKey& out) {
    const auto injected =
        sim::enter_call("SetupDiOpenDevRegKey", std::to_string(device.reserved) + ", " + std::to_string(scope) + ", " +
                                                    std::to_string(hardware_profile) + ", " + std::to_string(key_type) +
                                                    ", " + hex32(access));
    if (injected) return finish(*injected);
    const DevSet* s = find_set(set);
    const sim::Device* d = s == nullptr ? nullptr : device_of(*s, device);
    if (d == nullptr) return finish(s == nullptr ? win::ERROR_INVALID_HANDLE_ : win::ERROR_NO_SUCH_DEVINST_);
    if ((scope != win::DICS_FLAG_GLOBAL_ && scope != kDicsFlagConfigSpecific) ||
        (key_type != win::DIREG_DEV_ && key_type != win::DIREG_DRV_)) {
        return finish(win::ERROR_INVALID_FLAGS_);
    }
    // The simulated machine keeps the global hardware key of a node only:
    // no driver keys, no keys of hardware profiles.
    const std::wstring path = sim::hardware_key_path(d->description.instance_id);
    if (key_type != win::DIREG_DEV_ || scope != win::DICS_FLAG_GLOBAL_ ||
        sim::machine().registry.find(path) == nullptr) {
        return finish(win::ERROR_KEY_DOES_NOT_EXIST_);
    }
    out = sim::open_registry_handle(path, access);
    return finish(0);
}

std::uint32_t setupdi_enum_device_interfaces(const DevInfoSet& set, const DeviceInfoData* device,
                                             const Guid& interface_class, std::uint32_t index,
                                             DeviceInterfaceData& out) {
    const auto injected = sim::enter_call("SetupDiEnumDeviceInterfaces",
                                          guid_text(&interface_class) + ", " + std::to_string(index));
    if (injected) return finish(*injected);
    const DevSet* s = find_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    std::uint32_t seen = 0;
    for (const SimInterface& iface : s->interfaces) {
        if (!(iface.data.interface_class_guid == interface_class)) continue;
        if (device != nullptr && (device->reserved >= s->instance_ids.size() ||
                                  !equals_nocase(s->instance_ids[device->reserved], iface.owner_id))) {
            continue;
        }
        if (seen++ == index) {
            out = iface.data;
            return finish(0);
        }
    }
    return finish(win::ERROR_NO_MORE_ITEMS_);
}

namespace {

const SimInterface* interface_of(const DevInfoSet& set, const DeviceInterfaceData& data, std::uint32_t& error) {
    const DevSet* s = find_set(set);
    if (s == nullptr) {
        error = win::ERROR_INVALID_HANDLE_;
        return nullptr;
    }
    if (data.reserved >= s->interfaces.size()) {
        error = win::ERROR_INVALID_PARAMETER_;
        return nullptr;
    }
    return &s->interfaces[data.reserved];
}

// SP_DEVICE_INTERFACE_DETAIL_DATA_W: a DWORD size field, then the path.
std::uint32_t detail_bytes(const std::wstring& path) { return 4 + static_cast<std::uint32_t>(path.size() + 1) * 2; }

}  // namespace

std::uint32_t setupdi_get_device_interface_detail_size(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                       std::uint32_t& required_size) {
    required_size = 0;
    const auto injected = sim::enter_call("SetupDiGetDeviceInterfaceDetailW", "size");
    if (injected) return finish(*injected);
    std::uint32_t error = 0;
    const SimInterface* iface = interface_of(set, interface_data, error);
    if (iface == nullptr) return finish(error);
    required_size = detail_bytes(iface->path);
    return finish(win::ERROR_INSUFFICIENT_BUFFER_);
}

std::uint32_t setupdi_get_device_interface_detail(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                  std::uint32_t buffer_size, std::wstring& device_path) {
    const auto injected = sim::enter_call("SetupDiGetDeviceInterfaceDetailW", std::to_string(buffer_size));
    if (injected) return finish(*injected);
    std::uint32_t error = 0;
    const SimInterface* iface = interface_of(set, interface_data, error);
    if (iface == nullptr) return finish(error);
    // The buffer must at least hold the fixed part whose size field says 8.
    if (buffer_size < 8) return finish(win::ERROR_INVALID_USER_BUFFER_);
    if (buffer_size < detail_bytes(iface->path)) return finish(win::ERROR_INSUFFICIENT_BUFFER_);
    device_path = iface->path;
    return finish(0);
}

void release_handle(DevInfoSetTag, std::uintptr_t raw) noexcept {
    sim::enter_call("SetupDiDestroyDeviceInfoList", "");
    open_sets().erase(raw);
}

}  // namespace vq4::platform

namespace vq4::sim {

platform::DevInfoSet add_device_set(DevSet set) { return platform::DevInfoSet(machine().handles.device_sets.add(std::move(set))); }

DevSet* find_device_set(const platform::DevInfoSet& set) {
    return set.valid() ? machine().handles.device_sets.find(set.raw()) : nullptr;
}

}  // namespace vq4::sim
