// File security, protected folders and ProgramData on real Windows.
#include "platform/security.h"

#include <windows.h>
// windows.h first: the others need its types.
#include <aclapi.h>
#include <sddl.h>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

// Memory that the security API allocated with LocalAlloc.
struct LocalMemory {
    HLOCAL memory = nullptr;
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (memory != nullptr) LocalFree(memory);
    }
};

// The SID as text; empty when it cannot be converted.
std::wstring sid_text(PSID sid) {
    LocalMemory text;
    LPWSTR converted = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &converted)) return {};
    text.memory = converted;
    return converted;
}

// FOLDERID_ProgramData, written here so that no import library of GUIDs is
// needed.
constexpr KNOWNFOLDERID kProgramDataFolder = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};

}  // namespace

std::uint32_t get_file_security(const std::wstring& path, ObjectSecurity& out) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                              &dacl, nullptr, &raw);
    if (error != ERROR_SUCCESS) return error;
    descriptor.memory = raw;
    ObjectSecurity security;
    security.owner = sid_text(owner);
    security.dacl_present = dacl != nullptr;
    if (dacl != nullptr) {
        for (DWORD index = 0; index < dacl->AceCount; ++index) {
            void* ace = nullptr;
            if (!GetAce(dacl, index, &ace)) return GetLastError();
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            AccessEntry entry;
            entry.type = header->AceType;
            entry.flags = header->AceFlags;
            // The plain allowed and denied ACEs carry their SID right after
            // the mask; other types (object, callback) keep their mask there
            // too and are judged by it, with their SID left empty (unknown).
            entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
                entry.sid = sid_text(const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart));
            }
            security.dacl.push_back(std::move(entry));
        }
    }
    out = std::move(security);
    return 0;
}

std::uint32_t create_protected_directory(const std::wstring& path) {
    LocalMemory descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &raw, nullptr)) {
        return GetLastError();
    }
    descriptor.memory = raw;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = raw;
    attributes.bInheritHandle = FALSE;
    if (!CreateDirectoryW(path.c_str(), &attributes)) return GetLastError();
    return 0;
}

std::uint32_t get_program_data_folder(std::wstring& out) {
    const auto& known = system_library::shell().get_known_folder_path;
    const auto& release = system_library::com().task_mem_free;
    if (known.function == nullptr) return known.error;
    if (release.function == nullptr) return release.error;
    PWSTR path = nullptr;
    const HRESULT result = known.function(kProgramDataFolder, KF_FLAG_DEFAULT, nullptr, &path);
    if (FAILED(result)) {
        if (path != nullptr) release.function(path);
        return HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : static_cast<std::uint32_t>(result);
    }
    out = path;
    release.function(path);
    return 0;
}

}  // namespace vq4::platform
