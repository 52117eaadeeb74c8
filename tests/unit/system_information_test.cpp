#include <gtest/gtest.h>

#include "inspect/system_information.h"
#include "report/report.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

TEST(Windows11Rule, Table) {
    struct Case {
        const wchar_t* product;
        const wchar_t* build;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {L"Windows 10 Pro", L"22631", L"Windows 11 Pro"},
        {L"Windows 10 Pro", L"19045", L"Windows 10 Pro"},
        {L"Windows 10", L"22000", L"Windows 11"},
        {L"windows 10 pro", L"22631", L"windows 10 pro"},
        {L"Windows 10 Windows 10", L"22631", L"Windows 11 Windows 10"},
        {L"Windows 10 Pro", L"?", L"Windows 10 Pro"},
        {L"Windows 10 Pro", L"22000.1", L"Windows 11 Pro"},
        {L"Windows 10 Pro", L"  22000", L"Windows 11 Pro"},
        {L"Windows 10 Pro", L"99999999999", L"Windows 10 Pro"},  // out of range: rule off
        {L"Windows 10 Pro", L"", L"Windows 10 Pro"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(apply_windows11_rule(c.product, c.build), c.shown);
    }
}

TEST(ArchitectureName, Table) {
    EXPECT_EQ(architecture_name(9), L"x64");
    EXPECT_EQ(architecture_name(12), L"ARM64");
    EXPECT_EQ(architecture_name(0), L"x86");
    EXPECT_EQ(architecture_name(5), L"unknown");
}

std::string section_text(const std::string& machine_json) {
    test::use_machine(machine_json);
    const auto dir = test::make_temp_dir("sysinfo");
    const auto path = dir / "r.txt";
    open_report_file(widen(path.string()));
    run_system_information_section();
    close_report_file();
    const std::string text = test::read_file_bytes(path);
    std::filesystem::remove_all(dir);
    return text;
}

TEST(SystemInformationSection, ReadsVersionValues) {
    const std::string text = section_text(R"({
      "native_architecture": 12,
      "registry": [{"key": "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "values": [
        {"name": "ProductName", "type": "REG_SZ", "data": "Windows 10 Pro"},
        {"name": "DisplayVersion", "type": "REG_SZ", "data": "23H2"},
        {"name": "CurrentBuildNumber", "type": "REG_SZ", "data": "22631"}]}]})");
    EXPECT_EQ(text, test::crlf("\n==== 1. System information ====\n"
                               "[ INFO ] OS: Windows 11 Pro (version 23H2, build 22631)\n"
                               "[ INFO ] System architecture: ARM64\n"
                               "[ INFO ] This diagnostic tool was built as: x64\n"));
}

TEST(SystemInformationSection, MissingKeyAndOversizedValue) {
    EXPECT_NE(section_text("{}").find("[ INFO ] OS: ? (version ?, build ?)\r\n"), std::string::npos);
    // 128 characters + NUL = 258 bytes: does not fit 256 bytes, stays "?".
    const std::string long_name(128, 'x');
    const std::string text = section_text(R"({"registry": [{"key": "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "values": [
        {"name": "ProductName", "type": "REG_SZ", "data": ")" + long_name + R"("},
        {"name": "CurrentBuildNumber", "type": "REG_DWORD", "data": 233}]}]})");
    // A DWORD read as text: its bytes up to the first NUL unit.
    EXPECT_NE(text.find("[ INFO ] OS: ? (version ?, build \xe9)\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace vq4
