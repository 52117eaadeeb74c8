// "/capture": a run writes what it read of the machine as a machine file,
// and the simulated machine replays that file to the same report.
//
// The round trip runs on every machine file of machines/: capture, replay
// the capture (itself with /capture), compare the two reports line by line,
// and the capture of the replay with the first capture byte for byte. What
// belongs to one run only (the folder, the time in the file names) is
// written in a fixed form first.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const fs::path kMachines = fs::path(VQ4_SOURCE_DIR) / "machines";
// The SDK's CLSID, under which its registration is read.
constexpr const char* kSdkClsid = "{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string normalised(const std::string& text, const fs::path& folder) {
    static const std::regex kStamp("VQ4_Diag_(Report|Machine)_[0-9]{8}_[0-9]{6}");
    return std::regex_replace(replace_all(text, folder.string(), "<folder>"), kStamp, "VQ4_Diag_$1_YYYYMMDD_hhmmss");
}

struct CaptureRun {
    fs::path dir;
    test::RunResult result;
    std::string report;   // the text report, normalised
    fs::path capture;     // the machine file written, empty when none
};

// Runs a copy of the binary in a fresh folder, so that its files land there.
CaptureRun run_in_fresh_folder(const fs::path& machine, const std::vector<std::string>& arguments,
                               const test::Environment& environment = {}) {
    CaptureRun run;
    run.dir = test::make_temp_dir("capture");
    const fs::path binary = run.dir / "VQ4_Diag";
    fs::copy_file(VQ4_DIAG_BINARY, binary);
    run.result = test::run_tool(machine, arguments, "", environment, binary);
    const std::vector<fs::path> reports = test::files_with_prefix(run.dir, "VQ4_Diag_Report_");
    if (reports.size() == 1) run.report = normalised(test::read_file_bytes(reports[0]), run.dir);
    const std::vector<fs::path> captures = test::files_with_prefix(run.dir, "VQ4_Diag_Machine_");
    if (captures.size() == 1) run.capture = captures[0];
    return run;
}

std::vector<std::string> machine_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kMachines)) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end + 2;
    }
    return lines;
}

// The redaction's placeholders ("[profile]", "[user]", "[computer]",
// "[serial-N]").
const std::regex kPlaceholder(R"(\[(profile|user|computer|serial-[0-9]+)\])");

// Whether `replayed` is `customer`'s line with placeholders where texts of
// the customer's PC were: each placeholder stands for a non-empty text.
bool same_but_placeholders(const std::string& customer, const std::string& replayed) {
    if (customer == replayed) return true;
    static const std::regex kSpecial(R"([.^$|()\[\]{}*+?\\])");
    std::string pattern;
    std::size_t at = 0;
    for (auto it = std::sregex_iterator(replayed.begin(), replayed.end(), kPlaceholder); it != std::sregex_iterator(); ++it) {
        pattern += std::regex_replace(replayed.substr(at, it->position() - at), kSpecial, "\\$&") + "(.+)";
        at = it->position() + it->length();
    }
    if (at == 0) return false;
    pattern += std::regex_replace(replayed.substr(at), kSpecial, "\\$&");
    return std::regex_match(customer, std::regex(pattern));
}

// The lines of two reports that differ other than by placeholders.
std::string lines_not_matching(const std::vector<std::string>& customer, const std::vector<std::string>& replayed) {
    std::string differences;
    if (customer.size() != replayed.size()) differences += "line counts differ\n";
    for (std::size_t i = 0; i < std::min(customer.size(), replayed.size()); ++i) {
        if (!same_but_placeholders(customer[i], replayed[i])) differences += customer[i] + "\n  ->\n" + replayed[i] + "\n";
    }
    return differences;
}

const std::string kCaptureLine = "[ INFO ] Machine capture written to: <folder>\\VQ4_Diag_Machine_YYYYMMDD_hhmmss.json";
// The capture's own block after the summary's verdict: its header, then
// (with /fix) the line saying the repair was skipped, then where it went.
const std::string kCaptureHeader = "==== Machine capture ====";
const std::string kRepairSkippedLine =
    "[ INFO ] The repair was not run: /capture records this PC as it was found, so /fix is not applied.";

// The names the docs' "What a capture holds" gives in backticks: the text
// from that heading to the next heading of its level or above.
std::set<std::string> documented_capture_members() {
    const std::string docs = test::read_file_bytes(fs::path(VQ4_SOURCE_DIR) / "docs" / "machine-file.md");
    const std::string heading = "### What a capture holds";
    const std::size_t begin = docs.find(heading);
    if (begin == std::string::npos) return {};
    const std::size_t end = std::min(docs.find("\n## ", begin), docs.find("\n### ", begin + heading.size()));
    const std::string section = docs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    std::set<std::string> names;
    static const std::regex kQuoted("`([A-Za-z0-9_]+)`");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), kQuoted); it != std::sregex_iterator(); ++it) {
        names.insert((*it)[1]);
    }
    return names;
}

// Every member name at every depth of a capture ("registry", "values",
// "hex", ...), except the names of `environment`, which are the variables'.
void collect_members(const json& value, std::set<std::string>& names) {
    if (value.is_array()) {
        for (const json& element : value) collect_members(element, names);
    } else if (value.is_object()) {
        for (const auto& [name, member] : value.items()) {
            names.insert(name);
            if (name != "environment") collect_members(member, names);
        }
    }
}

std::string members_the_docs_do_not_name(const fs::path& capture) {
    static const std::set<std::string> documented = documented_capture_members();
    std::set<std::string> members;
    collect_members(json::parse(test::read_file_bytes(capture)), members);
    std::string missing;
    for (const std::string& name : members) {
        if (documented.count(name) == 0) missing += name + " ";
    }
    return missing;
}

void check_round_trip(const std::string& name);

TEST(CaptureReplay, EveryMachineReplaysToTheSameReportAndCapture) {
    const std::vector<std::string> names = machine_names();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        check_round_trip(name);
    }
}

void check_round_trip(const std::string& name) {
    {
        const CaptureRun captured = run_in_fresh_folder(kMachines / (name + ".json"), {"/nopause", "/capture"});
        ASSERT_TRUE(captured.result.stderr_text.empty()) << captured.result.stderr_text;
        ASSERT_FALSE(captured.capture.empty()) << captured.result.stdout_text;
        // The capture is named after the report and announced by one Info line at its end.
        const std::vector<std::string> lines = lines_of(captured.report);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.back(), kCaptureLine);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kCaptureLine), 1);
        // In a block of its own after the summary's verdict; without /fix no word of the repair.
        EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end() - 1), (std::vector<std::string>{"", kCaptureHeader}));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kRepairSkippedLine), 0);

        // The docs' list of what a capture holds names every member it has.
        EXPECT_EQ(members_the_docs_do_not_name(captured.capture), "");

        const CaptureRun replayed = run_in_fresh_folder(captured.capture, {"/nopause", "/capture"});
        ASSERT_TRUE(replayed.result.stderr_text.empty()) << replayed.result.stderr_text;
        // The customer's report, with placeholders where the capture left out
        // what names the user, the PC and the other devices.
        EXPECT_EQ(lines_not_matching(lines, lines_of(replayed.report)), "");
        EXPECT_EQ(replayed.result.exit_code, captured.result.exit_code);
        ASSERT_FALSE(replayed.capture.empty());
        EXPECT_EQ(test::read_file_bytes(replayed.capture), test::read_file_bytes(captured.capture));

        // The replay as a user starts it: the same lines up to the summary;
        // without /capture or /nofix the repair section follows.
        const CaptureRun plain = run_in_fresh_folder(captured.capture, {"/nopause"});
        std::vector<std::string> expected(lines.begin(), lines.end() - 3);
        const std::vector<std::string> replay_lines = lines_of(plain.report);
        ASSERT_GE(replay_lines.size(), expected.size()) << plain.report;
        EXPECT_EQ(lines_not_matching(expected, std::vector<std::string>(replay_lines.begin(),
                                                                         replay_lines.begin() + expected.size())),
                  "");

        for (const fs::path& dir : {captured.dir, replayed.dir, plain.dir}) fs::remove_all(dir);
    }
}

// /capture never repairs, even when asked to: a capture is the machine as
// it was found.
TEST(CaptureReplay, CaptureRunsWithoutTheRepair) {
    const CaptureRun run =
        run_in_fresh_folder(kMachines / "repair-step1-works.json", {"/nopause", "/fix", "/capture"});
    const CaptureRun nofix = run_in_fresh_folder(kMachines / "repair-step1-works.json", {"/nopause", "/nofix"});
    ASSERT_FALSE(run.capture.empty());
    EXPECT_EQ(run.report, nofix.report + "\r\n" + kCaptureHeader + "\r\n" + kRepairSkippedLine + "\r\n" + kCaptureLine + "\r\n");
    EXPECT_EQ(run.result.exit_code, nofix.result.exit_code);
    EXPECT_EQ(test::files_with_prefix(run.dir, "VQ4_Diag_Backup_").size(), 0u);
    fs::remove_all(run.dir);
    fs::remove_all(nofix.dir);
}

// Only what the run read, of the device and of the software that matched:
// the other devices, programs, processes and services stay out.
TEST(CaptureReplay, CaptureHoldsOnlyWhatTheRunRead) {
    const fs::path dir = test::make_temp_dir("capture-privacy");
    json machine = json::parse(test::read_file_bytes(kMachines / "related-software.json"));
    machine["devices"].push_back({{"instance_id", "USB\\VID_046D&PID_C52B\\PRIVATE-MOUSE-SERIAL"},
                                  {"friendly_name", "Private Mouse"}});
    machine["registry"].push_back(
        {{"key", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PrivateTaxApp"},
         {"values", {{{"name", "DisplayName"}, {"type", "REG_SZ"}, {"data", "Private Tax App 2026"}}}}});
    machine["processes"].push_back({{"pid", 777}, {"exe", "private_diary.exe"}});
    machine["services"].push_back({{"name", "PrivateVpn"}, {"display_name", "Private VPN Service"}, {"state", "running"}});
    std::ofstream(dir / "machine.json", std::ios::binary) << machine.dump();

    const CaptureRun run = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/capture"});
    ASSERT_FALSE(run.capture.empty()) << run.result.stderr_text;
    const std::string text = test::read_file_bytes(run.capture);
    for (const std::string secret : {"PRIVATE-MOUSE", "Private Mouse", "PrivateTaxApp", "Private Tax App",
                                     "private_diary", "PrivateVpn", "Private VPN"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
    // What matched is there: the maker's program, process and service.
    const json captured = json::parse(text);
    ASSERT_TRUE(captured.contains("processes"));
    ASSERT_TRUE(captured.contains("services"));
    // (names with "Quorvane", "Vantro" or "QTV", in any case)
    const auto matches = [](std::string name) {
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        return name.find("quorvane") != std::string::npos || name.find("vantro") != std::string::npos ||
               name.find("qtv") != std::string::npos;
    };
    for (const json& process : captured["processes"]) EXPECT_TRUE(matches(process["exe"])) << process.dump();
    for (const json& service : captured["services"]) {
        EXPECT_TRUE(matches(service["name"]) || matches(service["display_name"])) << service.dump();
    }
    fs::remove_all(dir);
    fs::remove_all(run.dir);
}

// A PC with a per-user SDK (registered under HKCU\Software\Classes, its
// files and Uninstall entry under the profile), the device behind a dock whose hub carries the dock's
// serial number, and a second product of the maker that the SDK lists.
json per_user_dock_machine() {
    json machine = json::parse(test::read_file_bytes(kMachines / "sdk_two_devices.json"));
    const std::string profile = "C:\\Users\\jdoe.CORP";
    const std::string sdk_folder = profile + "\\AppData\\Local\\Quorvane\\Tonvela SDK";
    machine["environment"] = {{"USERPROFILE", profile},
                              {"USERNAME", "jdoe"},
                              {"COMPUTERNAME", "DESK-4711"},
                              {"LOCALAPPDATA", profile + "\\AppData\\Local"}};
    for (json& key : machine["registry"]) {
        std::string path = key["key"].get<std::string>();
        if (path.find("InProcServer32") == std::string::npos) continue;
        for (const std::string machine_classes : {"HKLM\\SOFTWARE\\Classes\\", "HKCR\\"}) {
            if (path.rfind(machine_classes, 0) == 0) path = "HKCU\\Software\\Classes\\" + path.substr(machine_classes.size());
        }
        key["key"] = path;
        key["values"][0] = {{"name", ""}, {"type", "REG_EXPAND_SZ"},
                            {"data", "%LOCALAPPDATA%\\Quorvane\\Tonvela SDK\\qtv_api_core.dll"}};
    }
    machine["registry"].push_back(
        {{"key", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuorvaneTonvelaSDK"},
         {"values", {{{"name", "DisplayName"}, {"type", "REG_SZ"}, {"data", "Quorvane Tonvela SDK for jdoe"}},
                     {{"name", "DisplayVersion"}, {"type", "REG_SZ"}, {"data", "2.8.0"}},
                     {{"name", "InstallLocation"}, {"type", "REG_SZ"}, {"data", sdk_folder}}}}});
    machine["services"] = {{{"name", "QuorvaneHub"}, {"display_name", "Quorvane Hub on DESK-4711"}, {"state", "running"}}};
    for (json& file : machine["files"]) {
        const std::string name = file["path"].get<std::string>().substr(file["path"].get<std::string>().rfind('\\'));
        file["path"] = sdk_folder + name;
    }
    json& sdk = machine["sdk"][0];
    sdk["path"] = sdk_folder + "\\qtv_api_core.dll";
    const std::string guid = "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
    sdk["devices"] = {{{"name", "Vantro Q4"}, {"vid", "0x2A7D"}, {"pid", "0x5E3C"}, {"firmware", "0x0102"},
                       {"serial_number", "QV4A1B2C3D"},
                       {"symbolic_link", "\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#" + guid}},
                      {{"name", "Tonvela Desk"}, {"vid", "0x2A7D"}, {"pid", "0x0ABC"}, {"firmware", "0x0A05"},
                       {"serial_number", "TD9SECRET77"},
                       {"symbolic_link", "\\\\?\\usb#vid_2a7d&pid_0abc#td9secret77#" + guid}}};
    // The dock's hub between the root hub and the device.
    json& devices = machine["devices"];
    const std::string dock = "USB\\VID_17EF&PID_30B4\\DOCK0012345";
    for (json& device : devices) {
        if (device["instance_id"] == "USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D") device["parent"] = dock;
    }
    const json hub = {{"instance_id", dock}, {"parent", devices[0]["instance_id"]},
                      {"device_desc", "Generic USB Hub"}, {"service", "USBHUB3"}};
    devices.insert(devices.begin() + 1, hub);
    return machine;
}

// Redaction: what names the user, the PC, the dock and the other product
// is replaced by placeholders, the same wherever the text was, so that the
// replay finds every file and gives the customer's report with the
// placeholders in those places. The Vantro Q4's own serial number stays.
TEST(CaptureReplay, RedactedCaptureReplaysToTheCustomersReportWithPlaceholders) {
    const fs::path dir = test::make_temp_dir("capture-redaction");
    std::ofstream(dir / "machine.json", std::ios::binary) << per_user_dock_machine().dump();
    const CaptureRun captured = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/capture"});
    ASSERT_TRUE(captured.result.stderr_text.empty()) << captured.result.stderr_text;
    ASSERT_FALSE(captured.capture.empty()) << captured.result.stdout_text;
    // The customer's report shows what is to be redacted (else the test proves nothing).
    for (const std::string shown : {"Install folder: C:\\Users\\jdoe.CORP\\AppData\\Local\\Quorvane\\Tonvela SDK",
                                    "for jdoe", "on DESK-4711", "TD9SECRET77", "#td9secret77#", "QV4A1B2C3D"}) {
        EXPECT_NE(captured.report.find(shown), std::string::npos) << shown << "\n" << captured.report;
    }

    const std::string text = test::read_file_bytes(captured.capture);
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const std::string secret : {"jdoe", "desk-4711", "dock0012345", "td9secret77"}) {
        EXPECT_EQ(lower.find(secret), std::string::npos) << secret << "\n" << text;
    }
    const json capture = json::parse(text);
    EXPECT_EQ(capture["environment"]["LOCALAPPDATA"], "C:\\Users\\[profile]\\AppData\\Local");
    bool dock_kept = false;
    bool serial_kept = false;
    for (const json& device : capture["devices"]) {
        dock_kept = dock_kept || device["instance_id"] == "USB\\VID_17EF&PID_30B4\\[serial-1]";
        serial_kept = serial_kept || device["instance_id"] == "USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
    }
    EXPECT_TRUE(dock_kept) << "the dock's hub keeps its VID and PID";
    EXPECT_TRUE(serial_kept) << "the Vantro Q4's serial number stays";
    // The registration read through HKCR is written as the hive it came
    // from: the user's, so that the desk does not see a machine-wide install.
    std::vector<std::string> registration_keys;
    for (const json& key : capture["registry"]) {
        const std::string path = key["key"].get<std::string>();
        if (path.find("InProcServer32") != std::string::npos) registration_keys.push_back(path);
    }
    EXPECT_EQ(registration_keys,
              std::vector<std::string>{"HKCU\\Software\\Classes\\CLSID\\" + std::string(kSdkClsid) + "\\InProcServer32"})
        << text;
    EXPECT_EQ(members_the_docs_do_not_name(captured.capture), "");

    // The replay: the customer's report with each redacted text replaced.
    std::string expected = captured.report;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"jdoe.CORP", "[profile]"},
                                                                                    {"jdoe", "[user]"},
                                                                                    {"DESK-4711", "[computer]"},
                                                                                    {"TD9SECRET77", "[serial-2]"},
                                                                                    {"td9secret77", "[serial-2]"}}) {
        expected = replace_all(expected, from, to);
    }
    const CaptureRun replayed = run_in_fresh_folder(captured.capture, {"/nopause", "/capture"});
    ASSERT_TRUE(replayed.result.stderr_text.empty()) << replayed.result.stderr_text;
    EXPECT_EQ(replayed.report, expected);
    EXPECT_EQ(replayed.result.exit_code, captured.result.exit_code);
    // A capture of the replay is the capture itself.
    ASSERT_FALSE(replayed.capture.empty());
    EXPECT_EQ(test::read_file_bytes(replayed.capture), text);
    for (const fs::path& folder : {dir, captured.dir, replayed.dir}) fs::remove_all(folder);
}

// With /json too: both files beside the report, and the JSON report says
// the run captured and did not repair, its last line naming the capture.
TEST(CaptureReplay, WithJsonTheJsonReportShowsTheCapture) {
    const CaptureRun run = run_in_fresh_folder(kMachines / "default.json", {"/nopause", "/capture", "/json"});
    ASSERT_FALSE(run.capture.empty());
    const std::vector<fs::path> jsons = test::files_with_prefix(run.dir, "VQ4_Diag_Report_");
    ASSERT_EQ(jsons.size(), 2u);  // the text report and its JSON
    const fs::path json_file = jsons[0].extension() == ".json" ? jsons[0] : jsons[1];
    const json document = json::parse(test::read_file_bytes(json_file));
    EXPECT_EQ(document.at("options").at("capture"), true);
    EXPECT_EQ(document.at("options").at("nofix"), true);
    EXPECT_EQ(document.at("repair").at("ran"), false);
    const json& last = document.at("lines").back();
    EXPECT_EQ(last.at("tag"), "INFO");
    EXPECT_EQ(last.at("text"), "Machine capture written to: " + run.dir.string() + "\\" + run.capture.filename().string());
    fs::remove_all(run.dir);
}

// The capture's name is taken: the next free name, as for the report.
TEST(CaptureReplay, TakenCaptureNameGoesToTheNextFreeName) {
    const fs::path dir = test::make_temp_dir("capture-taken");
    json machine = json::parse(test::read_file_bytes(kMachines / "default.json"));
    machine["local_time"] = "2026-12-10 09:08:07";
    std::ofstream(dir / "machine.json", std::ios::binary) << machine.dump();
    const fs::path folder = dir / "run";
    fs::create_directories(folder);
    fs::copy_file(VQ4_DIAG_BINARY, folder / "VQ4_Diag");
    std::ofstream(folder / "VQ4_Diag_Machine_20261210_090807.json") << "kept";

    const test::RunResult result = test::run_tool(dir / "machine.json", {"/nopause", "/capture"}, "", {}, folder / "VQ4_Diag");
    EXPECT_EQ(test::read_file_bytes(folder / "VQ4_Diag_Machine_20261210_090807.json"), "kept");
    ASSERT_TRUE(fs::exists(folder / "VQ4_Diag_Machine_20261210_090807_2.json")) << result.stdout_text;
    const std::string report = test::read_file_bytes(folder / "VQ4_Diag_Report_20261210_090807.txt");
    EXPECT_NE(report.find("[ INFO ] Machine capture written to: " + folder.string() +
                          "\\VQ4_Diag_Machine_20261210_090807_2.json\r\n"),
              std::string::npos)
        << report;
    fs::remove_all(dir);
}

// A capture that cannot be created: one Warn line with the error code after
// the report of a diagnosis without repair; the exit code does not change.
TEST(CaptureReplay, CaptureThatCannotBeWrittenIsOneWarnLine) {
    const fs::path dir = test::make_temp_dir("capture-fails");
    json machine = json::parse(test::read_file_bytes(kMachines / "node-problems.json"));
    machine["local_time"] = "2026-12-10 09:08:07";
    std::ofstream(dir / "machine.json", std::ios::binary) << machine.dump();

    // Which CreateFileW of the run creates the capture, from a traced run.
    const CaptureRun traced =
        run_in_fresh_folder(dir / "machine.json", {"/nopause", "/capture"}, {{"VQ4_DIAG_TRACE", (dir / "trace.json").string()}});
    const int nth = test::nth_traced_call(dir / "trace.json", "CreateFileW", "VQ4_Diag_Machine_");
    ASSERT_GT(nth, 0);
    machine["faults"] = json::array({{{"operation", "CreateFileW"}, {"nth", nth}, {"code", 5}}});
    std::ofstream(dir / "machine.json", std::ios::binary | std::ios::trunc) << machine.dump();

    const CaptureRun failed = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/capture"});
    const CaptureRun plain = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/nofix"});
    EXPECT_TRUE(failed.capture.empty());
    EXPECT_EQ(failed.report, plain.report + "\r\n" + kCaptureHeader + "\r\n" + "[ WARN ] The machine capture could not be written (error code=5): "
                                            "<folder>\\VQ4_Diag_Machine_YYYYMMDD_hhmmss.json\r\n");
    EXPECT_EQ(failed.result.exit_code, plain.result.exit_code);
    for (const fs::path& folder : {dir, traced.dir, failed.dir, plain.dir}) fs::remove_all(folder);
}

}  // namespace
}  // namespace vq4
