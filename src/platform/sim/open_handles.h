// What the simulated process holds open: one table per kind of handle,
// owned by the machine and reset with it, so that a test can load a new
// machine without meeting the last one's keys, sets and files, and can ask
// after a whole run whether anything is still open.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/software.h"

namespace vq4::sim {

// The handles of one kind: raw value -> what the handle stands for.
// Values start at `next` and grow by `step`, so each kind has its own range.
template <class Record>
struct HandleTable {
    std::map<std::uintptr_t, Record> open;
    std::uintptr_t next = 1;
    std::uintptr_t step = 1;

    std::uintptr_t add(Record record) {
        const std::uintptr_t raw = next;
        next += step;
        open[raw] = std::move(record);
        return raw;
    }
    Record* find(std::uintptr_t raw) {
        const auto found = open.find(raw);
        return found == open.end() ? nullptr : &found->second;
    }
};

// RegOpenKeyExW and the calls that hand out keys.
struct OpenKey {
    std::wstring path;
    std::uint32_t access = 0;  // generic rights already mapped
};

// CreateFileW on a file, a folder or a device interface.
struct OpenFile {
    std::wstring path;
    bool is_device_interface = false;  // a device path, not a file
    bool is_folder = false;            // opened with FILE_FLAG_BACKUP_SEMANTICS
    std::uint32_t access = 0;
    std::uint32_t share = 0;
    std::uint32_t flags = 0;
    std::uint32_t position = 0;
};

// ---- Device information sets ----
struct SimInterface {
    std::wstring owner_id;
    platform::DeviceInterfaceData data;
    std::wstring path;
};

// SetupDiSetClassInstallParamsW's record for one element of a set.
struct ClassInstallParams {
    std::uint32_t install_function = 0;
    std::uint32_t state_change = 0;  // DIF_PROPERTYCHANGE only
    std::uint32_t scope = 0;
    std::uint32_t hardware_profile = 0;
};

// A snapshot taken when the set is created or a node is opened in it, as on
// Windows: nodes removed afterwards stay listed.
struct DevSet {
    std::vector<std::wstring> instance_ids;
    std::vector<std::uint32_t> dev_insts;
    std::vector<SimInterface> interfaces;
    std::map<std::size_t, ClassInstallParams> class_install_params;  // by element index
    std::map<std::size_t, std::uint32_t> install_flags;              // SP_DEVINSTALL_PARAMS Flags, by element
};

// WinUsb_Initialize on an open device interface.
struct UsbHandle {
    std::wstring path;  // the device interface it was initialised on
    std::uint8_t alternate_setting = 0;
    std::map<std::uint8_t, std::uint32_t> timeout_ms;  // PIPE_TRANSFER_TIMEOUT per pipe; absent = 0
};

// CreateToolhelp32Snapshot: the process list as it was, and the walk's place.
struct OpenSnapshot {
    std::vector<platform::ProcessEntry> processes;
    std::size_t next = 0;
};

// The elevated instance the relaunch started.
struct ChildProcess {
    int pid = 0;
    bool ended = false;
    std::uint32_t exit_code = 0;
};

// ---- Loaded libraries ----
// What the simulated SDK keeps between its calls.
struct SdkState {
    bool initialised = false;
    std::uint64_t init_clock_ms = 0;
    std::int32_t last_count = 0;   // what QTV_GetDeviceCount last reported
    std::wstring guid;             // the interface GUID the SDK looks for
    std::uintptr_t companion = 0;  // vxlinkapi_x64.dll as it loaded it by name, until QTV_Exit
};

struct LoadedModule {
    std::wstring path;
    std::uint32_t references = 0;
    bool is_sdk = false;
    SdkState sdk;
    std::vector<std::uint8_t> image;  // the file's bytes when it was mapped
};

struct OpenHandles {
    HandleTable<OpenKey> keys{{}, 0x1000, 1};
    HandleTable<OpenFile> files{{}, 0x9000, 1};
    HandleTable<DevSet> device_sets{{}, 0x5000, 1};
    HandleTable<UsbHandle> usb{{}, 0xB000, 1};
    HandleTable<OpenSnapshot> snapshots{{}, 0x5000, 1};
    HandleTable<std::uint32_t> service_managers{{}, 0x6000, 1};  // granted access
    HandleTable<ChildProcess> processes{{}, 0x7000, 1};
    HandleTable<bool> tokens{{}, 0x7800, 1};  // whether opened with TOKEN_QUERY
    HandleTable<LoadedModule> modules{{}, 0x70000000, 0x10000};
    // The SDK module whose entry points the simulated functions act on: the
    // one loaded last and still loaded.
    std::uintptr_t active_sdk = 0;
    // The report and output files are real files of the host; the last
    // owner closes them, also when a machine is replaced with one open.
    HandleTable<std::shared_ptr<std::FILE>> report_files{{}, 1, 1};
};

}  // namespace vq4::sim
