// Registry operations on real Windows: direct calls, results unchanged.
#include "platform/registry.h"

#include <windows.h>

namespace vq4::platform {

namespace {

HKEY root_handle(RegRoot root) {
    if (root == RegRoot::CurrentUser) return HKEY_CURRENT_USER;
    return root == RegRoot::ClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
}

HKEY as_hkey(const RegKey& key) { return reinterpret_cast<HKEY>(key.raw()); }

const wchar_t* value_name(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

std::int32_t open_under(HKEY parent, const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(parent, subkey.c_str(), 0, access, &opened);
    if (status == ERROR_SUCCESS) {
        out = RegKey(reinterpret_cast<std::uintptr_t>(opened));
    }
    return status;
}

// Only these results fill in the type and the size; after any other the
// variables hold whatever was passed in (the buffer size, for a missing value).
bool type_and_size_known(LSTATUS status) { return status == ERROR_SUCCESS || status == ERROR_MORE_DATA; }

}  // namespace

std::int32_t reg_open_key(RegRoot root, const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    return open_under(root_handle(root), subkey, access, out);
}

std::int32_t reg_open_subkey(const RegKey& parent, const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    return open_under(as_hkey(parent), subkey, access, out);
}

RegRead reg_query_value(const RegKey& key, const std::wstring& name, std::uint32_t capacity) {
    RegRead read;
    std::vector<std::uint8_t> buffer(capacity == 0 ? 1 : capacity, 0);
    DWORD type = REG_NONE;
    DWORD size = capacity;
    read.status = RegQueryValueExW(as_hkey(key), value_name(name), nullptr, &type, buffer.data(), &size);
    if (!type_and_size_known(read.status)) {
        return read;
    }
    read.type = type;
    read.size = size;
    if (read.status == ERROR_SUCCESS) {
        buffer.resize(size);
        read.data = std::move(buffer);
    }
    return read;
}

RegRead reg_query_value_size(const RegKey& key, const std::wstring& name) {
    RegRead read;
    DWORD type = REG_NONE;
    DWORD size = 0;
    read.status = RegQueryValueExW(as_hkey(key), value_name(name), nullptr, &type, nullptr, &size);
    if (type_and_size_known(read.status)) {
        read.type = type;
        read.size = size;
    }
    return read;
}

std::int32_t reg_enum_key(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name) {
    std::wstring buffer(capacity == 0 ? 1 : capacity, L'\0');
    DWORD chars = capacity;
    const LSTATUS status =
        RegEnumKeyExW(as_hkey(key), index, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
        buffer.resize(chars);
        name = std::move(buffer);
    }
    return status;
}

std::int32_t reg_enum_value(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name) {
    std::wstring buffer(capacity == 0 ? 1 : capacity, L'\0');
    DWORD chars = capacity;
    const LSTATUS status =
        RegEnumValueW(as_hkey(key), index, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
        buffer.resize(chars);
        name = std::move(buffer);
    }
    return status;
}

std::int32_t reg_set_value(const RegKey& key, const std::wstring& name, std::uint32_t type,
                           const std::vector<std::uint8_t>& data) {
    return RegSetValueExW(as_hkey(key), value_name(name), 0, type, data.data(), static_cast<DWORD>(data.size()));
}

std::int32_t reg_delete_tree(RegRoot root, const std::wstring& subkey) {
    return RegDeleteTreeW(root_handle(root), subkey.c_str());
}

std::int32_t reg_delete_key(RegRoot root, const std::wstring& subkey) {
    return RegDeleteKeyW(root_handle(root), subkey.c_str());
}

void release_handle(RegKeyTag, std::uintptr_t raw) noexcept { RegCloseKey(reinterpret_cast<HKEY>(raw)); }

}  // namespace vq4::platform
