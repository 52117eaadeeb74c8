#include <gtest/gtest.h>

#include "inspect/system_information.h"
#include "report/report.h"
#include "support/machine_builder.h"
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
        {L"Windows 10 Pro", L"21999", L"Windows 10 Pro"},
        {L"Windows 10 Pro", L"+22000", L"Windows 11 Pro"},
        {L"Windows 10 Pro", L"-22631", L"Windows 10 Pro"},
        {L"Windows 10 Pro", L"2147483647", L"Windows 11 Pro"},
        {L"Windows 10 Pro", L"2147483648", L"Windows 10 Pro"},  // beyond 32 bits: rule off
        {L"Windows 10 Pro", L"x22631", L"Windows 10 Pro"},
        {L"Microsoft Windows 10 Enterprise", L"26100", L"Microsoft Windows 11 Enterprise"},
        {L"Windows 1", L"22631", L"Windows 1"},
        {L"?", L"22631", L"?"},
        {L"Windows 10 Pro", L"\t22631", L"Windows 11 Pro"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(apply_windows11_rule(c.product, c.build), c.shown);
    }
}

TEST(NativeMachineName, Table) {
    EXPECT_EQ(native_machine_name(0x8664), L"x64");
    EXPECT_EQ(native_machine_name(0xAA64), L"ARM64");
    EXPECT_EQ(native_machine_name(0x014C), L"x86");
    EXPECT_EQ(native_machine_name(0x01C4), L"unknown");  // ARM (32-bit)
    EXPECT_EQ(native_machine_name(0), L"unknown");
}

TEST(ArchitectureName, Table) {
    EXPECT_EQ(architecture_name(9), L"x64");
    EXPECT_EQ(architecture_name(12), L"ARM64");
    EXPECT_EQ(architecture_name(0), L"x86");
    EXPECT_EQ(architecture_name(5), L"unknown");
}

const std::wstring kVersionKey = L"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// A machine whose version key holds these values.
test::MachineFile version_key(const std::vector<test::RegValue>& values) {
    return test::machine_file().key(kVersionKey, values);
}

std::string section_text(const test::MachineFile& machine) {
    machine.use();
    test::reset_counters();
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
    const std::string text = section_text(version_key({test::reg_sz(L"ProductName", L"Windows 10 Pro"),
                                                       test::reg_sz(L"DisplayVersion", L"23H2"),
                                                       test::reg_sz(L"CurrentBuildNumber", L"22631")})
                                              .set("native_architecture", 12));
    EXPECT_EQ(text, test::crlf("\n==== 1. System information ====\n"
                               "[ INFO ] OS: Windows 11 Pro (version 23H2, build 22631)\n"
                               "[ INFO ] System architecture: ARM64\n"
                               "[ INFO ] This diagnostic tool was built as: x64\n"));
}

TEST(SystemInformationSection, MissingKeyAndOversizedValue) {
    EXPECT_NE(section_text(test::machine_file()).find("[ INFO ] OS: ? (version ?, build ?)\r\n"), std::string::npos);
    // 128 characters + NUL = 258 bytes: does not fit 256 bytes, stays "?".
    const std::wstring long_name(128, L'x');
    const std::string text =
        section_text(version_key({test::reg_sz(L"ProductName", long_name), test::reg_dword(L"CurrentBuildNumber", 233)}));
    // A DWORD read as text: its bytes up to the first NUL unit.
    EXPECT_NE(text.find("[ INFO ] OS: ? (version ?, build \xe9)\r\n"), std::string::npos) << text;
}

TEST(SystemInformationSection, OpensTheKeyForReadingAndClosesItBeforePrinting) {
    const std::string text = section_text(version_key({test::reg_sz(L"ProductName", L"Windows 10 Home"),
                                                       test::reg_sz(L"DisplayVersion", L"22H2"),
                                                       test::reg_sz(L"CurrentBuildNumber", L"19045")}));
    EXPECT_EQ(text, test::crlf("\n==== 1. System information ====\n"
                               "[ INFO ] OS: Windows 10 Home (version 22H2, build 19045)\n"
                               "[ INFO ] System architecture: x64\n"
                               "[ INFO ] This diagnostic tool was built as: x64\n"));
    // Info lines only: nothing is counted.
    EXPECT_EQ(test::counts().ok + test::counts().warn + test::counts().fail, 0);

    std::vector<std::string> calls;
    for (const sim::TraceEntry& e : sim::machine().trace) {
        if (e.operation.rfind("Reg", 0) == 0) calls.push_back(e.operation + "(" + e.arguments + ")");
    }
    const std::string key = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "RegOpenKeyExW(" + key + ", 0x20019)",
                         "RegQueryValueExW(" + key + ", \"ProductName\", 256)",
                         "RegQueryValueExW(" + key + ", \"DisplayVersion\", 256)",
                         "RegQueryValueExW(" + key + ", \"CurrentBuildNumber\", 256)",
                         "RegCloseKey()",
                     }));
    // The key is closed before the host's processor is asked for.
    const auto& trace = sim::machine().trace;
    std::size_t close_at = 0, arch_at = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].operation == "RegCloseKey") close_at = i;
        if (trace[i].operation == "IsWow64Process2" && arch_at == 0) arch_at = i;
    }
    EXPECT_LT(close_at, arch_at);
}

TEST(SystemInformationSection, EachUnreadableValueStaysAQuestionMark) {
    struct Case {
        test::MachineFile machine;
        std::string os_line;
    };
    const test::MachineFile three = version_key({test::reg_sz(L"ProductName", L"Windows 10 Pro"),
                                                 test::reg_sz(L"DisplayVersion", L"23H2"),
                                                 test::reg_sz(L"CurrentBuildNumber", L"22631")});
    const std::string exactly_256(127, 'n');  // 127 characters and the NUL: 256 bytes
    const Case cases[] = {
        // The key cannot be opened: no value is asked for.
        {test::MachineFile(three).fault("RegOpenKeyExW", 5),
         "OS: ? (version ?, build ?)"},
        // One read fails: only that text is "?"; with the build unreadable
        // the Windows 11 rule is off.
        {test::MachineFile(three).fault("RegQueryValueExW", 5, 3),
         "OS: Windows 10 Pro (version 23H2, build ?)"},
        {test::MachineFile(three).fault("RegQueryValueExW", 234, 2),
         "OS: Windows 11 Pro (version ?, build 22631)"},
        // Values missing from an existing key.
        {version_key({test::reg_sz(L"ProductName", L"Windows 10 Pro")}),
         "OS: Windows 10 Pro (version ?, build ?)"},
        // 256 bytes fit the buffer exactly.
        {version_key({test::reg_sz(L"ProductName", exactly_256)}),
         "OS: " + exactly_256 + " (version ?, build ?)"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(section_text(c.machine).find("[ INFO ] " + c.os_line + "\r\n"), std::string::npos) << c.os_line;
    }
    // After a failed open nothing is queried or closed.
    section_text(cases[0].machine);
    EXPECT_EQ(sim::count_calls("RegQueryValueExW"), 0u);
    EXPECT_EQ(sim::count_calls("RegCloseKey"), 0u);
}

TEST(SystemInformationSection, ValueTypeIsNotExamined) {
    // Text stored under other types is read as text, up to its first NUL or
    // all of it when it has none.
    const std::string text = section_text(version_key({test::reg_expand_sz(L"ProductName", L"Windows 10 IoT"),
                                                       test::reg_hex(L"DisplayVersion", "REG_BINARY", "32 00 34 00 48 00 32 00"),
                                                       test::reg_multi_sz(L"CurrentBuildNumber", {L"26100", L"ignored"})}));
    EXPECT_NE(text.find("[ INFO ] OS: Windows 11 IoT (version 24H2, build 26100)\r\n"), std::string::npos) << text;
}

TEST(SystemInformationSection, ArchitectureOfTheHost) {
    struct Case {
        int value;
        const char* name;
    };
    const Case cases[] = {{9, "x64"}, {12, "ARM64"}, {0, "x86"}, {5, "unknown"}, {6, "unknown"}};
    for (const Case& c : cases) {
        const std::string text = section_text(test::machine_file().set("native_architecture", c.value));
        EXPECT_NE(text.find(std::string("[ INFO ] System architecture: ") + c.name + "\r\n[ INFO ] This diagnostic tool "
                                                                                      "was built as: x64\r\n"),
                  std::string::npos)
            << text;
    }
}

// An x64 process that Windows emulates on ARM64 gets x64 from
// GetNativeSystemInfo; IsWow64Process2 names the native machine. Where
// kernel32 lacks it (or it fails), GetNativeSystemInfo is the answer.
TEST(SystemInformationSection, HostMachineFromIsWow64Process2) {
    struct Case {
        const char* what;
        nlohmann::json machine;  // the machine file's processor entries
        const char* name;
        std::size_t native_system_info_calls;
    };
    const Case cases[] = {
        {"ARM64 host, x64 tool emulated", {{"native_architecture", 9}, {"native_machine", "0xAA64"}}, "ARM64", 0},
        {"x64 host", {{"native_architecture", 9}, {"native_machine", "0x8664"}}, "x64", 0},
        {"x86 machine named", {{"native_architecture", 9}, {"native_machine", "0x014C"}}, "x86", 0},
        {"32-bit ARM machine named", {{"native_architecture", 9}, {"native_machine", "0x01C4"}}, "unknown", 0},
        {"before Windows 10 1709: no IsWow64Process2",
         {{"native_architecture", 9}, {"native_machine", "0xAA64"}, {"is_wow64_process2", false}}, "x64", 1},
        {"no IsWow64Process2 on an x86 host", {{"native_architecture", 0}, {"is_wow64_process2", false}}, "x86", 1},
        {"IsWow64Process2 fails",
         {{"native_architecture", 12},
          {"native_machine", "0x8664"},
          {"faults", {{{"operation", "IsWow64Process2"}, {"code", 5}}}}},
         "ARM64", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::MachineFile machine = test::machine_file();
        machine.json() = c.machine;
        const std::string text = section_text(machine);
        EXPECT_NE(text.find(std::string("[ INFO ] System architecture: ") + c.name + "\r\n"), std::string::npos) << text;
        EXPECT_EQ(sim::count_calls("IsWow64Process2"), 1u);
        EXPECT_EQ(sim::count_calls("GetNativeSystemInfo"), c.native_system_info_calls);
    }
}

}  // namespace
}  // namespace vq4
