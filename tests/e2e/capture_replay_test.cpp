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

#include <nlohmann/json.hpp>

#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const fs::path kMachines = fs::path(VQ4_SOURCE_DIR) / "machines";

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

const std::string kCaptureLine = "[ INFO ] Machine capture written to: <folder>\\VQ4_Diag_Machine_YYYYMMDD_hhmmss.json";

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
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), kCaptureLine);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kCaptureLine), 1);

        const CaptureRun replayed = run_in_fresh_folder(captured.capture, {"/nopause", "/capture"});
        ASSERT_TRUE(replayed.result.stderr_text.empty()) << replayed.result.stderr_text;
        EXPECT_EQ(replayed.report, captured.report);
        EXPECT_EQ(replayed.result.exit_code, captured.result.exit_code);
        ASSERT_FALSE(replayed.capture.empty());
        EXPECT_EQ(test::read_file_bytes(replayed.capture), test::read_file_bytes(captured.capture));

        // The replay as a user starts it: the same lines up to the summary;
        // without /capture or /nofix the repair section follows.
        const CaptureRun plain = run_in_fresh_folder(captured.capture, {"/nopause"});
        std::vector<std::string> expected(lines.begin(), lines.end() - 1);
        const std::vector<std::string> replay_lines = lines_of(plain.report);
        ASSERT_GE(replay_lines.size(), expected.size()) << plain.report;
        EXPECT_EQ(std::vector<std::string>(replay_lines.begin(), replay_lines.begin() + expected.size()), expected);

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
    EXPECT_EQ(run.report, nofix.report + kCaptureLine + "\r\n");
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
    const json trace = json::parse(test::read_file_bytes(dir / "trace.json"));
    int nth = 0;
    int creates = 0;
    for (const json& call : trace["calls"]) {
        if (call["op"] != "CreateFileW") continue;
        ++creates;
        if (call["args"].get<std::string>().find("VQ4_Diag_Machine_") != std::string::npos) nth = creates;
    }
    ASSERT_GT(nth, 0);
    machine["faults"] = json::array({{{"operation", "CreateFileW"}, {"nth", nth}, {"code", 5}}});
    std::ofstream(dir / "machine.json", std::ios::binary | std::ios::trunc) << machine.dump();

    const CaptureRun failed = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/capture"});
    const CaptureRun plain = run_in_fresh_folder(dir / "machine.json", {"/nopause", "/nofix"});
    EXPECT_TRUE(failed.capture.empty());
    EXPECT_EQ(failed.report, plain.report + "[ WARN ] The machine capture could not be written (error code=5): "
                                            "<folder>\\VQ4_Diag_Machine_YYYYMMDD_hhmmss.json\r\n");
    EXPECT_EQ(failed.result.exit_code, plain.result.exit_code);
    for (const fs::path& folder : {dir, traced.dir, failed.dir, plain.dir}) fs::remove_all(folder);
}

}  // namespace
}  // namespace vq4
