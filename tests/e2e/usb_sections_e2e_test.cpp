// Sections 1 and 2 of the real Linux binary on every machine file under
// machines/. The expected lines are built here from the machine file's
// registry values and device nodes by the report's own rules and texts, and
// for the machines of this folder also written out in full.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/sim/json_reader.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// ---- Expected lines from a machine file ----

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

bool has_nocase(const std::wstring& haystack, const std::wstring& needle) {
    return upper(haystack).find(upper(needle)) != std::wstring::npos;
}

std::uint64_t number(const json& value) {
    if (value.is_string()) return std::stoull(value.get<std::string>(), nullptr, 0);
    return value.get<std::uint64_t>();
}

std::vector<std::uint8_t> utf16(const std::wstring& text, bool terminated) {
    std::vector<std::uint8_t> bytes;
    for (const wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

std::vector<std::uint8_t> hex_bytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::string digits;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The bytes a registry value of the machine file holds.
std::vector<std::uint8_t> value_bytes(const json& value) {
    if (value.contains("hex")) return hex_bytes(value["hex"].get<std::string>());
    const json& type = value["type"];
    const std::string name = type.is_string() ? type.get<std::string>() : std::to_string(number(type));
    const json& data = value["data"];
    if (name == "REG_SZ" || name == "REG_EXPAND_SZ" || name == "1" || name == "2") {
        return utf16(sim::widen_utf8(data.get<std::string>()), true);
    }
    if (name == "REG_MULTI_SZ" || name == "7") {
        std::vector<std::uint8_t> bytes;
        for (const json& item : data) {
            const auto part = utf16(sim::widen_utf8(item.get<std::string>()), true);
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        bytes.insert(bytes.end(), {0, 0});
        return bytes;
    }
    const std::uint64_t v = number(data);
    const int size = (name == "REG_QWORD" || name == "11") ? 8 : 4;
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return bytes;
}

// Text of bytes read into a zeroed buffer of `capacity` bytes: up to the
// first NUL unit (an odd last byte and the zero after it are one more unit),
// or nothing when the data do not fit.
std::optional<std::wstring> read_text(const std::vector<std::uint8_t>& bytes, std::size_t capacity) {
    if (bytes.size() > capacity) return std::nullopt;
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const unsigned high = i + 1 < bytes.size() ? bytes[i + 1] : 0u;
        const wchar_t c = static_cast<wchar_t>(bytes[i] | (high << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

std::wstring canonical_key(const std::wstring& path) {
    const std::wstring u = upper(path);
    if (u.rfind(L"HKEY_LOCAL_MACHINE\\", 0) == 0) return L"HKLM\\" + path.substr(19);
    return path;
}

// Windows 11 rule: a build of 22000 or more still says "Windows 10".
std::wstring shown_product(std::wstring product, const std::wstring& build) {
    std::size_t i = 0;
    while (i < build.size() && (build[i] == L' ' || (build[i] >= L'\t' && build[i] <= L'\r'))) ++i;
    bool negative = false;
    if (i < build.size() && (build[i] == L'+' || build[i] == L'-')) negative = build[i++] == L'-';
    long long value = 0;
    std::size_t digits = 0;
    for (; i < build.size() && build[i] >= L'0' && build[i] <= L'9' && value <= 0x7FFFFFFFLL + 1; ++i, ++digits) {
        value = value * 10 + (build[i] - L'0');
    }
    if (negative) value = -value;
    if (digits == 0 || value > 0x7FFFFFFFLL || value < -0x80000000LL) return product;
    const std::size_t at = product.find(L"Windows 10");
    if (value >= 22000 && product.size() >= 10 && at != std::wstring::npos) product.replace(at, 10, L"Windows 11");
    return product;
}

// A text from the system as a report line shows it: control characters,
// and a character beyond U+FFFF (a surrogate pair), each as one '?'.
std::wstring shown(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                          text[i + 1] <= 0xDFFF;
        out.push_back(c < 0x20 || (c >= 0x7F && c <= 0x9F) || pair ? L'?' : c);
        if (pair) ++i;
    }
    return out;
}

// Each line as written: "\n" ends it.
std::wstring expected_sections(const json& machine) {
    const std::wstring version_key = L"HKLM\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION";
    bool key_exists = false;
    std::map<std::wstring, std::vector<std::uint8_t>> values;  // by upper-case name
    for (const json& key : machine.value("registry", json::array())) {
        const std::wstring path = upper(canonical_key(sim::widen_utf8(key["key"].get<std::string>())));
        if (path == version_key || path.rfind(version_key + L"\\", 0) == 0) key_exists = true;
        if (path != version_key) continue;
        for (const json& value : key.value("values", json::array())) {
            values[upper(sim::widen_utf8(value["name"].get<std::string>()))] = value_bytes(value);
        }
    }
    const auto version_text = [&](const wchar_t* name) -> std::wstring {
        const auto found = values.find(upper(name));
        if (!key_exists || found == values.end()) return L"?";
        return read_text(found->second, 256).value_or(L"?");
    };
    const std::wstring product = version_text(L"ProductName");
    const std::wstring display = version_text(L"DisplayVersion");
    const std::wstring build = version_text(L"CurrentBuildNumber");
    // The host's machine as IsWow64Process2 names it; GetNativeSystemInfo's
    // architecture only where kernel32 lacks that function.
    const std::uint64_t arch = machine.contains("native_architecture") ? number(machine["native_architecture"]) : 9;
    std::wstring arch_name = arch == 9 ? L"x64" : arch == 12 ? L"ARM64" : arch == 0 ? L"x86" : L"unknown";
    if (machine.value("is_wow64_process2", true) && machine.contains("native_machine")) {
        const std::uint64_t native = number(machine["native_machine"]);
        arch_name = native == 0x8664 ? L"x64" : native == 0xAA64 ? L"ARM64" : native == 0x014C ? L"x86" : L"unknown";
    }

    std::wstring out = L"\n==== 1. System information ====\n";
    out += L"[ INFO ] OS: " + shown(shown_product(product, build)) + L" (version " + shown(display) + L", build " +
           shown(build) + L")\n";
    out += L"[ INFO ] System architecture: " + arch_name + L"\n";
    out += L"[ INFO ] This diagnostic tool was built as: x64\n";
    out += L"\n==== 2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4) ====\n";

    const auto property = [](const json& device, const char* name) -> std::wstring {
        if (!device.contains(name)) return L"";
        return read_text(utf16(sim::widen_utf8(device[name].get<std::string>()), true), 1024).value_or(L"");
    };
    std::wstring nodes;
    int count = 0;
    for (const json& device : machine.value("devices", json::array())) {
        const std::wstring id = sim::widen_utf8(device["instance_id"].get<std::string>());
        if (!device.value("present", true)) continue;
        if (upper(id.substr(0, id.find(L'\\'))) != L"USB" || !has_nocase(id, L"VID_2A7D&PID_5E3C")) continue;
        ++count;
        const std::wstring u = upper(id);
        const std::size_t mi = u.find(L"&MI_");
        const std::wstring role =
            mi == std::wstring::npos ? L"composite device (parent)" : L"interface MI_" + u.substr(mi + 4, 2);
        nodes += L"[ INFO ] " + role + L": " + shown(id) + L"\n";
        std::wstring description = property(device, "friendly_name");
        if (description.empty()) description = property(device, "device_desc");
        if (!description.empty()) nodes += L"         Description: " + shown(description) + L"\n";
        const std::wstring service = shown(property(device, "service"));
        nodes += L"         Driver (service): " + (service.empty() ? std::wstring(L"(none)") : service) + L"\n";
        const std::uint64_t problem = device.contains("problem") ? number(device["problem"]) : 0;
        if (device.contains("status_result") && number(device["status_result"]) != 0) {
            nodes += L"[ WARN ]   -> Unable to query this node's state (CM_Get_DevNode_Status failed).\n";
        } else if (problem != 0) {
            static const std::map<std::uint64_t, std::wstring> texts = {
                {1, L"device is not configured correctly"},
                {10, L"this device cannot start"},
                {18, L"drivers need to be reinstalled"},
                {22, L"device is disabled (via Device Manager)"},
                {24, L"device is not present / unplugged (phantom state)"},
                {28, L"drivers are not installed for this device"},
                {45, L"device is currently not plugged in (phantom state, last known driver kept)"},
                {48, L"driver blocked by Windows (compatibility or signature)"},
            };
            const auto known = texts.find(problem);
            nodes += L"[ FAIL ]   -> Problem reported by Windows: " +
                     (known != texts.end() ? known->second
                                           : L"problem code CM_PROB=" + std::to_wstring(problem) +
                                                 L" (see Microsoft docs)") +
                     L"\n";
        } else {
            nodes += L"[  OK  ]   -> Driver active, no problem reported by Windows.\n";
        }
    }
    if (count == 0) {
        out += L"[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged "
               L"in (check the cable, the USB port, or that the device is powered on).\n";
    } else {
        out += L"[  OK  ] Device detected: " + std::to_wstring(count) + L" USB node(s) found.\n" + nodes;
    }
    return out;
}

// A fault on one of the calls that sections 1 and 2 make (they are the first
// calls of the run) changes what these rules predict: such a machine needs
// its sections written out below. Faults on later calls do not matter here.
bool faults_touch_sections(const json& machine) {
    std::uint64_t present = 0, matched = 0;
    for (const json& device : machine.value("devices", json::array())) {
        const std::wstring id = sim::widen_utf8(device["instance_id"].get<std::string>());
        if (!device.value("present", true) || upper(id.substr(0, id.find(L'\\'))) != L"USB") continue;
        ++present;
        if (has_nocase(id, L"VID_2A7D&PID_5E3C")) ++matched;
    }
    const std::map<std::string, std::uint64_t> calls = {
        {"RegOpenKeyExW", 1},
        {"RegQueryValueExW", 3},
        {"IsWow64Process2", 1},
        {"GetNativeSystemInfo", 1},
        {"SetupDiGetClassDevsW", 1},
        {"SetupDiEnumDeviceInfo", present + 1},
        {"SetupDiGetDeviceInstanceIdW", present},
        {"SetupDiGetDeviceRegistryPropertyW", 3 * matched},
        {"CM_Get_DevNode_Status", matched},
    };
    for (const json& fault : machine.value("faults", json::array())) {
        const auto made = calls.find(fault["operation"].get<std::string>());
        const std::uint64_t nth = fault.contains("nth") ? number(fault["nth"]) : 1;
        if (made != calls.end() && nth <= made->second) return true;
    }
    return false;
}

// ---- Running the tool ----

// Report text (Latin-1, CR LF) and console text (UTF-8, LF) of a wide text.
std::string file_bytes(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        if (c == L'\n') {
            out += "\r\n";
        } else {
            out.push_back(static_cast<std::uint32_t>(c) <= 0xFF ? static_cast<char>(c) : '?');
        }
    }
    return out;
}

std::string console_bytes(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        const std::uint32_t u = static_cast<std::uint32_t>(c) <= 0xFF ? static_cast<std::uint32_t>(c) : '?';
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

// From the section 1 header up to the header after section 2's.
std::string sections_1_and_2(const std::string& text, const std::string& newline) {
    const std::string first = newline + "==== 1. ";
    const std::size_t start = text.find(first);
    if (start == std::string::npos) return "(no section 1 header)";
    const std::size_t second = text.find(newline + "==== 2. ", start);
    if (second == std::string::npos) return "(no section 2 header)";
    const std::size_t end = text.find(newline + "==== ", second + newline.size());
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct ToolRun {
    std::string report;
    std::string console;
    int exit_code = -1;
};

ToolRun run_on(const fs::path& machine_file) {
    json machine = json::parse(test::read_file_bytes(machine_file));
    const fs::path dir = test::make_temp_dir("sections12");
    machine["module_path"] = (dir / "VQ4_Diag.exe").string();
    machine["local_time"] = "2026-05-06 07:08:09";
    const fs::path copy = dir / machine_file.filename();
    std::ofstream(copy, std::ios::binary) << machine.dump(2);

    const test::RunResult result = test::run_tool(copy, {"/nopause", "/nofix"});
    ToolRun run;
    run.exit_code = result.exit_code;
    run.console = result.stdout_text;
    run.report = test::read_file_bytes(dir / "VQ4_Diag_Report_20260506_070809.txt");
    EXPECT_TRUE(result.stderr_text.empty()) << result.stderr_text;
    fs::remove_all(dir);
    return run;
}

std::vector<fs::path> machine_files() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(VQ4_SOURCE_DIR) / "machines")) {
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// ---- Sections written out, for the machines of this folder ----

const std::wstring kSection2Header = L"\n==== 2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4) ====\n";

std::wstring section1(const std::wstring& os, const std::wstring& arch) {
    return L"\n==== 1. System information ====\n"
           L"[ INFO ] OS: " + os + L"\n"
           L"[ INFO ] System architecture: " + arch + L"\n"
           L"[ INFO ] This diagnostic tool was built as: x64\n";
}

const std::wstring kActive = L"[  OK  ]   -> Driver active, no problem reported by Windows.\n";

const std::map<std::string, std::wstring>& written_out() {
    static const std::map<std::string, std::wstring> sections = {
        {"default.json",
         section1(L"Windows 11 Pro (version 23H2, build 22631)", L"x64") + kSection2Header +
             L"[  OK  ] Device detected: 4 USB node(s) found.\n"
             L"[ INFO ] composite device (parent): USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D\n"
             L"         Description: Vantro Q4\n"
             L"         Driver (service): usbccgp\n" + kActive +
             L"[ INFO ] interface MI_00: USB\\VID_2A7D&PID_5E3C&MI_00\\6&3A2B1C0D&0&0000\n"
             L"         Description: Vantro Q4 Audio\n"
             L"         Driver (service): usbaudio2\n" + kActive +
             L"[ INFO ] interface MI_01: USB\\VID_2A7D&PID_5E3C&MI_01\\6&3A2B1C0D&0&0001\n"
             L"         Description: Vantro Q4 Control\n"
             L"         Driver (service): usbaudio2\n" + kActive +
             L"[ INFO ] interface MI_03: USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003\n"
             L"         Description: Vantro Q4 Vendor Interface\n"
             L"         Driver (service): WINUSB\n" + kActive},
        {"device-absent.json",
         section1(L"Windows 10 Home (version 22H2, build 19045)", L"ARM64") + kSection2Header +
             L"[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged "
             L"in (check the cable, the USB port, or that the device is powered on).\n"},
        // An x64 process on ARM64: GetNativeSystemInfo answers x64, IsWow64Process2 names ARM64.
        {"host-arm64.json",
         section1(L"Windows 11 Pro (version 24H2, build 26100)", L"ARM64") + kSection2Header +
             L"[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged "
             L"in (check the cable, the USB port, or that the device is powered on).\n"},
        {"node-problems.json",
         section1(L"Windows 11 Pro for Workstations (version ?, build 22621)", L"x64") + kSection2Header +
             L"[  OK  ] Device detected: 5 USB node(s) found.\n"
             L"[ INFO ] composite device (parent): USB\\VID_2A7D&PID_5E3C\\QV4E5F60718\n"
             L"         Description: USB Composite Device\n"
             L"         Driver (service): usbccgp\n" + kActive +
             L"[ INFO ] interface MI_00: USB\\VID_2A7D&PID_5E3C&MI_00\\6&11AA22BB&0&0000\n"
             L"         Description: Vantro Q4 Audio\n"
             L"         Driver (service): usbaudio2\n"
             L"[ FAIL ]   -> Problem reported by Windows: device is disabled (via Device Manager)\n"
             L"[ INFO ] interface MI_01: USB\\VID_2A7D&PID_5E3C&MI_01\\6&11AA22BB&0&0001\n"
             L"         Driver (service): usbaudio2\n"
             L"[ FAIL ]   -> Problem reported by Windows: problem code CM_PROB=31 (see Microsoft docs)\n"
             L"[ INFO ] interface MI_02: USB\\VID_2A7D&PID_5E3C&MI_02\\6&11AA22BB&0&0002\n"
             L"         Description: USB Input Device\n"
             L"         Driver (service): HidUsb\n"
             L"[ WARN ]   -> Unable to query this node's state (CM_Get_DevNode_Status failed).\n"
             L"[ INFO ] interface MI_03: USB\\VID_2A7D&PID_5E3C&MI_03\\6&11AA22BB&0&0003\n"
             L"         Description: Vantro Q4 Vendor Interface\n"
             L"         Driver (service): (none)\n"
             L"[ FAIL ]   -> Problem reported by Windows: drivers are not installed for this device\n"},
        {"lowercase-ids.json",
         section1(L"windows 10 pro (version 23H2, build 22631)", L"x64") + kSection2Header +
             L"[  OK  ] Device detected: 4 USB node(s) found.\n"
             L"[ INFO ] interface MI_03: usb\\vid_2a7d&pid_5e3c&mi_03\\6&2c4e6a8&0&0003\n"
             L"         Description: Vantro Q4 Vendor Interface\n"
             L"         Driver (service): WinUSB\n" + kActive +
             L"[ INFO ] composite device (parent): usb\\vid_2a7d&pid_5e3c\\qv4a9f8e7d6\n"
             L"         Description: Vantro Q4\n"
             L"         Driver (service): usbccgp\n" + kActive +
             L"[ INFO ] interface MI_00: usb\\vid_2a7d&pid_5e3c&mi_00\\6&2c4e6a8&0&0000\n"
             L"         Description: Vantro Q4 Audio\n"
             L"         Driver (service): usbaudio2\n" + kActive +
             L"[ INFO ] interface MI_01: usb\\vid_2a7d&pid_5e3c&mi_01\\6&2c4e6a8&0&0001\n"
             L"         Description: Vantro Q4 Control\n"
             L"         Driver (service): usbaudio2\n" + kActive},
    };
    return sections;
}

TEST(MachineFiles, SectionsOneAndTwoOnEveryMachine) {
    const std::vector<fs::path> files = machine_files();
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const json machine = json::parse(test::read_file_bytes(file));
        const auto written = written_out().find(file.filename().string());
        const ToolRun run = run_on(file);
        ASSERT_FALSE(run.report.empty()) << "no report written";
        const std::string report = sections_1_and_2(run.report, "\r\n");
        const std::string console = sections_1_and_2(run.console, "\n");

        if (written != written_out().end()) {
            EXPECT_EQ(report, file_bytes(written->second));
            EXPECT_EQ(console, console_bytes(written->second));
        }
        if (faults_touch_sections(machine)) {
            EXPECT_NE(written, written_out().end()) << "faults on the calls of sections 1 and 2: write its sections out";
            continue;
        }
        const std::wstring expected = expected_sections(machine);
        EXPECT_EQ(report, file_bytes(expected));
        EXPECT_EQ(console, console_bytes(expected));
    }
}

TEST(MachineFiles, DeviceAbsentFailsTheRun) {
    // The absent device is a Fail line: whatever else the run finds, it exits with 1.
    const ToolRun run = run_on(fs::path(VQ4_SOURCE_DIR) / "machines" / "device-absent.json");
    EXPECT_EQ(run.exit_code, 1);
}

}  // namespace
}  // namespace vq4
