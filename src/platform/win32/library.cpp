// Run-time loading on real Windows.
#include "platform/library.h"

#include <windows.h>

#include "util/text.h"

namespace vq4::platform {

std::uint32_t load_library(const std::wstring& path, Library& out) {
    // The search flags take only a fully qualified path (anything else fails
    // with ERROR_INVALID_PARAMETER); a name that would have to be searched
    // for is not loaded at all.
    if (!is_fully_qualified_path(path)) return ERROR_MOD_NOT_FOUND;
    const HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return GetLastError();
    out = Library(reinterpret_cast<std::uintptr_t>(module));
    return 0;
}

ProcAddress get_proc_address(const Library& library, const char* name) {
    ProcAddress result;
    const FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library.raw()), name);
    if (address == nullptr) {
        result.error = GetLastError();
        return result;
    }
    result.address = reinterpret_cast<EntryPoint>(address);
    return result;
}

void release_handle(LibraryTag, std::uintptr_t raw) noexcept { FreeLibrary(reinterpret_cast<HMODULE>(raw)); }

std::uint32_t add_dll_directory(const std::wstring& folder, DllDirectory& out) {
    const DLL_DIRECTORY_COOKIE cookie = AddDllDirectory(folder.c_str());
    if (cookie == nullptr) return GetLastError();
    out = DllDirectory(reinterpret_cast<std::uintptr_t>(cookie));
    return 0;
}

void release_handle(DllDirectoryTag, std::uintptr_t raw) noexcept {
    RemoveDllDirectory(reinterpret_cast<DLL_DIRECTORY_COOKIE>(raw));
}

}  // namespace vq4::platform
