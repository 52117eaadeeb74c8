#pragma once

#include <cstdint>
#include <string>

namespace vq4 {

// Section 1: Windows edition, version and build, the host's processor and
// the tool's own build.
void run_system_information_section();

// Product name with the Windows 11 rule applied: builds from 22000 on still
// report "Windows 10" in ProductName.
std::wstring apply_windows11_rule(const std::wstring& product_name, const std::wstring& build_number);

// Name of a processor architecture of GetNativeSystemInfo
// (PROCESSOR_ARCHITECTURE_*), and of a machine of IsWow64Process2
// (IMAGE_FILE_MACHINE_*): "x64", "ARM64", "x86" or "unknown".
std::wstring architecture_name(std::uint16_t architecture);
std::wstring native_machine_name(std::uint16_t machine);

}  // namespace vq4
