// A capture writes each value the run read so that the simulated machine
// gives back exactly those bytes: clean strings and numbers as the format's
// plain entries, everything else (no terminator, odd sizes, lone
// surrogates, other types) as `hex`. Each case is captured, loaded as a
// machine and read back with RegQueryValueExW.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/capture_file.h"
#include "capture/redaction.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ValueCase {
    const char* what;
    std::uint32_t type;
    Bytes bytes;
    const char* written_as;  // the entry the capture uses for it
};

const ValueCase kValueCases[] = {
    {"clean REG_SZ", win::REG_SZ_, {'A', 0, 'B', 0, 0, 0}, "data"},
    {"REG_SZ without its NUL", win::REG_SZ_, {'A', 0, 'B', 0}, "hex"},
    {"REG_SZ with a NUL inside", win::REG_SZ_, {'A', 0, 0, 0, 'B', 0, 0, 0}, "hex"},
    {"REG_SZ of an odd size", win::REG_SZ_, {'A', 0, 'B'}, "hex"},
    {"REG_SZ with a lone surrogate", win::REG_SZ_, {0x00, 0xD8, 'A', 0, 0, 0}, "hex"},
    {"REG_SZ beyond U+FFFF", win::REG_SZ_, {0x3D, 0xD8, 0x00, 0xDE, 0, 0}, "data"},
    {"empty REG_SZ", win::REG_SZ_, {0, 0}, "data"},
    {"clean REG_EXPAND_SZ", win::REG_EXPAND_SZ_, {'%', 0, 'X', 0, '%', 0, 0, 0}, "data"},
    {"clean REG_MULTI_SZ", win::REG_MULTI_SZ_, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, "data"},
    {"REG_MULTI_SZ without the final NUL", win::REG_MULTI_SZ_, {'a', 0, 0, 0}, "hex"},
    {"empty REG_MULTI_SZ", win::REG_MULTI_SZ_, {0, 0}, "data"},
    {"REG_DWORD", win::REG_DWORD_, {0x02, 0x01, 0, 0}, "data"},
    {"REG_DWORD of three bytes", win::REG_DWORD_, {0x02, 0x01, 0}, "hex"},
    {"REG_QWORD", win::REG_QWORD_, {1, 2, 3, 4, 5, 6, 7, 0x80}, "data"},
    {"REG_BINARY", 3, {0xDE, 0xAD}, "hex"},
    {"a type of its own", 0x1234, {1}, "hex"},
};

TEST(MachineCapture, RegistryValuesReplayWithTheirExactBytes) {
    capture::Capture capture;
    capture::Key key;
    key.path = L"HKLM\\SOFTWARE\\CaptureTest";
    key.opened = true;
    for (const ValueCase& c : kValueCases) {
        capture::Value value;
        value.name = std::wstring(c.what, c.what + std::char_traits<char>::length(c.what));
        value.type = c.type;
        value.data = c.bytes;
        value.size = static_cast<std::uint32_t>(c.bytes.size());
        value.complete = true;
        key.values.push_back(value);
    }
    // A value too long for the run's buffer: only its type and size were read.
    capture::Value too_long;
    too_long.name = L"too long";
    too_long.type = win::REG_SZ_;
    too_long.size = 300;
    key.values.push_back(too_long);
    capture.keys.push_back(key);

    const std::string text = capture::machine_file_text(capture);
    const nlohmann::json document = nlohmann::json::parse(text);
    const nlohmann::json& values = document.at("registry").at(0).at("values");
    test::use_machine(text);

    platform::RegKey opened;
    ASSERT_EQ(platform::reg_open_key(platform::RegRoot::LocalMachine, L"SOFTWARE\\CaptureTest", win::KEY_READ_, opened), 0);
    for (std::size_t i = 0; i < std::size(kValueCases); ++i) {
        const ValueCase& c = kValueCases[i];
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(values.at(i).contains(c.written_as)) << values.at(i).dump();
        const platform::RegRead read = platform::reg_query_value(opened, key.values[i].name, 4096);
        ASSERT_EQ(read.status, 0);
        EXPECT_EQ(read.type, c.type);
        EXPECT_EQ(read.data, c.bytes);
    }
    const platform::RegRead read = platform::reg_query_value(opened, L"too long", 256);
    EXPECT_EQ(read.status, static_cast<std::int32_t>(win::ERROR_MORE_DATA_));
    EXPECT_EQ(read.type, win::REG_SZ_);
    EXPECT_EQ(read.size, 300u);
}

// The notes are recorded only while a capture is in force, and a value read
// through a key that is not the capture's (a handle it never saw open) stays
// out of it.
TEST(MachineCapture, NotesCountOnlyWhileInForceAndOnlyForKeysItSawOpen) {
    test::machine_file().key(L"HKLM\\SOFTWARE\\A", {test::reg_dword(L"V", 7)}).use();
    platform::RegKey key;
    ASSERT_EQ(platform::reg_open_key(platform::RegRoot::LocalMachine, L"SOFTWARE\\A", win::KEY_READ_, key), 0);
    const platform::RegRead read = platform::reg_query_value(key, L"V", 4);

    capture::Capture capture;
    capture::key_opened(key, L"HKLM\\SOFTWARE\\A", 0);  // no capture in force: nothing
    capture::value_read(key, L"V", read);
    {
        const capture::CaptureScope scope(capture);
        EXPECT_TRUE(capture::active());
        capture::value_read(key, L"V", read);  // never seen open: left out
        EXPECT_TRUE(capture.keys.empty());
        capture::key_opened(key, L"HKLM\\SOFTWARE\\A", 0);
        capture::value_read(key, L"V", read);
    }
    EXPECT_FALSE(capture::active());
    capture::value_read(key, L"V", read);
    ASSERT_EQ(capture.keys.size(), 1u);
    ASSERT_EQ(capture.keys[0].values.size(), 1u);
    EXPECT_EQ(capture.keys[0].values[0].data, (Bytes{7, 0, 0, 0}));
}

// Paths as the machine file writes them: HKCR under SOFTWARE\Classes, the
// 32-bit view under WOW6432Node, the capture named after its report.
TEST(MachineCapture, PathsFollowTheMachineFileAndTheReport) {
    const std::wstring clsid = L"CLSID\\{X}\\InProcServer32";
    EXPECT_EQ(capture::key_path(platform::RegRoot::ClassesRoot, clsid, win::KEY_READ_),
              L"HKLM\\SOFTWARE\\Classes\\CLSID\\{X}\\InProcServer32");
    EXPECT_EQ(capture::key_path(platform::RegRoot::ClassesRoot, clsid, win::KEY_READ_ | win::KEY_WOW64_32KEY_),
              L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{X}\\InProcServer32");
    // An elevated run reads the machine's classes explicitly.
    EXPECT_EQ(capture::key_path(platform::RegRoot::LocalMachine, L"SOFTWARE\\Classes\\" + clsid,
                                win::KEY_READ_ | win::KEY_WOW64_32KEY_),
              L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{X}\\InProcServer32");
    EXPECT_EQ(capture::key_path(platform::RegRoot::CurrentUser, L"Software\\Classes\\" + clsid, win::KEY_READ_),
              L"HKCU\\Software\\Classes\\CLSID\\{X}\\InProcServer32");
    EXPECT_EQ(capture::key_path(platform::RegRoot::LocalMachine, L"SOFTWARE\\Vendor", win::KEY_READ_ | win::KEY_WOW64_32KEY_),
              L"HKLM\\SOFTWARE\\WOW6432Node\\Vendor");
    EXPECT_EQ(capture::key_path(platform::RegRoot::LocalMachine, L"SYSTEM\\X", win::KEY_READ_ | win::KEY_WOW64_32KEY_),
              L"HKLM\\SYSTEM\\X");
    EXPECT_EQ(capture::capture_path_for_report(L"C:\\Tools\\VQ4_Diag_Report_20261210_090807.txt"),
              L"C:\\Tools\\VQ4_Diag_Machine_20261210_090807.json");
    EXPECT_EQ(capture::capture_path_for_report(L"C:\\Tools\\VQ4_Diag_Report_20261210_090807_2.txt"),
              L"C:\\Tools\\VQ4_Diag_Machine_20261210_090807_2.json");
}

// A name of the user or the PC is replaced where it stands whole, in any
// ASCII letter case; inside a longer name it stays.
TEST(CaptureRedaction, ANameIsReplacedWhereItStandsWhole) {
    const struct {
        std::wstring text;
        std::wstring expected;
    } cases[] = {
        {L"C:\\Users\\jdoe\\AppData\\Local", L"C:\\Users\\[user]\\AppData\\Local"},
        {L"C:\\USERS\\JDOE", L"C:\\USERS\\[user]"},
        {L"jdoe", L"[user]"},
        {L"jdoe.CORP and jdoe_2", L"[user].CORP and [user]_2"},
        {L"jdoes ajdoe jdoe1 jdoejdoe", L"jdoes ajdoe jdoe1 jdoejdoe"},
        {L"\u0141jdoe jdoe\u00e9", L"\u0141jdoe jdoe\u00e9"},  // letters beyond ASCII are part of the name
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(capture::replaced_whole(c.text, L"jdoe", L"[user]"), c.expected) << sim::narrow(c.text);
    EXPECT_EQ(capture::replaced_whole(L"abc", L"", L"[user]"), L"abc") << "an unknown name replaces nothing";
}

// The nodes other than the Vantro Q4's keep their enumerator, VID and PID
// and get one placeholder each, the same in their instance id, as a parent
// and in their device paths; the Q4's serial number and paths stay; texts
// in bytes (registry values, properties) get the names replaced, their
// terminators kept.
TEST(CaptureRedaction, OtherNodesGetOnePlaceholderEachAndTheDevicesSerialStays) {
    capture::Capture capture;
    capture::Node composite;
    composite.instance_id = L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
    composite.parent_id = L"USB\\VID_17EF&PID_30B4\\DOCK0012345";
    composite.properties[win::SPDRP_FRIENDLYNAME_] = {0, {'j', 0, 'd', 0, 'o', 0, 'e', 0, 0, 0}, 0};
    capture::Node mi03;
    mi03.instance_id = L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003";
    mi03.parent_id = composite.instance_id;
    const std::wstring own_path = L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
    mi03.interfaces.push_back({L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", own_path, {}, {}, {}, {}, {}});
    mi03.interfaces.push_back({L"{11111111-2222-3333-4444-555555555555}",
                               L"\\\\?\\usb#vid_17ef&pid_30b4#dock0012345#{11111111-2222-3333-4444-555555555555}",
                               {}, {}, {}, {}, {}});
    capture::Node dock;
    dock.instance_id = L"USB\\VID_17EF&PID_30B4\\DOCK0012345";
    capture::Node other_hub;
    other_hub.instance_id = L"USB\\ROOT_HUB30\\4&2A3B1C7D&0&0";
    capture.nodes = {composite, mi03, dock, other_hub};
    capture::Key key;
    key.path = L"HKLM\\SOFTWARE\\X";
    key.values.push_back({L"Folder", 0, win::REG_SZ_, {'C', 0, ':', 0, '\\', 0, 'j', 0, 'd', 0, 'o', 0, 'e', 0, 0, 0}, true, 16});
    key.values.push_back({L"Binary", 0, 3, {'j', 0, 'd', 0, 'o', 0, 'e', 0}, true, 8});
    capture.keys.push_back(key);

    capture::redact(capture, {L"", L"jdoe", L"DESK-4711"});
    EXPECT_EQ(capture.nodes[0].instance_id, L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D");
    EXPECT_EQ(*capture.nodes[0].parent_id, L"USB\\VID_17EF&PID_30B4\\[serial-1]");
    EXPECT_EQ(capture.nodes[0].properties[win::SPDRP_FRIENDLYNAME_].data,
              (Bytes{'[', 0, 'u', 0, 's', 0, 'e', 0, 'r', 0, ']', 0, 0, 0}));
    EXPECT_EQ(*capture.nodes[1].parent_id, L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D");
    EXPECT_EQ(capture.nodes[1].interfaces[0].path, own_path);
    EXPECT_EQ(capture.nodes[1].interfaces[1].path,
              L"\\\\?\\usb#vid_17ef&pid_30b4#[serial-1]#{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(capture.nodes[2].instance_id, L"USB\\VID_17EF&PID_30B4\\[serial-1]");
    EXPECT_EQ(capture.nodes[3].instance_id, L"USB\\ROOT_HUB30\\[serial-2]");
    EXPECT_EQ(capture.keys[0].values[0].data,
              (Bytes{'C', 0, ':', 0, '\\', 0, '[', 0, 'u', 0, 's', 0, 'e', 0, 'r', 0, ']', 0, 0, 0}));
    EXPECT_EQ(capture.keys[0].values[0].size, 20u);
    EXPECT_EQ(capture.keys[0].values[1].data, (Bytes{'j', 0, 'd', 0, 'o', 0, 'e', 0})) << "binary data stays";
}

}  // namespace
}  // namespace vq4
