// Run-time loading of a library (LoadLibraryW, GetProcAddress, FreeLibrary).
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

// LoadLibraryW(path). Returns 0 or the GetLastError value (e.g.
// ERROR_MOD_NOT_FOUND 126, ERROR_BAD_EXE_FORMAT 193).
std::uint32_t load_library(const std::wstring& path, Library& out);

struct ProcAddress {
    EntryPoint address = nullptr;  // null when the library does not export the name
    std::uint32_t error = 0;       // GetLastError when null (ERROR_PROC_NOT_FOUND 127)
};

// GetProcAddress(module, name) for an ASCII export name.
ProcAddress get_proc_address(const Library& library, const char* name);

}  // namespace vq4::platform
