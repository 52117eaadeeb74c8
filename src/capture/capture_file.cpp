#include "capture/capture_file.h"

#include <algorithm>
#include <cstring>

#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "sdk/sdk_contract.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace vq4::capture {

namespace {

// The path Windows gives a device interface: "\\?\" + the instance id with
// '#' for '\' + '#' + the class GUID, in lower case.
std::wstring interface_path_of(const std::wstring& instance_id, const std::wstring& guid) {
    std::wstring path = L"\\\\?\\";
    for (const wchar_t c : instance_id + L"\\" + guid) {
        path += c == L'\\' ? L'#' : (c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c);
    }
    return path;
}

// ---- The machine file ----

std::string hex_text(const std::uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text(size == 0 ? 0 : size * 3 - 1, ' ');
    for (std::size_t i = 0; i < size; ++i) {
        text[3 * i] = digits[bytes[i] >> 4];
        text[3 * i + 1] = digits[bytes[i] & 0xF];
    }
    return text;
}

std::string hex_text(const std::vector<std::uint8_t>& bytes) { return hex_text(bytes.data(), bytes.size()); }

// The bytes of a value whose size alone was read: zeros.
std::string zero_hex_text(std::size_t size) { return hex_text(std::vector<std::uint8_t>(size, 0)); }

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

std::optional<std::vector<std::wstring>> multi_text(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return std::nullopt;
    std::vector<std::wstring> list;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = at;
        while (end + 1 < bytes.size() && (bytes[end] != 0 || bytes[end + 1] != 0)) end += 2;
        if (end + 1 >= bytes.size()) return std::nullopt;  // no terminator
        if (end == at) return end + 2 == bytes.size() ? std::optional(std::move(list)) : std::nullopt;
        std::optional<std::wstring> text = clean_units(bytes, at, end);
        if (!text) return std::nullopt;
        list.push_back(std::move(*text));
        at = end + 2;
    }
}

void type_json(JsonWriter& out, std::uint32_t type) {
    switch (type) {
        case 0: return out.value("REG_NONE");
        case 1: return out.value("REG_SZ");
        case 2: return out.value("REG_EXPAND_SZ");
        case 3: return out.value("REG_BINARY");
        case 4: return out.value("REG_DWORD");
        case 7: return out.value("REG_MULTI_SZ");
        case 11: return out.value("REG_QWORD");
        default: return out.value(type);
    }
}

std::uint64_t little_endian(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

// The members after the name: the error, or the type and the data.
void value_members(JsonWriter& out, const Value& value) {
    if (value.error != 0) return out.member("error", value.error);
    out.key("type");
    type_json(out, value.type);
    // Only the type and the size were read: the bytes stand in as zeros.
    if (!value.complete) return out.member("hex", zero_hex_text(value.size));
    if (value.type == win::REG_SZ_ || value.type == win::REG_EXPAND_SZ_) {
        if (const auto text = terminated_text(value.data)) return out.member("data", *text);
    } else if (value.type == win::REG_MULTI_SZ_) {
        if (const auto list = multi_text(value.data)) {
            out.key("data");
            out.begin_array();
            for (const std::wstring& text : *list) out.value(text);
            return out.end_array();
        }
    } else if ((value.type == win::REG_DWORD_ && value.data.size() == 4) ||
               (value.type == win::REG_QWORD_ && value.data.size() == 8)) {
        return out.member("data", little_endian(value.data));
    }
    out.member("hex", hex_text(value.data));
}

void values_json(JsonWriter& out, const std::vector<Value>& values) {
    out.begin_array();
    for (const Value& value : values) {
        out.begin_object();
        out.member("name", value.name);
        value_members(out, value);
        out.end_object();
    }
    out.end_array();
}

void property_json(JsonWriter& out, const Property& property) {
    if (property.error == 0) {
        if (const auto text = terminated_text(property.data)) return out.value(*text);
    }
    out.begin_object();
    if (property.error == 0) {
        out.member("hex", hex_text(property.data));
    } else if (property.error == win::ERROR_INSUFFICIENT_BUFFER_) {
        out.member("hex", zero_hex_text(property.required_size));
    } else {
        out.member("error", property.error);
    }
    out.end_object();
}

void transfers_json(JsonWriter& out, const std::vector<Transfer>& transfers, bool reads) {
    out.begin_array();
    for (const Transfer& transfer : transfers) {
        out.begin_object();
        if (transfer.error == win::ERROR_SEM_TIMEOUT_) {
            out.member("wait", true);
        } else if (transfer.error != 0) {
            out.member("error", transfer.error);
        } else if (reads) {
            out.member("reply", hex_text(transfer.reply));
        }
        out.end_object();
    }
    out.end_array();
}

void interface_json(JsonWriter& out, const Interface& iface, const std::wstring& instance_id) {
    out.begin_object();
    out.member("guid", iface.guid);
    out.key("path");
    if (iface.path.empty()) {
        out.value(interface_path_of(instance_id, iface.guid));
    } else {
        out.value(iface.path);
    }
    if (iface.open_error) out.member("held_by_other_process", *iface.open_error);
    const bool initialize_failed = iface.initialize_error && *iface.initialize_error != 0;
    const bool alternate_setting_failed = iface.alternate_setting_error && *iface.alternate_setting_error != 0;
    if (initialize_failed || alternate_setting_failed || !iface.writes.empty() || !iface.reads.empty()) {
        out.key("winusb");
        out.begin_object();
        if (initialize_failed) out.member("initialize_error", *iface.initialize_error);
        if (alternate_setting_failed) out.member("alternate_setting_error", *iface.alternate_setting_error);
        if (!iface.writes.empty()) {
            out.key("writes");
            transfers_json(out, iface.writes, false);
        }
        if (!iface.reads.empty()) {
            out.key("reads");
            transfers_json(out, iface.reads, true);
        }
        out.end_object();
    }
    out.end_object();
}

const Key* find_key(const Capture& capture, const std::wstring& path) {
    for (const Key& key : capture.keys) {
        if (equals_nocase(key.path, path)) return &key;
    }
    return nullptr;
}

void node_json(JsonWriter& out, const Capture& capture, const Node& node) {
    out.begin_object();
    out.member("instance_id", node.instance_id);
    if (node.parent_id && !node.parent_id->empty()) out.member("parent", *node.parent_id);
    static const std::pair<std::uint32_t, const char*> properties[] = {
        {win::SPDRP_FRIENDLYNAME_, "friendly_name"},
        {win::SPDRP_DEVICEDESC_, "device_desc"},
        {win::SPDRP_SERVICE_, "service"},
    };
    for (const auto& [code, name] : properties) {
        const auto found = node.properties.find(code);
        // A property that is not set is left out, as the format says.
        if (found == node.properties.end() || found->second.error == win::ERROR_INVALID_DATA_) continue;
        out.key(name);
        property_json(out, found->second);
    }
    if (node.status_read) {
        if (node.status_result != 0) {
            out.member("status_result", node.status_result);
        } else {
            out.member("status", hex_number(node.status, 8));
            out.member("problem", node.problem);
        }
    }
    if (!node.interfaces.empty()) {
        out.key("interfaces");
        out.begin_array();
        for (const Interface& iface : node.interfaces) interface_json(out, iface, node.instance_id);
        out.end_array();
    }
    if (node.hardware_key_error && *node.hardware_key_error == 0) {
        out.key("hardware_key");
        if (const Key* key = find_key(capture, hardware_key_path(node.instance_id))) {
            values_json(out, key->values);
        } else {
            out.begin_array();
            out.end_array();
        }
    }
    out.end_object();
}

// The keys the "registry" list holds: neither a node's hardware key (its
// node holds it) nor one that is missing.
std::vector<const Key*> registry_keys(const Capture& capture) {
    std::vector<std::wstring> hardware_keys;
    hardware_keys.reserve(capture.nodes.size());
    for (const Node& node : capture.nodes) hardware_keys.push_back(hardware_key_path(node.instance_id));
    std::vector<const Key*> listed;
    for (const Key& key : capture.keys) {
        if (key.open_error == static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_)) continue;  // missing
        const bool hardware = std::any_of(hardware_keys.begin(), hardware_keys.end(),
                                          [&](const std::wstring& path) { return equals_nocase(key.path, path); });
        if (!hardware) listed.push_back(&key);
    }
    return listed;
}

void registry_json(JsonWriter& out, const std::vector<const Key*>& keys) {
    out.begin_array();
    for (const Key* key : keys) {
        out.begin_object();
        out.member("key", key->path);
        if (key->open_error != 0) out.member("open_error", key->open_error);
        out.key("values");
        values_json(out, key->values);
        out.end_object();
    }
    out.end_array();
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

// Whether the machine file lists the file: it is there, or its profile
// entries gave text.
bool file_listed(const File& file) {
    const bool exists = file.attributes.has_value() || file.machine.has_value() || !file.head.empty() ||
                        file.version_read || (file.open_error && *file.open_error != win::ERROR_FILE_NOT_FOUND_ &&
                                              *file.open_error != win::ERROR_PATH_NOT_FOUND_);
    bool profile_has_text = false;
    for (const auto& entry : file.profile) profile_has_text = profile_has_text || !entry.second.empty();
    return exists || profile_has_text;  // otherwise not there, or never found
}

void file_json(JsonWriter& out, const File& file) {
    out.begin_object();
    out.member("path", file.path);
    const bool directory = file.attributes && (*file.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0;
    if (directory) out.member("directory", true);
    if (file.attributes && *file.attributes != (directory ? win::FILE_ATTRIBUTE_DIRECTORY_ : 0x20u)) {
        out.member("attributes", hex_number(*file.attributes, 8));
    }
    if (directory) return out.end_object();
    if (file.machine) {
        out.key("pe");
        out.begin_object();
        out.member("machine", hex_number(*file.machine, 4));
        if (file.version_size_error && *file.version_size_error == win::ERROR_RESOURCE_DATA_NOT_FOUND_) {
            out.member("resource_section", false);
        } else if (file.version_read && file.fixed_info_found) {
            out.member("file_version", version_text(file.version_ms, file.version_ls));
        } else if (file.version_read) {
            out.member("fixed_file_info", false);
        }
        out.end_object();
    } else if (!file.head.empty()) {
        out.member("hex", hex_text(file.head));
    } else if (!file.profile.empty()) {
        const std::wstring text = profile_text(file.profile);
        if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c == L'\r' || c == L'\n' || (c >= 0x20 && c < 0x7F); })) {
            out.member("text", text);
        } else {
            // Characters beyond ASCII: the file as UTF-16LE with its byte-order mark.
            std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
            const std::vector<std::uint8_t> units = utf16le_bytes(text, 0);
            bytes.insert(bytes.end(), units.begin(), units.end());
            out.member("hex", hex_text(bytes));
        }
    }
    if (file.open_error && *file.open_error == win::ERROR_SHARING_VIOLATION_) out.member("held_exclusively", true);
    out.end_object();
}

// A script whose last step repeats: the trailing repeats say nothing more.
std::vector<std::int32_t> trimmed(std::vector<std::int32_t> steps) {
    while (steps.size() > 1 && steps[steps.size() - 1] == steps[steps.size() - 2]) steps.pop_back();
    return steps;
}

template <class T>
void number_list(JsonWriter& out, const std::vector<T>& numbers) {
    out.begin_array();
    for (const T number : numbers) out.value(number);
    out.end_array();
}

void sdk_json(JsonWriter& out, const Sdk& sdk) {
    out.begin_object();
    out.member("path", sdk.path);
    if (sdk.load_error != 0) out.member("load_error", sdk.load_error);
    if (!sdk.missing_entry_points.empty()) {
        out.key("missing_entry_points");
        out.begin_array();
        for (const std::string& name : sdk.missing_entry_points) out.value(name);
        out.end_array();
    }
    if (sdk.init_result) out.member("init_result", *sdk.init_result);
    if (sdk.version) out.member("version", hex_number(*sdk.version, 4));
    if (!sdk.is_device_changed.empty()) {
        out.key("is_device_changed");
        number_list(out, trimmed(sdk.is_device_changed));
    }
    if (!sdk.device_counts.empty()) {
        out.key("device_count");
        number_list(out, trimmed(sdk.device_counts));
    }
    if (sdk.init_result && *sdk.init_result == 0) {
        out.key("devices");
        out.begin_array();
        for (const Sdk::Record& record : sdk.records) {
            out.begin_object();
            if (record.result != 0 || !record.fields) {
                out.member("result", record.result);
            } else {
                // Read as the SDK section reads it, so the replay fills the same fields.
                const SdkDeviceFields& device = *record.fields;
                out.member("name", device.name);
                out.member("vid", device.vendor_id);
                out.member("pid", device.product_id);
                out.member("symbolic_link", device.symbolic_link);
                out.member("serial_number", device.serial_number);
                out.member("firmware", hex_number(device.firmware_version, 4));
            }
            out.end_object();
        }
        out.end_array();
    }
    out.end_object();
}

}  // namespace

std::string machine_file_text(const Capture& capture) {
    JsonWriter out(8192);
    out.begin_object();
    out.member("description", "Captured by VQ4_Diag /capture: what one run read of this machine.");
    if (capture.native_architecture) out.member("native_architecture", *capture.native_architecture);
    if (capture.wow64_error) {
        if (*capture.wow64_error == 0) {
            out.member("native_machine", hex_number(capture.native_machine, 4));
        } else {
            out.member("is_wow64_process2", false);
        }
    }
    if (!capture.environment.empty()) {
        // Names that differ only in what UTF-8 cannot carry (a lone
        // surrogate) are one name in the file: the later value, in the
        // place of the first.
        std::vector<std::pair<std::string, const std::optional<std::wstring>*>> entries;
        for (const auto& [name, value] : capture.environment) {
            std::string key = utf8_text(name);
            const auto same = std::find_if(entries.begin(), entries.end(),
                                           [&](const auto& entry) { return entry.first == key; });
            if (same != entries.end()) {
                same->second = &value;
            } else {
                entries.emplace_back(std::move(key), &value);
            }
        }
        out.key("environment");
        out.begin_object();
        for (const auto& [name, value] : entries) {
            out.key(name);
            if (*value) {
                out.value(**value);
            } else {
                out.value(nullptr);
            }
        }
        out.end_object();
    }
    const std::vector<const Key*> keys = registry_keys(capture);
    if (!keys.empty()) {
        out.key("registry");
        registry_json(out, keys);
    }
    if (!capture.nodes.empty()) {
        out.key("devices");
        out.begin_array();
        for (const Node& node : capture.nodes) node_json(out, capture, node);
        out.end_array();
    }
    if (std::any_of(capture.files.begin(), capture.files.end(), file_listed)) {
        out.key("files");
        out.begin_array();
        for (const File& file : capture.files) {
            if (file_listed(file)) file_json(out, file);
        }
        out.end_array();
    }
    if (!capture.processes.empty()) {
        out.key("processes");
        out.begin_array();
        for (const Process& process : capture.processes) {
            out.begin_object();
            out.member("pid", process.pid);
            out.member("exe", process.exe);
            out.end_object();
        }
        out.end_array();
    }
    if (!capture.services.empty()) {
        out.key("services");
        out.begin_array();
        for (const Service& service : capture.services) {
            out.begin_object();
            out.member("name", service.name);
            out.member("display_name", service.display_name);
            out.member("state", service.state);
            out.end_object();
        }
        out.end_array();
    }
    if (!capture.sdks.empty()) {
        out.key("sdk");
        out.begin_array();
        for (const Sdk& sdk : capture.sdks) sdk_json(out, sdk);
        out.end_array();
    }
    out.end_object();
    std::string text = out.take();
    text += '\n';
    return text;
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
    const std::wstring stem = path.size() > 5 ? path.substr(0, path.size() - 5) : path;
    std::uint32_t error = 0;
    for (int attempt = 1; attempt <= 99; ++attempt) {
        const std::wstring candidate = attempt == 1 ? path : numbered_file_name(stem, attempt, L".json");
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
