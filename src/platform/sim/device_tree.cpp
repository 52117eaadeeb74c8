// How the simulated device tree takes the repair's changes.
//
// A node removed with DIF_REMOVE leaves `devices` (no node, no Enum key, not
// even a phantom) and, while its hardware is attached, waits in
// `removed_devices` for the re-enumeration of an ancestor. Coming back it gets
// a fresh devnode handle and a fresh hardware key holding what detection
// writes; the firmware decides whether the key also gets the descriptor's
// interface GUID. A WinUSB node registers the device interfaces of the GUIDs
// in its hardware key whenever it starts (arrival or property-change restart).
#include "platform/sim/device_tree.h"
#include "platform/sim/interruption.h"

#include <algorithm>
#include <cwchar>
#include <optional>

#include "platform/win_constants.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

bool is_winusb(const Device& d) {
    return d.description.service.has_value() && equals_nocase(*d.description.service, L"WINUSB");
}

bool is_guid_value(const std::wstring& name) {
    return equals_nocase(name, L"DeviceInterfaceGUIDs") || equals_nocase(name, L"DeviceInterfaceGUID");
}

std::wstring to_lower_ascii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

Device* find_removed(const std::wstring& instance_id) {
    for (Device& d : machine().removed_devices) {
        if (equals_nocase(d.description.instance_id, instance_id)) return &d;
    }
    return nullptr;
}

// The parent id of a node in the tree or among the removed ones.
const std::wstring* parent_id_of(const std::wstring& instance_id) {
    if (const Device* d = machine().find_device(instance_id)) return &d->description.parent_id;
    if (const Device* d = find_removed(instance_id)) return &d->description.parent_id;
    return nullptr;
}

// True when `ancestor` is `instance_id` itself or above it.
bool is_at_or_below(const std::wstring& instance_id, const std::wstring& ancestor) {
    std::wstring current = instance_id;
    const std::size_t limit = machine().devices.size() + machine().removed_devices.size() + 1;
    for (std::size_t step = 0; step <= limit && !current.empty(); ++step) {
        if (equals_nocase(current, ancestor)) return true;
        const std::wstring* parent = parent_id_of(current);
        if (parent == nullptr) return false;
        current = *parent;
    }
    return false;
}

bool strictly_below(const std::wstring& instance_id, const std::wstring& ancestor) {
    return !equals_nocase(instance_id, ancestor) && is_at_or_below(instance_id, ancestor);
}

// A removed or orphaned node may come back when its parent is present and at
// or below the re-enumerated node.
bool may_come_back_below(const Device& d, const std::wstring& root_id) {
    const Device* parent = machine().find_device(d.description.parent_id);
    return parent != nullptr && parent->description.present && is_at_or_below(parent->description.instance_id, root_id);
}

// Devnode handles are never handed out twice: a stale handle of a removed
// node must not name its successor.
std::uint32_t& next_dev_inst() {
    static std::uint32_t next = 1;
    return next;
}

std::uint32_t fresh_dev_inst() {
    std::uint32_t& next = next_dev_inst();
    std::uint32_t highest = 0;
    for (const Device& d : machine().devices) highest = std::max(highest, d.state.dev_inst);
    for (const Device& d : machine().removed_devices) highest = std::max(highest, d.state.dev_inst);
    next = std::max(next, highest + 1);
    return next++;
}

std::vector<std::wstring> registered_guid_texts(const std::wstring& instance_id) {
    std::vector<std::wstring> texts;
    const RegistryKey* key = machine().registry.find(hardware_key_path(instance_id));
    if (key == nullptr) return texts;
    for (const RegistryValue& value : key->values) {
        if (equals_nocase(value.name, L"DeviceInterfaceGUIDs")) {
            std::size_t at = 0;
            const std::size_t units = value.data.size() / 2;
            while (at < units) {
                std::wstring text;
                while (at < units && (value.data[2 * at] | value.data[2 * at + 1]) != 0) {
                    text.push_back(static_cast<wchar_t>(value.data[2 * at] | (value.data[2 * at + 1] << 8)));
                    ++at;
                }
                if (text.empty()) break;
                texts.push_back(text);
                ++at;
            }
        }
    }
    for (const RegistryValue& value : key->values) {
        if (equals_nocase(value.name, L"DeviceInterfaceGUID")) {
            const std::wstring text = utf16le_text(value.data);
            if (!text.empty()) texts.push_back(text);
        }
    }
    return texts;
}

void register_interfaces(Device& d) {
    d.description.interfaces.clear();
    d.state.winusb_transfers.clear();
    d.state.interfaces_at_ms.reset();
    for (const std::wstring& text : registered_guid_texts(d.description.instance_id)) {
        Guid guid;
        if (!parse_guid(text, guid)) continue;
        const std::wstring braced = format_guid(guid);
        const bool listed = std::any_of(d.description.interfaces.begin(), d.description.interfaces.end(),
                                        [&](const DeviceInterfaceRecord& r) { return equals_nocase(r.guid, braced); });
        if (!listed) {
            d.description.interfaces.push_back(
                DeviceInterfaceRecord{braced, interface_path(d.description.instance_id, braced), false, {}, {}});
        }
    }
}

// The node's driver starts at `when` (virtual time). Other drivers than
// WinUSB keep the interfaces they always register.
void start(Device& d, std::uint64_t when) {
    if (!is_winusb(d)) return;
    d.description.interfaces.clear();
    d.state.winusb_transfers.clear();
    d.state.interfaces_at_ms.reset();
    if (!d.behaviour.interface_delay_ms) return;
    d.state.interfaces_at_ms = when + *d.behaviour.interface_delay_ms;
    if (*d.state.interfaces_at_ms <= machine().virtual_clock_ms) register_interfaces(d);
}

// The device's revision (bcdDevice): as detection wrote it into the node's
// key, else as the hub put it into the node's hardware ids ("...&REV_0102...").
std::optional<std::uint32_t> revision_of(const Device& d) {
    if (const RegistryKey* key = machine().registry.find(hardware_key_path(d.description.instance_id))) {
        for (const RegistryValue& value : key->values) {
            if (equals_nocase(value.name, L"RevisionId") && value.type == win::REG_DWORD_ && value.data.size() == 4) {
                return std::uint32_t{value.data[0]} | std::uint32_t{value.data[1]} << 8 |
                       std::uint32_t{value.data[2]} << 16 | std::uint32_t{value.data[3]} << 24;
            }
        }
    }
    if (!d.description.hardware_ids) return std::nullopt;
    for (const std::wstring& id : *d.description.hardware_ids) {
        const std::wstring upper = to_upper_ascii(id);
        const std::wstring::size_type at = upper.find(L"&REV_");
        if (at == std::wstring::npos) continue;
        const std::wstring digits = upper.substr(at + 5, upper.find(L'&', at + 5) - (at + 5));
        if (digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of(L"0123456789ABCDEF") != std::wstring::npos) {
            continue;
        }
        return static_cast<std::uint32_t>(std::wcstoul(digits.c_str(), nullptr, 16));
    }
    return std::nullopt;
}

// Windows keeps what it learnt of the descriptor under usbflags\VVVVPPPPRRRR;
// without a known revision any key of the VID and PID counts.
bool descriptor_cache_present(const Device& d) {
    const std::wstring prefix = descriptor_cache_prefix(d.description.instance_id);
    if (prefix.empty()) return false;
    const std::wstring::size_type slash = prefix.rfind(L'\\');
    const std::wstring folder = prefix.substr(0, slash);
    std::wstring name_prefix = prefix.substr(slash + 1);
    if (const auto revision = revision_of(d)) {
        wchar_t digits[8] = {};
        std::swprintf(digits, 8, L"%04X", static_cast<unsigned int>(*revision & 0xFFFFu));
        return machine().registry.find(folder + L"\\" + name_prefix + digits) != nullptr;
    }
    for (const std::wstring& name : machine().registry.subkey_names(folder)) {
        if (starts_with_nocase(name, name_prefix)) return true;
    }
    return false;
}

// The re-read descriptor gives the firmware's GUID, or it does not.
void apply_firmware(const Device& d) {
    const bool gives =
        d.behaviour.firmware_guid_returns == FirmwareGuidReturn::AfterInterfaceRedetect ||
        (d.behaviour.firmware_guid_returns == FirmwareGuidReturn::AfterCacheDeleted && !descriptor_cache_present(d));
    if (!gives) return;
    machine().registry.set_value(
        hardware_key_path(d.description.instance_id),
        RegistryValue{L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, utf16le_bytes(d.behaviour.firmware_guid, 2), {}});
}

void arrive_removed(Device d, std::uint64_t when) {
    d.description.present = true;
    d.state.phantom_by_removal = false;
    d.state.arrives_at_ms.reset();
    d.state.dev_inst = fresh_dev_inst();
    // Enumeration gives the node its key below Enum again.
    machine().registry.create(instance_key_path(d.description.instance_id));
    if (d.behaviour.detected_values) {
        const std::wstring key = hardware_key_path(d.description.instance_id);
        machine().registry.create(key);
        for (const RegistryValue& value : *d.behaviour.detected_values) machine().registry.set_value(key, value);
    }
    apply_firmware(d);
    start(d, when);
    machine().insert_device(std::move(d));  // back at its place in the system's order
}

void arrive_orphan(Device& d, std::uint64_t when) {
    d.description.present = true;
    d.state.phantom_by_removal = false;
    d.state.arrives_at_ms.reset();
    machine().renew_dev_inst(d, fresh_dev_inst());
    apply_firmware(d);
    start(d, when);
}

// One arrival (or scheduling) below `root_id`; false when nothing is left to do.
bool bring_back_one(const std::wstring& root_id) {
    auto& removed = machine().removed_devices;
    for (std::size_t i = 0; i < removed.size(); ++i) {
        Device& r = removed[i];
        if (r.state.arrives_at_ms || !r.behaviour.redetect_delay_ms || !may_come_back_below(r, root_id)) continue;
        if (*r.behaviour.redetect_delay_ms == 0) {
            Device d = std::move(r);
            removed.erase(removed.begin() + static_cast<std::ptrdiff_t>(i));
            arrive_removed(std::move(d), machine().virtual_clock_ms);
            return true;
        }
        r.state.arrives_at_ms = machine().virtual_clock_ms + *r.behaviour.redetect_delay_ms;
    }
    for (Device& d : machine().devices) {
        if (d.description.present || !d.state.phantom_by_removal || d.state.arrives_at_ms ||
            !d.behaviour.redetect_delay_ms || !may_come_back_below(d, root_id)) {
            continue;
        }
        if (*d.behaviour.redetect_delay_ms == 0) {
            arrive_orphan(d, machine().virtual_clock_ms);
            return true;
        }
        d.state.arrives_at_ms = machine().virtual_clock_ms + *d.behaviour.redetect_delay_ms;
    }
    return false;
}

// Arrivals that are due; false when none is.
bool arrive_one_due() {
    const std::uint64_t now = machine().virtual_clock_ms;
    auto& removed = machine().removed_devices;
    for (std::size_t i = 0; i < removed.size(); ++i) {
        if (!removed[i].state.arrives_at_ms || *removed[i].state.arrives_at_ms > now) continue;
        const Device* parent = machine().find_device(removed[i].description.parent_id);
        if (parent == nullptr || !parent->description.present) {
            removed[i].state.arrives_at_ms.reset();  // its parent went away meanwhile
            continue;
        }
        const std::uint64_t when = *removed[i].state.arrives_at_ms;
        Device d = std::move(removed[i]);
        removed.erase(removed.begin() + static_cast<std::ptrdiff_t>(i));
        const std::wstring id = d.description.instance_id;
        arrive_removed(std::move(d), when);
        reenumerate_below(id);
        return true;
    }
    for (Device& d : machine().devices) {
        if (d.description.present || !d.state.arrives_at_ms || *d.state.arrives_at_ms > now) continue;
        const std::uint64_t when = *d.state.arrives_at_ms;
        const Device* parent = machine().find_device(d.description.parent_id);
        if (parent == nullptr || !parent->description.present) {
            d.state.arrives_at_ms.reset();
            continue;
        }
        const std::wstring id = d.description.instance_id;
        arrive_orphan(d, when);
        reenumerate_below(id);
        return true;
    }
    return false;
}

}  // namespace

std::wstring instance_key_path(const std::wstring& instance_id) {
    return L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + instance_id;
}

std::wstring descriptor_cache_prefix(const std::wstring& instance_id) {
    const std::wstring upper = to_upper_ascii(instance_id);
    const std::wstring::size_type vid = upper.find(L"VID_");
    const std::wstring::size_type pid = upper.find(L"PID_");
    if (vid == std::wstring::npos || pid == std::wstring::npos || vid + 8 > upper.size() || pid + 8 > upper.size()) {
        return {};
    }
    return L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\" + upper.substr(vid + 4, 4) + upper.substr(pid + 4, 4);
}

std::wstring interface_path(const std::wstring& instance_id, const std::wstring& guid) {
    std::wstring id = instance_id;
    std::replace(id.begin(), id.end(), L'\\', L'#');
    return L"\\\\?\\" + to_lower_ascii(id) + L"#" + to_lower_ascii(guid);
}

void remove_device(const std::wstring& instance_id) {
    std::optional<Device> taken = machine().take_device(instance_id);
    if (!taken) return;
    Device removed = std::move(*taken);
    auto& devices = machine().devices;
    next_dev_inst() = std::max(next_dev_inst(), removed.state.dev_inst + 1);

    // What detection writes when the node comes back: its key as it was,
    // without the interface GUIDs (those come from the firmware or by hand).
    if (const RegistryKey* key = machine().registry.find(hardware_key_path(removed.description.instance_id))) {
        std::vector<RegistryValue> values;
        for (const RegistryValue& value : key->values) {
            if (!is_guid_value(value.name)) values.push_back(value);
        }
        removed.behaviour.detected_values = std::move(values);
    } else {
        removed.behaviour.detected_values.reset();
    }
    machine().registry.remove_tree(instance_key_path(removed.description.instance_id));

    // Nodes below lose their devnodes but keep their keys, as phantoms.
    for (Device& d : devices) {
        if (!strictly_below(d.description.instance_id, removed.description.instance_id) &&
            !equals_nocase(d.description.parent_id, removed.description.instance_id)) {
            continue;
        }
        if (d.description.present) {
            d.description.present = false;
            d.state.phantom_by_removal = true;
        }
        d.state.arrives_at_ms.reset();
        d.state.interfaces_at_ms.reset();
    }
    for (Device& d : machine().removed_devices) {
        if (equals_nocase(d.description.parent_id, removed.description.instance_id) ||
            strictly_below(d.description.instance_id, removed.description.instance_id)) {
            d.state.arrives_at_ms.reset();
        }
    }

    const bool attached = removed.description.present || removed.state.phantom_by_removal;
    if (!attached) return;  // an unplugged device's phantom is simply gone
    removed.description.present = false;
    removed.state.phantom_by_removal = false;
    removed.state.arrives_at_ms.reset();
    removed.state.interfaces_at_ms.reset();
    machine().removed_devices.push_back(std::move(removed));
}

std::uint32_t removal_left_to_restart(const std::wstring& instance_id) {
    const Device* d = machine().find_device(instance_id);
    if (d == nullptr) return 0;
    if (d->behaviour.remove_flags != 0) return d->behaviour.remove_flags;
    const auto held = [](const Device& node) {
        return node.description.present &&
               std::any_of(node.description.interfaces.begin(), node.description.interfaces.end(),
                           [](const DeviceInterfaceRecord& r) { return r.held_by_other_process; });
    };
    if (held(*d)) return win::DI_NEEDREBOOT_;
    for (const Device& below : machine().devices) {
        if (held(below) && strictly_below(below.description.instance_id, d->description.instance_id))
            return win::DI_NEEDREBOOT_;
    }
    return 0;
}

void reenumerate_below(const std::wstring& instance_id) {
    while (bring_back_one(instance_id)) {
    }
}

void restart_device(const std::wstring& instance_id) {
    Device* d = machine().find_device(instance_id);
    if (d == nullptr || !d->description.present) return;
    start(*d, machine().virtual_clock_ms);
}

void advance_clock(std::uint64_t milliseconds) {
    machine().virtual_clock_ms += milliseconds;
    while (arrive_one_due()) {
    }
    const std::uint64_t now = machine().virtual_clock_ms;
    for (Device& d : machine().devices) {
        if (d.description.present && d.state.interfaces_at_ms && *d.state.interfaces_at_ms <= now)
            register_interfaces(d);
    }
}

std::optional<std::size_t> first_node_in_parent_cycle(const Machine& m) {
    // Each node is walked once: a walk stops at a root, at a node already
    // known to reach one (done), or at a node of the walk itself (a cycle).
    enum : std::uint8_t { unseen, on_walk, done };
    std::vector<std::uint8_t> state(m.devices.size(), unseen);
    std::vector<std::size_t> walk;
    for (std::size_t start = 0; start < m.devices.size(); ++start) {
        walk.clear();
        for (std::size_t at = start; at < m.devices.size() && state[at] != done;) {
            if (state[at] == on_walk) return start;
            state[at] = on_walk;
            walk.push_back(at);
            const std::wstring& parent = m.devices[at].description.parent_id;
            at = parent.empty() ? m.devices.size() : m.device_position(parent);
        }
        for (const std::size_t at : walk) state[at] = done;
    }
    return std::nullopt;
}

void finish_pending_system_work() {
    // The latest moment anything finite is due; arrivals may schedule more.
    for (;;) {
        std::optional<std::uint64_t> due;
        const auto consider = [&](const std::optional<std::uint64_t>& at) {
            if (at && (!due || *at > *due)) due = *at;
        };
        for (const Device& d : machine().removed_devices) consider(d.state.arrives_at_ms);
        for (const Device& d : machine().devices) {
            consider(d.state.arrives_at_ms);
            if (d.description.present) consider(d.state.interfaces_at_ms);
        }
        if (!due) return;
        const std::uint64_t now = machine().virtual_clock_ms;
        advance_clock(*due > now ? *due - now : 0);
        // advance_clock() handles everything due by then; what an arrival
        // scheduled later is seen on the next round.
        bool left = false;
        for (const Device& d : machine().removed_devices) left = left || (d.state.arrives_at_ms && *d.state.arrives_at_ms <= *due);
        for (const Device& d : machine().devices) left = left || (d.state.arrives_at_ms && *d.state.arrives_at_ms <= *due);
        if (left) return;  // a node whose parent went away: it waits for a replug
    }
}

void start_windows_again() {
    // Removals left to the restart complete first.
    std::vector<std::wstring> pending;
    for (const Device& d : machine().devices) {
        if (d.state.removal_pending) pending.push_back(d.description.instance_id);
    }
    for (const std::wstring& id : pending) {
        if (Device* d = machine().find_device(id)) d->state.removal_pending = false;
        remove_device(id);
    }
    // Plug and Play enumerates the attached hardware from the root down: a
    // node comes back once its parent is there, whatever "redetect" says of a
    // re-enumeration while Windows runs.
    const auto parent_present = [](const Device& d) {
        if (d.description.parent_id.empty()) return true;
        const Device* parent = machine().find_device(d.description.parent_id);
        return parent != nullptr && parent->description.present;
    };
    for (bool arrived = true; arrived;) {
        arrived = false;
        auto& removed = machine().removed_devices;
        for (std::size_t i = 0; i < removed.size(); ++i) {
            if (!parent_present(removed[i])) continue;
            Device d = std::move(removed[i]);
            removed.erase(removed.begin() + static_cast<std::ptrdiff_t>(i));
            arrive_removed(std::move(d), machine().virtual_clock_ms);
            arrived = true;
            break;
        }
        if (arrived) continue;
        for (Device& d : machine().devices) {
            if (d.description.present || !d.state.phantom_by_removal || !parent_present(d)) continue;
            arrive_orphan(d, machine().virtual_clock_ms);
            arrived = true;
            break;
        }
    }
    // Every present node is detected again and its driver starts.
    for (Device& d : machine().devices) {
        d.state.arrives_at_ms.reset();
        if (!d.description.present) continue;
        apply_firmware(d);
        start(d, machine().virtual_clock_ms);
    }
    finish_pending_system_work();
}

}  // namespace vq4::sim
