// Run-time loading of a library (LoadLibraryExW, GetProcAddress, FreeLibrary)
// and the folders searched for the DLLs a library loads by name
// (AddDllDirectory, RemoveDllDirectory).
//
// An entry point comes back as a raw function pointer of no particular type;
// the caller casts it to the function type that the library's contract gives
// for that name. The module is released with FreeLibrary when its Library
// owner is reset or destroyed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace vq4::platform {

using EntryPoint = void (*)();

// Loads the library at `path` with the DLLs it imports taken from its own
// folder and from System32 only (LoadLibraryExW with
// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32), never
// from the executable's folder, the current directory or PATH: the tool runs
// from download folders and elevated. Only a fully qualified path
// (is_fully_qualified_path) is loaded; a bare name or a relative path is not
// searched for anywhere and gives ERROR_MOD_NOT_FOUND (126). Returns 0 or the
// GetLastError value (e.g. ERROR_MOD_NOT_FOUND 126, ERROR_BAD_EXE_FORMAT 193,
// ERROR_DLL_INIT_FAILED 1114). The loader takes the library's folder for its
// imports up to the last backslash: write the path with backslashes only.
std::uint32_t load_library(const std::wstring& path, Library& out);

// AddDllDirectory(folder). The process's default search for a DLL loaded by
// name (LoadLibraryW without a path, as a library may do at run time) is
// System32 and the folders added here (the start-up sets
// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 |
// LOAD_LIBRARY_SEARCH_USER_DIRS)); never the executable's folder or the
// current directory. The folder stays in the search until the owner is reset
// (RemoveDllDirectory). Returns 0 or the GetLastError value: a path that is
// not absolute (relative, or "C:name") gives ERROR_INVALID_PARAMETER (87), a
// missing one ERROR_FILE_NOT_FOUND (2) or ERROR_PATH_NOT_FOUND (3).
std::uint32_t add_dll_directory(const std::wstring& folder, DllDirectory& out);

struct ProcAddress {
    EntryPoint address = nullptr;  // null when the library does not export the name
    std::uint32_t error = 0;       // GetLastError when null (ERROR_PROC_NOT_FOUND 127)
};

// GetProcAddress(module, name) for an ASCII export name.
ProcAddress get_proc_address(const Library& library, const char* name);

}  // namespace vq4::platform
