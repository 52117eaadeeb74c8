// Device removal, property-change restart, device keys and the
// configuration manager's tree on real Windows.
#include "platform/device_changes.h"

#include <windows.h>
// windows.h first: the SetupAPI headers need its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

HDEVINFO as_hdevinfo(const DevInfoSet& set) { return reinterpret_cast<HDEVINFO>(set.raw()); }

SP_DEVINFO_DATA to_win(const DeviceInfoData& d) {
    SP_DEVINFO_DATA w{};
    w.cbSize = sizeof(w);
    w.ClassGuid.Data1 = d.class_guid.Data1;
    w.ClassGuid.Data2 = d.class_guid.Data2;
    w.ClassGuid.Data3 = d.class_guid.Data3;
    std::memcpy(w.ClassGuid.Data4, d.class_guid.Data4.data(), 8);
    w.DevInst = d.dev_inst;
    w.Reserved = d.reserved;
    return w;
}

DeviceInfoData from_win(const SP_DEVINFO_DATA& w) {
    DeviceInfoData d;
    d.class_guid.Data1 = w.ClassGuid.Data1;
    d.class_guid.Data2 = w.ClassGuid.Data2;
    d.class_guid.Data3 = w.ClassGuid.Data3;
    std::memcpy(d.class_guid.Data4.data(), w.ClassGuid.Data4, 8);
    d.dev_inst = w.DevInst;
    d.reserved = w.Reserved;
    return d;
}

std::uint32_t last_error_or_zero(BOOL ok) { return ok ? 0 : GetLastError(); }

// cfgmgr32.dll is loaded at run time from System32 (system_library.h); a
// function that could not be had fails as CR_FAILURE.
const system_library::ConfigManagerApi& cm() { return system_library::config_manager(); }

}  // namespace

std::uint32_t setupdi_create_device_info_list(DevInfoSet& out) {
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return GetLastError();
    out = DevInfoSet(reinterpret_cast<std::uintptr_t>(set));
    return 0;
}

std::uint32_t setupdi_open_device_info(const DevInfoSet& set, const std::wstring& instance_id,
                                       DeviceInfoData& out) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiOpenDeviceInfoW(as_hdevinfo(set), instance_id.c_str(), nullptr, 0, &data)) return GetLastError();
    out = from_win(data);
    return 0;
}

std::uint32_t setupdi_set_remove_device_params(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t scope, std::uint32_t hardware_profile) {
    SP_DEVINFO_DATA data = to_win(device);
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = scope;
    params.HwProfile = hardware_profile;
    return last_error_or_zero(
        SetupDiSetClassInstallParamsW(as_hdevinfo(set), &data, &params.ClassInstallHeader, sizeof(params)));
}

std::uint32_t setupdi_set_property_change_params(const DevInfoSet& set, const DeviceInfoData& device,
                                                 std::uint32_t state_change, std::uint32_t scope,
                                                 std::uint32_t hardware_profile) {
    SP_DEVINFO_DATA data = to_win(device);
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = state_change;
    params.Scope = scope;
    params.HwProfile = hardware_profile;
    return last_error_or_zero(
        SetupDiSetClassInstallParamsW(as_hdevinfo(set), &data, &params.ClassInstallHeader, sizeof(params)));
}

std::uint32_t setupdi_call_class_installer(std::uint32_t install_function, const DevInfoSet& set,
                                           const DeviceInfoData& device) {
    SP_DEVINFO_DATA data = to_win(device);
    return last_error_or_zero(SetupDiCallClassInstaller(install_function, as_hdevinfo(set), &data));
}

std::uint32_t setupdi_get_device_install_flags(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t& flags) {
    SP_DEVINFO_DATA data = to_win(device);
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(as_hdevinfo(set), &data, &params)) return GetLastError();
    flags = params.Flags;
    return 0;
}

std::uint32_t setupdi_create_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                         std::uint32_t hardware_profile, std::uint32_t key_type, RegKey& out) {
    SP_DEVINFO_DATA data = to_win(device);
    // Fails as INVALID_HANDLE_VALUE, not NULL.
    const HKEY key =
        SetupDiCreateDevRegKeyW(as_hdevinfo(set), &data, scope, hardware_profile, key_type, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) return GetLastError();
    out = RegKey(reinterpret_cast<std::uintptr_t>(key));
    return 0;
}

std::uint32_t cm_locate_devnode(const std::wstring& instance_id, std::uint32_t flags, std::uint32_t& dev_inst) {
    // The API takes a writable string.
    std::vector<wchar_t> id(instance_id.begin(), instance_id.end());
    id.push_back(L'\0');
    if (cm().locate_devnode.function == nullptr) return CR_FAILURE;
    DEVINST node = 0;
    const CONFIGRET result = cm().locate_devnode.function(&node, id.data(), flags);
    if (result == CR_SUCCESS) dev_inst = node;
    return result;
}

std::uint32_t cm_get_parent(std::uint32_t dev_inst, std::uint32_t& parent) {
    if (cm().get_parent.function == nullptr) return CR_FAILURE;
    DEVINST node = 0;
    const CONFIGRET result = cm().get_parent.function(&node, dev_inst, 0);
    if (result == CR_SUCCESS) parent = node;
    return result;
}

std::uint32_t cm_get_child(std::uint32_t dev_inst, std::uint32_t& child) {
    if (cm().get_child.function == nullptr) return CR_FAILURE;
    DEVINST node = 0;
    const CONFIGRET result = cm().get_child.function(&node, dev_inst, 0);
    if (result == CR_SUCCESS) child = node;
    return result;
}

std::uint32_t cm_get_sibling(std::uint32_t dev_inst, std::uint32_t& sibling) {
    if (cm().get_sibling.function == nullptr) return CR_FAILURE;
    DEVINST node = 0;
    const CONFIGRET result = cm().get_sibling.function(&node, dev_inst, 0);
    if (result == CR_SUCCESS) sibling = node;
    return result;
}

std::uint32_t cm_get_device_id(std::uint32_t dev_inst, std::uint32_t capacity, std::wstring& instance_id) {
    if (cm().get_device_id.function == nullptr) return CR_FAILURE;
    std::vector<wchar_t> buffer(capacity == 0 ? 1 : capacity, L'\0');
    const CONFIGRET result = cm().get_device_id.function(dev_inst, buffer.data(), capacity, 0);
    if (result == CR_SUCCESS) instance_id.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    return result;
}

std::uint32_t cm_open_devnode_key(std::uint32_t dev_inst, std::uint32_t access, std::uint32_t hardware_profile,
                                  std::uint32_t disposition, std::uint32_t flags, RegKey& out) {
    if (cm().open_devnode_key.function == nullptr) return CR_FAILURE;
    HKEY key = nullptr;
    const CONFIGRET result =
        cm().open_devnode_key.function(dev_inst, access, hardware_profile, disposition, &key, flags);
    if (result == CR_SUCCESS) out = RegKey(reinterpret_cast<std::uintptr_t>(key));
    return result;
}

std::uint32_t cm_reenumerate_devnode(std::uint32_t dev_inst, std::uint32_t flags) {
    if (cm().reenumerate_devnode.function == nullptr) return CR_FAILURE;
    return cm().reenumerate_devnode.function(dev_inst, flags);
}

}  // namespace vq4::platform
