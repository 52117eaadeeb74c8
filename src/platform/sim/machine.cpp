#include "platform/sim/machine.h"

#include <algorithm>

#include "util/text.h"

namespace vq4::sim {

namespace {

Machine& current() {
    // Lives as long as the process: tearing down a machine of many thousand
    // nodes and keys at exit would only cost time.
    static Machine& instance = *new Machine;
    return instance;
}

bool same_path(std::wstring_view a, std::wstring_view b) { return equals_nocase(a, b); }

std::wstring_view parent_of(std::wstring_view path) {
    const auto at = path.rfind(L'\\');
    return at == std::wstring_view::npos ? std::wstring_view() : path.substr(0, at);
}

}  // namespace

std::wstring canonical_registry_path(const std::wstring& path) {
    struct Alias {
        const wchar_t* from;
        const wchar_t* to;
    };
    static const Alias aliases[] = {
        {L"HKEY_CLASSES_ROOT", L"HKLM\\SOFTWARE\\Classes"},
        {L"HKCR", L"HKLM\\SOFTWARE\\Classes"},
        {L"HKEY_LOCAL_MACHINE", L"HKLM"},
        {L"HKLM", L"HKLM"},
        {L"HKEY_CURRENT_USER", L"HKCU"},
        {L"HKCU", L"HKCU"},
    };
    for (const Alias& alias : aliases) {
        const std::wstring from = alias.from;
        if (equals_nocase(path, from)) {
            return alias.to;
        }
        if (starts_with_nocase(path, from + L"\\")) {
            return std::wstring(alias.to) + path.substr(from.size());
        }
    }
    return path;
}

std::string registry_path_problem(std::wstring_view canonical_path) {
    std::size_t depth = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(canonical_path.find(L'\\', start), canonical_path.size());
        const std::size_t length = end - start;
        if (length == 0) return "a key path has no empty name (two backslashes together, or one at its end)";
        if (length > kMaxRegistryKeyNameLength) {
            return "a key name has at most " + std::to_string(kMaxRegistryKeyNameLength) + " characters";
        }
        if (end == canonical_path.size()) break;
        // Counted as it goes: a path of a million names is refused at its 513th.
        if (++depth > kMaxRegistryKeyDepth) {
            return "a key path is at most " + std::to_string(kMaxRegistryKeyDepth) + " levels deep";
        }
        start = end + 1;
    }
    return {};
}

std::wstring hardware_key_path(const std::wstring& instance_id) {
    return L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instance_id + L"\\Device Parameters";
}

namespace {

// FNV-1a over the path with ASCII letters upper-cased, without a copy; a
// step at a time, so that a path's ancestors are hashed on the way.
std::uint64_t folded_hash_step(std::uint64_t hash, wchar_t c) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return (hash ^ static_cast<std::uint64_t>(static_cast<std::uint32_t>(c))) * 1099511628211ULL;
}

std::uint64_t folded_hash(std::wstring_view path) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (wchar_t c : path) hash = folded_hash_step(hash, c);
    return hash;
}

}  // namespace

std::size_t Registry::position_of(const std::wstring& path) const {
    current_index();
    return indexed_position(path, folded_hash(path));
}

std::size_t Registry::indexed_position(std::wstring_view path, std::uint64_t hash) const {
    const auto [first, last] = index_.by_hash.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (same_path(keys[it->second].path(), path)) return it->second;
    }
    return keys.size();
}

void Registry::index_next(std::uint64_t hash, std::size_t parent_at) const {
    const std::size_t at = index_.indexed;
    index_.by_hash.emplace(hash, at);
    index_.children.emplace_back();
    (parent_at < at ? index_.children[parent_at] : index_.roots).push_back(at);
    ++index_.indexed;
}

const Registry::Index& Registry::current_index() const {
    if (index_.indexed > keys.size()) index_ = Index{};  // keys went away: index afresh
    while (index_.indexed < keys.size()) {
        const std::wstring_view path = keys[index_.indexed].path();
        const std::wstring_view parent = parent_of(path);
        index_next(folded_hash(path), parent.empty() ? keys.size() : indexed_position(parent, folded_hash(parent)));
    }
    return index_;
}

RegistryKey* Registry::find(const std::wstring& path) {
    const std::size_t at = position_of(path);
    return at < keys.size() ? &keys[at] : nullptr;
}

const RegistryKey* Registry::find(const std::wstring& path) const {
    const std::size_t at = position_of(path);
    return at < keys.size() ? &keys[at] : nullptr;
}

RegistryKey& Registry::create(const std::wstring& path) { return keys[create_position(path)]; }

std::size_t Registry::create_position(std::wstring_view path) {
    current_index();
    // The hashes of the path and of each of its ancestors, in one pass (the
    // hash reads the path from its start).
    struct Prefix {
        std::size_t size;
        std::uint64_t hash;
    };
    std::vector<Prefix> prefixes;
    std::uint64_t hash = folded_hash({});
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == L'\\' && i > 0) prefixes.push_back({i, hash});
        hash = folded_hash_step(hash, path[i]);
    }
    prefixes.push_back({path.size(), hash});
    // The deepest key that exists already, then the missing ones below it,
    // all on one copy of the path.
    std::size_t missing = prefixes.size();
    std::size_t parent_at = keys.size() + 1;  // none
    while (missing > 0) {
        const Prefix& p = prefixes[missing - 1];
        const std::size_t at = indexed_position(path.substr(0, p.size), p.hash);
        if (at < keys.size()) {
            parent_at = at;
            break;
        }
        --missing;
    }
    if (missing == prefixes.size()) return parent_at;
    const auto text = std::make_shared<const std::wstring>(path);
    for (std::size_t i = missing; i < prefixes.size(); ++i) {
        keys.push_back(RegistryKey{text, prefixes[i].size, {}, {}});
        index_next(prefixes[i].hash, parent_at);  // indexed here, knowing the parent's place
        parent_at = keys.size() - 1;
    }
    return keys.size() - 1;
}

bool Registry::remove_tree(const std::wstring& path) {
    if (find(path) == nullptr) {
        return false;
    }
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const RegistryKey& key) {
                                  return same_path(key.path(), path) || starts_with_nocase(key.path(), path + L"\\");
                              }),
               keys.end());
    index_ = Index{};
    return true;
}

std::vector<std::wstring> Registry::subkey_names(const std::wstring& path) const {
    std::vector<std::wstring> names;
    for (std::size_t at = 0;; ++at) {
        std::optional<std::wstring> name = subkey_name(path, at);
        if (!name) break;
        names.push_back(std::move(*name));
    }
    return names;
}

std::optional<std::wstring> Registry::subkey_name(const std::wstring& path, std::size_t index) const {
    const std::size_t at = position_of(path);
    if (at >= keys.size()) return std::nullopt;
    const std::vector<std::size_t>& children = current_index().children[at];
    if (index >= children.size()) return std::nullopt;
    const std::wstring_view child = keys[children[index]].path();
    return std::wstring(child.substr(child.rfind(L'\\') + 1));
}

void Registry::set_value(const std::wstring& path, RegistryValue value) { set_value(create(path), std::move(value)); }

void Registry::set_value(RegistryKey& key, RegistryValue value) {
    for (RegistryValue& existing : key.values) {
        if (equals_nocase(existing.name, value.name)) {
            existing = std::move(value);
            return;
        }
    }
    key.values.push_back(std::move(value));
}

namespace {

// Removes the entry of `key` that points at `at`.
template <typename Map, typename Key>
void erase_place(Map& map, const Key& key, std::size_t at) {
    const auto [first, last] = map.equal_range(key);
    for (auto it = first; it != last; ++it) {
        if (it->second == at) {
            map.erase(it);
            return;
        }
    }
}

}  // namespace

void Machine::index_device(std::size_t at) const {
    const Device& d = devices[at];
    device_index_.by_id.emplace(folded_hash(d.description.instance_id), at);
    device_index_.by_dev_inst.emplace(d.state.dev_inst, at);
    device_index_.highest_dev_inst = std::max(device_index_.highest_dev_inst, d.state.dev_inst);
}

const Machine::DeviceIndex& Machine::current_device_index() const {
    if (device_index_.indexed > devices.size()) device_index_ = DeviceIndex{};  // nodes went away: index afresh
    for (; device_index_.indexed < devices.size(); ++device_index_.indexed) index_device(device_index_.indexed);
    return device_index_;
}

void Machine::shift_device_places(std::size_t from, int delta) {
    for (auto& entry : device_index_.by_id) {
        if (entry.second >= from) entry.second = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(entry.second) + delta);
    }
    for (auto& entry : device_index_.by_dev_inst) {
        if (entry.second >= from) entry.second = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(entry.second) + delta);
    }
}

std::size_t Machine::device_position(const std::wstring& instance_id) const {
    const DeviceIndex& index = current_device_index();
    std::size_t found = devices.size();
    const auto [first, last] = index.by_id.equal_range(folded_hash(instance_id));
    for (auto it = first; it != last; ++it) {
        if (it->second < found && equals_nocase(devices[it->second].description.instance_id, instance_id))
            found = it->second;
    }
    return found;
}

std::size_t Machine::device_position(std::uint32_t dev_inst) const {
    const DeviceIndex& index = current_device_index();
    std::size_t found = devices.size();
    const auto [first, last] = index.by_dev_inst.equal_range(dev_inst);
    for (auto it = first; it != last; ++it) {
        if (it->second < found && devices[it->second].state.dev_inst == dev_inst) found = it->second;
    }
    return found;
}

Device* Machine::find_device(const std::wstring& instance_id) {
    const std::size_t at = device_position(instance_id);
    return at < devices.size() ? &devices[at] : nullptr;
}

Device* Machine::find_device(std::uint32_t dev_inst) {
    const std::size_t at = device_position(dev_inst);
    return at < devices.size() ? &devices[at] : nullptr;
}

const Device* Machine::find_device(const std::wstring& instance_id) const {
    const std::size_t at = device_position(instance_id);
    return at < devices.size() ? &devices[at] : nullptr;
}

const Device* Machine::find_device(std::uint32_t dev_inst) const {
    const std::size_t at = device_position(dev_inst);
    return at < devices.size() ? &devices[at] : nullptr;
}

Device& Machine::add_device(Device device) {
    device.state.dev_inst = current_device_index().highest_dev_inst + 1;
    device.state.enumeration_rank = static_cast<std::uint32_t>(devices.size());
    devices.push_back(std::move(device));
    index_device(devices.size() - 1);
    ++device_index_.indexed;
    return devices.back();
}

void Machine::add_devices(std::vector<Device> added) {
    devices.reserve(devices.size() + added.size());
    for (Device& device : added) add_device(std::move(device));
}

std::optional<Device> Machine::take_device(const std::wstring& instance_id) {
    const std::size_t at = device_position(instance_id);
    if (at == devices.size()) return std::nullopt;
    Device taken = std::move(devices[at]);
    erase_place(device_index_.by_id, folded_hash(taken.description.instance_id), at);
    erase_place(device_index_.by_dev_inst, taken.state.dev_inst, at);
    devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(at));
    --device_index_.indexed;
    shift_device_places(at + 1, -1);
    if (taken.state.dev_inst == device_index_.highest_dev_inst) {
        device_index_.highest_dev_inst = 0;
        for (const Device& d : devices)
            device_index_.highest_dev_inst = std::max(device_index_.highest_dev_inst, d.state.dev_inst);
    }
    return taken;
}

Device& Machine::insert_device(Device device) {
    current_device_index();
    const auto place = std::find_if(devices.begin(), devices.end(), [&](const Device& e) {
        return e.state.enumeration_rank > device.state.enumeration_rank;
    });
    const auto at = static_cast<std::size_t>(place - devices.begin());
    shift_device_places(at, +1);
    devices.insert(place, std::move(device));
    index_device(at);
    ++device_index_.indexed;
    return devices[at];
}

void Machine::renew_dev_inst(Device& device, std::uint32_t dev_inst) {
    const DeviceIndex& index = current_device_index();
    std::size_t at = devices.size();
    const auto [first, last] = index.by_dev_inst.equal_range(device.state.dev_inst);
    for (auto it = first; it != last; ++it) {
        if (&devices[it->second] == &device) at = it->second;
    }
    if (at == devices.size()) {  // not a node of the tree: nothing indexes it
        device.state.dev_inst = dev_inst;
        return;
    }
    const std::uint32_t old = device.state.dev_inst;
    erase_place(device_index_.by_dev_inst, old, at);
    device.state.dev_inst = dev_inst;
    device_index_.by_dev_inst.emplace(dev_inst, at);
    if (old == device_index_.highest_dev_inst && dev_inst < old) {
        device_index_.highest_dev_inst = 0;
        for (const Device& d : devices)
            device_index_.highest_dev_inst = std::max(device_index_.highest_dev_inst, d.state.dev_inst);
    } else {
        device_index_.highest_dev_inst = std::max(device_index_.highest_dev_inst, dev_inst);
    }
}

File* Machine::find_file(const std::wstring& path) {
    for (File& file : files) {
        if (same_windows_path(file.path, path)) return &file;
    }
    return nullptr;
}

FileSecurityRecord Machine::file_security_of(const std::wstring& path) const {
    const std::wstring n = normalized_windows_path(path);
    const auto under = [&n](const wchar_t* folder) {
        const std::wstring f = folder;
        return n == f || (n.size() > f.size() && n.compare(0, f.size(), f) == 0 && n[f.size()] == L'\\');
    };
    FileSecurityRecord security;
    if (under(L"C:\\WINDOWS") || under(L"C:\\PROGRAM FILES") || under(L"C:\\PROGRAM FILES (X86)")) {
        security = {kAdministratorsSid, false};
    } else if (under(L"C:\\USERS") && n != L"C:\\USERS") {
        security = {user_sid, true};
    } else {
        security = {kAdministratorsSid, true};
    }
    for (const File& file : files) {
        if (!same_windows_path(file.path, path)) continue;
        if (file.owner) security.owner = *file.owner == L"user" ? user_sid : *file.owner;
        if (file.writable_by_non_admins) security.writable_by_non_admins = *file.writable_by_non_admins;
    }
    return security;
}

std::wstring normalized_windows_path(const std::wstring& path) {
    std::wstring n = to_upper_ascii(path);
    for (wchar_t& c : n) {
        if (c == L'/') c = L'\\';
    }
    while (n.size() > 3 && n.back() == L'\\') n.pop_back();
    return n;
}

bool same_windows_path(const std::wstring& a, const std::wstring& b) {
    return normalized_windows_path(a) == normalized_windows_path(b);
}

Machine& machine() { return current(); }

std::vector<std::string> handles_left_open(const Machine& m) {
    std::vector<std::string> open;
    const OpenHandles& h = m.handles;
    for (const auto& [raw, key] : h.keys.open) open.push_back("registry key " + narrow(key.path));
    for (const auto& [raw, file] : h.files.open) open.push_back("file " + narrow(file.path));
    open.insert(open.end(), h.device_sets.open.size(), "device information set");
    for (const auto& [raw, usb] : h.usb.open) open.push_back("WinUSB interface " + narrow(usb.path));
    open.insert(open.end(), h.snapshots.open.size(), "process snapshot");
    open.insert(open.end(), h.service_managers.open.size(), "service control manager");
    for (const auto& [raw, process] : h.processes.open) open.push_back("process " + std::to_string(process.pid));
    open.insert(open.end(), h.tokens.open.size(), "access token");
    for (const auto& [raw, module] : h.modules.open) {
        open.push_back("library " + narrow(module.path) + " (" + std::to_string(module.references) + " references)");
    }
    open.insert(open.end(), h.report_files.open.size(), "report file");
    for (const auto& [cookie, folder] : m.dll_directories) open.push_back("DLL directory " + narrow(folder));
    return open;
}

void set_machine(Machine m) { current() = std::move(m); }

std::optional<std::uint32_t> enter_call(const std::string& operation, const std::string& arguments) {
    Machine& m = current();
    const std::uint32_t nth = ++m.call_counts[operation];
    m.trace.push_back(TraceEntry{operation, arguments, 0});
    for (const Fault& fault : m.faults) {
        if (fault.operation == operation && fault.nth == nth) {
            return fault.code;
        }
    }
    return std::nullopt;
}

void record_result(std::int64_t result) {
    Machine& m = current();
    if (!m.trace.empty()) {
        m.trace.back().result = result;
    }
}

std::size_t count_calls(const std::string& operation) {
    const auto& trace = current().trace;
    return static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [&](const TraceEntry& e) { return e.operation == operation; }));
}

std::size_t count_calls(const std::string& operation, const std::string& arguments) {
    const auto& trace = current().trace;
    return static_cast<std::size_t>(std::count_if(trace.begin(), trace.end(), [&](const TraceEntry& e) {
        return e.operation == operation && e.arguments == arguments;
    }));
}

std::string narrow(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        // Wide text holds UTF-16 units; join surrogate pairs for display. A
        // lone surrogate is written as its own unit.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const auto low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        append_utf8(out, c);
    }
    return out;
}

}  // namespace vq4::sim
