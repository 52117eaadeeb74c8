// File operations on real Windows.
#include "platform/files.h"

#include <windows.h>

namespace vq4::platform {

namespace {
HANDLE as_handle(const FileHandle& file) { return reinterpret_cast<HANDLE>(file.raw()); }
}  // namespace

std::uint32_t create_file(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags_and_attributes, FileHandle& out) {
    const HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags_and_attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    out = FileHandle(reinterpret_cast<std::uintptr_t>(file));
    return 0;
}

std::uint32_t read_file(const FileHandle& file, std::uint32_t count, std::vector<std::uint8_t>& bytes) {
    bytes.assign(count, 0);
    DWORD read = 0;
    if (!ReadFile(as_handle(file), bytes.data(), count, &read, nullptr)) {
        const DWORD error = GetLastError();
        bytes.clear();
        return error;
    }
    bytes.resize(read);
    return 0;
}

SeekResult set_file_pointer(const FileHandle& file, std::int32_t distance, std::uint32_t method) {
    SeekResult result;
    SetLastError(ERROR_SUCCESS);  // INVALID_SET_FILE_POINTER is also a valid low part
    result.position = SetFilePointer(as_handle(file), distance, nullptr, method);
    if (result.position == INVALID_SET_FILE_POINTER) result.error = GetLastError();
    return result;
}

AttributesResult get_file_attributes(const std::wstring& path) {
    AttributesResult result;
    result.attributes = GetFileAttributesW(path.c_str());
    if (result.attributes == INVALID_FILE_ATTRIBUTES) result.error = GetLastError();
    return result;
}

std::wstring get_private_profile_string(const std::wstring& section, const std::wstring& key,
                                        const std::wstring& default_text, std::uint32_t capacity,
                                        const std::wstring& path) {
    if (capacity == 0) return {};
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetPrivateProfileStringW(section.c_str(), key.c_str(), default_text.c_str(), buffer.data(),
                                                  capacity, path.c_str());
    buffer.resize(length < capacity ? length : capacity - 1);
    return buffer;
}

void release_handle(FileTag, std::uintptr_t raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

}  // namespace vq4::platform
