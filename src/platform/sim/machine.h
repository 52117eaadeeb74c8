// The simulated Windows machine: plain records that the simulated platform
// operations read and change, plus the trace of every call made on it.
//
// Tests build a Machine (from JSON or by hand), install it with
// set_machine(), run logic, then read its records and trace.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vq4::sim {

// ---- Registry ----
// Keys are kept flat, by their full path under "HKLM\..." (HKCR is
// HKLM\SOFTWARE\Classes, as on Windows). Subkeys enumerate in creation order,
// like a real hive and unlike Wine, which sorts them.
struct RegistryValue {
    std::wstring name;  // empty for the default value
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct RegistryKey {
    std::wstring path;  // "HKLM\SOFTWARE\..." with the letter case it was created with
    std::vector<RegistryValue> values;
};

struct Registry {
    std::vector<RegistryKey> keys;

    RegistryKey* find(const std::wstring& path);
    const RegistryKey* find(const std::wstring& path) const;
    // Creates the key and any missing ancestor.
    RegistryKey& create(const std::wstring& path);
    // Removes the key and everything below it; false when it does not exist.
    bool remove_tree(const std::wstring& path);
    // Direct subkeys' names, in creation order.
    std::vector<std::wstring> subkey_names(const std::wstring& path) const;
    void set_value(const std::wstring& path, RegistryValue value);
};

// "HKCR\X" -> "HKLM\SOFTWARE\Classes\X"; "HKEY_LOCAL_MACHINE\X" -> "HKLM\X".
std::wstring canonical_registry_path(const std::wstring& path);

// ---- Device tree ----
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
    bool held_by_other_process = false;  // opened without sharing elsewhere: ERROR_SHARING_VIOLATION
};

struct Device {
    std::wstring instance_id;
    std::uint32_t dev_inst = 0;  // configuration-manager handle, assigned when loaded
    std::wstring parent_id;  // empty for a root
    bool present = true;
    std::optional<std::wstring> friendly_name;  // SPDRP_FRIENDLYNAME; absent = property not set
    std::optional<std::wstring> device_desc;    // SPDRP_DEVICEDESC
    std::optional<std::wstring> service;        // SPDRP_SERVICE
    std::uint32_t status = 0x0180600A;          // DN_* flags of a started driver
    std::uint32_t problem = 0;
    std::uint32_t status_result = 0;  // CONFIGRET of CM_Get_DevNode_Status; nonzero = unreadable
    std::vector<DeviceInterfaceRecord> interfaces;

    // ---- How the node takes the repair's changes to the device tree ----
    // (device_tree.cpp; machine-file entries in docs/machine-file.md)
    std::optional<std::uint32_t> remove_error;  // DIF_REMOVE on this node fails with this code
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

    // State of the changes in progress.
    std::uint32_t enumeration_rank = 0;  // place in the system's order, kept when the node comes back
    bool phantom_by_removal = false;  // left without devnode by its parent's removal; comes back with it
    std::optional<std::uint64_t> arrives_at_ms;     // a removed node on its way back
    std::optional<std::uint64_t> interfaces_at_ms;  // WinUSB registers the node's interfaces then
    // What detection writes into a fresh hardware key; absent: it creates none.
    std::optional<std::vector<RegistryValue>> detected_values;
};

// Where a device's hardware ("Device Parameters") key lives in the registry.
std::wstring hardware_key_path(const std::wstring& instance_id);

// ---- Files ----
struct File {
    std::wstring path;
    std::uint32_t attributes = 0x20;  // FILE_ATTRIBUTE_ARCHIVE; 0x10 for a directory
    std::vector<std::uint8_t> bytes;
    bool held_exclusively = false;  // another process holds it open without sharing
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
};

// ---- Faults and trace ----
// Makes the nth call (1-based) of an operation fail with a given code.
struct Fault {
    std::string operation;
    std::uint32_t nth = 1;
    std::uint32_t code = 0;
};

struct TraceEntry {
    std::string operation;  // the Win32 function name, e.g. "RegOpenKeyExW"
    std::string arguments;
    std::int64_t result = 0;
};

struct LocalTimeRecord {
    std::uint16_t year = 2026, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

struct Machine {
    std::wstring source;  // machine file path, or "(built-in default)"
    std::optional<std::wstring> module_path;        // absent: the real executable's path
    std::optional<LocalTimeRecord> local_time;      // absent: the real local time
    std::uint16_t native_architecture = 9;          // PROCESSOR_ARCHITECTURE_AMD64
    bool elevated = false;
    bool elevation_prompt_accepted = true;

    Registry registry;
    std::vector<Device> devices;  // in the order the system enumerates them
    // Nodes removed by DIF_REMOVE whose hardware is still attached: no node,
    // no Enum key, until re-enumeration of an ancestor brings them back.
    std::vector<Device> removed_devices;
    std::vector<File> files;
    std::vector<Process> processes;
    std::vector<Service> services;

    std::vector<Fault> faults;

    // Side effects that tests read.
    std::uint64_t virtual_clock_ms = 0;
    std::vector<TraceEntry> trace;
    std::map<std::string, std::uint32_t> call_counts;

    Device* find_device(const std::wstring& instance_id);
    Device* find_device(std::uint32_t dev_inst);
    // Adds a device with a fresh dev_inst (loading, re-enumeration).
    Device& add_device(Device device);
    File* find_file(const std::wstring& path);
};

// The machine the simulated platform operates on.
Machine& machine();
void set_machine(Machine m);

// Records a call in the trace and returns the injected failure code for it,
// if a fault is set for this call.
std::optional<std::uint32_t> enter_call(const std::string& operation, const std::string& arguments);
// Sets the result of the trace entry that enter_call() added last.
void record_result(std::int64_t result);

// Count of trace entries for an operation, optionally with exact arguments.
std::size_t count_calls(const std::string& operation);
std::size_t count_calls(const std::string& operation, const std::string& arguments);

// UTF-8 for trace text.
std::string narrow(const std::wstring& text);

}  // namespace vq4::sim
