#include "support/repair_support.h"
#include "support/reg_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/sim/machine.h"
#include "report/report.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4::test {

std::string machine_text(const std::string& name, const std::function<void(nlohmann::json&)>& change) {
    const std::string path = std::string(VQ4_SOURCE_DIR) + "/machines/" + name + ".json";
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    if (!change) return text.str();
    nlohmann::json machine = nlohmann::json::parse(text.str());
    change(machine);
    return machine.dump(2);
}

nlohmann::json& device_entry(nlohmann::json& machine, const std::string& instance_id) {
    for (nlohmann::json& device : machine["devices"]) {
        if (device["instance_id"] == instance_id) return device;
    }
    ADD_FAILURE() << "no device " << instance_id;
    static nlohmann::json none;
    return none;
}

ReportCapture::ReportCapture() : dir_(make_temp_dir("report")) {
    reset_counters();
    sim::set_program_data_host_folder((dir_ / "ProgramData").string());
    open_ = !open_report_file(widen((dir_ / "report.txt").string())).empty();
    EXPECT_TRUE(open_);
}

ReportCapture::~ReportCapture() {
    close_report_file();
    sim::set_program_data_host_folder("");
    std::filesystem::remove_all(dir_);
}

std::string ReportCapture::finish() {
    close_report_file();
    return read_file_bytes(dir_ / "report.txt");
}

std::string printed_backup_path(const ReportCapture& capture) {
    const std::vector<std::string> files = backup_files(capture.backup_directory().string());
    EXPECT_LE(files.size(), 1u) << "one backup file per repair";
    if (files.empty()) return {};
    const std::string name = std::filesystem::path(files.front()).filename().string();
    // VQ4_Diag_Backup_YYYYMMDD_hhmmss.reg
    EXPECT_EQ(name.size(), std::string("VQ4_Diag_Backup_20260101_000000.reg").size()) << name;
    return "C:\\ProgramData\\VQ4_Diag\\Backups\\" + name;
}

std::string with_backup_path(std::string text, const std::string& path) {
    const std::string token = "<BACKUP>";
    for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + path.size())) {
        text.replace(at, token.size(), path);
    }
    return text;
}

std::string header(const std::string& title) { return "\r\n==== " + title + " ====\r\n"; }
std::string info(const std::string& text) { return "[ INFO ] " + text + "\r\n"; }
std::string ok(const std::string& text) { return "[  OK  ] " + text + "\r\n"; }
std::string warn(const std::string& text) { return "[ WARN ] " + text + "\r\n"; }
std::string fail(const std::string& text) { return "[ FAIL ] " + text + "\r\n"; }
std::string detail(const std::string& text) { return "         " + text + "\r\n"; }

std::string section_block(const std::string& report, const std::string& title) {
    const std::string start = "\r\n==== " + title;
    const std::size_t at = report.find(start);
    if (at == std::string::npos) return {};
    const std::size_t next = report.find("\r\n==== ", at + start.size());
    return report.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

std::string section7_intro(const std::vector<std::pair<std::string, std::string>>& candidates,
                           const std::string& expected_guid) {
    std::string text = header("7. Automatic repair (MI_03 interface GUID)") +
                       info("A repairable problem was detected on " + std::to_string(candidates.size()) +
                            " MI_03 interface(s): WinUSB is active but the GUID expected by the SDK (" + expected_guid +
                            ") is not registered.");
    for (const auto& [id, guids] : candidates) text += detail(id + "  -  current GUID(s): " + guids);
    text += detail("Repair (stops at the first step that works; administrator rights required):");
    text += detail("  1. remove the MI_03 interface and re-detect it (audio not interrupted);");
    text += detail("  2. if needed, remove the whole device + its USB descriptor cache and re-detect it");
    text += detail("     (audio interrupted for a few seconds - close OBS / audio apps first);");
    text += detail("  3. last resort: write the GUID manually into the MI_03 registry key.");
    return text;
}

TreeSnapshot take_snapshot() {
    TreeSnapshot snapshot;
    for (const sim::RegistryKey& key : sim::machine().registry.keys) {
        auto& values = snapshot.registry[to_upper_ascii(std::wstring(key.path()))];
        for (const sim::RegistryValue& value : key.values) {
            values[to_upper_ascii(value.name)] = TreeSnapshot::Value{value.type, value.data};
        }
    }
    for (const sim::Device& d : sim::machine().devices) {
        const sim::DeviceDescription& about = d.description;
        TreeSnapshot::Node node{to_upper_ascii(about.parent_id), about.present, about.service, about.friendly_name,
                                about.device_desc, about.status, about.problem, d.state.dev_inst, {}};
        for (const sim::DeviceInterfaceRecord& r : about.interfaces) node.interfaces.push_back(r.guid + L" " + r.path);
        snapshot.devices[to_upper_ascii(about.instance_id)] = node;
    }
    return snapshot;
}

namespace {

const std::wstring kDeviceIds = L"VID_2A7D&PID_5E3C";
const std::wstring kEnum = L"HKLM\\SYSTEM\\CURRENTCONTROLSET\\ENUM\\";

std::string n(const std::wstring& text) { return sim::narrow(text); }

bool starts_with(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }

// The instance id whose Enum key holds `path`, or empty.
std::wstring enum_owner(const std::wstring& path, const TreeSnapshot& snapshot) {
    if (!starts_with(path, kEnum)) return {};
    for (const auto& [id, node] : snapshot.devices) {
        const std::wstring key = kEnum + id;
        if (path == key || starts_with(path, key + L"\\")) return id;
    }
    return {};
}

}  // namespace

std::vector<std::string> forbidden_changes(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::vector<std::string> changes;
    const std::wstring mi03 = to_upper_ascii(widen(kMi03));
    const std::wstring mi03_key = kEnum + mi03 + L"\\DEVICE PARAMETERS";
    const std::wstring cache_key = L"HKLM\\" + to_upper_ascii(widen(kCacheKey));

    for (const auto& [id, node] : after.devices) {
        if (before.devices.count(id) == 0) changes.push_back("new device node " + n(id));
    }
    for (const auto& [id, old] : before.devices) {
        const auto found = after.devices.find(id);
        const bool of_the_device = id.find(kDeviceIds) != std::wstring::npos;
        if (found == after.devices.end()) {
            if (!of_the_device) changes.push_back("device node removed: " + n(id));
            continue;
        }
        const TreeSnapshot::Node& now = found->second;
        if (now.parent != old.parent || now.service != old.service || now.friendly_name != old.friendly_name ||
            now.device_desc != old.device_desc || now.status != old.status || now.problem != old.problem) {
            changes.push_back("device node properties changed: " + n(id));
        }
        if (!of_the_device && (now.present != old.present || now.dev_inst != old.dev_inst)) {
            changes.push_back("device node state changed: " + n(id));
        }
        if (of_the_device && now.present != old.present && now.present) {
            changes.push_back("device node appeared: " + n(id));
        }
        if (id != mi03 && now.present && now.interfaces != old.interfaces) {
            changes.push_back("device interfaces changed: " + n(id));
        }
    }

    std::map<std::wstring, bool> paths;
    for (const auto& [path, values] : before.registry) paths[path] = true;
    for (const auto& [path, values] : after.registry) paths[path] = true;
    for (const auto& [path, unused] : paths) {
        const auto old = before.registry.find(path);
        const auto now = after.registry.find(path);
        if (old != before.registry.end() && now != after.registry.end()) {
            if (old->second == now->second) continue;
            if (path == mi03_key) {
                auto a = old->second;
                auto b = now->second;
                for (const wchar_t* name : {L"DEVICEINTERFACEGUIDS", L"DEVICEINTERFACEGUID"}) {
                    a.erase(name);
                    b.erase(name);
                }
                if (a == b) continue;
            }
            changes.push_back("registry values changed: " + n(path));
            continue;
        }
        if (now == after.registry.end()) {
            // Gone: the cache key, or the key of a node of the device that went away.
            if (path == cache_key) continue;
            const std::wstring owner = enum_owner(path, before);
            if (!owner.empty() && owner.find(kDeviceIds) != std::wstring::npos &&
                (after.devices.count(owner) == 0 || !after.devices.at(owner).present)) {
                continue;
            }
            changes.push_back("registry key deleted: " + n(path));
            continue;
        }
        // New: only MI_03's own hardware key may be created (with its GUID values alone).
        if (path == mi03_key || path == kEnum + mi03) {
            bool only_guids = true;
            for (const auto& [name, value] : now->second) {
                only_guids = only_guids && (name == L"DEVICEINTERFACEGUIDS" || name == L"DEVICEINTERFACEGUID");
            }
            if (only_guids) continue;
        }
        changes.push_back("registry key created: " + n(path));
    }
    return changes;
}

}  // namespace vq4::test
