#include "capture/machine_capture.h"

#include <algorithm>
#include <cstring>

#include "inspect/usb_nodes.h"
#include "platform/device_changes.h"
#include "platform/environment.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::capture {

namespace {

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

// The entry of `list` whose `name` is `wanted` (letter case aside, as
// Windows compares these names), or null.
template <class T>
T* find_named(std::vector<T>& list, std::wstring T::*name, const std::wstring& wanted) {
    for (T& entry : list) {
        if (equals_nocase(entry.*name, wanted)) return &entry;
    }
    return nullptr;
}

// The same entry, added at the end when there is none yet.
template <class T>
T& named(std::vector<T>& list, std::wstring T::*name, const std::wstring& wanted) {
    if (T* found = find_named(list, name, wanted)) return *found;
    T added;
    added.*name = wanted;
    list.push_back(std::move(added));
    return list.back();
}

Key& key_at(Capture& capture, const std::wstring& path) { return named(capture.keys, &Key::path, path); }

Node* node_of(Capture& capture, std::uint32_t dev_inst) {
    for (Node& node : capture.nodes) {
        if (node.dev_inst == dev_inst) return &node;
    }
    return nullptr;
}

Node* node_named(Capture& capture, const std::wstring& instance_id) {
    return find_named(capture.nodes, &Node::instance_id, instance_id);
}

File& file_at(Capture& capture, const std::wstring& path) { return named(capture.files, &File::path, path); }

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

Interface& interface_on(Node& node, const std::wstring& guid) { return named(node.interfaces, &Interface::guid, guid); }

// The node of a devnode, or the interface of a path, in the capture in
// force; null when none is in force or it holds no such thing.
Node* node_in_force(std::uint32_t dev_inst) {
    Capture* capture = current();
    return capture == nullptr ? nullptr : node_of(*capture, dev_inst);
}

Interface* interface_in_force(const std::wstring& path) {
    Capture* capture = current();
    return capture == nullptr ? nullptr : interface_by_path(*capture, path);
}

void merge_value(std::vector<Value>& values, const std::wstring& name, const platform::RegRead& read) {
    // A value that is not there is simply left out of the capture.
    if (read.status == static_cast<std::int32_t>(win::ERROR_FILE_NOT_FOUND_)) return;
    Value* value = &named(values, &Value::name, name);
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
    const std::wstring redirected = view_32bit ? L"WOW6432Node\\" : L"";
    if (root == platform::RegRoot::ClassesRoot) return classes_root_source(subkey, access) + redirected + subkey;
    if (root == platform::RegRoot::CurrentUser) return L"HKCU\\" + subkey;
    // An explicit read of the machine's classes (as an elevated run makes)
    // is the machine's key, whatever the user's classes hold.
    const std::wstring classes = L"SOFTWARE\\Classes\\";
    if (subkey.size() > classes.size() && equals_nocase(subkey.substr(0, classes.size()), classes)) {
        return L"HKLM\\SOFTWARE\\Classes\\" + redirected + subkey.substr(classes.size());
    }
    const std::wstring software = L"SOFTWARE\\";
    if (view_32bit && subkey.size() > software.size() && equals_nocase(subkey.substr(0, software.size()), software)) {
        return L"HKLM\\SOFTWARE\\WOW6432Node\\" + subkey.substr(software.size());
    }
    return L"HKLM\\" + subkey;
}

std::wstring classes_root_source(const std::wstring& subkey, std::uint32_t access) {
    const std::wstring machine = L"HKLM\\SOFTWARE\\Classes\\";
    // Only a capture asks: the path is not used otherwise, and an ordinary
    // run makes no call it does not need.
    if (!active()) return machine;
    // HKCR gives the user's key whenever HKCU\Software\Classes has one, and
    // Windows does not say which hive answered: the user's hive is asked
    // directly. A per-user registration written as the machine's would make
    // the replay (and the desk) believe in a machine-wide install.
    platform::RegKey user;
    const std::int32_t opened =
        platform::reg_open_key(platform::RegRoot::CurrentUser, L"Software\\Classes\\" + subkey, access, user);
    return opened == 0 ? L"HKCU\\Software\\Classes\\" : machine;
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
    named(capture->nodes, &Node::instance_id, instance_id).dev_inst = dev_inst;
}

void node_property(std::uint32_t dev_inst, std::uint32_t property, const platform::PropertyRead& read) {
    Node* node = node_in_force(dev_inst);
    if (node == nullptr) return;
    node->properties[property] = {read.error, read.data, read.required_size};
}

void node_status(std::uint32_t dev_inst, std::uint32_t result, std::uint32_t status, std::uint32_t problem) {
    Node* node = node_in_force(dev_inst);
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
    Interface* iface = interface_in_force(path);
    if (iface == nullptr || error == 0) return;
    if (!iface->open_error) iface->open_error = error;
}

void winusb_initialized(const std::wstring& path, std::uint32_t error) {
    Interface* iface = interface_in_force(path);
    if (iface != nullptr) iface->initialize_error = error;
    recorder().winusb_path = path;
}

void winusb_alternate_setting(const std::wstring& path, std::uint32_t error) {
    Interface* iface = interface_in_force(path);
    if (iface != nullptr) iface->alternate_setting_error = error;
}

void winusb_write(std::uint32_t error) {
    Interface* iface = interface_in_force(recorder().winusb_path);
    if (iface != nullptr) iface->writes.push_back({error, {}});
}

void winusb_read(std::uint32_t error, const std::vector<std::uint8_t>& reply) {
    Interface* iface = interface_in_force(recorder().winusb_path);
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
        if (result == 0 && size == kSdkDeviceInfoSize) {
            SdkDeviceInfo filled;
            std::memcpy(filled.bytes, record, kSdkDeviceInfoSize);
            entry.fields = decode_sdk_device_info(filled);
        }
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

}  // namespace vq4::capture
