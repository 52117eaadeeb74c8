// File security, protected folders and ProgramData on the simulated machine.
//
// A path's owner and whether others than SYSTEM, Administrators and
// TrustedInstaller may write come from Machine::file_security_of (the
// machine file's `owner` and `writable_by_non_admins`, else the defaults of
// the place); the DACL given for them is the one Windows' default ACLs
// have: SYSTEM and Administrators full control, Users read and execute,
// and for a place users may write Authenticated Users modify.
//
// The simulated C:\ProgramData is a real folder of the host
// (program_data_host_folder), so that what the elevated instance writes
// there outlives it. A folder the tool creates there is recorded in the
// machine's files with the owner and ACL it asked for.
#include "platform/security.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/sim/machine.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

std::string& program_data_override() {
    static std::string folder;
    return folder;
}

std::string real_executable_folder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : exe.parent_path().string();
}

}  // namespace

void set_program_data_host_folder(const std::string& folder) { program_data_override() = folder; }

std::string program_data_host_folder() {
    if (!program_data_override().empty()) return program_data_override();
    const char* named = std::getenv("VQ4_DIAG_PROGRAMDATA");
    if (named != nullptr && *named != '\0') return named;
    // Beside the simulated executable when it is a host path (as a machine
    // file's module_path that names the folder of a test), else beside the
    // real one.
    if (const auto& module = machine().module_path; module && !module->empty() && (*module)[0] == L'/') {
        std::string path = narrow(*module);
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
        return std::filesystem::path(path).parent_path().string() + "/ProgramData";
    }
    return real_executable_folder() + "/ProgramData";
}

}  // namespace vq4::sim

namespace vq4::platform {

namespace {

using sim::finish;

constexpr std::uint32_t kFullControl = 0x1F01FF;
constexpr std::uint32_t kReadAndExecute = 0x1200A9;
constexpr std::uint32_t kModify = 0x1301BF;
constexpr std::uint8_t kContainerAndObjectInherit = 0x03;

// The path below C:\ProgramData ("" for the folder itself), or nothing.
std::optional<std::wstring> below_program_data(const std::wstring& path) {
    const std::wstring n = sim::normalized_windows_path(path);
    const std::wstring root = sim::normalized_windows_path(sim::kProgramDataPath);
    if (n == root) return std::wstring();
    if (n.size() > root.size() && n.compare(0, root.size(), root) == 0 && n[root.size()] == L'\\') {
        return path.substr(root.size() + 1);
    }
    return std::nullopt;
}

std::string host_folder_of(const std::wstring& below) {
    std::wstring relative = below;
    for (wchar_t& c : relative) {
        if (c == L'\\') c = L'/';
    }
    return sim::program_data_host_folder() + (relative.empty() ? "" : "/" + sim::narrow(relative));
}

bool host_folder_exists(const std::string& folder) {
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A file or folder of the machine: listed, holding a listed file, or, below
// ProgramData, on the host.
bool exists(const std::wstring& path) {
    const std::wstring n = sim::normalized_windows_path(path);
    if (n.size() == 2 && n[1] == L':') return true;
    if (n.size() == 3 && n[1] == L':' && n[2] == L'\\') return true;
    for (const sim::File& f : sim::machine().files) {
        const std::wstring fn = sim::normalized_windows_path(f.path);
        if (fn == n) return true;
        if (fn.size() > n.size() && fn.compare(0, n.size(), n) == 0 && fn[n.size()] == L'\\') return true;
    }
    if (const auto below = below_program_data(path)) return host_folder_exists(host_folder_of(*below));
    return false;
}

std::wstring parent_of(const std::wstring& path) {
    const std::wstring n = sim::normalized_windows_path(path);
    const auto at = n.rfind(L'\\');
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at);
}

}  // namespace

std::uint32_t get_file_security(const std::wstring& path, ObjectSecurity& out) {
    if (const auto injected = sim::enter_call("GetNamedSecurityInfoW", sim::narrow(path) + ", SE_FILE_OBJECT")) {
        return finish(*injected);
    }
    if (!exists(path)) {
        const std::wstring parent = parent_of(path);
        return finish(!parent.empty() && exists(parent) ? win::ERROR_FILE_NOT_FOUND_ : win::ERROR_PATH_NOT_FOUND_);
    }
    sim::FileSecurityRecord record = sim::machine().file_security_of(path);
    // A folder of ProgramData the machine file does not describe, found on
    // the host, was made by an earlier instance of the tool, with the
    // protected DACL it asks for.
    const bool described = sim::machine().find_file(path) != nullptr;
    if (const auto below = below_program_data(path); below && !described && host_folder_exists(host_folder_of(*below))) {
        record = {sim::kAdministratorsSid, false};
    }
    ObjectSecurity security;
    security.owner = record.owner;
    security.dacl.push_back({0, kContainerAndObjectInherit, kFullControl, sim::kSystemSid});
    security.dacl.push_back({0, kContainerAndObjectInherit, kFullControl, sim::kAdministratorsSid});
    security.dacl.push_back({0, kContainerAndObjectInherit, kReadAndExecute, L"S-1-5-32-545"});
    if (record.writable_by_non_admins) {
        security.dacl.push_back({0, kContainerAndObjectInherit, kModify, L"S-1-5-11"});
    }
    out = std::move(security);
    return finish(0);
}

std::uint32_t create_protected_directory(const std::wstring& path) {
    if (const auto injected = sim::enter_call("CreateDirectoryW", sim::narrow(path) + ", protected DACL")) {
        return finish(*injected);
    }
    if (exists(path)) return finish(win::ERROR_ALREADY_EXISTS_);
    const std::wstring parent = parent_of(path);
    if (parent.empty() || !exists(parent)) return finish(win::ERROR_PATH_NOT_FOUND_);
    // Only an administrator may make Administrators the owner.
    if (!sim::machine().elevated) return finish(win::ERROR_INVALID_OWNER_);
    if (const auto below = below_program_data(path)) {
        std::error_code error;
        std::filesystem::create_directories(host_folder_of(*below), error);
        if (error) return finish(win::ERROR_ACCESS_DENIED_);
    }
    sim::File folder;
    folder.path = path;
    folder.attributes = win::FILE_ATTRIBUTE_DIRECTORY_;
    folder.owner = sim::kAdministratorsSid;
    folder.writable_by_non_admins = false;
    sim::machine().files.push_back(std::move(folder));
    return finish(0);
}

std::uint32_t get_program_data_folder(std::wstring& out) {
    if (const auto injected = sim::enter_call("SHGetKnownFolderPath", "FOLDERID_ProgramData")) {
        return finish(*injected);
    }
    // The simulated C:\ProgramData always exists, on the host too.
    std::error_code error;
    std::filesystem::create_directories(sim::program_data_host_folder(), error);
    out = sim::kProgramDataPath;
    return finish(0);
}

}  // namespace vq4::platform
