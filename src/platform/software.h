// Running software: the toolhelp process snapshot (CreateToolhelp32Snapshot,
// Process32FirstW, Process32NextW) and the service control manager
// (OpenSCManagerW, EnumServicesStatusExW, CloseServiceHandle).
// Results are the Win32 error codes of the calls, unchanged; entries come
// back as plain values, never as pointers into a platform buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

// ---- Toolhelp ----

// One PROCESSENTRY32W, reduced to what the logic reads.
struct ProcessEntry {
    std::uint32_t process_id = 0;  // th32ProcessID
    std::wstring exe_file;         // szExeFile (at most 259 characters)
};

// CreateToolhelp32Snapshot(flags, process_id). Returns 0 and the snapshot,
// or the GetLastError code of INVALID_HANDLE_VALUE.
std::uint32_t create_toolhelp_snapshot(std::uint32_t flags, std::uint32_t process_id, Snapshot& out);

// Process32FirstW / Process32NextW with dwSize = sizeof(PROCESSENTRY32W)
// (568 on x64). Return 0 and the entry, or the GetLastError code of a FALSE
// answer: ERROR_NO_MORE_FILES (18) past the last process.
std::uint32_t process_first(const Snapshot& snapshot, ProcessEntry& out);
std::uint32_t process_next(const Snapshot& snapshot, ProcessEntry& out);

// ---- Service control manager ----

// OpenSCManagerW(NULL, NULL, access): the local machine's active database.
// Returns 0 and the manager, or the GetLastError code of a NULL answer.
std::uint32_t open_sc_manager(std::uint32_t access, ServiceManager& out);

// One ENUM_SERVICE_STATUS_PROCESSW, reduced to what the logic reads. A NULL
// name pointer reads as an empty text.
struct ServiceEntry {
    std::wstring service_name;
    std::wstring display_name;
    std::uint32_t current_state = 0;  // ServiceStatusProcess.dwCurrentState
};

// What one EnumServicesStatusExW call answered.
struct ServiceEnumRead {
    std::uint32_t error = 0;         // 0 when the call returned TRUE, else GetLastError
    std::uint32_t bytes_needed = 0;  // pcbBytesNeeded: bytes for the entries not returned
    std::vector<ServiceEntry> services;  // the lpServicesReturned entries, in the order returned
};

// EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, service_type,
// service_state, buffer, buffer_size, &needed, &returned, &resume_handle,
// NULL) with a zeroed buffer of exactly `buffer_size` bytes (no buffer when
// 0). `resume_handle` is passed in and updated as the call leaves it: on
// ERROR_MORE_DATA (234) Windows returns the entries that fit, sets
// bytes_needed to the size of the rest and the resume handle to where the
// next call must go on; on success the handle is 0 again.
ServiceEnumRead enum_services_status_ex(const ServiceManager& manager, std::uint32_t service_type,
                                        std::uint32_t service_state, std::uint32_t buffer_size,
                                        std::uint32_t& resume_handle);

}  // namespace vq4::platform
