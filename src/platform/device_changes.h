// SetupAPI and configuration-manager operations that change the device tree:
// removing a node, restarting it after a property change, creating its device
// key, walking the tree and re-enumerating it. Results are the platform's own
// codes: 0 or the GetLastError value for SetupAPI calls, the CONFIGRET for
// CM_* calls (CR_SUCCESS is 0).
#pragma once

#include <cstdint>
#include <string>

#include "platform/devices.h"
#include "platform/handles.h"

namespace vq4::platform {

// SetupDiCreateDeviceInfoList(NULL, NULL): an empty device information set.
std::uint32_t setupdi_create_device_info_list(DevInfoSet& out);

// SetupDiOpenDeviceInfoW(set, instance_id, NULL, 0, &data): adds the node to
// the set and gives its record.
std::uint32_t setupdi_open_device_info(const DevInfoSet& set, const std::wstring& instance_id,
                                       DeviceInfoData& out);

// SetupDiSetClassInstallParamsW with an SP_REMOVEDEVICE_PARAMS record
// (install function DIF_REMOVE, the given scope and hardware profile).
std::uint32_t setupdi_set_remove_device_params(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t scope, std::uint32_t hardware_profile);

// SetupDiSetClassInstallParamsW with an SP_PROPCHANGE_PARAMS record (install
// function DIF_PROPERTYCHANGE, the given state change, scope and profile).
std::uint32_t setupdi_set_property_change_params(const DevInfoSet& set, const DeviceInfoData& device,
                                                 std::uint32_t state_change, std::uint32_t scope,
                                                 std::uint32_t hardware_profile);

// SetupDiCallClassInstaller(install_function, set, &device).
std::uint32_t setupdi_call_class_installer(std::uint32_t install_function, const DevInfoSet& set,
                                           const DeviceInfoData& device);

// SetupDiGetDeviceInstallParamsW on a zeroed SP_DEVINSTALL_PARAMS_W whose
// size field is set; `flags` gets its Flags field on success.
std::uint32_t setupdi_get_device_install_flags(const DevInfoSet& set, const DeviceInfoData& device,
                                               std::uint32_t& flags);

// SetupDiCreateDevRegKeyW(set, &device, scope, profile, key_type, NULL, NULL):
// the device key, created when it is missing.
std::uint32_t setupdi_create_dev_reg_key(const DevInfoSet& set, const DeviceInfoData& device, std::uint32_t scope,
                                         std::uint32_t hardware_profile, std::uint32_t key_type, RegKey& out);

// CM_Locate_DevNodeW(&dev_inst, instance_id, flags).
std::uint32_t cm_locate_devnode(const std::wstring& instance_id, std::uint32_t flags, std::uint32_t& dev_inst);

// CM_Get_Parent / CM_Get_Child / CM_Get_Sibling(&out, dev_inst, 0).
std::uint32_t cm_get_parent(std::uint32_t dev_inst, std::uint32_t& parent);
std::uint32_t cm_get_child(std::uint32_t dev_inst, std::uint32_t& child);
std::uint32_t cm_get_sibling(std::uint32_t dev_inst, std::uint32_t& sibling);

// CM_Get_Device_IDW(dev_inst, buffer, capacity, 0) into a zeroed buffer of
// `capacity` wide characters; `instance_id` gets the text on CR_SUCCESS.
std::uint32_t cm_get_device_id(std::uint32_t dev_inst, std::uint32_t capacity, std::wstring& instance_id);

// CM_Open_DevNode_Key(dev_inst, access, profile, disposition, &key, flags).
std::uint32_t cm_open_devnode_key(std::uint32_t dev_inst, std::uint32_t access, std::uint32_t hardware_profile,
                                  std::uint32_t disposition, std::uint32_t flags, RegKey& out);

// CM_Reenumerate_DevNode(dev_inst, flags).
std::uint32_t cm_reenumerate_devnode(std::uint32_t dev_inst, std::uint32_t flags);

}  // namespace vq4::platform
