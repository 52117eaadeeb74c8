// Process snapshot and service control manager on real Windows: direct
// calls, results unchanged.
#include "platform/software.h"

#include <windows.h>
#include <tlhelp32.h>
#include <winsvc.h>

namespace vq4::platform {

namespace {

static_assert(sizeof(void*) != 8 || sizeof(PROCESSENTRY32W) == 568, "PROCESSENTRY32W of x64");
static_assert(sizeof(void*) != 8 || sizeof(ENUM_SERVICE_STATUS_PROCESSW) == 56, "ENUM_SERVICE_STATUS_PROCESSW of x64");

HANDLE as_handle(const Snapshot& snapshot) { return reinterpret_cast<HANDLE>(snapshot.raw()); }

SC_HANDLE as_sc_handle(const ServiceManager& manager) { return reinterpret_cast<SC_HANDLE>(manager.raw()); }

using WalkCall = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);

std::uint32_t walk(WalkCall call, const Snapshot& snapshot, ProcessEntry& out) {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!call(as_handle(snapshot), &entry)) {
        return GetLastError();
    }
    entry.szExeFile[MAX_PATH - 1] = L'\0';
    out.process_id = entry.th32ProcessID;
    out.exe_file = entry.szExeFile;
    return 0;
}

std::wstring text_or_empty(const wchar_t* text) { return text == nullptr ? std::wstring() : std::wstring(text); }

}  // namespace

std::uint32_t create_toolhelp_snapshot(std::uint32_t flags, std::uint32_t process_id, Snapshot& out) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(flags, process_id);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    out = Snapshot(reinterpret_cast<std::uintptr_t>(snapshot));
    return 0;
}

std::uint32_t process_first(const Snapshot& snapshot, ProcessEntry& out) { return walk(Process32FirstW, snapshot, out); }

std::uint32_t process_next(const Snapshot& snapshot, ProcessEntry& out) { return walk(Process32NextW, snapshot, out); }

void release_handle(SnapshotTag, std::uintptr_t raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

std::uint32_t open_sc_manager(std::uint32_t access, ServiceManager& out) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (manager == nullptr) {
        return GetLastError();
    }
    out = ServiceManager(reinterpret_cast<std::uintptr_t>(manager));
    return 0;
}

ServiceEnumRead enum_services_status_ex(const ServiceManager& manager, std::uint32_t service_type,
                                        std::uint32_t service_state, std::uint32_t buffer_size,
                                        std::uint32_t& resume_handle) {
    ServiceEnumRead read;
    // Whole ENUM_SERVICE_STATUS_PROCESSW records are 8-byte aligned: own the
    // buffer as 64-bit words, zeroed.
    std::vector<std::uint64_t> words((static_cast<std::size_t>(buffer_size) + 7) / 8, 0);
    BYTE* buffer = buffer_size == 0 ? nullptr : reinterpret_cast<BYTE*>(words.data());
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = resume_handle;
    const BOOL ok = EnumServicesStatusExW(as_sc_handle(manager), SC_ENUM_PROCESS_INFO, service_type, service_state,
                                          buffer, buffer_size, &needed, &returned, &resume, nullptr);
    read.error = ok ? 0 : GetLastError();
    read.bytes_needed = needed;
    resume_handle = resume;
    if (buffer == nullptr) {
        return read;
    }
    const DWORD fits = buffer_size / sizeof(ENUM_SERVICE_STATUS_PROCESSW);
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer);
    for (DWORD i = 0; i < returned && i < fits; ++i) {
        read.services.push_back(ServiceEntry{text_or_empty(entries[i].lpServiceName),
                                             text_or_empty(entries[i].lpDisplayName),
                                             entries[i].ServiceStatusProcess.dwCurrentState});
    }
    return read;
}

void release_handle(ServiceManagerTag, std::uintptr_t raw) noexcept {
    CloseServiceHandle(reinterpret_cast<SC_HANDLE>(raw));
}

}  // namespace vq4::platform
