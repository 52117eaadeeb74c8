// Registry key handles for other simulated calls that hand out keys
// (SetupDiOpenDevRegKey, CM_Open_DevNode_Key, SetupDiCreateDevRegKeyW).
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace vq4::sim {

// An open key on an existing canonical path ("HKLM\..."), without a trace entry.
platform::RegKey open_registry_handle(const std::wstring& canonical_path, std::uint32_t access);

}  // namespace vq4::sim
