// The simulated machine's index of its device nodes (by instance id in any
// letter case and by devnode handle) stays in step with the list while the
// repair removes nodes and re-enumeration brings them back; the loader's
// check for cycles of parents refuses and accepts the trees it always did.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/device_tree.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_file.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

const std::wstring kHub = L"USB\\ROOT_HUB30\\4&1";
const std::wstring kComposite = L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
const std::wstring kMi00 = L"USB\\VID_2A7D&PID_5E3C&MI_00\\6&3A2B1C0D&0&0000";
const std::wstring kMi03 = L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003";
const std::wstring kMouse = L"USB\\VID_046D&PID_C077\\5&2";
const std::wstring kGone = L"USB\\VID_0781&PID_5581\\4C53";  // comes back only when replugged

void use_tree() {
    test::machine_file()
        .device(test::device(kHub))
        .device(test::device(kComposite).parent(kHub))
        .device(test::device(kMi00).parent(kComposite))
        .device(test::device(kMi03).parent(kComposite))
        .device(test::device(kGone).parent(kHub).redetect("never"))
        .device(test::device(kMouse).parent(kHub))
        .use();
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

// Every node of the list is found at its own place by its id as written, in
// lower case, in upper case and by its handle.
void expect_index_matches_list() {
    sim::Machine& m = sim::machine();
    for (std::size_t at = 0; at < m.devices.size(); ++at) {
        const sim::Device& d = m.devices[at];
        SCOPED_TRACE(sim::narrow(d.description.instance_id));
        EXPECT_EQ(m.find_device(d.description.instance_id), &d);
        EXPECT_EQ(m.find_device(lower(d.description.instance_id)), &d);
        EXPECT_EQ(m.find_device(to_upper_ascii(lower(d.description.instance_id))), &d);
        EXPECT_EQ(m.find_device(d.state.dev_inst), &d);
        EXPECT_EQ(m.device_position(d.state.dev_inst), at);
    }
}

std::vector<std::wstring> ids_in_order() {
    std::vector<std::wstring> ids;
    for (const sim::Device& d : sim::machine().devices) ids.push_back(d.description.instance_id);
    return ids;
}

TEST(SimDeviceIndex, FollowsRemovalAndReEnumerationOfANode) {
    use_tree();
    expect_index_matches_list();
    sim::Machine& m = sim::machine();
    const std::uint32_t old_handle = m.find_device(kMi03)->state.dev_inst;
    const std::uint32_t mouse_handle = m.find_device(kMouse)->state.dev_inst;

    sim::remove_device(lower(kMi03));
    EXPECT_EQ(m.find_device(kMi03), nullptr);
    EXPECT_EQ(m.find_device(lower(kMi03)), nullptr);
    EXPECT_EQ(m.find_device(old_handle), nullptr);
    EXPECT_EQ(m.device_position(kMi03), m.devices.size());
    // The nodes after it moved up one place and are still found.
    EXPECT_EQ(m.find_device(mouse_handle), m.find_device(lower(kMouse)));
    EXPECT_EQ(m.find_device(mouse_handle)->description.instance_id, kMouse);
    expect_index_matches_list();

    sim::reenumerate_below(kComposite);
    const sim::Device* back = m.find_device(lower(kMi03));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->description.instance_id, kMi03);
    EXPECT_NE(back->state.dev_inst, old_handle);
    EXPECT_EQ(m.find_device(back->state.dev_inst), back);
    EXPECT_EQ(m.find_device(old_handle), nullptr) << "a stale handle names no node";
    EXPECT_EQ(ids_in_order(), (std::vector<std::wstring>{kHub, kComposite, kMi00, kMi03, kGone, kMouse}));
    expect_index_matches_list();
}

TEST(SimDeviceIndex, FollowsRemovalOfAParentWithItsChildrenAndTheirReturn) {
    use_tree();
    sim::Machine& m = sim::machine();
    const std::uint32_t composite_handle = m.find_device(kComposite)->state.dev_inst;
    const std::uint32_t mi00_handle = m.find_device(kMi00)->state.dev_inst;

    // The children stay in the tree as phantoms; the parent leaves it, and
    // so does a node that will not come back.
    sim::remove_device(kComposite);
    sim::remove_device(lower(kGone));
    EXPECT_EQ(m.find_device(kComposite), nullptr);
    EXPECT_EQ(m.find_device(composite_handle), nullptr);
    EXPECT_EQ(m.find_device(kGone), nullptr);
    ASSERT_NE(m.find_device(lower(kMi00)), nullptr);
    EXPECT_FALSE(m.find_device(lower(kMi00))->description.present);
    EXPECT_EQ(ids_in_order(), (std::vector<std::wstring>{kHub, kMi00, kMi03, kMouse}));
    expect_index_matches_list();

    sim::reenumerate_below(lower(kHub));
    EXPECT_EQ(ids_in_order(), (std::vector<std::wstring>{kHub, kComposite, kMi00, kMi03, kMouse}));
    EXPECT_EQ(m.find_device(kGone), nullptr) << "removed, not back: not in the tree";
    const sim::Device* mi00 = m.find_device(to_upper_ascii(kMi00));
    ASSERT_NE(mi00, nullptr);
    EXPECT_TRUE(mi00->description.present);
    EXPECT_NE(mi00->state.dev_inst, mi00_handle) << "a phantom that comes back gets a new devnode";
    EXPECT_EQ(m.find_device(mi00->state.dev_inst), mi00);
    EXPECT_EQ(m.find_device(mi00_handle), nullptr);
    EXPECT_EQ(m.find_device(composite_handle), nullptr);
    expect_index_matches_list();
}

TEST(SimDeviceIndex, NodesAddedOrDroppedByHandAreFoundAfterwards) {
    sim::Machine m;
    sim::Device hub;
    hub.description.instance_id = kHub;
    m.add_device(hub);
    EXPECT_EQ(m.find_device(lower(kHub)), &m.devices[0]);
    // Appended to the list directly: the index catches up.
    sim::Device mouse;
    mouse.description.instance_id = kMouse;
    mouse.state.dev_inst = 7;
    m.devices.push_back(mouse);
    EXPECT_EQ(m.find_device(lower(kMouse)), &m.devices[1]);
    EXPECT_EQ(m.find_device(7u), &m.devices[1]);
    // Fewer nodes than it knows: it indexes afresh.
    m.devices.erase(m.devices.begin());
    EXPECT_EQ(m.find_device(kHub), nullptr);
    EXPECT_EQ(m.find_device(kMouse), &m.devices[0]);
    // A copy of the machine has an index of its own nodes.
    const sim::Machine copy = m;
    EXPECT_EQ(copy.find_device(lower(kMouse)), &copy.devices[0]);
}

std::string chain(int length, bool closed) {
    // Each node's parent is the next one listed: walking up from the first
    // node passes every other; the last is a root, or the first's child.
    std::string json = R"({"devices": [)";
    for (int i = 0; i < length; ++i) {
        json += i == 0 ? "" : ", ";
        json += R"({"instance_id": "USB\\N\\)" + std::to_string(i) + "\"";
        if (i + 1 < length || closed) json += R"(, "parent": "usb\\n\\)" + std::to_string((i + 1) % length) + "\"";
        json += "}";
    }
    return json + "]}";
}

TEST(SimDeviceIndex, CyclesOfParentsAreRefusedAsBefore) {
    struct Case {
        const char* what;
        std::string json;
        std::string error;  // empty: accepted
    };
    const std::string cycle = "the parents of this device form a cycle";
    const Case cases[] = {
        {"its own parent, in another letter case", R"({"devices": [{"instance_id": "USB\\A", "parent": "usb\\a"}]})",
         "machine file 't': at /devices/0/parent: " + cycle},
        {"a cycle of two after a root",
         R"({"devices": [{"instance_id": "USB\\R"}, {"instance_id": "USB\\A", "parent": "USB\\B"},
                         {"instance_id": "USB\\B", "parent": "USB\\A"}]})",
         "machine file 't': at /devices/1/parent: " + cycle},
        {"a node below a cycle, listed before it",
         R"({"devices": [{"instance_id": "USB\\C", "parent": "USB\\A"}, {"instance_id": "USB\\A", "parent": "USB\\B"},
                         {"instance_id": "USB\\B", "parent": "USB\\A"}]})",
         "machine file 't': at /devices/0/parent: " + cycle},
        {"a node below a root, listed after a cycle",
         R"({"devices": [{"instance_id": "USB\\A", "parent": "USB\\A"}, {"instance_id": "USB\\R"},
                         {"instance_id": "USB\\C", "parent": "USB\\R"}]})",
         "machine file 't': at /devices/0/parent: " + cycle},
        {"a long chain to a root", chain(3000, false), ""},
        {"a long chain closed into a cycle", chain(3000, true), "machine file 't': at /devices/0/parent: " + cycle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m;
        std::string error;
        EXPECT_EQ(sim::parse_machine_json(c.json, "t", m, error), c.error.empty());
        EXPECT_EQ(error, c.error);
    }
}

TEST(SimDeviceIndex, CycleCheckNamesTheFirstNodeThatNeverReachesARoot) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::wstring, std::wstring>> nodes;  // id, parent
        std::optional<std::size_t> first;
    };
    const Case cases[] = {
        {"a forest", {{L"R", L""}, {L"A", L"R"}, {L"S", L""}, {L"B", L"a"}, {L"C", L"S"}}, std::nullopt},
        {"a parent outside the tree ends the walk", {{L"A", L"ELSEWHERE"}, {L"B", L"A"}}, std::nullopt},
        {"a self-parent after good nodes", {{L"R", L""}, {L"A", L"R"}, {L"B", L"b"}}, 2},
        {"a cycle of two reached from below", {{L"R", L""}, {L"C", L"B"}, {L"A", L"B"}, {L"B", L"A"}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m;
        for (const auto& [id, parent] : c.nodes) {
            sim::Device d;
            d.description.instance_id = id;
            d.description.parent_id = parent;
            m.add_device(d);
        }
        EXPECT_EQ(sim::first_node_in_parent_cycle(m), c.first);
    }
}

}  // namespace
}  // namespace vq4
