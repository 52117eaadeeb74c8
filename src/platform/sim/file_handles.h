// Open file and device handles of the simulated machine, for the other
// simulated calls that take a file handle (WinUSB takes the device's).
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/open_handles.h"

namespace vq4::sim {

struct File;

// Whether an open with `access` and `share` is refused because of an open
// that holds the file with `held_access` and `held_share` (Windows sharing:
// each must allow what the other asks for). Opens without data access
// (attributes only) take no part in sharing.
bool sharing_conflict(std::uint32_t held_access, std::uint32_t held_share, std::uint32_t access, std::uint32_t share);

// Whether another process's hold on the file (held_exclusively, held_open)
// refuses an open with `access` and `share`: ERROR_SHARING_VIOLATION.
bool held_by_another_process(const File& file, std::uint32_t access, std::uint32_t share);

// The record behind a FileHandle's raw value, or null.
const OpenFile* open_file_record(std::uintptr_t raw);

// The error of opening a path that names no file or folder:
// ERROR_FILE_NOT_FOUND when its folder exists, else ERROR_PATH_NOT_FOUND.
std::uint32_t missing_file_error(const std::wstring& path);

}  // namespace vq4::sim
