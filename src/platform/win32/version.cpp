// The version API on real Windows.
//
// version.dll is not one of the system's known DLLs, so a static import
// would be looked up in the executable's folder first; the tool is run from
// download folders and USB sticks, and elevated for the repair. It is
// therefore loaded at run time from System32 only, once, and kept for the
// life of the process.
#include "platform/version.h"

#include <windows.h>
#include <winver.h>

namespace vq4::platform {

namespace {

struct VersionApi {
    decltype(&GetFileVersionInfoSizeW) size = nullptr;
    decltype(&GetFileVersionInfoW) read = nullptr;
    decltype(&VerQueryValueW) query = nullptr;
    DWORD error = 0;  // why the API is not available
};

template <class Function>
Function entry(HMODULE module, const char* name) {
    // Through the generic function pointer type: a cast between two
    // unrelated function pointer types would warn.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const VersionApi& version_api() {
    static const VersionApi api = [] {
        VersionApi loaded;
        const HMODULE module = LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            loaded.error = GetLastError();
            return loaded;
        }
        loaded.size = entry<decltype(loaded.size)>(module, "GetFileVersionInfoSizeW");
        loaded.read = entry<decltype(loaded.read)>(module, "GetFileVersionInfoW");
        loaded.query = entry<decltype(loaded.query)>(module, "VerQueryValueW");
        if (loaded.size == nullptr || loaded.read == nullptr || loaded.query == nullptr) {
            loaded.error = ERROR_PROC_NOT_FOUND;
            loaded.size = nullptr;
        }
        return loaded;
    }();
    return api;
}

}  // namespace

VersionInfoSize get_file_version_info_size(const std::wstring& path) {
    VersionInfoSize result;
    const VersionApi& api = version_api();
    if (api.size == nullptr) {
        result.error = api.error;
        return result;
    }
    result.size = api.size(path.c_str(), nullptr);
    if (result.size == 0) result.error = GetLastError();
    return result;
}

std::uint32_t get_file_version_info(const std::wstring& path, std::vector<std::uint8_t>& buffer) {
    const VersionApi& api = version_api();
    if (api.size == nullptr) return api.error;
    if (!api.read(path.c_str(), 0, static_cast<DWORD>(buffer.size()), buffer.data())) return GetLastError();
    return 0;
}

FixedFileVersion ver_query_root_version(const std::vector<std::uint8_t>& buffer) {
    FixedFileVersion result;
    const VersionApi& api = version_api();
    if (api.size == nullptr || buffer.empty()) return result;
    void* block = nullptr;
    UINT length = 0;
    if (!api.query(buffer.data(), L"\\", &block, &length) || block == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
        return result;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    result.found = true;
    result.file_version_ms = info->dwFileVersionMS;
    result.file_version_ls = info->dwFileVersionLS;
    return result;
}

}  // namespace vq4::platform
