// Registry operations (RegOpenKeyExW, RegQueryValueExW, RegEnumKeyExW,
// RegEnumValueW, RegSetValueExW, RegDeleteTreeW, RegDeleteKeyW, RegCloseKey).
// Every result is the registry's own LSTATUS, unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

enum class RegRoot : std::uint8_t { ClassesRoot, LocalMachine, CurrentUser };

// RegOpenKeyExW(root, subkey, 0, access). `access` may carry
// KEY_WOW64_64KEY / KEY_WOW64_32KEY to choose a registry view.
std::int32_t reg_open_key(RegRoot root, const std::wstring& subkey, std::uint32_t access, RegKey& out);
// RegOpenKeyExW relative to an open key.
std::int32_t reg_open_subkey(const RegKey& parent, const std::wstring& subkey, std::uint32_t access, RegKey& out);

// After any result other than ERROR_SUCCESS and ERROR_MORE_DATA, `type` is
// REG_NONE and `size` is 0 (Windows leaves its variables as they were then).
struct RegRead {
    std::int32_t status = 0;  // LSTATUS
    std::uint32_t type = 0;   // reported type
    std::uint32_t size = 0;   // bytes copied on success; bytes needed on ERROR_MORE_DATA
    std::vector<std::uint8_t> data;  // exactly `size` bytes on success, empty otherwise
};

// RegQueryValueExW(key, name, NULL, &type, buffer, &size) with a caller
// buffer of `capacity` bytes. An empty name reads the default value (a key
// whose default value was never set gives ERROR_FILE_NOT_FOUND). When the
// data do not fit: ERROR_MORE_DATA with the type and the needed size, nothing
// copied. The key needs KEY_QUERY_VALUE access.
RegRead reg_query_value(const RegKey& key, const std::wstring& name, std::uint32_t capacity);

// RegQueryValueExW with no data buffer: ERROR_SUCCESS, the type and the data size.
RegRead reg_query_value_size(const RegKey& key, const std::wstring& name);

// RegEnumKeyExW(key, index, name, &chars) with a name buffer of `capacity`
// wide characters, terminator included. ERROR_NO_MORE_ITEMS (259) past the
// last subkey, ERROR_MORE_DATA when the name does not fit; `name` is set only
// on success. The order of the subkeys is not defined. The key needs
// KEY_ENUMERATE_SUB_KEYS access.
std::int32_t reg_enum_key(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name);

// RegEnumValueW(key, index, name, &chars, NULL, NULL, NULL, NULL) with a
// name buffer of `capacity` wide characters, terminator included: the name of
// the index-th value ("" for the default value). ERROR_NO_MORE_ITEMS (259)
// past the last value, ERROR_MORE_DATA when the name does not fit; `name` is
// set only on success. The order of the values is not defined. The key needs
// KEY_QUERY_VALUE access.
std::int32_t reg_enum_value(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name);

// RegSetValueExW(key, name, 0, type, data, size). The key needs KEY_SET_VALUE
// access (ERROR_ACCESS_DENIED otherwise).
std::int32_t reg_set_value(const RegKey& key, const std::wstring& name, std::uint32_t type,
                           const std::vector<std::uint8_t>& data);

// Calls on a key deleted while it is open give ERROR_KEY_DELETED (1018).
// Without administrator rights no key of the machine can be opened for
// writing or deleted (ERROR_ACCESS_DENIED); a missing key stays
// ERROR_FILE_NOT_FOUND.

// RegDeleteTreeW: the key with its values and everything below it.
std::int32_t reg_delete_tree(RegRoot root, const std::wstring& subkey);
// RegDeleteKeyW: only a key without subkeys (ERROR_ACCESS_DENIED otherwise).
std::int32_t reg_delete_key(RegRoot root, const std::wstring& subkey);

}  // namespace vq4::platform
