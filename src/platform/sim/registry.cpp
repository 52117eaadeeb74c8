// The simulated registry, behaving like Windows for the calls the tool makes:
// missing keys and values give ERROR_FILE_NOT_FOUND, a buffer that is too
// small gives ERROR_MORE_DATA with the needed size and no data, enumeration
// ends with ERROR_NO_MORE_ITEMS, and the 32-bit view is reached through the
// WOW6432Node keys. Handles carry the access they were opened with, as on
// Windows, and a process without administrator rights cannot write or delete
// machine keys. tests/contract checks all this against the real registry.
#include "platform/registry.h"
#include "platform/sim/interruption.h"

#include <cstdio>
#include <map>
#include <optional>

#include "platform/sim/machine.h"
#include "platform/sim/registry_handles.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

using sim::OpenKey;

std::map<std::uintptr_t, OpenKey>& open_keys() { return sim::machine().handles.keys.open; }

// Generic rights map to the registry's own (KEY_READ, KEY_WRITE, KEY_READ,
// KEY_ALL_ACCESS), as the object manager does when the key is opened.
std::uint32_t map_generic_access(std::uint32_t access) {
    std::uint32_t mapped = access & 0x0FFFFFFFu;
    if ((access & 0x80000000u) != 0) mapped |= 0x20019u;  // GENERIC_READ
    if ((access & 0x40000000u) != 0) mapped |= 0x20006u;  // GENERIC_WRITE
    if ((access & 0x20000000u) != 0) mapped |= 0x20019u;  // GENERIC_EXECUTE
    if ((access & 0x10000000u) != 0) mapped |= 0xF003Fu;  // GENERIC_ALL
    return mapped;
}

// KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK, DELETE, WRITE_DAC,
// WRITE_OWNER: what the default ACLs of HKLM grant administrators only.
bool asks_to_write(std::uint32_t access) { return (map_generic_access(access) & 0x000D0026u) != 0; }

std::int32_t status_of(std::uint32_t code) { return static_cast<std::int32_t>(code); }

std::wstring root_path(RegRoot root) {
    if (root == RegRoot::CurrentUser) return L"HKCU";
    return root == RegRoot::ClassesRoot ? L"HKLM\\SOFTWARE\\Classes" : L"HKLM";
}

std::wstring root_name(RegRoot root) {
    if (root == RegRoot::CurrentUser) return L"HKCU";
    return root == RegRoot::ClassesRoot ? L"HKCR" : L"HKLM";
}

// KEY_WOW64_32KEY redirects the shared 64-bit software keys to their
// WOW6432Node twins; the 64-bit view (and no flag, in a 64-bit process) reads
// them as they are. The user's classes (HKCU\Software\Classes) have the
// same redirected keys as the machine's.
std::wstring apply_view(const std::wstring& path, std::uint32_t access) {
    if ((access & win::KEY_WOW64_32KEY_) == 0 || contains_nocase(path, L"\\WOW6432Node")) {
        return path;
    }
    for (const wchar_t* root : {L"HKLM\\SOFTWARE\\Classes\\", L"HKCU\\Software\\Classes\\"}) {
        const std::wstring classes = root;
        for (const wchar_t* redirected : {L"CLSID", L"Interface", L"TypeLib", L"AppID"}) {
            const std::wstring prefix = classes + redirected;
            if (equals_nocase(path, prefix) || starts_with_nocase(path, prefix + L"\\")) {
                return classes + L"WOW6432Node\\" + path.substr(classes.size());
            }
        }
    }
    const std::wstring software = L"HKLM\\SOFTWARE\\";
    if (starts_with_nocase(path, software) && !starts_with_nocase(path, L"HKLM\\SOFTWARE\\Classes\\")) {
        return software + L"WOW6432Node\\" + path.substr(software.size());
    }
    return path;
}

std::wstring join(const std::wstring& base, const std::wstring& subkey) {
    return subkey.empty() ? base : base + L"\\" + subkey;
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::int32_t open_path(const std::wstring& shown, const std::wstring& path, std::uint32_t access, RegKey& out) {
    const auto injected = sim::enter_call("RegOpenKeyExW", sim::narrow(shown) + ", " + hex32(access));
    std::int32_t status = 0;
    const sim::RegistryKey* record = sim::machine().registry.find(path);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (record == nullptr) {
        status = status_of(win::ERROR_FILE_NOT_FOUND_);
    } else if (record->open_error) {
        status = status_of(*record->open_error);
    } else if (!sim::machine().elevated && asks_to_write(access) && starts_with_nocase(path, L"HKLM")) {
        status = status_of(win::ERROR_ACCESS_DENIED_);
    } else {
        const std::uintptr_t id = sim::machine().handles.keys.add(OpenKey{path, map_generic_access(access)});
        out = RegKey(id);
    }
    return sim::finish(status);
}

// Resolves a handle to its key record, or gives the status Windows returns,
// checked in Windows' order: the handle, the access the call needs (granted
// when the handle was opened), then whether the key still exists.
const sim::RegistryKey* resolve(const RegKey& key, std::uint32_t needed_access, std::int32_t& status) {
    const auto found = open_keys().find(key.raw());
    if (!key.valid() || found == open_keys().end()) {
        status = status_of(win::ERROR_INVALID_HANDLE_);
        return nullptr;
    }
    if ((found->second.access & needed_access) != needed_access) {
        status = status_of(win::ERROR_ACCESS_DENIED_);
        return nullptr;
    }
    const sim::RegistryKey* record = sim::machine().registry.find(found->second.path);
    status = record == nullptr ? status_of(win::ERROR_KEY_DELETED_) : 0;
    return record;
}

std::string key_text(const RegKey& key) {
    const auto found = open_keys().find(key.raw());
    return found == open_keys().end() ? std::string("<invalid>") : sim::narrow(found->second.path);
}

const sim::RegistryValue* find_value(const sim::RegistryKey& key, const std::wstring& name) {
    for (const sim::RegistryValue& value : key.values) {
        if (equals_nocase(value.name, name)) return &value;
    }
    return nullptr;
}

}  // namespace

std::int32_t reg_open_key(RegRoot root, const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    if (root == RegRoot::ClassesRoot && !subkey.empty()) {
        // The merged view: a key the user has under HKCU\Software\Classes
        // is the one HKCR opens, values and all; else the machine's.
        const std::wstring user_path = apply_view(join(L"HKCU\\Software\\Classes", subkey), access);
        if (sim::machine().registry.find(user_path) != nullptr) {
            return open_path(join(root_name(root), subkey), user_path, access, out);
        }
    }
    return open_path(join(root_name(root), subkey), apply_view(join(root_path(root), subkey), access), access, out);
}

std::int32_t reg_open_subkey(const RegKey& parent, const std::wstring& subkey, std::uint32_t access, RegKey& out) {
    std::int32_t status = 0;
    // Windows asks no access of the parent handle for a relative open.
    if (resolve(parent, 0, status) == nullptr) {
        sim::enter_call("RegOpenKeyExW", key_text(parent) + "\\" + sim::narrow(subkey) + ", " + hex32(access));
        return sim::finish(status);
    }
    const std::wstring path = join(open_keys()[parent.raw()].path, subkey);
    return open_path(path, path, access, out);
}

RegRead reg_query_value(const RegKey& key, const std::wstring& name, std::uint32_t capacity) {
    RegRead read;
    const auto injected =
        sim::enter_call("RegQueryValueExW", key_text(key) + ", \"" + sim::narrow(name) + "\", " + std::to_string(capacity));
    const sim::RegistryKey* record = resolve(key, win::KEY_QUERY_VALUE_, read.status);
    if (injected) {
        read.status = static_cast<std::int32_t>(*injected);
    } else if (record != nullptr) {
        const sim::RegistryValue* value = find_value(*record, name);
        if (value == nullptr) {
            read.status = static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_);
        } else if (value->read_error) {
            read.status = static_cast<std::int32_t>(*value->read_error);
        } else {
            read.type = value->type;
            read.size = static_cast<std::uint32_t>(value->data.size());
            if (value->data.size() > capacity) {
                read.status = static_cast<std::int32_t>(win::ERROR_MORE_DATA_);
            } else {
                read.data = value->data;
            }
        }
    }
    sim::record_result(read.status);
    return read;
}

RegRead reg_query_value_size(const RegKey& key, const std::wstring& name) {
    RegRead read;
    const auto injected = sim::enter_call("RegQueryValueExW", key_text(key) + ", \"" + sim::narrow(name) + "\", size");
    const sim::RegistryKey* record = resolve(key, win::KEY_QUERY_VALUE_, read.status);
    if (injected) {
        read.status = static_cast<std::int32_t>(*injected);
    } else if (record != nullptr) {
        const sim::RegistryValue* value = find_value(*record, name);
        if (value == nullptr) {
            read.status = static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_);
        } else if (value->read_error) {
            read.status = static_cast<std::int32_t>(*value->read_error);
        } else {
            read.type = value->type;
            read.size = static_cast<std::uint32_t>(value->data.size());
        }
    }
    sim::record_result(read.status);
    return read;
}

std::int32_t reg_enum_key(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name) {
    const auto injected = sim::enter_call("RegEnumKeyExW", key_text(key) + ", " + std::to_string(index));
    std::int32_t status = 0;
    const sim::RegistryKey* record = resolve(key, win::KEY_ENUMERATE_SUB_KEYS_, status);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (record != nullptr) {
        std::optional<std::wstring> subkey = sim::machine().registry.subkey_name(std::wstring(record->path()), index);
        if (!subkey) {
            status = static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_);
        } else if (subkey->size() >= capacity) {
            status = static_cast<std::int32_t>(win::ERROR_MORE_DATA_);
        } else {
            name = std::move(*subkey);
        }
    }
    return sim::finish(status);
}

std::int32_t reg_enum_value(const RegKey& key, std::uint32_t index, std::uint32_t capacity, std::wstring& name) {
    const auto injected = sim::enter_call("RegEnumValueW", key_text(key) + ", " + std::to_string(index));
    std::int32_t status = 0;
    const sim::RegistryKey* record = resolve(key, win::KEY_QUERY_VALUE_, status);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (record != nullptr) {
        if (index >= record->values.size()) {
            status = static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_);
        } else if (record->values[index].name.size() >= capacity) {
            status = static_cast<std::int32_t>(win::ERROR_MORE_DATA_);
        } else {
            name = record->values[index].name;
        }
    }
    return sim::finish(status);
}

std::int32_t reg_set_value(const RegKey& key, const std::wstring& name, std::uint32_t type,
                           const std::vector<std::uint8_t>& data) {
    const sim::SystemChangeCall change("RegSetValueExW", key_text(key) + ", \"" + sim::narrow(name) + "\"");
    const auto injected = sim::enter_call("RegSetValueExW", key_text(key) + ", \"" + sim::narrow(name) + "\", type " +
                                                                std::to_string(type) + ", " +
                                                                std::to_string(data.size()) + " bytes");
    std::int32_t status = 0;
    const sim::RegistryKey* record = resolve(key, win::KEY_SET_VALUE_, status);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (record != nullptr) {
        sim::machine().registry.set_value(std::wstring(record->path()), sim::RegistryValue{name, type, data, {}});
    }
    return sim::finish(status);
}

std::int32_t reg_delete_tree(RegRoot root, const std::wstring& subkey) {
    const sim::SystemChangeCall change("RegDeleteTreeW", sim::narrow(join(root_name(root), subkey)));
    const auto injected = sim::enter_call("RegDeleteTreeW", sim::narrow(join(root_name(root), subkey)));
    std::int32_t status = 0;
    const std::wstring path = join(root_path(root), subkey);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (sim::machine().registry.find(path) == nullptr) {
        status = status_of(win::ERROR_FILE_NOT_FOUND_);
    } else if (!sim::machine().elevated) {
        status = status_of(win::ERROR_ACCESS_DENIED_);
    } else {
        sim::machine().registry.remove_tree(path);
    }
    return sim::finish(status);
}

std::int32_t reg_delete_key(RegRoot root, const std::wstring& subkey) {
    const sim::SystemChangeCall change("RegDeleteKeyW", sim::narrow(join(root_name(root), subkey)));
    const auto injected = sim::enter_call("RegDeleteKeyW", sim::narrow(join(root_name(root), subkey)));
    std::int32_t status = 0;
    const std::wstring path = join(root_path(root), subkey);
    if (injected) {
        status = static_cast<std::int32_t>(*injected);
    } else if (sim::machine().registry.find(path) == nullptr) {
        status = status_of(win::ERROR_FILE_NOT_FOUND_);
    } else if (!sim::machine().elevated) {
        status = status_of(win::ERROR_ACCESS_DENIED_);
    } else if (!sim::machine().registry.subkey_names(path).empty()) {
        status = static_cast<std::int32_t>(win::ERROR_ACCESS_DENIED_);  // RegDeleteKeyW refuses keys with subkeys
    } else {
        sim::machine().registry.remove_tree(path);
    }
    return sim::finish(status);
}

}  // namespace vq4::platform

namespace vq4::sim {

platform::RegKey open_registry_handle(const std::wstring& canonical_path, std::uint32_t access) {
    const std::uintptr_t id = machine().handles.keys.add(OpenKey{canonical_path, access});
    return platform::RegKey(id);
}

}  // namespace vq4::sim

namespace vq4::platform {

void release_handle(RegKeyTag, std::uintptr_t raw) noexcept {
    // RegCloseKey; the trace shows that keys are closed and when.
    sim::enter_call("RegCloseKey", "");
    open_keys().erase(raw);
}

}  // namespace vq4::platform
