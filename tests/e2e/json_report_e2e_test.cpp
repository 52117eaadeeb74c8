// "/json": the JSON report beside the text report, run by the real Linux
// binary on machine files. The JSON's lines are checked against the text
// report written in the same run, its facts against the machine file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kBanner =
    "==============================================================\n"
    " Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n"
    "==============================================================\n";

const std::string kParent = "USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
const std::string kMi00 = "USB\\VID_2A7D&PID_5E3C&MI_00\\6&3A2B1C0D&0&0000";

// The report file's byte for each character of a UTF-8 text: Latin-1, and
// '?' for a character beyond U+00FF. Decoded here, independently of the tool.
std::string latin1_of_utf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0;
        std::size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            length = 3;
        } else {
            code = lead & 0x07;
            length = 4;
        }
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
        i += length;
    }
    return out;
}

std::string bracketed(const std::string& tag) {
    if (tag == "OK") return "[  OK  ]";
    if (tag == "WARN") return "[ WARN ]";
    if (tag == "FAIL") return "[ FAIL ]";
    return "[ INFO ]";
}

// The text report that the JSON's lines describe: the banner, a header
// wherever the section changes, each status line and its detail lines.
std::string text_report_of(const json& document) {
    std::string text = kBanner;
    const std::string* section = nullptr;
    for (const json& line : document.at("lines")) {
        const std::string& this_section = line.at("section").get_ref<const std::string&>();
        if (section == nullptr || *section != this_section) text += "\n==== " + this_section + " ====\n";
        section = &this_section;
        if (!line.at("tag").is_null()) {
            text += bracketed(line.at("tag").get<std::string>()) + " " + line.at("text").get<std::string>() + "\n";
        }
        for (const json& detail : line.at("details")) text += "         " + detail.get<std::string>() + "\n";
    }
    std::string crlf;
    for (const char c : latin1_of_utf8(text)) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return crlf;
}

struct JsonRun {
    fs::path dir;
    test::RunResult result;
    std::vector<fs::path> reports;  // text reports, first instance first
    std::vector<fs::path> jsons;
};

// The binary copied into a fresh folder, so its files land there.
JsonRun run_in_fresh_folder(const fs::path& machine, const std::vector<std::string>& arguments,
                            const fs::path& dir = test::make_temp_dir("json")) {
    JsonRun run;
    run.dir = dir;
    const fs::path binary = dir / "VQ4_Diag";
    fs::copy_file(VQ4_DIAG_BINARY, binary, fs::copy_options::overwrite_existing);
    run.result = test::run_tool(machine, arguments, "", {}, binary);
    for (const fs::path& file : test::files_with_prefix(dir, "VQ4_Diag_Report_")) {
        if (file.extension() == ".txt") run.reports.push_back(file);
        if (file.extension() == ".json" && fs::is_regular_file(file)) run.jsons.push_back(file);
    }
    return run;
}

json parsed(const fs::path& file) {
    return json::parse(test::read_file_bytes(file));  // throws, and fails the test, when it does not parse
}

fs::path machines_dir() { return fs::path(VQ4_SOURCE_DIR) / "machines"; }

struct MachineCase {
    std::string machine;
    std::vector<std::string> arguments;
};

// The JSON of every instance (the elevated one's too, when the repair
// relaunches) parses, sits beside its text report under the same base name,
// and its lines are the text report's lines.
TEST(JsonReport, LinesEqualTheTextReportsLinesOnMachineFiles) {
    const MachineCase cases[] = {
        {"default", {"/nopause", "/nofix", "/json"}},
        {"node-problems", {"/nopause", "/json"}},
        {"sdk_two_devices", {"/nopause", "/json"}},
        {"hostile-data", {"/nopause", "/json"}},
        {"related-software", {"/nopause", "/json"}},
        {"repair-step1-works", {"/nopause", "/fix", "/json"}},
        {"repair-step3-needs-reboot", {"/nopause", "/fix", "/json"}},
        {"repair-relaunch-not-elevated", {"/nopause", "/fix", "/json"}},
        {"default", {"/nopause", "/fix", "/json"}},  // relaunched elevated: two instances
    };
    for (const MachineCase& c : cases) {
        SCOPED_TRACE(c.machine);
        const JsonRun run = run_in_fresh_folder(machines_dir() / (c.machine + ".json"), c.arguments);
        EXPECT_TRUE(run.result.stderr_text.empty()) << run.result.stderr_text;
        ASSERT_FALSE(run.reports.empty()) << run.result.stdout_text;
        ASSERT_EQ(run.jsons.size(), run.reports.size());
        for (std::size_t i = 0; i < run.reports.size(); ++i) {
            fs::path expected_json = run.reports[i];
            expected_json.replace_extension(".json");
            EXPECT_EQ(run.jsons[i], expected_json);
            const json document = parsed(run.jsons[i]);
            EXPECT_EQ(document.at("schema"), 1);
            EXPECT_EQ(text_report_of(document), test::read_file_bytes(run.reports[i])) << run.reports[i];
        }
        // The first instance's exit code is the one its JSON gives.
        EXPECT_EQ(parsed(run.jsons.front()).at("exit_code"), run.result.exit_code);
        fs::remove_all(run.dir);
    }
}

// A description beyond U+00FF: '?' in the text report, itself in the JSON.
TEST(JsonReport, TextBeyondLatin1KeepsItsCharactersInTheJson) {
    const fs::path dir = test::make_temp_dir("json-unicode");
    const fs::path machine = dir / "machine.json";
    std::ofstream(machine, std::ios::binary)
        << test::machine_file()
               .device(test::device(kParent).service(L"usbccgp"))
               .device(test::device(kMi00).parent(kParent).service(L"usbaudio2").friendly_name(
                   L"Vantro Q4 \u97F3\u9891 caf\u00E9 \U0001F3A7"))
               .text();
    const JsonRun run = run_in_fresh_folder(machine, {"/nopause", "/nofix", "/json"}, dir);
    ASSERT_EQ(run.reports.size(), 1u);
    ASSERT_EQ(run.jsons.size(), 1u);

    const std::string report = test::read_file_bytes(run.reports[0]);
    EXPECT_NE(report.find("         Description: Vantro Q4 ?? caf\xE9 ?\r\n"), std::string::npos) << report;

    const json document = parsed(run.jsons[0]);
    bool found = false;
    for (const json& line : document.at("lines")) {
        for (const json& detail : line.at("details")) {
            found = found || detail == "Description: Vantro Q4 \xE9\x9F\xB3\xE9\xA2\x91 caf\xC3\xA9 \xF0\x9F\x8E\xA7";
        }
    }
    EXPECT_TRUE(found) << document.dump(1);
    EXPECT_EQ(text_report_of(document), report);
    // The node's description in the facts, too.
    EXPECT_EQ(document.at("facts").at("nodes").at(1).at("description"),
              "Vantro Q4 \xE9\x9F\xB3\xE9\xA2\x91 caf\xC3\xA9 \xF0\x9F\x8E\xA7");
    fs::remove_all(dir);
}

// The counts each summary shows are the Ok, Warn and Fail lines before it
// (since the reset of section 8, for the summary after the repair).
void expect_summaries_count_the_lines(const json& document) {
    int ok = 0, warn = 0, fail = 0;
    std::size_t summary = 0;
    for (const json& line : document.at("lines")) {
        const std::string section = line.at("section");
        if (section.rfind("Summary", 0) == 0 && line.at("text").get<std::string>().find(" test(s) OK, ") !=
                                                     std::string::npos) {
            ASSERT_LT(summary, document.at("summaries").size());
            const json& shown = document.at("summaries").at(summary++);
            EXPECT_EQ(shown.at("title"), section);
            EXPECT_EQ(shown.at("ok"), ok);
            EXPECT_EQ(shown.at("warn"), warn);
            EXPECT_EQ(shown.at("fail"), fail);
            EXPECT_EQ(shown.at("verdict"), fail != 0 ? "FAIL" : warn != 0 ? "WARN" : "OK");
        }
        if (section == "8. Verification after repair" && line.at("tag") == "INFO") ok = warn = fail = 0;
        if (line.at("tag") == "OK") ++ok;
        if (line.at("tag") == "WARN") ++warn;
        if (line.at("tag") == "FAIL") ++fail;
    }
    EXPECT_EQ(summary, document.at("summaries").size());
}

TEST(JsonReport, NodesAndTheirProblemCodesFromTheMachineFile) {
    const JsonRun run = run_in_fresh_folder(machines_dir() / "node-problems.json", {"/nopause", "/nofix", "/json"});
    ASSERT_EQ(run.jsons.size(), 1u);
    const json document = parsed(run.jsons[0]);
    // node-problems.json: five present nodes of the device (the HID child and
    // the phantoms are not the device's USB nodes); MI_02's state cannot be read.
    const json& nodes = document.at("facts").at("nodes");
    ASSERT_EQ(nodes.size(), 5u);
    const struct {
        const char* instance_id;
        json problem;
    } expected[] = {
        {"USB\\VID_2A7D&PID_5E3C\\QV4E5F60718", 0},
        {"USB\\VID_2A7D&PID_5E3C&MI_00\\6&11AA22BB&0&0000", 22},
        {"USB\\VID_2A7D&PID_5E3C&MI_01\\6&11AA22BB&0&0001", 31},
        {"USB\\VID_2A7D&PID_5E3C&MI_02\\6&11AA22BB&0&0002", nullptr},
        {"USB\\VID_2A7D&PID_5E3C&MI_03\\6&11AA22BB&0&0003", 28},
    };
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(nodes[i].at("instance_id"), expected[i].instance_id);
        EXPECT_EQ(nodes[i].at("problem"), expected[i].problem);
    }
    EXPECT_EQ(nodes[2].at("description"), "");
    EXPECT_EQ(nodes[1].at("service"), "usbaudio2");
    // MI_03 without a driver has no 'Device Parameters' to read.
    EXPECT_EQ(document.at("facts").at("mi03").at("guids_read"), false);
    EXPECT_TRUE(document.at("facts").at("mi03").at("expected_guid").is_null());
    // No SDK registered on this machine.
    for (const json& view : document.at("facts").at("sdk").at("views")) {
        EXPECT_EQ(view.at("registration"), "missing");
    }
    EXPECT_TRUE(document.at("facts").at("sdk").at("device_count").is_null());

    EXPECT_EQ(document.at("options"),
              json::parse(R"({"nopause":true,"fix":false,"nofix":true,"json":true,"capture":false,"elevated":false})"));
    EXPECT_EQ(document.at("repair").at("ran"), false);
    EXPECT_EQ(document.at("summaries").size(), 1u);
    expect_summaries_count_the_lines(document);
    EXPECT_EQ(document.at("exit_code"), 1);
    EXPECT_EQ(run.result.exit_code, 1);
    fs::remove_all(run.dir);
}

TEST(JsonReport, SdkFactsAndDeviceCountFromTheMachineFile) {
    const JsonRun run = run_in_fresh_folder(machines_dir() / "sdk_two_devices.json", {"/nopause", "/json"});
    ASSERT_EQ(run.jsons.size(), 1u);
    const json document = parsed(run.jsons[0]);
    const json& facts = document.at("facts");
    // sdk_two_devices.json: the library registered in HKCR, a PE of x64 with
    // file version 1.51.0.0; the configuration file names the GUID; the SDK
    // reports two devices.
    const json& view64 = facts.at("sdk").at("views").at(0);
    EXPECT_EQ(view64.at("view"), "64-bit view");
    EXPECT_EQ(view64.at("registration"), "found");
    EXPECT_EQ(view64.at("path"), "C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll");
    EXPECT_EQ(view64.at("file_present"), true);
    EXPECT_EQ(view64.at("version"), "1.51.0.0");
    EXPECT_EQ(view64.at("architecture"), "x64");
    EXPECT_EQ(facts.at("sdk").at("views").at(1).at("view"), "32-bit view / WOW6432Node");
    EXPECT_EQ(facts.at("sdk").at("device_count"), 2);
    EXPECT_EQ(facts.at("mi03").at("expected_guid"), "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}");
    EXPECT_EQ(facts.at("mi03").at("expected_guid_source"),
              "C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll.config.ini");
    EXPECT_EQ(facts.at("nodes").size(), 4u);
    expect_summaries_count_the_lines(document);
    fs::remove_all(run.dir);
}

// default.json: MI_03's hardware key holds no GUID; the repair (relaunched
// elevated) works in all three steps, and both JSON reports record a
// verification: the elevated instance's and the first instance's own.
TEST(JsonReport, RepairOutcomeAndTheElevatedInstancesOwnJson) {
    const JsonRun run = run_in_fresh_folder(fs::path(), {"/nopause", "/fix", "/json"});
    ASSERT_EQ(run.jsons.size(), 2u) << run.result.stdout_text;
    const json first = parsed(run.jsons[0]);
    EXPECT_EQ(first.at("facts").at("mi03").at("guids_read"), true);
    EXPECT_EQ(first.at("facts").at("mi03").at("registered_guids"), json::array());
    EXPECT_EQ(first.at("repair").at("outcome"), "delegated");
    EXPECT_EQ(first.at("repair").at("elevated_exit_code"), 0);
    EXPECT_EQ(first.at("exit_code"), 0);
    // The first instance verified the elevated repair itself, as the user.
    ASSERT_TRUE(first.at("facts_after_repair").is_object());
    ASSERT_EQ(first.at("summaries").size(), 2u);
    EXPECT_EQ(first.at("summaries").at(1).at("title"), "Summary after repair");
    expect_summaries_count_the_lines(first);

    const json elevated = parsed(run.jsons[1]);
    EXPECT_EQ(elevated.at("options").at("elevated"), true);
    EXPECT_EQ(elevated.at("options").at("json"), true);
    EXPECT_EQ(elevated.at("repair").at("outcome"), "succeeded");
    ASSERT_EQ(elevated.at("summaries").size(), 2u);
    EXPECT_EQ(elevated.at("summaries").at(1).at("title"), "Summary after repair");
    expect_summaries_count_the_lines(elevated);
    // After the repair the expected GUID is registered on MI_03.
    const json& after = elevated.at("facts_after_repair").at("mi03");
    ASSERT_EQ(after.at("registered_guids").size(), 1u);
    EXPECT_EQ(after.at("registered_guids").at(0), after.at("expected_guid"));
    EXPECT_EQ(elevated.at("exit_code"), 0);
    fs::remove_all(run.dir);
}

// A JSON file that cannot be created: one Warn line after the rest of the
// text report, which is otherwise what a run without /json writes; the exit
// code does not change.
TEST(JsonReport, JsonThatCannotBeWrittenIsOneWarnLine) {
    const fs::path dir = test::make_temp_dir("json-fails");
    const fs::path machine = dir / "machine.json";
    json file = json::parse(test::read_file_bytes(machines_dir() / "node-problems.json"));
    file["local_time"] = "2026-12-10 09:08:07";
    std::ofstream(machine, std::ios::binary) << file.dump();

    // Which CreateFileW of the run opens the JSON report's reserved file, from a traced run.
    const fs::path traced = dir / "traced";
    fs::create_directories(traced);
    const fs::path binary = traced / "VQ4_Diag";
    fs::copy_file(VQ4_DIAG_BINARY, binary);
    test::run_tool(machine, {"/nopause", "/nofix", "/json"}, "", {{"VQ4_DIAG_TRACE", (dir / "trace.json").string()}},
                   binary);
    const int nth = test::nth_traced_call(dir / "trace.json", "CreateFileW", ".json, OPEN_EXISTING");
    ASSERT_GT(nth, 0) << test::read_file_bytes(dir / "trace.json");
    file["faults"] = json::array({{{"operation", "CreateFileW"}, {"nth", nth}, {"code", 5}}});
    std::ofstream(machine, std::ios::binary | std::ios::trunc) << file.dump();

    const fs::path with_json = dir / "with";
    const fs::path without_json = dir / "without";
    fs::create_directories(with_json);
    fs::create_directories(without_json);
    const JsonRun failed = run_in_fresh_folder(machine, {"/nopause", "/nofix", "/json"}, with_json);
    const JsonRun plain = run_in_fresh_folder(machine, {"/nopause", "/nofix"}, without_json);
    ASSERT_EQ(failed.reports.size(), 1u);
    ASSERT_EQ(plain.reports.size(), 1u);
    EXPECT_EQ(test::read_file_bytes(failed.reports[0]),
              test::read_file_bytes(plain.reports[0]) + "[ WARN ] The JSON report could not be written (error code=5): " +
                  with_json.string() + "\\VQ4_Diag_Report_20261210_090807.json\r\n");
    EXPECT_EQ(failed.result.exit_code, plain.result.exit_code);
    fs::remove_all(dir);
}

// A JSON left in the folder under the report's name, even one planted with
// "exit_code": 0, never blocks the run's JSON and never sits beside its
// report: the pair takes the next number. A folder of that name as well.
TEST(JsonReport, AJsonLeftInTheFolderMovesThePairToTheNextName) {
    const fs::path dir = test::make_temp_dir("json-planted");
    const fs::path machine = dir / "machine.json";
    json file = json::parse(test::read_file_bytes(machines_dir() / "node-problems.json"));
    file["local_time"] = "2026-12-10 09:08:07";
    std::ofstream(machine, std::ios::binary) << file.dump();
    const fs::path folder = dir / "run";
    fs::create_directories(folder);
    const std::string planted = "{\"exit_code\": 0, \"summaries\": []}\n";
    std::ofstream(folder / "VQ4_Diag_Report_20261210_090807.json", std::ios::binary) << planted;
    fs::create_directory(folder / "VQ4_Diag_Report_20261210_090807_2.json");

    const JsonRun run = run_in_fresh_folder(machine, {"/nopause", "/nofix", "/json"}, folder);
    ASSERT_EQ(run.reports.size(), 1u);
    EXPECT_EQ(run.reports[0].filename(), "VQ4_Diag_Report_20261210_090807_3.txt");
    EXPECT_TRUE(fs::exists(folder / "VQ4_Diag_Report_20261210_090807_3.json"));
    const json written = json::parse(test::read_file_bytes(folder / "VQ4_Diag_Report_20261210_090807_3.json"));
    EXPECT_EQ(written["exit_code"], run.result.exit_code);
    EXPECT_NE(run.result.exit_code, 0);
    EXPECT_EQ(test::read_file_bytes(folder / "VQ4_Diag_Report_20261210_090807.json"), planted);
    EXPECT_EQ(run.result.stdout_text.find("could not be written"), std::string::npos) << run.result.stdout_text;

    // Without /json the planted JSON still takes its number from the pair.
    const fs::path plain_folder = dir / "plain";
    fs::create_directories(plain_folder);
    std::ofstream(plain_folder / "VQ4_Diag_Report_20261210_090807.json", std::ios::binary) << planted;
    const JsonRun plain = run_in_fresh_folder(machine, {"/nopause", "/nofix"}, plain_folder);
    ASSERT_EQ(plain.reports.size(), 1u);
    EXPECT_EQ(plain.reports[0].filename(), "VQ4_Diag_Report_20261210_090807_2.txt");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vq4
