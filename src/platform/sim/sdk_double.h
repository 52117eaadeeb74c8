// The simulated SDK library: what a library that the machine file describes
// under "sdk" does once loaded. GetProcAddress hands out its entry points,
// real functions with the SDK's signatures that act on the simulated
// machine and record every call in the trace.
#pragma once

#include <string>

#include "platform/library.h"
#include "platform/sim/machine.h"

namespace vq4::sim {

// The SDK library's import: it loads only where this is found beside it.
inline constexpr const wchar_t* kSdkCompanion = L"vxlinkapi_x64.dll";

// The machine's description of the SDK library at this path, or null.
const SdkLibrary* sdk_description(const std::wstring& path);

// The SDK's entry point of that name, or null when it has none of that name.
platform::EntryPoint sdk_export(const std::string& name);

}  // namespace vq4::sim
