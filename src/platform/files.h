// File operations: opening files and device interfaces, reading, seeking,
// attributes, and the profile (INI) reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

// CreateFileW(path, access, share, NULL, disposition, flags_and_attributes,
// NULL). Returns 0 or the GetLastError value (e.g. ERROR_SHARING_VIOLATION 32).
std::uint32_t create_file(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags_and_attributes, FileHandle& out);

// ReadFile of up to `count` bytes; `bytes` holds what was read.
std::uint32_t read_file(const FileHandle& file, std::uint32_t count, std::vector<std::uint8_t>& bytes);

struct SeekResult {
    std::uint32_t position = 0;  // INVALID_SET_FILE_POINTER on failure
    std::uint32_t error = 0;
};

// SetFilePointer(file, distance, NULL, method).
SeekResult set_file_pointer(const FileHandle& file, std::int32_t distance, std::uint32_t method);

struct AttributesResult {
    std::uint32_t attributes = 0;  // INVALID_FILE_ATTRIBUTES on failure
    std::uint32_t error = 0;
};

AttributesResult get_file_attributes(const std::wstring& path);

// GetPrivateProfileStringW(section, key, default_text, buffer, capacity, path)
// into a zeroed buffer of `capacity` characters: the value, or the default
// when the file, the section or the key is missing.
std::wstring get_private_profile_string(const std::wstring& section, const std::wstring& key,
                                        const std::wstring& default_text, std::uint32_t capacity,
                                        const std::wstring& path);

}  // namespace vq4::platform
