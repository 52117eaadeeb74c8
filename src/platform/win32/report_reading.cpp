// The report folder as the first instance sees it when it hands a report
// path to the elevated instance and reads that report back.
#include <windows.h>

#include "platform/system.h"

namespace vq4::platform {

std::uint32_t report_file_attributes(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return GetLastError();
    return 0;
}

std::uint32_t report_file_read(const std::wstring& path, std::uint32_t max_bytes, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    // The elevated instance may still hold it (or an editor, or an antivirus
    // scan): deny nothing to anyone.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    std::uint32_t error = 0;
    while (bytes.size() < max_bytes) {
        std::uint8_t chunk[4096];
        const DWORD wanted = static_cast<DWORD>(
            max_bytes - bytes.size() < sizeof(chunk) ? max_bytes - bytes.size() : sizeof(chunk));
        DWORD got = 0;
        if (!ReadFile(file, chunk, wanted, &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    CloseHandle(file);
    return error;
}

}  // namespace vq4::platform
