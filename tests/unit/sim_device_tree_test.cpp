// The simulated device tree: what a machine file may describe, and how the
// SetupAPI and configuration-manager calls see present and phantom nodes.
#include <gtest/gtest.h>

#include "platform/devices.h"
#include "platform/sim/machine_file.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(SimDeviceTree, MachineFileRulesForDevices) {
    const std::string id199 = "USB\\\\" + std::string(195, 'A');
    const std::string id200 = "USB\\\\" + std::string(196, 'A');
    test::expect_machine_file_verdicts({
        {R"({"devices": [{"instance_id": ")" + id199 + R"("}]})", ""},
        {R"({"devices": [{"instance_id": ")" + id200 + R"("}]})", "at /devices/0/instance_id: an instance id has at most 199 characters"},
        {R"({"devices": [{"instance_id": "USB\\P", "present": false}, {"instance_id": "USB\\C", "parent": "USB\\P"}]})",
         "at /devices/1: a present device needs a present parent"},
        {R"({"devices": [{"instance_id": "USB\\P", "present": false},
                         {"instance_id": "USB\\C", "parent": "USB\\P", "present": false}]})", ""},
        {R"({"devices": [{"instance_id": "USB\\A"}, {"instance_id": "usb\\a"}]})", "duplicate instance id"},
        // A tree has roots: code that walks up (or removes a node with its children) must end.
        {R"({"devices": [{"instance_id": "USB\\A", "parent": "USB\\A"}]})",
         "at /devices/0/parent: the parents of this device form a cycle"},
        {R"({"devices": [{"instance_id": "USB\\R"}, {"instance_id": "USB\\A", "parent": "USB\\B"},
                         {"instance_id": "USB\\B", "parent": "USB\\A"}]})",
         "at /devices/1/parent: the parents of this device form a cycle"},
    });
}

// %d of sscanf has no defined result for numbers that do not fit, and the
// record holds 16-bit fields: such times are refused, not wrapped.
TEST(SimMachineFile, LocalTimeOutOfRangeIsRefused) {
    for (const char* text : {"99999999999-01-01 00:00:00", "2026-01-01 -5:00:00", "40000-01-01 00:00:00",
                             "2026-01-01 00:00:4294967296"}) {
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::parse_machine_json(std::string(R"({"local_time": ")") + text + "\"}", "t", m, error)) << text;
        EXPECT_NE(error.find("at /local_time: local_time is"), std::string::npos) << error;
    }
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::parse_machine_json(R"({"local_time": "30827-12-31 23:59:59"})", "t", m, error)) << error;
    EXPECT_EQ(m.local_time->year, 30827);
}

// The JSON parser refuses a number that fits no number type with its own
// exception, not a parse error: still one line, never an exception out of the loader.
TEST(SimMachineFile, NumberTooLargeForAnyTypeIsRefused) {
    // Each refused at the number's first character, the number named.
    const std::pair<const char*, const char*> cases[] = {
        {"33e3333333", "line 1, column 1: a number is too large: 33e3333333"},
        {R"({"native_architecture": 1e99999})", "line 1, column 25: a number is too large: 1e99999"},
        {"[1,\n -2e400]", "line 2, column 2: a number is too large: -2e400"},
    };
    for (const auto& [text, message] : cases) {
        sim::Machine m;
        std::string error;
        bool ok = true;
        EXPECT_NO_THROW(ok = sim::parse_machine_json(text, "t", m, error)) << text;
        EXPECT_FALSE(ok) << text;
        EXPECT_EQ(error, std::string("machine file 't': ") + message);
    }
}

TEST(SimMachineFile, RefusalIsOneLineWhateverTheNamesHold) {
    sim::Machine m;
    std::string error;
    EXPECT_FALSE(sim::parse_machine_json(R"({"registry": [{"kee\r\nx": 1}]})", "t", m, error));
    EXPECT_EQ(error, "machine file 't': at /registry/0/kee??x: unknown entry \"kee??x\"");
}

TEST(SimDeviceTree, ProblemCodeComesWithItsFlags) {
    const sim::Machine& m = test::machine_file()
                                .device(test::device(L"USB\\OK"))
                                .device(test::device(L"USB\\DISABLED").problem(22))
                                .device(test::device(L"USB\\GIVEN").problem(22).status(0x01802400))
                                .use();
    EXPECT_EQ(m.devices[0].description.status, 0x0180600Au);  // DN_DRIVER_LOADED | DN_STARTED | ...
    EXPECT_EQ(m.devices[1].description.status, 0x01806400u);  // DN_HAS_PROBLEM, not started
    EXPECT_EQ(m.devices[2].description.status, 0x01802400u);
}

TEST(SimDeviceTree, PresentFlagAndEnumeratorSelectTheSet) {
    sim::Machine& m = test::machine_file()
                          .device(test::device(L"USB\\ROOT_HUB30\\1"))
                          .device(test::device(L"USB\\VID_2A7D&PID_5E3C\\OLD").parent(L"USB\\ROOT_HUB30\\1").absent())
                          .device(test::device(L"HID\\VID_2A7D&PID_5E3C\\1"))
                          .device(test::device(L"usb\\vid_2a7d&pid_5e3c\\NEW").parent(L"USB\\ROOT_HUB30\\1"))
                          .use();
    const auto ids = [](std::uint32_t flags, const std::wstring& enumerator) {
        std::vector<std::wstring> found;
        platform::DevInfoSet set;
        EXPECT_EQ(platform::setupdi_get_class_devs(nullptr, &enumerator, flags, set), 0u);
        platform::DeviceInfoData device;
        std::uint32_t index = 0;
        for (; platform::setupdi_enum_device_info(set, index, device) == 0; ++index) {
            std::wstring id;
            EXPECT_EQ(platform::setupdi_get_device_instance_id(set, device, 512, id), 0u);
            found.push_back(id);
        }
        EXPECT_EQ(platform::setupdi_enum_device_info(set, index, device), win::ERROR_NO_MORE_ITEMS_);
        return found;
    };
    const std::uint32_t all = win::DIGCF_ALLCLASSES_;
    EXPECT_EQ(ids(all | win::DIGCF_PRESENT_, L"USB"),
              (std::vector<std::wstring>{L"USB\\ROOT_HUB30\\1", L"usb\\vid_2a7d&pid_5e3c\\NEW"}));
    EXPECT_EQ(ids(all | win::DIGCF_PRESENT_, L"usb"),
              (std::vector<std::wstring>{L"USB\\ROOT_HUB30\\1", L"usb\\vid_2a7d&pid_5e3c\\NEW"}));
    EXPECT_EQ(ids(all, L"USB"), (std::vector<std::wstring>{L"USB\\ROOT_HUB30\\1", L"USB\\VID_2A7D&PID_5E3C\\OLD",
                                                           L"usb\\vid_2a7d&pid_5e3c\\NEW"}));

    // A phantom node has no state to read; neither has one unplugged after
    // the set was taken.
    std::uint32_t status = 0, problem = 0;
    EXPECT_EQ(platform::cm_get_devnode_status(m.devices[1].state.dev_inst, status, problem), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(platform::cm_get_devnode_status(m.devices[3].state.dev_inst, status, problem), win::CR_SUCCESS_);
    m.devices[3].description.present = false;
    EXPECT_EQ(platform::cm_get_devnode_status(m.devices[3].state.dev_inst, status, problem), win::CR_NO_SUCH_DEVNODE_);
}

TEST(SimDeviceTree, PropertiesAbsentEmptyAndTooLarge) {
    test::machine_file().device(test::device(L"USB\\A").friendly_name(L"").device_desc(L"Desc")).use();
    const std::wstring usb = L"USB";
    platform::DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &usb, 6, set), 0u);
    platform::DeviceInfoData device;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, device), 0u);

    // Set but empty: success with the NUL alone.
    platform::PropertyRead read = platform::setupdi_get_device_registry_property(set, device, win::SPDRP_FRIENDLYNAME_, 1024);
    EXPECT_EQ(read.error, 0u);
    EXPECT_EQ(read.data, (std::vector<std::uint8_t>{0, 0}));
    // Not set: ERROR_INVALID_DATA.
    read = platform::setupdi_get_device_registry_property(set, device, win::SPDRP_SERVICE_, 1024);
    EXPECT_EQ(read.error, win::ERROR_INVALID_DATA_);
    // Too small a buffer: ERROR_INSUFFICIENT_BUFFER and the size needed.
    read = platform::setupdi_get_device_registry_property(set, device, win::SPDRP_DEVICEDESC_, 9);
    EXPECT_EQ(read.error, win::ERROR_INSUFFICIENT_BUFFER_);
    EXPECT_EQ(read.required_size, 10u);
    EXPECT_TRUE(read.data.empty());
    // An instance id needs room for its NUL.
    std::wstring id;
    EXPECT_EQ(platform::setupdi_get_device_instance_id(set, device, 5, id), win::ERROR_INSUFFICIENT_BUFFER_);
    EXPECT_EQ(platform::setupdi_get_device_instance_id(set, device, 6, id), 0u);
    EXPECT_EQ(id, L"USB\\A");
}

}  // namespace
}  // namespace vq4
