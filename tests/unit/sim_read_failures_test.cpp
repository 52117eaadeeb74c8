// Machine-file entries that give a read exactly as a real run saw it: a key
// whose open fails, a value whose read fails, device properties as exact
// bytes or as a failing read, the SDK's answers call by call, and a node's
// empty hardware key.
#include <gtest/gtest.h>

#include <functional>

#include "platform/devices.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/sim/machine_file.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"

namespace vq4 {
namespace {

using nlohmann::json;

constexpr std::uint32_t kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES
constexpr std::uint32_t kNotFound = 1168;           // ERROR_NOT_FOUND

TEST(SimReadFailures, AKeyWhoseOpenFailsFailsOnlyItsOwnOpen) {
    test::machine_file()
        .set("registry", json::array({
                             {{"key", "HKLM\\SOFTWARE\\Quorvane\\Locked"}, {"open_error", 5}},
                             {{"key", "HKLM\\SOFTWARE\\Quorvane\\Locked\\Inner"}},
                             {{"key", "HKLM\\SOFTWARE\\Quorvane\\Dual"}},
                             {{"key", "HKLM\\SOFTWARE\\WOW6432Node\\Quorvane\\Dual"}, {"open_error", "0x5AA"}},
                         }))
        .use();
    platform::RegKey parent;
    ASSERT_EQ(platform::reg_open_key(platform::RegRoot::LocalMachine, L"SOFTWARE\\Quorvane", win::KEY_READ_, parent), 0);

    struct Case {
        const char* what;
        std::function<std::int32_t(platform::RegKey&)> open;
        std::int32_t expected;
    };
    const auto absolute = [](const wchar_t* path, std::uint32_t access) {
        return [=](platform::RegKey& out) {
            return platform::reg_open_key(platform::RegRoot::LocalMachine, path, access, out);
        };
    };
    const auto relative = [&](const wchar_t* subkey, std::uint32_t access) {
        return [=, &parent](platform::RegKey& out) { return platform::reg_open_subkey(parent, subkey, access, out); };
    };
    const Case cases[] = {
        {"the key", absolute(L"SOFTWARE\\Quorvane\\Locked", win::KEY_READ_), 5},
        {"the key, any access", absolute(L"SOFTWARE\\Quorvane\\Locked", win::KEY_READ_ | win::KEY_WOW64_64KEY_), 5},
        {"the key, writing", absolute(L"SOFTWARE\\Quorvane\\Locked", win::KEY_ALL_ACCESS_), 5},
        {"the key from its parent", relative(L"Locked", win::KEY_READ_), 5},
        {"its subkey", absolute(L"SOFTWARE\\Quorvane\\Locked\\Inner", win::KEY_READ_), 0},
        {"its subkey from the parent", relative(L"Locked\\Inner", win::KEY_READ_), 0},
        {"the 32-bit view's key", absolute(L"SOFTWARE\\Quorvane\\Dual", win::KEY_READ_ | win::KEY_WOW64_32KEY_),
         static_cast<std::int32_t>(kNoSystemResources)},
        {"the 64-bit view's key of that name", absolute(L"SOFTWARE\\Quorvane\\Dual", win::KEY_READ_), 0},
    };
    for (const Case& c : cases) {
        platform::RegKey key;
        EXPECT_EQ(c.open(key), c.expected) << c.what;
        EXPECT_EQ(key.valid(), c.expected == 0) << c.what;
    }
    // Its parent still lists it.
    std::vector<std::wstring> names;
    std::wstring name;
    for (std::uint32_t i = 0; platform::reg_enum_key(parent, i, 256, name) == 0; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Locked", L"Dual"}));
}

TEST(SimReadFailures, AValueWhoseReadFailsIsStillListed) {
    const auto error_value = [](const char* name, std::uint32_t code) {
        return test::RegValue{json{{"name", name}, {"error", code}}};
    };
    test::machine_file()
        .key(L"HKLM\\SOFTWARE\\Quorvane", {error_value("InstallPath", 5), test::reg_sz(L"Version", L"1.51")})
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\1")
                    .hardware_key({error_value("DeviceInterfaceGUIDs", kNoSystemResources)}))
        .use();
    platform::RegKey key;
    ASSERT_EQ(platform::reg_open_key(platform::RegRoot::LocalMachine, L"SOFTWARE\\Quorvane", win::KEY_READ_, key), 0);

    // A failed read reports REG_NONE and no size, as registry.h promises for every failure.
    platform::RegRead read = platform::reg_query_value(key, L"InstallPath", 1024);
    EXPECT_EQ(read.status, 5);
    EXPECT_EQ(read.type, win::REG_NONE_);
    EXPECT_EQ(read.size, 0u);
    EXPECT_TRUE(read.data.empty());
    read = platform::reg_query_value_size(key, L"InstallPath");
    EXPECT_EQ(read.status, 5);
    EXPECT_EQ(read.type, win::REG_NONE_);
    EXPECT_EQ(read.size, 0u);
    // The other value reads as usual.
    EXPECT_EQ(platform::reg_query_value(key, L"Version", 1024).status, 0);

    std::vector<std::wstring> names;
    std::wstring name;
    for (std::uint32_t i = 0; platform::reg_enum_value(key, i, 256, name) == 0; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"InstallPath", L"Version"}));

    // The same in a node's hardware key.
    const std::wstring usb = L"USB";
    platform::DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &usb, win::DIGCF_ALLCLASSES_, set), 0u);
    platform::DeviceInfoData device;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, device), 0u);
    platform::RegKey hardware;
    ASSERT_EQ(platform::setupdi_open_dev_reg_key(set, device, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_,
                                                 win::KEY_READ_, hardware),
              0u);
    EXPECT_EQ(platform::reg_query_value(hardware, L"DeviceInterfaceGUIDs", 1024).status,
              static_cast<std::int32_t>(kNoSystemResources));
}

TEST(SimReadFailures, PropertiesAsExactBytesOrAFailingRead) {
    sim::Machine& m =
        test::machine_file()
            .device(test::device(L"USB\\A")
                        .set("friendly_name", {{"hex", "41 00 42"}})  // odd size, no terminator
                        .set("device_desc", {{"error", kNotFound}})
                        .set("service", {{"hex", "57 00 00 00 58 00"}})
                        .set("hardware_ids", {{"hex", "41 00 00 00 42 00 00 00 00 00"}}))
            .device(test::device(L"USB\\B").set("hardware_ids", {{"error", 5}}))
            .use();
    const std::wstring usb = L"USB";
    platform::DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &usb, win::DIGCF_ALLCLASSES_, set), 0u);
    platform::DeviceInfoData a, b;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, a), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 1, b), 0u);

    struct Case {
        const platform::DeviceInfoData* device;
        std::uint32_t property;
        std::uint32_t capacity;
        std::uint32_t error;
        std::uint32_t required_size;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {&a, win::SPDRP_FRIENDLYNAME_, 1024, 0, 3, {0x41, 0x00, 0x42}},
        {&a, win::SPDRP_FRIENDLYNAME_, 2, win::ERROR_INSUFFICIENT_BUFFER_, 3, {}},
        {&a, win::SPDRP_DEVICEDESC_, 1024, kNotFound, 0, {}},
        {&a, win::SPDRP_SERVICE_, 1024, 0, 6, {0x57, 0x00, 0x00, 0x00, 0x58, 0x00}},
        {&a, win::SPDRP_HARDWAREID_, 1024, 0, 10, {0x41, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {&b, win::SPDRP_HARDWAREID_, 1024, 5, 0, {}},
        {&b, win::SPDRP_FRIENDLYNAME_, 1024, win::ERROR_INVALID_DATA_, 0, {}},  // left out: not set, as before
    };
    for (const Case& c : cases) {
        const platform::PropertyRead read = platform::setupdi_get_device_registry_property(set, *c.device, c.property, c.capacity);
        EXPECT_EQ(read.error, c.error) << "property " << c.property << ", " << c.capacity << " bytes";
        EXPECT_EQ(read.required_size, c.required_size) << "property " << c.property;
        EXPECT_EQ(read.data, c.data) << "property " << c.property;
    }
    // The rest of the machine (the driver, the SDK, the descriptor cache's
    // revision) sees the text that the bytes spell; a failing read is no text.
    EXPECT_EQ(m.devices[0].description.friendly_name, std::optional<std::wstring>(L"AB"));
    EXPECT_EQ(m.devices[0].description.device_desc, std::nullopt);
    EXPECT_EQ(m.devices[0].description.service, std::optional<std::wstring>(L"W"));
    EXPECT_EQ(m.devices[0].description.hardware_ids, (std::optional<std::vector<std::wstring>>{{L"A", L"B"}}));
    EXPECT_EQ(m.devices[1].description.hardware_ids, std::nullopt);
}

TEST(SimReadFailures, SdkAnswersCallByCallTheLastRepeating) {
    using Init = std::int32_t (*)(std::uint32_t, std::intptr_t, std::intptr_t);
    using Count = std::int32_t (*)(std::int32_t*);
    using Changed = std::int32_t (*)();
    const auto run = [](const json& behaviour, std::vector<std::int32_t>& counts, std::vector<std::int32_t>& changes) {
        test::machine_file()
            .file(L"C:\\SDK\\qtv_api_core.dll", {{"pe", {{"machine", "0x8664"}}}})
            .file(L"C:\\SDK\\vxlinkapi_x64.dll", {{"pe", {{"machine", "0x8664"}}}})
            .sdk(L"C:\\SDK\\qtv_api_core.dll", behaviour)
            .use();
        platform::Library library;
        ASSERT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), 0u);
        const auto init = reinterpret_cast<Init>(platform::get_proc_address(library, "QTV_Init").address);
        const auto count = reinterpret_cast<Count>(platform::get_proc_address(library, "QTV_GetDeviceCount").address);
        const auto changed =
            reinterpret_cast<Changed>(platform::get_proc_address(library, "QTV_IsDeviceChanged").address);
        ASSERT_EQ(init(0x152, 0, 0), 0);
        for (int poll = 0; poll < 4; ++poll) {
            changes.push_back(changed());
            std::int32_t n = -99;
            EXPECT_EQ(count(&n), 0);
            counts.push_back(n);
        }
    };
    {
        // Scripted counts hold from the first call, whatever the detection's delay.
        std::vector<std::int32_t> counts, changes;
        run({{"is_device_changed", {0, 1, -7}}, {"device_count", {0, 2, 1}}, {"detection_delay_ms", 5000}}, counts,
            changes);
        EXPECT_EQ(counts, (std::vector<std::int32_t>{0, 2, 1, 1}));
        EXPECT_EQ(changes, (std::vector<std::int32_t>{0, 1, -7, -7}));
    }
    {
        // "when_changed" compares the count the next call reports with the last one read.
        std::vector<std::int32_t> counts, changes;
        run({{"device_count", {0, 2, 2, 1}}}, counts, changes);
        EXPECT_EQ(counts, (std::vector<std::int32_t>{0, 2, 2, 1}));
        EXPECT_EQ(changes, (std::vector<std::int32_t>{0, 1, 0, 1}));
    }
}

TEST(SimReadFailures, AnEmptyHardwareKeyExistsALeftOutOneDoesNot) {
    test::machine_file()
        .device(test::device(L"USB\\WITH").hardware_key({}))
        .device(test::device(L"USB\\WITHOUT"))
        .use();
    const std::wstring usb = L"USB";
    platform::DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &usb, win::DIGCF_ALLCLASSES_, set), 0u);
    platform::DeviceInfoData with, without;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, with), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 1, without), 0u);

    platform::RegKey key;
    ASSERT_EQ(platform::setupdi_open_dev_reg_key(set, with, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, win::KEY_READ_, key),
              0u);
    std::wstring name;
    EXPECT_EQ(platform::reg_enum_value(key, 0, 256, name), static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_));
    platform::RegKey none;
    EXPECT_EQ(
        platform::setupdi_open_dev_reg_key(set, without, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, win::KEY_READ_, none),
        win::ERROR_KEY_DOES_NOT_EXIST_);
    EXPECT_FALSE(none.valid());
}

TEST(SimReadFailures, MachineFileRulesForTheseEntries) {
    struct Case {
        std::string json;
        std::string error;
    };
    const Case cases[] = {
        {R"({"registry": [{"key": "HKLM\\A", "open_error": 0}]})", "at /registry/0/open_error: an error code is nonzero"},
        {R"({"registry": [{"key": "HKLM\\A", "values": [{"name": "X", "error": 5, "type": "REG_SZ"}]}]})",
         "at /registry/0/values/0: a value with \"error\" has no type or data"},
        {R"({"registry": [{"key": "HKLM\\A", "values": [{"name": "X", "error": 0}]}]})",
         "at /registry/0/values/0/error: an error code is nonzero"},
        {R"({"devices": [{"instance_id": "USB\\A", "service": {"hex": "41 00", "error": 5}}]})",
         "at /devices/0/service: give either \"hex\" or \"error\""},
        {R"({"devices": [{"instance_id": "USB\\A", "friendly_name": {}}]})",
         "at /devices/0/friendly_name: give either \"hex\" or \"error\""},
        {R"({"devices": [{"instance_id": "USB\\A", "device_desc": {"error": 0}}]})",
         "at /devices/0/device_desc/error: an error code is nonzero"},
        {R"({"devices": [{"instance_id": "USB\\A", "hardware_ids": {"text": "A"}}]})", "unknown entry \"text\""},
        {R"({"sdk": [{"path": "a", "device_count": []}]})", "at /sdk/0/device_count: a sequence of answers has at least one"},
        {R"({"sdk": [{"path": "a", "is_device_changed": [1, "x"]}]})",
         "at /sdk/0/is_device_changed/1: expected a signed 32-bit integer"},
    };
    for (const Case& c : cases) {
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::parse_machine_json(c.json, "m", m, error)) << c.json;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace vq4
