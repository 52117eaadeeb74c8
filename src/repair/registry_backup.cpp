#include "repair/registry_backup.h"

#include "repair/protected_folder.h"

#include <algorithm>
#include <optional>

#include "app/run_driver.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidData = 13;
constexpr std::uint32_t kErrorFileExists = 80;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorWriteFault = 29;
constexpr std::uint32_t kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
// Value names have at most 16383 characters, key names 255 (terminators added).
constexpr std::uint32_t kValueNameCapacity = 16384;
constexpr std::uint32_t kKeyNameCapacity = 256;
// A value that grows between the size query and the read is read again.
constexpr int kReadAttempts = 4;
constexpr std::size_t kLineWidth = 77;

const std::wstring kRootName = L"HKEY_LOCAL_MACHINE\\";

std::uint32_t code_of(std::int32_t status) { return static_cast<std::uint32_t>(status); }

bool has_control_character(const std::wstring& text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return static_cast<std::uint32_t>(c) < 0x20; });
}

// The characters of a REG_SZ that can be written as a quoted string; absent
// when it cannot come back byte for byte that way.
std::optional<std::wstring> clean_string(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
    std::wstring text;
    for (std::size_t at = 0; at + 2 < data.size(); at += 2) {
        text.push_back(static_cast<wchar_t>(data[at] | data[at + 1] << 8));
    }
    // One terminator, at the end; a NUL inside is a control character.
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0 || has_control_character(text)) return std::nullopt;
    return text;
}

void append_hex(std::wstring& line, const std::vector<std::uint8_t>& data) {
    static const wchar_t* const digits = L"0123456789abcdef";
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        line.push_back(digits[data[i] >> 4]);
        line.push_back(digits[data[i] & 0xF]);
        if (i + 1 == data.size()) break;
        line.push_back(L',');
        if (line.size() - line_start >= kLineWidth) {
            line += L"\\\r\n  ";
            line_start = line.size() - 2;
        }
    }
}

std::wstring key_line(const std::wstring& subkey) { return L"[" + kRootName + subkey + L"]\r\n"; }

std::wstring identity(const std::wstring& kind, const std::wstring& subkey, const std::wstring& name = {}) {
    return to_upper_ascii(kind + L"|" + subkey + L"|" + name);
}

bool already_saved(const RegistryBackup& backup, const std::wstring& id) {
    return std::find(backup.saved.begin(), backup.saved.end(), id) != backup.saved.end();
}

// A value's type and data; `error` is 0, or the registry's error
// (ERROR_FILE_NOT_FOUND when it does not exist).
struct ValueRead {
    std::uint32_t error = 0;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

ValueRead read_value(const platform::RegKey& key, const std::wstring& name) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const platform::RegRead size = platform::reg_query_value_size(key, name);
        if (size.status != 0) return {code_of(size.status), 0, {}};
        platform::RegRead read = platform::reg_query_value(key, name, size.size);
        if (read.status == static_cast<std::int32_t>(win::ERROR_MORE_DATA_)) continue;
        if (read.status != 0) return {code_of(read.status), 0, {}};
        return {0, read.type, std::move(read.data)};
    }
    return {win::ERROR_MORE_DATA_, 0, {}};
}

// Text written for a key; `error` is 0, or the first error (the text is then
// incomplete and not used).
struct SectionText {
    std::uint32_t error = 0;
    std::wstring text;
};

// The value lines of an open key, in the order the registry lists them.
SectionText value_lines(const platform::RegKey& key) {
    SectionText lines;
    for (std::uint32_t index = 0;; ++index) {
        std::wstring name;
        const std::int32_t status = platform::reg_enum_value(key, index, kValueNameCapacity, name);
        if (status == static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_)) return lines;
        if (status != 0) return {code_of(status), {}};
        const ValueRead value = read_value(key, name);
        if (value.error != 0) return {value.error, {}};
        const std::wstring line = reg_value_line(name, value.type, value.data);
        if (line.empty()) return {kErrorInvalidData, {}};
        lines.text += line + L"\r\n";
    }
}

// The key's section and then its subkeys' sections, depth first.
SectionText tree_sections(const platform::RegKey& key, const std::wstring& subkey) {
    // A key line ends at its line break: a control character in a key name
    // would cut it, and a CR LF would make the rest of the name value lines
    // of the key before it.
    if (has_control_character(subkey)) return {kErrorInvalidData, {}};
    SectionText sections;
    sections.text = L"\r\n" + key_line(subkey);
    const SectionText values = value_lines(key);
    if (values.error != 0) return {values.error, {}};
    sections.text += values.text;
    for (std::uint32_t index = 0;; ++index) {
        std::wstring name;
        const std::int32_t status = platform::reg_enum_key(key, index, kKeyNameCapacity, name);
        if (status == static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_)) return sections;
        if (status != 0) return {code_of(status), {}};
        platform::RegKey child;
        if (const std::int32_t opened = platform::reg_open_subkey(key, name, win::KEY_READ_, child); opened != 0) {
            return {code_of(opened), {}};
        }
        const SectionText below = tree_sections(child, subkey + L"\\" + name);
        if (below.error != 0) return {below.error, {}};
        sections.text += below.text;
    }
}

std::uint32_t create_backup_file(RegistryBackup& backup) {
    // Found at the first backup, so that a repair that changes nothing
    // creates no folder either.
    if (backup.directory.empty()) {
        const ProtectedFolder folder = open_protected_folder();
        if (folder.error != 0) return folder.error;
        backup.directory = folder.path;
    }
    const platform::LocalTime t = platform::get_local_time();
    std::wstring base;
    format_wide(base, 260, L"%ls\\VQ4_Diag_Backup_%04d%02d%02d_%02d%02d%02d", backup.directory.c_str(), int{t.year},
                int{t.month}, int{t.day}, int{t.hour}, int{t.minute}, int{t.second});
    if (base.empty()) return kErrorFilenameTooLong;
    std::uint32_t error = 0;
    for (int attempt = 1; attempt <= 99; ++attempt) {
        // Never truncates: a backup of the same second stays as it is.
        const std::wstring candidate = base + (attempt > 1 ? L"_" + std::to_wstring(attempt) : L"") + L".reg";
        error = platform::output_file_create_new(candidate, backup.file);
        if (error == 0) {
            backup.path = candidate;
            std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
            const std::vector<std::uint8_t> header = reg_file_bytes(L"Windows Registry Editor Version 5.00\r\n");
            bytes.insert(bytes.end(), header.begin(), header.end());
            error = platform::report_file_write(backup.file, bytes);
            if (error != 0) backup.broken = true;
            return error;
        }
        if (error != kErrorFileExists && error != kErrorAlreadyExists) break;
    }
    return error;
}

// Appends sections to the file, creating it first when needed.
std::uint32_t append(RegistryBackup& backup, const std::wstring& sections) {
    if (backup.broken) return kErrorWriteFault;
    if (!backup.file.valid()) {
        if (const std::uint32_t error = create_backup_file(backup); error != 0) return error;
    }
    std::uint32_t error = platform::report_file_write(backup.file, reg_file_bytes(sections));
    // On the disk before the change it saves is made: WriteFile alone leaves
    // it in the system's cache, which a power loss or a reset empties.
    if (error == 0) error = platform::report_file_flush(backup.file);
    if (error != 0) backup.broken = true;
    return error;
}

}  // namespace

TreeBackup back_up_key_tree(RegistryBackup& backup, const std::wstring& subkey) {
    const std::wstring id = identity(L"tree", subkey);
    if (already_saved(backup, id)) return {};
    platform::RegKey key;
    if (const std::int32_t opened = platform::reg_open_key(platform::RegRoot::LocalMachine, subkey, win::KEY_READ_, key);
        opened != 0) {
        // A key that is not there has nothing to lose; any other failure
        // leaves its content unknown.
        if (code_of(opened) == kErrorFileNotFound) return {0, false};
        return {code_of(opened)};
    }
    // The key is deleted first, so that what was added after the backup goes too.
    const SectionText tree = tree_sections(key, subkey);
    if (tree.error != 0) return {tree.error};
    const std::wstring sections = L"\r\n[-" + kRootName + subkey + L"]\r\n" + tree.text;
    key.reset();
    if (const std::uint32_t error = append(backup, sections); error != 0) return {error};
    backup.saved.push_back(id);
    return {};
}

std::uint32_t back_up_values(RegistryBackup& backup, const platform::RegKey& key, const std::wstring& subkey,
                             const std::vector<std::wstring>& names) {
    if (has_control_character(subkey)) return kErrorInvalidData;  // as for a subkey of a tree
    std::wstring lines;
    std::vector<std::wstring> ids;
    for (const std::wstring& name : names) {
        const std::wstring id = identity(L"value", subkey, name);
        if (already_saved(backup, id)) continue;
        const ValueRead value = read_value(key, name);
        std::wstring line;
        if (value.error == kErrorFileNotFound) {
            // Absent before the change: the restore deletes it.
            line = reg_value_line(name, win::REG_NONE_, {});
            if (!line.empty()) line = line.substr(0, line.find(L'=') + 1) + L"-";
        } else if (value.error != 0) {
            return value.error;
        } else {
            line = reg_value_line(name, value.type, value.data);
        }
        if (line.empty()) return kErrorInvalidData;
        lines += line + L"\r\n";
        ids.push_back(id);
    }
    if (ids.empty()) return 0;
    if (const std::uint32_t error = append(backup, L"\r\n" + key_line(subkey) + lines); error != 0) return error;
    backup.saved.insert(backup.saved.end(), ids.begin(), ids.end());
    return 0;
}

std::wstring reg_escape(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'\\' || c == L'"') out.push_back(L'\\');
        out.push_back(c);
    }
    return out;
}

std::wstring reg_value_line(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    if (has_control_character(name)) return {};
    std::wstring line = name.empty() ? L"@=" : L"\"" + reg_escape(name) + L"\"=";
    if (type == win::REG_SZ_) {
        if (const std::optional<std::wstring> text = clean_string(data)) return line + L"\"" + reg_escape(*text) + L"\"";
    }
    if (type == win::REG_DWORD_ && data.size() == 4) {
        const std::uint32_t value = little_endian_dword(data);
        std::wstring digits;
        format_wide(digits, 16, L"%08x", static_cast<unsigned int>(value));
        return line + L"dword:" + digits;
    }
    if (type == win::REG_BINARY_) {
        line += L"hex:";
    } else {
        std::wstring type_digits;
        format_wide(type_digits, 16, L"%x", static_cast<unsigned int>(type));
        line += L"hex(" + type_digits + L"):";
    }
    append_hex(line, data);
    return line;
}

std::vector<std::uint8_t> reg_file_bytes(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (const wchar_t c : text) {
        const auto unit = static_cast<std::uint16_t>(c);
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

}  // namespace vq4
