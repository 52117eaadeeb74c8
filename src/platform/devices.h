// SetupAPI and configuration-manager operations for finding device nodes,
// reading their properties and state, opening their hardware keys and
// locating their device interfaces. Results are the platform's own codes:
// 0 or the GetLastError value for SetupAPI calls, the CONFIGRET for CM_*.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "util/guid.h"

namespace vq4::platform {

// SP_DEVINFO_DATA without its size field.
struct DeviceInfoData {
    Guid class_guid;
    std::uint32_t dev_inst = 0;
    std::uintptr_t reserved = 0;
};

// SP_DEVICE_INTERFACE_DATA without its size field.
struct DeviceInterfaceData {
    Guid interface_class_guid;
    std::uint32_t flags = 0;
    std::uintptr_t reserved = 0;
};

// SetupDiGetClassDevsW(class_guid or NULL, enumerator or NULL, NULL, flags).
std::uint32_t setupdi_get_class_devs(const Guid* class_guid, const std::wstring* enumerator, std::uint32_t flags,
                                     DevInfoSet& out);

// SetupDiEnumDeviceInfo; ERROR_NO_MORE_ITEMS (259) past the last node.
std::uint32_t setupdi_enum_device_info(const DevInfoSet& set, std::uint32_t index, DeviceInfoData& out);

// SetupDiGetDeviceInstanceIdW into a zeroed buffer of `capacity` characters,
// no required-size output; ERROR_INSUFFICIENT_BUFFER (122) when it does not fit.
std::uint32_t setupdi_get_device_instance_id(const DevInfoSet& set, const DeviceInfoData& device,
                                             std::uint32_t capacity, std::wstring& instance_id);

struct PropertyRead {
    std::uint32_t error = 0;          // 0, ERROR_INVALID_DATA (13) when not set, 122 when too small
    std::uint32_t required_size = 0;  // bytes
    std::vector<std::uint8_t> data;   // the bytes copied on success
};

// SetupDiGetDeviceRegistryPropertyW with a zeroed buffer of `capacity` bytes.
PropertyRead setupdi_get_device_registry_property(const DevInfoSet& set, const DeviceInfoData& device,
                                                  std::uint32_t property, std::uint32_t capacity);

// CM_Get_DevNode_Status(&status, &problem, dev_inst, 0); returns the CONFIGRET.
std::uint32_t cm_get_devnode_status(std::uint32_t dev_inst, std::uint32_t& status, std::uint32_t& problem);

// SetupDiOpenDevRegKey(set, device, scope, profile, key_type, access).
std::uint32_t setupdi_open_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                       std::uint32_t hardware_profile, std::uint32_t key_type, std::uint32_t access,
                                       RegKey& out);

// SetupDiEnumDeviceInterfaces(set, device or NULL, guid, index, &data).
std::uint32_t setupdi_enum_device_interfaces(const DevInfoSet& set, const DeviceInfoData* device,
                                             const Guid& interface_class, std::uint32_t index,
                                             DeviceInterfaceData& out);

// SetupDiGetDeviceInterfaceDetailW without a buffer: the call's own error
// (ERROR_INSUFFICIENT_BUFFER when it reports the size) and the required size
// in bytes (preset to 0).
std::uint32_t setupdi_get_device_interface_detail_size(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                       std::uint32_t& required_size);

// SetupDiGetDeviceInterfaceDetailW into a zeroed buffer of `buffer_size`
// bytes whose size field is 8 (the fixed part on 64-bit Windows); the device
// path is the NUL-terminated text 4 bytes into the buffer.
std::uint32_t setupdi_get_device_interface_detail(const DevInfoSet& set, const DeviceInterfaceData& interface_data,
                                                  std::uint32_t buffer_size, std::wstring& device_path);

}  // namespace vq4::platform
