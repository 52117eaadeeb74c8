// Simulated files, device-interface opens and the profile (INI) reader.
#include "platform/files.h"

#include <map>

#include "platform/sim/file_handles.h"
#include "platform/sim/machine.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

std::map<std::uintptr_t, OpenFile>& open_files() { return machine().handles.files.open; }

std::wstring normalized(const std::wstring& path) { return normalized_windows_path(path); }

std::wstring parent_folder(const std::wstring& path) {
    const std::wstring n = normalized(path);
    const auto at = n.rfind(L'\\');
    return at == std::wstring::npos ? std::wstring() : n.substr(0, at);
}

// A folder exists when it is listed as a directory or holds a listed file.
bool folder_exists(const std::wstring& folder) {
    if (folder.empty()) return false;
    if (folder.size() == 2 && folder[1] == L':') return true;  // a drive root
    for (const File& f : machine().files) {
        const std::wstring n = normalized(f.path);
        if (n == folder && (f.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0) return true;
        if (n.size() > folder.size() && n.compare(0, folder.size(), folder) == 0 && n[folder.size()] == L'\\') {
            return true;
        }
    }
    return false;
}

struct FoundInterface {
    const Device* device = nullptr;
    const DeviceInterfaceRecord* record = nullptr;
};

FoundInterface find_interface(const std::wstring& path) {
    for (const Device& d : machine().devices) {
        if (!d.description.present) continue;
        for (const DeviceInterfaceRecord& r : d.description.interfaces) {
            if (same_windows_path(r.path, path)) return {&d, &r};
        }
    }
    return {};
}

// What opening an interface that another process holds gives: the error
// the machine names, else the driver's. WinUSB's device object is exclusive
// (one handle at a time), and the I/O manager refuses a second open with
// STATUS_ACCESS_DENIED; other drivers refuse by the share modes.
std::uint32_t held_interface_error(const FoundInterface& found) {
    if (found.record->held_open_error) return *found.record->held_open_error;
    return found.device->description.service && equals_nocase(*found.device->description.service, L"WINUSB")
               ? win::ERROR_ACCESS_DENIED_
               : win::ERROR_SHARING_VIOLATION_;
}

// The kinds of data access an access mask asks for, generic rights mapped
// as for files. Only these take part in sharing: an open without any (to
// read attributes, say) neither meets nor sets sharing limits.
struct DataAccess {
    bool read = false;
    bool write = false;
    bool remove = false;
    bool any() const { return read || write || remove; }
};

DataAccess data_access(std::uint32_t access) {
    constexpr std::uint32_t kFileReadData = 0x1, kFileWriteData = 0x2, kFileAppendData = 0x4, kFileExecute = 0x20;
    constexpr std::uint32_t kDelete = 0x10000, kGenericAll = 0x10000000, kGenericExecute = 0x20000000;
    DataAccess d;
    d.read = (access & (win::GENERIC_READ_ | kGenericExecute | kGenericAll | kFileReadData | kFileExecute)) != 0;
    d.write = (access & (win::GENERIC_WRITE_ | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
    d.remove = (access & (kDelete | kGenericAll)) != 0;
    return d;
}

bool conflicts_with_open_handles(const std::wstring& path, std::uint32_t access, std::uint32_t share) {
    for (const auto& [id, open] : open_files()) {
        if (same_windows_path(open.path, path) && sharing_conflict(open.access, open.share, access, share)) return true;
    }
    return false;
}

}  // namespace

// Windows sharing: a new open must allow what the existing open does, and
// the existing open must allow what the new one asks.
bool sharing_conflict(std::uint32_t held_access, std::uint32_t held_share, std::uint32_t access, std::uint32_t share) {
    const DataAccess wanted = data_access(access);
    const DataAccess held = data_access(held_access);
    if (!wanted.any() || !held.any()) return false;
    return (wanted.read && !(held_share & win::FILE_SHARE_READ_)) ||
           (wanted.write && !(held_share & win::FILE_SHARE_WRITE_)) ||
           (wanted.remove && !(held_share & win::FILE_SHARE_DELETE_)) ||
           (held.read && !(share & win::FILE_SHARE_READ_)) || (held.write && !(share & win::FILE_SHARE_WRITE_)) ||
           (held.remove && !(share & win::FILE_SHARE_DELETE_));
}

bool held_by_another_process(const File& file, std::uint32_t access, std::uint32_t share) {
    // Without sharing, every open that asks for data access is refused.
    if (file.held_exclusively && data_access(access).any()) return true;
    return file.held_open && sharing_conflict(file.held_open->access, file.held_open->share, access, share);
}

const OpenFile* open_file_record(std::uintptr_t raw) {
    const auto found = open_files().find(raw);
    return found == open_files().end() ? nullptr : &found->second;
}


std::uint32_t missing_file_error(const std::wstring& path) {
    return folder_exists(parent_folder(path)) ? win::ERROR_FILE_NOT_FOUND_ : win::ERROR_PATH_NOT_FOUND_;
}

}  // namespace vq4::sim

namespace vq4::platform {

std::uint32_t create_file(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags_and_attributes, FileHandle& out) {
    char args[64];
    std::snprintf(args, sizeof args, ", 0x%X, 0x%X, %u, 0x%X", access, share, disposition, flags_and_attributes);
    const auto injected = sim::enter_call("CreateFileW", sim::narrow(path) + args);
    if (injected) return sim::finish(*injected);
    if (disposition != win::OPEN_EXISTING_) return sim::finish(win::ERROR_INVALID_PARAMETER_);

    sim::OpenFile open{path, false, false, access, share, flags_and_attributes, 0};
    if (const sim::FoundInterface iface = sim::find_interface(path); iface.record != nullptr) {
        if (iface.record->held_by_other_process) return sim::finish(sim::held_interface_error(iface));
        open.is_device_interface = true;
    } else {
        const sim::File* file = sim::machine().find_file(path);
        // A folder is listed itself or stands implied by the files in it.
        open.is_folder = file != nullptr ? (file->attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0
                                         : sim::folder_exists(sim::normalized(path));
        if (file == nullptr && !open.is_folder) {
            return sim::finish(sim::folder_exists(sim::parent_folder(path)) ? win::ERROR_FILE_NOT_FOUND_
                                                                            : win::ERROR_PATH_NOT_FOUND_);
        }
        // A folder opens only with FILE_FLAG_BACKUP_SEMANTICS.
        if (open.is_folder && (flags_and_attributes & win::FILE_FLAG_BACKUP_SEMANTICS_) == 0) {
            return sim::finish(win::ERROR_ACCESS_DENIED_);
        }
        if (file != nullptr && sim::held_by_another_process(*file, access, share)) {
            return sim::finish(win::ERROR_SHARING_VIOLATION_);
        }
    }
    if (sim::conflicts_with_open_handles(path, access, share)) return sim::finish(win::ERROR_SHARING_VIOLATION_);
    const std::uintptr_t id = sim::machine().handles.files.add(open);
    out = FileHandle(id);
    return sim::finish(0);
}

std::uint32_t read_file(const FileHandle& file, std::uint32_t count, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const auto injected = sim::enter_call("ReadFile", std::to_string(count));
    if (injected) return sim::finish(*injected);
    const auto found = sim::open_files().find(file.raw());
    if (!file.valid() || found == sim::open_files().end()) return sim::finish(win::ERROR_INVALID_HANDLE_);
    sim::OpenFile& open = found->second;
    // Neither a device interface (WinUSB reads its pipes) nor a folder has
    // bytes for ReadFile.
    if (open.is_device_interface || open.is_folder) return sim::finish(win::ERROR_INVALID_FUNCTION_);
    if (!sim::data_access(open.access).read) return sim::finish(win::ERROR_ACCESS_DENIED_);
    const sim::File* record = sim::machine().find_file(open.path);
    if (record == nullptr) return sim::finish(win::ERROR_FILE_NOT_FOUND_);
    if (open.position < record->bytes.size()) {
        const std::size_t available = record->bytes.size() - open.position;
        const std::size_t take = count < available ? count : available;
        bytes.assign(record->bytes.begin() + open.position, record->bytes.begin() + open.position + take);
        open.position += static_cast<std::uint32_t>(take);
    }
    return sim::finish(0);  // at or past the end: success with 0 bytes
}

SeekResult set_file_pointer(const FileHandle& file, std::int32_t distance, std::uint32_t method) {
    SeekResult result;
    const auto injected = sim::enter_call("SetFilePointer", std::to_string(distance) + ", " + std::to_string(method));
    const auto found = sim::open_files().find(file.raw());
    if (injected || !file.valid() || found == sim::open_files().end()) {
        result.position = win::INVALID_SET_FILE_POINTER_;
        result.error = injected ? *injected : win::ERROR_INVALID_HANDLE_;
        sim::record_result(result.error);
        return result;
    }
    std::int64_t base = 0;
    if (method == 1) base = found->second.position;  // FILE_CURRENT
    if (method == 2) {                                 // FILE_END
        const sim::File* record = sim::machine().find_file(found->second.path);
        base = record == nullptr ? 0 : static_cast<std::int64_t>(record->bytes.size());
    }
    const std::int64_t target = base + distance;
    if (method > 2 || target < 0) {
        result.position = win::INVALID_SET_FILE_POINTER_;
        result.error = method > 2 ? win::ERROR_INVALID_PARAMETER_ : win::ERROR_NEGATIVE_SEEK_;
    } else {
        // Past the end is allowed; a later read returns 0 bytes.
        found->second.position = static_cast<std::uint32_t>(target);
        result.position = found->second.position;
    }
    sim::record_result(result.error);
    return result;
}

AttributesResult get_file_attributes(const std::wstring& path) {
    AttributesResult result;
    const auto injected = sim::enter_call("GetFileAttributesW", sim::narrow(path));
    if (injected) {
        result.attributes = win::INVALID_FILE_ATTRIBUTES_;
        result.error = *injected;
    } else if (const sim::File* file = sim::machine().find_file(path)) {
        result.attributes = file->attributes;
    } else if (sim::folder_exists(sim::normalized(path))) {
        result.attributes = win::FILE_ATTRIBUTE_DIRECTORY_;
    } else {
        result.attributes = win::INVALID_FILE_ATTRIBUTES_;
        result.error = sim::folder_exists(sim::parent_folder(path)) ? win::ERROR_FILE_NOT_FOUND_
                                                                     : win::ERROR_PATH_NOT_FOUND_;
    }
    sim::record_result(result.error);
    return result;
}

void release_handle(FileTag, std::uintptr_t raw) noexcept {
    sim::enter_call("CloseHandle", "file");
    sim::open_files().erase(raw);
}

}  // namespace vq4::platform
