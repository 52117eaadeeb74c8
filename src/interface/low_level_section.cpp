#include "interface/low_level_section.h"

#include <algorithm>

#include <cstdint>
#include <optional>
#include <string>

#include "capture/machine_capture.h"
#include "inspect/device_queries.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "platform/winusb.h"
#include "report/report.h"
#include "util/guid.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"
#include "interface/ucr_ping.h"

namespace vq4 {

namespace {

constexpr std::uint8_t kAlternateSetting = 1;

const wchar_t* const kNoMi03Node =
    L"Interface MI_03 (vendor-specific) was not found in the USB enumeration: low-level communication test skipped.";
const wchar_t* const kMi03MissingReplug =
    L"  -> The Vantro Q4 is connected but Windows lists no MI_03 interface for it. Unplug the Vantro Q4, wait 5 "
    L"seconds, plug it back directly into the PC (no hub), then re-run this tool.";
const wchar_t* const kNodesNotListed = L"Unable to re-query the MI_03 node (SetupDiGetClassDevs failed).";
const wchar_t* const kNodeDisappeared = L"The MI_03 node has disappeared in the meantime (device unplugged?).";
const wchar_t* const kKeyNotOpened = L"Unable to open the 'Device Parameters' registry key of the MI_03 node.";
const wchar_t* const kAutomaticRepairHint =
    L"This tool can repair it automatically (see the 'Automatic repair' section at the end of the report).";
const wchar_t* const kNoGuidButWinUsb =
    L"The WinUSB driver IS active on MI_03, but no device interface GUID is registered for it (no "
    L"DeviceInterfaceGUID(s) value in its 'Device Parameters' key). This GUID normally comes from the device "
    L"firmware (Microsoft OS 'extended properties' descriptor). Windows reads that descriptor only once and caches "
    L"the result, so a single failed read is never retried. Without this GUID, no application - including the SDK "
    L"- can find the device. ";
const wchar_t* const kWinUsbNotBoundTail =
    L"). On a normal installation Windows binds WinUSB automatically, through the device firmware's Microsoft OS "
    L"descriptor. Unplug and replug the device directly into the PC (no hub). If WinUSB is still not bound, check "
    L"the firmware version - WITHOUT touching the audio interface (MI_00).";
const wchar_t* const kNoActiveInterface =
    L"The registry lists a WinUSB GUID for this interface, but no active device interface was found (driver "
    L"possibly uninstalled, or device unplugged in the meantime). Try unplugging/replugging the Vantro Q4.";

std::wstring revision_text(const std::optional<std::uint32_t>& revision) {
    if (!revision) return L"(not available)";
    std::wstring text;
    format_wide(text, 64, L"0x%04X", static_cast<unsigned int>(*revision));
    return text;
}

// Opens the interface, prepares WinUSB and runs the PING. The WinUSB handle
// and the file are released in reverse order when this returns, after the
// last line.
void exchange_ping(const std::wstring& device_path) {
    platform::FileHandle device;
    const std::uint32_t open_error = platform::create_file(
        device_path, win::GENERIC_READ_ | win::GENERIC_WRITE_, win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_,
        win::OPEN_EXISTING_, win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, device);
    capture::interface_opened(device_path, open_error);
    if (open_error != 0) {
        print_status(StatusKind::Fail, L"CreateFile on the WinUSB interface failed (error code=" + decimal(open_error) +
                                           L"). The device may already be opened by another application (Tonvela, "
                                           L"VQ4Bulk...).");
        return;
    }

    platform::WinUsbHandle usb;
    const std::uint32_t init_error = platform::winusb_initialize(device, usb);
    capture::winusb_initialized(device_path, init_error);
    if (init_error != 0) {
        print_status(StatusKind::Fail, L"WinUsb_Initialize failed (error code=" + decimal(init_error) + L").");
        return;
    }

    const std::uint32_t setting_error = platform::winusb_set_current_alternate_setting(usb, kAlternateSetting);
    capture::winusb_alternate_setting(device_path, setting_error);
    if (setting_error != 0) {
        print_status(StatusKind::Fail, L"Unable to select Alternate Setting " + decimal(std::uint32_t{kAlternateSetting}) +
                                           L" (error code=" + decimal(setting_error) + L").");
        return;
    }

    // Results ignored: a pipe that cannot be reset still gets its attempt.
    platform::winusb_reset_pipe(usb, kUcrPipeOut);
    platform::winusb_reset_pipe(usb, kUcrPipeIn);
    // Without a time-out a device that never answers keeps the transfer, and
    // the tool, waiting for ever: no transfer is started on a pipe whose
    // time-out could not be set.
    for (const std::uint8_t pipe : {kUcrPipeOut, kUcrPipeIn}) {
        const std::uint32_t error = platform::winusb_set_pipe_transfer_timeout(usb, pipe, kUcrTransferTimeoutMs);
        if (error != 0) {
            std::wstring pipe_text;
            format_wide(pipe_text, 8, L"0x%02X", static_cast<unsigned int>(pipe));
            print_status(StatusKind::Fail, L"PING command (UCR protocol) failed: The transfer time-out of pipe " +
                                               pipe_text + L" could not be set (error code=" + decimal(error) +
                                               L"): the exchange was not attempted, as it could wait for ever.");
            return;
        }
    }

    const PingResult ping = ucr_ping(usb);
    if (ping.answered) {
        print_status(StatusKind::Ok,
                     L"PING command (UCR protocol) succeeded: low-level communication is working. " + ping.detail);
    } else {
        print_status(StatusKind::Fail, L"PING command (UCR protocol) failed: " + ping.detail);
    }
}

}  // namespace

LowLevelResult run_low_level_section(const std::vector<UsbNode>& nodes) {
    print_section(L"3. Low-level vendor-specific interface (WinUSB, UCR protocol)");

    const UsbNode* mi03 = nullptr;
    for (const UsbNode& node : nodes) {
        if (contains_nocase(node.instance_id, L"&MI_03")) {
            mi03 = &node;
            break;
        }
    }
    LowLevelResult result;
    if (mi03 == nullptr) {
        print_status(StatusKind::Warn, kNoMi03Node);
        // The device is there but its MI_03 node is not: a removal whose
        // re-detection never came (a repair interrupted between the two, by
        // a closed window or a crash) leaves it so until the device is
        // enumerated again, which a replug does.
        const bool device_present = std::any_of(nodes.begin(), nodes.end(), [](const UsbNode& node) {
            return !contains_nocase(node.instance_id, L"&MI_");
        });
        if (device_present) print_status(StatusKind::Warn, kMi03MissingReplug);
        return result;
    }

    std::vector<std::wstring> registered;
    std::optional<std::uint32_t> revision;
    std::optional<std::uint32_t> semaphore;
    {
        const HardwareKey hardware = open_hardware_key(mi03->instance_id);
        switch (hardware.opening) {
            case KeyOpening::Opened:
                break;
            case KeyOpening::NodesNotListed:
                print_status(StatusKind::Warn, kNodesNotListed);
                return result;
            case KeyOpening::NodeDisappeared:
                print_status(StatusKind::Warn, kNodeDisappeared);
                return result;
            case KeyOpening::KeyNotOpened:
                print_status(StatusKind::Warn, kKeyNotOpened);
                return result;
        }
        registered = read_registered_guids(hardware.key);
        revision = read_dword_value(hardware.key, L"RevisionId");
        semaphore = read_dword_value(hardware.key, L"ExtPropDescSemaphore");
    }  // the key is closed before the line about it

    result.guids_read = true;
    result.registered_guids = registered;
    const std::wstring joined = join_guids(registered);
    print_status(StatusKind::Info, L"MI_03 'Device Parameters': hardware revision (bcdDevice) = " +
                                       revision_text(revision) + L", ExtPropDescSemaphore = " +
                                       (semaphore ? decimal(*semaphore) : std::wstring(L"(absent)")) +
                                       L", registered GUID(s) = " + joined + L".");

    const ExpectedGuid expected_guid = expected_interface_guid();
    const std::wstring& expected = expected_guid.guid;
    result.expected_guid = expected;
    result.expected_guid_source = expected_guid.source;
    print_status(StatusKind::Info,
                 L"Interface GUID expected by the SDK: " + expected + L" (source: " + expected_guid.source + L").");

    const bool winusb_bound = equals_nocase(mi03->service, L"WINUSB");
    if (registered.empty()) {
        if (winusb_bound) {
            print_status(StatusKind::Fail, std::wstring(kNoGuidButWinUsb) + kAutomaticRepairHint);
        } else {
            const std::wstring service = mi03->service.empty() ? std::wstring(L"none") : mi03->service;
            print_status(StatusKind::Fail,
                         L"The WinUSB driver is NOT bound to the MI_03 interface (current service: " + service +
                             kWinUsbNotBoundTail);
        }
        return result;
    }

    bool matches = false;
    for (const std::wstring& entry : registered) {
        matches = matches || same_guid(entry, expected);
    }
    if (winusb_bound && !matches) {
        print_status(StatusKind::Fail, L"The interface GUID registered on MI_03 (" + joined +
                                           L") differs from the GUID the SDK looks for (" + expected +
                                           L"): the SDK will not find the device. " + kAutomaticRepairHint);
    }

    for (const std::wstring& entry : registered) {
        Guid interface_class;
        if (!parse_guid(entry, interface_class)) {
            print_status(StatusKind::Warn, L"GUID found in the registry but unreadable: " + entry);
            continue;
        }
        const std::optional<std::wstring> path = interface_path(interface_class);
        if (!path) {
            continue;
        }
        print_status(StatusKind::Ok,
                     L"WinUSB driver active on interface MI_03 (GUID " + format_guid(interface_class) + L").");
        exchange_ping(*path);
        result.interface_path = *path;
        return result;
    }
    print_status(StatusKind::Fail, kNoActiveInterface);
    return result;
}

}  // namespace vq4
