// The report lines of section 3 as the tool must write them (report file
// form, without line ends), for the unit and end-to-end tests.
#pragma once

#include <string>

namespace vq4::test::section3 {

inline const std::string kHeader = "==== 3. Low-level vendor-specific interface (WinUSB, UCR protocol) ====";

inline const std::string kNoNode =
    "[ WARN ] Interface MI_03 (vendor-specific) was not found in the USB enumeration: low-level communication test "
    "skipped.";
inline const std::string kNotListed = "[ WARN ] Unable to re-query the MI_03 node (SetupDiGetClassDevs failed).";
inline const std::string kDisappeared = "[ WARN ] The MI_03 node has disappeared in the meantime (device unplugged?).";
inline const std::string kNoKey = "[ WARN ] Unable to open the 'Device Parameters' registry key of the MI_03 node.";

inline std::string parameters(const std::string& revision, const std::string& semaphore, const std::string& guids) {
    return "[ INFO ] MI_03 'Device Parameters': hardware revision (bcdDevice) = " + revision +
           ", ExtPropDescSemaphore = " + semaphore + ", registered GUID(s) = " + guids + ".";
}

inline const std::string kDefaultGuid = "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
inline const std::string kDefaultSource = "built-in default, SDK configuration file not readable";

inline std::string expected(const std::string& guid = kDefaultGuid, const std::string& source = kDefaultSource) {
    return "[ INFO ] Interface GUID expected by the SDK: " + guid + " (source: " + source + ").";
}

inline const std::string kRepairHint =
    "This tool can repair it automatically (see the 'Automatic repair' section at the end of the report).";

inline const std::string kWinUsbWithoutGuid =
    "[ FAIL ] The WinUSB driver IS active on MI_03, but no device interface GUID is registered for it (no "
    "DeviceInterfaceGUID(s) value in its 'Device Parameters' key). This GUID normally comes from the device firmware "
    "(Microsoft OS 'extended properties' descriptor). Windows reads that descriptor only once and caches the result, "
    "so a single failed read is never retried. Without this GUID, no application - including the SDK - can find the "
    "device. " + kRepairHint;

inline std::string winusb_not_bound(const std::string& service) {
    return "[ FAIL ] The WinUSB driver is NOT bound to the MI_03 interface (current service: " + service +
           "). On a normal installation Windows binds WinUSB automatically, through the device firmware's Microsoft "
           "OS descriptor. Unplug and replug the device directly into the PC (no hub). If WinUSB is still not bound, "
           "check the firmware version - WITHOUT touching the audio interface (MI_00).";
}

inline std::string other_guid(const std::string& registered, const std::string& expected_guid = kDefaultGuid) {
    return "[ FAIL ] The interface GUID registered on MI_03 (" + registered +
           ") differs from the GUID the SDK looks for (" + expected_guid + "): the SDK will not find the device. " +
           kRepairHint;
}

inline std::string unreadable(const std::string& text) {
    return "[ WARN ] GUID found in the registry but unreadable: " + text;
}

inline const std::string kNoActiveInterface =
    "[ FAIL ] The registry lists a WinUSB GUID for this interface, but no active device interface was found (driver "
    "possibly uninstalled, or device unplugged in the meantime). Try unplugging/replugging the Vantro Q4.";

inline std::string interface_found(const std::string& guid) {
    return "[  OK  ] WinUSB driver active on interface MI_03 (GUID " + guid + ").";
}

inline std::string open_failed(unsigned code) {
    return "[ FAIL ] CreateFile on the WinUSB interface failed (error code=" + std::to_string(code) +
           "). The device may already be opened by another application (Tonvela, VQ4Bulk...).";
}

inline std::string initialize_failed(unsigned code) {
    return "[ FAIL ] WinUsb_Initialize failed (error code=" + std::to_string(code) + ").";
}

inline std::string alternate_setting_failed(unsigned code) {
    return "[ FAIL ] Unable to select Alternate Setting 1 (error code=" + std::to_string(code) + ").";
}

inline std::string ping_ok(const std::string& detail) {
    return "[  OK  ] PING command (UCR protocol) succeeded: low-level communication is working. " + detail;
}

inline std::string ping_failed(const std::string& detail) {
    return "[ FAIL ] PING command (UCR protocol) failed: " + detail;
}

}  // namespace vq4::test::section3
