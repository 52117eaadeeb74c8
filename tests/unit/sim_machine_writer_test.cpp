// The simulated machine written as a machine file (machine_writer.h): the
// file loads back to the same machine, for every machine of machines/ and
// for the states a repair leaves half-way (removed nodes, orphans, removals
// left to the restart).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/sim/device_tree.h"
#include "platform/sim/interruption.h"
#include "platform/sim/machine_file.h"
#include "platform/sim/machine_writer.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

sim::Machine loaded(const std::string& text) {
    sim::Machine m;
    std::string error;
    EXPECT_TRUE(sim::parse_machine_json(text, "written", m, error)) << error;
    return m;
}

// What the writer leaves out (devnode handles, the trace) aside, the state
// that decides what any call answers.
void expect_same_machine(const sim::Machine& a, const sim::Machine& b, const std::string& name) {
    // Keys by path: the order keys are created in (and subkeys enumerate in,
    // which Windows does not define) follows how the file is loaded.
    const auto keys_of = [](const sim::Machine& m) {
        std::map<std::wstring, const sim::RegistryKey*> keys;
        for (const sim::RegistryKey& key : m.registry.keys) keys[std::wstring(key.path())] = &key;
        return keys;
    };
    const auto a_keys = keys_of(a), b_keys = keys_of(b);
    ASSERT_EQ(a_keys.size(), b_keys.size()) << name;
    for (const auto& [path, x_at] : a_keys) {
        const auto found = b_keys.find(path);
        ASSERT_NE(found, b_keys.end()) << name << " " << sim::narrow(path);
        const sim::RegistryKey& x = *x_at;
        const sim::RegistryKey& y = *found->second;
        EXPECT_EQ(x.open_error, y.open_error) << name;
        ASSERT_EQ(x.values.size(), y.values.size()) << name << " " << sim::narrow(std::wstring(x.path()));
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            EXPECT_EQ(x.values[v].name, y.values[v].name) << name;
            EXPECT_EQ(x.values[v].type, y.values[v].type) << name;
            EXPECT_EQ(x.values[v].data, y.values[v].data) << name;
            EXPECT_EQ(x.values[v].read_error, y.values[v].read_error) << name;
        }
    }
    const auto same_devices = [&](const std::vector<sim::Device>& xs, const std::vector<sim::Device>& ys) {
        ASSERT_EQ(xs.size(), ys.size()) << name;
        for (std::size_t i = 0; i < xs.size(); ++i) {
            const sim::DeviceDescription& x = xs[i].description;
            const sim::DeviceDescription& y = ys[i].description;
            EXPECT_EQ(x.instance_id, y.instance_id) << name;
            EXPECT_EQ(x.parent_id, y.parent_id) << name;
            EXPECT_EQ(x.present, y.present) << name;
            EXPECT_EQ(x.friendly_name, y.friendly_name) << name;
            EXPECT_EQ(x.device_desc, y.device_desc) << name;
            EXPECT_EQ(x.service, y.service) << name;
            EXPECT_EQ(x.hardware_ids, y.hardware_ids) << name;
            EXPECT_EQ(x.raw_properties.size(), y.raw_properties.size()) << name;
            EXPECT_EQ(x.status, y.status) << name;
            EXPECT_EQ(x.problem, y.problem) << name;
            EXPECT_EQ(x.status_result, y.status_result) << name;
            ASSERT_EQ(x.interfaces.size(), y.interfaces.size()) << name;
            for (std::size_t k = 0; k < x.interfaces.size(); ++k) {
                EXPECT_EQ(x.interfaces[k].guid, y.interfaces[k].guid) << name;
                EXPECT_EQ(x.interfaces[k].path, y.interfaces[k].path) << name;
                EXPECT_EQ(x.interfaces[k].held_by_other_process, y.interfaces[k].held_by_other_process) << name;
                EXPECT_EQ(x.interfaces[k].held_open_error, y.interfaces[k].held_open_error) << name;
                EXPECT_EQ(x.interfaces[k].winusb.reads.size(), y.interfaces[k].winusb.reads.size()) << name;
                EXPECT_EQ(x.interfaces[k].winusb.writes.size(), y.interfaces[k].winusb.writes.size()) << name;
            }
            const sim::DeviceBehaviour& p = xs[i].behaviour;
            const sim::DeviceBehaviour& q = ys[i].behaviour;
            EXPECT_EQ(p.remove_error, q.remove_error) << name;
            EXPECT_EQ(p.remove_flags, q.remove_flags) << name;
            EXPECT_EQ(p.redetect_delay_ms, q.redetect_delay_ms) << name;
            EXPECT_EQ(p.firmware_guid_returns, q.firmware_guid_returns) << name;
            EXPECT_EQ(p.firmware_guid, q.firmware_guid) << name;
            EXPECT_EQ(p.interface_delay_ms, q.interface_delay_ms) << name;
            EXPECT_EQ(p.restart_error, q.restart_error) << name;
            EXPECT_EQ(p.restart_flags, q.restart_flags) << name;
            EXPECT_EQ(xs[i].state.phantom_by_removal, ys[i].state.phantom_by_removal) << name;
            EXPECT_EQ(xs[i].state.removal_pending, ys[i].state.removal_pending) << name;
        }
    };
    same_devices(a.devices, b.devices);
    same_devices(a.removed_devices, b.removed_devices);
    ASSERT_EQ(a.files.size(), b.files.size()) << name;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        EXPECT_EQ(a.files[i].path, b.files[i].path) << name;
        EXPECT_EQ(a.files[i].attributes, b.files[i].attributes) << name;
        EXPECT_EQ(a.files[i].bytes, b.files[i].bytes) << name;
        EXPECT_EQ(a.files[i].held_exclusively, b.files[i].held_exclusively) << name;
    }
    // Variables by name: their order is not Windows' concern either.
    const auto variables_of = [](const sim::Machine& m) {
        std::map<std::wstring, std::wstring> variables;
        for (const sim::EnvironmentVariable& v : m.environment) variables[v.name] = v.value;
        return variables;
    };
    EXPECT_EQ(variables_of(a), variables_of(b)) << name;
    EXPECT_EQ(a.processes.size(), b.processes.size()) << name;
    EXPECT_EQ(a.services.size(), b.services.size()) << name;
    EXPECT_EQ(a.sdk_libraries.size(), b.sdk_libraries.size()) << name;
    EXPECT_EQ(a.faults.size(), b.faults.size()) << name;
    EXPECT_EQ(a.module_path, b.module_path) << name;
    EXPECT_EQ(a.elevated, b.elevated) << name;
    EXPECT_EQ(a.native_architecture, b.native_architecture) << name;
    EXPECT_EQ(a.native_machine, b.native_machine) << name;
}

TEST(MachineWriter, EveryMachineFileLoadsBackToTheSameMachine) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(VQ4_SOURCE_DIR) / "machines")) {
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    ASSERT_GT(files.size(), 10u);
    for (const fs::path& file : files) {
        sim::Machine original;
        std::string error;
        ASSERT_TRUE(sim::load_machine_file(file.string(), original, error)) << error;
        const std::string written = sim::machine_file_text(original);
        const sim::Machine back = loaded(written);
        expect_same_machine(original, back, file.filename().string());
        // A written machine is its own fixed point.
        EXPECT_EQ(sim::machine_file_text(back), written) << file.filename().string();
    }
}

// A repair half-way: the whole device removed (its interfaces orphaned), an
// interface of another device left to be removed at the restart. Written and
// loaded back, the machine goes on exactly as the original does.
TEST(MachineWriter, AStateHalfWayThroughARepairGoesOnAsTheOriginal) {
    sim::set_machine(loaded(test::machine_text("repair-step2-works")));
    sim::remove_device(widen(test::kComposite));
    ASSERT_EQ(sim::machine().removed_devices.size(), 1u);
    const auto orphaned = std::count_if(sim::machine().devices.begin(), sim::machine().devices.end(),
                                        [](const sim::Device& d) { return d.state.phantom_by_removal; });
    ASSERT_GT(orphaned, 0);
    const std::string written = sim::machine_file_text(sim::machine());
    const sim::Machine original = sim::machine();
    const sim::Machine back = loaded(written);
    expect_same_machine(original, back, "half-way");
    EXPECT_EQ(sim::machine_file_text(back), written);

    // Windows starting again brings the same device back on both.
    sim::start_windows_again();
    const std::string original_after = sim::machine_file_text(sim::machine());
    sim::set_machine(loaded(written));
    sim::start_windows_again();
    EXPECT_EQ(sim::machine_file_text(sim::machine()), original_after);
    EXPECT_TRUE(sim::machine().removed_devices.empty());
    EXPECT_NE(sim::machine().find_device(widen(test::kComposite)), nullptr);
}

TEST(MachineWriter, StateEntriesAreChecked) {
    test::expect_machine_file_verdicts({
        {R"({"devices": [{"instance_id": "USB\\A", "removed": true}]})", "at /devices/0/removed: a removed node is not present"},
        {R"({"devices": [{"instance_id": "USB\\A", "orphaned_by_removal": true}]})",
         "at /devices/0/orphaned_by_removal: an orphaned node is not present"},
        {R"({"devices": [{"instance_id": "USB\\A", "detected_values": []}]})",
         "at /devices/0/detected_values: only a removed node has \"detected_values\""},
        {R"({"interrupt": {"after_change": 1, "kind": "paused"}})", "at /interrupt/kind: expected \"killed\" or \"restarted\""},
        {R"({"devices": [{"instance_id": "USB\\A", "present": false, "removed": true}]})", ""},
    });
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

bool guid_registered_on_mi03() {
    const sim::Device* mi03 = sim::machine().find_device(widen(test::kMi03));
    if (mi03 == nullptr || !mi03->description.present) return false;
    return std::any_of(mi03->description.interfaces.begin(), mi03->description.interfaces.end(),
                       [](const sim::DeviceInterfaceRecord& r) { return r.guid == widen(test::kExpectedGuid); });
}

// What Windows does once the tool's process is gone (killed) and at its next
// start (restarted), as the interruption leaves the machine.
TEST(SimInterruption, ARestartCompletesAPendingRemovalAndDetectsTheNodeWithTheFirmwaresGuid) {
    sim::set_machine(loaded(test::machine_text("repair-step1-works", [](nlohmann::json& m) {
        test::device_entry(m, test::kMi03)["remove"] = "need_reboot";
    })));
    sim::Device* mi03 = sim::machine().find_device(widen(test::kMi03));
    ASSERT_NE(mi03, nullptr);
    mi03->state.removal_pending = true;  // as DIF_REMOVE left it
    ASSERT_FALSE(guid_registered_on_mi03());

    sim::start_windows_again();
    mi03 = sim::machine().find_device(widen(test::kMi03));
    ASSERT_NE(mi03, nullptr);
    EXPECT_FALSE(mi03->state.removal_pending);
    EXPECT_TRUE(mi03->description.present);
    // after_interface_redetect: the re-read descriptor gives the GUID, WinUSB registers it.
    EXPECT_TRUE(guid_registered_on_mi03());
}

TEST(SimInterruption, ARestartBringsBackNodesARemovalLeftOutAndAKillDoesNot) {
    const auto half_way = [] {
        sim::set_machine(loaded(test::machine_text("repair-step1-works")));
        sim::remove_device(widen(test::kMi03));  // killed before the re-enumeration
        ASSERT_EQ(sim::machine().find_device(widen(test::kMi03)), nullptr);
    };
    half_way();
    sim::finish_pending_system_work();
    EXPECT_EQ(sim::machine().find_device(widen(test::kMi03)), nullptr) << "nothing brings it back but a re-enumeration";
    half_way();
    sim::start_windows_again();
    EXPECT_TRUE(guid_registered_on_mi03());
    EXPECT_TRUE(sim::machine().removed_devices.empty());
}

TEST(SimInterruption, WhatWindowsHadUnderWayCompletesOnceTheProcessIsGone) {
    // A re-detection 3 s after the re-enumeration: the kill comes before it.
    sim::set_machine(loaded(test::machine_text("repair-step1-works", [](nlohmann::json& m) {
        test::device_entry(m, test::kMi03)["redetect"] = 3000;
    })));
    sim::remove_device(widen(test::kMi03));
    sim::reenumerate_below(widen(test::kComposite));
    ASSERT_EQ(sim::machine().find_device(widen(test::kMi03)), nullptr);
    sim::finish_pending_system_work();
    EXPECT_TRUE(guid_registered_on_mi03());
}

}  // namespace
}  // namespace vq4
