// The real Linux binary on machines/related-software.json: section 6's lines.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

// The text between a section header and the next header.
std::string section_of(const std::string& report, const std::string& header) {
    const auto start = report.find(header);
    if (start == std::string::npos) return "<no section " + header + ">";
    const auto end = report.find("\r\n\r\n==== ", start);
    return report.substr(start, end == std::string::npos ? std::string::npos : end + 2 - start);
}

TEST(EndToEndRelatedSoftware, SectionSixOfTheMachineFile) {
    const fs::path dir = test::make_temp_dir("e2e_related");
    nlohmann::json machine = nlohmann::json::parse(test::read_file_bytes(fs::path(VQ4_SOURCE_DIR) / "machines" /
                                                                         "related-software.json"));
    machine["module_path"] = (dir / "VQ4_Diag.exe").string();
    const fs::path machine_file = dir / "machine.json";
    std::ofstream(machine_file, std::ios::binary) << machine.dump(2);

    const test::RunResult run = test::run_tool(machine_file, {"/nopause", "/nofix"});
    const fs::path report = dir / "VQ4_Diag_Report_20260314_150926.txt";
    ASSERT_TRUE(fs::exists(report)) << run.stdout_text << run.stderr_text;
    const std::string text = test::read_file_bytes(report);

    EXPECT_EQ(section_of(text, "==== 6."),
              test::crlf("==== 6. Related applications / processes / services (dynamic search) ====\n"
                         // 64-bit Uninstall key, in its order; the excluded, nameless and
                         // over-long entries are left out.
                         "[ INFO ] Installed program: Quorvane Tonvela Suite (version 3.2.1)\n"
                         "         Install folder: C:\\Program Files\\Quorvane\\Tonvela\n"
                         "[ INFO ] Installed program: VANTRO Q4 Driver Package\n"
                         "[ INFO ] Installed program: Tonvela qtv Companion\n"
                         "         Install folder: D:\\Audio\\Companion\n"
                         // Then the 32-bit key: the same program again.
                         "[ INFO ] Installed program: Quorvane Tonvela Suite (version 3.2.1)\n"
                         "         Install folder: C:\\Program Files (x86)\\Quorvane\\Tonvela\n"
                         "[ INFO ] Installed program: QTV Legacy Tools (version 1.4)\n"
                         "[ INFO ] Running process: QuorvaneHub.exe (PID 4242)\n"
                         "[ INFO ] Running process: QuorvaneHub.exe (PID 5120)\n"
                         "[ INFO ] Running process: vantrotray.exe (PID 7300)\n"
                         "[  OK  ] Windows service: Quorvane Device Service (QuorvaneDeviceService) - state: running\n"
                         "[ WARN ] Windows service: Vantro Link Service (tvlinksvc) - state: stopped\n"
                         "[ WARN ] Windows service: Tonvela Updater (qtvupdate) - state: stopped\n"
                         // Installed between the sizing call and the read.
                         "[  OK  ] Windows service: Quorvane Install Helper (QuorvaneInstallHelper) - state: running\n"));
    EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace vq4
