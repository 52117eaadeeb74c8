#include "support/machine_builder.h"

#include "support/sim_support.h"
#include "util/text.h"

namespace vq4::test {

using Json = nlohmann::json;

std::string utf8(std::wstring_view text) { return utf8_text(std::wstring(text)); }

RegValue reg_value(Text name, const Json& type, const Json& data) {
    return {Json{{"name", name.utf8}, {"type", type}, {"data", data}}};
}
RegValue reg_dword(Text name, std::uint64_t value) { return reg_value(name, "REG_DWORD", value); }
RegValue reg_qword(Text name, std::uint64_t value) { return reg_value(name, "REG_QWORD", value); }
RegValue reg_sz(Text name, Text text) { return reg_value(name, "REG_SZ", text.utf8); }
RegValue reg_expand_sz(Text name, Text text) {
    return reg_value(name, "REG_EXPAND_SZ", text.utf8);
}
RegValue reg_multi_sz(Text name, const std::vector<Text>& texts) {
    Json data = Json::array();
    for (const Text& t : texts) data.push_back(t.utf8);
    return reg_value(name, "REG_MULTI_SZ", data);
}
RegValue reg_hex(Text name, const Json& type, std::string_view hex) {
    return {Json{{"name", name.utf8}, {"type", type}, {"hex", std::string(hex)}}};
}

namespace {
Json values_of(const std::vector<RegValue>& values) {
    Json list = Json::array();
    for (const RegValue& v : values) list.push_back(v.entry);
    return list;
}
}  // namespace

InterfaceEntry::InterfaceEntry(Text guid, Text path)
    : json_{{"guid", guid.utf8}, {"path", path.utf8}} {}
InterfaceEntry& InterfaceEntry::held_by_other_process(const Json& how) { return set("held_by_other_process", how); }
InterfaceEntry& InterfaceEntry::winusb(const Json& script) { return set("winusb", script); }
InterfaceEntry& InterfaceEntry::winusb(const WinUsbScript& script) { return set("winusb", script.json()); }

WinUsbScript::WinUsbScript() : json_(Json::object()) {}
WinUsbScript& WinUsbScript::write_ok() {
    json_["writes"].push_back(Json::object());
    return *this;
}
WinUsbScript& WinUsbScript::write_error(std::uint32_t code) {
    json_["writes"].push_back(Json{{"error", code}});
    return *this;
}
WinUsbScript& WinUsbScript::write_waits() {
    json_["writes"].push_back(Json{{"wait", true}});
    return *this;
}
WinUsbScript& WinUsbScript::read_reply(std::string_view hex) {
    json_["reads"].push_back(Json{{"reply", std::string(hex)}});
    return *this;
}
WinUsbScript& WinUsbScript::read_error(std::uint32_t code) {
    json_["reads"].push_back(Json{{"error", code}});
    return *this;
}
WinUsbScript& WinUsbScript::read_waits() {
    json_["reads"].push_back(Json{{"wait", true}});
    return *this;
}
WinUsbScript& WinUsbScript::initialize_error(std::uint32_t code) {
    json_["initialize_error"] = code;
    return *this;
}
WinUsbScript& WinUsbScript::alternate_setting_error(std::uint32_t code) {
    json_["alternate_setting_error"] = code;
    return *this;
}
WinUsbScript winusb_script() { return WinUsbScript(); }
InterfaceEntry& InterfaceEntry::set(const std::string& entry, const Json& value) {
    json_[entry] = value;
    return *this;
}
InterfaceEntry device_interface(Text guid, Text path) { return InterfaceEntry(guid, path); }

DeviceEntry::DeviceEntry(Text instance_id) : json_{{"instance_id", instance_id.utf8}} {}
DeviceEntry& DeviceEntry::parent(Text instance_id) { return set("parent", instance_id.utf8); }
DeviceEntry& DeviceEntry::absent() { return present(false); }
DeviceEntry& DeviceEntry::present(bool present) { return set("present", present); }
DeviceEntry& DeviceEntry::friendly_name(Text text) { return set("friendly_name", text.utf8); }
DeviceEntry& DeviceEntry::device_desc(Text text) { return set("device_desc", text.utf8); }
DeviceEntry& DeviceEntry::service(Text name) { return set("service", name.utf8); }
DeviceEntry& DeviceEntry::status(std::uint32_t flags) { return set("status", flags); }
DeviceEntry& DeviceEntry::problem(std::uint32_t code) { return set("problem", code); }
DeviceEntry& DeviceEntry::status_result(std::uint32_t configret) { return set("status_result", configret); }
DeviceEntry& DeviceEntry::hardware_ids(const std::vector<Text>& ids) {
    Json list = Json::array();
    for (const Text& id : ids) list.push_back(id.utf8);
    return set("hardware_ids", list);
}
DeviceEntry& DeviceEntry::interface(const InterfaceEntry& entry) {
    json_["interfaces"].push_back(entry.json());
    return *this;
}
DeviceEntry& DeviceEntry::hardware_key(const std::vector<RegValue>& values) {
    return set("hardware_key", values_of(values));
}
DeviceEntry& DeviceEntry::redetect(const Json& when) { return set("redetect", when); }
DeviceEntry& DeviceEntry::set(const std::string& entry, const Json& value) {
    json_[entry] = value;
    return *this;
}
DeviceEntry device(Text instance_id) { return DeviceEntry(instance_id); }

ServiceEntry::ServiceEntry(Text name, Text display_name)
    : json_(Json{{"name", name.utf8}, {"display_name", display_name.utf8}}) {}
ServiceEntry& ServiceEntry::state(const Json& state) {
    json_["state"] = state;
    return *this;
}
ServiceEntry& ServiceEntry::type(std::uint32_t type) {
    json_["type"] = type;
    return *this;
}
ServiceEntry& ServiceEntry::appears_after_call(std::uint32_t call) {
    json_["appears_after_call"] = call;
    return *this;
}
ServiceEntry service(Text name, Text display_name) { return ServiceEntry(name, display_name); }

MachineFile::MachineFile() : json_(Json::object()) {}
MachineFile& MachineFile::device(const DeviceEntry& entry) {
    json_["devices"].push_back(entry.json());
    return *this;
}
MachineFile& MachineFile::devices(const std::vector<DeviceEntry>& entries) {
    for (const DeviceEntry& e : entries) device(e);
    return *this;
}
MachineFile& MachineFile::key(Text path, const std::vector<RegValue>& values) {
    json_["registry"].push_back(Json{{"key", path.utf8}, {"values", values_of(values)}});
    return *this;
}
namespace {
Json with_path(const Text& path, const Json& rest) {
    Json entry = {{"path", path.utf8}};
    for (const auto& [name, value] : rest.items()) entry[name] = value;
    return entry;
}
}  // namespace

Json file_entry(Text path, const Json& description) { return with_path(path, description); }

MachineFile& MachineFile::file(Text path, const Json& description) {
    json_["files"].push_back(with_path(path, description));
    return *this;
}
MachineFile& MachineFile::files(const std::vector<Json>& entries) {
    for (const Json& e : entries) json_["files"].push_back(e);
    return *this;
}
MachineFile& MachineFile::pe_file(Text path, const Json& pe) { return file(path, Json{{"pe", pe}}); }
MachineFile& MachineFile::text_file(Text path, Text text) { return file(path, Json{{"text", text.utf8}}); }
MachineFile& MachineFile::hex_file(Text path, std::string_view hex) {
    return file(path, Json{{"hex", std::string(hex)}});
}
MachineFile& MachineFile::sdk(Text path, const Json& behaviour) {
    json_["sdk"].push_back(with_path(path, behaviour));
    return *this;
}
MachineFile& MachineFile::fault(const std::string& operation, std::uint32_t code, std::uint32_t nth) {
    json_["faults"].push_back(Json{{"operation", operation}, {"nth", nth}, {"code", code}});
    return *this;
}
MachineFile& MachineFile::module_path(Text path) { return set("module_path", path.utf8); }
MachineFile& MachineFile::elevated(bool elevated) { return set("elevated", elevated); }
MachineFile& MachineFile::elevation_prompt_accepted(bool accepted) {
    return set("elevation_prompt_accepted", accepted);
}
MachineFile& MachineFile::process(std::uint64_t pid, Text exe) {
    json_["processes"].push_back(Json{{"pid", pid}, {"exe", exe.utf8}});
    return *this;
}
MachineFile& MachineFile::service(const ServiceEntry& entry) {
    json_["services"].push_back(entry.json());
    return *this;
}
MachineFile& MachineFile::no_services() { return set("services", Json::array()); }
MachineFile& MachineFile::current_directory(Text path) { return set("current_directory", path.utf8); }
MachineFile& MachineFile::local_time(Text when) { return set("local_time", when.utf8); }
MachineFile& MachineFile::environment_variable(Text name, Text value) {
    json_["environment"][name.utf8] = value.utf8;
    return *this;
}
MachineFile& MachineFile::set(const std::string& entry, const Json& value) {
    json_[entry] = value;
    return *this;
}
std::string MachineFile::text() const { return json_.dump(2); }
sim::Machine& MachineFile::use() const { return use_machine(text()); }
MachineFile machine_file() { return MachineFile(); }

}  // namespace vq4::test
