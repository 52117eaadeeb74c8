#include "platform/sim/machine_writer.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <utility>

#include "platform/sim/device_tree.h"
#include "platform/win_constants.h"
#include "util/json_writer.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

std::string hex_text(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

// Exact: type by number, data as its bytes.
void write_value(JsonWriter& out, const RegistryValue& value) {
    out.begin_object();
    out.member("name", value.name);
    if (value.read_error) {
        out.member("error", *value.read_error);
    } else {
        out.member("type", value.type);
        out.member("hex", hex_text(value.data));
    }
    out.end_object();
}

// The keys in the order loading the file creates them, which is the order
// subkeys enumerate in: the loader takes "devices" before "registry" (it
// reads an object's entries in name order), and a node creates its Enum key
// and the key's missing ancestors; then the rest in creation order (a key
// after its parent, as create() makes ancestors first).
std::vector<const RegistryKey*> keys_in_loading_order(const Machine& m) {
    std::vector<const RegistryKey*> order;
    std::vector<bool> taken(m.registry.keys.size(), false);
    const auto take = [&](const std::wstring& path) {
        const RegistryKey* key = m.registry.find(path);
        if (key == nullptr) return;
        const auto at = static_cast<std::size_t>(key - m.registry.keys.data());
        if (taken[at]) return;
        taken[at] = true;
        order.push_back(key);
    };
    for (const Device& d : m.devices) {
        const std::wstring path = instance_key_path(d.description.instance_id);
        for (std::size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
            take(path.substr(0, at));
        }
        take(path);
    }
    for (std::size_t i = 0; i < m.registry.keys.size(); ++i) {
        if (!taken[i]) order.push_back(&m.registry.keys[i]);
    }
    return order;
}

void write_registry(JsonWriter& out, const Machine& m) {
    out.key("registry");
    out.begin_array();
    for (const RegistryKey* key_at : keys_in_loading_order(m)) {
        const RegistryKey& key = *key_at;
        out.begin_object();
        out.member("key", std::wstring(key.path()));
        out.key("values");
        out.begin_array();
        for (const RegistryValue& value : key.values) write_value(out, value);
        out.end_array();
        if (key.open_error) out.member("open_error", *key.open_error);
        out.end_object();
    }
    out.end_array();
}

// A property read the machine file gives as exact bytes or an error.
bool write_raw_property(JsonWriter& out, const char* entry, const Device& d, std::uint32_t property) {
    const auto raw = d.description.raw_properties.find(property);
    if (raw == d.description.raw_properties.end()) return false;
    out.key(entry);
    out.begin_object();
    if (raw->second.error != 0) {
        out.member("error", raw->second.error);
    } else {
        out.member("hex", hex_text(raw->second.bytes));
    }
    out.end_object();
    return true;
}

void write_text_property(JsonWriter& out, const char* entry, const Device& d, std::uint32_t property,
                         const std::optional<std::wstring>& text) {
    if (write_raw_property(out, entry, d, property)) return;
    if (text) out.member(entry, *text);
}

// The steps not taken yet: the last one repeats, so it always stays.
void write_steps(JsonWriter& out, const char* entry, const std::vector<UsbTransferStep>& steps, std::size_t done,
                 bool is_read) {
    if (steps.empty()) return;
    const std::size_t skipped = std::min(done, steps.size() - 1);
    out.key(entry);
    out.begin_array();
    for (std::size_t i = skipped; i < steps.size(); ++i) {
        const UsbTransferStep& step = steps[i];
        out.begin_object();
        if (step.error != 0) {
            out.member("error", step.error);
        } else if (step.waits) {
            out.member("wait", true);
        } else if (is_read) {
            out.member("reply", hex_text(step.reply));
        }
        out.end_object();
    }
    out.end_array();
}

void write_interfaces(JsonWriter& out, const Device& d) {
    out.key("interfaces");
    out.begin_array();
    for (std::size_t i = 0; i < d.description.interfaces.size(); ++i) {
        const DeviceInterfaceRecord& r = d.description.interfaces[i];
        const WinUsbTransfers done = i < d.state.winusb_transfers.size() ? d.state.winusb_transfers[i] : WinUsbTransfers{};
        out.begin_object();
        out.member("guid", r.guid);
        out.member("path", r.path);
        if (r.held_open_error) {
            out.member("held_by_other_process", *r.held_open_error);
        } else if (r.held_by_other_process) {
            out.member("held_by_other_process", true);
        }
        out.key("winusb");
        out.begin_object();
        out.member("initialize_error", r.winusb.initialize_error);
        out.member("alternate_setting_error", r.winusb.alternate_setting_error);
        write_steps(out, "writes", r.winusb.writes, done.writes_done, false);
        write_steps(out, "reads", r.winusb.reads, done.reads_done, true);
        out.end_object();
        out.end_object();
    }
    out.end_array();
}

void write_delay(JsonWriter& out, const char* entry, const std::optional<std::uint64_t>& delay) {
    if (delay) {
        out.member(entry, *delay);
    } else {
        out.member(entry, "never");
    }
}

const char* flags_word(std::uint32_t flags) {
    if (flags == win::DI_NEEDREBOOT_) return "need_reboot";
    if (flags == win::DI_NEEDRESTART_) return "need_restart";
    return "ok";
}

void write_behaviour(JsonWriter& out, const DeviceBehaviour& b) {
    if (b.remove_error) out.member("remove_error", *b.remove_error);
    if (!b.remove_error) out.member("remove", flags_word(b.remove_flags));
    write_delay(out, "redetect", b.redetect_delay_ms);
    out.member("firmware_guid", b.firmware_guid);
    out.member("firmware_guid_returns", b.firmware_guid_returns == FirmwareGuidReturn::AfterInterfaceRedetect
                                            ? "after_interface_redetect"
                                        : b.firmware_guid_returns == FirmwareGuidReturn::AfterCacheDeleted
                                            ? "after_cache_deleted"
                                            : "never");
    write_delay(out, "interface_delay_ms", b.interface_delay_ms);
    if (b.restart_error != 0) {
        out.member("restart", b.restart_error);
    } else {
        out.member("restart", flags_word(b.restart_flags));
    }
}

// `removed`: a node DIF_REMOVE took out whose hardware is still attached.
void write_device(JsonWriter& out, const Device& d, bool removed) {
    out.begin_object();
    out.member("instance_id", d.description.instance_id);
    if (!d.description.parent_id.empty()) out.member("parent", d.description.parent_id);
    out.member("present", d.description.present);
    if (removed) out.member("removed", true);
    if (d.state.phantom_by_removal) out.member("orphaned_by_removal", true);
    if (d.state.removal_pending) out.member("removal_pending", true);
    write_text_property(out, "friendly_name", d, win::SPDRP_FRIENDLYNAME_, d.description.friendly_name);
    write_text_property(out, "device_desc", d, win::SPDRP_DEVICEDESC_, d.description.device_desc);
    write_text_property(out, "service", d, win::SPDRP_SERVICE_, d.description.service);
    if (!write_raw_property(out, "hardware_ids", d, win::SPDRP_HARDWAREID_) && d.description.hardware_ids) {
        out.key("hardware_ids");
        out.begin_array();
        for (const std::wstring& id : *d.description.hardware_ids) out.value(id);
        out.end_array();
    }
    out.member("status", d.description.status);
    out.member("problem", d.description.problem);
    out.member("status_result", d.description.status_result);
    write_interfaces(out, d);
    write_behaviour(out, d.behaviour);
    if (removed && d.behaviour.detected_values) {
        out.key("detected_values");
        out.begin_array();
        for (const RegistryValue& value : *d.behaviour.detected_values) write_value(out, value);
        out.end_array();
    }
    out.end_object();
}

void write_files(JsonWriter& out, const std::vector<File>& files) {
    out.key("files");
    out.begin_array();
    for (const File& f : files) {
        out.begin_object();
        out.member("path", f.path);
        out.member("attributes", f.attributes);
        out.member("hex", hex_text(f.bytes));
        if (f.held_exclusively) out.member("held_exclusively", true);
        if (f.held_open) {
            out.key("held_open");
            out.begin_object();
            out.member("access", f.held_open->access);
            out.member("share", f.held_open->share);
            out.end_object();
        }
        out.end_object();
    }
    out.end_array();
}

// Answers one per call, the last repeating: those not given yet.
void write_answers(JsonWriter& out, const char* entry, const std::vector<std::int32_t>& answers, std::size_t given) {
    const std::size_t skipped = std::min(given, answers.size() - 1);
    out.key(entry);
    out.begin_array();
    for (std::size_t i = skipped; i < answers.size(); ++i) out.value(answers[i]);
    out.end_array();
}

void write_sdk(JsonWriter& out, const std::vector<SdkLibrary>& libraries) {
    out.key("sdk");
    out.begin_array();
    for (const SdkLibrary& l : libraries) {
        out.begin_object();
        out.member("path", l.path);
        if (l.load_error) out.member("load_error", *l.load_error);
        out.key("missing_entry_points");
        out.begin_array();
        for (const std::string& name : l.missing_entry_points) out.value(name);
        out.end_array();
        out.member("init_result", l.init_result);
        out.member("version", l.version);
        if (!l.device_changed_results.empty()) {
            write_answers(out, "is_device_changed", l.device_changed_results, l.device_changed_calls);
        } else {
            out.member("is_device_changed", l.device_changed == SdkDeviceChanged::Always  ? "always"
                                            : l.device_changed == SdkDeviceChanged::Never ? "never"
                                                                                          : "when_changed");
        }
        out.member("detection_delay_ms", l.detection_delay_ms);
        if (!l.device_counts.empty()) {
            write_answers(out, "device_count", l.device_counts, l.device_count_calls);
        } else if (l.device_count) {
            out.member("device_count", *l.device_count);
        }
        if (l.devices) {
            out.key("devices");
            out.begin_array();
            for (const SdkDeviceRecordSetup& d : *l.devices) {
                out.begin_object();
                out.member("name", d.name);
                out.member("vid", d.vendor_id);
                out.member("pid", d.product_id);
                out.member("symbolic_link", d.symbolic_link);
                out.member("serial_number", d.serial_number);
                out.member("firmware", d.firmware_version);
                out.member("result", d.result);
                out.end_object();
            }
            out.end_array();
        }
        out.member("loads_companion_by_name", l.loads_companion_by_name);
        out.end_object();
    }
    out.end_array();
}

void write_environment(JsonWriter& out, const std::vector<EnvironmentVariable>& environment) {
    out.key("environment");
    out.begin_object();
    // A default the process does not have is removed; every variable it has
    // is given, in its order (the loader appends them in the file's order).
    for (const EnvironmentVariable& d : default_environment()) {
        const bool kept = std::any_of(environment.begin(), environment.end(),
                                      [&](const EnvironmentVariable& v) { return equals_nocase(v.name, d.name); });
        if (!kept) {
            out.key(d.name);
            out.value(nullptr);
        }
    }
    // In name order, the order the loader reads an object's entries in.
    std::map<std::string, const EnvironmentVariable*> by_name;
    for (const EnvironmentVariable& v : environment) by_name[narrow(v.name)] = &v;
    for (const auto& [name, v] : by_name) {
        out.key(v->name);
        out.value(v->value);
    }
    out.end_object();
}

}  // namespace

std::string machine_file_text(const Machine& m) {
    JsonWriter out(4096 + m.registry.keys.size() * 160 + m.devices.size() * 900);
    out.begin_object();
    out.member("description", "The state of a simulated machine, written as it was left.");
    if (m.module_path) out.member("module_path", *m.module_path);
    if (m.current_directory) out.member("current_directory", *m.current_directory);
    write_environment(out, m.environment);
    if (m.local_time) {
        wchar_t text[32] = {};
        std::swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", unsigned{m.local_time->year},
                      unsigned{m.local_time->month}, unsigned{m.local_time->day}, unsigned{m.local_time->hour},
                      unsigned{m.local_time->minute}, unsigned{m.local_time->second});
        out.member("local_time", std::wstring(text));
    }
    out.member("native_architecture", m.native_architecture);
    if (m.native_machine) out.member("native_machine", *m.native_machine);
    out.member("is_wow64_process2", m.has_is_wow64_process2);
    out.member("console_attribute", m.console_attribute);
    out.member("elevated", m.elevated);
    out.member("elevation_prompt_accepted", m.elevation_prompt_accepted);
    out.member("runas_elevates", m.runas_elevates);
    // The registry before the devices: loading a node creates its Enum key,
    // which must then find the key in its place.
    write_registry(out, m);
    out.key("devices");
    out.begin_array();
    // In the system's order, the removed nodes at the places they come back to.
    std::vector<std::pair<const Device*, bool>> nodes;
    for (const Device& d : m.devices) nodes.emplace_back(&d, false);
    for (const Device& d : m.removed_devices) nodes.emplace_back(&d, true);
    std::stable_sort(nodes.begin(), nodes.end(), [](const auto& a, const auto& b) {
        return a.first->state.enumeration_rank < b.first->state.enumeration_rank;
    });
    for (const auto& [d, removed] : nodes) write_device(out, *d, removed);
    out.end_array();
    write_files(out, m.files);
    out.key("processes");
    out.begin_array();
    for (const Process& p : m.processes) {
        out.begin_object();
        out.member("pid", p.pid);
        out.member("exe", p.exe_name);
        out.end_object();
    }
    out.end_array();
    out.key("services");
    out.begin_array();
    const auto listed = m.call_counts.find("EnumServicesStatusExW");
    const std::uint32_t listings = listed == m.call_counts.end() ? 0 : listed->second;
    for (const Service& s : m.services) {
        out.begin_object();
        out.member("name", s.name);
        out.member("display_name", s.display_name);
        out.member("type", s.type);
        out.member("state", s.state);
        // Counted from the calls of this run: a service that appeared is there from the start.
        out.member("appears_after_call", s.appears_after_call > listings ? s.appears_after_call - listings : 0u);
        out.end_object();
    }
    out.end_array();
    write_sdk(out, m.sdk_libraries);
    out.key("faults");
    out.begin_array();
    for (const Fault& f : m.faults) {
        out.begin_object();
        out.member("operation", f.operation);
        out.member("nth", f.nth);
        out.member("code", f.code);
        if (f.first_instance_only) out.member("instance", std::string("first"));
        out.end_object();
    }
    out.end_array();
    out.end_object();
    std::string text = out.take();
    text.push_back('\n');
    return text;
}

}  // namespace vq4::sim
