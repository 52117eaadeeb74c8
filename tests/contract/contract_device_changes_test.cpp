// Contract of the operations that change the device tree
// (src/platform/device_changes.h): device information sets built by hand,
// removal (DIF_REMOVE), restart (DIF_PROPERTYCHANGE), the install
// parameters, the device key, and the configuration manager's tree.
//
// The first test runs on both sides. The others need device nodes and run on
// the simulated side only (add_device() is false elsewhere): Wine has no USB
// devices and stubs most CM_* calls (CM_Locate_DevNodeW answers CR_FAILURE,
// CM_Get_Child CR_SUCCESS with no node), and the suite installs no devices on
// a Windows machine. They hold the simulated machine to the answers
// Microsoft documents for these calls.
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/device_changes.h"
#include "platform/devices.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/guid.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::DeviceInfoData;
using platform::DevInfoSet;

class DeviceChangesContract : public Contract {};

constexpr std::uint32_t kLocateDevnodeCancelRemove = 0x2;
constexpr std::uint32_t kLocateDevnodeNoValidation = 0x4;
constexpr std::uint32_t kReenumerateRetryInstallation = 0x2;
constexpr std::uint32_t kReenumerateAsynchronous = 0x4;
constexpr std::uint32_t kUnknownFlag = 0x8;

const std::wstring kUsb = L"USB";
const std::wstring kComposite = L"USB\\VID_2A7D&PID_5E3C\\QV4-000123";
const std::wstring kAudio = L"USB\\VID_2A7D&PID_5E3C&MI_00\\7&2F1C3A4B&0&0000";
const std::wstring kVendor = L"USB\\VID_2A7D&PID_5E3C&MI_03\\7&2F1C3A4B&0&0003";
const std::wstring kUnplugged = L"USB\\VID_2A7D&PID_5E3C&MI_04\\7&2F1C3A4B&0&0004";
const std::wstring kVendorGuid = L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}";

struct TreeOptions {
    bool restart_needs_reboot = false;  // the vendor node's restart is left to a reboot
    bool removal_needs_reboot = false;  // the vendor node's removal is left to a reboot
    bool vendor_held_open = false;      // a program holds the vendor node's interface open
};

// A composite Vantro Q4: the composite node, its audio and vendor interfaces
// (WinUSB) and an interface node that was present once and is unplugged now.
bool add_vantro_tree(const TreeOptions& options = {}) {
    s::DeviceNodeSpec composite;
    composite.instance_id = kComposite;
    composite.device_desc = L"USB Composite Device";
    composite.service = L"usbccgp";
    s::DeviceNodeSpec audio;
    audio.instance_id = kAudio;
    audio.parent = kComposite;
    audio.service = L"usbaudio";
    s::DeviceNodeSpec vendor;
    vendor.instance_id = kVendor;
    vendor.parent = kComposite;
    vendor.service = L"WinUSB";
    vendor.restart_needs_reboot = options.restart_needs_reboot;
    vendor.removal_needs_reboot = options.removal_needs_reboot;
    if (options.vendor_held_open) {
        vendor.interfaces = {{kVendorGuid, L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#7&2f1c3a4b&0&0003#" + kVendorGuid, true}};
    }
    s::DeviceNodeSpec unplugged;
    unplugged.instance_id = kUnplugged;
    unplugged.parent = kComposite;
    unplugged.present = false;
    for (const s::DeviceNodeSpec* node : {&composite, &audio, &vendor, &unplugged}) {
        if (!s::add_device(*node)) return false;
    }
    return true;
}

#define VQ4_NEEDS_DEVICE_NODES(arranged)                                                    \
    do {                                                                                    \
        if (!(arranged)) GTEST_SKIP() << "only the simulated side can create device nodes"; \
    } while (false)

std::uint32_t located(const std::wstring& instance_id, std::uint32_t flags = win::CM_LOCATE_DEVNODE_NORMAL_) {
    std::uint32_t dev_inst = 0;
    const std::uint32_t result = platform::cm_locate_devnode(instance_id, flags, dev_inst);
    EXPECT_EQ(result, win::CR_SUCCESS_);
    return dev_inst;
}

std::wstring id_of(std::uint32_t dev_inst) {
    std::wstring id;
    EXPECT_EQ(platform::cm_get_device_id(dev_inst, 512, id), win::CR_SUCCESS_);
    return id;
}

// ---- Both sides ----

TEST_F(DeviceChangesContract, AnEmptySetAndAnInstanceIdNoNodeHas) {
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    ASSERT_TRUE(set.valid());
    DeviceInfoData data;
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 0, data), win::ERROR_NO_MORE_ITEMS_);

    for (const std::wstring& id : {std::wstring(L"USB\\VID_2A7D&PID_5E3C\\NO-SUCH-NODE"),
                                   std::wstring(L"ROOT\\VQ4DIAGCONTRACT\\0000")}) {
        SCOPED_TRACE(std::string(id.begin(), id.end()));
        EXPECT_EQ(platform::setupdi_open_device_info(set, id, data), win::ERROR_NO_SUCH_DEVINST_);
    }
    // A failed open adds nothing to the set.
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 0, data), win::ERROR_NO_MORE_ITEMS_);
}

// ---- Simulated side only ----

TEST_F(DeviceChangesContract, OpeningNodesByInstanceId) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_open_device_info(set, kVendor, vendor), 0u);
    EXPECT_EQ(vendor.dev_inst, located(kVendor));
    std::wstring id;
    EXPECT_EQ(platform::setupdi_get_device_instance_id(set, vendor, 512, id), 0u);
    EXPECT_EQ(id, kVendor);

    // Instance ids are not case sensitive, and a node already in the set is
    // not added twice.
    std::wstring lower = kVendor;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    DeviceInfoData again;
    ASSERT_EQ(platform::setupdi_open_device_info(set, lower, again), 0u);
    EXPECT_EQ(again.dev_inst, vendor.dev_inst);
    DeviceInfoData data;
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 0, data), 0u);
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 1, data), win::ERROR_NO_MORE_ITEMS_);

    // A node that is not present (a phantom) can be opened too.
    DeviceInfoData phantom;
    EXPECT_EQ(platform::setupdi_open_device_info(set, kUnplugged, phantom), 0u);
    EXPECT_EQ(platform::setupdi_enum_device_info(set, 1, data), 0u);
}

TEST_F(DeviceChangesContract, LocatingNodesPresentAndPhantom) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    struct Case {
        const char* what;
        std::wstring id;
        std::uint32_t flags;
        std::uint32_t result;
    };
    const Case cases[] = {
        {"a present node", kVendor, win::CM_LOCATE_DEVNODE_NORMAL_, win::CR_SUCCESS_},
        {"a present node, CANCELREMOVE", kVendor, kLocateDevnodeCancelRemove, win::CR_SUCCESS_},
        {"a present node, NOVALIDATION", kVendor, kLocateDevnodeNoValidation, win::CR_SUCCESS_},
        {"a present node, PHANTOM", kVendor, win::CM_LOCATE_DEVNODE_PHANTOM_, win::CR_SUCCESS_},
        {"a phantom", kUnplugged, win::CM_LOCATE_DEVNODE_NORMAL_, win::CR_NO_SUCH_DEVNODE_},
        {"a phantom, PHANTOM", kUnplugged, win::CM_LOCATE_DEVNODE_PHANTOM_, win::CR_SUCCESS_},
        {"an unknown id", L"USB\\VID_2A7D&PID_5E3C\\NO-SUCH-NODE", win::CM_LOCATE_DEVNODE_NORMAL_,
         win::CR_NO_SUCH_DEVNODE_},
        {"an unknown id, PHANTOM", L"USB\\VID_2A7D&PID_5E3C\\NO-SUCH-NODE", win::CM_LOCATE_DEVNODE_PHANTOM_,
         win::CR_NO_SUCH_DEVNODE_},
        {"a flag outside CM_LOCATE_DEVNODE_BITS", kVendor, kUnknownFlag, win::CR_INVALID_FLAG_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint32_t dev_inst = 0xABCD;
        EXPECT_EQ(platform::cm_locate_devnode(c.id, c.flags, dev_inst), c.result);
        if (c.result == win::CR_SUCCESS_) {
            EXPECT_EQ(id_of(dev_inst), c.id);
        } else {
            EXPECT_EQ(dev_inst, 0xABCDu);
        }
    }
}

TEST_F(DeviceChangesContract, WalkingTheTree) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    const std::uint32_t composite = located(kComposite);
    const std::uint32_t audio = located(kAudio);
    const std::uint32_t vendor = located(kVendor);

    std::uint32_t node = 0;
    EXPECT_EQ(platform::cm_get_parent(vendor, node), win::CR_SUCCESS_);
    EXPECT_EQ(node, composite);
    EXPECT_EQ(platform::cm_get_parent(audio, node), win::CR_SUCCESS_);
    EXPECT_EQ(node, composite);

    // The children of the composite node, first child then siblings; the
    // unplugged interface is no longer among them.
    std::vector<std::wstring> children;
    ASSERT_EQ(platform::cm_get_child(composite, node), win::CR_SUCCESS_);
    for (int guard = 0; guard < 10; ++guard) {
        children.push_back(id_of(node));
        if (platform::cm_get_sibling(node, node) != win::CR_SUCCESS_) break;
    }
    const std::vector<std::wstring> expected = {kAudio, kVendor};
    EXPECT_EQ(children, expected);
    std::uint32_t none = 0xABCD;
    EXPECT_EQ(platform::cm_get_sibling(vendor, none), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(platform::cm_get_child(vendor, none), win::CR_NO_SUCH_DEVNODE_) << "a node without children";
    EXPECT_EQ(none, 0xABCDu);

    // A handle no node has.
    const std::uint32_t unused = 0x7FFF0000;
    std::wstring id = L"untouched";
    EXPECT_EQ(platform::cm_get_parent(unused, none), win::CR_INVALID_DEVNODE_);
    EXPECT_EQ(platform::cm_get_child(unused, none), win::CR_INVALID_DEVNODE_);
    EXPECT_EQ(platform::cm_get_sibling(unused, none), win::CR_INVALID_DEVNODE_);
    EXPECT_EQ(platform::cm_get_device_id(unused, 512, id), win::CR_INVALID_DEVNODE_);
    EXPECT_EQ(id, L"untouched");
}

TEST_F(DeviceChangesContract, DeviceIdAgainstTheBuffer) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    const std::uint32_t vendor = located(kVendor);
    const auto length = static_cast<std::uint32_t>(kVendor.size());
    struct Case {
        std::uint32_t capacity;
        std::uint32_t result;
    };
    // A buffer of exactly the id's length (no room for the terminator) is
    // left out: Microsoft's description of it is ambiguous.
    for (const Case c : {Case{512, win::CR_SUCCESS_}, Case{length + 1, win::CR_SUCCESS_},
                         Case{length - 1, win::CR_BUFFER_SMALL_}, Case{8, win::CR_BUFFER_SMALL_}}) {
        SCOPED_TRACE(c.capacity);
        std::wstring id = L"untouched";
        EXPECT_EQ(platform::cm_get_device_id(vendor, c.capacity, id), c.result);
        EXPECT_EQ(id, c.result == win::CR_SUCCESS_ ? kVendor : std::wstring(L"untouched"));
    }
}

TEST_F(DeviceChangesContract, HardwareKeyThroughTheConfigurationManager) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    ASSERT_TRUE(s::add_device_parameter(kVendor, L"RevisionId", win::REG_DWORD_, s::dword_bytes(0x0102)));
    const std::uint32_t vendor = located(kVendor);
    const std::uint32_t audio = located(kAudio);

    platform::RegKey key;
    ASSERT_EQ(platform::cm_open_devnode_key(vendor, win::KEY_READ_, 0, win::RegDisposition_OpenExisting_,
                                            win::CM_REGISTRY_HARDWARE_, key),
              win::CR_SUCCESS_);
    const platform::RegRead read = platform::reg_query_value(key, L"RevisionId", 4);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.data, s::dword_bytes(0x0102));

    // The audio node has no hardware key: opening an existing one fails,
    // RegDisposition_OpenAlways creates it.
    platform::RegKey missing;
    EXPECT_EQ(platform::cm_open_devnode_key(audio, win::KEY_READ_, 0, win::RegDisposition_OpenExisting_,
                                            win::CM_REGISTRY_HARDWARE_, missing),
              win::CR_NO_SUCH_REGISTRY_KEY_);
    EXPECT_FALSE(missing.valid());
    platform::RegKey created;
    ASSERT_EQ(platform::cm_open_devnode_key(audio, win::KEY_ALL_ACCESS_, 0, win::RegDisposition_OpenAlways_,
                                            win::CM_REGISTRY_HARDWARE_, created),
              win::CR_SUCCESS_);
    EXPECT_EQ(platform::reg_set_value(created, L"Written", win::REG_DWORD_, s::dword_bytes(7)), 0);
    const auto stored = s::device_parameter(kAudio, L"Written");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->data, s::dword_bytes(7));
}

TEST_F(DeviceChangesContract, RemovalTakesTheNodeOutUntilItsParentIsReenumerated) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    const std::uint32_t composite = located(kComposite);
    ASSERT_TRUE(s::device_key_exists(kVendor));
    {
        DevInfoSet set;
        ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
        DeviceInfoData vendor;
        ASSERT_EQ(platform::setupdi_open_device_info(set, kVendor, vendor), 0u);
        ASSERT_EQ(platform::setupdi_set_remove_device_params(set, vendor, win::DI_REMOVEDEVICE_GLOBAL_, 0), 0u);
        ASSERT_EQ(platform::setupdi_call_class_installer(win::DIF_REMOVE_, set, vendor), 0u);
    }
    // Gone from the system: no node, not even a phantom, and no Enum key.
    std::uint32_t dev_inst = 0;
    EXPECT_EQ(platform::cm_locate_devnode(kVendor, win::CM_LOCATE_DEVNODE_PHANTOM_, dev_inst),
              win::CR_NO_SUCH_DEVNODE_);
    EXPECT_FALSE(s::device_key_exists(kVendor));
    DevInfoSet fresh;
    ASSERT_EQ(platform::setupdi_create_device_info_list(fresh), 0u);
    DeviceInfoData data;
    EXPECT_EQ(platform::setupdi_open_device_info(fresh, kVendor, data), win::ERROR_NO_SUCH_DEVINST_);

    // Re-enumerating the parent detects the attached hardware again.
    EXPECT_EQ(platform::cm_reenumerate_devnode(composite, win::CM_REENUMERATE_SYNCHRONOUS_), win::CR_SUCCESS_);
    const std::uint32_t back = located(kVendor);
    std::uint32_t parent = 0;
    EXPECT_EQ(platform::cm_get_parent(back, parent), win::CR_SUCCESS_);
    EXPECT_EQ(parent, composite);
    EXPECT_TRUE(s::device_key_exists(kVendor));
    EXPECT_EQ(platform::setupdi_open_device_info(fresh, kVendor, data), 0u);
}

// DIF_REMOVE of a node in a set of its own; the call's result, and the
// install parameters' flags read afterwards from the same element.
std::uint32_t remove_reading_flags(const std::wstring& instance_id, std::uint32_t& flags) {
    DevInfoSet set;
    EXPECT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    DeviceInfoData node;
    EXPECT_EQ(platform::setupdi_open_device_info(set, instance_id, node), 0u);
    EXPECT_EQ(platform::setupdi_set_remove_device_params(set, node, win::DI_REMOVEDEVICE_GLOBAL_, 0), 0u);
    const std::uint32_t result = platform::setupdi_call_class_installer(win::DIF_REMOVE_, set, node);
    flags = 0xFFFFFFFF;
    EXPECT_EQ(platform::setupdi_get_device_install_flags(set, node, flags), 0u);
    return result;
}

TEST_F(DeviceChangesContract, RemovalLeftToTheNextRestartLeavesTheNodeInPlace) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree({.removal_needs_reboot = true}));
    const std::uint32_t vendor = located(kVendor);
    std::uint32_t flags = 0;
    // The call succeeds; only the install parameters say the removal waits
    // for a restart, and until then the node, its handle and its key stay.
    EXPECT_EQ(remove_reading_flags(kVendor, flags), 0u);
    EXPECT_NE(flags & win::DI_NEEDREBOOT_, 0u);
    EXPECT_EQ(located(kVendor), vendor);
    EXPECT_TRUE(s::device_key_exists(kVendor));

    // A removal done at once leaves neither flag.
    EXPECT_EQ(remove_reading_flags(kAudio, flags), 0u);
    EXPECT_EQ(flags & (win::DI_NEEDREBOOT_ | win::DI_NEEDRESTART_), 0u);
    std::uint32_t dev_inst = 0;
    EXPECT_EQ(platform::cm_locate_devnode(kAudio, win::CM_LOCATE_DEVNODE_PHANTOM_, dev_inst), win::CR_NO_SUCH_DEVNODE_);
}

TEST_F(DeviceChangesContract, AHandleHeldOpenVetoesTheRemovalOfTheNodeAndOfItsParent) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree({.vendor_held_open = true}));
    const std::uint32_t composite = located(kComposite);
    const std::uint32_t audio = located(kAudio);
    const std::uint32_t vendor = located(kVendor);
    std::uint32_t flags = 0;
    EXPECT_EQ(remove_reading_flags(kVendor, flags), 0u);
    EXPECT_NE(flags & win::DI_NEEDREBOOT_, 0u);
    EXPECT_EQ(located(kVendor), vendor);
    // The query-remove of the composite node reaches its children: the same
    // open handle keeps the whole device.
    EXPECT_EQ(remove_reading_flags(kComposite, flags), 0u);
    EXPECT_NE(flags & win::DI_NEEDREBOOT_, 0u);
    EXPECT_EQ(located(kComposite), composite);
    EXPECT_EQ(located(kAudio), audio);
    EXPECT_TRUE(s::device_key_exists(kComposite));
}

TEST_F(DeviceChangesContract, ReenumerationFlags) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    const std::uint32_t composite = located(kComposite);
    struct Case {
        const char* what;
        std::uint32_t flags;
        std::uint32_t result;
    };
    const Case cases[] = {
        {"CM_REENUMERATE_NORMAL", 0, win::CR_SUCCESS_},
        {"CM_REENUMERATE_SYNCHRONOUS", win::CM_REENUMERATE_SYNCHRONOUS_, win::CR_SUCCESS_},
        {"CM_REENUMERATE_RETRY_INSTALLATION", kReenumerateRetryInstallation, win::CR_SUCCESS_},
        {"CM_REENUMERATE_ASYNCHRONOUS", kReenumerateAsynchronous, win::CR_SUCCESS_},
        {"a flag outside CM_REENUMERATE_BITS", kUnknownFlag, win::CR_INVALID_FLAG_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(platform::cm_reenumerate_devnode(composite, c.flags), c.result);
    }
}

TEST_F(DeviceChangesContract, PropertyChangeRestartsTheNodeWithTheGuidOfItsKey) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    const std::vector<std::uint8_t> guids = s::multi_sz_bytes({kVendorGuid});
    Guid vendor_guid;
    ASSERT_TRUE(parse_guid(kVendorGuid, vendor_guid));
    const auto interfaces_of_the_guid = [&] {
        DevInfoSet set;
        EXPECT_EQ(platform::setupdi_get_class_devs(&vendor_guid, nullptr,
                                                   win::DIGCF_PRESENT_ | win::DIGCF_DEVICEINTERFACE_, set),
                  0u);
        std::uint32_t count = 0;
        platform::DeviceInterfaceData data;
        while (platform::setupdi_enum_device_interfaces(set, nullptr, vendor_guid, count, data) == 0) ++count;
        return count;
    };
    EXPECT_EQ(interfaces_of_the_guid(), 0u);

    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_open_device_info(set, kVendor, vendor), 0u);
    // The device key does not exist yet: SetupDiCreateDevRegKeyW creates it.
    ASSERT_FALSE(s::device_parameter(kVendor, L"DeviceInterfaceGUIDs").has_value());
    {
        platform::RegKey key;
        ASSERT_EQ(platform::setupdi_create_dev_reg_key(set, vendor, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, key),
                  0u);
        ASSERT_EQ(platform::reg_set_value(key, L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, guids), 0);
    }
    const auto stored = s::device_parameter(kVendor, L"DeviceInterfaceGUIDs");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, win::REG_MULTI_SZ_);
    EXPECT_EQ(stored->data, guids);
    // WinUSB reads the GUIDs when the node starts, not before.
    EXPECT_EQ(interfaces_of_the_guid(), 0u);

    // Without class install parameters the installer has nothing to do.
    EXPECT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, vendor),
              win::ERROR_NO_CLASSINSTALL_PARAMS_);

    ASSERT_EQ(platform::setupdi_set_property_change_params(set, vendor, win::DICS_PROPCHANGE_,
                                                           win::DICS_FLAG_GLOBAL_, 0),
              0u);
    ASSERT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, vendor), 0u);
    std::uint32_t flags = 0xFFFFFFFF;
    ASSERT_EQ(platform::setupdi_get_device_install_flags(set, vendor, flags), 0u);
    EXPECT_EQ(flags & (win::DI_NEEDRESTART_ | win::DI_NEEDREBOOT_), 0u) << "restarted at once";
    EXPECT_EQ(interfaces_of_the_guid(), 1u);
}

TEST_F(DeviceChangesContract, PropertyChangeThatNeedsAReboot) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree({.restart_needs_reboot = true}));
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_open_device_info(set, kVendor, vendor), 0u);
    std::uint32_t flags = 0xFFFFFFFF;
    ASSERT_EQ(platform::setupdi_get_device_install_flags(set, vendor, flags), 0u);
    EXPECT_EQ(flags & (win::DI_NEEDRESTART_ | win::DI_NEEDREBOOT_), 0u);

    ASSERT_EQ(platform::setupdi_set_property_change_params(set, vendor, win::DICS_PROPCHANGE_,
                                                           win::DICS_FLAG_GLOBAL_, 0),
              0u);
    // The call succeeds; the install parameters say what is still to do.
    ASSERT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, vendor), 0u);
    ASSERT_EQ(platform::setupdi_get_device_install_flags(set, vendor, flags), 0u);
    EXPECT_NE(flags & win::DI_NEEDREBOOT_, 0u);
}

TEST_F(DeviceChangesContract, DeviceKeyScopesAndKeyTypes) {
    VQ4_NEEDS_DEVICE_NODES(add_vantro_tree());
    DevInfoSet set;
    ASSERT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    DeviceInfoData vendor;
    ASSERT_EQ(platform::setupdi_open_device_info(set, kVendor, vendor), 0u);
    struct Case {
        const char* what;
        std::uint32_t scope;
        std::uint32_t key_type;
    };
    // The same scopes and key types that SetupDiOpenDevRegKey refuses.
    const Case cases[] = {
        {"no scope", 0, win::DIREG_DEV_},
        {"an unknown scope", 8, win::DIREG_DEV_},
        {"no key type", win::DICS_FLAG_GLOBAL_, 0},
        {"DIREG_BOTH, which only the delete call takes", win::DICS_FLAG_GLOBAL_, win::DIREG_BOTH_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegKey key;
        EXPECT_EQ(platform::setupdi_create_dev_reg_key(set, vendor, c.scope, 0, c.key_type, key),
                  win::ERROR_INVALID_FLAGS_);
        EXPECT_FALSE(key.valid());
    }
    EXPECT_FALSE(s::device_parameter(kVendor, L"DeviceInterfaceGUIDs").has_value());
}

}  // namespace
}  // namespace vq4::contract
