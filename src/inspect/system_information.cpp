#include "inspect/system_information.h"

#include <stdexcept>

#include "capture/machine_capture.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

std::wstring read_version_text(const platform::RegKey& key, const std::wstring& name) {
    const platform::RegRead read = platform::reg_query_value(key, name, 256);
    capture::value_read(key, name, read);
    if (read.status != 0) {
        return L"?";
    }
    return utf16le_text(read.data);
}

// GetNativeSystemInfo answers x64 to an x64 process that Windows runs under
// emulation on ARM64, so the host's machine comes from IsWow64Process2, and
// from GetNativeSystemInfo only where kernel32 lacks it (before Windows 10
// version 1709, which runs no x64 code on ARM64) or it fails.
std::wstring host_architecture_name() {
    std::uint16_t process_machine = win::IMAGE_FILE_MACHINE_UNKNOWN_;
    std::uint16_t native_machine = win::IMAGE_FILE_MACHINE_UNKNOWN_;
    const std::uint32_t wow64_error = platform::is_wow64_process2(process_machine, native_machine);
    if (wow64_error == 0) {
        capture::native_system(std::nullopt, 0, native_machine);
        return native_machine_name(native_machine);
    }
    const std::uint16_t architecture = platform::get_native_processor_architecture();
    capture::native_system(architecture, wow64_error, 0);
    return architecture_name(architecture);
}

}  // namespace

std::wstring apply_windows11_rule(const std::wstring& product_name, const std::wstring& build_number) {
    int build = 0;
    try {
        build = std::stoi(build_number);
    } catch (const std::exception&) {
        return product_name;  // not a number: the rule is off
    }
    const std::wstring ten = L"Windows 10";
    const std::wstring::size_type at = product_name.find(ten);
    if (build >= 22000 && product_name.size() >= 10 && at != std::wstring::npos) {
        std::wstring renamed = product_name;
        renamed.replace(at, ten.size(), L"Windows 11");
        return renamed;
    }
    return product_name;
}

std::wstring architecture_name(std::uint16_t architecture) {
    switch (architecture) {
        case win::PROCESSOR_ARCHITECTURE_AMD64_:
            return L"x64";
        case win::PROCESSOR_ARCHITECTURE_ARM64_:
            return L"ARM64";
        case win::PROCESSOR_ARCHITECTURE_INTEL_:
            return L"x86";
        default:
            return L"unknown";
    }
}

std::wstring native_machine_name(std::uint16_t machine) {
    switch (machine) {
        case win::IMAGE_FILE_MACHINE_AMD64_:
            return L"x64";
        case win::IMAGE_FILE_MACHINE_ARM64_:
            return L"ARM64";
        case win::IMAGE_FILE_MACHINE_I386_:
            return L"x86";
        default:
            return L"unknown";
    }
}

void run_system_information_section() {
    print_section(L"1. System information");

    std::wstring product = L"?";
    std::wstring display_version = L"?";
    std::wstring build = L"?";
    {
        platform::RegKey key;
        const std::wstring version_key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
        const std::int32_t opened = platform::reg_open_key(platform::RegRoot::LocalMachine, version_key, win::KEY_READ_, key);
        capture::key_opened(key, capture::key_path(platform::RegRoot::LocalMachine, version_key, win::KEY_READ_), opened);
        if (opened == 0) {
            product = read_version_text(key, L"ProductName");
            display_version = read_version_text(key, L"DisplayVersion");
            build = read_version_text(key, L"CurrentBuildNumber");
        }
    }
    product = apply_windows11_rule(product, build);

    print_status(StatusKind::Info, L"OS: " + product + L" (version " + display_version + L", build " + build + L")");
    print_status(StatusKind::Info, L"System architecture: " + host_architecture_name());
    print_status(StatusKind::Info, L"This diagnostic tool was built as: x64");
}

}  // namespace vq4
