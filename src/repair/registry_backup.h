// The backup the repair writes before it changes the registry: a .reg file
// (the format `reg import` and regedit read: UTF-16LE with a byte order mark,
// CR LF, "Windows Registry Editor Version 5.00") in a folder only
// administrators can change (protected_folder.h), so that an administrator
// can put back what the repair deleted or overwrote, and import only what
// the repair wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/registry.h"

namespace vq4 {

// The closing line that tells how to undo the repair's registry changes; the
// path of the backup follows in double quotes. The first instance reads it
// back from the elevated report, where it is no step's result.
inline constexpr wchar_t kRestoreHintPrefix[] =
    L"To undo the registry changes of this repair, run as administrator: reg import ";

// One backup file for one in-place repair. The file is created at the first
// change (VQ4_Diag_Backup_YYYYMMDD_hhmmss.reg in the protected folder, "_2", "_3", ...
// when that name exists) and every later backup is appended to it. What it
// already holds is not written again: the first content is the one to restore.
struct RegistryBackup {
    std::wstring directory;            // the protected folder, found at the first backup
    std::wstring path;                 // the file, empty until the first backup
    platform::ReportFile file;
    std::vector<std::wstring> saved;   // upper-case identities of what the file holds
    bool broken = false;               // a write failed: the file's end is not trusted
};

// Backs up `subkey` of HKEY_LOCAL_MACHINE with all its values and subkeys, as
// a deletion of the key followed by its content, so that importing the file
// gives back exactly the key as it is now. `error` is 0 when the backup is
// in the file or when the key does not exist (`key_exists` false: nothing to
// back up); otherwise the registry's or the file's error code.
struct TreeBackup {
    std::uint32_t error = 0;
    bool key_exists = true;
};
TreeBackup back_up_key_tree(RegistryBackup& backup, const std::wstring& subkey);

// Backs up the named values of an open key (which needs KEY_QUERY_VALUE),
// whose path below HKEY_LOCAL_MACHINE is `subkey`: a missing value as its
// deletion ("name"=-). 0 when the backup is in the file, otherwise the
// registry's or the file's error code.
std::uint32_t back_up_values(RegistryBackup& backup, const platform::RegKey& key, const std::wstring& subkey,
                             const std::vector<std::wstring>& names);

// ---- The format, for the operations above and their tests ----

// One value line without its line end: `"name"=...` (`@=` for the default
// value). A clean REG_SZ (whole characters, one terminating NUL at the end, no
// other NUL or control character) is written as a quoted string, a REG_DWORD
// of four bytes as dword:, REG_BINARY as hex:, every other type and every
// REG_SZ that is not clean as hex(type):, so that it imports back byte for
// byte. Long hex lines continue with "\" on lines indented by two blanks.
// Empty when the name holds a control character, which the format cannot carry.
std::wstring reg_value_line(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data);

// '\' and '"' escaped with '\'.
std::wstring reg_escape(const std::wstring& text);

// The text as UTF-16LE bytes (no byte order mark); the text carries its CR LF.
std::vector<std::uint8_t> reg_file_bytes(const std::wstring& text);

}  // namespace vq4
