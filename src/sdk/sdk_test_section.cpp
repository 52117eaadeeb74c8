#include "sdk/sdk_test_section.h"

#include <algorithm>

#include "capture/machine_capture.h"
#include "inspect/write_access.h"
#include "interface/interface_guid_sources.h"
#include "platform/files.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "report/wait_progress.h"
#include "sdk/sdk_contract.h"
#include "util/text.h"

namespace vq4 {

namespace {

constexpr std::uint32_t kInitOptions = 0x152;
constexpr int kMaxAttempts = 100;
// The pause between two polls of the SDK.
constexpr std::uint32_t kSdkPollMs = 30;
constexpr std::uint16_t kVantroVendorId = 0x2A7D;
constexpr std::uint16_t kVantroProductId = 0x5E3C;

const wchar_t* const kElsewhere =
    L"The cause of the SDK failure is therefore probably elsewhere (e.g. different detection logic in this SDK "
    L"version, firmware version mismatch).";

std::wstring hex(std::uint16_t value) {
    std::wstring text;
    format_wide(text, 32, L"%X", static_cast<unsigned>(value));
    return text;
}

struct DeviceWait {
    std::int32_t count = 0;  // what the SDK reported last
    int attempts = 0;
};

// Polls the SDK until it reports a device or the attempts run out.
DeviceWait wait_for_devices(const SdkEntryPoints& sdk) {
    std::int32_t count = 0;
    int attempts = 0;
    WaitProgress progress(L"the SDK to detect the device", kMaxAttempts * kSdkPollMs);
    for (;;) {
        bool changed = true;
        if (sdk.is_device_changed != nullptr) {
            const std::int32_t answer = sdk.is_device_changed();
            capture::sdk_is_device_changed(answer);
            changed = answer != 0;
        }
        if (changed) {
            sdk.get_device_count(&count);
            capture::sdk_device_count(count);
        }
        ++attempts;
        if (count >= 1) break;
        progress.show(static_cast<std::uint64_t>(attempts - 1) * kSdkPollMs);
        platform::sleep_ms(kSdkPollMs);
        if (attempts >= kMaxAttempts) break;
    }
    return {count, attempts};
}

// Is the MI_03 interface that section 3 found held open by another process?
void run_lock_test(const std::wstring& mi03_interface_path) {
    if (mi03_interface_path.empty()) {
        print_status(StatusKind::Info,
                     L"Follow-up test (is MI_03 locked by another process?) skipped: section 3 could not find any usable "
                     L"MI_03 device interface. Fix section 3 first.");
        return;
    }
    std::uint32_t error = 0;
    {
        platform::FileHandle device;
        error = platform::create_file(mi03_interface_path, win::GENERIC_READ_, 0, win::OPEN_EXISTING_, 0, device);
        capture::interface_opened(mi03_interface_path, error);
    }
    if (error == 0) {
        print_status(StatusKind::Info,
                     std::wstring(L"Follow-up test: the low-level interface is currently free (no other process on it). ") +
                         kElsewhere);
    } else if (error == win::ERROR_SHARING_VIOLATION_ || error == win::ERROR_ACCESS_DENIED_) {
        // WinUSB's device object is exclusive: while another process holds
        // the interface, a second open fails with ERROR_ACCESS_DENIED; a
        // driver that shares by the share modes says ERROR_SHARING_VIOLATION.
        const std::wstring seen =
            error == win::ERROR_SHARING_VIOLATION_ ? L"ERROR_SHARING_VIOLATION" : L"ERROR_ACCESS_DENIED";
        print_status(StatusKind::Warn,
                     L"Likely cause identified: the low-level USB interface (MI_03) is currently held open exclusively "
                     L"by ANOTHER process (" + seen + L"). The SDK loaded by this tool therefore cannot "
                     L"access it at the same time. See section 6 below: an already-installed Quorvane service (e.g. "
                     L"'Quorvane QTV Series Service' / quorQtvInstall) is probably the one holding it. Try stopping "
                     L"that service (or closing the relevant Quorvane application), then re-run this diagnostic.");
    } else {
        print_status(StatusKind::Info, L"Follow-up test: the low-level interface is NOT locked by another process (code=" +
                                           decimal(error) + L"). " + kElsewhere);
    }
}

void print_device(const SdkEntryPoints& sdk, std::int32_t index) {
    SdkDeviceInfo record = prepared_sdk_device_info();
    const std::int32_t result = sdk.get_device_info(index, record.bytes);
    capture::sdk_device_info(result, record.bytes, sizeof record.bytes);
    if (result != 0) {
        print_status(StatusKind::Warn,
                     L"QTV_GetDeviceInfo(" + decimal(index) + L") failed (code=" + decimal(result) + L").");
        return;
    }
    const SdkDeviceFields device = decode_sdk_device_info(record);
    print_status(StatusKind::Info, L"Device #" + decimal(index) + L": " + device.name + L" (VID=0x" +
                                       hex(device.vendor_id) + L", PID=0x" + hex(device.product_id) + L")");
    if (device.vendor_id == kVantroVendorId && device.product_id == kVantroProductId) {
        print_status(StatusKind::Ok, L"  -> VID/PID matches the Vantro Q4.");
    } else {
        print_status(StatusKind::Warn,
                     L"  -> VID/PID differs from 0x2A7D/0x5E3C: another Quorvane Tonvela device may be plugged in.");
    }
    print_detail(L"Firmware version: " + format_sdk_version(device.firmware_version));
    print_detail(L"Serial number: " + (device.serial_number.empty() ? std::wstring(L"(not available)")
                                                                      : device.serial_number));
    print_detail(L"Symbolic link: " + device.symbolic_link);
}

// Everything between a successful QTV_Init and QTV_Exit.
std::int32_t run_initialised(const SdkEntryPoints& sdk, const std::wstring& mi03_interface_path) {
    print_status(StatusKind::Ok, L"SDK initialized successfully (QTV_Init).");

    std::uint16_t version = 0;
    sdk.get_sdk_version(&version);
    capture::sdk_version(version);
    print_status(StatusKind::Info, L"SDK version loaded: " + format_sdk_version(version) +
                                       L" (version known in the repository at the time this tool was generated: 1.51).");

    const DeviceWait wait = wait_for_devices(sdk);
    const int attempts = wait.attempts;
    const std::int32_t count = wait.count;
    print_status(StatusKind::Info, L"Device detection by the SDK: " + decimal(attempts) + L" attempt(s) out of " +
                                       decimal(kMaxAttempts) + L" (~" + decimal(attempts * std::int32_t{kSdkPollMs}) +
                                       L" ms).");

    if (count < 1) {
        print_status(StatusKind::Fail,
                     L"The SDK does not detect any Tonvela device after 3000 ms of waiting, even though the DLL was "
                     L"loaded successfully. See sections 2 and 3 above for the hardware/driver diagnosis.");
        run_lock_test(mi03_interface_path);
        return count;
    }
    print_status(StatusKind::Ok, decimal(count) + L" Tonvela device(s) detected by the SDK.");
    for (std::int32_t index = 0; index < count; ++index) {
        print_device(sdk, index);
    }
    return count;
}

// Why an elevated process does not load the registered library: empty when
// neither the file nor its folder can be changed by others than SYSTEM,
// Administrators and TrustedInstaller.
std::wstring why_not_loaded_elevated(const std::wstring& file, const std::wstring& folder) {
    if (const std::wstring reason = who_else_may_change_path(file); !reason.empty()) {
        return L"its file " + file + L" can be changed by others than administrators (" + reason + L")";
    }
    if (folder.empty()) return {};
    if (const std::wstring reason = who_else_may_change_path(folder); !reason.empty()) {
        return L"its folder " + folder + L" can be changed by others than administrators (" + reason + L")";
    }
    return {};
}

// The user's own classes hold the registration (HKCU\Software\Classes): only
// looked at, never read further or loaded.
bool registered_for_this_user_only() {
    platform::RegKey key;
    return platform::reg_open_key(platform::RegRoot::CurrentUser, L"Software\\Classes\\" + std::wstring(kSdkRegistrationKey),
                                  win::KEY_READ_, key) == 0;
}

void print_not_loaded_elevated(const std::wstring& why) {
    print_status(StatusKind::Warn, L"The SDK was not loaded with administrator rights: " + why +
                                       L". The run without administrator rights tests it.");
}

}  // namespace

std::wstring format_sdk_version(std::uint16_t version) {
    const int major = version >> 8;
    const int minor = version & 0xFF;
    std::wstring text;
    format_wide(text, 32, version < 0x1000 ? L"%d.%02X" : L"%X.%02X", major, minor);
    return text;
}

SdkTestResult run_sdk_test_section(const std::wstring& mi03_interface_path) {
    print_section(L"5. Functional SDK test (load + real communication)");

    // No view flag: the view an application of this process's bitness uses.
    const SdkLookup lookup = sdk_lookup_for_this_process();
    const SdkRegistration registration = read_sdk_registration(win::KEY_READ_, lookup);
    if (registration.state == SdkRegistrationState::KeyMissing && lookup == SdkLookup::MachineOnly &&
        registered_for_this_user_only()) {
        // Only looked at, never loaded: the user's classes are the user's programs' to change.
        print_not_loaded_elevated(L"it is registered for this user only (HKCU\\Software\\Classes)");
        return {};
    }
    if (registration.state == SdkRegistrationState::KeyMissing) {
        print_status(StatusKind::Fail,
                     L"Unable to find the SDK's CLSID key (view matching this process): functional test cancelled.");
        return {};
    }
    if (registration.state == SdkRegistrationState::Unreadable) {
        print_status(StatusKind::Fail, L"SDK registry value is unreadable: functional test cancelled.");
        return {};
    }

    // LoadLibraryExW takes backslashes only: with '/' the library would load
    // but its own folder would not be searched for its imports.
    std::wstring file = registration.file;
    std::replace(file.begin(), file.end(), L'/', L'\\');
    // While it is loaded, the DLLs the SDK loads by name itself (in QTV_Init,
    // say) are found in its own folder, as in the maker's applications; the
    // search still never includes the executable's folder or the current
    // directory. A folder that cannot be added leaves the load to report the
    // trouble.
    const std::wstring::size_type separator = file.rfind(L'\\');
    const std::wstring folder =
        separator == std::wstring::npos ? std::wstring() : file.substr(0, separator == 2 ? 3 : separator);
    // With administrator rights, the library and the folder searched for
    // what it loads by name must be out of reach of the user's programs.
    if (lookup == SdkLookup::MachineOnly) {
        if (const std::wstring why = why_not_loaded_elevated(file, folder); !why.empty()) {
            print_not_loaded_elevated(why);
            return {};
        }
    }
    platform::DllDirectory sdk_folder;  // RemoveDllDirectory after FreeLibrary
    if (!folder.empty()) platform::add_dll_directory(folder, sdk_folder);

    platform::Library library;  // FreeLibrary on every path from here on
    const std::uint32_t load_error = platform::load_library(file, library);
    capture::sdk_loaded(file, load_error);
    if (load_error != 0) {
        print_status(StatusKind::Fail,
                     L"LoadLibrary failed on " + registration.path + L" (error code=" + decimal(load_error) + L").");
        return {};
    }

    const SdkEntryPoints sdk = resolve_sdk_entry_points(library);
    if (!sdk.complete) {
        print_status(StatusKind::Fail,
                     L"One or more expected entry points are missing from the DLL (a DLL version incompatible with what "
                     L"this tool expects?).");
        return {};
    }

    const std::int32_t init_result = sdk.init(kInitOptions, 0, 0);
    capture::sdk_init(init_result);
    if (init_result != 0) {
        // A library that failed to initialise is released without QTV_Exit.
        print_status(StatusKind::Fail, L"QTV_Init failed (return code=" + decimal(init_result) +
                                           L"). The SDK cannot initialize on this machine.");
        return {};
    }
    const SdkInitialised initialised(sdk.exit);
    return {true, run_initialised(sdk, mi03_interface_path)};
}

}  // namespace vq4
