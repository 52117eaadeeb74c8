#include <gtest/gtest.h>

#include "inspect/usb_nodes.h"
#include "platform/sim/machine_file.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(EnumerateUsbNodes, DefaultMachineKeepsTheDeviceNodesInSystemOrder) {
    test::use_machine(sim::default_machine_json());
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0].instance_id, L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D");
    EXPECT_EQ(nodes[0].description, L"Vantro Q4");
    EXPECT_EQ(nodes[0].service, L"usbccgp");
    EXPECT_EQ(nodes[1].description, L"Vantro Q4 Audio");
    EXPECT_EQ(nodes[2].description, L"Vantro Q4 Control") << "friendly name absent: the device description";
    EXPECT_EQ(nodes[3].service, L"WINUSB");
    EXPECT_TRUE(nodes[3].has_status);
    EXPECT_EQ(nodes[3].problem, 0u);
    EXPECT_NE(nodes[3].dev_inst, nodes[2].dev_inst);
}

// One tree with every kind of node the enumeration has to sort out.
const char* const kTree = R"json({"devices": [
  {"instance_id": "USB\\ROOT_HUB30\\4&1", "device_desc": "USB Root Hub (USB 3.0)", "service": "USBHUB3"},
  {"instance_id": "usb\\vid_2a7d&pid_5e3c&mi_03\\6&2&0&0003", "parent": "usb\\vid_2a7d&pid_5e3c\\qv4",
   "friendly_name": "", "device_desc": "Vantro Q4 Vendor Interface", "status": "0x01802002"},
  {"instance_id": "USB\\VID_2A7D&PID_5E21\\QV2", "parent": "USB\\ROOT_HUB30\\4&1", "friendly_name": "Vantro Q2",
   "service": "usbccgp"},
  {"instance_id": "usb\\vid_2a7d&pid_5e3c\\qv4", "parent": "USB\\ROOT_HUB30\\4&1", "friendly_name": "Vantro Q4",
   "device_desc": "USB Composite Device", "service": "usbccgp"},
  {"instance_id": "USB\\VID_2A7D&PID_5E3C&MI_00\\6&2&0&0000", "parent": "usb\\vid_2a7d&pid_5e3c\\qv4",
   "service": "usbaudio2", "problem": 22},
  {"instance_id": "HID\\VID_2A7D&PID_5E3C&MI_00\\7&1", "parent": "USB\\VID_2A7D&PID_5E3C&MI_00\\6&2&0&0000",
   "device_desc": "HID device", "service": "HidUsb"},
  {"instance_id": "USB\\VID_2A7D&PID_5E3C&MI_01\\6&2&0&0001", "parent": "usb\\vid_2a7d&pid_5e3c\\qv4",
   "device_desc": "Vantro Q4 Control", "service": "usbaudio2", "problem": 31, "status_result": "0x0D"},
  {"instance_id": "USB\\VID_2A7D&PID_5E3C\\OLDPORT", "parent": "USB\\ROOT_HUB30\\4&1", "present": false,
   "friendly_name": "Vantro Q4", "service": "usbccgp"},
  {"instance_id": "USB\\VID_2A7D&PID_5E3C&MI_03\\6&9&0&0003", "parent": "USB\\VID_2A7D&PID_5E3C\\OLDPORT",
   "present": false, "device_desc": "Vantro Q4 Vendor Interface", "service": "WINUSB"}
]})json";

TEST(EnumerateUsbNodes, KeepsOnlyPresentNodesOfTheDeviceAsTheSystemGivesThem) {
    sim::Machine& m = test::use_machine(kTree);
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 4u);

    // Lower-case id, kept as given; set-but-empty friendly name gives the
    // device description; no driver; flags "not started" taken as they are.
    EXPECT_EQ(nodes[0].instance_id, L"usb\\vid_2a7d&pid_5e3c&mi_03\\6&2&0&0003");
    EXPECT_EQ(nodes[0].description, L"Vantro Q4 Vendor Interface");
    EXPECT_EQ(nodes[0].service, L"");
    EXPECT_TRUE(nodes[0].has_status);
    EXPECT_EQ(nodes[0].status, 0x01802002u);
    EXPECT_EQ(nodes[0].problem, 0u);

    EXPECT_EQ(nodes[1].instance_id, L"usb\\vid_2a7d&pid_5e3c\\qv4");
    EXPECT_EQ(nodes[1].description, L"Vantro Q4");

    // Neither name set: empty description. A problem code comes with DN_HAS_PROBLEM.
    EXPECT_EQ(nodes[2].instance_id, L"USB\\VID_2A7D&PID_5E3C&MI_00\\6&2&0&0000");
    EXPECT_EQ(nodes[2].description, L"");
    EXPECT_EQ(nodes[2].service, L"usbaudio2");
    EXPECT_TRUE(nodes[2].has_status);
    EXPECT_EQ(nodes[2].problem, 22u);
    EXPECT_NE(nodes[2].status & 0x400u, 0u);

    // Unreadable state: has_status false and both numbers 0, whatever the node holds.
    EXPECT_EQ(nodes[3].instance_id, L"USB\\VID_2A7D&PID_5E3C&MI_01\\6&2&0&0001");
    EXPECT_FALSE(nodes[3].has_status);
    EXPECT_EQ(nodes[3].status, 0u);
    EXPECT_EQ(nodes[3].problem, 0u);

    // dev_inst is the configuration manager's handle of each node.
    for (const UsbNode& n : nodes) {
        const sim::Device* d = m.find_device(n.instance_id);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(n.dev_inst, d->state.dev_inst);
    }
}

TEST(EnumerateUsbNodes, OnePassOverThePresentUsbDevices) {
    test::use_machine(kTree);
    enumerate_usb_nodes();
    const auto& trace = sim::machine().trace;
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().operation, "SetupDiGetClassDevsW");
    EXPECT_EQ(trace.front().arguments, "NULL, USB, 0x6");
    EXPECT_EQ(sim::count_calls("SetupDiGetClassDevsW"), 1u);
    // Six present nodes of the USB enumerator (not the HID one, not the
    // phantoms), then the end of the list.
    EXPECT_EQ(sim::count_calls("SetupDiEnumDeviceInfo"), 7u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceInstanceIdW"), 6u);
    EXPECT_EQ(sim::count_calls("CM_Get_DevNode_Status"), 4u);
    // Only the nodes kept have their properties read; the device description
    // only where the friendly name came back empty.
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "1, 12"), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "1, 0"), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "1, 4"), 1u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "3, 0"), 0u);
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceRegistryPropertyW", "2, 12"), 0u);
    // The set is destroyed last, once.
    EXPECT_EQ(trace.back().operation, "SetupDiDestroyDeviceInfoList");
    EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), 1u);
}

TEST(EnumerateUsbNodes, DeviceAbsentOrSetUnavailableGivesAnEmptyList) {
    // Only a phantom of the device and another product of the same maker.
    test::machine_file()
        .device(test::device(L"USB\\ROOT_HUB30\\4&1"))
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C\\QV4").parent(L"USB\\ROOT_HUB30\\4&1").absent())
        .device(test::device(L"USB\\VID_2A7D&PID_5E21\\QV2").parent(L"USB\\ROOT_HUB30\\4&1"))
        .use();
    EXPECT_TRUE(enumerate_usb_nodes().empty());

    test::machine_file().device(test::device(L"USB\\VID_2A7D&PID_5E3C\\QV4")).fault("SetupDiGetClassDevsW", 5).use();
    EXPECT_TRUE(enumerate_usb_nodes().empty());
    EXPECT_EQ(sim::count_calls("SetupDiEnumDeviceInfo"), 0u);
    EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), 0u) << "no set was created";
}

TEST(EnumerateUsbNodes, FailedCallsAreSilentAndLocal) {
    const std::wstring parent = L"USB\\VID_2A7D&PID_5E3C\\QV4";
    const auto machine = [&] {
        return test::machine_file().devices({
            test::device(parent).friendly_name(L"Vantro Q4").device_desc(L"USB Composite Device").service(L"usbccgp"),
            test::device(L"USB\\VID_2A7D&PID_5E3C&MI_00\\6&1").parent(parent).device_desc(L"USB Audio Device"),
            test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3").parent(parent)
                .device_desc(L"Vantro Q4 Vendor Interface").service(L"WINUSB"),
        });
    };

    // An instance id that cannot be read: that device is left out, the walk goes on.
    machine().fault("SetupDiGetDeviceInstanceIdW", 122, 2).use();
    std::vector<UsbNode> nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].instance_id, L"USB\\VID_2A7D&PID_5E3C\\QV4");
    EXPECT_EQ(nodes[1].instance_id, L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3");

    // Any failure of the walk itself ends it with what was found so far.
    machine().fault("SetupDiEnumDeviceInfo", 1784, 3).use();
    nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(sim::count_calls("SetupDiEnumDeviceInfo"), 3u);
    EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), 1u);

    // An unreadable friendly name falls back to the description; an
    // unreadable service is empty.
    machine().fault("SetupDiGetDeviceRegistryPropertyW", 13, 1).fault("SetupDiGetDeviceRegistryPropertyW", 5, 3).use();
    nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].description, L"USB Composite Device");
    EXPECT_EQ(nodes[0].service, L"");

    // A failed state read of one node does not touch the others.
    machine().fault("CM_Get_DevNode_Status", 13, 2).use();
    nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_TRUE(nodes[0].has_status);
    EXPECT_FALSE(nodes[1].has_status);
    EXPECT_TRUE(nodes[2].has_status);
}

TEST(EnumerateUsbNodes, PropertyBufferHolds1024Bytes) {
    // 511 characters and the NUL fill 1024 bytes exactly; one more does not fit
    // and counts as unreadable, so the device description is used.
    const std::wstring fits(511, L'f');
    const std::wstring too_long(512, L'l');
    test::machine_file()
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C\\A").friendly_name(fits).device_desc(L"desc A").service(too_long))
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C\\B").friendly_name(too_long).device_desc(L"desc B"))
        .use();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].description, std::wstring(511, L'f'));
    EXPECT_EQ(nodes[0].service, L"");
    EXPECT_EQ(nodes[1].description, L"desc B");
}

TEST(EnumerateUsbNodes, SnapshotIsNotRefreshed) {
    sim::Machine& m =
        test::machine_file().device(test::device(L"USB\\VID_2A7D&PID_5E3C\\QV4").friendly_name(L"Vantro Q4")).use();
    const std::vector<UsbNode> before = enumerate_usb_nodes();
    m.devices[0].description.present = false;
    EXPECT_EQ(before.size(), 1u);
    EXPECT_TRUE(enumerate_usb_nodes().empty()) << "a fresh call sees the unplugged device";
}

TEST(NodeRoleLabel, Table) {
    struct Case {
        const wchar_t* id;
        const wchar_t* label;
    };
    const Case cases[] = {
        {L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&1", L"interface MI_03"},
        {L"usb\\vid_2a7d&pid_5e3c&mi_0a\\6&1", L"interface MI_0A"},
        {L"USB\\VID_2A7D&PID_5E3C&MI_0", L"interface MI_0"},
        {L"USB\\VID_2A7D&PID_5E3C&MI_", L"interface MI_"},
        {L"USB\\VID_2A7D&PID_5E3C\\QV4", L"composite device (parent)"},
        {L"USB\\VID_2A7D&PID_5E3C&MI_01\\x&MI_02", L"interface MI_01"},  // the first &MI_ counts
        {L"USB\\VID_2A7D&PID_5E3C\\MI_03", L"composite device (parent)"},  // no '&' before MI_
        {L"", L"composite device (parent)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(node_role_label(c.id), c.label) << sim::narrow(c.id);
    }
}

}  // namespace
}  // namespace vq4
