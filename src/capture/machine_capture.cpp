#include "capture/machine_capture.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "inspect/usb_nodes.h"
#include "platform/device_changes.h"
#include "platform/environment.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::capture {

namespace {

using json = nlohmann::ordered_json;

// The capture in force and what it needs to place a note: the key each open
// registry handle stands for, the node of each devnode.
struct Recorder {
    Capture* capture = nullptr;
    std::map<std::uintptr_t, std::wstring> open_keys;
    std::wstring winusb_path;  // the interface WinUSB was last initialised on
};

Recorder& recorder() {
    static Recorder instance;
    return instance;
}

Capture* current() { return recorder().capture; }

std::string u8(const std::wstring& text) { return utf8_text(text); }

Key& key_at(Capture& capture, const std::wstring& path) {
    for (Key& key : capture.keys) {
        if (equals_nocase(key.path, path)) return key;
    }
    Key key;
    key.path = path;
    capture.keys.push_back(std::move(key));
    return capture.keys.back();
}

Node* node_of(Capture& capture, std::uint32_t dev_inst) {
    for (Node& node : capture.nodes) {
        if (node.dev_inst == dev_inst) return &node;
    }
    return nullptr;
}

Node* node_named(Capture& capture, const std::wstring& instance_id) {
    for (Node& node : capture.nodes) {
        if (equals_nocase(node.instance_id, instance_id)) return &node;
    }
    return nullptr;
}

File& file_at(Capture& capture, const std::wstring& path) {
    for (File& file : capture.files) {
        if (equals_nocase(file.path, path)) return file;
    }
    File file;
    file.path = path;
    capture.files.push_back(std::move(file));
    return capture.files.back();
}

// The path Windows gives a device interface: "\\?\" + the instance id with
// '#' for '\' + '#' + the class GUID, in lower case.
std::wstring interface_path_of(const std::wstring& instance_id, const std::wstring& guid) {
    std::wstring path = L"\\\\?\\";
    for (const wchar_t c : instance_id + L"\\" + guid) {
        path += c == L'\\' ? L'#' : (c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c);
    }
    return path;
}

// The node whose instance id a device path carries ("\\?\usb#vid_...#...#{guid}").
Node* node_of_path(Capture& capture, const std::wstring& path) {
    if (path.size() < 4 || path.compare(0, 4, L"\\\\?\\") != 0) return nullptr;
    const std::wstring::size_type last = path.rfind(L'#');
    if (last == std::wstring::npos || last < 4) return nullptr;
    std::wstring instance_id = path.substr(4, last - 4);
    std::replace(instance_id.begin(), instance_id.end(), L'#', L'\\');
    return node_named(capture, instance_id);
}

Interface* interface_by_path(Capture& capture, const std::wstring& path) {
    for (Node& node : capture.nodes) {
        for (Interface& iface : node.interfaces) {
            if (equals_nocase(iface.path, path)) return &iface;
        }
    }
    return nullptr;
}

Interface& interface_on(Node& node, const std::wstring& guid) {
    for (Interface& iface : node.interfaces) {
        if (equals_nocase(iface.guid, guid)) return iface;
    }
    Interface iface;
    iface.guid = guid;
    node.interfaces.push_back(std::move(iface));
    return node.interfaces.back();
}

void merge_value(std::vector<Value>& values, const std::wstring& name, const platform::RegRead& read) {
    // A value that is not there is simply left out of the capture.
    if (read.status == static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_)) return;
    Value* value = nullptr;
    for (Value& existing : values) {
        if (equals_nocase(existing.name, name)) value = &existing;
    }
    if (value == nullptr) {
        Value added;
        added.name = name;
        values.push_back(std::move(added));
        value = &values.back();
    }
    if (value->complete) return;  // the bytes are known; a later size query adds nothing
    if (read.status == 0 && read.data.size() == read.size) {
        // A size query copies no data: only a read that brought bytes is complete.
        if (read.size == 0 || !read.data.empty()) {
            value->error = 0;
            value->type = read.type;
            value->data = read.data;
            value->size = read.size;
            value->complete = true;
            return;
        }
    }
    if (read.status == 0 || read.status == static_cast<std::int32_t>(win::ERROR_MORE_DATA_)) {
        value->error = 0;
        value->type = read.type;
        value->size = read.size;
        return;
    }
    value->error = read.status;
}

Sdk* last_sdk() {
    Capture* capture = current();
    return capture == nullptr || capture->sdks.empty() ? nullptr : &capture->sdks.back();
}

// ---- The machine file ----

std::string hex_text(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::string hex_number(std::uint64_t value, int digits) {
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (int i = digits - 1; i >= 0; --i) text += hex[(value >> (4 * i)) & 0xF];
    return "0x" + text;
}

// The UTF-16 units of `bytes` when they are whole units, each a character
// that JSON can hold as such (no lone surrogate).
std::optional<std::wstring> clean_units(const std::vector<std::uint8_t>& bytes, std::size_t begin, std::size_t end) {
    std::wstring text;
    for (std::size_t at = begin; at + 1 < end; at += 2) {
        const std::uint32_t unit = bytes[at] | (bytes[at + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 3 < end) {
            const std::uint32_t low = bytes[at + 2] | (bytes[at + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            if constexpr (sizeof(wchar_t) == 2) {
                text += static_cast<wchar_t>(unit);
                text += static_cast<wchar_t>(low);
            } else {
                text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            }
            at += 2;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) return std::nullopt;
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

// Text with exactly one terminating NUL and none before it, as the
// machine file writes a string.
std::optional<std::wstring> terminated_text(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return std::nullopt;
    const std::size_t end = bytes.size() - 2;
    if (bytes[end] != 0 || bytes[end + 1] != 0) return std::nullopt;
    for (std::size_t at = 0; at < end; at += 2) {
        if (bytes[at] == 0 && bytes[at + 1] == 0) return std::nullopt;
    }
    return clean_units(bytes, 0, end);
}

std::optional<json> multi_text(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return std::nullopt;
    json list = json::array();
    std::size_t at = 0;
    for (;;) {
        std::size_t end = at;
        while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
        if (end + 1 >= bytes.size()) return std::nullopt;  // no terminator
        if (end == at) return end + 2 == bytes.size() ? std::optional<json>(list) : std::nullopt;
        const std::optional<std::wstring> text = clean_units(bytes, at, end);
        if (!text) return std::nullopt;
        list.push_back(u8(*text));
        at = end + 2;
    }
}

json type_json(std::uint32_t type) {
    switch (type) {
        case 0: return "REG_NONE";
        case 1: return "REG_SZ";
        case 2: return "REG_EXPAND_SZ";
        case 3: return "REG_BINARY";
        case 4: return "REG_DWORD";
        case 7: return "REG_MULTI_SZ";
        case 11: return "REG_QWORD";
        default: return type;
    }
}

std::uint64_t little_endian(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

json value_json(const Value& value) {
    json entry = {{"name", u8(value.name)}};
    if (value.error != 0) {
        entry["error"] = value.error;
        return entry;
    }
    entry["type"] = type_json(value.type);
    if (!value.complete) {
        // Only the type and the size were read: the bytes stand in as zeros.
        entry["hex"] = hex_text(std::vector<std::uint8_t>(value.size, 0));
        return entry;
    }
    if (value.type == win::REG_SZ_ || value.type == win::REG_EXPAND_SZ_) {
        if (const auto text = terminated_text(value.data)) {
            entry["data"] = u8(*text);
            return entry;
        }
    } else if (value.type == win::REG_MULTI_SZ_) {
        if (auto list = multi_text(value.data)) {
            entry["data"] = std::move(*list);
            return entry;
        }
    } else if ((value.type == win::REG_DWORD_ && value.data.size() == 4) ||
               (value.type == win::REG_QWORD_ && value.data.size() == 8)) {
        entry["data"] = little_endian(value.data);
        return entry;
    }
    entry["hex"] = hex_text(value.data);
    return entry;
}

json values_json(const std::vector<Value>& values) {
    json list = json::array();
    for (const Value& value : values) list.push_back(value_json(value));
    return list;
}

json property_json(const Property& property) {
    if (property.error == 0) {
        if (const auto text = terminated_text(property.data)) return u8(*text);
        return {{"hex", hex_text(property.data)}};
    }
    if (property.error == win::ERROR_INSUFFICIENT_BUFFER_) {
        return {{"hex", hex_text(std::vector<std::uint8_t>(property.required_size, 0))}};
    }
    return {{"error", property.error}};
}

json transfers_json(const std::vector<Transfer>& transfers, bool reads) {
    json list = json::array();
    for (const Transfer& transfer : transfers) {
        if (transfer.error == win::ERROR_SEM_TIMEOUT_) {
            list.push_back({{"wait", true}});
        } else if (transfer.error != 0) {
            list.push_back({{"error", transfer.error}});
        } else if (reads) {
            list.push_back({{"reply", hex_text(transfer.reply)}});
        } else {
            list.push_back(json::object());
        }
    }
    return list;
}

json interface_json(const Interface& iface, const std::wstring& instance_id) {
    json entry = {{"guid", u8(iface.guid)},
                  {"path", u8(iface.path.empty() ? interface_path_of(instance_id, iface.guid) : iface.path)}};
    if (iface.open_error) entry["held_by_other_process"] = *iface.open_error;
    json winusb = json::object();
    if (iface.initialize_error && *iface.initialize_error != 0) winusb["initialize_error"] = *iface.initialize_error;
    if (iface.alternate_setting_error && *iface.alternate_setting_error != 0) {
        winusb["alternate_setting_error"] = *iface.alternate_setting_error;
    }
    if (!iface.writes.empty()) winusb["writes"] = transfers_json(iface.writes, false);
    if (!iface.reads.empty()) winusb["reads"] = transfers_json(iface.reads, true);
    if (!winusb.empty()) entry["winusb"] = std::move(winusb);
    return entry;
}

const Key* find_key(const Capture& capture, const std::wstring& path) {
    for (const Key& key : capture.keys) {
        if (equals_nocase(key.path, path)) return &key;
    }
    return nullptr;
}

json node_json(const Capture& capture, const Node& node) {
    json entry = {{"instance_id", u8(node.instance_id)}};
    if (node.parent_id && !node.parent_id->empty()) entry["parent"] = u8(*node.parent_id);
    static const std::pair<std::uint32_t, const char*> properties[] = {
        {win::SPDRP_FRIENDLYNAME_, "friendly_name"},
        {win::SPDRP_DEVICEDESC_, "device_desc"},
        {win::SPDRP_SERVICE_, "service"},
    };
    for (const auto& [code, name] : properties) {
        const auto found = node.properties.find(code);
        // A property that is not set is left out, as the format says.
        if (found == node.properties.end() || found->second.error == win::ERROR_INVALID_DATA_) continue;
        entry[name] = property_json(found->second);
    }
    if (node.status_read) {
        if (node.status_result != 0) {
            entry["status_result"] = node.status_result;
        } else {
            entry["status"] = hex_number(node.status, 8);
            entry["problem"] = node.problem;
        }
    }
    if (!node.interfaces.empty()) {
        json list = json::array();
        for (const Interface& iface : node.interfaces) list.push_back(interface_json(iface, node.instance_id));
        entry["interfaces"] = std::move(list);
    }
    if (node.hardware_key_error && *node.hardware_key_error == 0) {
        const Key* key = find_key(capture, hardware_key_path(node.instance_id));
        entry["hardware_key"] = key == nullptr ? json::array() : values_json(key->values);
    }
    return entry;
}

bool is_hardware_key(const Capture& capture, const std::wstring& path) {
    for (const Node& node : capture.nodes) {
        if (equals_nocase(path, hardware_key_path(node.instance_id))) return true;
    }
    return false;
}

json registry_json(const Capture& capture) {
    json list = json::array();
    for (const Key& key : capture.keys) {
        if (is_hardware_key(capture, key.path)) continue;
        if (key.open_error == static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_)) continue;  // missing
        json entry = {{"key", u8(key.path)}};
        if (key.open_error != 0) entry["open_error"] = key.open_error;
        entry["values"] = values_json(key.values);
        list.push_back(std::move(entry));
    }
    return list;
}

std::wstring version_text(std::uint32_t ms, std::uint32_t ls) {
    return decimal(ms >> 16) + L"." + decimal(ms & 0xFFFF) + L"." + decimal(ls >> 16) + L"." + decimal(ls & 0xFFFF);
}

// The profile entries read, written back as the file that gives them.
std::wstring profile_text(const std::map<std::wstring, std::wstring>& profile) {
    std::wstring text;
    std::wstring section_open;
    for (const auto& [where, value] : profile) {
        const std::wstring::size_type slash = where.find(L'\\');
        const std::wstring section = where.substr(0, slash);
        if (section != section_open) {
            text += L"[" + section + L"]\r\n";
            section_open = section;
        }
        text += where.substr(slash + 1) + L"=" + value + L"\r\n";
    }
    return text;
}

std::optional<json> file_json(const File& file) {
    const bool exists = file.attributes.has_value() || file.machine.has_value() || !file.head.empty() ||
                        file.version_read || (file.open_error && *file.open_error != win::ERROR_FILE_NOT_FOUND_ &&
                                              *file.open_error != win::ERROR_PATH_NOT_FOUND_);
    bool profile_has_text = false;
    for (const auto& entry : file.profile) profile_has_text = profile_has_text || !entry.second.empty();
    if (!exists && !profile_has_text) return std::nullopt;  // not there, or never found

    json entry = {{"path", u8(file.path)}};
    const bool directory = file.attributes && (*file.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0;
    if (directory) entry["directory"] = true;
    if (file.attributes && *file.attributes != (directory ? win::FILE_ATTRIBUTE_DIRECTORY_ : 0x20u)) {
        entry["attributes"] = hex_number(*file.attributes, 8);
    }
    if (directory) return entry;
    if (file.machine) {
        json pe = {{"machine", hex_number(*file.machine, 4)}};
        if (file.version_size_error && *file.version_size_error == win::ERROR_RESOURCE_DATA_NOT_FOUND_) {
            pe["resource_section"] = false;
        } else if (file.version_read && file.fixed_info_found) {
            pe["file_version"] = u8(version_text(file.version_ms, file.version_ls));
        } else if (file.version_read) {
            pe["fixed_file_info"] = false;
        }
        entry["pe"] = std::move(pe);
    } else if (!file.head.empty()) {
        entry["hex"] = hex_text(file.head);
    } else if (!file.profile.empty()) {
        const std::wstring text = profile_text(file.profile);
        if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c == L'\r' || c == L'\n' || (c >= 0x20 && c < 0x7F); })) {
            entry["text"] = u8(text);
        } else {
            // Characters beyond ASCII: the file as UTF-16LE with its byte-order mark.
            std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
            const std::vector<std::uint8_t> units = utf16le_bytes(text, 0);
            bytes.insert(bytes.end(), units.begin(), units.end());
            entry["hex"] = hex_text(bytes);
        }
    }
    if (file.open_error && *file.open_error == win::ERROR_SHARING_VIOLATION_) entry["held_exclusively"] = true;
    return entry;
}

// A script whose last step repeats: the trailing repeats say nothing more.
std::vector<std::int32_t> trimmed(std::vector<std::int32_t> steps) {
    while (steps.size() > 1 && steps[steps.size() - 1] == steps[steps.size() - 2]) steps.pop_back();
    return steps;
}

std::wstring record_text(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t units) {
    return utf16le_text(bytes.data() + offset, units * 2);
}

std::uint16_t record16(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

json sdk_json(const Sdk& sdk) {
    // The record's layout (sdk/sdk_contract.h), repeated here so that the
    // capture does not depend on the SDK section.
    constexpr std::size_t kNameOffset = 4, kNameUnits = 260, kVendorOffset = 524, kProductOffset = 526,
                          kLinkOffset = 528, kLinkUnits = 260, kSerialOffset = 1048, kSerialUnits = 275,
                          kFirmwareOffset = 1598, kRecordSize = 1600;
    json entry = {{"path", u8(sdk.path)}};
    if (sdk.load_error != 0) entry["load_error"] = sdk.load_error;
    if (!sdk.missing_entry_points.empty()) entry["missing_entry_points"] = sdk.missing_entry_points;
    if (sdk.init_result) entry["init_result"] = *sdk.init_result;
    if (sdk.version) entry["version"] = hex_number(*sdk.version, 4);
    if (!sdk.is_device_changed.empty()) entry["is_device_changed"] = trimmed(sdk.is_device_changed);
    if (!sdk.device_counts.empty()) entry["device_count"] = trimmed(sdk.device_counts);
    if (sdk.init_result && *sdk.init_result == 0) {
        json devices = json::array();
        for (const Sdk::Record& record : sdk.records) {
            if (record.result != 0 || record.bytes.size() != kRecordSize) {
                devices.push_back({{"result", record.result}});
                continue;
            }
            devices.push_back({{"name", u8(record_text(record.bytes, kNameOffset, kNameUnits))},
                               {"vid", record16(record.bytes, kVendorOffset)},
                               {"pid", record16(record.bytes, kProductOffset)},
                               {"symbolic_link", u8(record_text(record.bytes, kLinkOffset, kLinkUnits))},
                               {"serial_number", u8(record_text(record.bytes, kSerialOffset, kSerialUnits))},
                               {"firmware", hex_number(record16(record.bytes, kFirmwareOffset), 4)}});
        }
        entry["devices"] = std::move(devices);
    }
    return entry;
}

}  // namespace

// ---- In force ----

CaptureScope::CaptureScope(Capture& capture) {
    recorder().capture = &capture;
    recorder().open_keys.clear();
    recorder().winusb_path.clear();
}

CaptureScope::~CaptureScope() {
    recorder().capture = nullptr;
    recorder().open_keys.clear();
}

bool active() { return current() != nullptr; }

// ---- Registry ----

std::wstring key_path(platform::RegRoot root, const std::wstring& subkey, std::uint32_t access) {
    const bool view_32bit = (access & win::KEY_WOW64_32KEY_) != 0;
    if (root == platform::RegRoot::ClassesRoot) {
        return std::wstring(L"HKLM\\SOFTWARE\\Classes\\") + (view_32bit ? L"WOW6432Node\\" : L"") + subkey;
    }
    const std::wstring software = L"SOFTWARE\\";
    if (view_32bit && subkey.size() > software.size() && equals_nocase(subkey.substr(0, software.size()), software)) {
        return L"HKLM\\SOFTWARE\\WOW6432Node\\" + subkey.substr(software.size());
    }
    return L"HKLM\\" + subkey;
}

std::wstring hardware_key_path(const std::wstring& instance_id) {
    return L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instance_id + L"\\Device Parameters";
}

void key_opened(const platform::RegKey& key, const std::wstring& path, std::int32_t status) {
    Capture* capture = current();
    if (capture == nullptr) return;
    Key& record = key_at(*capture, path);
    if (status == 0) {
        // One open that worked is what counts: the key exists.
        record.opened = true;
        record.open_error = 0;
        recorder().open_keys[key.raw()] = path;
    } else if (!record.opened) {
        record.open_error = status;
    }
    if (status != 0) recorder().open_keys.erase(key.raw());
}

void value_read(const platform::RegKey& key, const std::wstring& name, const platform::RegRead& read) {
    Capture* capture = current();
    if (capture == nullptr) return;
    const auto found = recorder().open_keys.find(key.raw());
    if (found == recorder().open_keys.end()) return;
    merge_value(key_at(*capture, found->second).values, name, read);
}

// ---- System ----

void native_system(std::optional<std::uint16_t> architecture, std::uint32_t wow64_error, std::uint16_t native_machine) {
    Capture* capture = current();
    if (capture == nullptr) return;
    capture->native_architecture = architecture;
    capture->wow64_error = wow64_error;
    capture->native_machine = native_machine;
}

// ---- Device nodes ----

void node_listed(std::uint32_t dev_inst, const std::wstring& instance_id) {
    Capture* capture = current();
    if (capture == nullptr || !contains_nocase(instance_id, kDeviceHardwareId)) return;
    if (Node* node = node_named(*capture, instance_id)) {
        node->dev_inst = dev_inst;
        return;
    }
    Node node;
    node.instance_id = instance_id;
    node.dev_inst = dev_inst;
    capture->nodes.push_back(std::move(node));
}

void node_property(std::uint32_t dev_inst, std::uint32_t property, const platform::PropertyRead& read) {
    Capture* capture = current();
    Node* node = capture == nullptr ? nullptr : node_of(*capture, dev_inst);
    if (node == nullptr) return;
    node->properties[property] = {read.error, read.data, read.required_size};
}

void node_status(std::uint32_t dev_inst, std::uint32_t result, std::uint32_t status, std::uint32_t problem) {
    Capture* capture = current();
    Node* node = capture == nullptr ? nullptr : node_of(*capture, dev_inst);
    if (node == nullptr) return;
    node->status_read = true;
    node->status_result = result;
    node->status = result == 0 ? status : 0;
    node->problem = result == 0 ? problem : 0;
}

void hardware_key_opened(std::uint32_t dev_inst, const platform::RegKey& key, std::uint32_t error) {
    Capture* capture = current();
    Node* node = capture == nullptr ? nullptr : node_of(*capture, dev_inst);
    if (node == nullptr) {
        // Not one of the device's nodes: what is read through this handle
        // stays out of the capture.
        if (capture != nullptr) recorder().open_keys.erase(key.raw());
        return;
    }
    if (!node->hardware_key_error || *node->hardware_key_error != 0) node->hardware_key_error = error;
    if (error == 0) key_opened(key, hardware_key_path(node->instance_id), 0);
}

void interface_found(const std::wstring& guid, const std::wstring& instance_id) {
    Capture* capture = current();
    Node* node = capture == nullptr ? nullptr : node_named(*capture, instance_id);
    if (node != nullptr) interface_on(*node, guid);
}

void interface_path_read(const std::wstring& guid, const std::wstring& path) {
    Capture* capture = current();
    if (capture == nullptr) return;
    Node* node = node_of_path(*capture, path);
    if (node == nullptr) {
        // An interface of a node the capture does not hold: it is kept on
        // the device's MI_03 node, where the run looked for it.
        for (Node& candidate : capture->nodes) {
            if (contains_nocase(candidate.instance_id, L"&MI_03")) node = &candidate;
        }
    }
    if (node != nullptr) interface_on(*node, guid).path = path;
}

void interface_opened(const std::wstring& path, std::uint32_t error) {
    Capture* capture = current();
    Interface* iface = capture == nullptr ? nullptr : interface_by_path(*capture, path);
    if (iface == nullptr || error == 0) return;
    if (!iface->open_error) iface->open_error = error;
}

void winusb_initialized(const std::wstring& path, std::uint32_t error) {
    Capture* capture = current();
    Interface* iface = capture == nullptr ? nullptr : interface_by_path(*capture, path);
    if (iface != nullptr) iface->initialize_error = error;
    recorder().winusb_path = path;
}

void winusb_alternate_setting(const std::wstring& path, std::uint32_t error) {
    Capture* capture = current();
    Interface* iface = capture == nullptr ? nullptr : interface_by_path(*capture, path);
    if (iface != nullptr) iface->alternate_setting_error = error;
}

void winusb_write(std::uint32_t error) {
    Capture* capture = current();
    Interface* iface = capture == nullptr ? nullptr : interface_by_path(*capture, recorder().winusb_path);
    if (iface != nullptr) iface->writes.push_back({error, {}});
}

void winusb_read(std::uint32_t error, const std::vector<std::uint8_t>& reply) {
    Capture* capture = current();
    Interface* iface = capture == nullptr ? nullptr : interface_by_path(*capture, recorder().winusb_path);
    if (iface != nullptr) iface->reads.push_back({error, error == 0 ? reply : std::vector<std::uint8_t>()});
}

// ---- Files ----

void file_attributes(const std::wstring& path, std::uint32_t error, std::uint32_t attributes) {
    Capture* capture = current();
    if (capture == nullptr) return;
    File& file = file_at(*capture, path);
    if (error == 0) {
        file.attributes = attributes;
        file.attributes_error.reset();
    } else if (!file.attributes) {
        file.attributes_error = error;
    }
}

void file_opened(const std::wstring& path, std::uint32_t error) {
    Capture* capture = current();
    if (capture == nullptr) return;
    File& file = file_at(*capture, path);
    if (!file.open_error || *file.open_error != 0) file.open_error = error;
}

void file_head(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    Capture* capture = current();
    if (capture == nullptr) return;
    File& file = file_at(*capture, path);
    if (bytes.size() > file.head.size()) file.head = bytes;
}

void image_machine(const std::wstring& path, std::uint16_t machine) {
    Capture* capture = current();
    if (capture != nullptr) file_at(*capture, path).machine = machine;
}

void file_version(const std::wstring& path, std::uint32_t error, bool fixed_info_found, std::uint32_t version_ms,
                  std::uint32_t version_ls) {
    Capture* capture = current();
    if (capture == nullptr) return;
    File& file = file_at(*capture, path);
    if (error != 0) {
        file.version_size_error = error;
        return;
    }
    file.version_read = true;
    file.fixed_info_found = fixed_info_found;
    file.version_ms = version_ms;
    file.version_ls = version_ls;
}

void profile_string(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                    const std::wstring& text) {
    Capture* capture = current();
    if (capture != nullptr) file_at(*capture, path).profile[section + L"\\" + key] = text;
}

// ---- Environment ----

void environment_expanded(const std::wstring& text) {
    Capture* capture = current();
    if (capture == nullptr) return;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find(L'%', at);
        const std::size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) break;
        const std::wstring name = text.substr(open + 1, close - open - 1);
        at = close + 1;
        if (name.empty() || capture->environment.count(name) != 0) continue;
        std::wstring value;
        const std::wstring reference = L"%" + name + L"%";
        if (platform::expand_environment_strings(reference, value) != 0) continue;
        // An unknown variable stays as it was written.
        capture->environment[name] = value == reference ? std::nullopt : std::optional<std::wstring>(value);
    }
}

// ---- The SDK ----

void sdk_loaded(const std::wstring& path, std::uint32_t error) {
    Capture* capture = current();
    if (capture == nullptr) return;
    Sdk sdk;
    sdk.path = path;
    sdk.load_error = error;
    capture->sdks.push_back(std::move(sdk));
}

void sdk_entry_point_missing(const char* name) {
    if (Sdk* sdk = last_sdk()) sdk->missing_entry_points.emplace_back(name);
}

void sdk_init(std::int32_t result) {
    if (Sdk* sdk = last_sdk()) sdk->init_result = result;
}

void sdk_version(std::uint16_t version) {
    if (Sdk* sdk = last_sdk()) sdk->version = version;
}

void sdk_is_device_changed(std::int32_t result) {
    if (Sdk* sdk = last_sdk()) sdk->is_device_changed.push_back(result);
}

void sdk_device_count(std::int32_t count) {
    if (Sdk* sdk = last_sdk()) sdk->device_counts.push_back(count);
}

void sdk_device_info(std::int32_t result, const std::uint8_t* record, std::size_t size) {
    if (Sdk* sdk = last_sdk()) {
        Sdk::Record entry;
        entry.result = result;
        if (result == 0) entry.bytes.assign(record, record + size);
        sdk->records.push_back(std::move(entry));
    }
}

// ---- Software ----

void process_matched(std::uint32_t pid, const std::wstring& exe) {
    Capture* capture = current();
    if (capture != nullptr) capture->processes.push_back({pid, exe});
}

void service_matched(const std::wstring& name, const std::wstring& display_name, std::uint32_t state) {
    Capture* capture = current();
    if (capture == nullptr) return;
    for (const Service& service : capture->services) {
        if (equals_nocase(service.name, name)) return;
    }
    capture->services.push_back({name, display_name, state});
}

// ---- The end of the run ----

void read_ancestors(Capture& capture) {
    constexpr std::uint32_t kDeviceIdChars = 200;  // MAX_DEVICE_ID_LEN
    std::vector<Node> hubs;
    for (Node& node : capture.nodes) {
        if (node.dev_inst == 0) continue;
        std::uint32_t parent = 0;
        std::wstring parent_id;
        if (platform::cm_get_parent(node.dev_inst, parent) != 0 ||
            platform::cm_get_device_id(parent, kDeviceIdChars, parent_id) != 0 || parent_id.empty()) {
            node.parent_id = std::wstring();
            continue;
        }
        node.parent_id = parent_id;
        if (node_named(capture, parent_id) != nullptr) continue;
        const bool known = std::any_of(hubs.begin(), hubs.end(),
                                       [&](const Node& hub) { return equals_nocase(hub.instance_id, parent_id); });
        if (!known) {
            Node hub;
            hub.instance_id = parent_id;
            hub.parent_id = std::wstring();  // the capture ends at the hub
            hubs.push_back(std::move(hub));
        }
    }
    for (Node& hub : hubs) capture.nodes.push_back(std::move(hub));
}

std::string machine_file_text(const Capture& capture) {
    json machine = {{"description", "Captured by VQ4_Diag /capture: what one run read of this machine."}};
    if (capture.native_architecture) machine["native_architecture"] = *capture.native_architecture;
    if (capture.wow64_error) {
        if (*capture.wow64_error == 0) {
            machine["native_machine"] = hex_number(capture.native_machine, 4);
        } else {
            machine["is_wow64_process2"] = false;
        }
    }
    if (!capture.environment.empty()) {
        json environment = json::object();
        for (const auto& [name, value] : capture.environment) {
            environment[u8(name)] = value ? json(u8(*value)) : json(nullptr);
        }
        machine["environment"] = std::move(environment);
    }
    json registry = registry_json(capture);
    if (!registry.empty()) machine["registry"] = std::move(registry);
    json devices = json::array();
    for (const Node& node : capture.nodes) devices.push_back(node_json(capture, node));
    if (!devices.empty()) machine["devices"] = std::move(devices);
    json files = json::array();
    for (const File& file : capture.files) {
        if (auto entry = file_json(file)) files.push_back(std::move(*entry));
    }
    if (!files.empty()) machine["files"] = std::move(files);
    if (!capture.processes.empty()) {
        json list = json::array();
        for (const Process& process : capture.processes) list.push_back({{"pid", process.pid}, {"exe", u8(process.exe)}});
        machine["processes"] = std::move(list);
    }
    if (!capture.services.empty()) {
        json list = json::array();
        for (const Service& service : capture.services) {
            list.push_back({{"name", u8(service.name)},
                            {"display_name", u8(service.display_name)},
                            {"state", service.state}});
        }
        machine["services"] = std::move(list);
    }
    if (!capture.sdks.empty()) {
        json list = json::array();
        for (const Sdk& sdk : capture.sdks) list.push_back(sdk_json(sdk));
        machine["sdk"] = std::move(list);
    }
    return machine.dump(2) + "\n";
}

std::wstring capture_path_for_report(const std::wstring& report_path) {
    std::wstring path = report_path;
    const std::wstring report = L"VQ4_Diag_Report_";
    const std::wstring::size_type name = path.rfind(report);
    if (name != std::wstring::npos) path.replace(name, report.size(), L"VQ4_Diag_Machine_");
    const std::wstring::size_type dot = path.rfind(L".txt");
    if (dot != std::wstring::npos && dot + 4 == path.size()) path.erase(dot);
    return path + L".json";
}

std::uint32_t write_capture(const std::wstring& path, const Capture& capture, std::wstring& written) {
    const std::string text = machine_file_text(capture);
    const std::wstring base = path.size() > 5 ? path.substr(0, path.size() - 5) : path;
    std::uint32_t error = 0;
    for (int attempt = 1; attempt <= 99; ++attempt) {
        const std::wstring candidate = attempt == 1 ? path : base + L"_" + decimal(attempt) + L".json";
        platform::ReportFile file;
        error = platform::output_file_create_new(candidate, file);
        if (error == win::ERROR_FILE_EXISTS_ || error == win::ERROR_ALREADY_EXISTS_) continue;
        if (error != 0) return error;
        written = candidate;
        return platform::report_file_write(file, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    return error;
}

}  // namespace vq4::capture
