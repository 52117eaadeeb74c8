// Hostile data on the machine: registry values of the wrong type, without
// terminators, of the largest size that fits and one character over, texts
// beyond U+00FF and with control characters, INI files that are binary or
// huge. Each case runs the real binary and names the exact lines it must
// write; every report must also stay well formed.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "support/low_level_texts.h"
#include "support/report_check.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
namespace s3 = test::section3;

// Hex bytes of a text as UTF-16LE, optionally with its terminating NUL.
std::string utf16_hex(const std::u16string& text, bool terminated) {
    std::string hex;
    char pair[8];
    for (const char16_t c : text) {
        std::snprintf(pair, sizeof pair, "%02X %02X ", c & 0xFF, (c >> 8) & 0xFF);
        hex += pair;
    }
    if (terminated) hex += "00 00";
    return hex;
}

std::u16string repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

std::string ascii(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// A registry value's type and data, named where it is used.
using Value = nlohmann::json;
Value value(const std::string& type, const nlohmann::json& data) { return {{"type", type}, {"data", data}}; }
Value sz(const nlohmann::json& data) { return value("REG_SZ", data); }
Value hex(const std::string& type, const std::string& bytes) { return {{"type", type}, {"hex", bytes}}; }
// The text of a JSON string literal, for the characters that are hostile to write in C++.
nlohmann::json text(const char* json_string) { return nlohmann::json::parse(json_string); }

test::RegValue named(const std::wstring& name, Value v) {
    v["name"] = test::utf8(name);
    return {v};
}

struct Key {
    std::wstring path;
    std::vector<test::RegValue> values;
};

const std::wstring kMi03 = L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&1&0003";
const std::wstring kParent = L"USB\\VID_2A7D&PID_5E3C\\QV4";
const std::string kOtherGuid = "{0D5A1E37-2B6C-4F08-8E91-5C3B7A2D4F60}";
const std::wstring kSdkKey = L"HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";

Key os_values(const Value& product, const Value& version = sz("22H2"), const Value& build = sz("19045")) {
    return {L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
            {named(L"ProductName", product), named(L"DisplayVersion", version), named(L"CurrentBuildNumber", build)}};
}

// A machine with the device's parent and its MI_03 node (WinUSB bound).
test::MachineFile machine(const std::vector<Key>& registry, const std::vector<test::RegValue>& mi03_values = {},
                          const nlohmann::json& parent_fields = {{"friendly_name", "Vantro Q4"}, {"service", "usbccgp"}},
                          const test::Text& mi03_service = "WINUSB", const std::vector<nlohmann::json>& files = {}) {
    test::DeviceEntry parent = test::device(kParent);
    for (const auto& [name, field] : parent_fields.items()) parent.set(name, field);
    test::MachineFile m = test::machine_file();
    for (const Key& k : registry) m.key(k.path, k.values);
    return m.device(parent)
        .device(test::device(kMi03).parent(kParent).service(mi03_service).hardware_key(mi03_values))
        .files(files);
}

class HostileData : public ::testing::Test {
protected:
    void SetUp() override { dir = test::make_temp_dir("hostile"); }
    void TearDown() override { fs::remove_all(dir); }

    // Runs the binary; returns the report's lines after checking that it is well formed.
    std::vector<std::string> run(const test::MachineFile& machine) {
        write_machine(machine);
        const test::RunResult result = test::run_tool(dir / "machine.json", {"/nopause"});
        EXPECT_TRUE(result.stderr_text.empty()) << result.stderr_text;
        const auto reports = test::files_with_prefix(dir, "VQ4_Diag_Report_");
        EXPECT_EQ(reports.size(), 1u) << result.stdout_text;
        if (reports.empty()) return {};
        const std::string bytes = test::read_file_bytes(reports.front());
        for (const auto& r : reports) fs::remove(r);
        const test::ReportCheck check = test::check_report(bytes);
        EXPECT_TRUE(check.problems.empty()) << check.problems.front();
        EXPECT_EQ(result.exit_code, check.fail > 0 ? 1 : 0);
        std::string console_report, saved;
        EXPECT_TRUE(test::console_as_report(result.stdout_text, console_report, saved));
        EXPECT_EQ(console_report, bytes) << "the console shows what the file holds";
        return check.lines;
    }

    void write_machine(test::MachineFile machine) {
        // The machine's module path puts the report into this test's folder.
        machine.set("module_path", (dir / "VQ4_Diag").string()).set("local_time", "2026-03-04 05:06:07");
        std::ofstream(dir / "machine.json", std::ios::binary) << machine.text();
    }

    fs::path dir;
};

bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct Case {
    std::string name;
    test::MachineFile machine;
    std::vector<std::string> lines;  // each must be a line of the report
};

void expect_cases(const std::vector<Case>& cases,
                  const std::function<std::vector<std::string>(const test::MachineFile&)>& run) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> lines = run(c.machine);
        for (const std::string& wanted : c.lines) {
            EXPECT_TRUE(has(lines, wanted)) << "missing line: " << wanted;
        }
    }
}

std::string os_line(const std::string& product, const std::string& version = "22H2",
                    const std::string& build = "19045") {
    return "[ INFO ] OS: " + product + " (version " + version + ", build " + build + ")";
}

TEST_F(HostileData, WindowsVersionValues) {
    // 256 bytes fill the buffer: 127 characters and the NUL, or 128 characters without one.
    const std::u16string fits = u"Windows 10 Pro " + repeat(u'x', 112);
    const std::u16string full = fits + u"y";
    const std::vector<Case> cases = {
        {"127 characters and NUL: 256 bytes", machine({os_values(hex("REG_SZ", utf16_hex(fits, true)))}),
         {os_line(ascii(fits))}},
        {"128 characters and NUL: 258 bytes", machine({os_values(hex("REG_SZ", utf16_hex(full, true)))}),
         {os_line("?")}},
        {"128 characters without NUL: 256 bytes", machine({os_values(hex("REG_SZ", utf16_hex(full, false)))}),
         {os_line(ascii(full))}},
        {"a 32-bit value read as text", machine({os_values(value("REG_DWORD", "0x00420041"))}),
         {os_line("AB")}},
        {"a multi-string: its first string",
         machine({os_values(sz("Windows 10 Pro"), value("REG_MULTI_SZ", {"22H2", "x"}))}),
         {os_line("Windows 10 Pro")}},
        // A build number stored as a 32-bit value is one character beyond
        // U+00FF (0x5867), not a number: no Windows 11 rule.
        {"build number as a 32-bit value",
         machine({os_values(sz("Windows 10 Pro"), sz("23H2"), value("REG_DWORD", 22631))}),
         {os_line("Windows 10 Pro", "23H2", "?")}},
        {"an empty value", machine({os_values(hex("REG_SZ", ""))}), {os_line("")}},
    };
    expect_cases(cases, [this](const test::MachineFile& m) { return run(m); });
}

TEST_F(HostileData, TextsBeyondLatin1AndControlCharacters) {
    const std::vector<Case> cases = {
        // U+00C9 is Latin-1 (byte 0xC9); the en dash and the CJK character
        // become '?', and a character beyond U+FFFF (a surrogate pair) one '?'.
        {"product name beyond U+00FF",
         machine({os_values(sz(text(R"("Windows 10 Pro \u2013 \u00c9dition \u4e2d \ud83c\udfb5")")))}),
         {os_line("Windows 10 Pro ? \xC9" "dition ? ?")}},
        // A line of the report stays one line: no text from the system can
        // end it early, start a fake line or send terminal escapes.
        {"product name with line breaks",
         machine({os_values(sz(text(R"("Windows 10\r\n[  OK  ] all fine\u0000x")")))}),
         {os_line("Windows 10??[  OK  ] all fine")}},
        {"device description with control characters",
         machine({os_values(sz("W"))}, {},
                 {{"friendly_name", text(R"("Vantro\tQ4\u001b[31m\u007f\u0085!")")}, {"service", "usbccgp"}}),
         {"         Description: Vantro?Q4?[31m?" "?!"}},
        {"service name beyond U+00FF is not WinUSB",
         machine({os_values(sz("W"))}, {}, {{"service", "usbccgp"}}, L"WinUSB\u2013"),
         {"         Driver (service): WinUSB?", s3::winusb_not_bound("WinUSB?")}},
    };
    expect_cases(cases, [this](const test::MachineFile& m) { return run(m); });
}

TEST_F(HostileData, HardwareKeyValues) {
    const Key os = os_values(sz("W"));
    const auto values = [](const Value& revision, const std::vector<test::RegValue>& guid_values) {
        std::vector<test::RegValue> all = {named(L"RevisionId", revision), test::reg_qword(L"ExtPropDescSemaphore", 1)};
        all.insert(all.end(), guid_values.begin(), guid_values.end());
        return all;
    };
    const Value dword = value("REG_DWORD", 258);
    const std::u16string expected_guid = u"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
    // 63 characters without NUL are 126 bytes: read whole. 64 are 128 bytes: too long, not read.
    const std::u16string guid63 = u"{0D5A1E37-2B6C-4F08-8E91-5C3B7A2D4F60}" + repeat(u' ', 25);
    const std::u16string guid64 = guid63 + u" ";
    const std::vector<Case> cases = {
        {"RevisionId as text, semaphore as a 64-bit value",
         machine({os}, values(sz("258"), {})),
         {s3::parameters("(not available)", "(absent)", "(none)"), s3::kWinUsbWithoutGuid}},
        {"RevisionId of two bytes", machine({os}, values(hex("REG_DWORD", "02 01"), {})),
         {s3::parameters("0x0102", "(absent)", "(none)")}},
        {"RevisionId of eight bytes", machine({os}, values(hex("REG_DWORD", "02 01 00 00 00 00 00 00"), {})),
         {s3::parameters("(not available)", "(absent)", "(none)")}},
        {"DeviceInterfaceGUID of 126 bytes",
         machine({os}, values(dword, {test::reg_hex(L"DeviceInterfaceGUID", "REG_SZ", utf16_hex(guid63, false))})),
         {s3::parameters("0x0102", "(absent)", ascii(guid63)), s3::kNoActiveInterface}},
        {"DeviceInterfaceGUID of 128 bytes",
         machine({os}, values(dword, {test::reg_hex(L"DeviceInterfaceGUID", "REG_SZ", utf16_hex(guid64, false))})),
         {s3::parameters("0x0102", "(absent)", "(none)"), s3::kWinUsbWithoutGuid}},
        {"DeviceInterfaceGUIDs without any terminator, as REG_BINARY",
         machine({os},
                 values(dword, {test::reg_hex(L"DeviceInterfaceGUIDs", "REG_BINARY", utf16_hex(expected_guid, false))})),
         {s3::parameters("0x0102", "(absent)", ascii(expected_guid)), s3::kNoActiveInterface}},
        {"DeviceInterfaceGUIDs as a plain string, then a second unterminated string of odd length",
         machine({os}, values(dword, {test::reg_hex(L"DeviceInterfaceGUIDs", "REG_SZ",
                                                    utf16_hex(expected_guid, true) + " 7B 00 41")})),
         {s3::parameters("0x0102", "(absent)", ascii(expected_guid) + ", {A"),
          "[ WARN ] GUID found in the registry but unreadable: {A", s3::kNoActiveInterface}},
        {"registered texts beyond U+00FF and with control characters",
         machine({os}, values(dword, {test::reg_multi_sz(L"DeviceInterfaceGUIDs", {L"{\u2013}", L"a\r\nb"})})),
         {s3::parameters("0x0102", "(absent)", "{?}, a??b"), "[ WARN ] GUID found in the registry but unreadable: {?}",
          "[ WARN ] GUID found in the registry but unreadable: a??b"}},
    };
    expect_cases(cases, [this](const test::MachineFile& m) { return run(m); });
}

// Every reader of a text value keeps an odd last byte as a character, as the
// zeroed buffer the system copies the value into gives it.
TEST_F(HostileData, OddLengthValuesKeepTheirLastByte) {
    const Key os = os_values(sz("W"));
    const Key sdk_key = {kSdkKey, {test::reg_hex(L"", "REG_SZ", utf16_hex(u"C:\\SDK\\qtv_api_core.dl", false) + "6C")}};
    const Key uninstall = {L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QS",
                           {test::reg_hex(L"DisplayName", "REG_SZ", utf16_hex(u"Quorvane Suit", false) + "65"),
                            test::reg_hex(L"InstallLocation", "REG_SZ", "43 00 3A 00 5C 00 51")}};
    const std::vector<Case> cases = {
        {"section 1: the product name", machine({os_values(hex("REG_SZ", "57 00 69 00 6E"))}),
         {os_line("Win")}},
        {"section 4: the SDK path", machine({os, sdk_key}),
         {"[ INFO ] Path declared (64-bit view): C:\\SDK\\qtv_api_core.dll"}},
        {"section 6: an Uninstall entry's name and folder", machine({os, uninstall}),
         {"[ INFO ] Installed program: Quorvane Suite", "         Install folder: C:\\Q"}},
        {"section 3: DeviceInterfaceGUID of odd length",
         machine({os},
                 {test::reg_hex(L"DeviceInterfaceGUID", "REG_SZ", utf16_hex(u"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", false) + "7D")}),
         {s3::parameters("(not available)", "(absent)", "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}")}},
    };
    expect_cases(cases, [this](const test::MachineFile& m) { return run(m); });
}

TEST_F(HostileData, SdkRegistrationPathAndConfigurationFile) {
    const Key os = os_values(sz("W"));
    const std::string config_shown = R"(C:\SDK\vxlinkapi_x64.dll.config.ini)";
    // The SDK's registration: its default value, REG_SZ unless `v` names another type.
    const auto registration = [](Value v) {
        if (!v.contains("type")) v["type"] = "REG_SZ";
        return Key{kSdkKey, {named(L"", v)}};
    };
    const auto file = [&config_shown](const nlohmann::json& content) { return test::file_entry(config_shown, content); };
    const nlohmann::json good_ini = file({{"text", "[DriverInterface]\r\nInterfaceGUID=" + kOtherGuid + "\r\n"}});
    // 259 characters and the NUL fill the 520-byte buffer; 260 and the NUL do not fit.
    const std::u16string path259 = u"C:\\SDK\\" + repeat(u'q', 248) + u".dll";
    const std::u16string path260 = u"C:\\SDK\\" + repeat(u'q', 249) + u".dll";
    std::string binary;
    for (int i = 0; i < 4096; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", (i * 7 + 3) & 0xFF);
        binary += b;
    }
    // About 4 MB of comment lines before the section.
    std::string huge_text;
    for (int i = 0; i < 60000; ++i) huge_text += "; padding line of the configuration file, number " + std::to_string(i) + "\r\n";
    huge_text += "[DriverInterface]\r\nInterfaceGUID=" + kOtherGuid + "\r\n";

    const std::vector<Case> cases = {
        {"path of 520 bytes with its NUL",
         machine({os, registration({{"hex", utf16_hex(path259, true)}})}, {}, {{"service", "usbccgp"}}, "WINUSB",
                 {good_ini}),
         {s3::expected(kOtherGuid, config_shown)}},
        {"path of 520 bytes without NUL",
         machine({os, registration({{"hex", utf16_hex(path260, false)}})}, {}, {{"service", "usbccgp"}}, "WINUSB",
                 {good_ini}),
         {s3::expected(kOtherGuid, config_shown)}},
        {"path of 522 bytes", machine({os, registration({{"hex", utf16_hex(path260, true)}})}, {},
                                      {{"service", "usbccgp"}}, "WINUSB", {good_ini}),
         {s3::expected()}},
        {"path stored as a 32-bit value: its bytes are read as text",
         machine({os, registration(hex("REG_DWORD", utf16_hex(u"C:/SDK/core.dll", true)))}, {},
                 {{"service", "usbccgp"}}, "WINUSB", {good_ini}),
         {s3::expected(kOtherGuid, "C:/SDK/vxlinkapi_x64.dll.config.ini")}},
        {"binary configuration file",
         machine({os, registration(sz("C:\\SDK\\qtv_api_core.dll"))}, {}, {{"service", "usbccgp"}}, "WINUSB",
                 {file({{"hex", binary}})}),
         {s3::expected()}},
        {"huge configuration file with the key at its end",
         machine({os, registration(sz("C:\\SDK\\qtv_api_core.dll"))}, {}, {{"service", "usbccgp"}}, "WINUSB",
                 {file({{"text", huge_text}})}),
         {s3::expected(kOtherGuid, config_shown)}},
    };
    expect_cases(cases, [this](const test::MachineFile& m) { return run(m); });
}

}  // namespace
}  // namespace vq4
