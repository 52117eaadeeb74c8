// Every machine file of machines/ next to the report it gives: the run is
// compared byte for byte with machines/<name>.report.txt, so that a reader
// sees what each machine shows and any change of a report shows up in review.
//
// The run: `/nopause`, and `/nopause /fix` for the machines whose point is
// the repair (repair-*.json). When the repair relaunches the tool elevated,
// the elevated instance's report is compared with
// machines/<name>.elevated.report.txt.
//
// What belongs to one run only is written in a fixed form before comparing:
// the folder of the run (the binary is copied into a fresh temporary folder,
// so the reports land there) becomes `<folder>`, and the date and time in the
// names of the report and backup files and of a backup folder of its own
// become `YYYYMMDD_hhmmss`.
//
// UPDATE_GOLDEN=1 writes the reports of this build over the golden files
// instead of comparing (to be reviewed line by line before committing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string normalised(const std::string& report, const fs::path& folder) {
    static const std::regex kStamp("VQ4_Diag_(Report|Backups|Backup)_[0-9]{8}_[0-9]{6}");
    const std::string text = replace_all(report, folder.string(), "<folder>");
    return std::regex_replace(text, kStamp, "VQ4_Diag_$1_YYYYMMDD_hhmmss");
}

std::vector<std::string> machine_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(VQ4_SOURCE_DIR) / "machines")) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> arguments_for(const std::string& name) {
    if (name.rfind("repair-", 0) == 0) return {"/nopause", "/fix"};
    return {"/nopause"};
}

// The golden file's bytes; `present` false when there is none.
std::string golden(const fs::path& file, bool& present) {
    present = fs::exists(file);
    return present ? test::read_file_bytes(file) : std::string();
}

TEST(MachineGoldens, EachMachineFileGivesItsReportByteForByte) {
    const bool update = std::getenv("UPDATE_GOLDEN") != nullptr && std::string(std::getenv("UPDATE_GOLDEN")) == "1";
    const fs::path machines = fs::path(VQ4_SOURCE_DIR) / "machines";
    const std::vector<std::string> names = machine_names();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const fs::path dir = test::make_temp_dir("golden");
        const fs::path binary = dir / "VQ4_Diag";
        fs::copy_file(VQ4_DIAG_BINARY, binary);
        const test::RunResult run = test::run_tool(machines / (name + ".json"), arguments_for(name), "", {}, binary);
        EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;

        // The first instance's report, then the elevated instance's (`_2`), if any.
        const std::vector<fs::path> reports = test::files_with_prefix(dir, "VQ4_Diag_Report_");
        ASSERT_GE(reports.size(), 1u) << run.stdout_text;
        ASSERT_LE(reports.size(), 2u);
        std::vector<std::pair<fs::path, std::string>> produced;
        for (const fs::path& report : reports) {
            const bool elevated = report.stem().string().size() > std::string("VQ4_Diag_Report_YYYYMMDD_hhmmss").size();
            produced.emplace_back(machines / (name + (elevated ? ".elevated.report.txt" : ".report.txt")),
                                  normalised(test::read_file_bytes(report), dir));
        }
        if (reports.size() == 1) {
            bool present = false;
            golden(machines / (name + ".elevated.report.txt"), present);
            if (update && present) fs::remove(machines / (name + ".elevated.report.txt"));
            else EXPECT_FALSE(present) << "a golden elevated report, but the run made no elevated instance";
        }
        for (const auto& [file, text] : produced) {
            if (update) {
                std::ofstream(file, std::ios::binary) << text;
                continue;
            }
            bool present = false;
            const std::string expected = golden(file, present);
            EXPECT_TRUE(present) << file << " is missing (UPDATE_GOLDEN=1 writes it)";
            EXPECT_EQ(text, expected) << file;
        }
        fs::remove_all(dir);
    }
}

// Every golden file belongs to a machine file.
TEST(MachineGoldens, NoGoldenWithoutItsMachine) {
    const fs::path machines = fs::path(VQ4_SOURCE_DIR) / "machines";
    for (const auto& entry : fs::directory_iterator(machines)) {
        const std::string file = entry.path().filename().string();
        for (const std::string suffix : {".elevated.report.txt", ".report.txt"}) {
            if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
                const std::string name = file.substr(0, file.size() - suffix.size());
                EXPECT_TRUE(fs::exists(machines / (name + ".json"))) << file;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace vq4
