// Who may change a file or folder (GetNamedSecurityInfoW), folders created
// with an administrators-only DACL (CreateDirectoryW), and the machine-wide
// ProgramData folder (SHGetKnownFolderPath). Results are the platform's own
// codes: 0 or the Win32 error code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq4::platform {

// One ACE of a DACL as the logic judges it: its type (ACCESS_ALLOWED_ACE_TYPE
// 0, ACCESS_DENIED_ACE_TYPE 1, ...), its flags (INHERIT_ONLY_ACE 0x08 ...),
// its access mask and its SID in string form ("S-1-5-32-544").
struct AccessEntry {
    std::uint8_t type = 0;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    std::wstring sid;
};

struct ObjectSecurity {
    std::wstring owner;               // the owner's SID in string form
    bool dacl_present = true;         // false: a NULL DACL, which grants everyone everything
    std::vector<AccessEntry> dacl;    // in order
};

// GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION |
// DACL_SECURITY_INFORMATION), the owner and each ACE (GetAce) turned into
// text with ConvertSidToStringSidW. Returns 0 or the error code the call
// gives (ERROR_FILE_NOT_FOUND 2, ERROR_PATH_NOT_FOUND 3, ERROR_ACCESS_DENIED 5).
std::uint32_t get_file_security(const std::wstring& path, ObjectSecurity& out);

// CreateDirectoryW(path, &attributes) with the security descriptor
// "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)": owned by Administrators,
// full control for SYSTEM and Administrators only, inheriting nothing from
// its parent. Returns 0 or the GetLastError value; a folder or file of that
// name that exists already gives ERROR_ALREADY_EXISTS (183) and is left as
// it is.
std::uint32_t create_protected_directory(const std::wstring& path);

// SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, NULL)
// (shell32.dll, loaded from System32), never from the environment, which the
// user can change. Returns 0 or the HRESULT's Win32 code.
std::uint32_t get_program_data_folder(std::wstring& out);

}  // namespace vq4::platform
