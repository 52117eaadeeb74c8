// Run-time loading on the simulated machine.
//
// The loader takes only a fully qualified path and resolves a library's
// imports from its own folder and System32, as the Windows build asks of
// LoadLibraryExW: a bare name or a relative path gives ERROR_MOD_NOT_FOUND
// without any search. It loads a file of the machine when it is a PE image
// for x64 (the process's architecture): a missing file gives
// ERROR_MOD_NOT_FOUND, a file that is no image or one for another machine
// ERROR_BAD_EXE_FORMAT, as on Windows. A library that the machine file
// describes under "sdk" also needs vxlinkapi_x64.dll in its own folder (its
// import; a copy anywhere else does not count), and exports the SDK's
// entry points (sdk_double.cpp): GetProcAddress hands out real functions
// with the SDK's signatures that act on the simulated machine and record
// every call in the trace. Any other image exports what its export directory lists:
// GetProcAddress gives the address inside the module (its handle plus the
// export's RVA), as Windows does; nothing is there to call.
//
// A DLL named without a path (what an SDK may load by name at run time) is
// looked for as Microsoft's "Dynamic-Link Library Search Order" describes:
// a loaded module of that name first, then the folders of the
// LOAD_LIBRARY_SEARCH_* flags (the call's, else the process's defaults from
// SetDefaultDllDirectories) in their documented order (the library's own
// folder for its imports, the application's folder, the AddDllDirectory
// folders, System32), or without any of them the standard search order
// (application folder, System32, System, Windows, current directory, PATH).
// Known DLLs and redirection are not simulated.
#include "platform/library.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>

#include "platform/files.h"
#include "platform/sim/file_handles.h"
#include "platform/sim/loaded_modules.h"
#include "platform/sim/machine.h"
#include "platform/sim/pe_image.h"
#include "platform/sim/sdk_double.h"
#include "platform/win_constants.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

constexpr std::uint16_t kProcessMachine = 0x8664;
constexpr const wchar_t* kWindowsFolder = L"C:\\Windows";
constexpr const wchar_t* kSystem32 = L"C:\\Windows\\System32";

constexpr std::uint32_t kSearchDllLoadDir = 0x100;      // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
constexpr std::uint32_t kSearchApplicationDir = 0x200;  // LOAD_LIBRARY_SEARCH_APPLICATION_DIR
constexpr std::uint32_t kSearchUserDirs = 0x400;        // LOAD_LIBRARY_SEARCH_USER_DIRS
constexpr std::uint32_t kSearchSystem32 = 0x800;        // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr std::uint32_t kSearchDefaultDirs = 0x1000;    // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
constexpr std::uint32_t kSearchFlags = 0x1F00;

// How the loader opens an image: to read and execute it, sharing read and delete.
constexpr std::uint32_t kImageAccess = 0x1 | 0x20;  // FILE_READ_DATA | FILE_EXECUTE
constexpr std::uint32_t kImageShare = win::FILE_SHARE_READ_ | win::FILE_SHARE_DELETE_;

std::map<std::uintptr_t, LoadedModule>& modules() { return machine().handles.modules.open; }

std::wstring base_name(const std::wstring& path) {
    const auto at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

std::wstring joined(std::wstring folder, const std::wstring& name) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder + L"\\" + name;
}

// The folder LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR adds for a library's imports:
// its path up to the last backslash. A path written with '/' loads, but its
// imports are not found beside it (Microsoft: use backslashes, not forward
// slashes).
std::wstring dll_load_folder(const std::wstring& path) {
    const auto at = path.rfind(L'\\');
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at + 1);
}

// The folder of the process's executable (GetModuleFileNameW's answer).
std::wstring application_folder() {
    if (machine().module_path) return folder_of(*machine().module_path);
    char buffer[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? folder_of(utf16_from_utf8(std::string(buffer, static_cast<std::size_t>(length)))) : std::wstring();
}

// A folder: listed as one, or holding a listed file.
bool is_folder(const std::wstring& path) {
    std::wstring folder = path;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    for (const File& f : machine().files) {
        if (same_windows_path(f.path, folder)) return (f.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0;
        if (f.path.size() > folder.size() + 1 && same_windows_path(f.path.substr(0, folder.size()), folder) &&
            (f.path[folder.size()] == L'\\' || f.path[folder.size()] == L'/')) {
            return true;
        }
    }
    return false;
}

// The folders searched, in this order, for a DLL named without a path.
// `flags` are the call's LOAD_LIBRARY_SEARCH_* flags (none: the process's
// defaults); `load_folder` is the folder of the library whose imports are
// looked for.
std::vector<std::wstring> search_folders(std::uint32_t flags, const std::wstring& load_folder) {
    if ((flags & kSearchFlags) == 0) flags = machine().default_dll_directories;
    std::vector<std::wstring> folders;
    if ((flags & kSearchFlags) == 0) {
        // The standard search order, safe DLL search mode on (the default).
        folders = {application_folder(), kSystem32, L"C:\\Windows\\System", kWindowsFolder};
        if (machine().current_directory) folders.push_back(*machine().current_directory);
        if (const EnvironmentVariable* path = find_environment_variable(L"Path")) {
            std::size_t start = 0;
            while (start <= path->value.size()) {
                const std::size_t end = std::min(path->value.find(L';', start), path->value.size());
                if (end > start) folders.push_back(path->value.substr(start, end - start));
                start = end + 1;
            }
        }
        return folders;
    }
    if ((flags & kSearchDefaultDirs) != 0) flags |= kSearchApplicationDir | kSearchUserDirs | kSearchSystem32;
    if ((flags & kSearchDllLoadDir) != 0 && !load_folder.empty()) folders.push_back(load_folder);
    if ((flags & kSearchApplicationDir) != 0) folders.push_back(application_folder());
    if ((flags & kSearchUserDirs) != 0) {
        // More than one: Microsoft leaves their order unspecified.
        for (const auto& [cookie, folder] : machine().dll_directories) folders.push_back(folder);
    }
    if ((flags & kSearchSystem32) != 0) folders.push_back(kSystem32);
    return folders;
}

const LoadedModule* loaded_module_named(const std::wstring& name) {
    for (const auto& [id, module] : modules()) {
        if (equals_nocase(base_name(module.path), name)) return &module;
    }
    return nullptr;
}

// The first plain file of that name in the folders searched; empty when none has it.
std::wstring find_by_name(const std::wstring& name, std::uint32_t flags, const std::wstring& load_folder) {
    for (const std::wstring& folder : search_folders(flags, load_folder)) {
        if (folder.empty()) continue;
        const std::wstring candidate = joined(folder, name);
        const File* file = machine().find_file(candidate);
        if (file != nullptr && (file->attributes & win::FILE_ATTRIBUTE_DIRECTORY_) == 0) return candidate;
    }
    return {};
}

// Loads the image at a fully qualified path; its imports are looked for with
// `import_flags`, the flags of the load.
std::uint32_t load(const std::wstring& path, std::uint32_t import_flags, std::uintptr_t& handle) {
    if (!is_fully_qualified_path(path)) return win::ERROR_MOD_NOT_FOUND_;
    for (auto& [id, module] : modules()) {
        if (same_windows_path(module.path, path)) {
            ++module.references;
            handle = id;
            return 0;
        }
    }
    const File* file = machine().find_file(path);
    if (is_folder(path)) return win::ERROR_ACCESS_DENIED_;
    if (file == nullptr) return win::ERROR_MOD_NOT_FOUND_;
    if (held_by_another_process(*file, kImageAccess, kImageShare)) return win::ERROR_SHARING_VIOLATION_;
    const auto image_machine = pe_machine(file->bytes);
    if (!image_machine || *image_machine != kProcessMachine) return win::ERROR_BAD_EXE_FORMAT_;
    const SdkLibrary* sdk = sdk_description(path);
    if (sdk != nullptr) {
        if (sdk->load_error) return *sdk->load_error;
        // Its import, found as the tool loads it: beside it or in System32.
        if (!sdk->loads_companion_by_name && loaded_module_named(kSdkCompanion) == nullptr &&
            find_by_name(kSdkCompanion, import_flags, dll_load_folder(path)).empty()) {
            return win::ERROR_MOD_NOT_FOUND_;
        }
    }
    LoadedModule module;
    module.path = path;
    module.references = 1;
    module.is_sdk = sdk != nullptr;
    module.image = file->bytes;
    handle = machine().handles.modules.add(std::move(module));
    if (sdk != nullptr) machine().handles.active_sdk = handle;
    return 0;
}

bool is_absolute_folder(const std::wstring& path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    return is_fully_qualified_path(path) || (!path.empty() && separator(path[0]));
}

}  // namespace

std::wstring folder_of(const std::wstring& path) {
    const auto at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at + 1);
}

std::uint32_t load_by_name(const std::wstring& name, std::uintptr_t& handle) {
    for (auto& [id, module] : modules()) {
        if (equals_nocase(base_name(module.path), name)) {
            ++module.references;
            handle = id;
            return 0;
        }
    }
    const std::wstring found = find_by_name(name, 0, std::wstring());
    return found.empty() ? win::ERROR_MOD_NOT_FOUND_ : load(found, 0, handle);
}

void release_module(std::uintptr_t handle) {
    const auto found = modules().find(handle);
    if (found == modules().end()) return;
    if (--found->second.references > 0) return;
    const std::uintptr_t companion = found->second.sdk.companion;
    modules().erase(found);
    if (machine().handles.active_sdk == handle) machine().handles.active_sdk = 0;
    // A library unloaded while it still held what it loaded lets go of it too.
    if (companion != 0) release_module(companion);
}

void set_default_dll_directories(std::uint32_t flags) { machine().default_dll_directories = flags; }

}  // namespace vq4::sim

namespace vq4::platform {

std::uint32_t load_library(const std::wstring& path, Library& out) {
    const auto injected = sim::enter_call("LoadLibraryW", sim::narrow(path));
    std::uint32_t error = 0;
    if (injected) {
        error = *injected;
    } else {
        std::uintptr_t handle = 0;
        // LoadLibraryExW(path, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32).
        error = sim::load(path, sim::kSearchDllLoadDir | sim::kSearchSystem32, handle);
        if (error == 0) out = Library(handle);
    }
    return sim::finish(error);
}

ProcAddress get_proc_address(const Library& library, const char* name) {
    ProcAddress result;
    const auto injected = sim::enter_call("GetProcAddress", name);
    const auto found = sim::modules().find(library.raw());
    if (injected) {
        result.error = *injected;
    } else if (!library.valid() || found == sim::modules().end()) {
        result.error = win::ERROR_INVALID_HANDLE_;
    } else {
        const sim::SdkLibrary* sdk = found->second.is_sdk ? sim::sdk_description(found->second.path) : nullptr;
        if (sdk != nullptr) {
            bool missing = false;
            for (const std::string& hidden : sdk->missing_entry_points) missing = missing || hidden == name;
            result.address = missing ? nullptr : sim::sdk_export(name);
        } else if (const auto rva = sim::find_export(found->second.image, name)) {
            result.address = reinterpret_cast<EntryPoint>(found->first + *rva);
        }
        if (result.address == nullptr) result.error = win::ERROR_PROC_NOT_FOUND_;
    }
    sim::record_result(result.error);
    return result;
}

void release_handle(LibraryTag, std::uintptr_t raw) noexcept {
    const auto found = sim::modules().find(raw);
    sim::enter_call("FreeLibrary", found == sim::modules().end() ? std::string("<invalid>") : sim::narrow(found->second.path));
    sim::release_module(raw);
}

std::uint32_t add_dll_directory(const std::wstring& folder, DllDirectory& out) {
    const auto injected = sim::enter_call("AddDllDirectory", sim::narrow(folder));
    std::uint32_t error = 0;
    if (injected) {
        error = *injected;
    } else if (!sim::is_absolute_folder(folder)) {
        error = win::ERROR_INVALID_PARAMETER_;  // relative, or "C:name"
    } else if (sim::machine().find_file(folder) == nullptr && !sim::is_folder(folder)) {
        // Any existing name is taken, a plain file too, as on Windows.
        error = sim::missing_file_error(folder);
    } else {
        const std::uintptr_t cookie = sim::machine().next_dll_directory_cookie++;
        sim::machine().dll_directories[cookie] = folder;
        out = DllDirectory(cookie);
    }
    return sim::finish(error);
}

void release_handle(DllDirectoryTag, std::uintptr_t raw) noexcept {
    auto& folders = sim::machine().dll_directories;
    const auto found = folders.find(raw);
    sim::enter_call("RemoveDllDirectory", found == folders.end() ? std::string("<invalid>") : sim::narrow(found->second));
    if (found != folders.end()) folders.erase(found);
}

}  // namespace vq4::platform

namespace vq4::sim {

bool library_loaded(const std::wstring& path) {
    for (const auto& [handle, module] : modules()) {
        if (same_windows_path(module.path, path)) return true;
    }
    return false;
}

}  // namespace vq4::sim
