#include "platform/sim/machine_file.h"
#include "platform/win_constants.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <stdexcept>

#include "platform/sim/device_tree.h"
#include "platform/sim/json_document.h"
#include "platform/sim/json_reader.h"
#include "platform/sim/pe_image.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

// DN_NT_DRIVER | DN_NT_ENUMERATOR | DN_REMOVABLE | DN_DISABLEABLE | DN_HAS_PROBLEM
constexpr std::uint32_t kStatusWithProblem = 0x01806400;

std::uint32_t registry_type(const JsonAt& at) {
    if (at.is_unsigned()) {
        return at.as_u32();
    }
    static const std::pair<const char*, std::uint32_t> names[] = {
        {"REG_NONE", 0}, {"REG_SZ", 1},       {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
        {"REG_DWORD", 4}, {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11},
    };
    const std::string name = at.as_string();
    for (const auto& [text, value] : names) {
        if (name == text) return value;
    }
    at.fail("unknown registry type \"" + name + "\"");
}

RegistryValue parse_registry_value(const JsonAt& at) {
    at.only_keys({"name", "type", "data", "hex", "error"});
    RegistryValue value;
    value.name = at.field("name").as_wide();
    if (at.has("error")) {
        // A value whose read fails: it has a name and nothing else.
        if (at.has("type") || at.has("data") || at.has("hex")) at.fail("a value with \"error\" has no type or data");
        value.read_error = at.field("error").as_u32();
        if (*value.read_error == 0) at.field("error").fail("an error code is nonzero");
        return value;
    }
    value.type = registry_type(at.field("type"));
    if (at.has("hex")) {
        value.data = at.field("hex").as_hex_bytes();
        return value;
    }
    const JsonAt data = at.field("data");
    switch (value.type) {
        case 1:
        case 2:
            value.data = utf16le_bytes(data.as_wide(), 1);
            break;
        case 7: {
            for (const JsonAt& item : data.items()) {
                const auto bytes = utf16le_bytes(item.as_wide(), 1);
                value.data.insert(value.data.end(), bytes.begin(), bytes.end());
            }
            value.data.push_back(0);
            value.data.push_back(0);
            break;
        }
        case 4: {
            const std::uint32_t v = data.as_u32();
            for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
            break;
        }
        case 11: {
            const std::uint64_t v = data.as_u64();
            for (int i = 0; i < 8; ++i) value.data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
            break;
        }
        default:
            data.fail("give the bytes of this value type with \"hex\"");
    }
    return value;
}

// Where each value the file gave sits in its key, by key and upper-cased
// name: a value named again replaces the first without a walk through the
// key's values (a file of many values in one key, or of one key given many
// times, would otherwise load in quadratic time).
struct ValuePlaces {
    struct Hash {
        std::size_t operator()(const std::pair<std::size_t, std::wstring>& place) const {
            return std::hash<std::wstring>{}(place.second) * 31 + place.first;
        }
    };
    // (the key's place in the registry, the value's upper-cased name) -> its place in the key
    std::unordered_map<std::pair<std::size_t, std::wstring>, std::size_t, Hash> places;
};
thread_local ValuePlaces* loading_values = nullptr;

void load_values(const JsonAt& values, const std::wstring& key_path, Registry& registry, ValuePlaces& places) {
    RegistryKey& key = registry.create(key_path);
    const auto key_at = static_cast<std::size_t>(&key - registry.keys.data());
    for (const JsonAt& item : values.items()) {
        RegistryValue value = parse_registry_value(item);
        const auto [at, added] = places.places.try_emplace({key_at, to_upper_ascii(value.name)}, key.values.size());
        if (added) {
            key.values.push_back(std::move(value));
        } else {
            key.values[at->second] = std::move(value);
        }
    }
}

// The machine's keys, or an account's (HKCU only), each registry with the
// places of its own values.
void load_registry_into(const JsonAt& at, Registry& registry, ValuePlaces& places, bool current_user_only) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"key", "values", "open_error"});
        const std::wstring path = canonical_registry_path(item.field("key").as_wide());
        const bool machine_key = path == L"HKLM" || path.rfind(L"HKLM\\", 0) == 0;
        const bool user_key = path == L"HKCU" || path.rfind(L"HKCU\\", 0) == 0;
        if (current_user_only && !user_key) item.field("key").fail("an account's key path must start with HKCU\\");
        if (!machine_key && !user_key) {
            item.field("key").fail("a key path must start with HKLM\\, HKCR\\ or HKCU\\");
        }
        if (const std::string problem = registry_path_problem(path); !problem.empty()) item.field("key").fail(problem);
        if (item.has("values")) {
            load_values(item.field("values"), path, registry, places);
        } else {
            registry.create(path);
        }
        if (item.has("open_error")) {
            const JsonAt code = item.field("open_error");
            if (code.as_u32() == 0) code.fail("an error code is nonzero");
            registry.find(path)->open_error = code.as_u32();
        }
    }
}

void load_registry(const JsonAt& at, Machine& m) { load_registry_into(at, m.registry, *loading_values, false); }

// An owner as a machine file names it: "user" (the interactive user),
// "SYSTEM", "Administrators", "TrustedInstaller", or a SID "S-1-...".
std::wstring owner_sid(const JsonAt& at, const Machine& m) {
    const std::wstring name = at.as_wide();
    (void)m;
    if (name == L"user") return L"user";  // the machine's user_sid, whatever the entries' order
    if (name == L"SYSTEM") return kSystemSid;
    if (name == L"Administrators") return kAdministratorsSid;
    if (name == L"TrustedInstaller") return kTrustedInstallerSid;
    if (name.rfind(L"S-1-", 0) == 0 && name.size() < 200) return name;
    at.fail("owner is \"user\", \"SYSTEM\", \"Administrators\", \"TrustedInstaller\" or a SID \"S-1-...\"");
}

// {"NAME": "value", ...}; null removes a variable.
using VariableUpdates = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

// {"NAME": "value", ...}; a null value removes the variable.
VariableUpdates read_variables(const JsonAt& at) {
    if (!at.is_object()) at.fail("expected an object of variable names and values");
    VariableUpdates updates;
    for (const auto& [key, value] : at.members()) {
        const std::wstring name = widen_utf8(key);
        if (name.empty() || name.find(L'=') != std::wstring::npos) {
            at.fail("a variable name is not empty and has no '='");
        }
        updates.emplace_back(name, value.is_null() ? std::nullopt : std::optional<std::wstring>(value.as_wide()));
    }
    return updates;
}

// set_variable for each update in turn, in one pass: names compare without
// regard to letter case through one table, so that many variables load in
// linear time; a name set again moves to the end, a removed one goes.
void apply_variables(std::vector<EnvironmentVariable>& variables, const VariableUpdates& updates) {
    std::unordered_map<std::wstring, std::size_t> places;
    for (std::size_t i = 0; i < variables.size(); ++i) places.emplace(to_upper_ascii(variables[i].name), i);
    std::vector<bool> removed(variables.size(), false);
    for (const auto& [name, value] : updates) {
        const auto [place, added] = places.try_emplace(to_upper_ascii(name), variables.size());
        if (!added) removed[place->second] = true;
        place->second = variables.size();
        variables.push_back({name, value.value_or(std::wstring())});
        removed.push_back(!value.has_value());
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < variables.size(); ++i) {
        if (removed[i]) continue;
        if (kept != i) variables[kept] = std::move(variables[i]);  // never onto itself
        ++kept;
    }
    variables.resize(kept);
}

void load_elevated_account(const JsonAt& at, Machine& m) {
    at.only_keys({"name", "registry", "user_environment"});
    Account account;
    account.name = at.field("name").as_wide();
    if (at.has("registry")) {
        Registry keys;
        ValuePlaces places;
        load_registry_into(at.field("registry"), keys, places, true);
        account.current_user_keys = std::move(keys.keys);
    }
    if (at.has("user_environment")) apply_variables(account.user_environment, read_variables(at.field("user_environment")));
    m.elevated_account = std::move(account);
}

// {"error": 31}, {"wait": true}, {"reply": "0C 00 ..."} or {} (a write that succeeds).
UsbTransferStep load_transfer_step(const JsonAt& at, bool is_read) {
    if (is_read) {
        at.only_keys({"error", "wait", "reply"});
    } else {
        at.only_keys({"error", "wait"});
    }
    UsbTransferStep step;
    int kinds = 0;
    if (at.has("error")) {
        step.error = at.field("error").as_u32();
        if (step.error == 0) at.field("error").fail("an error code is nonzero");
        ++kinds;
    }
    if (at.has("wait")) {
        step.waits = at.field("wait").as_bool();
        if (!step.waits) at.field("wait").fail("\"wait\" is true or left out");
        ++kinds;
    }
    if (at.has("reply")) {
        step.reply = at.field("reply").as_hex_bytes();
        ++kinds;
    }
    if (kinds > 1) at.fail("a step is one of \"error\", \"wait\" or \"reply\"");
    if (is_read && kinds == 0) at.fail("a read step needs \"error\", \"wait\" or \"reply\"");
    return step;
}

WinUsbDevice load_winusb(const JsonAt& at) {
    at.only_keys({"initialize_error", "alternate_setting_error", "writes", "reads"});
    WinUsbDevice w;
    if (at.has("initialize_error")) w.initialize_error = at.field("initialize_error").as_u32();
    if (at.has("alternate_setting_error")) w.alternate_setting_error = at.field("alternate_setting_error").as_u32();
    if (at.has("writes")) {
        for (const JsonAt& step : at.field("writes").items()) w.writes.push_back(load_transfer_step(step, false));
    }
    if (at.has("reads")) {
        for (const JsonAt& step : at.field("reads").items()) w.reads.push_back(load_transfer_step(step, true));
    }
    return w;
}

// A number of milliseconds (or "0x..."), "never" (no value), or the word
// that stands for 0.
std::optional<std::uint64_t> delay_or_never(const JsonAt& at, const char* zero_word) {
    if (at.is_string()) {
        const std::string word = at.as_string();
        if (word == "never") return std::nullopt;
        if (zero_word != nullptr && word == zero_word) return 0;
        if (word.rfind("0x", 0) != 0) {
            at.fail(std::string("expected a number of milliseconds") +
                    (zero_word != nullptr ? std::string(", \"") + zero_word + "\"" : std::string()) + " or \"never\"");
        }
    }
    return at.as_u64();
}

// How the node takes the repair's changes (see docs/machine-file.md).
void load_repair_behaviour(const JsonAt& item, Device& d) {
    if (item.has("remove_error")) d.behaviour.remove_error = item.field("remove_error").as_u32();
    if (item.has("remove")) {
        const JsonAt at = item.field("remove");
        const std::string word = at.as_string();
        if (word == "ok") {
            d.behaviour.remove_flags = 0;
        } else if (word == "need_reboot") {
            d.behaviour.remove_flags = win::DI_NEEDREBOOT_;
        } else if (word == "need_restart") {
            d.behaviour.remove_flags = win::DI_NEEDRESTART_;
        } else {
            at.fail("expected \"ok\", \"need_reboot\" or \"need_restart\"");
        }
        if (d.behaviour.remove_flags != 0 && d.behaviour.remove_error)
            at.fail("a removal that fails (remove_error) is not left to a restart");
    }
    if (item.has("redetect")) d.behaviour.redetect_delay_ms = delay_or_never(item.field("redetect"), "at_once");
    if (item.has("interface_delay_ms"))
        d.behaviour.interface_delay_ms = delay_or_never(item.field("interface_delay_ms"), nullptr);
    if (item.has("firmware_guid")) {
        const JsonAt at = item.field("firmware_guid");
        Guid guid;
        if (!parse_guid(at.as_wide(), guid)) at.fail("expected a braced GUID");
        d.behaviour.firmware_guid = format_guid(guid);
    }
    if (item.has("firmware_guid_returns")) {
        const JsonAt at = item.field("firmware_guid_returns");
        const std::string word = at.as_string();
        if (word == "after_interface_redetect") {
            d.behaviour.firmware_guid_returns = FirmwareGuidReturn::AfterInterfaceRedetect;
        } else if (word == "after_cache_deleted") {
            d.behaviour.firmware_guid_returns = FirmwareGuidReturn::AfterCacheDeleted;
        } else if (word == "never") {
            d.behaviour.firmware_guid_returns = FirmwareGuidReturn::Never;
        } else {
            at.fail("expected \"after_interface_redetect\", \"after_cache_deleted\" or \"never\"");
        }
    }
    if (item.has("restart")) {
        const JsonAt at = item.field("restart");
        const std::string word = at.is_string() ? at.as_string() : std::string();
        if (word == "ok") {
            d.behaviour.restart_error = 0;
            d.behaviour.restart_flags = 0;
        } else if (word == "need_reboot") {
            d.behaviour.restart_flags = win::DI_NEEDREBOOT_;
        } else if (word == "need_restart") {
            d.behaviour.restart_flags = win::DI_NEEDRESTART_;
        } else if (at.is_unsigned() || word.rfind("0x", 0) == 0) {
            d.behaviour.restart_error = at.as_u32();
            if (d.behaviour.restart_error == 0) at.fail("a failing restart needs a nonzero error code");
        } else {
            at.fail("expected \"ok\", \"need_reboot\", \"need_restart\" or an error code");
        }
    }
}

// A property given as {"hex": "41 00 00 00"} (the exact bytes the read
// copies) or {"error": code} (the read fails): kept for the property read.
// Gives the bytes, none for an error.
std::optional<std::vector<std::uint8_t>> load_raw_property(const JsonAt& at, std::uint32_t property, Device& d) {
    at.only_keys({"hex", "error"});
    if (at.has("hex") == at.has("error")) at.fail("give either \"hex\" or \"error\"");
    RawProperty raw;
    std::optional<std::vector<std::uint8_t>> bytes;
    if (at.has("hex")) {
        raw.bytes = at.field("hex").as_hex_bytes();
        bytes = raw.bytes;
    } else {
        raw.error = at.field("error").as_u32();
        if (raw.error == 0) at.field("error").fail("an error code is nonzero");
    }
    d.description.raw_properties[property] = std::move(raw);
    return bytes;
}

// A text property: a string, or exact bytes / an error; the rest of the
// machine sees the text the bytes spell up to their first NUL.
void load_text_property(const JsonAt& item, const char* entry, std::uint32_t property,
                        std::optional<std::wstring>& text, Device& d) {
    if (!item.has(entry)) return;
    const JsonAt at = item.field(entry);
    if (!at.is_object()) {
        text = at.as_wide();
    } else if (const auto bytes = load_raw_property(at, property, d)) {
        text = utf16le_text(*bytes);
    }
}

// The strings of REG_MULTI_SZ bytes, up to the empty one that ends the list.
std::vector<std::wstring> multi_sz_texts(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::wstring> texts;
    for (std::size_t at = 0; at < bytes.size();) {
        std::wstring text = utf16le_text(bytes.data() + at, bytes.size() - at);
        if (text.empty()) break;
        at += 2 * (text.size() + 1);
        texts.push_back(std::move(text));
    }
    return texts;
}

void load_devices(const JsonAt& at, Machine& m) {
    // Instance ids compare without regard to letter case; the machine's index
    // of its nodes keeps loading a machine of many nodes linear.
    const std::size_t first = m.devices.size();
    m.devices.reserve(first + (at.is_array() ? at.value().count : 0));
    std::vector<std::wstring> removed_ids;
    for (const JsonAt& item : at.items()) {
        item.only_keys({"instance_id", "parent", "present", "friendly_name", "device_desc", "service", "status",
                        "problem", "status_result", "interfaces", "hardware_key", "hardware_ids", "remove_error",
                        "remove", "redetect", "firmware_guid", "firmware_guid_returns", "interface_delay_ms",
                        "restart", "removed", "orphaned_by_removal", "removal_pending", "detected_values"});
        Device d;
        d.description.instance_id = item.field("instance_id").as_wide();
        if (d.description.instance_id.empty()) item.field("instance_id").fail("an instance id may not be empty");
        // MAX_DEVICE_ID_LEN (200) includes the terminating NUL.
        if (d.description.instance_id.size() >= 200)
            item.field("instance_id").fail("an instance id has at most 199 characters");
        if (item.has("parent")) d.description.parent_id = item.field("parent").as_wide();
        if (item.has("present")) d.description.present = item.field("present").as_bool();
        load_text_property(item, "friendly_name", win::SPDRP_FRIENDLYNAME_, d.description.friendly_name, d);
        load_text_property(item, "device_desc", win::SPDRP_DEVICEDESC_, d.description.device_desc, d);
        load_text_property(item, "service", win::SPDRP_SERVICE_, d.description.service, d);
        if (item.has("hardware_ids") && item.field("hardware_ids").is_object()) {
            if (const auto bytes = load_raw_property(item.field("hardware_ids"), win::SPDRP_HARDWAREID_, d)) {
                d.description.hardware_ids = multi_sz_texts(*bytes);
            }
        } else if (item.has("hardware_ids")) {
            std::vector<std::wstring> ids;
            for (const JsonAt& id : item.field("hardware_ids").items()) {
                ids.push_back(id.as_wide());
                // An empty string would end the REG_MULTI_SZ list.
                if (ids.back().empty()) id.fail("a hardware id may not be empty");
            }
            d.description.hardware_ids = std::move(ids);
        }
        if (item.has("problem")) d.description.problem = item.field("problem").as_u32();
        // A node with a problem code is flagged DN_HAS_PROBLEM and not started,
        // unless the file gives the flags itself.
        if (d.description.problem != 0) d.description.status = kStatusWithProblem;
        if (item.has("status")) d.description.status = item.field("status").as_u32();
        if (item.has("status_result")) d.description.status_result = item.field("status_result").as_u32();
        if (item.has("interfaces")) {
            for (const JsonAt& iface : item.field("interfaces").items()) {
                iface.only_keys({"guid", "path", "held_by_other_process", "winusb"});
                DeviceInterfaceRecord record;
                record.guid = iface.field("guid").as_wide();
                record.path = iface.field("path").as_wide();
                if (iface.has("held_by_other_process")) {
                    // true, or the error code CreateFileW gives while it is held.
                    const JsonAt held = iface.field("held_by_other_process");
                    if (held.is_boolean()) {
                        record.held_by_other_process = held.as_bool();
                    } else {
                        record.held_by_other_process = true;
                        record.held_open_error = held.as_u32();
                        if (*record.held_open_error == 0) held.fail("a held interface fails to open with a nonzero code");
                    }
                }
                if (iface.has("winusb")) record.winusb = load_winusb(iface.field("winusb"));
                d.description.interfaces.push_back(std::move(record));
            }
        }
        // Where the repair's changes left the node (a machine's state written
        // by the simulated machine): removed with its hardware attached,
        // orphaned by its parent's removal, or left to be removed at the
        // next restart.
        const bool removed = item.has("removed") && item.field("removed").as_bool();
        if (removed && d.description.present) item.field("removed").fail("a removed node is not present");
        if (item.has("orphaned_by_removal")) {
            d.state.phantom_by_removal = item.field("orphaned_by_removal").as_bool();
            if (d.state.phantom_by_removal && d.description.present)
                item.field("orphaned_by_removal").fail("an orphaned node is not present");
        }
        if (item.has("removal_pending")) d.state.removal_pending = item.field("removal_pending").as_bool();
        if (item.has("detected_values")) {
            if (!removed) item.field("detected_values").fail("only a removed node has \"detected_values\"");
            std::vector<RegistryValue> values;
            for (const JsonAt& value : item.field("detected_values").items()) values.push_back(parse_registry_value(value));
            d.behaviour.detected_values = std::move(values);
        }
        if (removed) {
            if (item.has("hardware_key")) item.field("hardware_key").fail("a removed node has no key");
            removed_ids.push_back(d.description.instance_id);
        } else {
            // Every node has its key below Enum, as on Windows; removal deletes it.
            m.registry.create(instance_key_path(d.description.instance_id));
        }
        if (item.has("hardware_key")) {
            load_values(item.field("hardware_key"), hardware_key_path(d.description.instance_id), m.registry, *loading_values);
        }
        load_repair_behaviour(item, d);
        if (m.find_device(d.description.instance_id) != nullptr)
            item.field("instance_id").fail("duplicate instance id");
        m.add_device(std::move(d));
    }
    for (std::size_t i = first; i < m.devices.size(); ++i) {
        const Device& d = m.devices[i];
        if (d.description.parent_id.empty()) continue;
        const Device* parent = m.find_device(d.description.parent_id);
        if (parent == nullptr) {
            at.at(i - first).field("parent").fail("no device has this instance id");
        }
        // Removing a node removes its children: a present node has a present parent.
        if (d.description.present && !parent->description.present) {
            at.at(i - first).fail("a present device needs a present parent");
        }
    }
    // A device tree has roots: walking up from any node ends.
    if (const auto in_cycle = first_node_in_parent_cycle(m)) {
        at.at(*in_cycle - first).field("parent").fail("the parents of this device form a cycle");
    }
    // Removed nodes leave the tree, keeping their place in the system's order.
    for (const std::wstring& id : removed_ids) {
        if (std::optional<Device> taken = m.take_device(id)) m.removed_devices.push_back(std::move(*taken));
    }
}

// {"machine": "0x8664", "file_version": "1.51.0.0"}: the bytes of a DLL
// image for that machine with that version resource (none without
// "file_version"; "fixed_file_info": false leaves the version block without
// its VS_FIXEDFILEINFO, "resource_section": false gives no resources at all;
// "exports" names the functions its export directory lists).
std::vector<std::uint8_t> pe_image_bytes(const JsonAt& at) {
    at.only_keys({"machine", "file_version", "fixed_file_info", "resource_section", "exports"});
    PeImageShape shape;
    shape.machine = at.field("machine").as_u16();
    if (at.has("file_version")) {
        shape.file_version = parse_file_version(at.field("file_version").as_string());
        if (!shape.file_version) at.field("file_version").fail("file_version is \"a.b.c.d\" with numbers up to 65535");
    }
    if (at.has("fixed_file_info")) shape.fixed_file_info = at.field("fixed_file_info").as_bool();
    if (at.has("resource_section")) shape.resource_section = at.field("resource_section").as_bool();
    if (at.has("exports")) {
        for (const JsonAt& name : at.field("exports").items()) shape.exports.push_back(name.as_string());
    }
    return synthesize_pe_image(shape);
}

void load_files(const JsonAt& at, Machine& m) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"path", "attributes", "directory", "text", "hex", "pe", "held_exclusively", "held_open", "owner",
                        "writable_by_non_admins"});
        File f;
        f.path = item.field("path").as_wide();
        if (item.has("directory") && item.field("directory").as_bool()) f.attributes = 0x10;
        if (item.has("attributes")) f.attributes = item.field("attributes").as_u32();
        if (item.has("text")) {
            const std::string text = item.field("text").as_string();
            f.bytes.assign(text.begin(), text.end());
        }
        if (item.has("hex")) f.bytes = item.field("hex").as_hex_bytes();
        if (item.has("pe")) f.bytes = pe_image_bytes(item.field("pe"));
        if (item.has("held_exclusively")) f.held_exclusively = item.field("held_exclusively").as_bool();
        if (item.has("held_open")) {
            const JsonAt held = item.field("held_open");
            held.only_keys({"access", "share"});
            f.held_open = File::OtherProcessOpen{held.field("access").as_u32(), held.field("share").as_u32()};
        }
        if (item.has("owner")) f.owner = owner_sid(item.field("owner"), m);
        if (item.has("writable_by_non_admins")) f.writable_by_non_admins = item.field("writable_by_non_admins").as_bool();
        m.files.push_back(std::move(f));
    }
}

// [1, 0, ...]: one answer per call, the last repeating; at least one.
std::vector<std::int32_t> signed_sequence(const JsonAt& at) {
    std::vector<std::int32_t> answers;
    for (const JsonAt& answer : at.items()) answers.push_back(answer.as_i32());
    if (answers.empty()) at.fail("a sequence of answers has at least one");
    return answers;
}

void load_sdk_libraries(const JsonAt& at, Machine& m) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"path", "load_error", "missing_entry_points", "init_result", "version", "is_device_changed",
                        "detection_delay_ms", "device_count", "devices", "loads_companion_by_name"});
        SdkLibrary library;
        library.path = item.field("path").as_wide();
        if (item.has("load_error")) library.load_error = item.field("load_error").as_u32();
        if (item.has("missing_entry_points")) {
            for (const JsonAt& name : item.field("missing_entry_points").items()) {
                library.missing_entry_points.push_back(name.as_string());
            }
        }
        if (item.has("init_result")) library.init_result = item.field("init_result").as_i32();
        if (item.has("version")) library.version = item.field("version").as_u16();
        if (item.has("is_device_changed") && item.field("is_device_changed").is_array()) {
            library.device_changed_results = signed_sequence(item.field("is_device_changed"));
        } else if (item.has("is_device_changed")) {
            const JsonAt mode = item.field("is_device_changed");
            const std::string name = mode.as_string();
            if (name == "when_changed") {
                library.device_changed = SdkDeviceChanged::WhenChanged;
            } else if (name == "always") {
                library.device_changed = SdkDeviceChanged::Always;
            } else if (name == "never") {
                library.device_changed = SdkDeviceChanged::Never;
            } else {
                mode.fail("is_device_changed is \"when_changed\", \"always\" or \"never\"");
            }
        }
        if (item.has("detection_delay_ms")) library.detection_delay_ms = item.field("detection_delay_ms").as_u32();
        if (item.has("device_count") && item.field("device_count").is_array()) {
            library.device_counts = signed_sequence(item.field("device_count"));
        } else if (item.has("device_count")) {
            library.device_count = item.field("device_count").as_i32();
        }
        if (item.has("devices")) {
            std::vector<SdkDeviceRecordSetup> devices;
            for (const JsonAt& record : item.field("devices").items()) {
                record.only_keys({"name", "vid", "pid", "symbolic_link", "serial_number", "firmware", "result"});
                SdkDeviceRecordSetup d;
                if (record.has("name")) d.name = record.field("name").as_wide();
                if (record.has("vid")) d.vendor_id = record.field("vid").as_u16();
                if (record.has("pid")) d.product_id = record.field("pid").as_u16();
                if (record.has("symbolic_link")) d.symbolic_link = record.field("symbolic_link").as_wide();
                if (record.has("serial_number")) d.serial_number = record.field("serial_number").as_wide();
                if (record.has("firmware")) d.firmware_version = record.field("firmware").as_u16();
                if (record.has("result")) d.result = record.field("result").as_i32();
                devices.push_back(std::move(d));
            }
            library.devices = std::move(devices);
        }
        if (item.has("loads_companion_by_name")) {
            library.loads_companion_by_name = item.field("loads_companion_by_name").as_bool();
        }
        m.sdk_libraries.push_back(std::move(library));
    }
}

void load_processes(const JsonAt& at, Machine& m) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"pid", "exe"});
        m.processes.push_back({item.field("pid").as_u32(), item.field("exe").as_wide()});
    }
}

void load_services(const JsonAt& at, Machine& m) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"name", "display_name", "type", "state", "appears_after_call"});
        Service s;
        s.name = item.field("name").as_wide();
        if (item.has("display_name")) s.display_name = item.field("display_name").as_wide();
        if (item.has("type")) s.type = item.field("type").as_u32();
        if (item.has("state")) {
            const JsonAt state = item.field("state");
            if (state.is_string()) {
                const std::string name = state.as_string();
                if (name == "running") {
                    s.state = 4;
                } else if (name == "stopped") {
                    s.state = 1;
                } else {
                    state.fail("state is \"running\", \"stopped\" or a SERVICE_* number");
                }
            } else {
                s.state = state.as_u32();
            }
        }
        if (item.has("appears_after_call")) s.appears_after_call = item.field("appears_after_call").as_u32();
        m.services.push_back(std::move(s));
    }
}

// {"NAME": "value", ...} over the default variables; null removes one. The
// system's variables, which the process has too.
void load_environment(const JsonAt& at, Machine& m) {
    const VariableUpdates updates = read_variables(at);
    apply_variables(m.system_environment, updates);
    // A variable of the user's own, in whichever order the entries come, stays the user's.
    std::unordered_set<std::wstring> users;
    for (const EnvironmentVariable& v : m.user_environment) users.insert(to_upper_ascii(v.name));
    VariableUpdates process;
    for (const auto& update : updates) {
        if (users.count(to_upper_ascii(update.first)) == 0) process.push_back(update);
    }
    apply_variables(m.environment, process);
}

// The user's own variables (HKCU\Environment): the process has them over
// the system's; ExpandEnvironmentStringsForUserW without a token does not.
void load_user_environment(const JsonAt& at, Machine& m) {
    const VariableUpdates updates = read_variables(at);
    for (const auto& update : updates) {
        if (!update.second) at.fail("a user variable has a value");
    }
    apply_variables(m.environment, updates);
    apply_variables(m.user_environment, updates);
}

void load_faults(const JsonAt& at, Machine& m) {
    for (const JsonAt& item : at.items()) {
        item.only_keys({"operation", "nth", "code", "instance"});
        Fault f;
        f.operation = item.field("operation").as_string();
        f.nth = item.has("nth") ? item.field("nth").as_u32() : 1;
        f.code = item.field("code").as_u32();
        if (item.has("instance")) {
            const std::string instance = item.field("instance").as_string();
            if (instance != "first" && instance != "both") item.field("instance").fail("must be \"first\" or \"both\"");
            f.first_instance_only = instance == "first";
        }
        m.faults.push_back(std::move(f));
    }
}

void load_local_time(const JsonAt& at, Machine& m) {
    LocalTimeRecord t;
    int year, month, day, hour, minute, second;
    char tail = 0;
    const std::string text = at.as_string();
    // sscanf's %d has no defined result for a number that does not fit.
    std::size_t digits = 0;
    for (const char c : text) {
        digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
        if (digits > 5) at.fail("local_time is \"YYYY-MM-DD hh:mm:ss\"");
    }
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &year, &month, &day, &hour, &minute, &second, &tail) != 6 ||
        year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        at.fail("local_time is \"YYYY-MM-DD hh:mm:ss\"");
    }
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint16_t>(month);
    t.day = static_cast<std::uint16_t>(day);
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    m.local_time = t;
}

// {"after_change": 3, "kind": "killed" | "restarted", "state_file": "x.json"}
// (interruption.h): a test-only setting.
void load_interrupt(const JsonAt& at, Machine& m) {
    at.only_keys({"after_change", "kind", "state_file"});
    InterruptSetting setting;
    setting.after_change = at.field("after_change").as_u32();
    if (at.has("kind")) {
        const std::string kind = at.field("kind").as_string();
        if (kind == "killed") {
            setting.kind = InterruptionKind::Killed;
        } else if (kind == "restarted") {
            setting.kind = InterruptionKind::Restarted;
        } else {
            at.field("kind").fail("expected \"killed\" or \"restarted\"");
        }
    }
    if (at.has("state_file")) setting.state_file = at.field("state_file").as_string();
    m.interrupt = std::move(setting);
}

using SectionLoader = std::function<void(const JsonAt&, Machine&)>;

const std::vector<std::pair<std::string, SectionLoader>>& section_loaders() {
    static const std::vector<std::pair<std::string, SectionLoader>> loaders = {
        {"description", [](const JsonAt& at, Machine&) { (void)at.as_string(); }},
        {"module_path", [](const JsonAt& at, Machine& m) { m.module_path = at.as_wide(); }},
        {"current_directory", [](const JsonAt& at, Machine& m) { m.current_directory = at.as_wide(); }},
        {"environment", load_environment},
        {"user_environment", load_user_environment},
        {"elevated_account", load_elevated_account},
        {"user_sid", [](const JsonAt& at, Machine& m) {
             const std::wstring sid = at.as_wide();
             if (sid.rfind(L"S-1-5-21-", 0) != 0 || sid.size() > 200) at.fail("user_sid is a SID \"S-1-5-21-...\"");
             m.user_sid = sid;
         }},
        {"local_time", load_local_time},
        {"native_architecture", [](const JsonAt& at, Machine& m) { m.native_architecture = at.as_u16(); }},
        {"native_machine", [](const JsonAt& at, Machine& m) { m.native_machine = at.as_u16(); }},
        {"is_wow64_process2", [](const JsonAt& at, Machine& m) { m.has_is_wow64_process2 = at.as_bool(); }},
        {"console_attribute", [](const JsonAt& at, Machine& m) { m.console_attribute = at.as_u16(); }},
        {"console_width", [](const JsonAt& at, Machine& m) { m.console_width = at.as_u16(); }},
        {"elevated", [](const JsonAt& at, Machine& m) { m.elevated = at.as_bool(); }},
        {"elevation_prompt_accepted", [](const JsonAt& at, Machine& m) { m.elevation_prompt_accepted = at.as_bool(); }},
        {"runas_elevates", [](const JsonAt& at, Machine& m) { m.runas_elevates = at.as_bool(); }},
        {"registry", load_registry},
        {"devices", load_devices},
        {"files", load_files},
        {"processes", load_processes},
        {"services", load_services},
        {"sdk", load_sdk_libraries},
        {"faults", load_faults},
        {"interrupt", load_interrupt},
    };
    return loaders;
}

}  // namespace

namespace {

// Parses and loads `text`; a machine file's text (`file_text`, the same
// string) is released as soon as it is parsed, so that a large file is not
// held in memory three times over (text, document, machine).
bool parse_and_load(const std::string& text, std::string* file_text, const std::string& source_name, Machine& out,
                    std::string& error) {
    JsonDocument document;
    JsonSyntaxError syntax;
    if (!parse_json(text, document, syntax)) {
        const auto [line, column] = line_and_column(text, syntax.byte);
        error = "machine file '" + source_name + "': line " + std::to_string(line) + ", column " +
                std::to_string(column) + ": " + syntax.message;
        return false;
    }
    if (file_text != nullptr) {
        file_text->clear();
        file_text->shrink_to_fit();
    }
    Machine m;
    m.source = widen_utf8(source_name);
    ValuePlaces value_places;
    loading_values = &value_places;
    struct Done {
        ~Done() { loading_values = nullptr; }
    } done;
    try {
        const JsonAt root{&document, 0};
        if (!root.is_object()) root.fail("the machine file must be a JSON object");
        for (const auto& [key, value] : root.members()) {
            const auto& loaders = section_loaders();
            const auto loader =
                std::find_if(loaders.begin(), loaders.end(), [name = key](const auto& l) { return l.first == name; });
            if (loader == loaders.end()) root.fail("unknown entry \"" + std::string(key) + "\"");
            loader->second(value, m);
        }
    } catch (const MachineFileError& e) {
        error = "machine file '" + source_name + "': at " + (e.pointer.empty() ? std::string("/") : e.pointer) +
                ": " + e.what();
        // Names from the file (an unknown entry's) may hold line breaks: the message stays one line.
        for (char& c : error) {
            if (static_cast<unsigned char>(c) < 0x20) c = '?';
        }
        return false;
    }
    out = std::move(m);
    return true;
}

}  // namespace

bool parse_machine_json(const std::string& text, const std::string& source_name, Machine& out, std::string& error) {
    return parse_and_load(text, nullptr, source_name, out, error);
}

bool load_machine_file(const std::string& path, Machine& out, std::string& error) {
    const std::string named = "machine file '" + path + "': ";
    // Without blocking: a FIFO with no writer would hold the open forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = named + "cannot be opened (" + std::strerror(errno) + ")";
        return false;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = named + "cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    // A folder, a device such as /dev/zero (endless), a FIFO or a socket:
    // only a file has a size to check before reading.
    if (!S_ISREG(info.st_mode)) {
        error = named + "is not a regular file";
        return false;
    }
    const auto too_large = [&] {
        error = named + "larger than the " + std::to_string(kMaxMachineFileBytes) + " bytes (" +
                std::to_string(kMaxMachineFileBytes >> 20) + " MiB) a machine file may have";
        return false;
    };
    if (static_cast<std::uint64_t>(info.st_size) > kMaxMachineFileBytes) return too_large();
    // One buffer of the file's size: a machine of many nodes is megabytes.
    // A file that grows while it is read is cut off at the cap, not followed.
    std::string content(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == content.size()) {
            if (content.size() > kMaxMachineFileBytes) return too_large();
            content.resize(std::min<std::size_t>(std::max<std::size_t>(content.size() * 2, 4096), kMaxMachineFileBytes + 1));
        }
        const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = named + "cannot be read (" + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return parse_and_load(content, &content, path, out, error);
}

}  // namespace vq4::sim
