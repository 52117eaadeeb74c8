// The libraries the simulated process has loaded, for tests that check what
// FreeLibrary left behind without going through the loading operations, and
// the process's default DLL search.
#pragma once

#include <cstdint>
#include <string>

namespace vq4::sim {

// True while a library of that path is loaded (its reference count is above 0).
bool library_loaded(const std::wstring& path);

// SetDefaultDllDirectories of the simulated process (LOAD_LIBRARY_SEARCH_*
// flags; 0, as a process starts: the standard search order), as the tool's
// start-up sets it on Windows.
void set_default_dll_directories(std::uint32_t flags);

}  // namespace vq4::sim
