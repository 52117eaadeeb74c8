#include "related/related_software.h"

#include <optional>
#include <vector>

#include "capture/machine_capture.h"
#include "platform/registry.h"
#include "platform/software.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

const wchar_t* const kKeywords[] = {L"Quorvane", L"Vantro", L"QTV"};
const wchar_t* const kExclusions[] = {L"QuorvaneSpinDeck"};

// The 64-bit view first; the 32-bit programs' key is reached by its name.
const wchar_t* const kUninstallPaths[] = {
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
};

constexpr std::uint32_t kSubkeyNameChars = 256;
constexpr std::uint32_t kDisplayNameBytes = 512;
constexpr std::uint32_t kDisplayVersionBytes = 256;
constexpr std::uint32_t kInstallLocationBytes = 1024;

// A value read into its fixed buffer; absent when the read fails (missing,
// too long).
std::optional<std::wstring> text_of(const platform::RegRead& read) {
    if (read.status != static_cast<std::int32_t>(win::ERROR_SUCCESS_)) return std::nullopt;
    return utf16le_text(read.data);
}

std::optional<std::wstring> read_text(const platform::RegKey& key, const wchar_t* name, std::uint32_t capacity) {
    const platform::RegRead read = platform::reg_query_value(key, name, capacity);
    capture::value_read(key, name, read);
    return text_of(read);
}

struct InstalledProgram {
    std::wstring name;
    std::wstring version;
    std::wstring folder;
};

// Reads one Uninstall entry; absent when it is not a related program.
std::optional<InstalledProgram> read_installed_program(const platform::RegKey& uninstall,
                                                       const std::wstring& uninstall_path,
                                                       const std::wstring& subkey_name) {
    platform::RegKey entry;
    if (platform::reg_open_subkey(uninstall, subkey_name, win::KEY_READ_, entry) != 0) {
        return std::nullopt;
    }
    const platform::RegRead display_name = platform::reg_query_value(entry, L"DisplayName", kDisplayNameBytes);
    const std::optional<std::wstring> name = text_of(display_name);
    if (!name || !is_related_name(*name)) {
        return std::nullopt;
    }
    // Only a related program's entry goes into a capture: the others are
    // nobody's business.
    capture::key_opened(entry, capture::key_path(platform::RegRoot::LocalMachine, uninstall_path + L"\\" + subkey_name,
                                                 win::KEY_READ_),
                        0);
    capture::value_read(entry, L"DisplayName", display_name);
    InstalledProgram program;
    program.name = *name;
    program.version = read_text(entry, L"DisplayVersion", kDisplayVersionBytes).value_or(std::wstring());
    program.folder = read_text(entry, L"InstallLocation", kInstallLocationBytes).value_or(std::wstring());
    return program;  // the entry's key closes here, before its lines are printed
}

// True when the service is related (and its line printed).
bool print_service(const platform::ServiceEntry& service) {
    if (!is_related_name(service.service_name) && !is_related_name(service.display_name)) {
        return false;
    }
    capture::service_matched(service.service_name, service.display_name, service.current_state);
    const bool running = service.current_state == win::SERVICE_RUNNING_;
    print_status(running ? StatusKind::Ok : StatusKind::Warn,
                 L"Windows service: " + service.display_name + L" (" + service.service_name + L") - state: " +
                     (running ? L"running" : L"stopped"));
    return true;
}

}  // namespace

bool is_related_name(const std::wstring& name) {
    for (const wchar_t* exclusion : kExclusions) {
        if (contains_nocase(name, exclusion)) {
            return false;
        }
    }
    for (const wchar_t* keyword : kKeywords) {
        if (contains_nocase(name, keyword)) {
            return true;
        }
    }
    return false;
}

bool list_installed_programs() {
    bool found = false;
    for (const wchar_t* path : kUninstallPaths) {
        platform::RegKey uninstall;
        const std::int32_t opened = platform::reg_open_key(platform::RegRoot::LocalMachine, path, win::KEY_READ_, uninstall);
        capture::key_opened(uninstall, capture::key_path(platform::RegRoot::LocalMachine, path, win::KEY_READ_), opened);
        if (opened != 0) continue;
        for (std::uint32_t index = 0;; ++index) {
            std::wstring subkey_name;
            if (platform::reg_enum_key(uninstall, index, kSubkeyNameChars, subkey_name) != 0) {
                break;
            }
            const std::optional<InstalledProgram> read = read_installed_program(uninstall, path, subkey_name);
            if (!read) {
                continue;
            }
            const InstalledProgram& program = *read;
            std::wstring line = L"Installed program: " + program.name;
            if (!program.version.empty()) {
                line += L" (version " + program.version + L")";
            }
            print_status(StatusKind::Info, line);
            if (!program.folder.empty()) {
                print_detail(L"Install folder: " + program.folder);
            }
            found = true;
        }
    }
    return found;
}

bool list_related_processes() {
    bool found = false;
    platform::Snapshot snapshot;
    if (platform::create_toolhelp_snapshot(win::TH32CS_SNAPPROCESS_, 0, snapshot) != 0) {
        return found;
    }
    platform::ProcessEntry entry;
    for (std::uint32_t status = platform::process_first(snapshot, entry); status == 0;
         status = platform::process_next(snapshot, entry)) {
        if (is_related_name(entry.exe_file)) {
            capture::process_matched(entry.process_id, entry.exe_file);
            print_status(StatusKind::Info,
                         L"Running process: " + entry.exe_file + L" (PID " + decimal(entry.process_id) + L")");
            found = true;
        }
    }
    return found;
}

bool list_related_services() {
    bool found = false;
    platform::ServiceManager manager;
    if (platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager) != 0) {
        return found;
    }
    std::uint32_t resume_handle = 0;
    const platform::ServiceEnumRead sizing = platform::enum_services_status_ex(
        manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 0, resume_handle);
    if (sizing.bytes_needed == 0) {
        return found;
    }

    // The list may grow between the sizing call and the read (a service
    // being installed). Windows then returns the entries that fit and
    // ERROR_MORE_DATA with the size of the rest; the resume handle says
    // where the next read goes on, so nothing is read twice or skipped.
    std::vector<platform::ServiceEntry> services = sizing.services;
    std::uint32_t buffer_size = sizing.bytes_needed;
    std::uint32_t error = win::ERROR_MORE_DATA_;
    for (int read = 0; read < kMaxServiceListReads && error == win::ERROR_MORE_DATA_ && buffer_size != 0; ++read) {
        const platform::ServiceEnumRead answer = platform::enum_services_status_ex(
            manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, buffer_size, resume_handle);
        services.insert(services.end(), answer.services.begin(), answer.services.end());
        error = answer.error;
        buffer_size = answer.bytes_needed;
    }

    for (const platform::ServiceEntry& service : services) {
        if (print_service(service)) found = true;
    }
    if (error != win::ERROR_SUCCESS_) {
        // Saying nothing here would read as "no such service".
        print_status(StatusKind::Warn, L"The list of Windows services could not be read completely (error " +
                                           decimal(error) +
                                           L"); a related service may be missing from this section.");
    }
    return found;
}

void run_related_software_section() {
    print_section(L"6. Related applications / processes / services (dynamic search)");
    const bool programs = list_installed_programs();
    const bool processes = list_related_processes();
    const bool services = list_related_services();
    if (!programs && !processes && !services) {
        print_status(StatusKind::Info,
                     L"No application, process or Windows service whose name contains 'Quorvane', 'Vantro' or "
                     L"'QTV' was found. This is normal if only the SDK is installed without the full Tonvela "
                     L"application, or if the application is not currently running.");
    }
}

}  // namespace vq4
