// The fault sweep: every platform call that a run makes, made to fail once.
//
// For each machine file, a clean run of the real Linux binary records the
// trace of its platform calls (VQ4_DIAG_TRACE). Then, for every call of that
// trace, (operation, nth call of that operation), and for every realistic
// error code of that operation, the binary runs again on a copy of the
// machine file whose "faults" entry makes just that call fail. Every run
// must end within the time limit, exit with 0 or 1 and print nothing on
// stderr (no crash, no uncaught exception, no sanitizer report), and write a
// well-formed report that agrees with the console and whose exit code
// follows from its Fail lines (support/report_check.h), or is 1 after a
// relaunch whose elevated instance did not repair. Where the tool's
// texts name the line for a failure, that line must be in the report.
//
// New operations and new machine files are picked up from the traces and
// the machines folder; an operation without an entry in the code table
// fails with ERROR_GEN_FAILURE and is listed at the end.
//
// The repair must end as its lines say (check_repair_outcome), a listing of
// section 6 that fails must leave out only what it would have listed, and a
// repair step that fails must report no success after its failure.
//
// Each machine runs with "/nopause"; a machine marked "elevated" also with
// "/nopause /fix", so that the repair runs under every fault as well. A
// machine that is not elevated and reaches section 7 also runs with
// "/nopause /fix": the relaunch, whose calls from section 7 on are swept
// (once for all machines whose relaunch makes the same calls).
//
// Two runs at a time cost little more than one on two cores, but a whole
// sweep is still many thousands of runs, so it can be cut two ways:
// "--shard K/N" sweeps only the machine files that fall to shard K of N (so
// that ctest runs shards side by side, one test each), and "--sample N"
// (for the sanitizer builds, whose runs cost about ten times as much) makes
// only a fixed sample of the calls fail: the first and the last call of
// every operation in each trace, and one in N of the calls between them,
// chosen by a hash of the machine, operation and call number, so the same
// points on every run. Every shard makes the clean runs of all machines: the
// relaunches that make the same calls are swept once, by the shard of the
// first such machine, and the split follows the number of runs per machine.
// The cost of each machine file is printed at the end.
//
// Usage: vq4_fault_sweep --binary PATH --machines DIR|FILE... [--jobs N]
//        [--timeout SECONDS] [--keep] [--verbose] [--only OPERATION]
//        [--shard K/N] [--sample N]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/report_check.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// ---- Realistic failure codes per operation ----

// Operations whose failure the tool cannot see (no result) or that only
// release a handle; a fault on them changes nothing, so they are not swept.
const std::set<std::string> kNotSwept = {
    "GetLocalTime", "Sleep", "GetNativeSystemInfo", "RegCloseKey", "CloseHandle", "SetupDiDestroyDeviceInfoList",
    "WinUsb_Free", "CloseServiceHandle",
};

constexpr std::uint32_t kGenFailure = 31;

// What each operation fails with on a broken machine (Win32 errors,
// registry LSTATUS, CONFIGRET), as Microsoft documents them.
const std::map<std::string, std::vector<std::uint32_t>>& failure_codes() {
    static const std::map<std::string, std::vector<std::uint32_t>> codes = {
        // Process, files, profile.
        {"GetModuleFileNameW", {122}},                 // ERROR_INSUFFICIENT_BUFFER
        {"CreateFileW", {32, 5, 2}},                   // SHARING_VIOLATION, ACCESS_DENIED, FILE_NOT_FOUND
        {"ReadFile", {31, 23}},                        // GEN_FAILURE, CRC
        {"SetFilePointer", {131}},                     // NEGATIVE_SEEK
        {"GetFileAttributesW", {2, 5}},                // FILE_NOT_FOUND, ACCESS_DENIED
        {"GetPrivateProfileStringW", {2}},             // FILE_NOT_FOUND: the default text
        // Registry.
        {"RegOpenKeyExW", {5, 2}},                     // ACCESS_DENIED, FILE_NOT_FOUND
        {"RegQueryValueExW", {5, 2, 234}},             // ACCESS_DENIED, FILE_NOT_FOUND, MORE_DATA
        {"RegEnumKeyExW", {5, 259}},                   // ACCESS_DENIED, NO_MORE_ITEMS
        {"RegEnumValueW", {5, 259}},
        {"RegSetValueExW", {5}},
        {"RegDeleteTreeW", {5, 2}},
        {"RegDeleteKeyW", {5, 2}},
        // SetupAPI and the configuration manager.
        {"SetupDiGetClassDevsW", {13, 8}},             // INVALID_DATA, NOT_ENOUGH_MEMORY
        {"SetupDiEnumDeviceInfo", {259, 13}},          // NO_MORE_ITEMS, INVALID_DATA
        {"SetupDiGetDeviceInstanceIdW", {122, 13}},    // INSUFFICIENT_BUFFER, INVALID_DATA
        {"SetupDiGetDeviceRegistryPropertyW", {13, 122}},
        {"SetupDiOpenDevRegKey", {0xE0000204, 5}},     // ERROR_KEY_DOES_NOT_EXIST, ACCESS_DENIED
        {"SetupDiEnumDeviceInterfaces", {259, 13}},
        {"SetupDiGetDeviceInterfaceDetailW", {122, 13}},
        {"SetupDiCreateDeviceInfoList", {8}},
        {"SetupDiOpenDeviceInfoW", {0xE000020B}},      // ERROR_NO_SUCH_DEVINST
        {"SetupDiCreateDevRegKeyW", {5}},
        {"SetupDiSetClassInstallParamsW", {87}},
        {"SetupDiCallClassInstaller", {5, 0xE0000235}},  // ACCESS_DENIED, ERROR_IN_WOW64
        {"SetupDiRemoveDevice", {5}},
        {"SetupDiChangeState", {5}},
        {"CM_Get_DevNode_Status", {0x0D, 0x13}},       // CR_NO_SUCH_DEVNODE, CR_FAILURE
        {"CM_Locate_DevNodeW", {0x0D}},
        {"CM_Get_Parent", {0x0D}},
        {"CM_Get_Child", {0x0D}},
        {"CM_Get_Sibling", {0x0D}},
        {"CM_Reenumerate_DevNode", {0x13}},
        // WinUSB.
        {"WinUsb_Initialize", {31, 5}},                // GEN_FAILURE, ACCESS_DENIED
        {"WinUsb_SetCurrentAlternateSetting", {31}},
        {"WinUsb_ResetPipe", {31}},
        {"WinUsb_SetPipePolicy", {87}},                // INVALID_PARAMETER
        {"WinUsb_WritePipe", {31, 121}},               // GEN_FAILURE, SEM_TIMEOUT
        {"WinUsb_ReadPipe", {31, 121}},
        // Version API, run-time loading.
        {"GetFileVersionInfoSizeW", {1813}},           // RESOURCE_TYPE_NOT_FOUND
        {"GetFileVersionInfoW", {1812}},               // RESOURCE_DATA_NOT_FOUND
        {"VerQueryValueW", {1813}},
        {"LoadLibraryW", {126, 193}},                  // MOD_NOT_FOUND, BAD_EXE_FORMAT
        {"LoadLibraryExW", {126, 193}},
        {"GetProcAddress", {127}},                     // PROC_NOT_FOUND
        {"FreeLibrary", {6}},
        // Processes and services.
        {"CreateToolhelp32Snapshot", {5, 8}},
        {"Process32FirstW", {18, 5}},                  // NO_MORE_FILES, ACCESS_DENIED
        {"Process32NextW", {18, 5}},
        {"OpenSCManagerW", {5}},
        {"EnumServicesStatusExW", {5, 234}},           // ACCESS_DENIED, MORE_DATA
        // Security and shell.
        {"OpenProcessToken", {5}},
        {"GetTokenInformation", {5}},
        {"ShellExecuteExW", {1223, 5}},                // CANCELLED, ACCESS_DENIED
        {"WaitForSingleObject", {6}},
        {"GetExitCodeProcess", {6}},
    };
    return codes;
}

// ---- Lines the tool's texts give for a failure ----

enum class Position { Any, First, Second, Last };  // among matching calls of the same section
enum class Check {
    HasLine,        // some line matches one of `lines` (prefix ... infix ... suffix, see Pattern)
    NoLine,         // no line matches any of `lines`
    SameReport,     // the report is byte for byte the clean run's
    // Some line matches one of `lines`, and from the first such line to the
    // end of its repair step (the next step, candidate or section header) no
    // line matches one of `forbidden`: a step that failed reports no success.
    StepWithout,
    // Section 6: the listing whose lines `lines` match lost all of them
    // (Unlisted) or some of them (PartlyListed, the others in their order; the
    // further patterns are lines that go with the listing);
    // every other line is the clean run's, the summary's counts aside, and
    // the section's closing line stands exactly when nothing is listed.
    Unlisted,
    PartlyListed,
};
// The injected codes a rule holds for.
struct Codes {
    enum Kind { Any, Only, Except } kind = Any;
    std::uint32_t value = 0;
};

// A line pattern: "P|I|S" splits into prefix, infix, suffix; a pattern
// without '|' is the whole line. {code} stands for the injected code.
struct Rule {
    const char* operation;
    const char* section;   // prefix of the last section header before the call ("" any)
    const char* args_has;  // a substring of the call's arguments ("" any)
    Position position;
    bool clean_call_succeeded;  // the rule holds only when the call succeeded in the clean run
    Check check;
    std::vector<std::string> lines;
    std::vector<std::string> forbidden = {};  // StepWithout's success lines
    Codes codes = {};
    // The operations of the calls that followed in the clean run ("A>B":
    // A, then B; '|' between alternatives; "" any): where the repair's steps
    // share an operation, what comes next tells which step's call it is.
    const char* followed_by = "";
};

const std::string kNoNode =
    "[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged in (check "
    "the cable, the USB port, or that the device is powered on).";
const std::string kNoMi03 =
    "[ WARN ] Interface MI_03 (vendor-specific) was not found in the USB enumeration: low-level communication test "
    "skipped.";
const std::string kL3 = "[ WARN ] The MI_03 node has disappeared in the meantime (device unplugged?).";
const std::string kDefaultExpected =
    "[ INFO ] Interface GUID expected by the SDK: {C47D2A19-5E80-4B3F-9A26-81D0E4F3B752} (source: built-in default, "
    "SDK configuration file not readable).";
const std::string kL11 =
    "[ FAIL ] The registry lists a WinUSB GUID for this interface, but no active device interface was found (driver "
    "possibly uninstalled, or device unplugged in the meantime). Try unplugging/replugging the Vantro Q4.";
const std::string kL12Any = "[  OK  ] WinUSB driver active on interface MI_03 (GUID ||";

// The SDK's registration value as each view reads it (HKCR is HKLM\SOFTWARE\Classes here).
const char* const kSdkValue64 = "Classes\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, \"\"";
const char* const kSdkValue32 = "WOW6432Node\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, \"\"";
const std::string kEntryPointsMissing =
    "[ FAIL ] One or more expected entry points are missing from the DLL (a DLL version incompatible with what this "
    "tool expects?).";

// Section 6: each listing's lines.
const char* const kProgramLine = "[ INFO ] Installed program: ||";
const char* const kProcessLine = "[ INFO ] Running process: ||";
const char* const kServiceLine = "|] Windows service: |";
const char* const kInstallFolder = "         Install folder: ||";
const char* const kServicesInPart = "[ WARN ] The list of Windows services could not be read completely ||";
const std::string kNothingRelated =
    "[ INFO ] No application, process or Windows service whose name contains 'Quorvane', 'Vantro' or 'QTV' was "
    "found. This is normal if only the SDK is installed without the full Tonvela application, or if the application "
    "is not currently running.";

// Section 7 and what follows it.
const char* const kRepairHeader = "==== 7. Automatic repair (MI_03 interface GUID) ====";
const char* const kVerificationHeader = "==== 8. Verification after repair ====";
const char* const kAfterRepairHeader = "==== Summary after repair ====";
const char* const kAfterAttemptHeader = "==== Summary after repair attempt ====";
const char* const kAnyRepairSummary = "==== Summary after repair||";
const char* const kRelaunching =
    "[ INFO ] Administrator rights are needed: relaunching the tool elevated (accept the Windows UAC prompt). The "
    "elevated window applies the repair, checks the result and saves its own report next to this executable.";
const char* const kInstanceFinished =
    "[ INFO ] The elevated instance has finished (exit code ||, 0 = no failure left). See its report for the details.";
const char* const kElevationFailed =
    "[ FAIL ] Elevation refused or failed: no change was made. Re-run the tool with 'Run as administrator' to apply "
    "the repair.";
// The instance started, but how it ended is not known: it may have changed the system.
const char* const kExitCodeUnknown =
    "[ FAIL ] The elevated instance was started, but its exit code could not be obtained: it may have changed the "
    "system. See its report for the details.";
// Any exit code but 0 and 1: a closed window or a crash.
const char* const kEndedAbnormally =
    "[ FAIL ] The elevated instance ended abnormally (exit code ||): its window was closed or it stopped. It may have "
    "changed the system. See its report for the details.";
// The elevated instance's report shows a repair done: the first window verifies it itself.
const char* const kElevatedRepaired = "[ INFO ] Elevated instance, Summary after repair: ||";
const char* const kRunWithFix = "[ INFO ] Run this tool again with /fix to apply the repair.";
const char* const kDeclined = "[ INFO ] Repair declined by the user. No change was made.";
const char* const kRepairing = "[ INFO ] Repairing ||";
const char* const kStepLine = "[ INFO ] Step ||";
const char* const kNodeNotFound = "[ WARN ]   -> MI_03 node not found (device unplugged?).";
const char* const kNoComposite = "[ WARN ]   -> Unable to find the composite device (parent of MI_03).";
const char* const kNoRedetectNode = "[ WARN ]   -> Unable to find the parent node to re-detect from.";
const char* const kRemoved = "[ INFO ]   -> Removed: ||";
const char* const kRemovalFailed = "[ WARN ]   -> Removal failed for || (code={code}).";
const char* const kRemovalRefusedInWow64 =
    "[ WARN ]   -> Removal failed for || (code={code}): use the x64 build of this tool.";
const char* const kCacheDeleted = "[ INFO ]   -> USB descriptor cache deleted: ||";
const char* const kRedetected = "[ INFO ]   -> Hardware re-detected.";
const char* const kRedetectionFailed =
    "[ WARN ]   -> Hardware re-detection failed (CONFIGRET={code}). Unplug and replug the Vantro Q4.";
const char* const kGuidWritten = "[  OK  ]   -> GUID || written to 'Device Parameters' (DeviceInterfaceGUIDs).";
const char* const kWriteFailed = "[ FAIL ]   -> Writing the GUID to the registry failed (code={code}).";
const char* const kRestarted = "[  OK  ]   -> Interface MI_03 restarted.";
const char* const kNotRestarted =
    "[ WARN ]   -> The interface could not be restarted automatically (code={code}). The fix is saved: unplug and "
    "replug the Vantro Q4 (or restart the PC), then re-run this tool.";
// The two lines by which a candidate's repair succeeds.
const char* const kRegisteredAgain = "[  OK  ]   -> The firmware's interface GUID || is registered again on MI_03.";
const char* const kNowRegistered = "[  OK  ]   -> Device interface || is now registered on MI_03.";
constexpr std::uint32_t kErrorInWow64 = 0xE0000235;
// A set for a removal, or step 3's, not one that only reads the hardware ids.
const char* const kRemovalOrStep3Set =
    "SetupDiOpenDeviceInfoW>SetupDiSetClassInstallParamsW|SetupDiOpenDeviceInfoW>SetupDiOpenDevRegKey";
const char* const kCreateListFailed = "[ FAIL ]   -> SetupDiCreateDeviceInfoList failed (code={code}).";
// What no step that failed may report after its failure.
const std::vector<std::string> kNoStepSuccess = {kRemoved,     kCacheDeleted, kRedetected,   kRegisteredAgain,
                                                 kGuidWritten, kRestarted,    kNowRegistered};

const std::vector<Rule>& rules() {
    static const std::vector<Rule> table = {
        // Section 1: what cannot be read shows as "?".
        {"RegOpenKeyExW", "1.", "Windows NT\\CurrentVersion", Position::Any, false, Check::HasLine,
         {"[ INFO ] OS: ? (version ?, build ?)"}},
        {"RegQueryValueExW", "1.", "\"ProductName\"", Position::Any, false, Check::HasLine,
         {"[ INFO ] OS: ? (version ||"}},
        {"RegQueryValueExW", "1.", "\"DisplayVersion\"", Position::Any, false, Check::HasLine,
         {"[ INFO ] OS: |(version ?, build |"}},
        {"RegQueryValueExW", "1.", "\"CurrentBuildNumber\"", Position::Any, false, Check::HasLine,
         {"[ INFO ] OS: ||, build ?)"}},
        // The node list (built after section 1's lines): nothing listed is a
        // device not plugged in, and section 3 has no MI_03 node.
        {"SetupDiGetClassDevsW", "1.", "NULL, USB, 0x6", Position::Any, false, Check::HasLine, {kNoNode}},
        {"SetupDiGetClassDevsW", "1.", "NULL, USB, 0x6", Position::Any, false, Check::HasLine, {kNoMi03}},
        {"SetupDiEnumDeviceInfo", "1.", "", Position::First, false, Check::HasLine, {kNoNode}},
        {"SetupDiGetDeviceRegistryPropertyW", "1.", ", 4", Position::Any, false, Check::HasLine,
         {"         Driver (service): (none)"}},
        {"CM_Get_DevNode_Status", "1.", "", Position::Any, false, Check::HasLine,
         {"[ WARN ]   -> Unable to query this node's state (CM_Get_DevNode_Status failed)."}},
        // Section 3.
        {"SetupDiGetClassDevsW", "3.", "NULL, USB, 0x6", Position::Any, false, Check::HasLine,
         {"[ WARN ] Unable to re-query the MI_03 node (SetupDiGetClassDevs failed)."}},
        {"SetupDiEnumDeviceInfo", "3.", "", Position::Any, false, Check::HasLine, {kL3}},
        {"SetupDiGetDeviceInstanceIdW", "3.", "", Position::Last, false, Check::HasLine, {kL3}},
        {"SetupDiOpenDevRegKey", "3.", "", Position::Any, false, Check::HasLine,
         {"[ WARN ] Unable to open the 'Device Parameters' registry key of the MI_03 node."}},
        {"RegQueryValueExW", "3.", "\"RevisionId\"", Position::Any, false, Check::HasLine,
         {"[ INFO ] MI_03 'Device Parameters': hardware revision (bcdDevice) = (not available), "
          "ExtPropDescSemaphore = ||"}},
        {"RegQueryValueExW", "3.", "\"ExtPropDescSemaphore\"", Position::Any, false, Check::HasLine,
         {"[ INFO ] MI_03 'Device Parameters': hardware revision (bcdDevice) = |, ExtPropDescSemaphore = (absent), "
          "registered GUID(s) = |"}},
        {"RegOpenKeyExW", "3.", "InProcServer32", Position::Any, false, Check::HasLine, {kDefaultExpected}},
        {"RegQueryValueExW", "3.", "InProcServer32, \"\"", Position::Any, false, Check::HasLine, {kDefaultExpected}},
        {"GetPrivateProfileStringW", "3.", "DriverInterface, InterfaceGUID", Position::Any, false, Check::HasLine,
         {kDefaultExpected}},
        // An interface lookup that fails moves on to the next registered GUID.
        {"SetupDiGetClassDevsW", "3.", "}, NULL, 0x12", Position::Any, false, Check::HasLine, {kL11, kL12Any}},
        {"SetupDiEnumDeviceInterfaces", "3.", "", Position::Any, false, Check::HasLine, {kL11, kL12Any}},
        {"SetupDiGetDeviceInterfaceDetailW", "3.", "", Position::Any, false, Check::HasLine, {kL11, kL12Any}},
        {"CreateFileW", "3.", "0xC0000000", Position::Any, false, Check::HasLine,
         {"[ FAIL ] CreateFile on the WinUSB interface failed (error code={code}). The device may already be opened "
          "by another application (Tonvela, VQ4Bulk...)."}},
        {"WinUsb_Initialize", "3.", "", Position::Any, false, Check::HasLine,
         {"[ FAIL ] WinUsb_Initialize failed (error code={code})."}},
        {"WinUsb_SetCurrentAlternateSetting", "3.", "", Position::Any, false, Check::HasLine,
         {"[ FAIL ] Unable to select Alternate Setting 1 (error code={code})."}},
        {"WinUsb_ResetPipe", "3.", "", Position::Any, false, Check::SameReport, {}},
        {"WinUsb_SetPipePolicy", "3.", "", Position::Any, false, Check::HasLine,
         {"[ FAIL ] PING command (UCR protocol) failed: The transfer time-out of pipe |could not be set (error "
          "code={code})|: the exchange was not attempted, as it could wait for ever."}},
        // A first attempt that fails is retried once; the second attempt's failure is the line.
        {"WinUsb_WritePipe", "3.", "", Position::First, true, Check::SameReport, {}},
        {"WinUsb_WritePipe", "3.", "", Position::Second, false, Check::HasLine,
         {"[ FAIL ] PING command (UCR protocol) failed: Write to the OUT pipe failed (error code={code})."}},
        {"WinUsb_ReadPipe", "3.", "", Position::First, true, Check::SameReport, {}},
        {"WinUsb_ReadPipe", "3.", "", Position::Second, false, Check::HasLine,
         {"[ FAIL ] PING command (UCR protocol) failed: Read from the IN pipe failed (error code={code})."}},
        // Section 4: each registry view is judged by itself, at its own severity.
        {"RegOpenKeyExW", "4.", "InProcServer32, 0x20119", Position::Any, false, Check::HasLine,
         {"[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by applications running as "
          "64-bit view."}},
        {"RegOpenKeyExW", "4.", "InProcServer32, 0x20219", Position::Any, false, Check::HasLine,
         {"[ WARN ] CLSID registry key missing (32-bit view / WOW6432Node): the SDK will not be found by "
          "applications running as 32-bit view / WOW6432Node."}},
        {"RegQueryValueExW", "4.", kSdkValue64, Position::Any, false, Check::HasLine,
         {"[ FAIL ] CLSID registry key present (64-bit view) but the value is empty/unreadable."}},
        {"RegQueryValueExW", "4.", kSdkValue32, Position::Any, false, Check::HasLine,
         {"[ WARN ] CLSID registry key present (32-bit view / WOW6432Node) but the value is empty/unreadable."}},
        // The first file looked at is a view's library; a dependency is named by its file.
        {"GetFileAttributesW", "4.", "", Position::First, false, Check::HasLine,
         {"[ FAIL ]   -> File NOT FOUND at this location.", "[ WARN ]   -> File NOT FOUND at this location."}},
        {"GetFileAttributesW", "4.", "vxlinkapi_x64.dll", Position::Any, false, Check::HasLine,
         {"[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core will likely "
          "fail."}},
        {"GetFileAttributesW", "4.", "vxlinkapi_x86.dll", Position::Any, false, Check::HasLine,
         {"[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading qtv_api_core will likely "
          "fail."}},
        // The first size asked for is a library's; the later steps of a version read
        // may belong to a library or, when the library has none, to its dependency.
        {"GetFileVersionInfoSizeW", "4.", "", Position::First, false, Check::HasLine,
         {"[ INFO ]   -> File version: (no version info)"}},
        {"GetFileVersionInfoW", "4.", "", Position::Any, true, Check::HasLine,
         {"[ INFO ]   -> File version: (unable to read version info)",
          "[  OK  ]   -> Dependency |present (version (unable to read version info))."}},
        {"VerQueryValueW", "4.", "", Position::Any, false, Check::HasLine,
         {"[ INFO ]   -> File version: (no VS_FIXEDFILEINFO)",
          "[  OK  ]   -> Dependency |present (version (no VS_FIXEDFILEINFO))."}},
        {"GetFileVersionInfoSizeW", "4.", "vxlinkapi_", Position::Any, false, Check::HasLine,
         {"[  OK  ]   -> Dependency vxlinkapi_x|.dll present (version (no version info))."}},
        // Section 5: the SDK's registration in the process's own view, then the library.
        {"RegOpenKeyExW", "5.", "InProcServer32, 0x20019", Position::Any, false, Check::HasLine,
         {"[ FAIL ] Unable to find the SDK's CLSID key (view matching this process): functional test cancelled."}},
        {"RegQueryValueExW", "5.", "InProcServer32, \"\"", Position::Any, false, Check::HasLine,
         {"[ FAIL ] SDK registry value is unreadable: functional test cancelled."}},
        {"LoadLibraryW", "5.", "", Position::Any, false, Check::HasLine,
         {"[ FAIL ] LoadLibrary failed on || (error code={code})."}},
        {"GetProcAddress", "5.", "QTV_Init", Position::Any, false, Check::HasLine, {kEntryPointsMissing}},
        {"GetProcAddress", "5.", "QTV_Exit", Position::Any, false, Check::HasLine, {kEntryPointsMissing}},
        {"GetProcAddress", "5.", "QTV_Get_SDK_Version", Position::Any, false, Check::HasLine, {kEntryPointsMissing}},
        {"GetProcAddress", "5.", "QTV_GetDeviceCount", Position::Any, false, Check::HasLine, {kEntryPointsMissing}},
        {"GetProcAddress", "5.", "QTV_GetDeviceInfo", Position::Any, false, Check::HasLine, {kEntryPointsMissing}},
        // Section 6: nothing unreadable is listed.
        {"CreateToolhelp32Snapshot", "6.", "", Position::Any, false, Check::NoLine, {"[ INFO ] Running process: ||"}},
        {"Process32FirstW", "6.", "", Position::Any, false, Check::NoLine, {"[ INFO ] Running process: ||"}},
        {"OpenSCManagerW", "6.", "", Position::Any, false, Check::NoLine, {"|] Windows service: |"}},
        {"EnumServicesStatusExW", "6.", "", Position::First, false, Check::NoLine, {"|] Windows service: |"}},
        // A listing that cannot be read contributes nothing, or what it read
        // before the failure; the others are untouched.
        {"CreateToolhelp32Snapshot", "6.", "", Position::Any, false, Check::Unlisted, {kProcessLine}},
        {"Process32FirstW", "6.", "", Position::Any, false, Check::Unlisted, {kProcessLine}},
        {"Process32NextW", "6.", "", Position::Any, false, Check::PartlyListed, {kProcessLine}},
        {"OpenSCManagerW", "6.", "", Position::Any, false, Check::Unlisted, {kServiceLine}},
        {"EnumServicesStatusExW", "6.", "", Position::First, false, Check::Unlisted, {kServiceLine}},
        {"EnumServicesStatusExW", "6.", "", Position::Any, false, Check::PartlyListed, {kServiceLine, kServicesInPart}},
        {"RegOpenKeyExW", "6.", "Uninstall", Position::Any, false, Check::PartlyListed, {kProgramLine, kInstallFolder}},
        {"RegEnumKeyExW", "6.", "Uninstall", Position::Any, false, Check::PartlyListed, {kProgramLine, kInstallFolder}},
        {"RegQueryValueExW", "6.", "Uninstall", Position::Any, false, Check::PartlyListed,
         {kProgramLine, kInstallFolder}},
        // The repair's candidates are looked for after the first summary:
        // none found, section 7 prints nothing and nothing follows it.
        {"SetupDiGetClassDevsW", "Summary", "NULL, USB, 0x6", Position::Any, false, Check::NoLine,
         {kRepairHeader, kAnyRepairSummary}},
        {"SetupDiEnumDeviceInfo", "Summary", "", Position::First, false, Check::NoLine,
         {kRepairHeader, kAnyRepairSummary}},
        // Section 7: the elevated instance's report that cannot be read is
        // named with the error, in place of its result.
        {"CreateFileW", "7.", "(elevated report)", Position::Any, true, Check::HasLine,
         {"[ INFO ] The elevated instance's report cannot be read (error code={code}): ||"}},
        {"ReadFile", "7.", "elevated report", Position::Any, true, Check::HasLine,
         {"[ INFO ] The elevated instance's report cannot be read (error code={code}): ||"}},
        // A token that cannot be read is a process that is not elevated: it
        // relaunches, and the relaunch ends with the instance's code or fails.
        {"OpenProcessToken", "7.", "", Position::Any, false, Check::HasLine, {kRelaunching}},
        {"OpenProcessToken", "7.", "", Position::Any, false, Check::HasLine,
         {kInstanceFinished, kElevationFailed, kExitCodeUnknown}},
        {"GetTokenInformation", "7.", "", Position::Any, false, Check::HasLine, {kRelaunching}},
        {"GetTokenInformation", "7.", "", Position::Any, false, Check::HasLine,
         {kInstanceFinished, kElevationFailed, kExitCodeUnknown}},
        // A relaunch that fails changes nothing; an instance that started but
        // gives no exit code may have changed the system, and is never
        // reported as a relaunch that changed nothing.
        {"GetModuleFileNameW", "7.", "", Position::Any, false, Check::HasLine, {kElevationFailed}},
        {"ShellExecuteExW", "7.", "", Position::Any, false, Check::HasLine, {kElevationFailed}},
        {"ShellExecuteExW", "7.", "", Position::Any, false, Check::NoLine, {kInstanceFinished, kExitCodeUnknown}},
        {"WaitForSingleObject", "7.", "", Position::Any, false, Check::HasLine, {kInstanceFinished, kExitCodeUnknown}},
        {"WaitForSingleObject", "7.", "", Position::Any, false, Check::NoLine, {kElevationFailed}},
        {"GetExitCodeProcess", "7.", "", Position::Any, false, Check::HasLine, {kExitCodeUnknown}},
        {"GetExitCodeProcess", "7.", "", Position::Any, false, Check::NoLine, {kInstanceFinished, kElevationFailed}},
        // Steps 1 and 2 locate the node first (and read its revision next); a
        // step that cannot go on has removed and re-detected nothing.
        {"CM_Locate_DevNodeW", "7.", "", Position::Any, true, Check::StepWithout, {kNodeNotFound},
         {kRemoved, kRedetected, kRegisteredAgain}, {}, "CM_Open_DevNode_Key"},
        {"CM_Get_Parent", "7.", "", Position::Any, true, Check::StepWithout, {kNoComposite},
         {kRemoved, kRedetected, kRegisteredAgain}, {}, "CM_Get_Device_IDW"},
        {"CM_Get_Parent", "7.", "", Position::Any, true, Check::StepWithout, {kNoRedetectNode},
         {kRemoved, kRedetected, kRegisteredAgain}, {}, "SetupDiCreateDeviceInfoList|CM_Get_Child"},
        // A removal that fails stops the step at once: no further removal, no
        // cache deletion, no re-detection.
        // The removal's own set, or step 3's.
        {"SetupDiCreateDeviceInfoList", "7.", "", Position::Any, true, Check::StepWithout,
         {kRemovalFailed, kCreateListFailed}, kNoStepSuccess, {}, kRemovalOrStep3Set},
        {"SetupDiOpenDeviceInfoW", "7.", "", Position::Any, true, Check::StepWithout,
         {kRemovalFailed, "[ FAIL ]   -> Unable to open the node (code={code})."}, kNoStepSuccess, {},
         "SetupDiSetClassInstallParamsW|SetupDiOpenDevRegKey"},
        {"SetupDiSetClassInstallParamsW", "7.", "DIF_REMOVE", Position::Any, true, Check::StepWithout,
         {kRemovalFailed}, {kRemoved, kCacheDeleted, kRedetected, kRegisteredAgain}},
        {"SetupDiCallClassInstaller", "7.", "DIF_REMOVE", Position::Any, true, Check::StepWithout, {kRemovalFailed},
         {kRemoved, kCacheDeleted, kRedetected, kRegisteredAgain}, {Codes::Except, kErrorInWow64}},
        {"SetupDiCallClassInstaller", "7.", "DIF_REMOVE", Position::Any, true, Check::StepWithout,
         {kRemovalRefusedInWow64}, {kRemoved, kCacheDeleted, kRedetected, kRegisteredAgain},
         {Codes::Only, kErrorInWow64}},
        {"CM_Reenumerate_DevNode", "7.", "", Position::Any, true, Check::StepWithout, {kRedetectionFailed},
         {kRedetected, kRegisteredAgain}},
        // The descriptor cache: only a deleted key is reported.
        {"RegDeleteTreeW", "7.", "usbflags", Position::Any, true, Check::NoLine, {kCacheDeleted}},
        // Step 3: a GUID that cannot be written is no success, and the
        // interface is reported restarted only when it was.
        {"RegSetValueExW", "7.", "", Position::Any, true, Check::StepWithout, {kWriteFailed},
         {kGuidWritten, kRestarted, kNowRegistered}},
        {"SetupDiSetClassInstallParamsW", "7.", "DIF_PROPERTYCHANGE", Position::Any, true, Check::StepWithout,
         {kNotRestarted}, {kRestarted, kNowRegistered}},
        {"SetupDiCallClassInstaller", "7.", "DIF_PROPERTYCHANGE", Position::Any, true, Check::StepWithout,
         {kNotRestarted}, {kRestarted, kNowRegistered}},
        // Section 8 builds a fresh node list for section 3.
        {"SetupDiGetClassDevsW", "8.", "NULL, USB, 0x6", Position::Any, false, Check::HasLine, {kNoMi03}},
        {"SetupDiEnumDeviceInfo", "8.", "", Position::First, false, Check::HasLine, {kNoMi03}},
    };
    return table;
}

// ---- Runs ----

struct Call {
    std::string op;
    std::string args;
    std::int64_t result = 0;
    std::string section;
    std::size_t section_index = 0;
    std::uint32_t nth = 0;              // nth call of this operation in the run (1-based)
    std::size_t in_section = 0;         // 1-based among same op in the same section instance
    std::size_t in_section_total = 0;
    std::size_t index = 0;              // position in the trace
};

struct Fault {
    Call call;
    std::uint32_t code = 0;
};

struct Outcome {
    bool timed_out = false;
    double seconds = 0;  // from start to end of the run
    int status = 0;  // waitpid status
    std::string out, err;
    fs::path dir;
};

struct Job {
    std::size_t machine = 0;
    std::vector<std::string> arguments;
    std::optional<Fault> fault;
    bool relaunch = false;  // a fault in the first window of a relaunch
    fs::path dir;
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
    bool timed_out = false;
};

struct Options {
    fs::path binary;
    std::vector<fs::path> machines;
    unsigned jobs = 2;
    int timeout_s = 20;
    bool keep = false;
    bool verbose = false;
    std::string only;
    unsigned shard = 1, shards = 1;  // this process sweeps shard `shard` of `shards`
    unsigned sample = 1;             // 1: every call; N: first, last and one in N of the others
};

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t start(const Options& o, const fs::path& dir, const std::vector<std::string>& arguments) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        if (::chdir(dir.c_str()) != 0) std::_Exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setenv("VQ4_DIAG_MACHINE", (dir / "machine.json").c_str(), 1);
        ::setenv("VQ4_DIAG_TRACE", (dir / "trace.json").c_str(), 1);
        // The machine's module_path puts the report in the run's folder.
        ::setenv("VQ4_DIAG_TEST_MACHINE_PATHS", "1", 1);
        std::vector<std::string> texts = {o.binary.string()};
        texts.insert(texts.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& text : texts) argv.push_back(text.data());
        argv.push_back(nullptr);
        ::execv(texts.front().c_str(), argv.data());
        std::_Exit(127);
    }
    return child;
}

// Runs jobs, at most o.jobs at a time; calls done(job, outcome) for each.
template <class Done>
void run_all(const Options& o, std::vector<Job>& jobs, Done done) {
    std::deque<std::size_t> waiting;
    for (std::size_t i = 0; i < jobs.size(); ++i) waiting.push_back(i);
    std::vector<std::size_t> running;
    while (!waiting.empty() || !running.empty()) {
        while (!waiting.empty() && running.size() < o.jobs) {
            Job& job = jobs[waiting.front()];
            job.started = std::chrono::steady_clock::now();
            job.pid = start(o, job.dir, job.arguments);
            running.push_back(waiting.front());
            waiting.pop_front();
        }
        bool progressed = false;
        for (std::size_t r = 0; r < running.size();) {
            Job& job = jobs[running[r]];
            int status = 0;
            const pid_t ended = ::waitpid(job.pid, &status, WNOHANG);
            if (ended == 0) {
                if (std::chrono::steady_clock::now() - job.started > std::chrono::seconds(o.timeout_s)) {
                    job.timed_out = true;
                    ::kill(-job.pid, SIGKILL);
                    ::kill(job.pid, SIGKILL);
                }
                ++r;
                continue;
            }
            Outcome outcome;
            outcome.timed_out = job.timed_out;
            outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.started).count();
            outcome.status = status;
            outcome.dir = job.dir;
            outcome.out = read_all(job.dir / "stdout");
            outcome.err = read_all(job.dir / "stderr");
            done(job, outcome);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(r));
            progressed = true;
        }
        if (!progressed) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

bool line_matches(const std::string& line, const std::string& pattern) {
    const auto bar1 = pattern.find('|');
    if (bar1 == std::string::npos) return line == pattern;
    const auto bar2 = pattern.find('|', bar1 + 1);
    const std::string prefix = pattern.substr(0, bar1);
    const std::string infix = pattern.substr(bar1 + 1, bar2 - bar1 - 1);
    const std::string suffix = bar2 == std::string::npos ? "" : pattern.substr(bar2 + 1);
    if (line.size() < prefix.size() + suffix.size() || line.compare(0, prefix.size(), prefix) != 0 ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()).find(infix) != std::string::npos;
}

struct Verdict {
    std::vector<std::string> problems;
    std::string report;  // report bytes (file, or the console's when no file was written)
    bool report_file = false;
    std::string not_saved_error;  // the code the closing message gives when the report could not be saved
    std::vector<std::string> lines;
};

// The exit code a run owes its report: 1 after a relaunch whose elevated
// instance did not repair ("Summary after repair attempt"); else 1 exactly
// when Fail lines are counted (after a repair, those of the first window's
// own verification).
int expected_exit_code(const std::string& report, int counted_fails) {
    const bool relaunched = report.find(std::string("\r\n") + kRelaunching + "\r\n") != std::string::npos;
    const bool attempt = report.find(std::string("\r\n") + kAfterAttemptHeader + "\r\n") != std::string::npos;
    if (relaunched && attempt) return 1;
    return counted_fails > 0 ? 1 : 0;
}

void check_repair_outcome(const std::vector<std::string>& lines, std::vector<std::string>& p);

// The elevated instance that a relaunch started writes its own report into
// the run's folder: when the first instance shows its exit code and that
// report is there, it must be a well-formed report whose repair ends as its
// lines say, and whose Fail lines give the exit code shown.
void check_elevated_instance(const fs::path& dir, const fs::path& own_report, const std::vector<std::string>& lines,
                             std::vector<std::string>& p) {
    const std::string finished = "[ INFO ] The elevated instance has finished (exit code ";
    std::string shown;
    for (const std::string& line : lines) {
        if (line_matches(line, kInstanceFinished)) shown = line.substr(finished.size(), line.find(',') - finished.size());
    }
    if (shown.empty()) return;
    std::vector<fs::path> others;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("VQ4_Diag_Report_", 0) == 0 && !fs::equivalent(entry.path(), own_report, error)) {
            others.push_back(entry.path());
        }
    }
    if (others.size() != 1) return;  // its report could not be saved, or cannot be told apart
    const vq4::test::ReportCheck r = vq4::test::check_report(read_all(others.front()));
    for (const std::string& problem : r.problems) p.push_back("elevated instance's report: " + problem);
    std::vector<std::string> outcome;
    check_repair_outcome(r.lines, outcome);
    for (const std::string& problem : outcome) p.push_back("elevated instance's " + problem);
    const std::string code = r.fail > 0 ? "1" : "0";
    if (shown != code) {
        p.push_back("the elevated instance's exit code is shown as " + shown + " while its report counts " +
                    std::to_string(r.fail) + " Fail line(s)");
    }
}

// The checks every run must pass.
Verdict check_run(const Outcome& run, bool report_file_expected) {
    Verdict v;
    auto& p = v.problems;
    if (run.timed_out) p.push_back("did not finish within the time limit");
    if (WIFSIGNALED(run.status)) p.push_back("ended by signal " + std::to_string(WTERMSIG(run.status)));
    const int code = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
    if (WIFEXITED(run.status) && code != 0 && code != 1) p.push_back("exit code " + std::to_string(code));
    if (!run.err.empty()) p.push_back("stderr: " + run.err.substr(0, 400));
    if (!p.empty()) return v;

    std::string console_report, saved;
    if (!vq4::test::console_as_report(run.out, console_report, saved, &v.not_saved_error)) {
        p.push_back("console output without the closing message, or not Latin-1");
        return v;
    }
    fs::path saved_path = replace_all(saved, "\\", "/");
    if (saved_path.is_relative()) saved_path = run.dir / saved_path;
    v.report_file = fs::exists(saved_path);
    if (report_file_expected && !v.not_saved_error.empty()) {
        p.push_back("the report could not be saved (error code=" + v.not_saved_error + ")");
    }
    if (v.report_file && v.not_saved_error.empty()) {
        v.report = read_all(saved_path);
        if (v.report != console_report) p.push_back("the report file differs from the console output");
    } else {
        if (report_file_expected) p.push_back("no report file at " + saved_path.string());
        v.report = console_report;
    }
    // The registry backup is named with its folder, the run's own: reports of
    // two runs are compared without it.
    v.report = replace_all(v.report, run.dir.string(), "<run folder>");
    const vq4::test::ReportCheck r = vq4::test::check_report(v.report);
    for (const std::string& problem : r.problems) p.push_back("report: " + problem);
    const int expected = expected_exit_code(v.report, r.fail);
    if (code != expected) {
        p.push_back("exit code " + std::to_string(code) + " while the report counts " + std::to_string(r.fail) +
                    " Fail line(s) and owes " + std::to_string(expected));
    }
    v.lines = r.lines;
    check_repair_outcome(v.lines, p);
    check_elevated_instance(run.dir, saved_path, v.lines, p);
    return v;
}

std::vector<Call> read_trace(const fs::path& file) {
    std::vector<Call> calls;
    const json trace = json::parse(read_all(file));
    std::map<std::string, std::uint32_t> counts;
    std::map<std::pair<std::string, std::size_t>, std::size_t> per_section;
    for (const json& entry : trace.at("calls")) {
        Call c;
        c.op = entry.at("op").get<std::string>();
        c.args = entry.at("args").get<std::string>();
        c.result = entry.at("result").get<std::int64_t>();
        c.section = entry.at("section").get<std::string>();
        c.section_index = entry.at("section_index").get<std::size_t>();
        c.index = calls.size();
        c.nth = ++counts[c.op];
        c.in_section = ++per_section[{c.op, c.section_index}];
        calls.push_back(c);
    }
    for (Call& c : calls) c.in_section_total = per_section[{c.op, c.section_index}];
    return calls;
}

bool rule_applies(const Rule& rule, const Call& c, const std::vector<Call>& trace) {
    if (c.op != rule.operation || c.section.rfind(rule.section, 0) != 0) return false;
    if (c.args.find(rule.args_has) == std::string::npos) return false;
    if (rule.clean_call_succeeded && c.result != 0) return false;
    if (*rule.followed_by != '\0') {
        // Alternatives separated by '|', each the next operations in order, separated by '>'.
        const std::string alternatives = rule.followed_by;
        bool followed = false;
        for (std::size_t start = 0; start <= alternatives.size() && !followed;) {
            const std::size_t bar = std::min(alternatives.find('|', start), alternatives.size());
            const std::string sequence = alternatives.substr(start, bar - start);
            followed = true;
            std::size_t at = c.index + 1;
            for (std::size_t from = 0; from <= sequence.size() && followed; ++at) {
                const std::size_t arrow = std::min(sequence.find('>', from), sequence.size());
                followed = at < trace.size() && trace[at].op == sequence.substr(from, arrow - from);
                from = arrow + 1;
            }
            start = bar + 1;
        }
        if (!followed) return false;
    }
    // The position among the calls of this operation in this section that match the rule's arguments.
    std::size_t index = 0, total = 0;
    for (const Call& other : trace) {
        if (other.op != c.op || other.section_index != c.section_index ||
            other.args.find(rule.args_has) == std::string::npos) {
            continue;
        }
        ++total;
        if (other.nth == c.nth) index = total;
    }
    switch (rule.position) {
        case Position::Any:
            return true;
        case Position::First:
            return index == 1;
        case Position::Second:
            return index == 2;
        case Position::Last:
            return index == total;
    }
    return false;
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

bool is_header(const std::string& line) { return starts_with(line, "==== "); }

bool matches_any(const std::string& line, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        if (line_matches(line, pattern)) return true;
    }
    return false;
}

// What section 7 printed decides what follows it: every candidate repaired
// (each block from its "Repairing" line holds one success line, and no step
// after it) is section 8 and "Summary after repair"; a candidate not
// repaired, or a relaunch that failed, is "Summary after repair attempt"; a
// relaunch whose elevated instance reports the repair done is the first
// window's own section 8 and "Summary after repair", one whose instance did
// not repair "Summary after repair attempt"; a repair not applied is nothing
// more.
void check_repair_outcome(const std::vector<std::string>& lines, std::vector<std::string>& p) {
    const std::vector<std::string> successes = {kRegisteredAgain, kNowRegistered};
    std::size_t repair = 0, verification = 0, after = 0, attempt = 0, repairing = 0, repaired = 0;
    std::size_t relaunching = 0, finished = 0, refused = 0, not_applied = 0, elevated_repaired = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        repair += line == kRepairHeader;
        verification += line == kVerificationHeader;
        after += line == kAfterRepairHeader;
        attempt += line == kAfterAttemptHeader;
        relaunching += line == kRelaunching;
        finished += line_matches(line, kInstanceFinished) || line == kExitCodeUnknown ||
                    line_matches(line, kEndedAbnormally);
        refused += line == kElevationFailed;
        elevated_repaired += line_matches(line, kElevatedRepaired);
        not_applied += line == kRunWithFix || line == kDeclined;
        if (!line_matches(line, kRepairing)) continue;
        ++repairing;
        std::size_t found = 0;
        for (std::size_t j = i + 1; j < lines.size() && !is_header(lines[j]) && !line_matches(lines[j], kRepairing);
             ++j) {
            if (matches_any(lines[j], successes)) {
                ++found;
            } else if (found > 0 && line_matches(lines[j], kStepLine)) {
                p.push_back("repair: a further step after the step that worked: " + lines[j]);
            }
        }
        if (found > 1) p.push_back("repair: a candidate repaired more than once");
        repaired += found > 0;
    }
    const std::size_t further = verification + after + attempt;
    if (repair == 0) {
        if (further != 0) p.push_back("repair: an outcome of a repair section that was not printed");
        return;
    }
    if (repairing > 0) {
        if (repaired == repairing && (verification != 1 || after != 1 || attempt != 0)) {
            p.push_back("repair: every candidate repaired, but no verification and \"Summary after repair\"");
        }
        if (repaired < repairing && (attempt != 1 || verification != 0 || after != 0)) {
            p.push_back("repair: a candidate not repaired, but no \"Summary after repair attempt\" alone");
        }
    } else if (relaunching > 0) {
        if (relaunching != 1 || finished + refused != 1) {
            p.push_back("repair: the relaunch ends neither with the elevated instance's ending nor with its failure");
        } else if (finished == 1 && elevated_repaired == 1) {
            if (verification != 1 || after != 1 || attempt != 0) {
                p.push_back("repair: the elevated instance repaired, but the first window has no verification and "
                            "\"Summary after repair\"");
            }
        } else if (elevated_repaired != 0 || attempt != 1 || verification != 0 || after != 0) {
            p.push_back("repair: a relaunch without a repair, but no \"Summary after repair attempt\" alone");
        }
    } else if (not_applied > 0 && further != 0) {
        p.push_back("repair: a further summary although the repair was not applied");
    }
}

// Section 6's lines less the listing's: the first pattern matches the
// listed lines (into `listed`), the others lines that go with them (a
// program's install folder, the note that a list was read only in part).
// Without the closing line and the summary counts, which follow from the rest.
std::vector<std::string> without_listing(const std::vector<std::string>& lines, const std::vector<std::string>& patterns,
                                         std::vector<std::string>& listed) {
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (matches_any(lines[i], patterns)) {
            if (line_matches(lines[i], patterns.front())) listed.push_back(lines[i]);
            continue;
        }
        if (lines[i] == kNothingRelated) continue;
        kept.push_back(lines[i]);
        if (starts_with(lines[i], "==== Summary")) i += 2;
    }
    return kept;
}

// An installed program's line without its version, which a failed read drops.
std::string program_name(const std::string& line) {
    const auto version = line.rfind(" (version ");
    return version == std::string::npos || line.back() != ')' ? line : line.substr(0, version);
}

void check_listing(const Rule& rule, const std::vector<std::string>& lines, const std::vector<std::string>& clean,
                   std::vector<std::string>& p) {
    std::vector<std::string> listed, clean_listed;
    const std::vector<std::string> rest = without_listing(lines, rule.lines, listed);
    const std::vector<std::string> clean_rest = without_listing(clean, rule.lines, clean_listed);
    if (rest != clean_rest) {
        std::size_t i = 0;
        while (i < rest.size() && i < clean_rest.size() && rest[i] == clean_rest[i]) ++i;
        p.push_back("outside the failed listing, line \"" + (i < rest.size() ? rest[i] : "(end)") +
                    "\" where the clean report has \"" + (i < clean_rest.size() ? clean_rest[i] : "(end)") + "\"");
    }
    if (rule.check == Check::Unlisted && !listed.empty()) {
        p.push_back("a line \"" + listed.front() + "\" of a listing that could not be read");
    }
    // What was listed is what the clean run listed, in order, less some.
    std::size_t at = 0;
    for (const std::string& line : listed) {
        while (at < clean_listed.size() && program_name(clean_listed[at]) != program_name(line)) ++at;
        if (at == clean_listed.size()) {
            p.push_back("a line \"" + line + "\" that the clean run did not list there");
            break;
        }
        ++at;
    }
    // The closing line stands exactly when section 6 lists nothing.
    bool in_section = false, any_listed = false, closing = false;
    for (const std::string& line : lines) {
        if (is_header(line)) in_section = starts_with(line, "==== 6. ");
        if (!in_section) continue;
        any_listed = any_listed || matches_any(line, {kProgramLine, kProcessLine, kServiceLine});
        closing = closing || line == kNothingRelated;
    }
    if (any_listed == closing) {
        p.push_back(closing ? "section 6 lists something and still says nothing related was found"
                            : "section 6 lists nothing and has no closing line");
    }
}

void check_step(const std::vector<std::string>& wanted, const std::vector<std::string>& forbidden,
                const std::vector<std::string>& lines, std::vector<std::string>& p) {
    std::size_t at = 0;
    while (at < lines.size() && !matches_any(lines[at], wanted)) ++at;
    if (at == lines.size()) {
        p.push_back("no line \"" + wanted.front() + "\"");
        return;
    }
    for (std::size_t i = at + 1; i < lines.size(); ++i) {
        if (is_header(lines[i]) || line_matches(lines[i], kStepLine) || line_matches(lines[i], kRepairing)) return;
        if (matches_any(lines[i], forbidden)) {
            p.push_back("a line \"" + lines[i] + "\" after \"" + lines[at] + "\" in the same step");
            return;
        }
    }
}

bool codes_match(const Codes& codes, std::uint32_t code) {
    switch (codes.kind) {
        case Codes::Any:
            return true;
        case Codes::Only:
            return code == codes.value;
        case Codes::Except:
            return code != codes.value;
    }
    return false;
}

std::string describe(const std::string& machine, const Fault& f) {
    char code[16];
    std::snprintf(code, sizeof code, "%u", f.code);
    return machine + ": " + f.call.op + " #" + std::to_string(f.call.nth) + " (" + f.call.args + ") in section \"" +
           f.call.section + "\" failing with " + code;
}

// FNV-1a: a hash that is the same on every run and every platform.
std::uint64_t stable_hash(const std::string& text) {
    std::uint64_t h = 1469598103934665603ull;
    for (const unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return h;
}

// The calls of a trace that a sampled sweep makes fail: the first and the
// last of each operation, and those between them whose hash falls to the
// sample. With sample 1, all of them.
std::vector<bool> sampled_calls(const std::string& machine, const std::vector<Call>& trace, unsigned sample) {
    std::vector<bool> keep(trace.size(), sample <= 1);
    if (sample <= 1) return keep;
    std::map<std::string, std::uint32_t> last;
    for (const Call& c : trace) last[c.op] = c.nth;
    for (const Call& c : trace) {
        keep[c.index] = c.nth == 1 || c.nth == last[c.op] ||
                        stable_hash(machine + "\n" + c.op + "\n" + std::to_string(c.nth)) % sample == 0;
    }
    return keep;
}

// Machine files to shards, the largest first, each to the shard with the
// fewest runs so far (the lowest number on a tie): the same split in every
// shard's process, since all of them count the same runs.
std::map<std::string, unsigned> shard_of_files(const std::map<std::string, std::size_t>& runs_per_file, unsigned shards) {
    std::vector<std::pair<std::string, std::size_t>> files(runs_per_file.begin(), runs_per_file.end());
    std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<std::size_t> load(shards, 0);
    std::map<std::string, unsigned> shard_of;
    for (const auto& [file, runs] : files) {
        const auto least = std::min_element(load.begin(), load.end());
        load[static_cast<std::size_t>(least - load.begin())] += runs;
        shard_of[file] = static_cast<unsigned>(least - load.begin()) + 1;
    }
    return shard_of;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << a << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--binary") {
            o.binary = fs::absolute(next());
        } else if (a == "--machines") {
            const fs::path where = next();
            if (fs::is_directory(where)) {
                for (const auto& e : fs::directory_iterator(where)) {
                    if (e.path().extension() == ".json") o.machines.push_back(fs::absolute(e.path()));
                }
            } else {
                o.machines.push_back(fs::absolute(where));
            }
        } else if (a == "--jobs") {
            o.jobs = static_cast<unsigned>(std::max(1, std::stoi(next())));
        } else if (a == "--timeout") {
            o.timeout_s = std::stoi(next());
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--only") {
            o.only = next();
        } else if (a == "--shard") {
            const std::string text = next();
            const auto slash = text.find('/');
            try {
                o.shard = static_cast<unsigned>(std::stoul(text.substr(0, slash)));
                o.shards = static_cast<unsigned>(std::stoul(text.substr(slash + 1)));
            } catch (const std::exception&) {
                o.shards = 0;
            }
            if (slash == std::string::npos || o.shards == 0 || o.shard == 0 || o.shard > o.shards) {
                std::cerr << "--shard takes K/N with 1 <= K <= N\n";
                return 2;
            }
        } else if (a == "--sample") {
            o.sample = static_cast<unsigned>(std::max(1, std::stoi(next())));
        } else {
            std::cerr << "unknown argument " << a << "\n";
            return 2;
        }
    }
    if (o.binary.empty() || o.machines.empty()) {
        std::cerr << "usage: vq4_fault_sweep --binary PATH --machines DIR|FILE... [--jobs N] [--timeout S] [--shard K/N] [--sample N]\n";
        return 2;
    }
    std::sort(o.machines.begin(), o.machines.end());
    const auto t0 = std::chrono::steady_clock::now();
    const fs::path work = fs::temp_directory_path() / ("vq4_fault_sweep_" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);

    struct MachineState {
        std::string name;
        std::vector<std::string> arguments;
        json document;
        std::vector<Call> trace;
        std::string clean_report;
        std::vector<std::string> clean_lines;
        bool clean_report_file = false;
        bool usable = false;
        std::string file;            // the machine file's name, shared by its variants
        std::size_t sweep_from = 0;  // the first call of the trace that is made to fail
    };
    std::vector<MachineState> machines;
    std::size_t runs = 0, failures = 0, relaunch_runs = 0;
    std::map<std::string, std::size_t> failures_by_op;
    std::set<std::string> fallback_ops;
    std::vector<std::size_t> rule_uses(rules().size(), 0);

    const auto prepare = [&](Job& job, const MachineState& m) {
        json copy = m.document;
        // The report goes to the run's own folder, under a fixed name.
        copy["module_path"] = (job.dir / "VQ4_Diag").string();
        copy["local_time"] = "2026-01-02 03:04:05";
        if (job.fault) {
            json faults = json::array();
            json fault = {{"operation", job.fault->call.op}, {"nth", job.fault->call.nth}, {"code", job.fault->code}};
            // A relaunch's swept calls are the first window's (its relaunch,
            // its own check after the repair): the elevated instance, which
            // counts its calls apart, keeps its own.
            if (job.relaunch) fault["instance"] = "first";
            faults.push_back(fault);
            for (const json& f : copy.value("faults", json::array())) faults.push_back(f);
            copy["faults"] = faults;
        }
        fs::create_directories(job.dir);
        std::ofstream(job.dir / "machine.json", std::ios::binary) << copy.dump(1);
    };

    // Clean runs.
    std::vector<Job> jobs;
    for (const fs::path& file : o.machines) {
        MachineState m;
        m.name = file.filename().string();
        m.file = m.name;
        try {
            m.document = json::parse(read_all(file));
        } catch (const std::exception& e) {
            std::cout << "FAIL " << m.name << ": not JSON: " << e.what() << "\n";
            ++failures;
            machines.push_back(std::move(m));
            continue;
        }
        m.usable = true;
        // An elevated machine also runs with "/fix": the repair, without relaunching.
        std::vector<std::vector<std::string>> argument_sets = {{"/nopause"}};
        if (m.document.is_object() && m.document.value("elevated", false)) argument_sets.push_back({"/nopause", "/fix"});
        for (const auto& arguments : argument_sets) {
            MachineState variant = m;
            variant.arguments = arguments;
            if (arguments.size() > 1) variant.name += " (/fix)";
            machines.push_back(std::move(variant));
            Job job;
            job.machine = machines.size() - 1;
            job.arguments = arguments;
            job.dir = work / (arguments.size() > 1 ? "fix" : "plain") / machines.back().name / "clean";
            prepare(job, machines.back());
            jobs.push_back(std::move(job));
        }
    }
    const auto clean_run_done = [&](const Job& job, const Outcome& run) {
        MachineState& m = machines[job.machine];
        ++runs;
        const Verdict v = check_run(run, true);
        if (!v.problems.empty() || !fs::exists(job.dir / "trace.json")) {
            ++failures;
            m.usable = false;
            std::cout << "FAIL " << m.name << " (clean run): "
                      << (v.problems.empty() ? std::string("no trace") : v.problems.front()) << "\n";
            return;
        }
        m.trace = read_trace(job.dir / "trace.json");
        m.clean_report = v.report;
        m.clean_lines = v.lines;
        m.clean_report_file = v.report_file;
        if (!o.keep) fs::remove_all(job.dir);
    };
    run_all(o, jobs, clean_run_done);

    // A machine that is not elevated but has something to repair also runs
    // with "/fix": it relaunches itself, and the elevated instance repairs
    // with its own console and report. Up to section 7 its calls are those of
    // its run without "/fix", swept already; from there on they are the
    // relaunch's. Machines whose relaunch makes the same calls with the same
    // results are swept once.
    jobs.clear();
    const std::size_t first_relaunch = machines.size();
    for (std::size_t i = 0; i < first_relaunch; ++i) {
        const MachineState& m = machines[i];
        if (!m.usable || m.arguments.size() != 1 || !m.document.is_object() || m.document.value("elevated", false) ||
            std::find(m.clean_lines.begin(), m.clean_lines.end(), kRepairHeader) == m.clean_lines.end()) {
            continue;
        }
        MachineState variant = m;
        variant.arguments = {"/nopause", "/fix"};
        variant.name += " (/fix, relaunch)";
        machines.push_back(std::move(variant));
        Job job;
        job.machine = machines.size() - 1;
        job.arguments = machines.back().arguments;
        job.dir = work / "relaunch" / machines.back().name / "clean";
        prepare(job, machines.back());
        jobs.push_back(std::move(job));
    }
    run_all(o, jobs, clean_run_done);
    std::set<std::string> relaunches_seen;
    for (std::size_t i = first_relaunch; i < machines.size(); ++i) {
        MachineState& m = machines[i];
        if (!m.usable) continue;
        std::size_t from = 0;
        while (from < m.trace.size() && !starts_with(m.trace[from].section, "7.")) ++from;
        std::string calls;
        for (std::size_t c = from; c < m.trace.size(); ++c) {
            calls += m.trace[c].op + " " + std::to_string(m.trace[c].result) + "\n";
        }
        m.sweep_from = from;
        if (!relaunches_seen.insert(calls).second) m.sweep_from = m.trace.size();
    }

    // One run per call and code.
    jobs.clear();
    std::size_t sampled_out = 0;
    for (std::size_t i = 0; i < machines.size(); ++i) {
        const MachineState& m = machines[i];
        if (!m.usable) continue;
        const std::vector<bool> keep = sampled_calls(m.name, m.trace, o.sample);
        for (const Call& c : m.trace) {
            if (c.index < m.sweep_from || kNotSwept.count(c.op) != 0) continue;
            if (!o.only.empty() && c.op != o.only) continue;
            if (!keep[c.index]) {
                ++sampled_out;
                continue;
            }
            std::vector<std::uint32_t> codes = {kGenFailure};
            const auto known = failure_codes().find(c.op);
            if (known != failure_codes().end()) {
                codes = known->second;
            } else {
                fallback_ops.insert(c.op);
            }
            for (const std::uint32_t code : codes) {
                Job job;
                job.machine = i;
                job.arguments = m.arguments;
                job.fault = Fault{c, code};
                job.relaunch = i >= first_relaunch;
                job.dir = work / (m.arguments.size() > 1 ? (i >= first_relaunch ? "relaunch" : "fix") : "plain") / m.name /
                          (std::to_string(c.nth) + "_" + c.op + "_" + std::to_string(code));
                jobs.push_back(std::move(job));
            }
        }
    }
    // This shard's machine files, and their machine files' written copies.
    std::map<std::string, std::size_t> runs_per_file;
    for (const MachineState& m : machines) runs_per_file[m.file] += 0;
    for (const Job& job : jobs) ++runs_per_file[machines[job.machine].file];
    const std::map<std::string, unsigned> shard_of = shard_of_files(runs_per_file, o.shards);
    std::erase_if(jobs, [&](const Job& job) { return shard_of.at(machines[job.machine].file) != o.shard; });
    for (Job& job : jobs) prepare(job, machines[job.machine]);
    std::map<std::string, std::pair<std::size_t, double>> cost_per_file;  // runs, seconds
    for (const auto& [file, shard] : shard_of) {
        if (shard == o.shard) cost_per_file[file];
    }
    run_all(o, jobs, [&](const Job& job, const Outcome& run) {
        const MachineState& m = machines[job.machine];
        const Fault& f = *job.fault;
        ++runs;
        auto& cost = cost_per_file[m.file];
        ++cost.first;
        cost.second += run.seconds;
        if (job.machine >= first_relaunch) ++relaunch_runs;
        // The report file itself cannot be created: the report goes to the console only.
        const bool report_fault = f.call.op == "CreateFileW" && f.call.args.find("(report)") != std::string::npos;
        Verdict v = check_run(run, m.clean_report_file && !report_fault);
        if (v.problems.empty() && report_fault && v.report_file) {
            v.problems.push_back("a report file was written although it could not be created");
        }
        if (v.problems.empty() && report_fault && v.not_saved_error != std::to_string(f.code)) {
            v.problems.push_back("the closing message gives error code \"" + v.not_saved_error + "\", not the " +
                                 std::to_string(f.code) + " the report file could not be created with");
        }
        if (v.problems.empty()) {
            char code_text[16];
            std::snprintf(code_text, sizeof code_text, "%u", f.code);
            for (std::size_t r = 0; r < rules().size(); ++r) {
                const Rule& rule = rules()[r];
                if (!rule_applies(rule, f.call, m.trace) || !codes_match(rule.codes, f.code)) continue;
                ++rule_uses[r];
                if (rule.check == Check::SameReport) {
                    if (v.report != m.clean_report) v.problems.push_back("the report differs from the clean run's");
                    continue;
                }
                if (rule.check == Check::Unlisted || rule.check == Check::PartlyListed) {
                    check_listing(rule, v.lines, m.clean_lines, v.problems);
                    continue;
                }
                if (rule.check == Check::StepWithout) {
                    std::vector<std::string> wanted;
                    for (const std::string& pattern : rule.lines) wanted.push_back(replace_all(pattern, "{code}", code_text));
                    check_step(wanted, rule.forbidden, v.lines, v.problems);
                    continue;
                }
                bool found = false;
                for (const std::string& pattern : rule.lines) {
                    const std::string wanted = replace_all(pattern, "{code}", code_text);
                    for (const std::string& line : v.lines) found = found || line_matches(line, wanted);
                }
                if (rule.check == Check::HasLine && !found) {
                    v.problems.push_back("no line \"" + replace_all(rule.lines.front(), "{code}", code_text) + "\"");
                }
                if (rule.check == Check::NoLine && found) {
                    v.problems.push_back("a line \"" + rule.lines.front() + "\" although the call failed");
                }
            }
        }
        if (!v.problems.empty()) {
            ++failures;
            ++failures_by_op[f.call.op];
            std::cout << "FAIL " << describe(m.name, f) << ": " << v.problems.front() << "\n";
            for (std::size_t p = 1; p < v.problems.size() && p < 4; ++p) std::cout << "     " << v.problems[p] << "\n";
            if (o.keep) std::cout << "     kept in " << job.dir.string() << "\n";
        } else if (o.verbose) {
            std::cout << "ok   " << describe(m.name, f) << "\n";
        }
        if (!o.keep || v.problems.empty()) fs::remove_all(job.dir);
    });
    if (!o.keep) fs::remove_all(work);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::size_t calls = 0;
    for (const MachineState& m : machines) calls += m.trace.size();
    std::cout << "Fault sweep";
    if (o.shards > 1) std::cout << " (shard " << o.shard << " of " << o.shards << ")";
    std::cout << ": " << machines.size() << " machine file(s), " << calls << " traced call(s), " << runs
              << " run(s), " << failures << " failure(s), " << static_cast<int>(seconds + 0.5) << " s\n";
    if (o.sample > 1) {
        std::cout << "  sample: the first and last call of each operation and one in " << o.sample
                  << " of the others; " << sampled_out << " fault point(s) left to the sweep of the plain build\n";
    }
    // What each machine file costs, the dearest first: a new machine file's
    // share of the sweep shows here.
    std::vector<std::pair<std::string, std::pair<std::size_t, double>>> costs(cost_per_file.begin(), cost_per_file.end());
    std::stable_sort(costs.begin(), costs.end(),
                     [](const auto& a, const auto& b) { return a.second.second > b.second.second; });
    std::cout << "  cost per machine file (runs with a fault, seconds of their run time):\n";
    for (const auto& [file, cost] : costs) {
        char seconds_text[32];
        std::snprintf(seconds_text, sizeof seconds_text, "%.1f", cost.second);
        std::cout << "    " << file << ": " << cost.first << " run(s), " << seconds_text << " s\n";
    }
    for (const auto& [op, n] : failures_by_op) std::cout << "  failures with " << op << ": " << n << "\n";
    std::cout << "  " << relaunch_runs << " of them with a fault in the relaunch of a machine that is not elevated\n";
    std::size_t checked = 0;
    for (std::size_t r = 0; r < rules().size(); ++r) {
        checked += rule_uses[r];
        // A rule can only be missed by the whole sweep, not by one shard or a sample of it.
        if (rule_uses[r] == 0 && o.only.empty() && o.shards == 1 && o.sample == 1) {
            std::cout << "  expected-line rule never applied: " << rules()[r].operation << " in \""
                      << rules()[r].section << "\" (" << rules()[r].args_has << ")\n";
        }
    }
    std::cout << "  " << checked << " check(s) of an expected line or of an unchanged report\n";
    if (!fallback_ops.empty()) {
        std::cout << "  operations without an entry in the code table (failed with ERROR_GEN_FAILURE):";
        for (const std::string& op : fallback_ops) std::cout << " " << op;
        std::cout << "\n";
    }
    std::cout << runs - failures << " passed, " << failures << " failed\n";
    return failures == 0 ? 0 : 1;
}
