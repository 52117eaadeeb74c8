// The real Linux binary on the SDK machine files: the blocks of sections 4
// and 5 in the report file, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include <nlohmann/json.hpp>

#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

// Sections 4 and 5 of a report: from the empty line before "==== 4." to the
// next header after "==== 5.".
std::string sdk_blocks(const std::string& report) {
    const auto start = report.find("\r\n==== 4. ");
    if (start == std::string::npos) return "(no section 4)";
    const auto five = report.find("\r\n==== 5. ", start);
    if (five == std::string::npos) return "(no section 5)";
    const auto end = report.find("\r\n==== ", five + 2);
    return report.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Runs the tool on a machine file of machines/, changed by `change` (given
// the executable's folder), with the report written to a temporary folder,
// and returns the whole report.
std::string report_on(const std::string& machine_name,
                      const std::function<void(nlohmann::json&, const fs::path&)>& change = {}) {
    std::ifstream in(fs::path(VQ4_SOURCE_DIR) / "machines" / (machine_name + ".json"));
    nlohmann::json machine = nlohmann::json::parse(in);
    const fs::path dir = test::make_temp_dir("e2e_sdk");
    machine["module_path"] = (dir / "VQ4_Diag.exe").string();
    machine["local_time"] = "2026-12-10 10:11:12";
    if (change) change(machine, dir);
    const fs::path file = dir / "machine.json";
    std::ofstream(file) << machine.dump();
    const test::RunResult run = test::run_tool(file, {"/nopause", "/nofix"});
    const std::string report = test::read_file_bytes(dir / "VQ4_Diag_Report_20261210_101112.txt");
    fs::remove_all(dir);
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;
    return report;
}

// The report's SDK blocks.
std::string run_on(const std::string& machine_name,
                   const std::function<void(nlohmann::json&, const fs::path&)>& change = {}) {
    return sdk_blocks(report_on(machine_name, change));
}

const std::string k4 = "\n==== 4. SDK registry / DLL registration (Quorvane Tonvela API) ====\n";
const std::string k5 = "\n==== 5. Functional SDK test (load + real communication) ====\n";
const std::string kMissing64 =
    "[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by applications running as 64-bit "
    "view.\n";
const std::string kMissing32 =
    "[ WARN ] CLSID registry key missing (32-bit view / WOW6432Node): the SDK will not be found by applications running "
    "as 32-bit view / WOW6432Node.\n";
const std::string kNoKey =
    "[ FAIL ] Unable to find the SDK's CLSID key (view matching this process): functional test cancelled.\n";
const std::string kDevWarn =
    "[ WARN ]   -> This path looks like a development path (not a standard 'Program Files'-style install). Normal on an "
    "SDK dev machine; worth checking it isn't unintentional (e.g. a debug .reg was left active).\n";
const std::string kInstalled64 =
    "[ INFO ] Path declared (64-bit view): C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll\n"
    "[  OK  ]   -> File present.\n";
const std::string kInitialised = "[  OK  ] SDK initialized successfully (QTV_Init).\n";

std::string version_line(const std::string& version) {
    return "[ INFO ] SDK version loaded: " + version +
           " (version known in the repository at the time this tool was generated: 1.51).\n";
}

TEST(SdkSectionsEndToEnd, DefaultMachine) {
    EXPECT_EQ(run_on("default"),
              test::crlf(k4 + kInstalled64 +
                         "[ INFO ]   -> File version: 1.51.0.0\n"
                         "[  OK  ]   -> File architecture is consistent (x64).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.4.1.0).\n" +
                         kMissing32 + k5 + kInitialised + version_line("1.51") +
                         "[ INFO ] Device detection by the SDK: 100 attempt(s) out of 100 (~3000 ms).\n"
                         "[ FAIL ] The SDK does not detect any Tonvela device after 3000 ms of waiting, even though the "
                         "DLL was loaded successfully. See sections 2 and 3 above for the hardware/driver diagnosis.\n"
                         "[ INFO ] Follow-up test (is MI_03 locked by another process?) skipped: section 3 could not "
                         "find any usable MI_03 device interface. Fix section 3 first.\n"));
}

TEST(SdkSectionsEndToEnd, NotRegistered) {
    EXPECT_EQ(run_on("sdk_not_registered"), test::crlf(k4 + kMissing64 + kMissing32 + k5 + kNoKey));
}

TEST(SdkSectionsEndToEnd, Registered32BitOnly) {
    EXPECT_EQ(run_on("sdk_32bit_only"),
              test::crlf(k4 + kMissing64 +
                         "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\Program Files (x86)\\Quorvane\\Tonvela "
                         "SDK\\qtv_api_core.dll\n"
                         "[  OK  ]   -> File present.\n"
                         "[ INFO ]   -> File version: 1.51.0.0\n"
                         "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.4.1.0).\n" +
                         k5 + kNoKey));
}

TEST(SdkSectionsEndToEnd, DevelopmentBuildInBothViewsFindsTheDevice) {
    const std::string path = "C:\\Projects\\Tonvela\\x64\\Release\\qtv_api_core.dll";
    EXPECT_EQ(run_on("sdk_dev_build"),
              test::crlf(k4 + "[ INFO ] Path declared (64-bit view): " + path + "\n" + kDevWarn +
                         "[  OK  ]   -> File present.\n"
                         "[ INFO ]   -> File version: 1.52.0.3\n"
                         "[  OK  ]   -> File architecture is consistent (x64).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.5.0.0).\n"
                         "[ INFO ] Path declared (32-bit view / WOW6432Node): " + path + "\n" + kDevWarn +
                         "[  OK  ]   -> File present.\n"
                         "[ INFO ]   -> File version: 1.52.0.3\n"
                         "[ FAIL ]   -> INCONSISTENT architecture: file is x64 while this registry view expects x86 "
                         "(32-bit).\n"
                         "[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading qtv_api_core "
                         "will likely fail.\n" +
                         k5 + kInitialised + version_line("1.52") +
                         "[ INFO ] Device detection by the SDK: 1 attempt(s) out of 100 (~30 ms).\n"
                         "[  OK  ] 1 Tonvela device(s) detected by the SDK.\n"
                         "[ INFO ] Device #0: Vantro Q4 (VID=0x2A7D, PID=0x5E3C)\n"
                         "[  OK  ]   -> VID/PID matches the Vantro Q4.\n"
                         "         Firmware version: 1.02\n"
                         "         Serial number: QV4A1B2C3D\n"
                         "         Symbolic link: \\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#"
                         "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}\n"));
}

TEST(SdkSectionsEndToEnd, WrongArchitectureCannotLoad) {
    EXPECT_EQ(run_on("sdk_wrong_architecture"),
              test::crlf(k4 + kInstalled64 +
                         "[ INFO ]   -> File version: (no version info)\n"
                         "[ FAIL ]   -> INCONSISTENT architecture: file is x86 (32-bit) while this registry view "
                         "expects x64.\n"
                         "[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core "
                         "will likely fail.\n"
                         "[ WARN ] CLSID registry key present (32-bit view / WOW6432Node) but the value is "
                         "empty/unreadable.\n" +
                         k5 +
                         "[ FAIL ] LoadLibrary failed on C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll "
                         "(error code=193).\n"));
}

const std::string kInstalled151 = kInstalled64 + "[ INFO ]   -> File version: 1.51.0.0\n"
                                                 "[  OK  ]   -> File architecture is consistent (x64).\n"
                                                 "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.4.1.0).\n";

TEST(SdkSectionsEndToEnd, InitFailsAndMissingEntryPoint) {
    const std::string& installed = kInstalled151;
    EXPECT_EQ(run_on("sdk_init_fails"),
              test::crlf(k4 + installed + kMissing32 + k5 +
                         "[ FAIL ] QTV_Init failed (return code=-4). The SDK cannot initialize on this machine.\n"));
    EXPECT_EQ(run_on("sdk_missing_entry_point"),
              test::crlf(k4 + kInstalled64 +
                         "[ INFO ]   -> File version: 1.20.0.0\n"
                         "[  OK  ]   -> File architecture is consistent (x64).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.0.0.0).\n" +
                         kMissing32 + k5 +
                         "[ FAIL ] One or more expected entry points are missing from the DLL (a DLL version "
                         "incompatible with what this tool expects?).\n"));
}

TEST(SdkSectionsEndToEnd, TwoDevicesOneUnreadable) {
    EXPECT_EQ(run_on("sdk_two_devices"), test::crlf(k4 + kInstalled151 + kMissing32 + k5 + kInitialised + version_line("1.51") +
                                     "[ INFO ] Device detection by the SDK: 4 attempt(s) out of 100 (~120 ms).\n"
                                     "[  OK  ] 2 Tonvela device(s) detected by the SDK.\n"
                                     "[ WARN ] QTV_GetDeviceInfo(0) failed (code=-7).\n"
                                     "[ INFO ] Device #1: Tonvela Desk (VID=0x2A7D, PID=0xABC)\n"
                                     "[ WARN ]   -> VID/PID differs from 0x2A7D/0x5E3C: another Quorvane Tonvela device "
                                     "may be plugged in.\n"
                                     "         Firmware version: 10.05\n"
                                     "         Serial number: (not available)\n"
                                     "         Symbolic link: \\\\?\\usb#vid_2a7d&pid_0abc#7&1f#"
                                     "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}\n"));
}

const std::string kDetectedAtOnce =
    "[ INFO ] Device detection by the SDK: 1 attempt(s) out of 100 (~30 ms).\n"
    "[  OK  ] 1 Tonvela device(s) detected by the SDK.\n"
    "[ INFO ] Device #0: Vantro Q4 (VID=0x2A7D, PID=0x5E3C)\n"
    "[  OK  ]   -> VID/PID matches the Vantro Q4.\n"
    "         Firmware version: 1.02\n"
    "         Serial number: QV4A1B2C3D\n"
    "         Symbolic link: \\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}\n";

// COM expands a REG_EXPAND_SZ registration: the report shows the declared
// text and checks, reads and loads the expanded file, in each view as a
// process of its bitness expands it.
TEST(SdkSectionsEndToEnd, ExpandableRegistrationInBothViews) {
    const std::string declared = "%ProgramFiles%\\Quorvane\\Tonvela SDK\\qtv_api_core.dll";
    const std::string report = report_on("sdk_expand_sz");
    EXPECT_EQ(sdk_blocks(report),
              test::crlf(k4 + "[ INFO ] Path declared (64-bit view): " + declared + "\n" +
                         "[  OK  ]   -> File present.\n"
                         "[ INFO ]   -> File version: 1.51.0.0\n"
                         "[  OK  ]   -> File architecture is consistent (x64).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.4.1.0).\n"
                         "[ INFO ] Path declared (32-bit view / WOW6432Node): " + declared + "\n" +
                         "[  OK  ]   -> File present.\n"
                         "[ INFO ]   -> File version: 1.51.0.0\n"
                         "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
                         "[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.4.1.0).\n" +
                         k5 + kInitialised + version_line("1.51") + kDetectedAtOnce));
    // Section 3 reads the SDK's configuration file from the expanded folder.
    EXPECT_NE(report.find(test::crlf("[ INFO ] Interface GUID expected by the SDK: {C47D2A19-5E80-4B3F-9A26-81D0E4F3B752} "
                                     "(source: C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll.config.ini).\n")),
              std::string::npos);
}

// An SDK whose QTV_Init loads its companion by its bare name finds it in its
// own folder; copies of that name beside the executable, in the current
// directory and on PATH are never loaded (QTV_Init would return -23).
TEST(SdkSectionsEndToEnd, TheSdkLoadsItsCompanionByName) {
    const auto beside_the_exe = [](nlohmann::json& machine, const fs::path& dir) {
        machine["files"].push_back({{"path", (dir / "vxlinkapi_x64.dll").string()},
                                    {"pe", {{"machine", "0x8664"}, {"file_version", "6.6.6.0"}}}});
    };
    EXPECT_EQ(run_on("sdk_companion_by_name", beside_the_exe),
              test::crlf(k4 + kInstalled151 + kMissing32 + k5 + kInitialised + version_line("1.51") + kDetectedAtOnce));
}

// The maker's service holds the library open to read and delete it: the
// header is still read, and the library loads.
TEST(SdkSectionsEndToEnd, LibraryHeldOpenByTheMakersService) {
    EXPECT_EQ(run_on("sdk_held_by_service"),
              test::crlf(k4 + kInstalled151 + kMissing32 + k5 + kInitialised + version_line("1.51") + kDetectedAtOnce));
}

// WinUSB's interface held by another process: section 5's follow-up test
// names the error the open gave, ERROR_ACCESS_DENIED from WinUSB's exclusive
// device object, or ERROR_SHARING_VIOLATION.
TEST(SdkSectionsEndToEnd, FollowUpTestOnAnInterfaceHeldOpen) {
    const auto locked = [](const std::string& error_name) {
        return "[ WARN ] Likely cause identified: the low-level USB interface (MI_03) is currently held open exclusively "
               "by ANOTHER process (" + error_name + "). The SDK loaded by this tool therefore cannot access it at the "
               "same time. See section 6 below: an already-installed Quorvane service (e.g. 'Quorvane QTV Series "
               "Service' / quorQtvInstall) is probably the one holding it. Try stopping that service (or closing the "
               "relevant Quorvane application), then re-run this diagnostic.\n";
    };
    const auto held_with = [](const nlohmann::json& held) {
        return [held](nlohmann::json& machine, const fs::path&) {
            for (nlohmann::json& device : machine["devices"]) {
                if (device.contains("interfaces")) device["interfaces"][0]["held_by_other_process"] = held;
            }
        };
    };
    struct Case {
        const char* what;
        nlohmann::json held;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"WinUSB refuses a second handle", true, locked("ERROR_ACCESS_DENIED")},
        {"the machine names ERROR_SHARING_VIOLATION", 32, locked("ERROR_SHARING_VIOLATION")},
        {"another error is no lock", 31,
         "[ INFO ] Follow-up test: the low-level interface is NOT locked by another process (code=31). The cause of "
         "the SDK failure is therefore probably elsewhere (e.g. different detection logic in this SDK version, firmware "
         "version mismatch).\n"},
    };
    for (const Case& c : cases) {
        const std::string blocks = run_on("mi03-held-open", held_with(c.held));
        const std::string five = blocks.substr(blocks.find("\r\n==== 5. "));
        EXPECT_EQ(five, test::crlf(k5 + kInitialised + version_line("1.51") +
                                   "[ INFO ] Device detection by the SDK: 100 attempt(s) out of 100 (~3000 ms).\n"
                                   "[ FAIL ] The SDK does not detect any Tonvela device after 3000 ms of waiting, even "
                                   "though the DLL was loaded successfully. See sections 2 and 3 above for the "
                                   "hardware/driver diagnosis.\n" + c.line))
            << c.what;
    }
}

}  // namespace
}  // namespace vq4
