// Section 6: the maker's software that is installed, running or registered
// as a Windows service, found by keywords in names. It changes nothing; a
// service of the maker in particular may hold the device's interface open.
#pragma once

#include <string>

namespace vq4 {

// Reads of the service list after the sizing call, when the list keeps
// growing between the calls (each read goes on from the resume handle).
constexpr int kMaxServiceListReads = 5;

// Section 6: header, the three listings, and the closing Info line when
// none of them found anything.
void run_related_software_section();

// True when the name contains "Quorvane", "Vantro" or "QTV" (ASCII letters
// in any case) and not "QuorvaneSpinDeck", another maker's product.
bool is_related_name(const std::wstring& name);

// Programs of both Uninstall keys (64-bit, then WOW6432Node) whose
// DisplayName is related: one Info line each, plus the install folder. True
// when it found one.
bool list_installed_programs();

// Running processes whose executable file name is related: one Info line
// each. True when it found one.
bool list_related_processes();

// Win32 services whose name or display name is related: Ok when running,
// Warn in any other state. True when it found one.
bool list_related_services();

}  // namespace vq4
