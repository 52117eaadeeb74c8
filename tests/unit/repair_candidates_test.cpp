// Which MI_03 nodes need the repair, and the counted wait for an interface.
#include <gtest/gtest.h>

#include "platform/sim/device_tree.h"
#include "platform/sim/machine.h"
#include "inspect/device_queries.h"
#include "repair/repair_candidates.h"
#include "support/machine_builder.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using nlohmann::json;
using test::kExpectedGuid;

json multi(std::vector<std::string> texts) {
    return json{{"name", "DeviceInterfaceGUIDs"}, {"type", "REG_MULTI_SZ"}, {"data", std::move(texts)}};
}

json single(const std::string& text) {
    return json{{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", text}};
}

// The default machine with the MI_03 node changed.
std::string with_mi03(const std::function<void(json&)>& change) {
    return test::machine_text("default", [&](json& m) { change(test::device_entry(m, test::kMi03)); });
}

TEST(FindRepairCandidates, DecidesByServiceAndRegisteredGuidValues) {
    const std::string expected = kExpectedGuid;
    const std::string lower = "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
    const std::string other = "{11111111-2222-3333-4444-555555555555}";
    struct Case {
        const char* what;
        std::function<void(json&)> change;
        bool candidate;
        std::vector<std::wstring> current;
    };
    const std::vector<Case> cases = {
        {"no GUID at all", [](json&) {}, true, {}},
        {"expected GUID second in the multi-string", [&](json& d) { d["hardware_key"].push_back(multi({other, expected})); },
         false, {}},
        {"expected GUID in lower case", [&](json& d) { d["hardware_key"].push_back(multi({lower})); }, false, {}},
        {"expected GUID only in DeviceInterfaceGUID", [&](json& d) { d["hardware_key"].push_back(single(expected)); },
         false, {}},
        {"only another GUID", [&](json& d) { d["hardware_key"].push_back(multi({other})); }, true, {widen(other)}},
        {"expected GUID without braces does not parse",
         [&](json& d) { d["hardware_key"].push_back(multi({expected.substr(1, 36)})); }, true,
         {widen(expected.substr(1, 36))}},
        {"both values, kept as stored",
         [&](json& d) {
             d["hardware_key"].push_back(multi({other, "garbage"}));
             d["hardware_key"].push_back(single(lower.substr(0, 10)));
         },
         true, {widen(other), L"garbage", widen(lower.substr(0, 10))}},
        {"service in lower case", [](json& d) { d["service"] = "winusb"; }, true, {}},
        {"another service", [](json& d) { d["service"] = "usbaudio2"; }, false, {}},
        {"a longer service name", [](json& d) { d["service"] = "WINUSBX"; }, false, {}},
        {"no service", [](json& d) { d.erase("service"); }, false, {}},
        {"empty service", [](json& d) { d["service"] = ""; }, false, {}},
        {"unplugged (not present)", [](json& d) { d["present"] = false; }, false, {}},
        {"no hardware key", [](json& d) { d.erase("hardware_key"); }, true, {}},
    };
    for (const Case& c : cases) {
        test::use_machine(with_mi03(c.change));
        const std::vector<RepairCandidate> found = find_repair_candidates(widen(expected));
        if (!c.candidate) {
            EXPECT_TRUE(found.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].instance_id, widen(test::kMi03)) << c.what;
        EXPECT_EQ(found[0].current_guids, c.current) << c.what;
    }
}

TEST(FindRepairCandidates, OnlyMi03NodesOfTheDeviceInEnumerationOrder) {
    test::use_machine(test::machine_text("default", [](json& m) {
        // The audio interface bound to WinUSB, another vendor's MI_03, and a
        // second Vantro Q4 with a lower-case id.
        test::device_entry(m, test::kMi00)["service"] = "WINUSB";
        m["devices"].push_back({{"instance_id", "USB\\VID_1234&PID_5E3C&MI_03\\7&1"}, {"service", "WINUSB"}});
        m["devices"].push_back({{"instance_id", "usb\\vid_2a7d&pid_5e3c&mi_03\\7&2&0&0003"}, {"service", "WinUsb"}});
    }));
    const std::vector<RepairCandidate> found = find_repair_candidates(widen(kExpectedGuid));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].instance_id, widen(test::kMi03));
    EXPECT_EQ(found[1].instance_id, L"usb\\vid_2a7d&pid_5e3c&mi_03\\7&2&0&0003");
}

TEST(FindRepairCandidates, NoDeviceOrNoEnumerationGivesNone) {
    test::machine_file().device(test::device(L"USB\\ROOT_HUB30\\4&1").service(L"USBHUB3")).use();
    EXPECT_TRUE(find_repair_candidates(widen(kExpectedGuid)).empty());

    test::use_machine(test::machine_text("default", [](json& m) {
        m["faults"] = json::array({{{"operation", "SetupDiGetClassDevsW"}, {"code", 8}}});
    }));
    EXPECT_TRUE(find_repair_candidates(widen(kExpectedGuid)).empty());
}

TEST(FindRepairCandidates, UnreadableIdIsSkippedUnopenableKeyMakesACandidate) {
    // The MI_03 node is the 6th node of the set: its id read fails, so it is skipped.
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, test::kMi03)["hardware_key"].push_back(multi({kExpectedGuid}));
        m["faults"] = json::array({{{"operation", "SetupDiGetDeviceInstanceIdW"}, {"nth", 6}, {"code", 122}}});
    }));
    EXPECT_TRUE(find_repair_candidates(widen(kExpectedGuid)).empty());

    // The expected GUID is registered, but the key cannot be opened: a candidate with no GUID.
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, test::kMi03)["hardware_key"].push_back(multi({kExpectedGuid}));
        m["faults"] = json::array({{{"operation", "SetupDiOpenDevRegKey"}, {"code", 5}}});
    }));
    const auto found = find_repair_candidates(widen(kExpectedGuid));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].current_guids.empty());
}

TEST(FindRepairCandidates, AnExpectedTextThatDoesNotParseMakesEveryWinUsbMi03ACandidate) {
    test::use_machine(with_mi03([&](json& d) { d["hardware_key"].push_back(multi({kExpectedGuid})); }));
    EXPECT_EQ(find_repair_candidates(L"not a guid").size(), 1u);
}

// An MI_03 node whose interface of the expected GUID arrives `delay` ms after a restart.
std::string interface_arriving_after(const std::string& delay) {
    return with_mi03([&](json& d) {
        d["hardware_key"].push_back(multi({kExpectedGuid}));
        d["interface_delay_ms"] = delay == "never" ? json("never") : json(std::stoull(delay));
    });
}

std::size_t presence_tests() {
    return sim::count_calls("SetupDiGetClassDevsW", sim::narrow(widen(kExpectedGuid)) + ", " + test::kMi03 + ", 0x12");
}

// Restarts the simulated node so that its interface is scheduled.
void restart_mi03() {
    sim::Device* d = sim::machine().find_device(widen(test::kMi03));
    ASSERT_NE(d, nullptr);
    d->description.interfaces.clear();
    d->state.interfaces_at_ms = sim::machine().virtual_clock_ms + *d->behaviour.interface_delay_ms;
}

TEST(WaitForInterface, CountsTestsAndPausesForEachLimit) {
    struct Case {
        std::uint32_t limit;
        std::size_t tests;
    };
    for (const Case c : {Case{10000, 41}, Case{15000, 61}, Case{5000, 21}}) {
        test::use_machine(test::machine_text("default"));
        EXPECT_FALSE(wait_for_interface(widen(kExpectedGuid), widen(test::kMi03), c.limit));
        EXPECT_EQ(presence_tests(), c.tests) << c.limit;
        EXPECT_EQ(sim::count_calls("Sleep", "250"), c.tests - 1) << c.limit;
        EXPECT_EQ(sim::count_calls("Sleep"), c.tests - 1) << "no other pause";
        EXPECT_EQ(sim::count_calls("SetupDiEnumDeviceInterfaces"), c.tests) << "one interface test per set";
        EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), c.tests) << "every set is destroyed";
    }
}

TEST(WaitForInterface, ReturnsAtTheFirstTestThatFindsIt) {
    // Present at once: no pause.
    test::use_machine(interface_arriving_after("0"));
    restart_mi03();
    sim::advance_clock(0);
    EXPECT_TRUE(wait_for_interface(widen(kExpectedGuid), widen(test::kMi03), 5000));
    EXPECT_EQ(presence_tests(), 1u);
    EXPECT_EQ(sim::count_calls("Sleep"), 0u);

    // It shows up during the third pause: true at the fourth test.
    test::use_machine(interface_arriving_after("600"));
    restart_mi03();
    EXPECT_TRUE(wait_for_interface(widen(kExpectedGuid), widen(test::kMi03), 5000));
    EXPECT_EQ(presence_tests(), 4u);
    EXPECT_EQ(sim::count_calls("Sleep", "250"), 3u);

    // Exactly at the limit still counts: the last test is made after the last pause.
    test::use_machine(interface_arriving_after("5000"));
    restart_mi03();
    EXPECT_TRUE(wait_for_interface(widen(kExpectedGuid), widen(test::kMi03), 5000));
    EXPECT_EQ(presence_tests(), 21u);
}

TEST(WaitForInterface, UnparsableGuidReturnsAtOnceAndOtherNodesDoNotCount) {
    test::use_machine(test::machine_text("default"));
    EXPECT_FALSE(wait_for_interface(L"{C47D2A19", widen(test::kMi03), 10000));
    EXPECT_TRUE(sim::machine().trace.empty());

    // The interface of the expected GUID on another node does not count for MI_03.
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, test::kMi01)["interfaces"] = json::array(
            {{{"guid", kExpectedGuid}, {"path", "\\\\?\\usb#vid_2a7d&pid_5e3c&mi_01#6&3a2b1c0d&0&0001#{x}"}}});
    }));
    Guid guid;
    ASSERT_TRUE(parse_guid(widen(kExpectedGuid), guid));
    EXPECT_FALSE(interface_present(guid, widen(test::kMi03)));
    EXPECT_TRUE(interface_present(guid, widen(test::kMi01)));
}

}  // namespace
}  // namespace vq4
