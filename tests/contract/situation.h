// The set-up side of the platform contract tests.
//
// Every contract test states the situation it needs through these calls and
// then asserts what the platform operations do in it. There are two
// implementations: sim_situation.cpp builds the records of the simulated
// machine, win32_situation.cpp arranges the same situation on the real
// system (the registry and the temporary folder of the Wine prefix, or of a
// Windows machine). The assertions are shared, so both sides must agree.
//
// The set-up never goes through the platform layer under test: the Windows
// side calls the Win32 API itself, the simulated side writes the records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "util/text.h"

namespace vq4::contract::situation {

// ---- The test's life ----

// Starts a fresh situation for one test: an empty elevated x64 machine on the
// simulated side; on the Windows side an empty scratch key and an empty
// scratch folder named after the test (leftovers of an aborted run are
// removed first).
void begin(const std::string& test_name);
// Removes everything the test created: scratch keys in both registry views,
// the scratch folder, redirected standard streams.
void end();

// "sim" or "win32", for messages.
const char* side();
// True when the Windows side runs under Wine. Wine differs from Windows in a
// few corners (see README.md); the tests skip those corners there.
bool on_wine();

// ---- Registry ----

// The test's own key below HKLM, "SOFTWARE\VQ4DiagContract\<test name>".
// It exists after begin(). Subkeys below are given relative to it.
std::wstring key();
// key() + "\" + subkey, or key() for an empty subkey.
std::wstring key_path(const std::wstring& subkey);

void add_key(const std::wstring& subkey);
// Creates the key when missing and sets one value ("" is the default value).
void add_value(const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
               const std::vector<std::uint8_t>& data);

struct StoredValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};
// What the registry holds now, read without the platform layer.
bool key_exists(const std::wstring& subkey);
std::optional<StoredValue> stored_value(const std::wstring& subkey, const std::wstring& name);

enum class View { Bits64, Bits32 };
// A class id of this test's own, braced. add_class_value() registers it
// under HKCR\CLSID in one registry view; end() removes it from both views.
std::wstring clsid();
// Sets a value of HKCR\CLSID\<clsid>\<subkey> as seen in `view`.
void add_class_value(View view, const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
                     const std::vector<std::uint8_t>& data);

// ---- Process ----

// A process without administrator rights. False when the side cannot arrange
// it: Wine runs every process elevated, and on Windows the suite itself must
// run elevated to write its scratch keys below HKLM.
bool arrange_not_elevated();
// The host's native processor architecture is `architecture`. The Windows
// side cannot change its host: true only when it already is.
bool arrange_native_architecture(std::uint16_t architecture);
// The full path of the running executable as the module path operation must
// give it. The simulated side sets one; the Windows side asks the system by
// another route (QueryFullProcessImageNameW).
std::wstring arrange_module_path();
// A module path of more than `length` characters; nullopt when the side
// cannot arrange it (the Windows side's executable is where it is).
std::optional<std::wstring> arrange_long_module_path(std::size_t length);
// The local time now, read by another route than the platform layer.
platform::LocalTime local_time_now();
// A fixed local time; false when the side cannot set the clock.
bool arrange_local_time(const platform::LocalTime& time);
// A millisecond clock that advances when the process sleeps (virtual time on
// the simulated side).
std::uint64_t clock_ms();

// ---- Files ----

// The test's scratch folder, an absolute path without a trailing separator.
std::wstring folder();
// folder() + "\" + name.
std::wstring path_in_folder(const std::wstring& name);
void add_file(const std::wstring& name, const std::string& bytes);
void add_folder(const std::wstring& name);
// The bytes of a file in the scratch folder, read with full sharing (as an
// editor would while the tool still writes); nullopt when missing.
std::optional<std::string> file_bytes(const std::wstring& name);

// Holds a file of the scratch folder open for reading without sharing
// (share mode 0) until release_file() or end(). On Windows the test process
// holds it itself; on the simulated machine another process does.
void hold_file_exclusively(const std::wstring& name);
// Holds a file of the scratch folder open with this access mask and share
// mode until release_file() or end(), the same way.
void hold_file_open(const std::wstring& name, std::uint32_t access, std::uint32_t share);
void release_file(const std::wstring& name);

// ---- Environment ----

// Sets a variable of the process's environment until end(): SetEnvironmentVariableW
// on the Windows side, the machine's environment on the simulated side.
void set_environment_variable(const std::wstring& name, const std::wstring& value);

// ---- Libraries ----

// The DLLs a test can put into its scratch folder. The Windows side copies
// small DLLs built for the suite (tests/contract/library/); the simulated
// side writes PE images of the same shape (machine, version resource,
// exports) as machine files describe them.
enum class LibraryImage {
    VersionedX64,        // x64, version resource kLibraryVersion, exports kLibraryExports
    VersionedX86,        // the same built for x86: an image for another machine than the process's
    WithoutResourcesX64, // x64, exports kLibraryExports, no resource section at all
    WithoutVersionX64,   // x64, exports kLibraryExports, resources but no version resource
};
// The file version of the versioned images, a.b.c.d: all four different, so
// that a swapped half or word shows.
inline constexpr std::uint16_t kLibraryVersion[4] = {3, 14, 159, 2653};
// The names the images export.
inline constexpr const char* kLibraryExports[2] = {"vq4_contract_answer", "vq4_contract_other"};

// Puts a DLL of that shape into the scratch folder under `name`.
void add_library(const std::wstring& name, LibraryImage image);
// Whether the process has the library of that name in the scratch folder
// loaded now, read by another route than the layer under test
// (GetModuleHandleW; the simulated machine's list of loaded modules).
bool library_loaded(const std::wstring& name);

// ---- Running software ----

struct RunningProcess {
    std::uint32_t id = 0;
    std::wstring exe_file;  // the file name alone, as szExeFile gives it
};
// The running test program as the process snapshot must list it. The
// simulated side adds a process record for it (beside the system's own
// processes); the Windows side reads its own id and image name by another
// route (GetCurrentProcessId, QueryFullProcessImageNameW).
RunningProcess arrange_own_process();

// A stopped Win32 service of this test (own process, demand start) with the
// given display name; returns its service name, which is unique to the test
// and `tag`. The Windows side creates it with CreateServiceW and deletes it
// in end(); the simulated side adds a service record.
std::wstring add_stopped_service(const std::wstring& tag, const std::wstring& display_name);

// ---- Elevation and the relaunch ----

// A small program that ends with the exit code given as its first parameter,
// after sleeping the milliseconds given as its second (none: at once), and
// the full path by which ShellExecuteExW starts it. The Windows side names
// vq4_contract_exit_with.exe beside the test program. The simulated
// ShellExecuteExW starts only the tool itself (the relaunch), as the real
// Linux binary: there the module path becomes the returned path and the
// relaunch runs the Linux build of the same program.
std::wstring arrange_exit_code_program();
// The user declines the elevation (UAC) prompt. False where the side cannot
// arrange it: Wine asks nobody, and Windows asks a person.
bool arrange_elevation_prompt_declined();

// ---- Devices ----

// A machine on which no device node of the "USB" enumerator is known at all.
// True on the simulated side (the machine starts empty) and under Wine (no
// USB devices); false on a Windows machine with USB controllers, where the
// test then skips.
bool arrange_no_usb_device_nodes();

struct DeviceNodeSpec {
    std::wstring instance_id;
    std::wstring parent;  // the parent node's instance id; empty: a node at the top of the tree
    bool present = true;
    std::optional<std::wstring> friendly_name;  // absent: the property is not set
    std::optional<std::wstring> device_desc;
    std::optional<std::wstring> service;
    std::optional<std::vector<std::wstring>> hardware_ids;  // SPDRP_HARDWAREID; absent: not set
    std::uint32_t status = 0x0180600A;  // DN_* flags of a started driver
    std::uint32_t problem = 0;
    struct Interface {
        std::wstring guid;  // braced
        std::wstring path;
        bool held_by_other_process = false;  // another program keeps a handle open on it
    };
    std::vector<Interface> interfaces;
    // The USB device behind the node's interfaces (WinUSB transfers), one
    // step per transfer attempt in order, the last one repeating.
    struct UsbTransfer {
        bool never_completes = false;     // the device never completes the transfer
        std::uint32_t error = 0;          // nonzero: the transfer fails with this code
        std::vector<std::uint8_t> reply;  // a read's answer (cut to the read's length)
    };
    std::vector<UsbTransfer> usb_reads;   // empty: the device answers every read with a 12-byte reply
    std::vector<UsbTransfer> usb_writes;  // empty: every write goes through
    // A property-change restart cannot restart the node's driver at once:
    // the class installer asks for a reboot (DI_NEEDREBOOT) instead.
    bool restart_needs_reboot = false;
    // Windows cannot stop the device now: a removal is left to the next
    // restart (DI_NEEDREBOOT) instead of taking the node out.
    bool removal_needs_reboot = false;
};
// A device node with its properties and device interfaces. Only the
// simulated side can create device nodes (Wine has no USB devices, and the
// suite does not install devices on a Windows machine): false elsewhere, and
// the test skips.
bool add_device(const DeviceNodeSpec& node);
// The node is unplugged: no longer present, though sets taken before still
// list it. False where add_device() is.
bool unplug_device(const std::wstring& instance_id);
// Sets a value of the node's hardware key ("Device Parameters"); false where
// add_device() is.
bool add_device_parameter(const std::wstring& instance_id, const std::wstring& name, std::uint32_t type,
                          const std::vector<std::uint8_t>& data);
// A value of the node's hardware key as the registry holds it now; nullopt
// when the key or the value is missing (and always where add_device() is
// false).
std::optional<StoredValue> device_parameter(const std::wstring& instance_id, const std::wstring& name);
// Whether the registry holds the node's key HKLM\SYSTEM\CurrentControlSet\Enum\<id>
// (false where add_device() is false).
bool device_key_exists(const std::wstring& instance_id);

// ---- Console ----

// Points standard output at a scratch file until capture_stdout_end(), which
// gives the bytes written meanwhile.
void capture_stdout_begin();
std::string capture_stdout_end();
// The text that the redirected console bytes stand for. The encoding of a
// redirected console is the host's: on Windows the 8-bit bytes of the report
// file with CR LF line ends, on Linux UTF-8 with LF. A line end that is not
// the host's decodes to U+FFFD, so it cannot pass unnoticed.
std::wstring decode_console(const std::string& bytes);
// Standard input reads these bytes and then ends.
void feed_stdin(const std::string& bytes);

// ---- Data helpers (shared) ----

// UTF-16LE bytes of `text` with its terminating NUL, as REG_SZ stores it.
inline std::vector<std::uint8_t> sz_bytes(const std::wstring& text) { return utf16le_bytes(text, 1); }

// REG_MULTI_SZ bytes: each string with its NUL, then the final NUL.
inline std::vector<std::uint8_t> multi_sz_bytes(const std::vector<std::wstring>& items) {
    std::vector<std::uint8_t> bytes;
    for (const std::wstring& item : items) {
        const std::vector<std::uint8_t> one = utf16le_bytes(item, 1);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

inline std::vector<std::uint8_t> dword_bytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline std::vector<std::uint8_t> qword_bytes(std::uint64_t value) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return bytes;
}

}  // namespace vq4::contract::situation
