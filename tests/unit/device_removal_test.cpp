// Removing the MI_03 node or the whole device and re-detecting it.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "platform/sim/machine.h"
#include "repair/device_removal.h"
#include "support/machine_builder.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using nlohmann::json;
using test::info;
using test::kComposite;
using test::kMi00;
using test::kMi01;
using test::kMi03;
using test::warn;

const RepairCandidate kCandidate{widen(kMi03), {}};
const std::string kCacheLine = "  -> USB descriptor cache deleted: HKLM\\" + test::kCacheKey;

struct Outcome {
    RemovalResult result = RemovalResult::Failed;
    std::string lines;  // "<BACKUP>" stands for the backup file's path
};

Outcome remove(bool whole_device) {
    test::ReportCapture capture;
    Outcome run;
    {
        RegistryBackup backup;
        run.result = remove_and_redetect(kCandidate, whole_device, backup);
    }
    const std::string backup_path = test::printed_backup_path(capture);
    run.lines = capture.finish();
    if (!backup_path.empty()) {
        const std::string::size_type at = run.lines.find(backup_path);
        if (at != std::string::npos) run.lines.replace(at, backup_path.size(), "<BACKUP>");
    }
    return run;
}

const std::string kBackupLine = "  -> Registry backup written: <BACKUP>";

std::uint32_t dev_inst_of(const std::string& id) {
    const sim::Device* d = sim::machine().find_device(widen(id));
    return d == nullptr ? 0 : d->state.dev_inst;
}

bool present(const std::string& id) {
    const sim::Device* d = sim::machine().find_device(widen(id));
    return d != nullptr && d->description.present;
}

const std::wstring kCachePath = L"HKLM\\" + widen(test::kCacheKey);

TEST(RemoveAndRedetect, InterfaceAloneComesBackWithAFreshNodeAndKey) {
    test::use_machine(test::machine_text("default"));
    const std::uint32_t before = dev_inst_of(kMi03);
    const std::uint32_t composite = dev_inst_of(kComposite);
    const Outcome run = remove(false);
    EXPECT_EQ(run.result, RemovalResult::Redetected);
    EXPECT_EQ(run.lines, info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected."));

    EXPECT_TRUE(present(kMi03));
    EXPECT_NE(dev_inst_of(kMi03), before) << "a re-created node has a new devnode";
    EXPECT_EQ(sim::count_calls("SetupDiSetClassInstallParamsW", kMi03 + ", DIF_REMOVE, scope 1, profile 0"), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller", "DIF_REMOVE, " + kMi03), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceInstallParamsW", kMi03), 1u) << "read after the removal";
    EXPECT_EQ(sim::count_calls("CM_Reenumerate_DevNode", std::to_string(composite) + ", 0x1"), 1u);
    EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u) << "step 1 leaves the descriptor cache alone";
    EXPECT_NE(sim::machine().registry.find(kCachePath), nullptr);
    // Detection wrote the key again, and the firmware gave no GUID.
    const sim::RegistryKey* key = sim::machine().registry.find(sim::hardware_key_path(widen(kMi03)));
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].name, L"RevisionId");
    EXPECT_TRUE(sim::machine().find_device(widen(kMi03))->description.interfaces.empty());
}

TEST(RemoveAndRedetect, WholeDeviceGoesDeepestFirstThenTheCacheThenComesBack) {
    test::use_machine(test::machine_text("repair-step2-works", [](json& m) {
        // A node below MI_00: its line must come before its parent's.
        m["devices"].push_back({{"instance_id", "SWD\\MMDEVAPI\\{0.0.1.00000000}.{Q4}"}, {"parent", kMi00}});
    }));
    const Outcome run = remove(true);
    EXPECT_EQ(run.result, RemovalResult::Redetected);
    EXPECT_EQ(run.lines, info("  -> Removed: SWD\\MMDEVAPI\\{0.0.1.00000000}.{Q4}") + info("  -> Removed: " + kMi00) +
                             info("  -> Removed: " + kMi01) + info("  -> Removed: " + kMi03) +
                             info("  -> Removed: " + kComposite) + info(kBackupLine) + info(kCacheLine) +
                             info("  -> Hardware re-detected."));
    for (const std::string& id : {kComposite, kMi00, kMi01, kMi03, std::string("SWD\\MMDEVAPI\\{0.0.1.00000000}.{Q4}")}) {
        EXPECT_TRUE(present(id)) << id;
    }
    EXPECT_EQ(sim::machine().registry.find(kCachePath), nullptr);
    EXPECT_EQ(sim::count_calls("RegDeleteTreeW", "HKLM\\" + test::kCacheKey), 1u);
    EXPECT_EQ(sim::count_calls("RegDeleteKeyW", "HKLM\\" + test::kCacheKey), 1u);
    // Other devices' and other revisions' cache keys stay.
    EXPECT_NE(sim::machine().registry.find(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0200"), nullptr);
    // The cache is gone, so the firmware's GUID came back with its interface.
    ASSERT_EQ(sim::machine().find_device(widen(kMi03))->description.interfaces.size(), 1u);
    EXPECT_EQ(sim::machine().find_device(widen(kMi03))->description.interfaces[0].guid, widen(test::kExpectedGuid));
    // The re-detection started at the hub.
    const sim::TraceEntry* reenumerate = nullptr;
    for (const auto& e : sim::machine().trace) {
        if (e.operation == "CM_Reenumerate_DevNode") reenumerate = &e;
    }
    ASSERT_NE(reenumerate, nullptr);
    EXPECT_EQ(reenumerate->arguments, std::to_string(dev_inst_of("USB\\ROOT_HUB30\\4&2A3B1C7D&0&0")) + ", 0x1");
}

TEST(RemoveAndRedetect, WithoutARevisionTheCacheIsNotTouched) {
    for (const char* value : {"absent", "wrong type"}) {
        test::use_machine(test::machine_text("default", [&](json& m) {
            json& key = test::device_entry(m, kMi03)["hardware_key"];
            key[0] = std::string(value) == "absent"
                         ? json{{"name", "Other"}, {"type", "REG_DWORD"}, {"data", 1}}
                         : json{{"name", "RevisionId"}, {"type", "REG_SZ"}, {"data", "0102"}};
        }));
        const Outcome run = remove(true);
        EXPECT_EQ(run.result, RemovalResult::Redetected) << value;
        EXPECT_EQ(run.lines.find("descriptor cache"), std::string::npos) << value;
        EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u) << value;
        EXPECT_NE(sim::machine().registry.find(kCachePath), nullptr) << value;
    }
}

std::string restart_pending(const std::string& id) {
    return warn("  -> Windows will finish removing " + id + " at the next restart. Restart the PC, then re-run this tool.");
}

// An interface that a program other than the tool holds open.
json held_interface(const std::string& path) {
    return json::array({{{"guid", "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"}, {"path", path}, {"held_by_other_process", true}}});
}

TEST(RemoveAndRedetect, ARemovalLeftToTheNextRestartIsNotReportedAsDoneAndEndsTheStep) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        bool whole_device;
        std::string lines;
        std::string pending;            // the node Windows keeps until the restart
        std::vector<std::string> gone;  // nodes removed before it
    };
    const std::vector<Case> cases = {
        {"step 1, DI_NEEDREBOOT", [](json& m) { test::device_entry(m, kMi03)["remove"] = "need_reboot"; }, false,
         restart_pending(kMi03), kMi03, {}},
        {"step 1, DI_NEEDRESTART", [](json& m) { test::device_entry(m, kMi03)["remove"] = "need_restart"; }, false,
         restart_pending(kMi03), kMi03, {}},
        {"step 1, another program holds MI_03 open",
         [](json& m) { test::device_entry(m, kMi03)["interfaces"] = held_interface("\\\\?\\usb#mi_03#held"); }, false,
         restart_pending(kMi03), kMi03, {}},
        {"step 1, a program holds a node below MI_03 open",
         [](json& m) {
             m["devices"].push_back({{"instance_id", "ROOT\\VQ4HELPER\\0000"},
                                     {"parent", kMi03},
                                     {"interfaces", held_interface("\\\\?\\root#vq4helper#0000#held")}});
         },
         false, restart_pending(kMi03), kMi03, {}},
        {"step 2, an audio application holds MI_00 open",
         [](json& m) { test::device_entry(m, kMi00)["interfaces"] = held_interface("\\\\?\\usb#mi_00#held"); }, true,
         restart_pending(kMi00), kMi00, {}},
        {"step 2, MI_01 left to the restart after MI_00 went",
         [](json& m) { test::device_entry(m, kMi01)["remove"] = "need_reboot"; }, true,
         info("  -> Removed: " + kMi00) + restart_pending(kMi01), kMi01, {kMi00}},
    };
    for (const Case& c : cases) {
        test::use_machine(test::machine_text("default", c.change));
        const std::uint32_t pending_node = dev_inst_of(c.pending);
        const Outcome run = remove(c.whole_device);
        EXPECT_EQ(run.result, RemovalResult::RestartPending) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
        EXPECT_TRUE(present(c.pending)) << c.what;
        EXPECT_EQ(dev_inst_of(c.pending), pending_node) << c.what << ": the same node, not a re-detected one";
        for (const std::string& id : c.gone) EXPECT_FALSE(present(id)) << c.what << ": " << id;
        // Nothing after the removal that Windows put off.
        EXPECT_EQ(sim::count_calls("CM_Reenumerate_DevNode"), 0u) << c.what;
        EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u) << c.what;
        EXPECT_NE(sim::machine().registry.find(kCachePath), nullptr) << c.what;
        EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), c.gone.size() + 1) << c.what;
        EXPECT_EQ(sim::count_calls("SetupDiGetDeviceInstallParamsW"), c.gone.size() + 1) << c.what;
    }
}

TEST(RemoveAndRedetect, InstallParametersThatCannotBeReadCountAsARemoval) {
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, kMi03)["remove"] = "need_reboot";
        m["faults"] = json::array({{{"operation", "SetupDiGetDeviceInstallParamsW"}, {"code", 6}}});
    }));
    const Outcome run = remove(false);
    EXPECT_EQ(run.result, RemovalResult::Redetected);
    EXPECT_EQ(run.lines, info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected."));
}

TEST(HardwareIdRevision, OneToFourHexDigitsAfterRevAtTheStartOfAPart) {
    struct Case {
        const wchar_t* id;
        std::optional<std::uint32_t> revision;
    };
    const Case cases[] = {
        {L"USB\\VID_2A7D&PID_5E3C&REV_0102&MI_03", 0x0102},
        {L"USB\\VID_2A7D&PID_5E3C&REV_0102", 0x0102},
        {L"usb\\vid_2a7d&pid_5e3c&rev_01ab&mi_03", 0x01AB},
        {L"USB\\VID_2A7D&PID_5E3C&REV_7&MI_03", 0x7},
        {L"REV_FFFF", 0xFFFF},
        {L"USB\\VID_2A7D&PID_5E3C&MI_03", std::nullopt},
        {L"USB\\VID_2A7D&PID_5E3C&REV_&MI_03", std::nullopt},
        {L"USB\\VID_2A7D&PID_5E3C&REV_01G2&MI_03", std::nullopt},
        {L"USB\\VID_2A7D&PID_5E3C&REV_10203&MI_03", std::nullopt},
        {L"USB\\VID_2A7D&PID_5E3CREV_0102", std::nullopt},
        {L"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hardware_id_revision(c.id), c.revision) << sim::narrow(c.id);
    }
}

TEST(RemoveAndRedetect, WithoutRevisionIdStepTwoTakesTheRevisionFromTheHardwareIds) {
    const std::wstring other_revision = L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0200";
    struct Case {
        const char* what;
        bool revision_id;  // RevisionId 0x0102 stays in 'Device Parameters'
        json hardware_ids;  // null: the property is not set
        bool deleted;       // the cache key of revision 0102 goes
    };
    const std::vector<Case> cases = {
        {"REV_ in the first id", false, {"USB\\VID_2A7D&PID_5E3C&REV_0102&MI_03", "USB\\VID_2A7D&PID_5E3C&MI_03"}, true},
        {"REV_ in lower case in the second id", false,
         {"USB\\VID_2A7D&PID_5E3C&MI_03", "usb\\vid_2a7d&pid_5e3c&rev_0102&mi_03"}, true},
        {"no REV_ part", false, {"USB\\VID_2A7D&PID_5E3C&MI_03"}, false},
        {"no hardware ids", false, nullptr, false},
        {"RevisionId comes first", true, {"USB\\VID_2A7D&PID_5E3C&REV_0200&MI_03"}, true},
    };
    for (const Case& c : cases) {
        const std::string machine = test::machine_text("repair-step2-works", [&](json& m) {
            json& mi03 = test::device_entry(m, kMi03);
            if (!c.revision_id) mi03["hardware_key"].erase(0);
            if (!c.hardware_ids.is_null()) mi03["hardware_ids"] = c.hardware_ids;
        });
        // Step 1 has no use for the revision and never reads the ids.
        test::use_machine(machine);
        EXPECT_EQ(remove(false).result, RemovalResult::Redetected) << c.what;
        EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW"), 0u) << c.what;

        test::use_machine(machine);
        const Outcome run = remove(true);
        EXPECT_EQ(run.result, RemovalResult::Redetected) << c.what;
        EXPECT_EQ(run.lines.find(kCacheLine) != std::string::npos, c.deleted) << c.what;
        EXPECT_EQ(sim::machine().registry.find(kCachePath) == nullptr, c.deleted) << c.what;
        EXPECT_NE(sim::machine().registry.find(other_revision), nullptr) << c.what << ": only the device's revision";
        EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "0, 1"), c.revision_id ? 0u : 1u) << c.what;
    }
}

TEST(DescriptorCache, KeyNameTakesTheLow16BitsAsFourUpperCaseDigits) {
    EXPECT_EQ(descriptor_cache_key(0x0102), L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0102");
    EXPECT_EQ(descriptor_cache_key(0x12ABC), L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C2ABC");
    EXPECT_EQ(descriptor_cache_key(0xA), L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C000A");

    // Present: deleted with its subkeys, one line. Absent: nothing printed.
    // The repair runs elevated; HKLM is read-only to a standard user.
    test::machine_file()
        .elevated(true)
        .key(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C2ABC",
             {test::reg_hex(L"osvc", "REG_BINARY", "00 00")})
        .key(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C2ABC\\Sub")
        .use();
    {
        test::ReportCapture capture;
        {
            RegistryBackup backup;
            delete_descriptor_cache(0x12ABC, backup);
            delete_descriptor_cache(0x0102, backup);
        }
        const std::string backup_path = test::printed_backup_path(capture);
        EXPECT_EQ(capture.finish(),
                  info("  -> Registry backup written: " + backup_path) +
                      info("  -> USB descriptor cache deleted: HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C2ABC"));
    }
    EXPECT_EQ(sim::machine().registry.find(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C2ABC"), nullptr);
    EXPECT_EQ(sim::count_calls("RegDeleteKeyW"), 1u) << "only after a successful tree deletion";
}

TEST(RemoveAndRedetect, RemovalFailureStopsAtOnceLeavingWhatWasRemoved) {
    test::use_machine(test::machine_text("default", [](json& m) { test::device_entry(m, kMi01)["remove_error"] = 5; }));
    const Outcome run = remove(true);
    EXPECT_EQ(run.result, RemovalResult::Failed);
    EXPECT_EQ(run.lines, info("  -> Removed: " + kMi00) + warn("  -> Removal failed for " + kMi01 + " (code=5)."));
    EXPECT_FALSE(present(kMi00)) << "nothing is undone";
    EXPECT_EQ(sim::machine().registry.find(sim::hardware_key_path(widen(kMi00))), nullptr);
    EXPECT_TRUE(present(kMi01));
    EXPECT_TRUE(present(kMi03));
    EXPECT_TRUE(present(kComposite));
    EXPECT_NE(sim::machine().registry.find(kCachePath), nullptr) << "the cache is not deleted";
    EXPECT_EQ(sim::count_calls("CM_Reenumerate_DevNode"), 0u);
}

TEST(RemoveAndRedetect, EveryFailureLine) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        bool whole_device;
        std::string lines;
        std::size_t removals;
    };
    const std::vector<Case> cases = {
        {"32-bit process on 64-bit Windows",
         [](json& m) { test::device_entry(m, kMi03)["remove_error"] = "0xE0000235"; }, false,
         warn("  -> Removal failed for " + kMi03 + " (code=3758096949): use the x64 build of this tool."), 0},
        {"set not created",
         [](json& m) { m["faults"] = json::array({{{"operation", "SetupDiCreateDeviceInfoList"}, {"code", 8}}}); }, false,
         warn("  -> Removal failed for " + kMi03 + " (code=8)."), 0},
        {"node not opened",
         [](json& m) {
             m["faults"] = json::array({{{"operation", "SetupDiOpenDeviceInfoW"}, {"code", "0xE000020B"}}});
         },
         false, warn("  -> Removal failed for " + kMi03 + " (code=3758096907)."), 0},
        {"parameters refused",
         [](json& m) { m["faults"] = json::array({{{"operation", "SetupDiSetClassInstallParamsW"}, {"code", 87}}}); },
         false, warn("  -> Removal failed for " + kMi03 + " (code=87)."), 0},
        {"MI_03 unplugged", [](json& m) { test::device_entry(m, kMi03)["present"] = false; }, true,
         warn("  -> MI_03 node not found (device unplugged?)."), 0},
        {"MI_03 without parent, step 2", [](json& m) { test::device_entry(m, kMi03).erase("parent"); }, true,
         warn("  -> Unable to find the composite device (parent of MI_03)."), 0},
        {"MI_03 without parent, step 1", [](json& m) { test::device_entry(m, kMi03).erase("parent"); }, false,
         warn("  -> Unable to find the parent node to re-detect from."), 0},
        {"composite without hub, step 2", [](json& m) { test::device_entry(m, kComposite).erase("parent"); }, true,
         warn("  -> Unable to find the parent node to re-detect from."), 0},
        {"re-enumeration refused",
         [](json& m) { m["faults"] = json::array({{{"operation", "CM_Reenumerate_DevNode"}, {"code", 19}}}); }, false,
         info("  -> Removed: " + kMi03) +
             warn("  -> Hardware re-detection failed (CONFIGRET=19). Unplug and replug the Vantro Q4."),
         1},
        {"composite id unreadable, step 2: nothing is removed by an empty id",
         [](json& m) { m["faults"] = json::array({{{"operation", "CM_Get_Device_IDW"}, {"code", 5}}}); }, true,
         warn("  -> Unable to read the instance id of the composite device (CONFIGRET=5)."), 0},
        {"MI_03 id unreadable, step 1: the candidate's id names the located node",
         [](json& m) { m["faults"] = json::array({{{"operation", "CM_Get_Device_IDW"}, {"code", 5}}}); }, false,
         info("  -> Removed: " + kMi03) + info("  -> Hardware re-detected."), 1},
    };
    for (const Case& c : cases) {
        test::use_machine(test::machine_text("default", c.change));
        const Outcome run = remove(c.whole_device);
        EXPECT_EQ(run.result == RemovalResult::Redetected, c.lines.find("re-detected.") != std::string::npos)
            << c.what;
        EXPECT_NE(run.result, RemovalResult::RestartPending) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
        std::size_t removals = 0;
        for (const auto& e : sim::machine().trace) {
            if (e.operation == "SetupDiCallClassInstaller" && e.result == 0) ++removals;
        }
        EXPECT_EQ(removals, c.removals) << c.what;
        EXPECT_EQ(sim::count_calls("SetupDiOpenDeviceInfoW", ""), 0u) << c.what << ": never an empty id";
    }
}

TEST(CollectDescendantIds, PostOrderInSiblingOrderSkippingUnreadableIds) {
    test::machine_file()
        .device(test::device(L"ROOT\\A"))
        .device(test::device(L"ROOT\\B").parent(L"ROOT\\A"))
        .device(test::device(L"ROOT\\B1").parent(L"ROOT\\B"))
        .device(test::device(L"ROOT\\B1a").parent(L"ROOT\\B1"))
        .device(test::device(L"ROOT\\C").parent(L"ROOT\\A"))
        .device(test::device(L"ROOT\\D").parent(L"ROOT\\A").absent())
        .device(test::device(L"ROOT\\E").parent(L"ROOT\\A"))
        .device(test::device(L"ROOT\\B2").parent(L"ROOT\\B"))
        .use();
    std::vector<std::wstring> ids = collect_descendant_ids(sim::machine().find_device(L"ROOT\\A")->state.dev_inst);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"ROOT\\B1a", L"ROOT\\B1", L"ROOT\\B2", L"ROOT\\B", L"ROOT\\C", L"ROOT\\E"}));

    // The second id read (B1) fails: left out, its descendants are still listed.
    sim::machine().faults.push_back(sim::Fault{"CM_Get_Device_IDW", sim::machine().call_counts["CM_Get_Device_IDW"] + 2, 0x1A});
    ids = collect_descendant_ids(sim::machine().find_device(L"ROOT\\A")->state.dev_inst);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"ROOT\\B1a", L"ROOT\\B2", L"ROOT\\B", L"ROOT\\C", L"ROOT\\E"}));

    ids = collect_descendant_ids(sim::machine().find_device(L"ROOT\\E")->state.dev_inst);
    EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace vq4
