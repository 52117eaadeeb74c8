// The .reg backup the repair writes before it changes the registry: the
// value lines, the whole-key backup read back by an independent reader, the
// file's name and place, and the changes that are not made without a backup.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/win_constants.h"
#include "repair/device_removal.h"
#include "repair/manual_registration.h"
#include "repair/registry_backup.h"
#include "support/reg_file.h"
#include "support/repair_support.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

TEST(RegValueLine, EachTypeInTheFormImportReadsBackByteForByte) {
    struct Case {
        const char* what;
        std::wstring name;
        std::uint32_t type;
        Bytes data;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {"clean REG_SZ", L"Name", 1, {'a', 0, 'b', 0, 0, 0}, L"\"Name\"=\"ab\""},
        {"quote and backslash in name and text", L"a\"b\\c", 1, {'"', 0, '\\', 0, 0, 0}, L"\"a\\\"b\\\\c\"=\"\\\"\\\\\""},
        {"default value", L"", 1, {'x', 0, 0, 0}, L"@=\"x\""},
        {"REG_SZ without terminator", L"S", 1, {'a', 0, 'b', 0}, L"\"S\"=hex(1):61,00,62,00"},
        {"REG_SZ of odd size", L"S", 1, {'a', 0, 0, 0, 7}, L"\"S\"=hex(1):61,00,00,00,07"},
        {"REG_SZ with a NUL inside", L"S", 1, {'a', 0, 0, 0, 'b', 0, 0, 0}, L"\"S\"=hex(1):61,00,00,00,62,00,00,00"},
        {"REG_SZ with two terminators", L"S", 1, {'a', 0, 0, 0, 0, 0}, L"\"S\"=hex(1):61,00,00,00,00,00"},
        {"REG_SZ holding a line break", L"S", 1, {'a', 0, '\n', 0, 0, 0}, L"\"S\"=hex(1):61,00,0a,00,00,00"},
        {"empty REG_SZ", L"S", 1, {}, L"\"S\"=hex(1):"},
        {"REG_SZ of a terminator only", L"S", 1, {0, 0}, L"\"S\"=\"\""},
        {"REG_DWORD", L"ResetOnResume", 4, {0x02, 0x01, 0, 0x80}, L"\"ResetOnResume\"=dword:80000102"},
        {"REG_DWORD of three bytes", L"D", 4, {1, 2, 3}, L"\"D\"=hex(4):01,02,03"},
        {"REG_BINARY", L"IgnoreHWSerNum", 3, {0x01}, L"\"IgnoreHWSerNum\"=hex:01"},
        {"empty REG_BINARY", L"B", 3, {}, L"\"B\"=hex:"},
        {"REG_MULTI_SZ", L"M", 7, {'a', 0, 0, 0, 0, 0}, L"\"M\"=hex(7):61,00,00,00,00,00"},
        {"REG_EXPAND_SZ", L"E", 2, {'%', 0, 0, 0}, L"\"E\"=hex(2):25,00,00,00"},
        {"REG_QWORD", L"Q", 11, {1, 2, 3, 4, 5, 6, 7, 8}, L"\"Q\"=hex(b):01,02,03,04,05,06,07,08"},
        {"REG_NONE", L"N", 0, {0xFF}, L"\"N\"=hex(0):ff"},
        {"a type of its own", L"T", 0x100, {0xAB}, L"\"T\"=hex(100):ab"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(reg_value_line(c.name, c.type, c.data), c.line) << c.what;
    }
    // A name the format cannot carry.
    EXPECT_EQ(reg_value_line(L"two\nlines", 3, {1}), L"");
    EXPECT_EQ(reg_value_line(std::wstring(L"nul\0inside", 10), 3, {1}), L"");
}

TEST(RegValueLine, LongDataContinuesOnIndentedLinesOfAtMost80Characters) {
    const Bytes data(100, 0x5A);
    const std::wstring line = reg_value_line(L"Long", 3, data);
    std::size_t bytes = 0;
    std::size_t start = 0;
    int lines = 0;
    while (start <= line.size()) {
        std::size_t end = line.find(L"\r\n", start);
        const std::wstring part = line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        ++lines;
        EXPECT_LE(part.size(), 80u) << sim::narrow(part);
        if (lines > 1) {
            EXPECT_EQ(part.rfind(L"  ", 0), 0u) << "indented";
        }
        if (end != std::wstring::npos) {
            EXPECT_EQ(part.back(), L'\\') << "continued";
        }
        for (std::size_t at = part.find(L"5a"); at != std::wstring::npos; at = part.find(L"5a", at + 2)) ++bytes;
        if (end == std::wstring::npos) break;
        start = end + 2;
    }
    EXPECT_GT(lines, 1);
    EXPECT_EQ(bytes, 100u);
}

const std::wstring kUsbflags = L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0102";

// 100 bytes for the long value, so that it continues over several lines.
std::string long_hex() {
    std::string hex;
    for (int i = 0; i < 100; ++i) hex += (i == 0 ? "" : " ") + std::string(i % 2 == 0 ? "3c" : "a7");
    return hex;
}

// A descriptor-cache key as an administrator or another tool may leave it:
// settings of several types, awkward names and data, a subkey.
test::MachineFile settings_machine() {
    const std::wstring key = L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0102";
    return test::machine_file()
        .set("elevated", true)
        .key(key, {test::reg_hex(L"osvc", "REG_BINARY", "00 00"),
                   test::reg_hex(L"IgnoreHWSerNum", "REG_BINARY", "01"),
                   test::reg_dword(L"ResetOnResume", 1),
                   test::reg_sz(L"", L"default text"),
                   test::reg_sz(L"Quote\"And\\Backslash", L"C:\\Path \"quoted\""),
                   test::reg_hex(L"NoTerminator", "REG_SZ", "41 00 42 00"),
                   test::reg_hex(L"OddSize", "REG_SZ", "41 00 42"),
                   test::reg_hex(L"ShortDword", "REG_DWORD", "01 02"),
                   test::reg_multi_sz(L"List", {L"one", L"two"}),
                   test::reg_expand_sz(L"Expand", L"%SystemRoot%\\x"),
                   test::reg_qword(L"Big", 4294967298),
                   test::reg_hex(L"Nothing", "REG_NONE", ""),
                   test::reg_hex(L"Long", "REG_BINARY", long_hex())})
        .key(key + L"\\Sub", {test::reg_dword(L"Inner", 7)})
        .key(key + L"\\Sub\\Deeper")
        .key(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0200",
             {test::reg_hex(L"osvc", "REG_BINARY", "01 20")});
}

using Registry = std::map<std::wstring, std::map<std::wstring, test::TreeSnapshot::Value>>;

// The keys at and below the backed-up key.
Registry below(const Registry& registry, const std::wstring& key) {
    Registry out;
    const std::wstring upper = to_upper_ascii(L"HKLM\\" + key);
    for (const auto& [path, values] : registry) {
        if (path == upper || path.rfind(upper + L"\\", 0) == 0) out[path] = values;
    }
    return out;
}

TEST(RegistryBackup, AKeyWithItsSubkeysImportsBackAsItWas) {
    settings_machine().use();
    const test::TreeSnapshot before = test::take_snapshot();
    test::ReportCapture capture;
    std::string path;
    {
        RegistryBackup backup;
        EXPECT_TRUE(backup.directory.empty()) << "found at the first backup";
        delete_descriptor_cache(0x0102, backup);
        EXPECT_EQ(backup.directory, L"C:\\ProgramData\\VQ4_Diag\\Backups");
        path = sim::narrow(backup.path);
    }
    EXPECT_EQ(path, test::printed_backup_path(capture));
    const test::TreeSnapshot after = test::take_snapshot();
    ASSERT_TRUE(below(after.registry, kUsbflags).empty()) << "deleted";

    std::string error;
    const std::vector<test::RegFileOp> ops =
        test::parse_reg_file(test::read_file_bytes(test::backup_files(capture.backup_directory().string()).at(0)), error);
    ASSERT_EQ(error, "");
    const Registry restored = test::import_reg_ops(after.registry, ops);
    EXPECT_EQ(below(restored, kUsbflags), below(before.registry, kUsbflags));
    EXPECT_EQ(below(restored, kUsbflags).size(), 3u) << "the key, Sub and Sub\\Deeper";
    EXPECT_EQ(restored, before.registry) << "nothing else in the file";

    // Importing over a key that came back with other values gives the backup's key exactly.
    Registry recreated = after.registry;
    recreated[to_upper_ascii(L"HKLM\\" + kUsbflags)][L"NEW"] = {3, {1}};
    recreated[to_upper_ascii(L"HKLM\\" + kUsbflags + L"\\Other")] = {};
    EXPECT_EQ(test::import_reg_ops(recreated, ops), before.registry);
}

TEST(RegistryBackup, TheFileIsUtf16WithItsHeaderAndNamedByTheLocalTime) {
    settings_machine().set("local_time", "2026-03-04 05:06:07").use();
    test::ReportCapture capture;
    // A backup of the same second is never overwritten.
    std::filesystem::create_directories(capture.backup_directory());
    std::ofstream(capture.backup_directory() / "VQ4_Diag_Backup_20260304_050607.reg") << "earlier";
    {
        RegistryBackup backup;
        delete_descriptor_cache(0x0102, backup);
        delete_descriptor_cache(0x0200, backup);
        EXPECT_EQ(sim::narrow(backup.path), std::string("C:\\ProgramData\\VQ4_Diag\\Backups\\VQ4_Diag_Backup_20260304_050607_2.reg"));
    }
    EXPECT_EQ(test::read_file_bytes(capture.backup_directory() / "VQ4_Diag_Backup_20260304_050607.reg"), "earlier");
    const std::string bytes = test::read_file_bytes(capture.backup_directory() / "VQ4_Diag_Backup_20260304_050607_2.reg");
    const std::string header = "Windows Registry Editor Version 5.00\r\n";
    std::string expected_start = "\xFF\xFE";
    for (const char c : header) expected_start += std::string{c, '\0'};
    EXPECT_EQ(bytes.substr(0, expected_start.size()), expected_start);
    EXPECT_EQ(bytes.find(expected_start, 2), std::string::npos) << "one header for both keys";
    std::string error;
    const auto ops = test::parse_reg_file(bytes, error);
    ASSERT_EQ(error, "");
    int deletions = 0;
    for (const auto& op : ops) deletions += op.kind == test::RegFileOp::DeleteKey ? 1 : 0;
    EXPECT_EQ(deletions, 2) << "both keys in the one file";
}

TEST(RegistryBackup, AKeyAlreadyBackedUpKeepsItsFirstContent) {
    settings_machine().use();
    const test::TreeSnapshot before = test::take_snapshot();
    test::ReportCapture capture;
    {
        RegistryBackup backup;
        delete_descriptor_cache(0x0102, backup);
        // Windows writes the key anew when it detects the device again.
        sim::machine().registry.set_value(L"HKLM\\" + kUsbflags, {L"osvc", 3, {9, 9}, {}});
        delete_descriptor_cache(0x0102, backup);
    }
    const std::string report = capture.finish();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 4) << report;
    std::string error;
    const auto ops =
        test::parse_reg_file(test::read_file_bytes(test::backup_files(capture.backup_directory().string()).at(0)), error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(below(test::import_reg_ops(test::take_snapshot().registry, ops), kUsbflags),
              below(before.registry, kUsbflags));
}

TEST(RegistryBackup, NoBackupNoChange) {
    // The directory beside the report cannot take the file.
    settings_machine().use();
    const test::TreeSnapshot before = test::take_snapshot();
    {
        test::ReportCapture capture;
        RegistryBackup backup;
        backup.directory = widen((capture.directory() / "missing").string());
        delete_descriptor_cache(0x0102, backup);
        EXPECT_TRUE(backup.path.empty());
        EXPECT_EQ(capture.finish(), test::warn("  -> Registry backup failed (code=3): the USB descriptor cache was not "
                                               "deleted."));
    }
    EXPECT_EQ(test::take_snapshot().registry, before.registry);
    EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u);

    // A file that cannot be created, whatever the code (2 included, which a
    // missing key would give), keeps the key too.
    for (const int code : {2, 5, 32}) {
        settings_machine().fault("CreateFileW", static_cast<std::uint32_t>(code), 2).use();
        {
            test::ReportCapture capture;  // the first CreateFileW
            RegistryBackup backup;
            delete_descriptor_cache(0x0102, backup);
            EXPECT_EQ(capture.finish(), test::warn("  -> Registry backup failed (code=" + std::to_string(code) +
                                                   "): the USB descriptor cache was not deleted."));
        }
        EXPECT_EQ(test::take_snapshot().registry, before.registry) << code;
        EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u) << code;
    }

    // A key that cannot be read is not deleted either.
    settings_machine().fault("RegEnumValueW", 1018, 3).use();
    {
        test::ReportCapture capture;
        RegistryBackup backup;
        delete_descriptor_cache(0x0102, backup);
        EXPECT_EQ(capture.finish(), test::warn("  -> Registry backup failed (code=1018): the USB descriptor cache was "
                                               "not deleted."));
    }
    EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u);

    // Step 3: the GUID is not written; the step fails without a replug request.
    test::use_machine(test::machine_text("default", [](json& m) { m["elevated"] = true; }));
    const test::TreeSnapshot before3 = test::take_snapshot();
    {
        test::ReportCapture capture;
        RegistryBackup backup;
        backup.directory = widen((capture.directory() / "missing").string());
        EXPECT_EQ(register_guid_manually({widen(test::kMi03), {}}, widen(test::kExpectedGuid), backup),
                  CandidateRepair::Failed);
        EXPECT_EQ(capture.finish(),
                  test::warn("  -> Registry backup failed (code=3): the GUID was not written."));
    }
    EXPECT_EQ(test::take_snapshot().registry, before3.registry);
    EXPECT_EQ(sim::count_calls("RegSetValueExW"), 0u);
    EXPECT_EQ(sim::count_calls("SetupDiCallClassInstaller"), 0u);
}

// A key name the .reg format cannot carry is refused as a value name is: a
// line break in a subkey's name would end the key line and make the rest of
// the name value lines of the key before it.
TEST(RegistryBackup, AKeyNameWithAControlCharacterIsRefusedAndNothingChanges) {
    const std::vector<std::pair<const char*, std::wstring>> cases = {
        {"CR LF that injects a value line", L"Sub\r\n\"Injected\"=dword:00000001"},
        {"a line feed", L"two\nlines"},
        {"a tab", L"tab\there"},
        {"U+0001", std::wstring(L"one") + wchar_t{1}},
    };
    for (const auto& [what, name] : cases) {
        settings_machine().key(L"HKLM\\" + kUsbflags + L"\\Sub\\" + name, {test::reg_dword(L"Inner", 9)}).use();
        const test::TreeSnapshot before = test::take_snapshot();
        test::ReportCapture capture;
        {
            RegistryBackup backup;
            delete_descriptor_cache(0x0102, backup);
            EXPECT_TRUE(backup.path.empty()) << what;
        }
        EXPECT_EQ(capture.finish(), test::warn("  -> Registry backup failed (code=13): the USB descriptor cache was "
                                               "not deleted."))
            << what;
        EXPECT_EQ(test::take_snapshot().registry, before.registry) << what;
        EXPECT_EQ(sim::count_calls("RegDeleteTreeW"), 0u) << what;
        EXPECT_TRUE(test::backup_files(capture.directory().string()).empty()) << what;
        EXPECT_TRUE(test::backup_files(capture.backup_directory().string()).empty()) << what;
    }
}

TEST(RegistryBackup, OverwrittenValuesAndAbsentOnesComeBack) {
    struct Case {
        const char* what;
        json hardware_key;  // MI_03's 'Device Parameters' values; null: no key
    };
    const std::vector<Case> cases = {
        {"two other GUIDs and a single one",
         json::array({{{"name", "DeviceInterfaceGUIDs"},
                       {"type", "REG_MULTI_SZ"},
                       {"data", {"{11111111-2222-3333-4444-555555555555}", "{AAAAAAAA-2222-3333-4444-555555555555}"}}},
                      {{"name", "DeviceInterfaceGUID"}, {"type", "REG_SZ"}, {"data", "not a guid"}},
                      {{"name", "RevisionId"}, {"type", "REG_DWORD"}, {"data", 258}}})},
        {"an unterminated list of odd size",
         json::array({{{"name", "DeviceInterfaceGUIDs"}, {"type", "REG_MULTI_SZ"}, {"hex", "7B 00 31"}}})},
        {"no values", json::array()},
        {"no key", nullptr},
    };
    for (const Case& c : cases) {
        test::use_machine(test::machine_text("default", [&](json& m) {
            m["elevated"] = true;
            json& mi03 = test::device_entry(m, test::kMi03);
            if (c.hardware_key.is_null()) {
                mi03.erase("hardware_key");
            } else {
                mi03["hardware_key"] = c.hardware_key;
            }
        }));
        const test::TreeSnapshot before = test::take_snapshot();
        test::ReportCapture capture;
        {
            RegistryBackup backup;
            EXPECT_EQ(register_guid_manually({widen(test::kMi03), {}}, widen(test::kExpectedGuid), backup),
                      CandidateRepair::Repaired)
                << c.what;
        }
        const test::TreeSnapshot after = test::take_snapshot();
        const std::wstring key = to_upper_ascii(sim::hardware_key_path(widen(test::kMi03)));
        const auto previous = before.registry.find(key);
        EXPECT_TRUE(previous == before.registry.end() || previous->second != after.registry.at(key))
            << c.what << ": changed";
        std::string error;
        const auto ops =
            test::parse_reg_file(test::read_file_bytes(test::backup_files(capture.backup_directory().string()).at(0)), error);
        ASSERT_EQ(error, "") << c.what;
        Registry restored = test::import_reg_ops(after.registry, ops);
        Registry expected = before.registry;
        expected[key];  // an import leaves the created key, empty
        EXPECT_EQ(restored, expected) << c.what;
    }
}

}  // namespace
}  // namespace vq4
