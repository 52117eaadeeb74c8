// SetupAPI and configuration-manager calls on real Windows.
#include "platform/devices.h"

#include <windows.h>
// windows.h first: the SetupAPI headers need its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

HDEVINFO as_hdevinfo(const DevInfoSet& set) { return reinterpret_cast<HDEVINFO>(set.raw()); }

GUID to_win(const Guid& g) {
    GUID w{};
    w.Data1 = g.Data1;
    w.Data2 = g.Data2;
    w.Data3 = g.Data3;
    std::memcpy(w.Data4, g.Data4.data(), 8);
    return w;
}

Guid from_win(const GUID& w) {
    Guid g;
    g.Data1 = w.Data1;
    g.Data2 = w.Data2;
    g.Data3 = w.Data3;
    std::memcpy(g.Data4.data(), w.Data4, 8);
    return g;
}

SP_DEVINFO_DATA to_win(const DeviceInfoData& d) {
    SP_DEVINFO_DATA w{};
    w.cbSize = sizeof(w);
    w.ClassGuid = to_win(d.class_guid);
    w.DevInst = d.dev_inst;
    w.Reserved = d.reserved;
    return w;
}

SP_DEVICE_INTERFACE_DATA to_win(const DeviceInterfaceData& d) {
    SP_DEVICE_INTERFACE_DATA w{};
    w.cbSize = sizeof(w);
    w.InterfaceClassGuid = to_win(d.interface_class_guid);
    w.Flags = d.flags;
    w.Reserved = d.reserved;
    return w;
}

std::uint32_t last_error_or_zero(BOOL ok) { return ok ? 0 : GetLastError(); }

}  // namespace

std::uint32_t setupdi_get_class_devs(const Guid* class_guid, const std::wstring* enumerator, std::uint32_t flags,
                                     DevInfoSet& out) {
    GUID guid{};
    if (class_guid != nullptr) guid = to_win(*class_guid);
    const HDEVINFO set = SetupDiGetClassDevsW(class_guid != nullptr ? &guid : nullptr,
                                              enumerator != nullptr ? enumerator->c_str() : nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) return GetLastError();
    out = DevInfoSet(reinterpret_cast<std::uintptr_t>(set));
    return 0;
}

std::uint32_t setupdi_enum_device_info(const DevInfoSet& set, std::uint32_t index, DeviceInfoData& out) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInfo(as_hdevinfo(set), index, &data)) return GetLastError();
    out.class_guid = from_win(data.ClassGuid);
    out.dev_inst = data.DevInst;
    out.reserved = data.Reserved;
    return 0;
}

std::uint32_t setupdi_get_device_instance_id(const DevInfoSet& set, const DeviceInfoData& device,
                                             std::uint32_t capacity, std::wstring& instance_id) {
    SP_DEVINFO_DATA data = to_win(device);
    std::wstring buffer(capacity == 0 ? 1 : capacity, L'\0');
    if (!SetupDiGetDeviceInstanceIdW(as_hdevinfo(set), &data, buffer.data(), capacity, nullptr)) return GetLastError();
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    instance_id = std::move(buffer);
    return 0;
}

PropertyRead setupdi_get_device_registry_property(const DevInfoSet& set, const DeviceInfoData& device,
                                                  std::uint32_t property, std::uint32_t capacity) {
    PropertyRead read;
    SP_DEVINFO_DATA data = to_win(device);
    std::vector<std::uint8_t> buffer(capacity == 0 ? 1 : capacity, 0);
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(as_hdevinfo(set), &data, property, nullptr, buffer.data(), capacity,
                                           &required)) {
        read.error = GetLastError();
        read.required_size = required;
        return read;
    }
    read.required_size = required;
    buffer.resize(required <= capacity ? required : capacity);
    read.data = std::move(buffer);
    return read;
}

std::uint32_t cm_get_devnode_status(std::uint32_t dev_inst, std::uint32_t& status, std::uint32_t& problem) {
    // Zeroed first: Wine answers CR_SUCCESS without writing either value.
    // cfgmgr32.dll is loaded at run time from System32 (system_library.h);
    // without the function the call fails as CR_FAILURE.
    const auto& get_status = system_library::config_manager().get_devnode_status;
    if (get_status.function == nullptr) return CR_FAILURE;
    ULONG s = 0, p = 0;
    const CONFIGRET result = get_status.function(&s, &p, dev_inst, 0);
    if (result == CR_SUCCESS) {
        status = s;
        problem = p;
    }
    return result;
}

std::uint32_t setupdi_open_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                       std::uint32_t hardware_profile, std::uint32_t key_type, std::uint32_t access,
                                       RegKey& out) {
    SP_DEVINFO_DATA data = to_win(device);
    // Fails as INVALID_HANDLE_VALUE, not NULL.
    const HKEY key = SetupDiOpenDevRegKey(as_hdevinfo(set), &data, scope, hardware_profile, key_type, access);
    if (key == INVALID_HANDLE_VALUE) return GetLastError();
    out = RegKey(reinterpret_cast<std::uintptr_t>(key));
    return 0;
}

std::uint32_t setupdi_enum_device_interfaces(const DevInfoSet& set, const DeviceInfoData* device,
                                             const Guid& interface_class, std::uint32_t index,
                                             DeviceInterfaceData& out) {
    SP_DEVINFO_DATA data{};
    if (device != nullptr) data = to_win(*device);
    const GUID guid = to_win(interface_class);
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    if (!SetupDiEnumDeviceInterfaces(as_hdevinfo(set), device != nullptr ? &data : nullptr, &guid, index, &iface)) {
        return GetLastError();
    }
    out.interface_class_guid = from_win(iface.InterfaceClassGuid);
    out.flags = iface.Flags;
    out.reserved = iface.Reserved;
    return 0;
}

std::uint32_t setupdi_get_device_interface_detail_size(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                       std::uint32_t& required_size) {
    SP_DEVICE_INTERFACE_DATA iface = to_win(interface_data);
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceInterfaceDetailW(as_hdevinfo(set), &iface, nullptr, 0, &required, nullptr);
    required_size = required;
    return last_error_or_zero(ok);
}

std::uint32_t setupdi_get_device_interface_detail(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                  std::uint32_t buffer_size, std::wstring& device_path) {
    SP_DEVICE_INTERFACE_DATA iface = to_win(interface_data);
    // DWORD-aligned storage for the variable-size detail record.
    std::vector<DWORD> storage((buffer_size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(as_hdevinfo(set), &iface, detail, buffer_size, nullptr, nullptr)) {
        return GetLastError();
    }
    const std::size_t max_chars = buffer_size > 4 ? (buffer_size - 4) / sizeof(wchar_t) : 0;
    device_path.assign(detail->DevicePath, wcsnlen(detail->DevicePath, max_chars));
    return 0;
}

void release_handle(DevInfoSetTag, std::uintptr_t raw) noexcept {
    SetupDiDestroyDeviceInfoList(reinterpret_cast<HDEVINFO>(raw));
}

}  // namespace vq4::platform
