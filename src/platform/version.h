// The version API (GetFileVersionInfoSizeW, GetFileVersionInfoW,
// VerQueryValueW): a file's version resource and its VS_FIXEDFILEINFO.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq4::platform {

struct VersionInfoSize {
    std::uint32_t size = 0;   // bytes GetFileVersionInfoW needs; 0 on failure
    std::uint32_t error = 0;  // GetLastError when size is 0 (ERROR_RESOURCE_TYPE_NOT_FOUND 1813, ...)
};

// GetFileVersionInfoSizeW(path, NULL).
VersionInfoSize get_file_version_info_size(const std::wstring& path);

// GetFileVersionInfoW(path, 0, buffer.size(), buffer.data()): fills the
// caller's buffer. Returns 0 or the GetLastError value.
std::uint32_t get_file_version_info(const std::wstring& path, std::vector<std::uint8_t>& buffer);

struct FixedFileVersion {
    // VerQueryValueW(buffer, "\\") succeeded with a non-null pointer to a
    // block long enough to be a VS_FIXEDFILEINFO. A shorter block counts as
    // absent, so nothing beyond it is ever read.
    bool found = false;
    std::uint32_t file_version_ms = 0;  // dwFileVersionMS
    std::uint32_t file_version_ls = 0;  // dwFileVersionLS
};

// VerQueryValueW on a buffer that GetFileVersionInfoW filled, for the root block.
FixedFileVersion ver_query_root_version(const std::vector<std::uint8_t>& buffer);

}  // namespace vq4::platform
