// "/capture": what a run read of the machine, kept while the run goes on and
// written at its end as a machine file that the simulated machine replays.
//
// The sections tell the capture what they read, at the place they read it,
// in the machine file's own terms (a registry key by its path, a node by its
// instance id, a file by its path). The notes cost nothing while no capture
// is in force. Only what a run read goes in: the other devices, the programs
// and services that do not match and the rest of the file system never reach
// the capture. The format: docs/machine-file.md ("Captures").
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/software.h"
#include "sdk/sdk_contract.h"

namespace vq4::capture {

// ---- What was read ----

// A registry value as the reads of the run saw it.
struct Value {
    std::wstring name;
    std::int32_t error = 0;  // a read that failed with a code other than ERROR_FILE_NOT_FOUND
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    bool complete = false;  // `data` are the value's bytes; otherwise only `size` is known
    std::uint32_t size = 0;
};

struct Key {
    std::wstring path;        // machine-file form: "HKLM\...", the 32-bit view under WOW6432Node
    std::int32_t open_error = 0;  // 0: it opened; ERROR_FILE_NOT_FOUND: it is missing
    bool opened = false;
    std::vector<Value> values;
};

struct Property {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> data;  // the bytes read on success
    std::uint32_t required_size = 0;  // on ERROR_INSUFFICIENT_BUFFER
};

// One scripted transfer of the PING exchange.
struct Transfer {
    std::uint32_t error = 0;  // ERROR_SEM_TIMEOUT: the device never completed it
    std::vector<std::uint8_t> reply;  // a read's answer
};

struct Interface {
    std::wstring guid;  // braced, as registered
    std::wstring path;  // empty until a run reads it
    std::optional<std::uint32_t> open_error;  // CreateFileW on the path failed with it
    std::optional<std::uint32_t> initialize_error;
    std::optional<std::uint32_t> alternate_setting_error;
    std::vector<Transfer> writes;
    std::vector<Transfer> reads;
};

struct Node {
    std::wstring instance_id;
    std::uint32_t dev_inst = 0;
    std::optional<std::wstring> parent_id;  // known once the ancestors are read
    std::map<std::uint32_t, Property> properties;  // by SPDRP_*
    bool status_read = false;
    std::uint32_t status_result = 0;
    std::uint32_t status = 0;
    std::uint32_t problem = 0;
    std::optional<std::uint32_t> hardware_key_error;  // SetupDiOpenDevRegKey's; absent until opened
    std::vector<Interface> interfaces;
};

struct File {
    std::wstring path;
    std::optional<std::uint32_t> attributes;        // GetFileAttributesW's answer
    std::optional<std::uint32_t> attributes_error;  // or its error
    std::optional<std::uint32_t> open_error;        // CreateFileW to read the image
    std::vector<std::uint8_t> head;                 // the bytes read from the start (DOS header)
    std::optional<std::uint16_t> machine;           // the COFF Machine field, when the PE header read whole
    std::optional<std::uint32_t> version_size_error;  // GetFileVersionInfoSizeW / GetFileVersionInfoW
    bool version_read = false;
    bool fixed_info_found = false;
    std::uint32_t version_ms = 0;
    std::uint32_t version_ls = 0;
    std::map<std::wstring, std::wstring> profile;  // "section\key" -> the text GetPrivateProfileStringW gave
};

struct Sdk {
    std::wstring path;
    std::uint32_t load_error = 0;
    std::vector<std::string> missing_entry_points;
    std::optional<std::int32_t> init_result;
    std::optional<std::uint16_t> version;
    std::vector<std::int32_t> is_device_changed;  // each call's result, in order
    std::vector<std::int32_t> device_counts;      // each QTV_GetDeviceCount's count
    struct Record {
        std::int32_t result = 0;
        // The fields as the SDK section reads them, when `result` is 0 and
        // the whole record was filled.
        std::optional<SdkDeviceFields> fields;
    };
    std::vector<Record> records;  // QTV_GetDeviceInfo, by index
};

struct Process {
    std::uint32_t pid = 0;
    std::wstring exe;
};

struct Service {
    std::wstring name;
    std::wstring display_name;
    std::uint32_t state = 0;
};

struct Capture {
    std::optional<std::uint16_t> native_architecture;  // GetNativeSystemInfo
    std::optional<std::uint32_t> wow64_error;          // IsWow64Process2's, 0 on success
    std::uint16_t native_machine = 0;
    std::vector<Key> keys;
    std::vector<Node> nodes;  // the device's nodes in the order listed, then their hub
    std::vector<File> files;
    std::vector<Process> processes;
    std::vector<Service> services;
    std::vector<Sdk> sdks;
    std::map<std::wstring, std::optional<std::wstring>> environment;  // what the expansions read
};

// While it lives, the notes below are recorded into `capture`; no capture is
// in force before it or after it.
struct CaptureScope {
    explicit CaptureScope(Capture& capture);
    ~CaptureScope();
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;
};

bool active();

// ---- The notes the sections make ----

// The machine-file path of a key that RegOpenKeyExW opens from `root` with
// `access` (KEY_WOW64_32KEY reads the 32-bit view, under WOW6432Node).
std::wstring key_path(platform::RegRoot root, const std::wstring& subkey, std::uint32_t access);
// The key a classes-root key of `subkey` was read from, as its hive's path
// ending in "\Classes\" (HKCR merges the user's classes over the machine's):
// "HKCU\Software\Classes\" when the user has that key, else
// "HKLM\SOFTWARE\Classes\". Asks the registry only while a capture runs.
std::wstring classes_root_source(const std::wstring& subkey, std::uint32_t access);
// The path of a node's hardware ("Device Parameters") key.
std::wstring hardware_key_path(const std::wstring& instance_id);

// A key was opened (status 0) or not; the values read through `key` belong
// to `path` while it stays open.
void key_opened(const platform::RegKey& key, const std::wstring& path, std::int32_t status);
void value_read(const platform::RegKey& key, const std::wstring& name, const platform::RegRead& read);

void native_system(std::optional<std::uint16_t> architecture, std::uint32_t wow64_error, std::uint16_t native_machine);

// A node of the USB enumerator was listed (only the device's nodes are kept).
void node_listed(std::uint32_t dev_inst, const std::wstring& instance_id);
void node_property(std::uint32_t dev_inst, std::uint32_t property, const platform::PropertyRead& read);
void node_status(std::uint32_t dev_inst, std::uint32_t result, std::uint32_t status, std::uint32_t problem);
// SetupDiOpenDevRegKey on the node: its hardware key, then read as any key.
void hardware_key_opened(std::uint32_t dev_inst, const platform::RegKey& key, std::uint32_t error);

// A present interface of `guid` on the node `instance_id` was found, or on
// any device with `path` read.
void interface_found(const std::wstring& guid, const std::wstring& instance_id);
void interface_path_read(const std::wstring& guid, const std::wstring& path);
void interface_opened(const std::wstring& path, std::uint32_t error);
void winusb_initialized(const std::wstring& path, std::uint32_t error);
void winusb_alternate_setting(const std::wstring& path, std::uint32_t error);
// The transfers of the interface that WinUSB was last initialised on.
void winusb_write(std::uint32_t error);
void winusb_read(std::uint32_t error, const std::vector<std::uint8_t>& reply);

void file_attributes(const std::wstring& path, std::uint32_t error, std::uint32_t attributes);
void file_opened(const std::wstring& path, std::uint32_t error);
void file_head(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
void image_machine(const std::wstring& path, std::uint16_t machine);
void file_version(const std::wstring& path, std::uint32_t error, bool fixed_info_found, std::uint32_t version_ms,
                  std::uint32_t version_ls);
void profile_string(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                    const std::wstring& text);

// `text` was given to ExpandEnvironmentStringsW: the variables it names are
// read (one expansion each) so that a replay expands it the same way.
void environment_expanded(const std::wstring& text);

void sdk_loaded(const std::wstring& path, std::uint32_t error);
void sdk_entry_point_missing(const char* name);
void sdk_init(std::int32_t result);
void sdk_version(std::uint16_t version);
void sdk_is_device_changed(std::int32_t result);
void sdk_device_count(std::int32_t count);
void sdk_device_info(std::int32_t result, const std::uint8_t* record, std::size_t size);

void process_matched(std::uint32_t pid, const std::wstring& exe);
void service_matched(const std::wstring& name, const std::wstring& display_name, std::uint32_t state);

// ---- The end of the run ----

// Reads each captured node's parent, up to the first node that is not the
// device's (its hub), which is kept as a present root.
void read_ancestors(Capture& capture);

}  // namespace vq4::capture
