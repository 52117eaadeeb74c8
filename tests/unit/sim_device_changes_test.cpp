// The simulated machine's device tree changes, token and relaunch behave as
// Windows documents the calls the repair makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cstdlib>
#include <algorithm>

#include "platform/device_changes.h"
#include "platform/devices.h"
#include "platform/elevation.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_file.h"
#include "platform/sim/relaunch.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using nlohmann::json;
using test::kComposite;
using test::kMi00;
using test::kMi03;

// Removes a node the way the repair does; returns the class installer's result.
std::uint32_t remove_node(const std::string& id) {
    platform::DevInfoSet set;
    EXPECT_EQ(platform::setupdi_create_device_info_list(set), 0u);
    platform::DeviceInfoData device;
    const std::uint32_t opened = platform::setupdi_open_device_info(set, widen(id), device);
    if (opened != 0) return opened;
    EXPECT_EQ(platform::setupdi_set_remove_device_params(set, device, win::DI_REMOVEDEVICE_GLOBAL_, 0), 0u);
    return platform::setupdi_call_class_installer(win::DIF_REMOVE_, set, device);
}

std::uint32_t locate(const std::string& id, std::uint32_t flags = 0) {
    std::uint32_t dev_inst = 0;
    return platform::cm_locate_devnode(widen(id), flags, dev_inst) == 0 ? dev_inst : 0;
}

std::uint32_t reenumerate(const std::string& id) {
    return platform::cm_reenumerate_devnode(locate(id), win::CM_REENUMERATE_SYNCHRONOUS_);
}

// Instance ids listed by SetupDiGetClassDevsW over the USB enumerator.
std::vector<std::wstring> listed(bool present_only) {
    std::vector<std::wstring> ids;
    const std::wstring usb = L"USB";
    platform::DevInfoSet set;
    platform::setupdi_get_class_devs(nullptr, &usb, win::DIGCF_ALLCLASSES_ | (present_only ? win::DIGCF_PRESENT_ : 0), set);
    platform::DeviceInfoData d;
    for (std::uint32_t i = 0; platform::setupdi_enum_device_info(set, i, d) == 0; ++i) {
        std::wstring id;
        platform::setupdi_get_device_instance_id(set, d, 512, id);
        ids.push_back(id);
    }
    return ids;
}

bool listed_in(const std::vector<std::wstring>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), widen(id)) != ids.end();
}

const std::wstring kEnumMi03 = L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + widen(kMi03);

TEST(SimDeviceTree, RemovalTakesTheNodeAndItsEnumKeyOutOfTheSystem) {
    test::use_machine(test::machine_text("default", [](json& m) {
        // A subkey of the instance key goes with it too.
        m["registry"].push_back({{"key", "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + kMi03 + "\\Properties"}});
    }));
    const std::uint32_t old_handle = locate(kMi03);
    platform::DevInfoSet before;  // a set taken before the removal still lists the node
    const std::wstring usb = L"USB";
    platform::setupdi_get_class_devs(nullptr, &usb, win::DIGCF_ALLCLASSES_ | win::DIGCF_PRESENT_, before);

    EXPECT_EQ(remove_node(kMi03), 0u);
    EXPECT_EQ(sim::machine().registry.find(kEnumMi03), nullptr);
    EXPECT_EQ(sim::machine().registry.find(kEnumMi03 + L"\\Properties"), nullptr);
    EXPECT_NE(sim::machine().registry.find(L"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A7D&PID_5E3C&MI_03"), nullptr);
    EXPECT_FALSE(listed_in(listed(false), kMi03)) << "not even a phantom";
    EXPECT_EQ(locate(kMi03, win::CM_LOCATE_DEVNODE_PHANTOM_), 0u);
    std::wstring id;
    EXPECT_EQ(platform::cm_get_device_id(old_handle, 201, id), win::CR_INVALID_DEVNODE_) << "the old handle is stale";
    platform::DeviceInfoData d;
    std::uint32_t count = 0;
    while (platform::setupdi_enum_device_info(before, count, d) == 0) ++count;
    EXPECT_EQ(count, 4u + 2u) << "the earlier set is a snapshot";

    // Re-enumerating the composite device brings it back, with a new handle.
    EXPECT_EQ(reenumerate(kComposite), win::CR_SUCCESS_);
    EXPECT_NE(locate(kMi03), 0u);
    EXPECT_NE(locate(kMi03), old_handle);
    EXPECT_EQ(platform::cm_get_device_id(old_handle, 201, id), win::CR_INVALID_DEVNODE_) << "never handed out again";
    EXPECT_NE(sim::machine().registry.find(sim::hardware_key_path(widen(kMi03))), nullptr);
    EXPECT_EQ(sim::machine().registry.find(kEnumMi03 + L"\\Properties"), nullptr) << "detection writes Device Parameters";
    EXPECT_EQ(listed(true), listed(false));
    EXPECT_EQ(listed(true)[5], widen(kMi03)) << "back at its place in the system's order";
}

TEST(SimDeviceTree, RemovingAParentLeavesItsChildrenAsPhantomsUntilItComesBack) {
    test::use_machine(test::machine_text("default"));
    EXPECT_EQ(remove_node(kComposite), 0u);
    const std::vector<std::wstring> all = listed(false);
    const std::vector<std::wstring> present = listed(true);
    EXPECT_TRUE(listed_in(all, kMi03));
    EXPECT_FALSE(listed_in(present, kMi03));
    EXPECT_NE(sim::machine().registry.find(sim::hardware_key_path(widen(kMi03))), nullptr) << "phantoms keep their keys";
    EXPECT_EQ(locate(kMi03), 0u);
    EXPECT_NE(locate(kMi03, win::CM_LOCATE_DEVNODE_PHANTOM_), 0u);

    // Re-enumerating the composite's old place (MI_03 is not present) fails; the hub brings all back.
    EXPECT_EQ(platform::cm_reenumerate_devnode(locate(kMi03, win::CM_LOCATE_DEVNODE_PHANTOM_), 1), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(reenumerate("USB\\ROOT_HUB30\\4&2A3B1C7D&0&0"), 0u);
    for (const std::string& id : {kComposite, kMi00, kMi03}) EXPECT_NE(locate(id), 0u) << id;
}

TEST(SimDeviceTree, UnpluggedPhantomsDoNotComeBackAndLateNodesFollowTheClock) {
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, kMi00)["present"] = false;  // unplugged long ago
        test::device_entry(m, kComposite)["redetect"] = 1000;
        test::device_entry(m, kMi03)["redetect"] = 500;
    }));
    EXPECT_EQ(remove_node(kMi00), 0u);
    EXPECT_EQ(remove_node(kMi03), 0u);
    EXPECT_EQ(remove_node(kComposite), 0u);
    EXPECT_EQ(reenumerate("USB\\ROOT_HUB30\\4&2A3B1C7D&0&0"), 0u);
    EXPECT_EQ(locate(kComposite), 0u) << "not yet";
    platform::sleep_ms(999);
    EXPECT_EQ(locate(kComposite), 0u);
    platform::sleep_ms(1);
    EXPECT_NE(locate(kComposite), 0u);
    EXPECT_EQ(locate(kMi03), 0u) << "its children follow it, 500 ms later";
    platform::sleep_ms(500);
    EXPECT_NE(locate(kMi03), 0u);
    EXPECT_EQ(locate(kMi00, win::CM_LOCATE_DEVNODE_PHANTOM_), 0u) << "an unplugged phantom is gone for good";
}

TEST(SimDeviceTree, RestartNeedsItsParametersAndReReadsTheGuidsOfWinUsbNodesOnly) {
    test::use_machine(test::machine_text("default"));
    platform::DevInfoSet set;
    platform::setupdi_create_device_info_list(set);
    platform::DeviceInfoData device;
    ASSERT_EQ(platform::setupdi_open_device_info(set, widen(kMi03), device), 0u);
    EXPECT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, device),
              win::ERROR_NO_CLASSINSTALL_PARAMS_);

    sim::machine().registry.set_value(sim::hardware_key_path(widen(kMi03)),
                                      {L"DeviceInterfaceGUID", 1, utf16le_bytes(L"{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}", 1), {}});
    ASSERT_EQ(platform::setupdi_set_property_change_params(set, device, win::DICS_PROPCHANGE_,
                                                           win::DICS_FLAG_CONFIGSPECIFIC_, 0),
              0u);
    EXPECT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, device), 0u);
    const sim::Device* mi03 = sim::machine().find_device(widen(kMi03));
    ASSERT_EQ(mi03->description.interfaces.size(), 1u);
    EXPECT_EQ(mi03->description.interfaces[0].guid, widen(test::kExpectedGuid));
    EXPECT_EQ(mi03->description.interfaces[0].path,
              L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}");
    std::uint32_t flags = 1;
    EXPECT_EQ(platform::setupdi_get_device_install_flags(set, device, flags), 0u);
    EXPECT_EQ(flags, 0u);

    // A node of another driver keeps its own interfaces.
    test::use_machine(test::machine_text("default", [](json& m) {
        test::device_entry(m, kMi00)["interfaces"] = json::array({{{"guid", "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"},
                                                                 {"path", "\\\\?\\usb#mi_00#{6994ad04}"}}});
        test::device_entry(m, kMi00)["hardware_key"] = json::array(
            {{{"name", "DeviceInterfaceGUIDs"}, {"type", "REG_MULTI_SZ"}, {"data", {test::kExpectedGuid}}}});
    }));
    platform::DevInfoSet set2;
    platform::setupdi_create_device_info_list(set2);
    ASSERT_EQ(platform::setupdi_open_device_info(set2, widen(kMi00), device), 0u);
    platform::setupdi_set_property_change_params(set2, device, win::DICS_PROPCHANGE_, win::DICS_FLAG_CONFIGSPECIFIC_, 0);
    EXPECT_EQ(platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set2, device), 0u);
    ASSERT_EQ(sim::machine().find_device(widen(kMi00))->description.interfaces.size(), 1u);
    EXPECT_EQ(sim::machine().find_device(widen(kMi00))->description.interfaces[0].path, L"\\\\?\\usb#mi_00#{6994ad04}");
}

TEST(SimDeviceTree, ConfigurationManagerWalkAndKeys) {
    test::use_machine(test::machine_text("default"));
    const std::uint32_t composite = locate(kComposite);
    std::uint32_t node = 0;
    ASSERT_EQ(platform::cm_get_child(composite, node), 0u);
    std::wstring id;
    platform::cm_get_device_id(node, 201, id);
    EXPECT_EQ(id, widen(kMi00));
    ASSERT_EQ(platform::cm_get_sibling(node, node), 0u);
    ASSERT_EQ(platform::cm_get_sibling(node, node), 0u);
    platform::cm_get_device_id(node, 201, id);
    EXPECT_EQ(id, widen(kMi03));
    EXPECT_EQ(platform::cm_get_sibling(node, node), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(platform::cm_get_child(node, node), win::CR_NO_SUCH_DEVNODE_);
    EXPECT_EQ(platform::cm_get_device_id(locate(kMi03), static_cast<std::uint32_t>(kMi03.size()), id), win::CR_BUFFER_SMALL_);
    std::uint32_t hub = 0;
    ASSERT_EQ(platform::cm_get_parent(composite, hub), 0u);
    EXPECT_EQ(platform::cm_get_parent(hub, node), win::CR_NO_SUCH_DEVNODE_) << "the root hub's controller is not simulated";
    EXPECT_EQ(locate(""), 0u);
    EXPECT_EQ(locate(kMi03, 0x8), 0u) << "unknown flags";

    platform::RegKey key;
    EXPECT_EQ(platform::cm_open_devnode_key(composite, win::KEY_READ_, 0, win::RegDisposition_OpenExisting_,
                                            win::CM_REGISTRY_HARDWARE_, key),
              win::CR_NO_SUCH_REGISTRY_KEY_);
    EXPECT_EQ(platform::cm_open_devnode_key(locate(kMi03), win::KEY_READ_, 0, win::RegDisposition_OpenExisting_,
                                            win::CM_REGISTRY_HARDWARE_, key),
              win::CR_SUCCESS_);
}

TEST(SimDeviceTree, MachineFileEntriesAreChecked) {
    struct Case {
        const char* entry;
        const char* value;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"restart", "\"sometimes\"", "expected \"ok\", \"need_reboot\", \"need_restart\" or an error code"},
        {"restart", "0", "a failing restart needs a nonzero error code"},
        {"redetect", "\"later\"", "expected a number of milliseconds, \"at_once\" or \"never\""},
        {"interface_delay_ms", "\"soon\"", "expected a number of milliseconds or \"never\""},
        {"firmware_guid", "\"{C47D2A19\"", "expected a braced GUID"},
        {"firmware_guid_returns", "\"always\"", "expected \"after_interface_redetect\", \"after_cache_deleted\" or \"never\""},
        {"remove_error", "-1", "expected a non-negative integer"},
        {"remove", "\"later\"", "expected \"ok\", \"need_reboot\" or \"need_restart\""},
        {"remove", "\"need_reboot\", \"remove_error\": 5", "a removal that fails (remove_error) is not left to a restart"},
    };
    for (const Case& c : cases) {
        sim::Machine m;
        std::string error;
        const std::string text = std::string(R"({"devices": [{"instance_id": "USB\\X", ")") + c.entry + "\": " + c.value + "}]}";
        EXPECT_FALSE(sim::parse_machine_json(text, "m.json", m, error)) << c.entry;
        EXPECT_NE(error.find(std::string("at /devices/0/") + c.entry + ": " + c.message), std::string::npos) << error;
    }
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::parse_machine_json(R"({"devices": [{"instance_id": "USB\\X", "redetect": "never",
        "interface_delay_ms": 11000, "restart": "0xE0000231", "remove_error": "0xE0000235",
        "firmware_guid": "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}", "firmware_guid_returns": "after_cache_deleted"}]})",
                                        "m.json", m, error))
        << error;
    const sim::Device& d = m.devices[0];
    EXPECT_FALSE(d.behaviour.redetect_delay_ms.has_value());
    EXPECT_EQ(d.behaviour.interface_delay_ms, std::optional<std::uint64_t>(11000));
    EXPECT_EQ(d.behaviour.restart_error, 0xE0000231u);
    EXPECT_EQ(d.behaviour.remove_error, std::optional<std::uint32_t>(0xE0000235u));
    EXPECT_EQ(d.behaviour.firmware_guid, widen(test::kExpectedGuid));
    EXPECT_EQ(d.behaviour.firmware_guid_returns, sim::FirmwareGuidReturn::AfterCacheDeleted);
    EXPECT_EQ(d.behaviour.remove_flags, 0u);
    EXPECT_FALSE(d.description.hardware_ids.has_value());

    // An empty id would end the REG_MULTI_SZ list early.
    sim::Machine empty_id;
    EXPECT_FALSE(sim::parse_machine_json(R"({"devices": [{"instance_id": "USB\\X", "hardware_ids": ["USB\\X", ""]}]})",
                                         "m.json", empty_id, error));
    EXPECT_NE(error.find("at /devices/0/hardware_ids/1: a hardware id may not be empty"), std::string::npos) << error;

    sim::Machine other;
    ASSERT_TRUE(sim::parse_machine_json(R"({"devices": [{"instance_id": "USB\\X", "remove": "need_restart",
        "hardware_ids": ["USB\\VID_2A7D&PID_5E3C&REV_0102&MI_03", "USB\\VID_2A7D&PID_5E3C&MI_03"]}]})",
                                        "m.json", other, error))
        << error;
    EXPECT_EQ(other.devices[0].behaviour.remove_flags, win::DI_NEEDRESTART_);
    EXPECT_EQ(other.devices[0].description.hardware_ids,
              (std::vector<std::wstring>{L"USB\\VID_2A7D&PID_5E3C&REV_0102&MI_03", L"USB\\VID_2A7D&PID_5E3C&MI_03"}));
}

TEST(SimElevation, TokenPromptAndChildProcess) {
    test::machine_file().elevated(false).elevation_prompt_accepted(false).module_path(L"C:\\T\\VQ4_Diag.exe").use();
    platform::TokenHandle token;
    ASSERT_EQ(platform::open_process_token(win::TOKEN_QUERY_, token), 0u);
    std::uint32_t elevated = 7;
    EXPECT_EQ(platform::get_token_elevation(token, elevated), 0u);
    EXPECT_EQ(elevated, 0u);

    sim::set_relaunch_binary("/usr/bin/printenv");
    platform::ProcessHandle process;
    EXPECT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\VQ4_Diag.exe", L"VQ4_DIAG_SIM_ELEVATED", 1, process),
              win::ERROR_CANCELLED_)
        << "the prompt is refused";
    sim::machine().elevation_prompt_accepted = true;
    EXPECT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\Other.exe", L"", 1, process), win::ERROR_FILE_NOT_FOUND_);
    EXPECT_FALSE(process.valid());

    // printenv exits 0 only when the elevated mark is in its environment.
    ASSERT_EQ(platform::shell_execute_ex(L"runas", L"c:\\t\\vq4_diag.exe", L"VQ4_DIAG_SIM_ELEVATED", 1, process), 0u);
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(platform::wait_for_single_object(process, win::INFINITE_), win::WAIT_OBJECT_0_);
    std::uint32_t code = 0xFFFFFFFF;
    EXPECT_EQ(platform::get_exit_code_process(process, code), 0u);
    EXPECT_EQ(code, 0u);

    // A child still running: STILL_ACTIVE until it has ended.
    sim::set_relaunch_binary("/bin/sleep");
    platform::ProcessHandle sleeping;
    ASSERT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\VQ4_Diag.exe", L"0.3", 1, sleeping), 0u);
    EXPECT_EQ(platform::wait_for_single_object(sleeping, 0), win::WAIT_TIMEOUT_);
    code = 0xFFFFFFFF;
    EXPECT_EQ(platform::get_exit_code_process(sleeping, code), 0u);
    EXPECT_EQ(code, win::STILL_ACTIVE_);
    EXPECT_EQ(platform::wait_for_single_object(sleeping, win::INFINITE_), win::WAIT_OBJECT_0_);
    EXPECT_EQ(platform::get_exit_code_process(sleeping, code), 0u);
    EXPECT_EQ(code, 0u);

    // An elevated process is not asked; /bin/false ends with 1.
    sim::machine().elevated = true;
    sim::machine().elevation_prompt_accepted = false;
    sim::set_relaunch_binary("/bin/false");
    platform::ProcessHandle failing;
    ASSERT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\VQ4_Diag.exe", L"/fix", 1, failing), 0u);
    EXPECT_EQ(platform::wait_for_single_object(failing, win::INFINITE_), win::WAIT_OBJECT_0_);
    EXPECT_EQ(platform::get_exit_code_process(failing, code), 0u);
    EXPECT_EQ(code, 1u);
    sim::set_relaunch_binary("");
}

TEST(SimElevation, TheElevatedInstanceHasAConsoleAndInputOfItsOwnAndStartsAtTheRoot) {
    test::machine_file().elevated(false).module_path(L"C:\\T\\VQ4_Diag.exe").use();
    const std::filesystem::path dir = test::make_temp_dir("sim_relaunch");
    const std::filesystem::path script = dir / "child.sh";
    std::ofstream(script) << "#!/bin/sh\npwd\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\ncat\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    std::ofstream(dir / "typed.txt") << "typed in the elevated window\n";
    ::setenv(sim::kElevatedConsoleVariable, (dir / "console.txt").c_str(), 1);
    ::setenv(sim::kElevatedInputVariable, (dir / "typed.txt").c_str(), 1);
    sim::set_relaunch_binary(script.string());

    // The parameters are split as the C runtime splits a command line.
    platform::ProcessHandle process;
    ASSERT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\VQ4_Diag.exe",
                                         L"/fix  /elevated \"/report:C:\\My Tools\\R.txt\" \"a\\\"b\" c\\\\d \"e f\\\\\" "
                                         L"/nopause",
                                         1, process),
              0u);
    ASSERT_EQ(platform::wait_for_single_object(process, win::INFINITE_), win::WAIT_OBJECT_0_);
    std::uint32_t code = 0xFFFFFFFF;
    EXPECT_EQ(platform::get_exit_code_process(process, code), 0u);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(test::read_file_bytes(dir / "console.txt"),
              "/\n[/fix]\n[/elevated]\n[/report:C:\\My Tools\\R.txt]\n[a\"b]\n[c\\\\d]\n[e f\\]\n[/nopause]\n"
              "typed in the elevated window\n");

    // Without the two variables: nothing typed (the end of input at once), nothing kept.
    ::unsetenv(sim::kElevatedConsoleVariable);
    ::unsetenv(sim::kElevatedInputVariable);
    std::filesystem::remove(dir / "console.txt");
    platform::ProcessHandle quiet;
    ASSERT_EQ(platform::shell_execute_ex(L"runas", L"C:\\T\\VQ4_Diag.exe", L"x", 1, quiet), 0u);
    ASSERT_EQ(platform::wait_for_single_object(quiet, win::INFINITE_), win::WAIT_OBJECT_0_);
    EXPECT_EQ(platform::get_exit_code_process(quiet, code), 0u);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "console.txt"));
    sim::set_relaunch_binary("");
    std::filesystem::remove_all(dir);
}

TEST(SimElevation, WithUserAccountControlOffRunasGivesNoRights) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::parse_machine_json(R"({"runas_elevates": false})", "m.json", m, error)) << error;
    EXPECT_FALSE(m.runas_elevates);
    ::setenv(sim::kElevatedInstanceVariable, "1", 1);
    sim::prepare_tool_instance(m);
    ::unsetenv(sim::kElevatedInstanceVariable);
    sim::set_relaunch_binary("");
    EXPECT_FALSE(m.elevated) << "the relaunched instance keeps the standard token";
}

TEST(SimElevation, TheRelaunchedInstanceIsElevatedWithoutTheFirstInstancesFaults) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::parse_machine_json(R"({"faults": [{"operation": "OpenProcessToken", "code": 5},
        {"operation": "GetExitCodeProcess", "code": 6}, {"operation": "RegSetValueExW", "code": 5},
        {"operation": "RegQueryValueExW", "nth": 3, "code": 5, "instance": "first"},
        {"operation": "RegOpenKeyExW", "code": 2, "instance": "both"}]})",
                                        "m.json", m, error));
    ::setenv(sim::kElevatedInstanceVariable, "1", 1);
    sim::prepare_tool_instance(m);
    ::unsetenv(sim::kElevatedInstanceVariable);
    sim::set_relaunch_binary("");
    EXPECT_TRUE(m.elevated);
    ASSERT_EQ(m.faults.size(), 2u);
    EXPECT_EQ(m.faults[0].operation, "RegSetValueExW");
    EXPECT_EQ(m.faults[1].operation, "RegOpenKeyExW");

    sim::Machine first;
    ASSERT_TRUE(sim::parse_machine_json(R"({"faults": [{"operation": "OpenProcessToken", "code": 5},
        {"operation": "RegQueryValueExW", "nth": 3, "code": 5, "instance": "first"}]})", "m.json", first, error));
    sim::prepare_tool_instance(first);
    sim::set_relaunch_binary("");
    EXPECT_FALSE(first.elevated);
    EXPECT_EQ(first.faults.size(), 2u) << "the first instance keeps its own faults";

    sim::Machine wrong;
    EXPECT_FALSE(sim::parse_machine_json(R"({"faults": [{"operation": "Sleep", "code": 5, "instance": "elevated"}]})",
                                         "m.json", wrong, error));
    EXPECT_NE(error.find("instance"), std::string::npos) << error;
}

}  // namespace
}  // namespace vq4
