// Registry operations (RegOpenKeyExW, RegQueryValueExW, RegEnumKeyExW,
// RegSetValueExW, RegDeleteTreeW, RegDeleteKeyW, RegCloseKey).
// Every result is the registry's own LSTATUS, unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

enum class RegRoot : std::uint8_t { ClassesRoot, LocalMachine };

// RegOpenKeyExW(root, subkey, 0, access). `access` may carry
// KEY_WOW64_64KEY / KEY_WOW64_32KEY to choose a registry view.
std::int32_t reg_open_key(RegRoot root, const std::wstring& subkey, std::uint32_t access, RegKey& out);
// RegOpenKeyExW relative to an open key.
std::int32_t reg_open_subkey(const RegKey& parent, const std::wstring& subkey, std::uint32_t access, RegKey& out);

struct RegRead {
    std::int32_t status = 0;  // LSTATUS
    std::uint32_t type = 0;   // reported type (REG_NONE when the call failed before knowing it)
    std::uint32_t size = 0;   // bytes copied on success; bytes needed on ERROR_MORE_DATA
    std::vector<std::uint8_t> data;  // exactly `size` bytes on success, empty otherwise
};

// RegQueryValueExW(key, name, NULL, &type, buffer, &size) with a caller
// buffer of `capacity` bytes. An empty name reads the default value. When
// the data do not fit: ERROR_MORE_DATA with the needed size, nothing copied.
RegRead reg_query_value(const RegKey& key, const std::wstring& name, std::uint32_t capacity);

// RegQueryValueExW with no data buffer: ERROR_SUCCESS and the data size.
RegRead reg_query_value_size(const RegKey& key, const std::wstring& name);

// RegEnumKeyExW(key, index, name, &chars) with a name buffer of `capacity`
// wide characters. ERROR_NO_MORE_ITEMS (259) past the last subkey,
// ERROR_MORE_DATA when the name does not fit.
std::int32_t reg_enum_key(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name);

// RegSetValueExW(key, name, 0, type, data, size).
std::int32_t reg_set_value(const RegKey& key, const std::wstring& name, std::uint32_t type,
                           const std::vector<std::uint8_t>& data);

std::int32_t reg_delete_tree(RegRoot root, const std::wstring& subkey);
std::int32_t reg_delete_key(RegRoot root, const std::wstring& subkey);

}  // namespace vq4::platform
