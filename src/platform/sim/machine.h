// The simulated Windows machine: plain records that the simulated platform
// operations read and change, plus the trace of every call made on it.
//
// Tests build a Machine (from JSON or by hand), install it with
// set_machine(), run logic, then read its records and trace.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/sim/open_handles.h"

namespace vq4::sim {

// ---- Registry ----
// Keys are kept flat, by their full path under "HKLM\..." or, for the
// current user's keys, "HKCU\...". HKCR is the merged view of
// HKCU\Software\Classes over HKLM\SOFTWARE\Classes: a key the user has
// there is the one HKCR opens. Subkeys enumerate in creation order;
// Microsoft documents no order for RegEnumKeyExW (Wine sorts them), so the
// logic must not depend on one.
struct RegistryValue {
    std::wstring name;  // empty for the default value
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    // RegQueryValueExW of this value fails with this code (a read that failed
    // on a captured machine); RegEnumValueW still lists its name.
    std::optional<std::uint32_t> read_error;
};

struct RegistryKey {
    // "HKLM\SOFTWARE\..." with the letter case it was created with: the
    // first path_size characters of a text that the keys made by one
    // create() share. A key of 500 levels brings the 499 keys above it;
    // a copy of its path in each would cost the square of its length.
    std::shared_ptr<const std::wstring> path_text;
    std::size_t path_size = 0;
    std::wstring_view path() const { return {path_text->data(), path_size}; }
    std::vector<RegistryValue> values;
    // RegOpenKeyExW of exactly this key fails with this code; the key still
    // enumerates under its parent and its subkeys still open.
    std::optional<std::uint32_t> open_error;
};

struct Registry {
    // In creation order. Grow it through create() and shrink it through
    // remove_tree(): the index below follows keys appended at the end and is
    // rebuilt when keys are fewer than it knows.
    std::vector<RegistryKey> keys;

    RegistryKey* find(const std::wstring& path);
    const RegistryKey* find(const std::wstring& path) const;
    // Creates the key and any missing ancestor.
    RegistryKey& create(const std::wstring& path);
    // Removes the key and everything below it; false when it does not exist.
    bool remove_tree(const std::wstring& path);
    // Direct subkeys' names, in creation order.
    std::vector<std::wstring> subkey_names(const std::wstring& path) const;
    // The name of the direct subkey at this place in creation order; empty
    // past the last one. Constant time, so that enumerating a key with many
    // subkeys stays linear.
    std::optional<std::wstring> subkey_name(const std::wstring& path, std::size_t index) const;
    void set_value(const std::wstring& path, RegistryValue value);
    // The same on a key already at hand (no lookup by path).
    static void set_value(RegistryKey& key, RegistryValue value);

private:
    // Lookups without regard to ASCII letter case, as Windows compares key
    // names, in constant time: keys by a hash of their case-folded path, and
    // each key's direct subkeys (places in `keys`) in creation order.
    struct Index {
        std::unordered_multimap<std::uint64_t, std::size_t> by_hash;
        std::vector<std::vector<std::size_t>> children;  // parallel to keys
        std::vector<std::size_t> roots;                   // keys without a parent key
        std::size_t indexed = 0;                          // keys[0, indexed) are indexed
    };
    mutable Index index_;
    const Index& current_index() const;
    std::size_t position_of(const std::wstring& path) const;  // keys.size() when absent
    // The same from the index as it is, given the path's hash.
    std::size_t indexed_position(std::wstring_view path, std::uint64_t hash) const;
    // create() by place in `keys`.
    std::size_t create_position(std::wstring_view path);
    // Indexes keys[index_.indexed], whose parent is at parent_at (none: past the end).
    void index_next(std::uint64_t hash, std::size_t parent_at) const;
};

// What Windows allows of a key ("Registry Element Size Limits"): a name of
// at most 255 characters, and a tree at most 512 levels deep (HKLM\A is one
// level below the root key).
inline constexpr std::size_t kMaxRegistryKeyNameLength = 255;
inline constexpr std::size_t kMaxRegistryKeyDepth = 512;

// Empty when a canonical key path (HKLM\...) keeps those limits, else what
// is wrong with it. An empty name (two backslashes, or one at the end) is
// no key either.
std::string registry_path_problem(std::wstring_view canonical_path);

// "HKCR\X" -> "HKLM\SOFTWARE\Classes\X"; "HKEY_LOCAL_MACHINE\X" -> "HKLM\X";
// "HKEY_CURRENT_USER\X" -> "HKCU\X".
std::wstring canonical_registry_path(const std::wstring& path);

// ---- Device tree ----
// One scripted transfer of the simulated USB device behind an interface.
struct UsbTransferStep {
    bool waits = false;        // never completes: ends only at the pipe's transfer time-out
    std::uint32_t error = 0;   // nonzero: the call fails with this code
    std::vector<std::uint8_t> reply;  // a read's answer (cut to the read's length)
};

// WinUSB on the interface: pipes 0x01 (OUT) and 0x81 (IN) in alternate
// setting 1; setting 0 has no endpoints. Transfer steps are used one per
// attempt, in order, the last one repeating.
struct WinUsbDevice {
    std::uint32_t initialize_error = 0;         // WinUsb_Initialize
    std::uint32_t alternate_setting_error = 0;  // WinUsb_SetCurrentAlternateSetting
    std::vector<UsbTransferStep> writes;        // empty: every write succeeds
    std::vector<UsbTransferStep> reads;         // empty: a healthy device, answering each read with a 12-byte reply
};

// When a re-detected node's hardware key gets the GUID of the firmware's
// descriptor back (DeviceInterfaceGUIDs).
enum class FirmwareGuidReturn : std::uint8_t {
    Never,
    AfterInterfaceRedetect,  // on every re-detection
    AfterCacheDeleted,       // only when the device's usbflags key is gone
};

struct DeviceInterfaceRecord {
    std::wstring guid;  // braced interface class GUID
    std::wstring path;  // device path as SetupDiGetDeviceInterfaceDetailW gives it
    // Held open by another process. CreateFileW then fails with
    // held_open_error when given, else with the driver's: ERROR_ACCESS_DENIED
    // under WinUSB, whose device object is exclusive, ERROR_SHARING_VIOLATION
    // under any other.
    bool held_by_other_process = false;
    WinUsbDevice winusb;
    std::optional<std::uint32_t> held_open_error;
};

// A simulated transfer that would wait forever (no transfer time-out set on
// its pipe): the real program would hang here, so the simulation stops.
struct WaitsForever : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A device property as SetupDiGetDeviceRegistryPropertyW reads it, given
// exactly: its bytes, or the error the read fails with.
struct RawProperty {
    std::vector<std::uint8_t> bytes;
    std::uint32_t error = 0;  // nonzero: the read fails with this code
};

// A node of the device tree, in three parts: what the machine file says of
// it, how it takes the repair's changes, and where those changes stand.

// What the machine file says of the node. `present`, `status`, `problem` and
// `interfaces` are also what the tree shows of it now: the repair's changes
// update them as Windows would.
struct DeviceDescription {
    std::wstring instance_id;
    std::wstring parent_id;  // empty for a root
    bool present = true;
    std::optional<std::wstring> friendly_name;  // SPDRP_FRIENDLYNAME; absent = property not set
    std::optional<std::wstring> device_desc;    // SPDRP_DEVICEDESC
    std::optional<std::wstring> service;        // SPDRP_SERVICE
    std::optional<std::vector<std::wstring>> hardware_ids;  // SPDRP_HARDWAREID (REG_MULTI_SZ)
    // Properties given as exact bytes or a read error, by SPDRP code: what the
    // property read answers instead of the texts above (which hold the text
    // the bytes spell, for the rest of the machine).
    std::map<std::uint32_t, RawProperty> raw_properties;
    std::uint32_t status = 0x0180600A;          // DN_* flags of a started driver
    std::uint32_t problem = 0;
    std::uint32_t status_result = 0;  // CONFIGRET of CM_Get_DevNode_Status; nonzero = unreadable
    std::vector<DeviceInterfaceRecord> interfaces;
};

// How the node takes the repair's changes to the device tree (device_tree.cpp;
// machine-file entries in docs/machine-file.md).
struct DeviceBehaviour {
    std::optional<std::uint32_t> remove_error;  // DIF_REMOVE on this node fails with this code
    // DI_NEEDREBOOT / DI_NEEDRESTART: DIF_REMOVE succeeds but leaves the node
    // in place until the next restart (as a handle held open on it does).
    std::uint32_t remove_flags = 0;
    // After a removal, re-enumerating an ancestor brings the node back this
    // much virtual time later (0: during the call); absent: it does not come back.
    std::optional<std::uint64_t> redetect_delay_ms = 0;
    FirmwareGuidReturn firmware_guid_returns = FirmwareGuidReturn::Never;
    std::wstring firmware_guid = L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";  // the firmware's MS OS descriptor
    // When the node starts, WinUSB registers the interfaces of the GUIDs in its
    // hardware key this much later; absent: it registers none.
    std::optional<std::uint64_t> interface_delay_ms = 0;
    std::uint32_t restart_error = 0;  // DIF_PROPERTYCHANGE fails with this code
    std::uint32_t restart_flags = 0;  // DI_NEEDRESTART / DI_NEEDREBOOT instead of restarting
    // What detection writes into a fresh hardware key; absent: it creates none.
    std::optional<std::vector<RegistryValue>> detected_values;
};

// Transfers attempted so far on one WinUSB interface: each takes the next
// scripted step.
struct WinUsbTransfers {
    std::size_t writes_done = 0;
    std::size_t reads_done = 0;
};

// Where the run's changes to the node stand.
struct DeviceRunState {
    std::uint32_t dev_inst = 0;          // configuration-manager handle, assigned when loaded
    std::uint32_t enumeration_rank = 0;  // place in the system's order, kept when the node comes back
    bool phantom_by_removal = false;  // left without devnode by its parent's removal; comes back with it
    std::optional<std::uint64_t> arrives_at_ms;     // a removed node on its way back
    std::optional<std::uint64_t> interfaces_at_ms;  // WinUSB registers the node's interfaces then
    // DIF_REMOVE succeeded with DI_NEEDREBOOT / DI_NEEDRESTART: Windows
    // removes the node at the next start-up.
    bool removal_pending = false;
    // By the interface's place in `description.interfaces`; cleared when the
    // interfaces are registered anew.
    std::vector<WinUsbTransfers> winusb_transfers;
};

struct Device {
    DeviceDescription description;
    DeviceBehaviour behaviour;
    DeviceRunState state;
};

// Where a device's hardware ("Device Parameters") key lives in the registry.
std::wstring hardware_key_path(const std::wstring& instance_id);

// ---- Files ----
struct File {
    std::wstring path;
    std::uint32_t attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE; 0x10 for a directory
    std::vector<std::uint8_t> bytes;
    bool held_exclusively = false;  // another process holds it open without sharing
    // Another process holds it open with this access and share mode: every
    // open must be compatible with that one, as with an open handle.
    struct OtherProcessOpen {
        std::uint32_t access = 0;
        std::uint32_t share = 0;
    };
    std::optional<OtherProcessOpen> held_open;
    // Who may change it. Absent: what Windows' default ACLs give its place
    // (file_security_of below).
    std::optional<std::wstring> owner;  // a SID in string form, or "user" for the machine's user_sid
    std::optional<bool> writable_by_non_admins;
};

// Well-known SIDs of the accounts that may change system files.
inline constexpr const wchar_t* kSystemSid = L"S-1-5-18";
inline constexpr const wchar_t* kAdministratorsSid = L"S-1-5-32-544";
inline constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// The interactive user of a machine file that names no other.
inline constexpr const wchar_t* kDefaultUserSid = L"S-1-5-21-1004336348-1177238915-682003330-1001";

// The owner and whether others than SYSTEM, Administrators and
// TrustedInstaller may write, for a path (file or folder): the record's own
// when it says, else the defaults of its place on a fresh Windows: under
// C:\Windows and the Program Files folders administrators only; under
// C:\Users\<name> the user, who may write; anything else on the disk
// (C:\ProgramData included, whose subfolders users may add files to)
// owned by Administrators and writable by Authenticated Users.
struct FileSecurityRecord {
    std::wstring owner;
    bool writable_by_non_admins = false;
};

// A path as Windows compares file names: ASCII letters upper-cased, '/'
// spelled '\\', no separator at the end (but a drive root's).
std::wstring normalized_windows_path(const std::wstring& path);
// Same file name on Windows: letter case and separator spelling do not matter.
bool same_windows_path(const std::wstring& a, const std::wstring& b);

// ---- SDK libraries ----
// What a simulated SDK library does once loaded (machine file entry "sdk").
// By default it behaves like the real thing: it reads the interface GUID from
// its configuration file (or uses its built-in default) and sees one device
// per present device interface of that GUID that no other process holds open.
struct SdkDeviceRecordSetup {
    std::wstring name;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::wstring symbolic_link;
    std::wstring serial_number;
    std::uint16_t firmware_version = 0;
    std::int32_t result = 0;  // QTV_GetDeviceInfo's result; nonzero: the record is not filled
};

enum class SdkDeviceChanged : std::uint8_t { WhenChanged, Always, Never };

struct SdkLibrary {
    std::wstring path;                          // the library file; loads only beside vxlinkapi_x64.dll
    std::optional<std::uint32_t> load_error;    // LoadLibraryW fails with this code
    std::vector<std::string> missing_entry_points;
    std::int32_t init_result = 0;               // QTV_Init
    std::uint16_t version = 0x0151;             // QTV_Get_SDK_Version
    SdkDeviceChanged device_changed = SdkDeviceChanged::WhenChanged;  // QTV_IsDeviceChanged
    std::uint32_t detection_delay_ms = 0;       // virtual time after QTV_Init before devices show
    std::optional<std::int32_t> device_count;   // overrides the count the machine gives
    // Scripted answers, one per call in order, the last repeating (a captured
    // run's): QTV_GetDeviceCount's counts and QTV_IsDeviceChanged's results.
    // Empty: not scripted. The calls answered so far are side effects.
    std::vector<std::int32_t> device_counts;
    std::vector<std::int32_t> device_changed_results;
    std::size_t device_count_calls = 0;
    std::size_t device_changed_calls = 0;
    std::optional<std::vector<SdkDeviceRecordSetup>> devices;  // overrides the records the machine gives
    // QTV_Init loads vxlinkapi_x64.dll by its bare name (LoadLibraryW, the
    // process's default search) instead of importing it.
    bool loads_companion_by_name = false;
};

// ---- The process's environment ----
struct EnvironmentVariable {
    std::wstring name;  // compared without regard to letter case
    std::wstring value;
};

// The variables of a 64-bit process on a default installation of Windows
// (SystemRoot, ProgramFiles, ProgramFiles(x86), ...), in docs/machine-file.md.
std::vector<EnvironmentVariable> default_environment();

// An account that the elevated instance runs as: its own HKCU keys (as
// "HKCU\..." paths) and its own variables (HKCU\Environment).
struct Account {
    std::wstring name;
    std::vector<RegistryKey> current_user_keys;
    std::vector<EnvironmentVariable> user_environment;
};

// ---- Running software ----
struct Process {
    std::uint32_t pid = 0;
    std::wstring exe_name;
};

struct Service {
    std::wstring name;
    std::wstring display_name;
    std::uint32_t type = 0x10;  // SERVICE_WIN32_OWN_PROCESS
    std::uint32_t state = 1;    // SERVICE_STOPPED
    // The service is installed right after the nth EnumServicesStatusExW
    // call of the run (0: installed from the start), so that a list which
    // grows between the sizing call and the read can be simulated.
    std::uint32_t appears_after_call = 0;
};

// ---- Faults and trace ----
// Makes the nth call (1-based) of an operation fail with a given code.
struct Fault {
    std::string operation;
    std::uint32_t nth = 1;
    std::uint32_t code = 0;
    // A fault of the first instance only leaves the elevated instance that
    // it relaunches alone: a call that fails in one process need not fail
    // in another.
    bool first_instance_only = false;
};

// The test-only interruption of the simulated process (interruption.h).
enum class InterruptionKind : std::uint8_t { Killed, Restarted };
struct InterruptSetting {
    std::uint32_t after_change = 0;  // 0: at start-up, before any call
    InterruptionKind kind = InterruptionKind::Killed;
    std::string state_file;          // receives the machine as it is left
};

// A call that changed the system, in the order made.
struct SystemChange {
    std::string operation;
    std::string arguments;
    std::size_t trace_entries = 0;  // trace entries recorded before it ended
};

struct TraceEntry {
    std::string operation;  // the Win32 function name, e.g. "RegOpenKeyExW"
    std::string arguments;
    std::int64_t result = 0;
};

// A report section's start: the trace entries recorded before it, and its title.
struct SectionMark {
    std::size_t trace_entries = 0;
    std::string title;
};

struct LocalTimeRecord {
    std::uint16_t year = 2026, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

struct Machine {
    std::wstring source;  // machine file path, or "(built-in default)"
    std::optional<std::wstring> module_path;        // absent: the real executable's path
    std::optional<LocalTimeRecord> local_time;      // absent: the real local time
    std::uint16_t native_architecture = 9;          // PROCESSOR_ARCHITECTURE_AMD64
    // IsWow64Process2: whether kernel32 has it (Windows 10 1709 on), and the
    // host's IMAGE_FILE_MACHINE_* it names; absent: native_architecture's.
    bool has_is_wow64_process2 = true;
    std::optional<std::uint16_t> native_machine;
    std::uint16_t console_attribute = 7;            // the console's attribute word now
    std::uint16_t console_width = 120;              // the screen buffer's columns (dwSize.X)
    bool elevated = false;                          // false: registry keys are read-only
    bool elevation_prompt_accepted = true;
    // Whether the instance that ShellExecuteExW("runas") starts gets an
    // elevated token; false: User Account Control is off for a standard
    // user, and "runas" starts it with the same standard token.
    bool runas_elevates = true;

    Registry registry;
    // In the order the system enumerates them. Grow and shrink it through
    // the operations below: the index of the nodes follows nodes appended at
    // the end and is rebuilt when nodes are fewer than it knows, but a node
    // put elsewhere or given another id or handle by hand goes unseen.
    std::vector<Device> devices;
    // Nodes removed by DIF_REMOVE whose hardware is still attached: no node,
    // no Enum key, until re-enumeration of an ancestor brings them back.
    std::vector<Device> removed_devices;
    std::vector<File> files;
    std::vector<Process> processes;
    std::vector<Service> services;
    std::vector<SdkLibrary> sdk_libraries;

    // The account ShellExecuteExW("runas") starts the elevated instance as
    // (over-the-shoulder elevation: an administrator's name and password);
    // absent: the same user, with the same HKCU and variables.
    std::optional<Account> elevated_account;
    std::wstring user_sid = kDefaultUserSid;

    // ---- The tool's process ----
    // The process's variables: the system's, then the user's over them.
    std::vector<EnvironmentVariable> environment = default_environment();
    // The system's variables alone (HKLM\...\Session Manager\Environment),
    // as ExpandEnvironmentStringsForUserW without a token gives them.
    std::vector<EnvironmentVariable> system_environment = default_environment();
    std::vector<EnvironmentVariable> user_environment;  // the user's own (HKCU\Environment)
    // Searched for a DLL loaded by name only in the standard search order.
    std::optional<std::wstring> current_directory;
    // SetDefaultDllDirectories (0: never called, the standard search order)
    // and the folders AddDllDirectory added, by cookie.
    std::uint32_t default_dll_directories = 0;
    std::map<std::uintptr_t, std::wstring> dll_directories;
    std::uintptr_t next_dll_directory_cookie = 0xD1D0000;

    std::vector<Fault> faults;
    std::optional<InterruptSetting> interrupt;

    // What the tool's process holds open now.
    OpenHandles handles;

    // Side effects that tests read.
    std::uint64_t virtual_clock_ms = 0;
    std::vector<TraceEntry> trace;
    std::vector<SectionMark> sections;
    std::map<std::string, std::uint32_t> call_counts;
    std::vector<SystemChange> system_changes;

    // A node of the tree (present or phantom; removed nodes are not in it)
    // by its instance id in any letter case, or by its devnode handle; in
    // constant time. The first in the system's order when several match.
    Device* find_device(const std::wstring& instance_id);
    Device* find_device(std::uint32_t dev_inst);
    const Device* find_device(const std::wstring& instance_id) const;
    const Device* find_device(std::uint32_t dev_inst) const;
    // The node's place in `devices`; devices.size() when there is none.
    std::size_t device_position(const std::wstring& instance_id) const;
    std::size_t device_position(std::uint32_t dev_inst) const;
    // Appends a node with a fresh dev_inst (one above the highest in the
    // tree) and the last place in the system's order (loading).
    Device& add_device(Device device);
    // The same for each of these nodes, in this order.
    void add_devices(std::vector<Device> added);
    // Takes a node out of the tree (removal); nothing when it is not there.
    std::optional<Device> take_device(const std::wstring& instance_id);
    // Puts a node back at its place in the system's order (before the first
    // node of a higher enumeration_rank), with the handle it carries
    // (re-enumeration).
    Device& insert_device(Device device);
    // Gives a node of the tree another devnode handle (a phantom that comes back).
    void renew_dev_inst(Device& device, std::uint32_t dev_inst);
    File* find_file(const std::wstring& path);
    FileSecurityRecord file_security_of(const std::wstring& path) const;

private:
    // Places in `devices` by a hash of the case-folded instance id and by
    // devnode handle, so that lookups do not walk the tree: the loader's
    // parent checks, the repair's walks up the tree and every platform call
    // on a devnode would otherwise be linear in the number of nodes.
    struct DeviceIndex {
        std::unordered_multimap<std::uint64_t, std::size_t> by_id;
        std::unordered_multimap<std::uint32_t, std::size_t> by_dev_inst;
        std::uint32_t highest_dev_inst = 0;
        std::size_t indexed = 0;  // devices[0, indexed) are indexed
    };
    mutable DeviceIndex device_index_;
    const DeviceIndex& current_device_index() const;
    void index_device(std::size_t at) const;
    // Moves the places at or after `from` by `delta` (a node taken out or put in before them).
    void shift_device_places(std::size_t from, int delta);
};

// The machine the simulated platform operates on.
Machine& machine();
// One line for each handle the process holds open (empty: none), for tests
// that check a run closed everything it opened.
std::vector<std::string> handles_left_open(const Machine& m);
void set_machine(Machine m);

// The variable of the machine's environment of that name (letter case
// ignored), or null.
const EnvironmentVariable* find_environment_variable(const std::wstring& name);
const EnvironmentVariable* find_variable(const std::vector<EnvironmentVariable>& variables, const std::wstring& name);

// Sets a variable (replacing one of the same name) or, with no value, removes it.
void set_variable(std::vector<EnvironmentVariable>& variables, const std::wstring& name,
                  const std::optional<std::wstring>& value);

// Where the simulated C:\ProgramData lives on the host: the folder
// VQ4_DIAG_PROGRAMDATA names, else "ProgramData" beside the executable (the
// machine's module_path when it is a host path, else the real one), unless
// set here (tests).
void set_program_data_host_folder(const std::string& folder);
std::string program_data_host_folder();
inline constexpr const wchar_t* kProgramDataPath = L"C:\\ProgramData";

// Records a call in the trace and returns the injected failure code for it,
// if a fault is set for this call.
std::optional<std::uint32_t> enter_call(const std::string& operation, const std::string& arguments);
// Sets the result of the trace entry that enter_call() added last.
void record_result(std::int64_t result);
// Closes the call that enter_call() opened last: records its result, as the
// operation returns it (signed or unsigned), and returns it. Every simulated
// operation opens with enter_call() and ends with `return finish(result);`.
template <class Result>
Result finish(Result result) {
    record_result(static_cast<std::int64_t>(result));
    return result;
}

// Count of trace entries for an operation, optionally with exact arguments.
std::size_t count_calls(const std::string& operation);
std::size_t count_calls(const std::string& operation, const std::string& arguments);

// UTF-8 for trace text.
std::string narrow(const std::wstring& text);

}  // namespace vq4::sim
