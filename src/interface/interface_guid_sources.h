// Where the interface GUIDs come from: the GUID the SDK looks for (its
// configuration file, else a built-in default) and the GUIDs registered on an
// MI_03 node's hardware key.
#pragma once

#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4 {

inline constexpr const wchar_t* kSdkClsid = L"{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}";
inline constexpr const wchar_t* kSdkRegistrationKey = L"CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";
inline constexpr const wchar_t* kDefaultInterfaceGuid = L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
inline constexpr const wchar_t* kDefaultGuidSource = L"built-in default, SDK configuration file not readable";
inline constexpr const wchar_t* kSdkConfigFileName = L"vxlinkapi_x64.dll.config.ini";

struct ExpectedGuid {
    std::wstring guid;    // upper-case, braced
    std::wstring source;  // the configuration file's path, or the built-in default's source text
};

// The GUID the SDK looks for and where it comes from.
ExpectedGuid expected_interface_guid();

// DeviceInterfaceGUIDs (in stored order) then DeviceInterfaceGUID, each text
// exactly as stored; the caller owns the key.
std::vector<std::wstring> read_registered_guids(const platform::RegKey& hardware_key);

// "a, b", or "(none)" for an empty list.
std::wstring join_guids(const std::vector<std::wstring>& guids);

}  // namespace vq4
