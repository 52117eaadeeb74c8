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
#include "platform/sim/open_handles.h"

namespace vq4::sim {

// Registers a set and gives its owner.
platform::DevInfoSet add_device_set(DevSet set);

// The set behind an owner, or null.
DevSet* find_device_set(const platform::DevInfoSet& set);

}  // namespace vq4::sim
