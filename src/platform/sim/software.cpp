// The simulated machine's processes and services, behaving as Microsoft
// documents the toolhelp and service control manager calls:
// - a snapshot is a copy of the process list taken when it is created;
//   walking past its end gives ERROR_NO_MORE_FILES;
// - EnumServicesStatusExW fills the caller's buffer with as many whole
//   entries (56-byte ENUM_SERVICE_STATUS_PROCESSW of x64 plus both names as
//   UTF-16 with their NULs) as fit, starting after the resume handle; when
//   not all fit it answers ERROR_MORE_DATA with the bytes the rest needs and
//   a resume handle that points past the last entry returned; when all fit
//   it succeeds with 0 bytes needed and the resume handle back at 0.
// - OpenSCManagerW maps generic rights to the manager's own and grants a
//   process without administrator rights only what the manager's default
//   security gives local users: connect, enumerate, query the lock status,
//   read its security (anything more is ERROR_ACCESS_DENIED).
// Services installed during the run (machine file: appears_after_call) are
// created after the services already there, so they enumerate after them,
// as newly created services do in a resumed enumeration.
#include "platform/software.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "platform/sim/machine.h"
#include "platform/win_constants.h"

namespace vq4::platform {

namespace {

constexpr std::uint32_t kEnumEntrySize = 56;   // sizeof(ENUM_SERVICE_STATUS_PROCESSW) on x64
constexpr std::size_t kExeFileCapacity = 260;  // szExeFile[MAX_PATH]

using sim::OpenSnapshot;

std::map<std::uintptr_t, OpenSnapshot>& open_snapshots() { return sim::machine().handles.snapshots.open; }

std::map<std::uintptr_t, std::uint32_t>& open_managers() {  // handle -> granted access
    return sim::machine().handles.service_managers.open;
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::uint32_t walk(const char* operation, const Snapshot& snapshot, bool restart, ProcessEntry& out) {
    const auto injected = sim::enter_call(operation, "");
    std::uint32_t error = 0;
    const auto found = open_snapshots().find(snapshot.raw());
    if (injected) {
        error = *injected;
    } else if (!snapshot.valid() || found == open_snapshots().end()) {
        error = win::ERROR_INVALID_HANDLE_;
    } else {
        OpenSnapshot& open = found->second;
        if (restart) open.next = 0;
        if (open.next >= open.processes.size()) {
            error = win::ERROR_NO_MORE_FILES_;
        } else {
            out = open.processes[open.next++];
        }
    }
    return sim::finish(error);
}

std::uint32_t entry_size(const sim::Service& service) {
    return kEnumEntrySize + static_cast<std::uint32_t>((service.name.size() + 1) * 2) +
           static_cast<std::uint32_t>((service.display_name.size() + 1) * 2);
}

// The manager's generic mapping, as Microsoft documents it for the service
// control manager.
std::uint32_t mapped_manager_access(std::uint32_t access) {
    constexpr std::uint32_t kReadControl = 0x20000;  // STANDARD_RIGHTS_READ, _WRITE and _EXECUTE alike
    constexpr std::uint32_t kLock = 0x8, kQueryLockStatus = 0x10, kModifyBootConfig = 0x20;
    constexpr std::uint32_t kGenericAll = 0x10000000, kGenericExecute = 0x20000000;
    std::uint32_t mapped = access & ~(win::GENERIC_READ_ | win::GENERIC_WRITE_ | kGenericExecute | kGenericAll);
    if ((access & win::GENERIC_READ_) != 0) {
        mapped |= kReadControl | win::SC_MANAGER_ENUMERATE_SERVICE_ | kQueryLockStatus;
    }
    if ((access & win::GENERIC_WRITE_) != 0) {
        mapped |= kReadControl | win::SC_MANAGER_CREATE_SERVICE_ | kModifyBootConfig;
    }
    if ((access & kGenericExecute) != 0) mapped |= kReadControl | win::SC_MANAGER_CONNECT_ | kLock;
    if ((access & kGenericAll) != 0) mapped |= win::SC_MANAGER_ALL_ACCESS_;
    return mapped;
}

// What the manager's default security grants local users without
// administrator rights.
constexpr std::uint32_t kUserManagerAccess = 0x20000 /* READ_CONTROL */ | win::SC_MANAGER_CONNECT_ |
                                             win::SC_MANAGER_ENUMERATE_SERVICE_ | 0x10 /* QUERY_LOCK_STATUS */;

bool state_matches(std::uint32_t current_state, std::uint32_t wanted) {
    const std::uint32_t kind = current_state == win::SERVICE_STOPPED_ ? win::SERVICE_INACTIVE_ : win::SERVICE_ACTIVE_;
    return (kind & wanted) != 0;
}

}  // namespace

std::uint32_t create_toolhelp_snapshot(std::uint32_t flags, std::uint32_t process_id, Snapshot& out) {
    const auto injected =
        sim::enter_call("CreateToolhelp32Snapshot", hex32(flags) + ", " + std::to_string(process_id));
    std::uint32_t error = 0;
    if (injected) {
        error = *injected;
    } else {
        OpenSnapshot snapshot;
        if ((flags & win::TH32CS_SNAPPROCESS_) != 0) {
            for (const sim::Process& process : sim::machine().processes) {
                ProcessEntry entry{process.pid, process.exe_name};
                // szExeFile is a NUL-terminated array: a name ends at its first NUL.
                entry.exe_file.resize(std::min(entry.exe_file.find(L'\0'), entry.exe_file.size()));
                if (entry.exe_file.size() >= kExeFileCapacity) entry.exe_file.resize(kExeFileCapacity - 1);
                snapshot.processes.push_back(std::move(entry));
            }
        }
        const std::uintptr_t id = sim::machine().handles.snapshots.add(std::move(snapshot));
        out = Snapshot(id);
    }
    return sim::finish(error);
}

std::uint32_t process_first(const Snapshot& snapshot, ProcessEntry& out) {
    return walk("Process32FirstW", snapshot, true, out);
}

std::uint32_t process_next(const Snapshot& snapshot, ProcessEntry& out) {
    return walk("Process32NextW", snapshot, false, out);
}

void release_handle(SnapshotTag, std::uintptr_t raw) noexcept {
    sim::enter_call("CloseHandle", "snapshot");
    open_snapshots().erase(raw);
}

std::uint32_t open_sc_manager(std::uint32_t access, ServiceManager& out) {
    const auto injected = sim::enter_call("OpenSCManagerW", "NULL, NULL, " + hex32(access));
    std::uint32_t error = 0;
    const std::uint32_t granted = mapped_manager_access(access);
    if (injected) {
        error = *injected;
    } else if (!sim::machine().elevated && (granted & ~kUserManagerAccess) != 0) {
        error = win::ERROR_ACCESS_DENIED_;
    } else {
        const std::uintptr_t id = sim::machine().handles.service_managers.add(granted);
        out = ServiceManager(id);
    }
    return sim::finish(error);
}

ServiceEnumRead enum_services_status_ex(const ServiceManager& manager, std::uint32_t service_type,
                                        std::uint32_t service_state, std::uint32_t buffer_size,
                                        std::uint32_t& resume_handle) {
    ServiceEnumRead read;
    const auto injected =
        sim::enter_call("EnumServicesStatusExW", hex32(service_type) + ", " + std::to_string(service_state) + ", " +
                                                     std::to_string(buffer_size) + " bytes, resume " +
                                                     std::to_string(resume_handle));
    const std::uint32_t this_call = sim::machine().call_counts["EnumServicesStatusExW"];
    const auto open = open_managers().find(manager.raw());
    if (injected) {
        read.error = *injected;
    } else if (!manager.valid() || open == open_managers().end()) {
        read.error = win::ERROR_INVALID_HANDLE_;
    } else if ((open->second & win::SC_MANAGER_ENUMERATE_SERVICE_) == 0) {
        read.error = win::ERROR_ACCESS_DENIED_;
    } else if (service_type == 0 || service_state == 0 || service_state > win::SERVICE_STATE_ALL_) {
        read.error = win::ERROR_INVALID_PARAMETER_;
    } else {
        // Creation order: the services of the machine file, then those
        // installed during the run, in the order they were installed. The
        // resume handle is a position in this order (1-based).
        std::vector<const sim::Service*> created;
        for (const sim::Service& service : sim::machine().services) created.push_back(&service);
        std::stable_sort(created.begin(), created.end(), [](const sim::Service* a, const sim::Service* b) {
            return a->appears_after_call < b->appears_after_call;
        });

        std::uint32_t used = 0;
        bool full = false;
        for (std::uint32_t position = resume_handle + 1; position <= created.size(); ++position) {
            const sim::Service& service = *created[position - 1];
            if (service.appears_after_call >= this_call || (service.type & service_type) == 0 ||
                !state_matches(service.state, service_state)) {
                continue;
            }
            const std::uint32_t size = entry_size(service);
            if (!full && used + size <= buffer_size) {
                used += size;
                // The names are NUL-terminated strings in the caller's buffer.
                const auto c_string = [](const std::wstring& text) { return text.substr(0, text.find(L'\0')); };
                read.services.push_back(ServiceEntry{c_string(service.name), c_string(service.display_name),
                                                     service.state});
                resume_handle = position;
            } else {
                full = true;
                read.bytes_needed += size;
            }
        }
        if (full) {
            read.error = win::ERROR_MORE_DATA_;
        } else {
            resume_handle = 0;
        }
    }
    sim::record_result(read.error);
    return read;
}

void release_handle(ServiceManagerTag, std::uintptr_t raw) noexcept {
    sim::enter_call("CloseServiceHandle", "");
    open_managers().erase(raw);
}

}  // namespace vq4::platform
