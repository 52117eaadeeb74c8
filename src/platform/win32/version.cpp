// The version API on real Windows.
//
// version.dll is not one of the system's known DLLs, so a static import
// would be looked up in the executable's folder first; the tool is run from
// download folders and USB sticks, and elevated for the repair. It is
// therefore loaded at run time from System32 only (system_library.h), once,
// and kept for the life of the process.
#include "platform/version.h"

#include <windows.h>
#include <winver.h>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

using system_library::Entry;

struct VersionApi {
    Entry<decltype(&GetFileVersionInfoSizeW)> size;
    Entry<decltype(&GetFileVersionInfoW)> read;
    Entry<decltype(&VerQueryValueW)> query;
};

const VersionApi& version_api() {
    static const VersionApi api = [] {
        VersionApi loaded;
        const system_library::Module module = system_library::load(L"version.dll");
        system_library::resolve(module, "GetFileVersionInfoSizeW", loaded.size);
        system_library::resolve(module, "GetFileVersionInfoW", loaded.read);
        system_library::resolve(module, "VerQueryValueW", loaded.query);
        return loaded;
    }();
    return api;
}

}  // namespace

VersionInfoSize get_file_version_info_size(const std::wstring& path) {
    VersionInfoSize result;
    const auto& size = version_api().size;
    if (size.function == nullptr) {
        result.error = size.error;
        return result;
    }
    result.size = size.function(path.c_str(), nullptr);
    if (result.size == 0) result.error = GetLastError();
    return result;
}

std::uint32_t get_file_version_info(const std::wstring& path, std::vector<std::uint8_t>& buffer) {
    const auto& read = version_api().read;
    if (read.function == nullptr) return read.error;
    if (!read.function(path.c_str(), 0, static_cast<DWORD>(buffer.size()), buffer.data())) return GetLastError();
    return 0;
}

FixedFileVersion ver_query_root_version(const std::vector<std::uint8_t>& buffer) {
    FixedFileVersion result;
    const auto& query = version_api().query;
    if (query.function == nullptr || buffer.empty()) return result;
    void* block = nullptr;
    UINT length = 0;
    if (!query.function(buffer.data(), L"\\", &block, &length) || block == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
        return result;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
    result.found = true;
    result.file_version_ms = info->dwFileVersionMS;
    result.file_version_ls = info->dwFileVersionLS;
    return result;
}

}  // namespace vq4::platform
