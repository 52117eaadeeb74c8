// The simulated registry's lookups go through an index by case-folded path
// and keep each key's subkeys in creation order. These tests change the
// registry the ways the repair and the machine file do (create, delete a
// tree, create again, set values) and check the index never answers from a
// state that is gone. The device list is loaded in one batch; its handles
// and order must be what adding the nodes one by one gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_file.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using Names = std::vector<std::wstring>;

// RegEnumKeyExW from index 0 until it stops, as the tool walks a key.
Names enumerate(const std::wstring& subkey) {
    Names names;
    platform::RegKey key;
    if (platform::reg_open_key(platform::RegRoot::LocalMachine, subkey, win::KEY_READ_, key) != 0) return {L"<open failed>"};
    for (std::uint32_t index = 0;; ++index) {
        std::wstring name;
        const std::int32_t status = platform::reg_enum_key(key, index, 256, name);
        if (status == static_cast<std::int32_t>(win::ERROR_NO_MORE_ITEMS_)) break;
        if (status != 0) return {L"<error " + std::to_wstring(status) + L">"};
        names.push_back(name);
    }
    return names;
}

// A key 512 levels down (as deep as Windows allows) brings the 511 keys
// above it, and a machine file may hold such paths by the hundred: the keys
// made by one create() share one copy of its path instead of a copy each,
// which cost the square of the path's length (1.6 GB for a 60 KB file).
TEST(SimulatedRegistryIndex, ADeepKeyAndTheKeysAboveItShareOneCopyOfItsPath) {
    sim::Registry r;
    r.create(L"HKLM\\SOFTWARE");
    std::wstring deep = L"HKLM\\SOFTWARE";
    for (int level = 2; level <= 512; ++level) deep += L"\\" + std::wstring(255, static_cast<wchar_t>(L'a' + level % 26));
    r.create(deep);
    ASSERT_EQ(r.keys.size(), 513u);  // HKLM, SOFTWARE, and the 511 below
    const std::wstring* shared = r.keys[2].path_text.get();
    for (std::size_t at = 2; at < r.keys.size(); ++at) EXPECT_EQ(r.keys[at].path_text.get(), shared) << at;
    // Each is its own key, found by its path in any case, listed under its parent.
    for (std::size_t cut = deep.find(L'\\'); cut != std::wstring::npos; cut = deep.find(L'\\', cut + 1)) {
        const std::wstring path = deep.substr(0, cut);
        ASSERT_NE(r.find(to_upper_ascii(path)), nullptr) << cut;
        EXPECT_EQ(r.find(path)->path(), path);
        EXPECT_EQ(r.subkey_names(path).size(), 1u);
    }
    EXPECT_EQ(r.find(deep)->path(), deep);
    EXPECT_TRUE(r.subkey_names(deep).empty());
    // Removing the middle of the chain leaves the keys above it.
    const std::wstring middle = deep.substr(0, deep.find(L'\\', 200 * 256));
    EXPECT_TRUE(r.remove_tree(middle));
    EXPECT_EQ(r.find(deep), nullptr);
    EXPECT_EQ(r.find(middle), nullptr);
    EXPECT_NE(r.find(middle.substr(0, middle.rfind(L'\\'))), nullptr);
}

TEST(SimulatedRegistryIndex, LookupsAndEnumerationFollowEveryChange) {
    sim::Machine m;
    m.elevated = true;
    sim::Registry& r = m.registry;
    r.create(L"HKLM\\SOFTWARE\\Vendor\\Beta");
    r.create(L"HKLM\\SOFTWARE\\Vendor\\alpha\\Deep");
    r.create(L"HKLM\\SOFTWARE\\Vendor\\Gamma");

    // Any letter case finds the key, which keeps the case it was created with.
    ASSERT_NE(r.find(L"hklm\\software\\VENDOR\\ALPHA"), nullptr);
    EXPECT_EQ(r.find(L"hklm\\software\\VENDOR\\ALPHA")->path(), L"HKLM\\SOFTWARE\\Vendor\\alpha");
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alph"), nullptr);
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\"), nullptr);
    EXPECT_EQ(r.subkey_names(L"HKLM\\software\\vendor"), (Names{L"Beta", L"alpha", L"Gamma"}));
    EXPECT_EQ(r.subkey_name(L"HKLM\\SOFTWARE\\Vendor", 1).value_or(L"<none>"), L"alpha");
    EXPECT_FALSE(r.subkey_name(L"HKLM\\SOFTWARE\\Vendor", 3).has_value());
    EXPECT_FALSE(r.subkey_name(L"HKLM\\SOFTWARE\\Absent", 0).has_value());

    // A deleted tree is gone from lookups and from its parent's list; a key
    // created again afterwards enumerates last, like any new key.
    EXPECT_TRUE(r.remove_tree(L"HKLM\\SOFTWARE\\VENDOR\\Alpha"));
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha"), nullptr);
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\Deep"), nullptr);
    EXPECT_FALSE(r.remove_tree(L"HKLM\\SOFTWARE\\Vendor\\alpha"));
    EXPECT_EQ(r.subkey_names(L"HKLM\\SOFTWARE\\Vendor"), (Names{L"Beta", L"Gamma"}));
    r.set_value(L"HKLM\\SOFTWARE\\Vendor\\ALPHA\\Deep", sim::RegistryValue{L"v", win::REG_DWORD_, {1, 0, 0, 0}, {}});
    EXPECT_EQ(r.subkey_names(L"HKLM\\SOFTWARE\\Vendor"), (Names{L"Beta", L"Gamma", L"ALPHA"}));
    EXPECT_EQ(r.subkey_names(L"HKLM\\SOFTWARE\\Vendor\\alpha"), (Names{L"Deep"}));
    ASSERT_NE(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\deep"), nullptr);
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\deep")->values.size(), 1u);

    // A second value of the same name (any case) replaces the first.
    r.set_value(L"HKLM\\SOFTWARE\\Vendor\\Alpha\\Deep", sim::RegistryValue{L"V", win::REG_DWORD_, {2, 0, 0, 0}, {}});
    ASSERT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\deep")->values.size(), 1u);
    EXPECT_EQ(r.find(L"HKLM\\SOFTWARE\\Vendor\\alpha\\deep")->values[0].data[0], 2);

    // The platform calls see the same through a copy of the machine, and
    // what the copy then changes.
    sim::set_machine(m);
    EXPECT_EQ(enumerate(L"SOFTWARE\\Vendor"), (Names{L"Beta", L"Gamma", L"ALPHA"}));
    EXPECT_EQ(platform::reg_delete_tree(platform::RegRoot::LocalMachine, L"SOFTWARE\\Vendor\\Beta"), 0);
    EXPECT_EQ(enumerate(L"SOFTWARE\\Vendor"), (Names{L"Gamma", L"ALPHA"}));
    EXPECT_EQ(enumerate(L"SOFTWARE\\Vendor\\Beta"), (Names{L"<open failed>"}));
    EXPECT_EQ(r.subkey_names(L"HKLM\\SOFTWARE\\Vendor"), (Names{L"Beta", L"Gamma", L"ALPHA"}));  // the original is untouched
}

TEST(SimulatedRegistryIndex, ManySubkeysEnumerateInCreationOrder) {
    sim::Machine m;
    const std::wstring uninstall = L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    Names expected;
    for (int i = 0; i < 3000; ++i) {
        const std::wstring name = L"Program" + std::to_wstring((i * 7919) % 3001);
        expected.push_back(name);
        m.registry.create(uninstall + L"\\" + name + L"\\Sub");
    }
    sim::set_machine(m);
    EXPECT_EQ(enumerate(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"), expected);
}

TEST(SimulatedMachineDevices, LoadedNodesGetHandlesAndRanksInFileOrder) {
    test::machine_file()
        .device(test::device(L"USB\\ROOT_HUB30\\1"))
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C\\SN").parent(L"usb\\root_hub30\\1"))
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\X").parent(L"USB\\VID_2A7D&PID_5E3C\\sn"))
        .use();
    const auto& devices = sim::machine().devices;
    ASSERT_EQ(devices.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(devices[i].state.dev_inst, i + 1);
        EXPECT_EQ(devices[i].state.enumeration_rank, i);
    }
    // A node added later gets the next handle and the last place.
    sim::Device extra;
    extra.description.instance_id = L"USB\\VID_046D&PID_C077\\1";
    const sim::Device& added = sim::machine().add_device(extra);
    EXPECT_EQ(added.state.dev_inst, 4u);
    EXPECT_EQ(added.state.enumeration_rank, 3u);
    EXPECT_EQ(sim::machine().find_device(L"usb\\vid_046d&pid_c077\\1"), &sim::machine().devices[3]);
}

TEST(SimulatedMachineDevices, DuplicateAndOrphanNodesAreRefusedWhateverTheirCase) {
    struct Case {
        const char* what;
        const char* json;
        const char* error;
    };
    const Case cases[] = {
        {"the same id in another case",
         R"({"devices": [{"instance_id": "USB\\A\\1"}, {"instance_id": "usb\\a\\1"}]})",
         "machine file 'test': at /devices/1/instance_id: duplicate instance id"},
        {"a parent no node has",
         R"({"devices": [{"instance_id": "USB\\A\\1"}, {"instance_id": "USB\\B\\1", "parent": "USB\\A\\2"}]})",
         "machine file 'test': at /devices/1/parent: no device has this instance id"},
        {"a present node under a phantom",
         R"({"devices": [{"instance_id": "USB\\A\\1", "present": false}, {"instance_id": "USB\\B\\1", "parent": "usb\\a\\1"}]})",
         "machine file 'test': at /devices/1: a present device needs a present parent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::parse_machine_json(c.json, "test", m, error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

// Windows' limits, at the edge: a key name of 255 characters and a key 512
// levels below HKLM load; one more of either is refused. HKCR stands for
// HKLM\SOFTWARE\Classes, two levels deeper.
TEST(SimMachineFile, KeyPathsLoadUpToWindowsLimits) {
    const auto path_of = [](const std::string& root, std::size_t levels, std::size_t last_name) {
        std::string path = root;
        for (std::size_t i = 1; i < levels; ++i) path += "\\\\k";
        return path + "\\\\" + std::string(last_name, 'n');
    };
    struct Case {
        std::string key;
        std::string error;  // empty: loads
    };
    const Case cases[] = {
        {path_of("HKLM", 512, 255), ""},
        {path_of("HKLM", 513, 1), "at /registry/0/key: a key path is at most 512 levels deep"},
        {path_of("HKLM", 2, 256), "at /registry/0/key: a key name has at most 255 characters"},
        {path_of("HKCR", 510, 1), ""},
        {path_of("HKCR", 511, 1), "at /registry/0/key: a key path is at most 512 levels deep"},
    };
    for (const Case& c : cases) {
        sim::Machine m;
        std::string error;
        const bool ok = sim::parse_machine_json(R"({"registry": [{"key": ")" + c.key + R"("}]})", "t", m, error);
        EXPECT_EQ(ok, c.error.empty()) << error;
        if (!c.error.empty()) {
            EXPECT_EQ(error, "machine file 't': " + c.error);
        }
    }
}

}  // namespace
}  // namespace vq4

namespace vq4 {
namespace {

// A value named again in the same key (in any letter case, in another entry
// of the same key too) replaces the first in its place; a variable named
// again replaces the first, at the end, and null removes it. The loader
// finds them through tables, so that many load in linear time.
TEST(SimMachineFile, AValueOrVariableNamedAgainReplacesTheFirst) {
    sim::Machine m;
    std::string error;
    ASSERT_TRUE(sim::parse_machine_json(R"({
        "registry": [
            {"key": "HKLM\\SOFTWARE\\V", "values": [{"name": "a", "type": "REG_SZ", "data": "1"},
                                                    {"name": "c", "type": "REG_DWORD", "data": 7},
                                                    {"name": "A", "type": "REG_DWORD", "data": 2}]},
            {"key": "hklm\\software\\v", "values": [{"name": "a", "type": "REG_DWORD", "data": 3}, {"name": "b", "error": 5}]}],
        "environment": {"path": "a", "PATH": "b", "Path": null, "TEMP": "x", "temp": "y"}})",
                                        "t", m, error))
        << error;
    const sim::RegistryKey* key = m.registry.find(L"HKLM\\SOFTWARE\\V");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values.size(), 3u);
    EXPECT_EQ(key->values[0].name, L"a");
    EXPECT_EQ(key->values[0].data, (std::vector<std::uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(key->values[1].name, L"c");
    EXPECT_EQ(key->values[2].name, L"b");
    EXPECT_EQ(key->values[2].read_error.value_or(0), 5u);

    // Members are read in byte order: PATH, Path (removed), TEMP, path, temp.
    const std::vector<sim::EnvironmentVariable> defaults = sim::default_environment();
    ASSERT_EQ(m.environment.size(), defaults.size() + 1);
    EXPECT_EQ(m.environment[m.environment.size() - 2].name, L"path");
    EXPECT_EQ(m.environment[m.environment.size() - 2].value, L"a");
    EXPECT_EQ(m.environment.back().name, L"temp");
    EXPECT_EQ(m.environment.back().value, L"y");
    for (std::size_t i = 0; i + 2 < m.environment.size(); ++i) {
        EXPECT_FALSE(equals_nocase(m.environment[i].name, L"PATH")) << i;
        EXPECT_FALSE(m.environment[i].value.empty()) << sim::narrow(m.environment[i].name);
    }
}

}  // namespace
}  // namespace vq4
