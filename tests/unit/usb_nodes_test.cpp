#include <gtest/gtest.h>

#include "inspect/usb_nodes.h"
#include "platform/sim/machine_file.h"
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

TEST(NodeRoleLabel, Table) {
    EXPECT_EQ(node_role_label(L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&1"), L"interface MI_03");
    EXPECT_EQ(node_role_label(L"usb\\vid_2a7d&pid_5e3c&mi_0a\\6&1"), L"interface MI_0A");
    EXPECT_EQ(node_role_label(L"USB\\VID_2A7D&PID_5E3C&MI_0"), L"interface MI_0");
    EXPECT_EQ(node_role_label(L"USB\\VID_2A7D&PID_5E3C\\QV4"), L"composite device (parent)");
}

}  // namespace
}  // namespace vq4
