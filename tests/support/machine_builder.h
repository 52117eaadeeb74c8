// A typed builder of machine files for tests:
//
//   test::machine_file()
//       .device(test::device(kParent).service(L"usbccgp"))
//       .device(test::device(kMi03).parent(kParent).service(L"WINUSB")
//                   .hardware_key({test::reg_dword(L"RevisionId", 0x0102)}))
//       .use();
//
// It writes the machine file's JSON (docs/machine-file.md) through
// nlohmann::json, and `use()` loads that text with the machine-file loader,
// so a test machine is read exactly as a machine file of machines/ is. Texts
// are wide, as the tool reads them, and written as UTF-8. Entries without a
// typed setter are set with `set(entry, json)`.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"

namespace vq4::test {

// UTF-8 of a wide text (one code point per wchar_t).
std::string utf8(std::wstring_view text);

// A text of the machine file, given wide (L"WINUSB") or already as UTF-8.
struct Text {
    std::string utf8;
    Text(const char* text) : utf8(text) {}
    Text(const std::string& text) : utf8(text) {}
    Text(std::string_view text) : utf8(text) {}
    Text(const wchar_t* text) : utf8(test::utf8(text)) {}
    Text(const std::wstring& text) : utf8(test::utf8(text)) {}
    Text(std::wstring_view text) : utf8(test::utf8(text)) {}
};

// One value of a registry key or of a node's hardware key.
struct RegValue {
    nlohmann::json entry;
};
RegValue reg_dword(Text name, std::uint64_t value);
RegValue reg_qword(Text name, std::uint64_t value);
RegValue reg_sz(Text name, Text text);
RegValue reg_expand_sz(Text name, Text text);
RegValue reg_multi_sz(Text name, const std::vector<Text>& texts);
// Exact bytes ("41 00 42 00") of any type ("REG_SZ", "REG_BINARY", a number).
RegValue reg_hex(Text name, const nlohmann::json& type, std::string_view hex);
// Any type with `data` as the machine file writes it (e.g. "0x12345" for a DWORD).
RegValue reg_value(Text name, const nlohmann::json& type, const nlohmann::json& data);

// The script of the USB device behind a WinUSB interface: what each write
// and each read does, in order (a healthy device once the script runs out).
class WinUsbScript {
public:
    WinUsbScript();
    WinUsbScript& write_ok();
    WinUsbScript& write_error(std::uint32_t code);
    WinUsbScript& write_waits();  // the device never takes it
    WinUsbScript& read_reply(std::string_view hex);  // the bytes that come back ("0C 00 ...")
    WinUsbScript& read_error(std::uint32_t code);
    WinUsbScript& read_waits();  // the device never answers
    WinUsbScript& initialize_error(std::uint32_t code);         // WinUsb_Initialize fails
    WinUsbScript& alternate_setting_error(std::uint32_t code);  // WinUsb_SetCurrentAlternateSetting fails
    const nlohmann::json& json() const { return json_; }

private:
    nlohmann::json json_;
};
WinUsbScript winusb_script();

// One device interface of a node.
class InterfaceEntry {
public:
    InterfaceEntry(Text guid, Text path);
    // Another process holds it open: true, or the error code the open gets.
    InterfaceEntry& held_by_other_process(const nlohmann::json& how = true);
    // The USB device behind it, scripted as the machine file writes it.
    InterfaceEntry& winusb(const nlohmann::json& script);
    InterfaceEntry& winusb(const WinUsbScript& script);
    InterfaceEntry& set(const std::string& entry, const nlohmann::json& value);
    const nlohmann::json& json() const { return json_; }

private:
    nlohmann::json json_;
};
InterfaceEntry device_interface(Text guid, Text path);

// One device node.
class DeviceEntry {
public:
    explicit DeviceEntry(Text instance_id);
    DeviceEntry& parent(Text instance_id);
    DeviceEntry& absent();  // a phantom node: "present": false
    DeviceEntry& present(bool present);
    DeviceEntry& friendly_name(Text text);
    DeviceEntry& device_desc(Text text);
    DeviceEntry& service(Text name);
    DeviceEntry& status(std::uint32_t flags);
    DeviceEntry& problem(std::uint32_t code);
    DeviceEntry& status_result(std::uint32_t configret);
    DeviceEntry& hardware_ids(const std::vector<Text>& ids);
    DeviceEntry& interface(const InterfaceEntry& entry);  // one more interface
    DeviceEntry& hardware_key(const std::vector<RegValue>& values);  // the key, with these values
    // After an ancestor is re-enumerated: "at_once", milliseconds later, or "never".
    DeviceEntry& redetect(const nlohmann::json& when);
    DeviceEntry& set(const std::string& entry, const nlohmann::json& value);
    const nlohmann::json& json() const { return json_; }

private:
    nlohmann::json json_;
};
DeviceEntry device(Text instance_id);

// One service of the service control manager's database.
class ServiceEntry {
public:
    ServiceEntry(Text name, Text display_name);
    ServiceEntry& state(const nlohmann::json& state);  // "running", "stopped" or a SERVICE_* number
    ServiceEntry& type(std::uint32_t type);
    ServiceEntry& appears_after_call(std::uint32_t call);  // installed while the list is read
    const nlohmann::json& json() const { return json_; }

private:
    nlohmann::json json_;
};
ServiceEntry service(Text name, Text display_name);

// One entry of "files": its path and what describes it ({"pe": ...}, {"text": ...}, ...).
nlohmann::json file_entry(Text path, const nlohmann::json& description = nlohmann::json::object());

// A whole machine file.
class MachineFile {
public:
    MachineFile();
    MachineFile& device(const DeviceEntry& entry);  // one more node, in system order
    MachineFile& devices(const std::vector<DeviceEntry>& entries);
    MachineFile& key(Text path, const std::vector<RegValue>& values = {});  // one more registry key
    // One more file: its path, and what describes it ({"pe": ...}, {"text": ...}, ...).
    MachineFile& file(Text path, const nlohmann::json& description = nlohmann::json::object());
    MachineFile& files(const std::vector<nlohmann::json>& entries);  // entries of file_entry()
    // One more file that is a PE image ({"machine": "0x8664"} unless given).
    MachineFile& pe_file(Text path, const nlohmann::json& pe = {{"machine", "0x8664"}});
    MachineFile& text_file(Text path, Text text);  // one more file of that text
    MachineFile& hex_file(Text path, std::string_view hex);  // one more file of these bytes ("5B 44 ...")
    // What the library at `path` does once loaded ({"init_result": -4}, ...).
    MachineFile& sdk(Text path, const nlohmann::json& behaviour = nlohmann::json::object());
    // The nth call of `operation` fails with `code`.
    MachineFile& fault(const std::string& operation, std::uint32_t code, std::uint32_t nth = 1);
    // The process: its path, whether it runs elevated, whether the elevation
    // prompt is accepted.
    MachineFile& module_path(Text path);
    MachineFile& elevated(bool elevated);
    MachineFile& elevation_prompt_accepted(bool accepted);
    MachineFile& process(std::uint64_t pid, Text exe);  // one more process, in snapshot order
    MachineFile& service(const ServiceEntry& entry);    // one more service, in enumeration order
    MachineFile& no_services();                         // an empty service database
    MachineFile& current_directory(Text path);
    MachineFile& local_time(Text when);  // "2026-03-04 05:06:07"
    MachineFile& environment_variable(Text name, Text value);
    MachineFile& set(const std::string& entry, const nlohmann::json& value);
    nlohmann::json& json() { return json_; }
    const nlohmann::json& json() const { return json_; }
    std::string text() const;
    // Loads the machine into the simulated platform (test::use_machine).
    sim::Machine& use() const;

private:
    nlohmann::json json_;
};
MachineFile machine_file();

}  // namespace vq4::test
