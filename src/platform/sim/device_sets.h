// Device information sets of the simulated SetupAPI, shared by the calls
// that enumerate nodes (devices.cpp) and those that change them
// (device_changes.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/handles.h"

namespace vq4::sim {

struct SimInterface {
    std::wstring owner_id;
    platform::DeviceInterfaceData data;
    std::wstring path;
};

// SetupDiSetClassInstallParamsW's record for one element of a set.
struct ClassInstallParams {
    std::uint32_t install_function = 0;
    std::uint32_t state_change = 0;  // DIF_PROPERTYCHANGE only
    std::uint32_t scope = 0;
    std::uint32_t hardware_profile = 0;
};

// A snapshot taken when the set is created or a node is opened in it, as on
// Windows: nodes removed afterwards stay listed.
struct DevSet {
    std::vector<std::wstring> instance_ids;
    std::vector<std::uint32_t> dev_insts;
    std::vector<SimInterface> interfaces;
    std::map<std::size_t, ClassInstallParams> class_install_params;  // by element index
    std::map<std::size_t, std::uint32_t> install_flags;              // SP_DEVINSTALL_PARAMS Flags, by element
};

std::map<std::uintptr_t, DevSet>& open_device_sets();

// Registers a set and gives its owner.
platform::DevInfoSet add_device_set(DevSet set);

// The set behind an owner, or null.
DevSet* find_device_set(const platform::DevInfoSet& set);

}  // namespace vq4::sim
