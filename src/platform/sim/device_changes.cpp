// Simulated device removal, restart, device keys and configuration-manager
// tree, as Windows documents them for the calls the tool makes. The changes
// themselves are device_tree.cpp's.
#include "platform/device_changes.h"

#include <cstdio>
#include <optional>

#include "platform/sim/device_sets.h"
#include "platform/sim/device_tree.h"
#include "platform/sim/interruption.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_handles.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

constexpr std::uint32_t kErrorNoSuchDevinst = win::ERROR_NO_SUCH_DEVINST_;
// CM_LOCATE_DEVNODE_BITS: NORMAL, PHANTOM, CANCELREMOVE and NOVALIDATION.
constexpr std::uint32_t kLocateDevnodeBits = 0x7;
// CM_REENUMERATE_BITS: NORMAL, SYNCHRONOUS, RETRY_INSTALLATION, ASYNCHRONOUS.
constexpr std::uint32_t kReenumerateBits = 0x7;

using sim::finish;

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string function_name(std::uint32_t install_function) {
    if (install_function == win::DIF_REMOVE_) return "DIF_REMOVE";
    if (install_function == win::DIF_PROPERTYCHANGE_) return "DIF_PROPERTYCHANGE";
    return hex32(install_function);
}

// The instance id of a set's element, or null when the element is unknown.
const std::wstring* element_id(const sim::DevSet& set, const DeviceInfoData& device) {
    return device.reserved < set.instance_ids.size() ? &set.instance_ids[device.reserved] : nullptr;
}

std::string element_text(const DevInfoSet& set, const DeviceInfoData& device) {
    const sim::DevSet* s = sim::find_device_set(set);
    const std::wstring* id = s == nullptr ? nullptr : element_id(*s, device);
    return id == nullptr ? std::string("<unknown element>") : sim::narrow(*id);
}

// The devnode behind a handle: present nodes and phantoms have one.
sim::Device* node(std::uint32_t dev_inst) { return sim::machine().find_device(dev_inst); }

}  // namespace

std::uint32_t setupdi_create_device_info_list(DevInfoSet& out) {
    if (const auto injected = sim::enter_call("SetupDiCreateDeviceInfoList", "NULL, NULL")) return finish(*injected);
    out = sim::add_device_set(sim::DevSet{});
    return finish(0);
}

std::uint32_t setupdi_open_device_info(const DevInfoSet& set, const std::wstring& instance_id,
                                       DeviceInfoData& out) {
    if (const auto injected = sim::enter_call("SetupDiOpenDeviceInfoW", sim::narrow(instance_id))) {
        return finish(*injected);
    }
    sim::DevSet* s = sim::find_device_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    // Removed nodes are unknown to the system; phantoms can be opened.
    const sim::Device* d = instance_id.empty() ? nullptr : sim::machine().find_device(instance_id);
    if (d == nullptr) return finish(kErrorNoSuchDevinst);
    std::size_t index = 0;
    while (index < s->instance_ids.size() && !equals_nocase(s->instance_ids[index], d->description.instance_id))
        ++index;
    if (index == s->instance_ids.size()) {
        s->instance_ids.push_back(d->description.instance_id);
        s->dev_insts.push_back(d->state.dev_inst);
    }
    out = DeviceInfoData{};
    out.dev_inst = s->dev_insts[index];
    out.reserved = index;
    return finish(0);
}

namespace {

std::uint32_t set_params(const DevInfoSet& set, const DeviceInfoData& device, const sim::ClassInstallParams& params) {
    sim::DevSet* s = sim::find_device_set(set);
    if (s == nullptr) return win::ERROR_INVALID_HANDLE_;
    if (element_id(*s, device) == nullptr) return win::ERROR_INVALID_PARAMETER_;
    s->class_install_params[device.reserved] = params;
    return 0;
}

}  // namespace

std::uint32_t setupdi_set_remove_device_params(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t scope, std::uint32_t hardware_profile) {
    if (const auto injected =
            sim::enter_call("SetupDiSetClassInstallParamsW", element_text(set, device) + ", DIF_REMOVE, scope " +
                                                                 std::to_string(scope) + ", profile " +
                                                                 std::to_string(hardware_profile))) {
        return finish(*injected);
    }
    return finish(set_params(set, device, sim::ClassInstallParams{win::DIF_REMOVE_, 0, scope, hardware_profile}));
}

std::uint32_t setupdi_set_property_change_params(const DevInfoSet& set, const DeviceInfoData& device,
                                                 std::uint32_t state_change, std::uint32_t scope,
                                                 std::uint32_t hardware_profile) {
    if (const auto injected = sim::enter_call(
            "SetupDiSetClassInstallParamsW", element_text(set, device) + ", DIF_PROPERTYCHANGE, state " +
                                                 std::to_string(state_change) + ", scope " + std::to_string(scope) +
                                                 ", profile " + std::to_string(hardware_profile))) {
        return finish(*injected);
    }
    return finish(
        set_params(set, device, sim::ClassInstallParams{win::DIF_PROPERTYCHANGE_, state_change, scope, hardware_profile}));
}

std::uint32_t setupdi_call_class_installer(std::uint32_t install_function, const DevInfoSet& set,
                                           const DeviceInfoData& device) {
    const sim::SystemChangeCall change("SetupDiCallClassInstaller",
                                       function_name(install_function) + ", " + element_text(set, device));
    if (const auto injected = sim::enter_call("SetupDiCallClassInstaller",
                                              function_name(install_function) + ", " + element_text(set, device))) {
        return finish(*injected);
    }
    sim::DevSet* s = sim::find_device_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    const std::wstring* id = element_id(*s, device);
    if (id == nullptr) return finish(win::ERROR_INVALID_PARAMETER_);
    sim::Device* d = sim::machine().find_device(*id);
    if (d == nullptr) return finish(kErrorNoSuchDevinst);  // removed since it was opened
    const auto params = s->class_install_params.find(device.reserved);
    const bool has_params = params != s->class_install_params.end() &&
                            params->second.install_function == install_function;

    if (install_function == win::DIF_REMOVE_) {
        // Without parameters the default removal is global too. Removal from
        // one hardware profile only is not simulated.
        if (has_params && params->second.scope != win::DI_REMOVEDEVICE_GLOBAL_) {
            return finish(win::ERROR_INVALID_PARAMETER_);
        }
        if (d->behaviour.remove_error) return finish(*d->behaviour.remove_error);
        if (const std::uint32_t flags = sim::removal_left_to_restart(*id); flags != 0) {
            // The default handler cannot stop the device now: it succeeds,
            // leaves the node where it is and asks for a restart in the
            // element's install parameters.
            s->install_flags[device.reserved] |= flags;
            d->state.removal_pending = true;
            return finish(0);
        }
        sim::remove_device(*id);
        return finish(0);
    }
    if (install_function == win::DIF_PROPERTYCHANGE_) {
        if (!has_params) return finish(win::ERROR_NO_CLASSINSTALL_PARAMS_);
        if (params->second.state_change != win::DICS_PROPCHANGE_) return finish(win::ERROR_INVALID_PARAMETER_);
        if (!d->description.present) return finish(kErrorNoSuchDevinst);
        if (d->behaviour.restart_error != 0) return finish(d->behaviour.restart_error);
        if (d->behaviour.restart_flags != 0) {
            // The class installer leaves the restart to the next boot.
            s->install_flags[device.reserved] |= d->behaviour.restart_flags;
            return finish(0);
        }
        sim::restart_device(*id);
        return finish(0);
    }
    return finish(win::ERROR_INVALID_PARAMETER_);
}

std::uint32_t setupdi_get_device_install_flags(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t& flags) {
    if (const auto injected = sim::enter_call("SetupDiGetDeviceInstallParamsW", element_text(set, device))) {
        return finish(*injected);
    }
    sim::DevSet* s = sim::find_device_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    if (element_id(*s, device) == nullptr) return finish(win::ERROR_INVALID_PARAMETER_);
    const auto found = s->install_flags.find(device.reserved);
    flags = found == s->install_flags.end() ? 0 : found->second;
    return finish(0);
}

std::uint32_t setupdi_create_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                         std::uint32_t hardware_profile, std::uint32_t key_type, RegKey& out) {
    const sim::SystemChangeCall change("SetupDiCreateDevRegKeyW", element_text(set, device));
    if (const auto injected = sim::enter_call("SetupDiCreateDevRegKeyW", element_text(set, device) + ", " +
                                                                             std::to_string(scope) + ", " +
                                                                             std::to_string(hardware_profile) + ", " +
                                                                             std::to_string(key_type))) {
        return finish(*injected);
    }
    sim::DevSet* s = sim::find_device_set(set);
    if (s == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    const std::wstring* id = element_id(*s, device);
    if (id == nullptr) return finish(win::ERROR_INVALID_PARAMETER_);
    if ((scope != win::DICS_FLAG_GLOBAL_ && scope != win::DICS_FLAG_CONFIGSPECIFIC_) ||
        (key_type != win::DIREG_DEV_ && key_type != win::DIREG_DRV_)) {
        return finish(win::ERROR_INVALID_FLAGS_);
    }
    if (sim::machine().find_device(*id) == nullptr) return finish(kErrorNoSuchDevinst);
    // Driver keys and keys of hardware profiles are not simulated.
    if (key_type != win::DIREG_DEV_ || scope != win::DICS_FLAG_GLOBAL_) return finish(win::ERROR_INVALID_PARAMETER_);
    const std::wstring path = sim::hardware_key_path(*id);
    sim::machine().registry.create(path);
    out = sim::open_registry_handle(path, win::KEY_ALL_ACCESS_);
    return finish(0);
}

std::uint32_t cm_locate_devnode(const std::wstring& instance_id, std::uint32_t flags, std::uint32_t& dev_inst) {
    if (const auto injected = sim::enter_call("CM_Locate_DevNodeW", sim::narrow(instance_id) + ", " + hex32(flags))) {
        return finish(*injected);
    }
    // Every documented flag is taken; CANCELREMOVE and NOVALIDATION change
    // nothing here (no removal is ever pending, and the id is always checked).
    if ((flags & ~kLocateDevnodeBits) != 0) return finish(win::CR_INVALID_FLAG_);
    // The root of the tree (empty id) is not simulated.
    const sim::Device* d = instance_id.empty() ? nullptr : sim::machine().find_device(instance_id);
    if (d == nullptr || (!d->description.present && (flags & win::CM_LOCATE_DEVNODE_PHANTOM_) == 0)) {
        return finish(win::CR_NO_SUCH_DEVNODE_);
    }
    dev_inst = d->state.dev_inst;
    return finish(win::CR_SUCCESS_);
}

std::uint32_t cm_get_parent(std::uint32_t dev_inst, std::uint32_t& parent) {
    if (const auto injected = sim::enter_call("CM_Get_Parent", std::to_string(dev_inst))) return finish(*injected);
    const sim::Device* d = node(dev_inst);
    if (d == nullptr) return finish(win::CR_INVALID_DEVNODE_);
    const sim::Device* p =
        d->description.parent_id.empty() ? nullptr : sim::machine().find_device(d->description.parent_id);
    if (p == nullptr || !p->description.present) return finish(win::CR_NO_SUCH_DEVNODE_);
    parent = p->state.dev_inst;
    return finish(win::CR_SUCCESS_);
}

std::uint32_t cm_get_child(std::uint32_t dev_inst, std::uint32_t& child) {
    if (const auto injected = sim::enter_call("CM_Get_Child", std::to_string(dev_inst))) return finish(*injected);
    const sim::Device* d = node(dev_inst);
    if (d == nullptr) return finish(win::CR_INVALID_DEVNODE_);
    for (const sim::Device& c : sim::machine().devices) {
        if (c.description.present && equals_nocase(c.description.parent_id, d->description.instance_id)) {
            child = c.state.dev_inst;
            return finish(win::CR_SUCCESS_);
        }
    }
    return finish(win::CR_NO_SUCH_DEVNODE_);
}

std::uint32_t cm_get_sibling(std::uint32_t dev_inst, std::uint32_t& sibling) {
    if (const auto injected = sim::enter_call("CM_Get_Sibling", std::to_string(dev_inst))) return finish(*injected);
    const auto& devices = sim::machine().devices;
    const std::size_t at = sim::machine().device_position(dev_inst);
    if (at == devices.size()) return finish(win::CR_INVALID_DEVNODE_);
    const std::wstring parent_id = devices[at].description.parent_id;
    if (parent_id.empty()) return finish(win::CR_NO_SUCH_DEVNODE_);
    for (std::size_t i = at + 1; i < devices.size(); ++i) {
        if (devices[i].description.present && equals_nocase(devices[i].description.parent_id, parent_id)) {
            sibling = devices[i].state.dev_inst;
            return finish(win::CR_SUCCESS_);
        }
    }
    return finish(win::CR_NO_SUCH_DEVNODE_);
}

std::uint32_t cm_get_device_id(std::uint32_t dev_inst, std::uint32_t capacity, std::wstring& instance_id) {
    if (const auto injected = sim::enter_call("CM_Get_Device_IDW", std::to_string(dev_inst) + ", " +
                                                                       std::to_string(capacity))) {
        return finish(*injected);
    }
    const sim::Device* d = node(dev_inst);
    if (d == nullptr) return finish(win::CR_INVALID_DEVNODE_);
    if (d->description.instance_id.size() + 1 > capacity) return finish(win::CR_BUFFER_SMALL_);
    instance_id = d->description.instance_id;
    return finish(win::CR_SUCCESS_);
}

std::uint32_t cm_open_devnode_key(std::uint32_t dev_inst, std::uint32_t access, std::uint32_t hardware_profile,
                                  std::uint32_t disposition, std::uint32_t flags, RegKey& out) {
    // Only a call that may create the key can change the system.
    std::optional<sim::SystemChangeCall> change;
    if (disposition == win::RegDisposition_OpenAlways_) change.emplace("CM_Open_DevNode_Key", std::to_string(dev_inst));
    if (const auto injected = sim::enter_call(
            "CM_Open_DevNode_Key", std::to_string(dev_inst) + ", " + hex32(access) + ", " +
                                       std::to_string(hardware_profile) + ", " + std::to_string(disposition) + ", " +
                                       hex32(flags))) {
        return finish(*injected);
    }
    const sim::Device* d = node(dev_inst);
    if (d == nullptr) return finish(win::CR_INVALID_DEVNODE_);
    // Only the hardware key is simulated; the driver (software) key is not.
    if (flags != win::CM_REGISTRY_HARDWARE_) return finish(win::CR_NO_SUCH_REGISTRY_KEY_);
    const std::wstring path = sim::hardware_key_path(d->description.instance_id);
    if (sim::machine().registry.find(path) == nullptr) {
        if (disposition != win::RegDisposition_OpenAlways_) return finish(win::CR_NO_SUCH_REGISTRY_KEY_);
        sim::machine().registry.create(path);
    }
    out = sim::open_registry_handle(path, access);
    return finish(win::CR_SUCCESS_);
}

std::uint32_t cm_reenumerate_devnode(std::uint32_t dev_inst, std::uint32_t flags) {
    const sim::SystemChangeCall change("CM_Reenumerate_DevNode", std::to_string(dev_inst));
    if (const auto injected =
            sim::enter_call("CM_Reenumerate_DevNode", std::to_string(dev_inst) + ", " + hex32(flags))) {
        return finish(*injected);
    }
    if ((flags & ~kReenumerateBits) != 0) return finish(win::CR_INVALID_FLAG_);
    const sim::Device* d = node(dev_inst);
    if (d == nullptr) return finish(win::CR_INVALID_DEVNODE_);
    if (!d->description.present) return finish(win::CR_NO_SUCH_DEVNODE_);
    // Synchronous or not, the nodes that come back at once are there when
    // the call returns; late ones follow with virtual time.
    sim::reenumerate_below(d->description.instance_id);
    return finish(win::CR_SUCCESS_);
}

}  // namespace vq4::platform
