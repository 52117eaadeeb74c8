// Contract of the device operations (src/platform/devices.h): SetupAPI sets,
// device nodes, their properties, state, hardware keys and interfaces.
//
// The first tests run on both sides: what a machine without the device
// answers, and the parameter combinations Windows refuses. The tests that
// need device nodes run on the simulated side only (add_device() is false
// elsewhere): Wine has no USB devices and the suite installs none on a
// Windows machine. They hold the simulated machine to Windows' documented
// answers.
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/guid.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::DeviceInfoData;
using platform::DeviceInterfaceData;
using platform::DevInfoSet;

class DevicesContract : public Contract {};

constexpr std::uint32_t kDicsFlagConfigSpecific = 2;
constexpr std::uint32_t kSpdrpMaximumProperty = 0x25;  // first code past the last property

const std::wstring kUsb = L"USB";
const std::wstring kComposite = L"USB\\VID_2A7D&PID_5E3C\\QV4-000123";
const std::wstring kAudio = L"USB\\VID_2A7D&PID_5E3C&MI_00\\7&2F1C3A4B&0&0000";
const std::wstring kVendor = L"USB\\VID_2A7D&PID_5E3C&MI_03\\7&2F1C3A4B&0&0003";
const std::wstring kUnplugged = L"USB\\VID_046D&PID_C52B\\5&1A2B3C&0&2";
const std::wstring kHid = L"HID\\VID_2A7D&PID_5E3C&MI_04\\8&11AA22BB&0&0000";
const std::wstring kVendorGuid = L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}";
const std::wstring kOtherGuid = L"{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";

std::string ascii(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

Guid guid_of(const std::wstring& text) {
    Guid guid;
    EXPECT_TRUE(parse_guid(text, guid)) << ascii(text);
    return guid;
}

std::wstring device_path(const std::wstring& instance_id, const std::wstring& guid) {
    std::wstring path = L"\\\\?\\" + instance_id + L"#" + guid;
    for (std::size_t i = 4; i < path.size() - guid.size() - 1; ++i) {
        if (path[i] == L'\\') path[i] = L'#';
    }
    // Windows hands out device paths in lower case.
    for (wchar_t& c : path) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return path;
}

// The instance ids a set lists, in its order.
std::vector<std::wstring> listed_ids(const DevInfoSet& set) {
    std::vector<std::wstring> ids;
    DeviceInfoData data;
    for (std::uint32_t index = 0; index < 1000; ++index) {
        const std::uint32_t error = platform::setupdi_enum_device_info(set, index, data);
        if (error != 0) {
            EXPECT_EQ(error, win::ERROR_NO_MORE_ITEMS_);
            break;
        }
        std::wstring id;
        EXPECT_EQ(platform::setupdi_get_device_instance_id(set, data, 512, id), 0u);
        ids.push_back(id);
    }
    return ids;
}

// A composite Vantro Q4 with its audio and vendor interfaces, a USB mouse
// that was unplugged earlier and a HID child of another enumerator.
const std::wstring kVendorHardwareId = L"USB\\VID_2A7D&PID_5E3C&REV_0102&MI_03";
const std::wstring kVendorHardwareIdWithoutRevision = L"USB\\VID_2A7D&PID_5E3C&MI_03";

bool add_vantro_machine() {
    s::DeviceNodeSpec composite;
    composite.instance_id = kComposite;
    composite.device_desc = L"USB Composite Device";
    composite.service = L"usbccgp";
    s::DeviceNodeSpec audio;
    audio.instance_id = kAudio;
    audio.friendly_name = L"Vantro Q4 Audio";
    audio.device_desc = L"USB Audio Device";
    audio.service = L"usbaudio";
    s::DeviceNodeSpec vendor;
    vendor.instance_id = kVendor;
    vendor.device_desc = L"Vantro Q4 Control Interface";
    vendor.service = L"WinUSB";
    vendor.hardware_ids = std::vector<std::wstring>{kVendorHardwareId, kVendorHardwareIdWithoutRevision};
    vendor.interfaces = {{kVendorGuid, device_path(kVendor, kVendorGuid)},
                         {kOtherGuid, device_path(kVendor, kOtherGuid)}};
    s::DeviceNodeSpec unplugged;
    unplugged.instance_id = kUnplugged;
    unplugged.present = false;
    unplugged.device_desc = L"USB Input Device";
    unplugged.interfaces = {{kVendorGuid, device_path(kUnplugged, kVendorGuid)}};
    s::DeviceNodeSpec hid;
    hid.instance_id = kHid;
    hid.device_desc = L"HID-compliant consumer control device";
    hid.interfaces = {{kVendorGuid, device_path(kHid, kVendorGuid)}};
    for (const s::DeviceNodeSpec* node : {&composite, &audio, &vendor, &unplugged, &hid}) {
        if (!s::add_device(*node)) return false;
    }
    return true;
}

#define VQ4_NEEDS_DEVICE_NODES(arranged)                                                    \
    do {                                                                                    \
        if (!(arranged)) GTEST_SKIP() << "only the simulated side can create device nodes"; \
    } while (false)

// ---- Both sides ----

TEST_F(DevicesContract, UsbEnumerationOnAMachineWithoutUsbNodes) {
    if (!s::arrange_no_usb_device_nodes()) GTEST_SKIP() << "this machine has USB device nodes";
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    ASSERT_TRUE(set.valid());
    DeviceInfoData data;
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 0, data), win::ERROR_NO_MORE_ITEMS_);
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 1, data), win::ERROR_NO_MORE_ITEMS_);
}

TEST_F(DevicesContract, InterfaceClassThatNoDeviceOffers) {
    // The test's own class id: no device registers an interface of it.
    const Guid guid = guid_of(s::clsid());
    for (const std::uint32_t flags : {win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, win::DIGCF_DEVICEINTERFACE_}) {
        SCOPED_TRACE(flags);
        DevInfoSet set;
        ASSERT_EQ(platform::setupdi_get_class_devs(&guid, nullptr, flags, set), 0u);
        ASSERT_TRUE(set.valid());
        DeviceInterfaceData data;
        EXPECT_EQ(platform::setupdi_enum_device_interfaces(set, nullptr, guid, 0, data), win::ERROR_NO_MORE_ITEMS_);
        DeviceInfoData device;
        EXPECT_EQ(platform::setupdi_enum_device_info(set, 0, device), win::ERROR_NO_MORE_ITEMS_);
    }
}

TEST_F(DevicesContract, NoClassWithoutAllClassesIsRefused) {
    struct Case {
        const char* what;
        const std::wstring* enumerator;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {"no flags", nullptr, 0},
        {"DIGCF_PRESENT", nullptr, win::DIGCF_PRESENT_},
        {"DIGCF_PRESENT with an enumerator", &kUsb, win::DIGCF_PRESENT_},
        {"DIGCF_DEVICEINTERFACE", nullptr, win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DevInfoSet set;
        EXPECT_EQ(platform::setupdi_get_class_devs(nullptr, c.enumerator, c.flags, set), win::ERROR_INVALID_PARAMETER_);
        EXPECT_FALSE(set.valid());
    }
    // With DIGCF_ALLCLASSES the same call is a valid request for every class.
    DevInfoSet all;
    EXPECT_EQ(platform::setupdi_get_class_devs(nullptr, nullptr, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, all),
              0u);
    EXPECT_TRUE(all.valid());
}

// ---- Simulated side only ----

TEST_F(DevicesContract, UsbNodesOfTheEnumeratorPresentOrAll) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());

    struct Case {
        const char* what;
        std::wstring enumerator;
        std::uint32_t flags;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {"present USB nodes", L"USB", win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, {kComposite, kAudio, kVendor}},
        {"enumerator in lower case",
         L"usb",
         win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_,
         {kComposite, kAudio, kVendor}},
        {"without DIGCF_PRESENT", L"USB", win::DIGCF_ALLCLASSES_, {kComposite, kAudio, kVendor, kUnplugged}},
        {"another enumerator", L"HID", win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, {kHid}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DevInfoSet set;
        ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &c.enumerator, c.flags, set), 0u);
        EXPECT_EQ(listed_ids(set), c.expected);
    }

    // Every node has its own configuration-manager handle.
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    std::vector<std::uint32_t> handles;
    DeviceInfoData data;
    for (std::uint32_t index = 0; platform::setupdi_enum_device_info(set, index, data) == 0; ++index) {
        EXPECT_NE(data.dev_inst, 0u);
        for (const std::uint32_t seen : handles) EXPECT_NE(seen, data.dev_inst);
        handles.push_back(data.dev_inst);
    }
    EXPECT_EQ(handles.size(), 3u);
}

TEST_F(DevicesContract, InstanceIdNeedsRoomForItsTerminator) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 2, vendor), 0u);

    const auto length = static_cast<std::uint32_t>(kVendor.size());
    struct Case {
        std::uint32_t capacity;
        std::uint32_t error;
    };
    for (const Case c : {Case{512, 0}, Case{length + 1, 0}, Case{length, win::ERROR_INSUFFICIENT_BUFFER_},
                         Case{1, win::ERROR_INSUFFICIENT_BUFFER_}}) {
        SCOPED_TRACE(c.capacity);
        std::wstring id = L"untouched";
        EXPECT_EQ(platform::setupdi_get_device_instance_id(set, vendor, c.capacity, id), c.error);
        EXPECT_EQ(id, c.error == 0 ? kVendor : std::wstring(L"untouched"));
    }
}

TEST_F(DevicesContract, RegistryPropertiesSetUnsetAndTooLarge) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());
    s::DeviceNodeSpec bare;
    bare.instance_id = L"USB\\VID_2A7D&PID_5E3C&MI_05\\7&2F1C3A4B&0&0005";
    bare.service = L"";  // set, and empty
    ASSERT_TRUE(s::add_device(bare));

    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    DeviceInfoData audio;
    DeviceInfoData vendor;
    DeviceInfoData last;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 1, audio), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 2, vendor), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 3, last), 0u);

    const std::vector<std::uint8_t> name = s::sz_bytes(L"Vantro Q4 Audio");
    const auto size = static_cast<std::uint32_t>(name.size());
    // REG_MULTI_SZ: each id with its NUL, then the NUL that ends the list.
    const std::vector<std::uint8_t> ids = s::multi_sz_bytes({kVendorHardwareId, kVendorHardwareIdWithoutRevision});
    const auto ids_size = static_cast<std::uint32_t>(ids.size());
    struct Case {
        const char* what;
        const DeviceInfoData* device;
        std::uint32_t property;
        std::uint32_t capacity;
        std::uint32_t error;
        std::uint32_t required;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {"friendly name", &audio, win::SPDRP_FRIENDLYNAME_, 1024, 0, size, name},
        {"friendly name, exact fit", &audio, win::SPDRP_FRIENDLYNAME_, size, 0, size, name},
        {"friendly name, one byte short",
         &audio,
         win::SPDRP_FRIENDLYNAME_,
         size - 1,
         win::ERROR_INSUFFICIENT_BUFFER_,
         size,
         {}},
        {"friendly name, no buffer", &audio, win::SPDRP_FRIENDLYNAME_, 0, win::ERROR_INSUFFICIENT_BUFFER_, size, {}},
        {"service", &audio, win::SPDRP_SERVICE_, 1024, 0, 18, s::sz_bytes(L"usbaudio")},
        {"friendly name not set", &last, win::SPDRP_FRIENDLYNAME_, 1024, win::ERROR_INVALID_DATA_, 0, {}},
        {"description not set", &last, win::SPDRP_DEVICEDESC_, 1024, win::ERROR_INVALID_DATA_, 0, {}},
        {"empty service name", &last, win::SPDRP_SERVICE_, 1024, 0, 2, s::sz_bytes(L"")},
        {"hardware ids", &vendor, win::SPDRP_HARDWAREID_, 1024, 0, ids_size, ids},
        {"hardware ids, one byte short",
         &vendor,
         win::SPDRP_HARDWAREID_,
         ids_size - 1,
         win::ERROR_INSUFFICIENT_BUFFER_,
         ids_size,
         {}},
        {"hardware ids not set", &audio, win::SPDRP_HARDWAREID_, 1024, win::ERROR_INVALID_DATA_, 0, {}},
        {"no such property", &audio, kSpdrpMaximumProperty, 1024, win::ERROR_INVALID_REG_PROPERTY_, 0, {}},
        {"property -1", &audio, 0xFFFFFFFFu, 1024, win::ERROR_INVALID_REG_PROPERTY_, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const platform::PropertyRead read =
            platform::setupdi_get_device_registry_property(set, *c.device, c.property, c.capacity);
        EXPECT_EQ(read.error, c.error);
        EXPECT_EQ(read.required_size, c.required);
        EXPECT_EQ(read.data, c.data);
    }
}

TEST_F(DevicesContract, NodeStatusOfStartedFailedAndUnpluggedNodes) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());
    s::DeviceNodeSpec failed;
    failed.instance_id = L"USB\\VID_2A7D&PID_5E3C&MI_06\\7&2F1C3A4B&0&0006";
    failed.status = 0x01802400;  // DN_HAS_PROBLEM among them
    failed.problem = 28;         // CM_PROB_FAILED_INSTALL
    ASSERT_TRUE(s::add_device(failed));

    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    DeviceInfoData vendor;
    DeviceInfoData failing;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 2, vendor), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 3, failing), 0u);

    std::uint32_t status = 0;
    std::uint32_t problem = 99;
    EXPECT_EQ(platform::cm_get_devnode_status(vendor.dev_inst, status, problem), win::CR_SUCCESS_);
    EXPECT_EQ(status, 0x0180600Au);
    EXPECT_EQ(problem, 0u);
    EXPECT_EQ(platform::cm_get_devnode_status(failing.dev_inst, status, problem), win::CR_SUCCESS_);
    EXPECT_EQ(status, 0x01802400u);
    EXPECT_EQ(problem, 28u);

    // A set is a snapshot: the unplugged node stays listed in it, but the
    // configuration manager no longer finds the node.
    ASSERT_TRUE(s::unplug_device(kVendor));
    std::wstring id;
    EXPECT_EQ(platform::setupdi_get_device_instance_id(set, vendor, 512, id), 0u);
    EXPECT_EQ(id, kVendor);
    status = 7;
    problem = 7;
    EXPECT_EQ(platform::cm_get_devnode_status(vendor.dev_inst, status, problem), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(problem, 7u);

    DevInfoSet fresh;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, fresh),
              0u);
    const std::vector<std::wstring> expected = {kComposite, kAudio, failed.instance_id};
    EXPECT_EQ(listed_ids(fresh), expected);
}

TEST_F(DevicesContract, HardwareKeyOfANode) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());
    const std::vector<std::uint8_t> guids = s::multi_sz_bytes({kVendorGuid});
    ASSERT_TRUE(s::add_device_parameter(kVendor, L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, guids));

    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_get_class_devs(nullptr, &kUsb, win::DIGCF_PRESENT_ | win::DIGCF_ALLCLASSES_, set), 0u);
    DeviceInfoData composite;
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, composite), 0u);
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 2, vendor), 0u);

    platform::RegKey key;
    ASSERT_EQ(platform::setupdi_open_dev_reg_key(set, vendor, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_,
                                                 win::KEY_READ_, key),
              0u);
    ASSERT_TRUE(key.valid());
    const platform::RegRead read = platform::reg_query_value(key, L"DeviceInterfaceGUIDs", 520);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.type, win::REG_MULTI_SZ_);
    EXPECT_EQ(read.data, guids);

    struct Case {
        const char* what;
        const DeviceInfoData* device;
        std::uint32_t scope;
        std::uint32_t key_type;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"a node without a hardware key", &composite, win::DICS_FLAG_GLOBAL_, win::DIREG_DEV_,
         win::ERROR_KEY_DOES_NOT_EXIST_},
        {"no scope", &vendor, 0, win::DIREG_DEV_, win::ERROR_INVALID_FLAGS_},
        {"an unknown scope", &vendor, 8, win::DIREG_DEV_, win::ERROR_INVALID_FLAGS_},
        {"no key type", &vendor, win::DICS_FLAG_GLOBAL_, 0, win::ERROR_INVALID_FLAGS_},
        {"DIREG_BOTH, which only the delete call takes", &vendor, win::DICS_FLAG_GLOBAL_, win::DIREG_BOTH_,
         win::ERROR_INVALID_FLAGS_},
        {"the driver key, which the node does not have", &vendor, win::DICS_FLAG_GLOBAL_, win::DIREG_DRV_,
         win::ERROR_KEY_DOES_NOT_EXIST_},
        {"a hardware profile's key, which the node does not have", &vendor, kDicsFlagConfigSpecific, win::DIREG_DEV_,
         win::ERROR_KEY_DOES_NOT_EXIST_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegKey other;
        EXPECT_EQ(platform::setupdi_open_dev_reg_key(set, *c.device, c.scope, 0, c.key_type, win::KEY_READ_, other),
                  c.error);
        EXPECT_FALSE(other.valid());
    }
}

TEST_F(DevicesContract, InterfacesOfAClassWithTheirPaths) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_machine());
    const Guid vendor_guid = guid_of(kVendorGuid);
    const Guid other_guid = guid_of(kOtherGuid);

    // Present devices only: the unplugged mouse's interface is not listed.
    DevInfoSet set;
    ASSERT_EQ(
        platform::setupdi_get_class_devs(&vendor_guid, nullptr, win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, set),
        0u);
    const std::vector<std::wstring> expected_paths = {device_path(kVendor, kVendorGuid),
                                                      device_path(kHid, kVendorGuid)};
    std::vector<std::wstring> paths;
    DeviceInterfaceData data;
    std::uint32_t index = 0;
    for (; platform::setupdi_enum_device_interfaces(set, nullptr, vendor_guid, index, data) == 0; ++index) {
        EXPECT_EQ(data.interface_class_guid, vendor_guid);
        EXPECT_EQ(data.flags, win::SPINT_ACTIVE_);
        std::uint32_t required = 0;
        ASSERT_EQ(platform::setupdi_get_device_interface_detail_size(set, data, required),
                  win::ERROR_INSUFFICIENT_BUFFER_);
        // A DWORD size field, then the path and its NUL in UTF-16.
        ASSERT_LT(index, expected_paths.size());
        EXPECT_EQ(required, 4 + (expected_paths[index].size() + 1) * 2);

        std::wstring path = L"untouched";
        EXPECT_EQ(platform::setupdi_get_device_interface_detail(set, data, required - 2, path),
                  win::ERROR_INSUFFICIENT_BUFFER_);
        EXPECT_EQ(path, L"untouched");
        EXPECT_EQ(platform::setupdi_get_device_interface_detail(set, data, required, path), 0u);
        paths.push_back(path);
    }
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(set, nullptr, vendor_guid, index, data),
              win::ERROR_NO_MORE_ITEMS_);
    EXPECT_EQ(paths, expected_paths);
    // The set holds the devices that offer the class, in system order.
    const std::vector<std::wstring> owners = {kVendor, kHid};
    EXPECT_EQ(listed_ids(set), owners);

    // Restricted to one device, by the set's device element or by naming the
    // instance as the enumerator.
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_enum_device_info(set, 0, vendor), 0u);
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(set, &vendor, vendor_guid, 0, data), 0u);
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(set, &vendor, vendor_guid, 1, data), win::ERROR_NO_MORE_ITEMS_);

    DevInfoSet one;
    ASSERT_EQ(
        platform::setupdi_get_class_devs(&other_guid, &kVendor, win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, one),
        0u);
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(one, nullptr, other_guid, 0, data), 0u);
    std::wstring path;
    std::uint32_t required = 0;
    ASSERT_EQ(platform::setupdi_get_device_interface_detail_size(one, data, required), win::ERROR_INSUFFICIENT_BUFFER_);
    EXPECT_EQ(platform::setupdi_get_device_interface_detail(one, data, required, path), 0u);
    EXPECT_EQ(path, device_path(kVendor, kOtherGuid));
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(one, nullptr, other_guid, 1, data), win::ERROR_NO_MORE_ITEMS_);
    // A class the set was not built for is not in it.
    EXPECT_EQ(platform::setupdi_enum_device_interfaces(one, nullptr, vendor_guid, 0, data), win::ERROR_NO_MORE_ITEMS_);

    // Without DIGCF_PRESENT the unplugged device's interface is listed too.
    DevInfoSet all;
    ASSERT_EQ(platform::setupdi_get_class_devs(&vendor_guid, nullptr, win::DIGCF_DEVICEINTERFACE_, all), 0u);
    const std::vector<std::wstring> all_owners = {kVendor, kUnplugged, kHid};
    EXPECT_EQ(listed_ids(all), all_owners);
    // Only the interfaces of present devices are active.
    std::vector<std::uint32_t> flags;
    for (index = 0; platform::setupdi_enum_device_interfaces(all, nullptr, vendor_guid, index, data) == 0; ++index) {
        flags.push_back(data.flags);
    }
    const std::vector<std::uint32_t> expected_flags = {win::SPINT_ACTIVE_, 0, win::SPINT_ACTIVE_};
    EXPECT_EQ(flags, expected_flags);
}

}  // namespace
}  // namespace vq4::contract
