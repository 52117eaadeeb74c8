// Writing the GUID by hand, restarting the interface and waiting for it.
#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "repair/manual_registration.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using nlohmann::json;
using test::fail;
using test::kExpectedGuid;
using test::kMi03;
using test::ok;
using test::warn;

const RepairCandidate kCandidate{widen(kMi03), {L"stale"}};
// The values are backed up before they are written.
const std::string kBacked = test::info("  -> Registry backup written: <BACKUP>");
const std::string kWritten = "  -> GUID " + kExpectedGuid + " written to 'Device Parameters' (DeviceInterfaceGUIDs).";
const std::string kRestarted = "  -> Interface MI_03 restarted.";
const std::string kRegistered = "  -> Device interface " + kExpectedGuid + " is now registered on MI_03.";
const std::string kNotVisible =
    "  -> The GUID is saved but the interface is not visible yet. Unplug and replug the Vantro Q4, then re-run this tool.";
const std::string kSavedEnding =
    ". The fix is saved: unplug and replug the Vantro Q4 (or restart the PC), then re-run this tool.";

struct Outcome {
    bool result = false;
    bool replug = true;
    std::string lines;
};

Outcome register_manually() {
    test::ReportCapture capture;
    Outcome run;
    {
        RegistryBackup backup;
        const CandidateRepair repair = register_guid_manually(kCandidate, widen(kExpectedGuid), backup);
        run.result = repair == CandidateRepair::Repaired;
        run.replug = repair == CandidateRepair::NeedsReplug;
    }
    const std::string backup_path = test::printed_backup_path(capture);
    run.lines = capture.finish();
    if (!backup_path.empty()) {
        const std::string::size_type at = run.lines.find(backup_path);
        if (at != std::string::npos) run.lines.replace(at, backup_path.size(), "<BACKUP>");
    }
    return run;
}

// The repair runs with administrator rights: only then can its backup folder
// be made for administrators.
std::string elevated_default(const std::function<void(json&)>& change) {
    return test::machine_text("default", [&](json& m) {
        m["elevated"] = true;
        if (change) change(m);
    });
}

std::string with_mi03(const std::function<void(json&)>& change) {
    return elevated_default([&](json& m) { change(test::device_entry(m, kMi03)); });
}

const sim::RegistryValue* mi03_value(const std::wstring& name) {
    const sim::RegistryKey* key = sim::machine().registry.find(sim::hardware_key_path(widen(kMi03)));
    if (key == nullptr) return nullptr;
    for (const sim::RegistryValue& v : key->values) {
        if (v.name == name) return &v;
    }
    return nullptr;
}

TEST(RegisterGuidManually, WritesTheValueRestartsAndFindsTheInterface) {
    test::use_machine(with_mi03([](json& d) {
        d["hardware_key"].push_back({{"name", "DeviceInterfaceGUIDs"},
                                     {"type", "REG_MULTI_SZ"},
                                     {"data", {"{11111111-2222-3333-4444-555555555555}", "{AAAAAAAA-2222-3333-4444-555555555555}"}}});
    }));
    const Outcome run = register_manually();
    EXPECT_TRUE(run.result);
    EXPECT_FALSE(run.replug);
    EXPECT_EQ(run.lines, kBacked + ok(kWritten) + ok(kRestarted) + ok(kRegistered));

    // The list is replaced by the expected GUID alone: 38 characters, two NULs, 80 bytes.
    const sim::RegistryValue* multi = mi03_value(L"DeviceInterfaceGUIDs");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->type, 7u);
    EXPECT_EQ(multi->data, utf16le_bytes(widen(kExpectedGuid), 2));
    EXPECT_EQ(multi->data.size(), 80u);
    EXPECT_EQ(mi03_value(L"DeviceInterfaceGUID"), nullptr) << "never created";
    EXPECT_EQ(sim::count_calls("RegSetValueExW"), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiOpenDevRegKey", "0, 1, 0, 1, 0x2001B"), 1u) << "KEY_READ | KEY_SET_VALUE";
    EXPECT_EQ(sim::count_calls("SetupDiCreateDevRegKeyW"), 0u);
    EXPECT_EQ(sim::count_calls("SetupDiSetClassInstallParamsW", kMi03 + ", DIF_PROPERTYCHANGE, state 3, scope 2, profile 0"),
              1u);
    EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller", "DIF_PROPERTYCHANGE, " + kMi03), 1u);
    EXPECT_EQ(sim::count_calls("Sleep"), 0u) << "the interface was there at the first test";
    // Every key and set is released.
    EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"),
              sim::count_calls("SetupDiCreateDeviceInfoList") + sim::count_calls("SetupDiGetClassDevsW"));
}

TEST(RegisterGuidManually, BringsAnExistingSingleValueIntoLine) {
    const std::string lower = "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
    struct Case {
        const char* what;
        json value;
        std::vector<std::uint8_t> after;  // empty: unchanged
    };
    const std::vector<Case> cases = {
        {"the expected GUID in lower case is left", {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", lower}}, {}},
        {"another GUID is overwritten",
         {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", "{11111111-2222-3333-4444-555555555555}"}},
         utf16le_bytes(widen(kExpectedGuid), 1)},
        {"text that is not a GUID is overwritten", {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", "garbage"}},
         utf16le_bytes(widen(kExpectedGuid), 1)},
        {"a value longer than 126 bytes counts as absent",
         {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", std::string(70, 'x')}}, {}},
    };
    for (const Case& c : cases) {
        test::use_machine(with_mi03([&](json& d) { d["hardware_key"].push_back(c.value); }));
        const std::vector<std::uint8_t> before = mi03_value(L"DeviceInterfaceGUID")->data;
        const Outcome run = register_manually();
        EXPECT_TRUE(run.result) << c.what;
        const sim::RegistryValue* single = mi03_value(L"DeviceInterfaceGUID");
        ASSERT_NE(single, nullptr) << c.what;
        if (c.after.empty()) {
            EXPECT_EQ(single->data, before) << c.what;
            EXPECT_EQ(sim::count_calls("RegSetValueExW"), 1u) << c.what;
        } else {
            EXPECT_EQ(single->type, 1u) << c.what;
            EXPECT_EQ(single->data, c.after) << c.what;
            EXPECT_EQ(single->data.size(), 78u) << c.what;
        }
    }
}

TEST(RegisterGuidManually, CreatesAMissingDeviceKey) {
    test::use_machine(with_mi03([](json& d) { d.erase("hardware_key"); }));
    const Outcome run = register_manually();
    EXPECT_TRUE(run.result);
    EXPECT_EQ(sim::count_calls("SetupDiCreateDevRegKeyW", kMi03 + ", 1, 0, 1"), 1u);
    ASSERT_NE(mi03_value(L"DeviceInterfaceGUIDs"), nullptr);
}

TEST(RegisterGuidManually, FailuresBeforeTheGuidIsWritten) {
    struct Case {
        const char* what;
        json faults;
        std::function<void(json&)> change;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"set not created", json::array({{{"operation", "SetupDiCreateDeviceInfoList"}, {"code", 8}}}), {},
         fail("  -> SetupDiCreateDeviceInfoList failed (code=8).")},
        {"node gone", json::array(), [](json& m) { test::device_entry(m, kMi03)["instance_id"] = "USB\\OTHER\\1"; },
         fail("  -> Unable to open the node (code=3758096907).")},
        {"key neither opened nor created",
         json::array({{{"operation", "SetupDiOpenDevRegKey"}, {"code", 5}},
                      {{"operation", "SetupDiCreateDevRegKeyW"}, {"code", "0xE0000204"}}}),
         {}, fail("  -> Unable to open the 'Device Parameters' key for writing (code=3758096900).")},
        {"write refused", json::array({{{"operation", "RegSetValueExW"}, {"code", 5}}}), {},
         kBacked + fail("  -> Writing the GUID to the registry failed (code=5).")},
        {"overwrite refused", json::array({{{"operation", "RegSetValueExW"}, {"nth", 2}, {"code", 1018}}}),
         [](json& m) {
             test::device_entry(m, kMi03)["hardware_key"].push_back(
                 {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", "garbage"}});
         },
         kBacked + fail("  -> Writing the GUID to the registry failed (code=1018).")},
    };
    for (const Case& c : cases) {
        test::use_machine(elevated_default([&](json& m) {
            m["faults"] = c.faults;
            if (c.change) c.change(m);
        }));
        const Outcome run = register_manually();
        EXPECT_FALSE(run.result) << c.what;
        EXPECT_FALSE(run.replug) << c.what;
        EXPECT_EQ(run.lines, c.line) << c.what;
        EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), 0u) << c.what << ": no restart";
        EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), sim::count_calls("SetupDiCreateDeviceInfoList") -
                                                                         (std::string(c.what) == "set not created" ? 1 : 0))
            << c.what;
    }
}

TEST(RegisterGuidManually, RestartThatDoesNotHappenKeepsTheFixAndAsksForAReplug) {
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        std::string lines;
    };
    const std::vector<Case> cases = {
        {"class installer fails", [](json& m) { test::device_entry(m, kMi03)["restart"] = "0xE0000231"; },
         kBacked + ok(kWritten) + warn("  -> The interface could not be restarted automatically (code=3758096945)" + kSavedEnding)},
        {"parameters refused",
         [](json& m) { m["faults"] = json::array({{{"operation", "SetupDiSetClassInstallParamsW"}, {"code", 87}}}); },
         kBacked + ok(kWritten) + warn("  -> The interface could not be restarted automatically (code=87)" + kSavedEnding)},
        {"reboot asked", [](json& m) { test::device_entry(m, kMi03)["restart"] = "need_reboot"; },
         kBacked + ok(kWritten) + warn("  -> The interface could not be restarted automatically (Windows asks for a restart)" +
                             kSavedEnding)},
        {"restart asked", [](json& m) { test::device_entry(m, kMi03)["restart"] = "need_restart"; },
         kBacked + ok(kWritten) + warn("  -> The interface could not be restarted automatically (Windows asks for a restart)" +
                             kSavedEnding)},
        {"unreadable install parameters count as a restart",
         [](json& m) {
             test::device_entry(m, kMi03)["restart"] = "need_reboot";
             m["faults"] = json::array({{{"operation", "SetupDiGetDeviceInstallParamsW"}, {"code", 6}}});
         },
         kBacked + ok(kWritten) + ok(kRestarted) + warn(kNotVisible)},
        {"interface never registered", [](json& m) { test::device_entry(m, kMi03)["interface_delay_ms"] = "never"; },
         kBacked + ok(kWritten) + ok(kRestarted) + warn(kNotVisible)},
    };
    for (const Case& c : cases) {
        test::use_machine(elevated_default(c.change));
        const Outcome run = register_manually();
        EXPECT_FALSE(run.result) << c.what;
        EXPECT_TRUE(run.replug) << c.what;
        EXPECT_EQ(run.lines, c.lines) << c.what;
        // The registry change stays.
        ASSERT_NE(mi03_value(L"DeviceInterfaceGUIDs"), nullptr) << c.what;
        const bool waited = c.lines.find(kRestarted) != std::string::npos;
        EXPECT_EQ(sim::count_calls("Sleep", "250"), waited ? 20u : 0u) << c.what;
    }
}

TEST(RegisterGuidManually, InterfaceAtTheThirdTest) {
    test::use_machine(with_mi03([](json& d) { d["interface_delay_ms"] = 500; }));
    const Outcome run = register_manually();
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.lines, kBacked + ok(kWritten) + ok(kRestarted) + ok(kRegistered));
    EXPECT_EQ(sim::count_calls("Sleep", "250"), 2u);
}

}  // namespace
}  // namespace vq4
