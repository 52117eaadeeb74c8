#include "capture/redaction.h"

#include <utility>
#include <vector>

#include "inspect/usb_nodes.h"
#include "platform/environment.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::capture {

namespace {

// The Vantro Q4 as the SDK's records name it.
constexpr std::uint16_t kVantroVendorId = 0x2A7D;
constexpr std::uint16_t kVantroProductId = 0x5E3C;

// A variable of the process's environment, read the way a registration's
// %name% is; empty when it is not set or cannot be read.
std::wstring environment_value(const std::wstring& name) {
    const std::wstring reference = L"%" + name + L"%";
    std::wstring value;
    if (platform::expand_environment_strings(reference, value) != 0 || value == reference) return {};
    return value;
}

// The last folder of a path ("jdoe" of "C:\Users\jdoe\").
std::wstring last_folder(std::wstring path) {
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    const std::wstring::size_type separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// Letters and digits, and every character beyond ASCII (letters of other
// scripts): a name is whole when neither neighbour is one of them.
bool is_name_character(wchar_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    return (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') || (code >= 'a' && code <= 'z') || code >= 0x80;
}

wchar_t ascii_upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool matches_at(const std::wstring& text, std::size_t at, const std::wstring& secret) {
    if (at + secret.size() > text.size()) return false;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        if (ascii_upper(text[at + i]) != ascii_upper(secret[i])) return false;
    }
    return true;
}

// The user's and the computer's names, in the order they are replaced: the
// profile folder first, as it may hold the user name ("jdoe.CORP").
struct NameRedaction {
    std::vector<std::pair<std::wstring, std::wstring>> replacements;

    std::wstring text(const std::wstring& value) const {
        std::wstring out = value;
        for (const auto& [secret, placeholder] : replacements) out = replaced_whole(out, secret, placeholder);
        return out;
    }

    // UTF-16LE bytes (a registry text, a device property): each unit as
    // one character, NULs and an odd last byte kept where they were.
    std::vector<std::uint8_t> bytes(const std::vector<std::uint8_t>& data) const {
        std::wstring units;
        units.reserve(data.size() / 2);
        for (std::size_t at = 0; at + 1 < data.size(); at += 2) {
            units.push_back(static_cast<wchar_t>(data[at] | (data[at + 1] << 8)));
        }
        const std::wstring replaced = text(units);
        if (replaced == units) return data;
        std::vector<std::uint8_t> out;
        out.reserve(replaced.size() * 2 + 1);
        for (const wchar_t unit : replaced) {
            const auto code = static_cast<std::uint32_t>(unit) & 0xFFFF;
            out.push_back(static_cast<std::uint8_t>(code & 0xFF));
            out.push_back(static_cast<std::uint8_t>(code >> 8));
        }
        if (data.size() % 2 != 0) out.push_back(data.back());
        return out;
    }
};

// The serial parts of the nodes other than the Vantro Q4's, each with its
// placeholder, in the order they were first met.
struct SerialRedaction {
    std::vector<std::pair<std::wstring, std::wstring>> placeholders;  // upper-case serial part -> placeholder

    std::wstring placeholder_for(const std::wstring& serial) {
        const std::wstring key = to_upper_ascii(serial);
        for (const auto& [known, placeholder] : placeholders) {
            if (known == key) return placeholder;
        }
        placeholders.emplace_back(key, serial_placeholder(static_cast<int>(placeholders.size()) + 1));
        return placeholders.back().second;
    }

    // "USB\VID_05E3&PID_0610\DOCK1234" -> "USB\VID_05E3&PID_0610\[serial-1]".
    std::wstring instance_id(const std::wstring& id) {
        if (contains_nocase(id, kDeviceHardwareId)) return id;
        const std::wstring::size_type first = id.find(L'\\');
        const std::wstring::size_type second = first == std::wstring::npos ? first : id.find(L'\\', first + 1);
        if (second == std::wstring::npos || second + 1 == id.size()) return id;
        return id.substr(0, second + 1) + placeholder_for(id.substr(second + 1));
    }

    // "\\?\usb#vid_05e3&pid_0610#dock1234#{guid}": the same node's
    // placeholder in the serial part.
    std::wstring device_path(const std::wstring& path) {
        const std::wstring prefix = L"\\\\?\\";
        if (path.compare(0, prefix.size(), prefix) != 0 || contains_nocase(path, kDeviceHardwareId)) return path;
        const std::wstring::size_type first = path.find(L'#', prefix.size());
        const std::wstring::size_type second = first == std::wstring::npos ? first : path.find(L'#', first + 1);
        const std::wstring::size_type third = second == std::wstring::npos ? second : path.find(L'#', second + 1);
        if (third == std::wstring::npos || third == second + 1) return path;
        return path.substr(0, second + 1) + placeholder_for(path.substr(second + 1, third - second - 1)) +
               path.substr(third);
    }
};

bool is_text_type(std::uint32_t type) {
    return type == win::REG_SZ_ || type == win::REG_EXPAND_SZ_ || type == win::REG_MULTI_SZ_;
}

void redact_values(std::vector<Value>& values, const NameRedaction& names) {
    for (Value& value : values) {
        if (!value.complete || value.error != 0 || !is_text_type(value.type)) continue;
        value.data = names.bytes(value.data);
        value.size = static_cast<std::uint32_t>(value.data.size());
    }
}

void redact_node(Node& node, const NameRedaction& names, SerialRedaction& serials) {
    node.instance_id = serials.instance_id(node.instance_id);
    if (node.parent_id && !node.parent_id->empty()) node.parent_id = serials.instance_id(*node.parent_id);
    for (auto& [code, property] : node.properties) {
        if (property.error == 0) property.data = names.bytes(property.data);
    }
    for (Interface& iface : node.interfaces) iface.path = serials.device_path(iface.path);
}

void redact_record(SdkDeviceFields& device, const NameRedaction& names, SerialRedaction& serials) {
    device.name = names.text(device.name);
    if (device.vendor_id == kVantroVendorId && device.product_id == kVantroProductId) return;
    const std::wstring link = serials.device_path(device.symbolic_link);
    if (device.serial_number.empty()) {
        device.symbolic_link = link;
        return;
    }
    const std::wstring placeholder = serials.placeholder_for(device.serial_number);
    // A link of another form may still carry the serial number.
    device.symbolic_link = replaced_whole(link, device.serial_number, placeholder);
    device.serial_number = placeholder;
}

}  // namespace

Identity read_identity() {
    Identity identity;
    identity.profile_folder = last_folder(environment_value(L"USERPROFILE"));
    identity.user_name = environment_value(L"USERNAME");
    identity.computer_name = environment_value(L"COMPUTERNAME");
    return identity;
}

std::wstring serial_placeholder(int number) { return L"[serial-" + std::to_wstring(number) + L"]"; }

std::wstring replaced_whole(const std::wstring& text, const std::wstring& secret, const std::wstring& placeholder) {
    if (secret.empty()) return text;
    std::wstring out;
    std::size_t at = 0;
    while (at < text.size()) {
        const bool whole = matches_at(text, at, secret) && (at == 0 || !is_name_character(text[at - 1])) &&
                           (at + secret.size() == text.size() || !is_name_character(text[at + secret.size()]));
        if (whole) {
            out += placeholder;
            at += secret.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

void redact(Capture& capture, const Identity& identity) {
    NameRedaction names;
    const std::pair<const std::wstring*, const wchar_t*> known[] = {
        {&identity.profile_folder, kProfilePlaceholder},
        {&identity.user_name, kUserPlaceholder},
        {&identity.computer_name, kComputerPlaceholder},
    };
    for (const auto& [secret, placeholder] : known) {
        if (!secret->empty()) names.replacements.emplace_back(*secret, placeholder);
    }
    SerialRedaction serials;

    for (Key& key : capture.keys) redact_values(key.values, names);
    for (Node& node : capture.nodes) redact_node(node, names, serials);
    for (File& file : capture.files) {
        file.path = names.text(file.path);
        for (auto& [where, text] : file.profile) text = names.text(text);
    }
    for (auto& [name, value] : capture.environment) {
        if (value) value = names.text(*value);
    }
    for (Sdk& sdk : capture.sdks) {
        sdk.path = names.text(sdk.path);
        for (Sdk::Record& record : sdk.records) {
            if (record.fields) redact_record(*record.fields, names, serials);
        }
    }
    for (Process& process : capture.processes) process.exe = names.text(process.exe);
    for (Service& service : capture.services) {
        service.name = names.text(service.name);
        service.display_name = names.text(service.display_name);
    }
}

}  // namespace vq4::capture
