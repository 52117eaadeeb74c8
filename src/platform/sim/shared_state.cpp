// The machine both instances of a relaunch run on. On Windows the elevated
// instance changes the one registry and device tree that the first instance
// then reads; on the Linux build each instance loads the machine file into
// its own process. So the elevated instance leaves, when it ends, what the
// repair can change (the registry, and the device nodes' presence, status
// and device interfaces) in a file that the first instance takes over when
// its wait sees that instance end. HKCU is not part of it: each instance
// keeps its own account's keys, as the elevated instance may run as another
// account whose HKCU the first window never sees.
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/sim/machine.h"
#include "platform/sim/relaunch.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

using nlohmann::json;

std::string& state_out_path() {
    static std::string path;
    return path;
}

json optional_code(const std::optional<std::uint32_t>& code) { return code ? json(*code) : json(nullptr); }

std::optional<std::uint32_t> code_of(const json& value) {
    if (!value.is_number_unsigned()) return std::nullopt;
    return value.get<std::uint32_t>();
}

std::wstring wide(const json& value) { return utf16_from_utf8(value.get<std::string>()); }

bool is_current_user_key(std::wstring_view path) {
    return equals_nocase(path, L"HKCU") || starts_with_nocase(path, L"HKCU\\");
}

}  // namespace

void write_machine_state(const std::string& path) {
    const Machine& m = machine();
    json keys = json::array();
    for (const RegistryKey& key : m.registry.keys) {
        if (is_current_user_key(key.path())) continue;
        json values = json::array();
        for (const RegistryValue& value : key.values) {
            values.push_back({{"name", narrow(value.name)},
                              {"type", value.type},
                              {"data", value.data},
                              {"read_error", optional_code(value.read_error)}});
        }
        keys.push_back({{"path", narrow(std::wstring(key.path()))}, {"open_error", optional_code(key.open_error)}, {"values", values}});
    }
    json devices = json::array();
    for (const Device& device : m.devices) {
        json interfaces = json::array();
        for (const DeviceInterfaceRecord& record : device.description.interfaces) {
            interfaces.push_back({{"guid", narrow(record.guid)}, {"path", narrow(record.path)}});
        }
        devices.push_back({{"instance_id", narrow(device.description.instance_id)},
                           {"present", device.description.present},
                           {"status", device.description.status},
                           {"problem", device.description.problem},
                           {"interfaces", interfaces}});
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << json{{"registry", keys}, {"devices", devices}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool apply_machine_state(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const json state = json::parse(text.str(), nullptr, false);
    if (!state.is_object() || !state.contains("registry") || !state.contains("devices")) return false;
    Machine& m = machine();

    Registry registry;
    for (const json& key : state.at("registry")) {
        const std::wstring path = wide(key.at("path"));
        if (is_current_user_key(path)) continue;
        RegistryKey& created = registry.create(path);
        created.open_error = code_of(key.at("open_error"));
        for (const json& value : key.at("values")) {
            RegistryValue v;
            v.name = wide(value.at("name"));
            v.type = value.at("type").get<std::uint32_t>();
            v.data = value.at("data").get<std::vector<std::uint8_t>>();
            v.read_error = code_of(value.at("read_error"));
            Registry::set_value(created, std::move(v));
        }
    }
    // This instance's own HKCU, as it was.
    for (const RegistryKey& key : m.registry.keys) {
        if (!is_current_user_key(key.path())) continue;
        RegistryKey& kept = registry.create(std::wstring(key.path()));
        kept.values = key.values;
        kept.open_error = key.open_error;
    }
    m.registry = std::move(registry);

    for (const json& left : state.at("devices")) {
        const std::wstring id = wide(left.at("instance_id"));
        for (Device& device : m.devices) {
            if (!equals_nocase(device.description.instance_id, id)) continue;
            device.description.present = left.at("present").get<bool>();
            device.description.status = left.at("status").get<std::uint32_t>();
            device.description.problem = left.at("problem").get<std::uint32_t>();
            // The interfaces keep what the machine file says of their device
            // (its WinUSB answers) when they are the same ones.
            std::vector<DeviceInterfaceRecord> interfaces;
            for (const json& record : left.at("interfaces")) {
                DeviceInterfaceRecord kept;
                kept.guid = wide(record.at("guid"));
                kept.path = wide(record.at("path"));
                for (const DeviceInterfaceRecord& known : device.description.interfaces) {
                    if (equals_nocase(known.guid, kept.guid)) {
                        const std::wstring path_now = kept.path;
                        kept = known;
                        kept.path = path_now;
                    }
                }
                interfaces.push_back(std::move(kept));
            }
            device.description.interfaces = std::move(interfaces);
            device.state.winusb_transfers.clear();
            // What the elevated instance waited for has come.
            device.state.arrives_at_ms.reset();
            device.state.interfaces_at_ms.reset();
            device.state.phantom_by_removal = false;
        }
    }
    return true;
}

void leave_machine_state() {
    if (!state_out_path().empty()) write_machine_state(state_out_path());
}

void leave_machine_state_at_exit(const std::string& path) {
    state_out_path() = path;
    std::atexit(leave_machine_state);
}

}  // namespace vq4::sim
