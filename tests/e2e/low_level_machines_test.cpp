// Section 3 of the real Linux binary on the machine files in machines/: one
// machine per sequence of lines the section can produce.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/low_level_texts.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
namespace s3 = test::section3;

const std::string kExpected = "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
const std::string kOther = "{0D5A1E37-2B6C-4F08-8E91-5C3B7A2D4F60}";
const std::string kConfigFile = "C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll.config.ini";

// The report file the run names on the console; removed after reading.
std::string take_report(const test::RunResult& run) {
    const auto line = run.stdout_text.find("Report saved to:\n  ");
    if (line == std::string::npos) return "";
    std::string path = run.stdout_text.substr(line + 19);
    path = path.substr(0, path.find('\n'));
    std::replace(path.begin(), path.end(), '\\', '/');
    const std::string text = test::read_file_bytes(path);
    fs::remove(path);
    return text;
}

// From the section-3 header to the next header (other sections are not
// compared here).
std::string section3_block(const std::string& report) {
    const auto header = report.find("\r\n" + s3::kHeader + "\r\n");
    if (header == std::string::npos) return "(no section 3 in the report)";
    const auto next = report.find("\r\n==== ", header + 2);
    return report.substr(header + 2, next == std::string::npos ? std::string::npos : next - (header + 2));
}

std::string block(const std::vector<std::string>& lines) {
    std::string text = s3::kHeader + "\n";
    for (const std::string& line : lines) text += line + "\n";
    return test::crlf(text);
}

TEST(LowLevelMachines, EachMachineFileGivesItsSequenceOfLines) {
    const std::string from_file = s3::expected(kExpected, kConfigFile);
    const std::string answered = "Response received (16 bytes, uniqueId=1).";
    struct Case {
        std::string machine;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"mi03-ping-ok.json",
         {s3::parameters("0x0102", "1", kExpected), from_file, s3::interface_found(kExpected), s3::ping_ok(answered)}},
        {"mi03-other-guid.json",
         {s3::parameters("0x0102", "1", kOther), from_file, s3::other_guid(kOther), s3::interface_found(kOther),
          s3::ping_ok(answered)}},
        {"mi03-no-guid-winusb.json", {s3::parameters("0x0102", "1", "(none)"), from_file, s3::kWinUsbWithoutGuid}},
        {"mi03-no-winusb.json", {s3::parameters("0x0102", "1", "(none)"), from_file, s3::winusb_not_bound("none")}},
        {"mi03-guid-not-present.json",
         {s3::parameters("0x0102", "1", kOther), from_file, s3::other_guid(kOther), s3::kNoActiveInterface}},
        {"mi03-unreadable-guids.json",
         {s3::parameters("0x0102", "1", "C47D2A19-5E80-4B3F-9A26-81D0E4F3B752, {not a guid}, " + kExpected), from_file,
          s3::unreadable("C47D2A19-5E80-4B3F-9A26-81D0E4F3B752"), s3::unreadable("{not a guid}"),
          s3::interface_found(kExpected), s3::ping_ok(answered)}},
        // WinUSB allows one handle: the second open is refused with ERROR_ACCESS_DENIED.
        {"mi03-held-open.json",
         {s3::parameters("0x0102", "1", kExpected), from_file, s3::interface_found(kExpected), s3::open_failed(5)}},
        // Bounded by the transfer time-out: the run ends with the read failure.
        {"mi03-silent-device.json",
         {s3::parameters("0x0102", "1", kExpected), from_file, s3::interface_found(kExpected),
          s3::ping_failed("Read from the IN pipe failed (error code=121).")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        const test::RunResult run =
            test::run_tool(fs::path(VQ4_SOURCE_DIR) / "machines" / c.machine, {"/nopause", "/nofix"});
        EXPECT_TRUE(run.stderr_text.empty()) << run.stderr_text;
        EXPECT_EQ(section3_block(take_report(run)), block(c.lines));
    }
}

TEST(LowLevelMachines, BuiltInDefaultMachineHasWinUsbButNoGuid) {
    const test::RunResult run = test::run_tool("", {"/nopause", "/nofix"});
    EXPECT_EQ(section3_block(take_report(run)),
              block({s3::parameters("0x0102", "1", "(none)"),
                     s3::expected(s3::kDefaultGuid,
                                  R"(C:\Program Files\Quorvane\Tonvela SDK\vxlinkapi_x64.dll.config.ini)"),
                     s3::kWinUsbWithoutGuid}));
    EXPECT_EQ(run.exit_code, 1) << "a Fail line was counted";
}

}  // namespace
}  // namespace vq4
