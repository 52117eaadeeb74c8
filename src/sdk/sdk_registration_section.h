// Section 4: how the SDK library is registered in each registry view, and
// whether the file, its version, its architecture and its dependency fit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/report.h"
#include "sdk/sdk_contract.h"

namespace vq4 {

// What section 4 found in one registry view.
struct SdkViewFacts {
    std::wstring view;  // the view's label
    SdkRegistrationState state = SdkRegistrationState::KeyMissing;
    std::wstring path;                    // the declared path (Found only)
    bool file_present = false;            // the file it names exists
    std::wstring version;                 // file_version_text, when present
    std::optional<std::uint16_t> machine; // the PE header's Machine, when read
};

struct SdkRegistrationFacts {
    SdkViewFacts view_64;
    SdkViewFacts view_32;
};

// In an elevated process both views are read from HKLM\SOFTWARE\Classes
// (sdk_lookup_for_this_process), as section 5 there loads the SDK.
SdkRegistrationFacts run_sdk_registration_section();

// One registry view: `view_flag` is KEY_WOW64_64KEY or KEY_WOW64_32KEY; a
// missing registration or file is reported at `severity`.
SdkViewFacts check_sdk_registration_view(std::uint32_t view_flag, const std::wstring& label, std::uint16_t expected_machine,
                                 StatusKind severity, SdkLookup lookup = SdkLookup::User);

// "a.b.c.d" of the file's VS_FIXEDFILEINFO, or "(no version info)",
// "(unable to read version info)", "(no VS_FIXEDFILEINFO)".
std::wstring file_version_text(const std::wstring& path);

// "x86 (32-bit)", "x64", "ARM64" or "unknown (0x%04X)".
std::wstring machine_name(std::uint16_t machine);

// The Machine field of the file's PE/COFF header, or nothing when the file
// cannot be opened or is not a PE image.
std::optional<std::uint16_t> read_pe_machine(const std::wstring& path);

}  // namespace vq4
