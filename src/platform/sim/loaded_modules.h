// The libraries the simulated process has loaded, for tests that check what
// FreeLibrary left behind without going through the loading operations, the
// process's default DLL search, and the loading a loaded library does itself.
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

// LoadLibraryW(name) as a loaded library calls it itself (the process's
// default search), and its FreeLibrary; no trace entry. Returns 0 or the
// Win32 error code.
std::uint32_t load_by_name(const std::wstring& name, std::uintptr_t& handle);
void release_module(std::uintptr_t handle);

// The folder of a path, with its separator at the end; empty when it has none.
std::wstring folder_of(const std::wstring& path);

}  // namespace vq4::sim
