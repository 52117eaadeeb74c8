#include <gtest/gtest.h>

#include <algorithm>

#include "app/sections.h"
#include "report/report.h"
#include "sdk/sdk_test_section.h"
#include "platform/sim/loaded_modules.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

const std::string kHeader = "\n==== 5. Functional SDK test (load + real communication) ====\n";
const std::wstring kSdkKey = L"HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";
const std::string kGuid = "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
const std::wstring kParent = L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
const std::wstring kMi03 = L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003";
const std::string kMi03Path = "\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#";
const nlohmann::json kX64 = {{"pe", {{"machine", "0x8664"}}}};

const std::string kInitialised = "[  OK  ] SDK initialized successfully (QTV_Init).\n";
const std::string kVersion151 =
    "[ INFO ] SDK version loaded: 1.51 (version known in the repository at the time this tool was generated: 1.51).\n";
const std::string kNoDevice =
    "[ FAIL ] The SDK does not detect any Tonvela device after 3000 ms of waiting, even though the DLL was loaded "
    "successfully. See sections 2 and 3 above for the hardware/driver diagnosis.\n";
const std::string kSkipped =
    "[ INFO ] Follow-up test (is MI_03 locked by another process?) skipped: section 3 could not find any usable MI_03 "
    "device interface. Fix section 3 first.\n";

std::string detection(int attempts) {
    return "[ INFO ] Device detection by the SDK: " + std::to_string(attempts) + " attempt(s) out of 100 (~" +
           std::to_string(attempts * 30) + " ms).\n";
}

// A machine with an SDK installed at C:\SDK: the registration, the library,
// its dependency and its configuration file naming `config_guid`, and
// `behaviour` (what its "sdk" entry says).
test::MachineFile sdk_machine(const nlohmann::json& behaviour = nlohmann::json::object(),
                              const std::string& config_guid = kGuid) {
    return test::machine_file()
        .key(kSdkKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")})
        .file(L"C:\\SDK\\qtv_api_core.dll", {{"pe", {{"machine", "0x8664"}, {"file_version", "1.51.0.0"}}}})
        .file(L"C:\\SDK\\vxlinkapi_x64.dll", kX64)
        .file(L"C:\\SDK\\vxlinkapi_x64.dll.config.ini", {{"text", "[DriverInterface]\nInterfaceGUID=" + config_guid + "\n"}})
        .sdk(L"C:\\SDK\\qtv_api_core.dll", behaviour);
}

// An interface of MI_03 of that GUID.
test::InterfaceEntry mi03_interface(const std::string& guid) { return test::device_interface(guid, kMi03Path + guid); }

// The composite device and its MI_03 node, with `interface` on MI_03.
std::vector<test::DeviceEntry> devices(const test::InterfaceEntry& interface) {
    return {test::device(kParent).friendly_name(L"Vantro Q4"),
            test::device(kMi03).parent(kParent).service(L"WINUSB").interface(interface).hardware_key(
                {test::reg_dword(L"RevisionId", 258)})};
}

std::string section_text(const test::MachineFile& machine, const std::wstring& interface_path = L"") {
    machine.use();
    const auto dir = test::make_temp_dir("sdk_test");
    open_report_file(widen((dir / "r.txt").string()));
    run_sdk_test_section(interface_path);
    close_report_file();
    const std::string text = test::read_file_bytes(dir / "r.txt");
    std::filesystem::remove_all(dir);
    return text;
}

bool is_report_open(const sim::TraceEntry& e) {
    return e.arguments.size() >= 8 && e.arguments.compare(e.arguments.size() - 8, 8, "(report)") == 0;
}

// CreateFileW calls other than the one that opens the report file.
std::size_t device_opens() {
    std::size_t count = 0;
    for (const sim::TraceEntry& e : sim::machine().trace) {
        if (e.operation == "CreateFileW" && !is_report_open(e)) ++count;
    }
    return count;
}

std::vector<std::string> operations() {
    std::vector<std::string> ops;
    for (const sim::TraceEntry& e : sim::machine().trace) ops.push_back(e.operation);
    return ops;
}

std::ptrdiff_t first_index(const std::vector<std::string>& ops, const std::string& op) {
    return std::find(ops.begin(), ops.end(), op) - ops.begin();
}

std::ptrdiff_t last_index(const std::vector<std::string>& ops, const std::string& op) {
    const auto found = std::find(ops.rbegin(), ops.rend(), op);
    return found == ops.rend() ? -1 : ops.rend() - found - 1;
}

// QTV_Exit exactly once when QTV_Init succeeded, after every other entry
// point and before FreeLibrary; never when QTV_Init failed or was not called.
void expect_pairing(bool init_succeeded) {
    const std::vector<std::string> ops = operations();
    const std::size_t loads = sim::count_calls("LoadLibraryW");
    std::size_t loaded = 0;
    for (const sim::TraceEntry& e : sim::machine().trace) {
        if (e.operation == "LoadLibraryW" && e.result == 0) ++loaded;
    }
    EXPECT_LE(loads, 1u);
    EXPECT_EQ(sim::count_calls("FreeLibrary"), loaded) << "every loaded library is released";
    EXPECT_EQ(sim::count_calls("QTV_Exit"), init_succeeded ? 1u : 0u);
    if (!init_succeeded) return;
    const std::ptrdiff_t exit_at = first_index(ops, "QTV_Exit");
    for (const char* other : {"QTV_Init", "QTV_Get_SDK_Version", "QTV_IsDeviceChanged", "QTV_GetDeviceCount",
                              "QTV_GetDeviceInfo", "Sleep", "CreateFileW"}) {
        EXPECT_LT(last_index(ops, other), exit_at) << other;
    }
    EXPECT_EQ(last_index(ops, "FreeLibrary"), exit_at + 1) << "FreeLibrary right after QTV_Exit";
}

TEST(FormatSdkVersion, Table) {
    EXPECT_EQ(format_sdk_version(0x0151), L"1.51");
    EXPECT_EQ(format_sdk_version(0x0A05), L"10.05");
    EXPECT_EQ(format_sdk_version(0x1A05), L"1A.05");
    EXPECT_EQ(format_sdk_version(0x0000), L"0.00");
    EXPECT_EQ(format_sdk_version(0x0FFF), L"15.FF");
    EXPECT_EQ(format_sdk_version(0x1000), L"10.00");
    EXPECT_EQ(format_sdk_version(0xFFFF), L"FF.FF");
    EXPECT_EQ(format_sdk_version(0x0102), L"1.02");
}

TEST(SdkTestSection, RegistrationAndLoadFailures) {
    struct Case {
        const char* what;
        test::MachineFile machine;
        std::string line;
    };
    // The SDK's registration with this default value, its library and its dependency.
    const auto registered = [](const std::wstring& value, const nlohmann::json& library = kX64) {
        return test::machine_file()
            .key(kSdkKey, {test::reg_sz(L"", value)})
            .file(L"C:\\SDK\\qtv_api_core.dll", library)
            .file(L"C:\\SDK\\vxlinkapi_x64.dll", kX64)
            .sdk(L"C:\\SDK\\qtv_api_core.dll");
    };
    const std::vector<Case> cases = {
        {"registered only in the 32-bit view",
         test::machine_file().key(
             L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
             {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")}),
         "[ FAIL ] Unable to find the SDK's CLSID key (view matching this process): functional test cancelled.\n"},
        {"empty value",
         test::machine_file().key(kSdkKey, {test::reg_sz(L"", L"")}),
         "[ FAIL ] SDK registry value is unreadable: functional test cancelled.\n"},
        {"no default value",
         test::machine_file().key(kSdkKey, {test::reg_sz(L"ThreadingModel", L"Both")}),
         "[ FAIL ] SDK registry value is unreadable: functional test cancelled.\n"},
        {"file missing",
         test::machine_file().key(kSdkKey, {test::reg_sz(L"", L"C:\\Gone\\qtv_api_core.dll")}),
         "[ FAIL ] LoadLibrary failed on C:\\Gone\\qtv_api_core.dll (error code=126).\n"},
        {"a 32-bit library registered in the 64-bit view",
         registered(L"C:\\SDK\\qtv_api_core.dll", {{"pe", {{"machine", "0x014C"}}}}),
         "[ FAIL ] LoadLibrary failed on C:\\SDK\\qtv_api_core.dll (error code=193).\n"},
        {"dependency missing",
         test::machine_file()
             .key(kSdkKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")})
             .file(L"C:\\SDK\\qtv_api_core.dll", kX64)
             .sdk(L"C:\\SDK\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on C:\\SDK\\qtv_api_core.dll (error code=126).\n"},
        {"the dependency only beside the executable",
         test::machine_file()
             .set("module_path", "C:\\Downloads\\VQ4_Diag.exe")
             .key(kSdkKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")})
             .file(L"C:\\SDK\\qtv_api_core.dll", kX64)
             .file(L"C:\\Downloads\\vxlinkapi_x64.dll", kX64)
             .sdk(L"C:\\SDK\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on C:\\SDK\\qtv_api_core.dll (error code=126).\n"},
        {"a bare file name is not searched for, not even beside the executable",
         test::machine_file()
             .set("module_path", "C:\\Downloads\\VQ4_Diag.exe")
             .key(kSdkKey, {test::reg_sz(L"", L"qtv_api_core.dll")})
             .file(L"C:\\Downloads\\qtv_api_core.dll", kX64)
             .file(L"C:\\Downloads\\vxlinkapi_x64.dll", kX64)
             .sdk(L"C:\\Downloads\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on qtv_api_core.dll (error code=126).\n"},
        {"a relative path is not searched for either",
         registered(L"SDK\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on SDK\\qtv_api_core.dll (error code=126).\n"},
        {"the library's own initialisation fails", sdk_machine({{"load_error", 1114}}),
         "[ FAIL ] LoadLibrary failed on C:\\SDK\\qtv_api_core.dll (error code=1114).\n"},
        {"an error code above 2^31 stays unsigned", sdk_machine({{"load_error", "0xC0000135"}}),
         "[ FAIL ] LoadLibrary failed on C:\\SDK\\qtv_api_core.dll (error code=3221225781).\n"},
        {"a required entry point missing", sdk_machine({{"missing_entry_points", {"QTV_GetDeviceInfo"}}}),
         "[ FAIL ] One or more expected entry points are missing from the DLL (a DLL version incompatible with what this "
         "tool expects?).\n"},
        {"a library that is not the SDK",
         test::machine_file()
             .key(kSdkKey, {test::reg_sz(L"", L"C:\\SDK\\other.dll")})
             .file(L"C:\\SDK\\other.dll", kX64),
         "[ FAIL ] One or more expected entry points are missing from the DLL (a DLL version incompatible with what this "
         "tool expects?).\n"},
        {"QTV_Init fails with a negative code", sdk_machine({{"init_result", -12}}),
         "[ FAIL ] QTV_Init failed (return code=-12). The SDK cannot initialize on this machine.\n"},
        {"QTV_Init fails with a positive code", sdk_machine({{"init_result", 7}}),
         "[ FAIL ] QTV_Init failed (return code=7). The SDK cannot initialize on this machine.\n"},
    };
    for (const Case& c : cases) {
        test::reset_counters();
        EXPECT_EQ(section_text(c.machine), test::crlf(kHeader + c.line)) << c.what;
        EXPECT_EQ(test::counts().fail, 1) << c.what;
        expect_pairing(false);
        // Nothing is called into a library that failed before QTV_Init succeeded,
        // and QTV_Init at most once, with its contract's arguments.
        EXPECT_EQ(sim::count_calls("QTV_Get_SDK_Version"), 0u) << c.what;
        EXPECT_LE(sim::count_calls("QTV_Init", "338, 0, 0"), 1u) << c.what;
        EXPECT_EQ(sim::count_calls("QTV_Init"), sim::count_calls("QTV_Init", "338, 0, 0")) << c.what;
    }
}

TEST(SdkTestSection, LoadsFromTheRegistryViewOfTheProcess) {
    section_text(sdk_machine());
    EXPECT_EQ(sim::count_calls("RegOpenKeyExW",
                               "HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, 0x20019"),
              1u);
    EXPECT_EQ(sim::count_calls("LoadLibraryW", "C:\\SDK\\qtv_api_core.dll"), 1u);
    // The key is closed before the library is loaded.
    const std::vector<std::string> ops = operations();
    EXPECT_LT(first_index(ops, "RegCloseKey"), first_index(ops, "LoadLibraryW"));
}

TEST(SdkTestSection, NoDeviceWaitsOneHundredCountedPauses) {
    test::reset_counters();
    const std::string text = section_text(sdk_machine(), L"");
    EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(100) + kNoDevice + kSkipped));
    EXPECT_EQ(sim::count_calls("Sleep"), 100u);
    EXPECT_EQ(sim::count_calls("Sleep", "30"), 100u);
    EXPECT_EQ(sim::machine().virtual_clock_ms, 3000u);
    EXPECT_EQ(sim::count_calls("QTV_IsDeviceChanged"), 100u);
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceCount"), 0u) << "nothing changed: the count is never re-read";
    EXPECT_EQ(device_opens(), 0u) << "no interface path: no lock test";
    EXPECT_EQ(test::counts().ok, 1);
    EXPECT_EQ(test::counts().fail, 1);
    expect_pairing(true);
}

TEST(SdkTestSection, WithoutIsDeviceChangedTheCountIsReadAtEveryAttempt) {
    section_text(sdk_machine({{"missing_entry_points", {"QTV_IsDeviceChanged"}}}));
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceCount"), 100u);
    EXPECT_EQ(sim::count_calls("QTV_IsDeviceChanged"), 0u);
    EXPECT_EQ(sim::count_calls("Sleep", "30"), 100u);
    expect_pairing(true);
}

TEST(SdkTestSection, AnIsDeviceChangedThatNeverSaysSoHidesThePresentDevice) {
    const std::string text = section_text(sdk_machine({{"is_device_changed", "never"}}).devices(devices(mi03_interface(kGuid))));
    EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(100) + kNoDevice + kSkipped));
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceCount"), 0u);
    expect_pairing(true);
}

TEST(SdkTestSection, NegativeCountIsNoDevice) {
    const std::string text = section_text(sdk_machine({{"device_count", -3}}));
    EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(100) + kNoDevice + kSkipped));
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceCount"), 1u) << "read once when it changed to -3, then unchanged";
    EXPECT_EQ(sim::count_calls("Sleep", "30"), 100u);
    expect_pairing(true);
}

TEST(SdkTestSection, DeviceOfTheMachineSeenAtTheFirstAttempt) {
    test::reset_counters();
    const std::string text = section_text(sdk_machine().devices(devices(mi03_interface(kGuid))));
    EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(1) +
                               "[  OK  ] 1 Tonvela device(s) detected by the SDK.\n"
                               "[ INFO ] Device #0: Vantro Q4 (VID=0x2A7D, PID=0x5E3C)\n"
                               "[  OK  ]   -> VID/PID matches the Vantro Q4.\n"
                               "         Firmware version: 1.02\n"
                               "         Serial number: QV4A1B2C3D\n"
                               "         Symbolic link: \\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#" +
                               kGuid + "\n"));
    EXPECT_EQ(sim::count_calls("Sleep"), 0u) << "found at once: no pause, yet about 30 ms reported";
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceInfo", "0"), 1u);
    EXPECT_EQ(test::counts().ok, 3);
    EXPECT_EQ(test::counts().warn, 0);
    EXPECT_EQ(test::counts().fail, 0);
    expect_pairing(true);
}

TEST(SdkTestSection, DeviceThatShowsAfterSomeTimeEndsTheWaitThere) {
    for (const bool with_changed : {true, false}) {
        nlohmann::json sdk = {{"detection_delay_ms", 60}};
        if (!with_changed) sdk["missing_entry_points"] = {"QTV_IsDeviceChanged"};
        const std::string text = section_text(sdk_machine(sdk).devices(devices(mi03_interface(kGuid))));
        EXPECT_NE(text.find(test::crlf(detection(3) + "[  OK  ] 1 Tonvela device(s) detected by the SDK.\n")),
                  std::string::npos)
            << text;
        EXPECT_EQ(sim::count_calls("Sleep", "30"), 2u);
        EXPECT_EQ(sim::count_calls("QTV_GetDeviceCount"), with_changed ? 1u : 3u);
        expect_pairing(true);
    }
}

TEST(SdkTestSection, DeviceRecordsAsTheLibraryFillsThem) {
    const nlohmann::json records = nlohmann::json::array({
        nlohmann::json{{"result", -7}},
        nlohmann::json{{"name", "Tonvela Hub"}, {"vid", "0x0ABC"}, {"pid", "0x0001"}, {"firmware", "0x1A05"},
                       {"serial_number", ""}, {"symbolic_link", ""}},
        nlohmann::json{{"name", "Vantro Q4"}, {"vid", "0x2A7D"}, {"pid", "0x5E3C"}, {"firmware", "0x0A05"},
                       {"serial_number", "SN-1"}, {"symbolic_link", "\\\\?\\x"}},
    });
    test::reset_counters();
    const std::string text = section_text(sdk_machine({{"devices", records}, {"version", "0x1A05"}}));
    EXPECT_EQ(text, test::crlf(kHeader + kInitialised +
                               "[ INFO ] SDK version loaded: 1A.05 (version known in the repository at the time this "
                               "tool was generated: 1.51).\n" +
                               detection(1) +
                               "[  OK  ] 3 Tonvela device(s) detected by the SDK.\n"
                               "[ WARN ] QTV_GetDeviceInfo(0) failed (code=-7).\n"
                               "[ INFO ] Device #1: Tonvela Hub (VID=0xABC, PID=0x1)\n"
                               "[ WARN ]   -> VID/PID differs from 0x2A7D/0x5E3C: another Quorvane Tonvela device may "
                               "be plugged in.\n"
                               "         Firmware version: 1A.05\n"
                               "         Serial number: (not available)\n"
                               "         Symbolic link: \n"
                               "[ INFO ] Device #2: Vantro Q4 (VID=0x2A7D, PID=0x5E3C)\n"
                               "[  OK  ]   -> VID/PID matches the Vantro Q4.\n"
                               "         Firmware version: 10.05\n"
                               "         Serial number: SN-1\n"
                               "         Symbolic link: \\\\?\\x\n"));
    EXPECT_EQ(test::counts().ok, 3);
    EXPECT_EQ(test::counts().warn, 2);
    // One record, reset before each call: the library always sees size 1600.
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceInfo", "0"), 1u);
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceInfo", "1"), 1u);
    EXPECT_EQ(sim::count_calls("QTV_GetDeviceInfo", "2"), 1u);
    for (const sim::TraceEntry& e : sim::machine().trace) {
        if (e.operation == "QTV_GetDeviceInfo" && e.arguments != "0") {
            EXPECT_EQ(e.result, 0);
        }
    }
    expect_pairing(true);
}

TEST(SdkTestSection, FieldsFilledWithoutTerminatorStayInTheirFields) {
    const std::string name(300, 'N');
    const std::string serial(290, 'S');
    const std::string link(270, 'L');
    const nlohmann::json record = {{"name", name},           {"vid", "0x2A7D"},       {"pid", "0x5E3C"},
                                   {"serial_number", serial}, {"symbolic_link", link}, {"firmware", 258}};
    const std::string text = section_text(sdk_machine({{"devices", nlohmann::json::array({record})}}));
    EXPECT_NE(text.find("[ INFO ] Device #0: " + std::string(260, 'N') + " (VID=0x2A7D, PID=0x5E3C)\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("         Serial number: " + std::string(275, 'S') + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("         Symbolic link: " + std::string(260, 'L') + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("         Firmware version: 1.02\r\n"), std::string::npos);
}

TEST(SdkTestSection, FollowUpLockTest) {
    struct Case {
        const char* what;
        test::InterfaceEntry interface;  // on the MI_03 node
        std::wstring path;               // what section 3 found
        std::string line;
        std::uint32_t open_error = 0;    // injected into the interface's open
    };
    const std::wstring other_guid = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
    const std::string other = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
    const std::wstring mi03 = L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#";
    const auto locked = [](const std::string& error_name) {
        return "[ WARN ] Likely cause identified: the low-level USB interface (MI_03) is currently held open exclusively "
               "by ANOTHER process (" + error_name + "). The SDK loaded by this tool therefore cannot access it at the "
               "same time. See section 6 below: an already-installed Quorvane service (e.g. 'Quorvane QTV Series "
               "Service' / quorQtvInstall) is probably the one holding it. Try stopping that service (or closing the "
               "relevant Quorvane application), then re-run this diagnostic.\n";
    };
    const std::vector<Case> cases = {
        // WinUSB allows one handle: the second open is refused with ERROR_ACCESS_DENIED.
        {"the expected GUID's interface held by a service, under WinUSB",
         mi03_interface(kGuid).held_by_other_process(true), mi03 + widen(kGuid), locked("ERROR_ACCESS_DENIED")},
        {"held, the open refused by the share modes",
         mi03_interface(kGuid).held_by_other_process(32), mi03 + widen(kGuid), locked("ERROR_SHARING_VIOLATION")},
        {"only another GUID registered, its interface free",
         mi03_interface(other), mi03 + other_guid,
         "[ INFO ] Follow-up test: the low-level interface is currently free (no other process on it). The cause of the "
         "SDK failure is therefore probably elsewhere (e.g. different detection logic in this SDK version, firmware "
         "version mismatch).\n"},
        {"the open fails for another reason",
         mi03_interface(other), mi03 + other_guid,
         "[ INFO ] Follow-up test: the low-level interface is NOT locked by another process (code=2). The cause of the "
         "SDK failure is therefore probably elsewhere (e.g. different detection logic in this SDK version, firmware "
         "version mismatch).\n",
         2},
        {"an injected ERROR_ACCESS_DENIED counts as locked too",
         mi03_interface(other), mi03 + other_guid,
         locked("ERROR_ACCESS_DENIED"), 5},
        {"section 3 found nothing", mi03_interface(kGuid).held_by_other_process(true),
         L"", kSkipped},
    };
    for (const Case& c : cases) {
        test::MachineFile machine = sdk_machine().devices(devices(c.interface));
        // The second CreateFileW: the first opens the report.
        if (c.open_error != 0) machine.fault("CreateFileW", c.open_error, 2);
        const std::string text = section_text(machine, c.path);
        EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(100) + kNoDevice + c.line))
            << c.what;
        if (!c.path.empty()) {
            // GENERIC_READ, no sharing, OPEN_EXISTING, no flags; the handle closed at once.
            EXPECT_EQ(sim::count_calls("CreateFileW", sim::narrow(c.path) + ", 0x80000000, 0x0, 3, 0x0"), 1u) << c.what;
            std::size_t opened = 0;
            for (const sim::TraceEntry& e : sim::machine().trace) {
                if (e.operation == "CreateFileW" && e.result == 0 && !is_report_open(e)) ++opened;
            }
            EXPECT_EQ(device_opens(), 1u) << c.what;
            EXPECT_EQ(sim::count_calls("CloseHandle"), opened) << c.what;
        }
        expect_pairing(true);
    }
}

TEST(SdkTestSection, SdkFollowsItsConfigurationFile) {
    // The SDK looks for the GUID of its configuration file: an interface of
    // that GUID is found, one of the built-in default's is not.
    const std::string other = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
    test::MachineFile machine = sdk_machine(nlohmann::json::object(), other).devices(devices(mi03_interface(other)));
    EXPECT_NE(section_text(machine).find("[  OK  ] 1 Tonvela device(s) detected by the SDK.\r\n"), std::string::npos);

    machine = sdk_machine().devices(devices(mi03_interface(other)));
    EXPECT_NE(section_text(machine).find(test::crlf(kNoDevice)), std::string::npos);
}

TEST(SdkTestSection, EachRunLoadsAndReleasesTheLibraryAfresh) {
    sdk_machine().devices(devices(mi03_interface(kGuid))).use();
    const auto dir = test::make_temp_dir("sdk_twice");
    open_report_file(widen((dir / "r.txt").string()));
    run_sdk_test_section(L"");
    run_sdk_test_section(L"");
    close_report_file();
    std::filesystem::remove_all(dir);
    EXPECT_EQ(sim::count_calls("LoadLibraryW"), 2u);
    EXPECT_EQ(sim::count_calls("QTV_Init"), 2u);
    EXPECT_EQ(sim::count_calls("QTV_Exit"), 2u);
    EXPECT_EQ(sim::count_calls("FreeLibrary"), 2u);
    // Init, Exit, FreeLibrary alternate: never two Inits without an Exit between.
    std::string order;
    for (const std::string& op : operations()) {
        if (op == "QTV_Init") order += "I";
        if (op == "QTV_Exit") order += "E";
        if (op == "FreeLibrary") order += "F";
    }
    EXPECT_EQ(order, "IEFIEF");
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

TEST(VerificationSections, RerunTheSdkTestButNotTheRegistration) {
    sdk_machine().use();
    const auto dir = test::make_temp_dir("verification");
    open_report_file(widen((dir / "r.txt").string()));
    run_verification_sections();
    close_report_file();
    const std::string text = test::read_file_bytes(dir / "r.txt");
    std::filesystem::remove_all(dir);
    EXPECT_NE(text.find("\r\n==== 5. Functional SDK test (load + real communication) ====\r\n"), std::string::npos);
    EXPECT_EQ(text.find("==== 4. "), std::string::npos);
    EXPECT_EQ(sim::count_calls("QTV_Init"), 1u);
    EXPECT_EQ(sim::count_calls("QTV_Exit"), 1u);
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

// The SDK's own folder is searched for what it loads by name, only while it
// is loaded, and the executable's folder and the current directory never are.
TEST(SdkTestSection, TheSdkFindsWhatItLoadsByNameInItsOwnFolder) {
    test::machine_file()
        .set("module_path", "C:\\Downloads\\VQ4_Diag.exe")
        .set("current_directory", "C:\\Users\\me")
        .key(kSdkKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")})
        .file(L"C:\\SDK\\qtv_api_core.dll", kX64)
        .file(L"C:\\SDK\\vxlinkapi_x64.dll", kX64)
        .file(L"C:\\Downloads\\vxlinkapi_x64.dll", kX64)
        .file(L"C:\\Users\\me\\vxlinkapi_x64.dll", kX64)
        .sdk(L"C:\\SDK\\qtv_api_core.dll", {{"loads_companion_by_name", true}})
        .use();
    // What the start-up sets: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS).
    sim::set_default_dll_directories(0x800 | 0x400);
    const auto dir = test::make_temp_dir("sdk_by_name");
    open_report_file(widen((dir / "r.txt").string()));
    run_sdk_test_section(L"");
    close_report_file();
    const std::string text = test::read_file_bytes(dir / "r.txt");
    std::filesystem::remove_all(dir);

    EXPECT_EQ(text, test::crlf(kHeader + kInitialised + kVersion151 + detection(100) + kNoDevice + kSkipped));
    EXPECT_EQ(sim::count_calls("LoadLibraryW from the SDK", "vxlinkapi_x64.dll"), 1u);
    EXPECT_EQ(sim::count_calls("FreeLibrary from the SDK", "C:\\SDK\\vxlinkapi_x64.dll"), 1u) << "the SDK's own copy";
    // The folder added before the load; QTV_Exit lets the companion go, then
    // FreeLibrary, then the folder is removed.
    const std::vector<std::string> ops = operations();
    EXPECT_EQ(sim::count_calls("AddDllDirectory", "C:\\SDK"), 1u);
    EXPECT_LT(first_index(ops, "AddDllDirectory"), first_index(ops, "LoadLibraryW"));
    const std::ptrdiff_t exit_at = first_index(ops, "QTV_Exit");
    ASSERT_EQ(ops.size(), static_cast<std::size_t>(exit_at) + 4);
    EXPECT_EQ(ops[static_cast<std::size_t>(exit_at) + 1], "FreeLibrary from the SDK");
    EXPECT_EQ(ops[static_cast<std::size_t>(exit_at) + 2], "FreeLibrary");
    EXPECT_EQ(ops[static_cast<std::size_t>(exit_at) + 3], "RemoveDllDirectory");
    EXPECT_EQ(sim::count_calls("RemoveDllDirectory", "C:\\SDK"), 1u);
    EXPECT_TRUE(sim::machine().dll_directories.empty());
    EXPECT_EQ(sim::count_calls("QTV_Exit"), 1u);
}

TEST(SdkTestSection, RegisteredPathsAreLoadedAsCOMFindsThem) {
    struct Case {
        const char* what;
        test::RegValue value;  // the registration's default value
        std::string line;   // after the header
        std::string loaded;  // the path LoadLibraryW is called with
    };
    const std::string init_ok = kInitialised + kVersion151 + detection(100) + kNoDevice + kSkipped;
    const std::vector<Case> cases = {
        {"forward slashes become backslashes", test::reg_sz(L"", L"C:/SDK/qtv_api_core.dll"), init_ok,
         "C:\\SDK\\qtv_api_core.dll"},
        {"REG_EXPAND_SZ is expanded", test::reg_expand_sz(L"", L"%SDK_HOME%\\qtv_api_core.dll"), init_ok,
         "C:\\SDK\\qtv_api_core.dll"},
        {"the line names the declared text",
         test::reg_expand_sz(L"", L"%SDK_HOME%\\gone.dll"),
         "[ FAIL ] LoadLibrary failed on %SDK_HOME%\\gone.dll (error code=126).\n", "C:\\SDK\\gone.dll"},
        {"REG_SZ is used as stored", test::reg_sz(L"", L"%SDK_HOME%\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on %SDK_HOME%\\qtv_api_core.dll (error code=126).\n",
         "%SDK_HOME%\\qtv_api_core.dll"},
        {"an unknown variable stays", test::reg_expand_sz(L"", L"%SDK_ROOT%\\qtv_api_core.dll"),
         "[ FAIL ] LoadLibrary failed on %SDK_ROOT%\\qtv_api_core.dll (error code=126).\n",
         "%SDK_ROOT%\\qtv_api_core.dll"},
        {"an expansion of 260 characters or more is unreadable",
         test::reg_expand_sz(L"", L"%DEEP%\\" + std::wstring(60, L'x') + L".dll"),
         "[ FAIL ] SDK registry value is unreadable: functional test cancelled.\n", ""},
    };
    for (const Case& c : cases) {
        // DEEP: 203 characters, so that a short value expands beyond 259.
        const test::MachineFile machine =
            test::machine_file()
                .set("environment", {{"SDK_HOME", "C:\\SDK"}, {"DEEP", "C:\\" + std::string(200, 'd')}})
                .key(kSdkKey, {c.value})
                .file(L"C:\\SDK\\qtv_api_core.dll", kX64)
                .file(L"C:\\SDK\\vxlinkapi_x64.dll", kX64)
                .sdk(L"C:\\SDK\\qtv_api_core.dll");
        EXPECT_EQ(section_text(machine), test::crlf(kHeader + c.line)) << c.what;
        if (!c.loaded.empty()) {
            EXPECT_EQ(sim::count_calls("LoadLibraryW", sim::narrow(widen(c.loaded))), 1u) << c.what;
        } else {
            EXPECT_EQ(sim::count_calls("LoadLibraryW"), 0u) << c.what;
        }
    }
}

}  // namespace
}  // namespace vq4
