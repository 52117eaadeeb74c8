#include <gtest/gtest.h>

#include <functional>

#include "platform/sim/pe_image.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "sdk/sdk_registration_section.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

std::string report_of(const std::function<void()>& run) {
    const auto dir = test::make_temp_dir("sdk_registration");
    open_report_file(widen((dir / "r.txt").string()));
    run();
    close_report_file();
    const std::string text = test::read_file_bytes(dir / "r.txt");
    std::filesystem::remove_all(dir);
    return text;
}

std::string section_text(const test::MachineFile& machine) {
    machine.use();
    return report_of(run_sdk_registration_section);
}

const std::string kHeader = "\n==== 4. SDK registry / DLL registration (Quorvane Tonvela API) ====\n";
const std::wstring kKey64 = L"HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";
const std::wstring kKey32 = L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";

// A machine with `path` registered as the default value of a view's key.
test::MachineFile registration(const std::wstring& key, const std::wstring& path) {
    return test::machine_file().key(key, {test::reg_sz(L"", path)});
}

// A PE image at `path` of that machine, with a version resource when `version` is given.
nlohmann::json pe_file(const std::wstring& path, const std::string& machine, const std::string& version = "") {
    nlohmann::json pe = {{"machine", machine}};
    if (!version.empty()) pe["file_version"] = version;
    return test::file_entry(path, {{"pe", pe}});
}

TEST(MachineName, Table) {
    EXPECT_EQ(machine_name(0x014C), L"x86 (32-bit)");
    EXPECT_EQ(machine_name(0x8664), L"x64");
    EXPECT_EQ(machine_name(0xAA64), L"ARM64");
    EXPECT_EQ(machine_name(0x01C4), L"unknown (0x01C4)");
    EXPECT_EQ(machine_name(0x0001), L"unknown (0x0001)");
    EXPECT_EQ(machine_name(0x0000), L"unknown (0x0000)");
    EXPECT_EQ(machine_name(0xFFFF), L"unknown (0xFFFF)");
}

// Images built by real toolchains (MinGW-w64 for x64 and x86, lld-link for
// ARM64, each with a version resource from windres / llvm-rc) are read by the
// architecture step and the simulated version API as Windows reads them. They
// are seeds of the PE header fuzz target.
TEST(FileVersionText, ToolchainBuiltImages) {
    struct Case {
        const char* file;
        std::uint16_t machine;
    };
    const Case cases[] = {{"x64_version", 0x8664}, {"x86_version", 0x014C}, {"arm64_version", 0xAA64}};
    for (const Case& c : cases) {
        const std::string bytes =
            test::read_file_bytes(std::filesystem::path(VQ4_SOURCE_DIR) / "tests/fuzz/corpus/pe_header" / c.file);
        ASSERT_FALSE(bytes.empty()) << c.file;
        sim::Machine m;
        m.files.push_back(sim::File{L"C:\\x\\lib.dll", 0x20, std::vector<std::uint8_t>(bytes.begin(), bytes.end()), false, {}, {}, {}});
        sim::set_machine(m);
        EXPECT_EQ(read_pe_machine(L"C:\\x\\lib.dll"), c.machine) << c.file;
        EXPECT_EQ(file_version_text(L"C:\\x\\lib.dll"), L"1.51.0.7") << c.file;
        // VerQueryValueW failing on the same image: no fixed block.
        m.faults.push_back(sim::Fault{"VerQueryValueW", 1, 1813});
        sim::set_machine(m);
        EXPECT_EQ(file_version_text(L"C:\\x\\lib.dll"), L"(no VS_FIXEDFILEINFO)") << c.file;
    }
}

TEST(FileVersionText, EveryOutcome) {
    test::machine_file()
        .files({pe_file(L"C:\\v\\versioned.dll", "0x8664", "1.51.65535.0"), pe_file(L"C:\\v\\unversioned.dll", "0x8664"),
                test::file_entry(L"C:\\v\\no_resources.dll", {{"pe", {{"machine", "0x8664"}, {"resource_section", false}}}}),
                test::file_entry(L"C:\\v\\no_fixed.dll",
                                 {{"pe", {{"machine", "0x8664"}, {"file_version", "1.0.0.0"}, {"fixed_file_info", false}}}}),
                test::file_entry(L"C:\\v\\text.dll", {{"text", "not an image"}}),
                pe_file(L"C:\\v\\faulty.dll", "0x8664", "3.2.1.0")})
        .fault("GetFileVersionInfoW", 5, 3)
        .use();
    EXPECT_EQ(file_version_text(L"C:\\v\\versioned.dll"), L"1.51.65535.0");
    EXPECT_EQ(file_version_text(L"C:\\v\\unversioned.dll"), L"(no version info)");
    EXPECT_EQ(file_version_text(L"C:\\v\\no_resources.dll"), L"(no version info)");
    EXPECT_EQ(file_version_text(L"C:\\v\\text.dll"), L"(no version info)");
    EXPECT_EQ(file_version_text(L"C:\\v\\missing.dll"), L"(no version info)");
    EXPECT_EQ(file_version_text(L"C:\\v\\no_fixed.dll"), L"(no VS_FIXEDFILEINFO)");
    EXPECT_EQ(file_version_text(L"C:\\v\\faulty.dll"), L"(unable to read version info)");
    // The buffer asked for is the size GetFileVersionInfoSizeW gave.
    const auto& trace = sim::machine().trace;
    for (std::size_t i = 0; i + 1 < trace.size(); ++i) {
        if (trace[i].operation == "GetFileVersionInfoSizeW" && trace[i + 1].operation == "GetFileVersionInfoW") {
            EXPECT_EQ(trace[i + 1].arguments, trace[i].arguments + ", " + std::to_string(trace[i].result));
        }
    }
}

// The simulated version API reports what Windows reports for files without
// a version resource.
TEST(FileVersionText, SimulatedErrorsFollowWindows) {
    const auto size_error = [](const nlohmann::json& file) {
        test::machine_file().files({file}).use();
        std::uint32_t error = 0;
        for (const sim::File& f : sim::machine().files) error = sim::find_version_resource(f.bytes).error;
        return error;
    };
    EXPECT_EQ(size_error(pe_file(L"C:\\a.dll", "0x8664")), win::ERROR_RESOURCE_TYPE_NOT_FOUND_);
    EXPECT_EQ(size_error(test::file_entry(L"C:\\a.dll", {{"pe", {{"machine", "0x8664"}, {"resource_section", false}}}})),
              win::ERROR_RESOURCE_DATA_NOT_FOUND_);
    EXPECT_EQ(size_error(test::file_entry(L"C:\\a.dll", {{"text", "MZ"}})), win::ERROR_RESOURCE_DATA_NOT_FOUND_);
    EXPECT_EQ(size_error(pe_file(L"C:\\a.dll", "0x8664", "1.2.3.4")), 0u);
}

// Bytes of a file whose header is cut or lies; the PE reader must refuse
// every one without reading past what the file holds.
std::vector<std::uint8_t> image_with(const std::function<void(std::vector<std::uint8_t>&)>& change) {
    sim::PeImageShape shape;
    shape.machine = 0x8664;
    std::vector<std::uint8_t> bytes = sim::synthesize_pe_image(shape);
    change(bytes);
    return bytes;
}

void set32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t lfanew(const std::vector<std::uint8_t>& b) {
    return b[0x3C] | (b[0x3D] << 8) | (b[0x3E] << 16) | (static_cast<std::uint32_t>(b[0x3F]) << 24);
}

TEST(ReadPeMachine, RefusesHostileHeaders) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::optional<std::uint16_t> machine;
    };
    const std::vector<Case> cases = {
        {"a synthesized x64 image", image_with([](auto&) {}), 0x8664},
        {"empty file", {}, std::nullopt},
        {"63 bytes", image_with([](auto& b) { b.resize(63); }), std::nullopt},
        {"not MZ", image_with([](auto& b) { b[0] = 'Z'; b[1] = 'M'; }), std::nullopt},
        {"e_lfanew negative", image_with([](auto& b) { set32(b, 0x3C, 0xFFFFFFF0u); }), std::nullopt},
        {"e_lfanew most negative", image_with([](auto& b) { set32(b, 0x3C, 0x80000000u); }), std::nullopt},
        {"e_lfanew beyond the end", image_with([](auto& b) { set32(b, 0x3C, static_cast<std::uint32_t>(b.size()) + 16); }),
         std::nullopt},
        {"e_lfanew at the end", image_with([](auto& b) { set32(b, 0x3C, static_cast<std::uint32_t>(b.size())); }),
         std::nullopt},
        {"e_lfanew far beyond", image_with([](auto& b) { set32(b, 0x3C, 0x7FFFFFFFu); }), std::nullopt},
        {"signature cut", image_with([](auto& b) { b.resize(lfanew(b) + 2); }), std::nullopt},
        {"signature wrong", image_with([](auto& b) { b[lfanew(b) + 2] = 1; }), std::nullopt},
        {"COFF header cut at 19 bytes", image_with([](auto& b) { b.resize(lfanew(b) + 4 + 19); }), std::nullopt},
        {"COFF header complete, nothing after", image_with([](auto& b) { b.resize(lfanew(b) + 4 + 20); }), 0x8664},
        {"e_lfanew pointing into the DOS header", image_with([](auto& b) { set32(b, 0x3C, 0); }), std::nullopt},
    };
    for (const Case& c : cases) {
        sim::Machine m;
        m.files.push_back(sim::File{L"C:\\x\\lib.dll", 0x20, c.bytes, false, {}, {}, {}});
        sim::set_machine(m);
        EXPECT_EQ(read_pe_machine(L"C:\\x\\lib.dll"), c.machine) << c.what;
        // The file was opened for reading sharing read, write and delete, and closed on every path.
        EXPECT_EQ(sim::count_calls("CreateFileW", "C:\\x\\lib.dll, 0x80000000, 0x7, 3, 0x80"), 1u) << c.what;
        EXPECT_EQ(sim::count_calls("CloseHandle"), 1u) << c.what;
        EXPECT_TRUE(sim::machine().trace.back().operation == "CloseHandle") << c.what;
    }

    // Files that cannot be opened give no machine.
    test::machine_file()
        .file(L"C:\\x\\held.dll", {{"pe", {{"machine", "0x8664"}}}, {"held_exclusively", true}})
        .use();
    EXPECT_EQ(read_pe_machine(L"C:\\x\\held.dll"), std::nullopt);
    EXPECT_EQ(read_pe_machine(L"C:\\x\\absent.dll"), std::nullopt);
    EXPECT_EQ(sim::count_calls("CloseHandle"), 0u);
}

// The maker's service may hold the library open, for writing or deleting
// too: the header is still read unless it shares no reading at all.
TEST(ReadPeMachine, AFileHeldOpenByAnotherProcessIsReadWhereSharingAllows) {
    struct Case {
        const char* what;
        nlohmann::json hold;  // the file entry's hold
        std::optional<std::uint16_t> machine;
    };
    const std::vector<Case> cases = {
        {"read and delete, sharing read and delete", {{"held_open", {{"access", "0x80010000"}, {"share", 5}}}}, 0x8664},
        {"read and write, sharing read and write", {{"held_open", {{"access", "0xC0000000"}, {"share", 3}}}}, 0x8664},
        {"read, sharing everything", {{"held_open", {{"access", "0x80000000"}, {"share", 7}}}}, 0x8664},
        {"write, sharing write only", {{"held_open", {{"access", "0x40000000"}, {"share", 2}}}}, std::nullopt},
        {"without sharing", {{"held_exclusively", true}}, std::nullopt},
    };
    for (const Case& c : cases) {
        nlohmann::json file = test::file_entry(L"C:\\x\\lib.dll", {{"pe", {{"machine", "0x8664"}}}});
        file.update(c.hold);
        test::machine_file().files({file}).use();
        EXPECT_EQ(read_pe_machine(L"C:\\x\\lib.dll"), c.machine) << c.what;
    }
}

TEST(SdkRegistrationSection, RegisteredOnlyInThe32BitView) {
    const std::string text = section_text(registration(kKey32, L"C:\\SDK32\\qtv_api_core.dll")
                                              .files({pe_file(L"C:\\SDK32\\qtv_api_core.dll", "0x014C", "1.51.0.0"),
                                                      pe_file(L"C:\\SDK32\\vxlinkapi_x86.dll", "0x014C", "2.3.0.0")}));
    EXPECT_EQ(text, test::crlf(kHeader +
                               "[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by "
                               "applications running as 64-bit view.\n"
                               "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\SDK32\\qtv_api_core.dll\n"
                               "[  OK  ]   -> File present.\n"
                               "[ INFO ]   -> File version: 1.51.0.0\n"
                               "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
                               "[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.3.0.0).\n"));
}

TEST(SdkRegistrationSection, NeitherViewRegistered) {
    test::reset_counters();
    EXPECT_EQ(section_text(test::machine_file()),
              test::crlf(kHeader +
                         "[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by applications "
                         "running as 64-bit view.\n"
                         "[ WARN ] CLSID registry key missing (32-bit view / WOW6432Node): the SDK will not be found by "
                         "applications running as 32-bit view / WOW6432Node.\n"));
    EXPECT_EQ(test::counts().fail, 1);
    EXPECT_EQ(test::counts().warn, 1);
    EXPECT_EQ(test::counts().ok, 0);
}

TEST(SdkRegistrationSection, X64LibraryInBothViews) {
    const std::wstring path = L"C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll";
    const std::string text = section_text(
        registration(kKey64, path)
            .key(kKey32, {test::reg_sz(L"", path)})
            .files({pe_file(path, "0x8664", "1.51.0.0"),
                    pe_file(L"C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll", "0x8664")}));
    EXPECT_EQ(text, test::crlf(kHeader +
                               "[ INFO ] Path declared (64-bit view): C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll\n"
                               "[  OK  ]   -> File present.\n"
                               "[ INFO ]   -> File version: 1.51.0.0\n"
                               "[  OK  ]   -> File architecture is consistent (x64).\n"
                               "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version (no version info)).\n"
                               "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\Program Files\\Quorvane\\Tonvela "
                               "SDK\\qtv_api_core.dll\n"
                               "[  OK  ]   -> File present.\n"
                               "[ INFO ]   -> File version: 1.51.0.0\n"
                               "[ FAIL ]   -> INCONSISTENT architecture: file is x64 while this registry view expects x86 "
                               "(32-bit).\n"
                               "[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading "
                               "qtv_api_core will likely fail.\n"));
}

// One view at a time: the lines check_sdk_registration_view prints for a
// registered value and the files around it.
struct ViewCase {
    const char* what;
    std::wstring value;                 // the registered default value
    std::vector<nlohmann::json> files;  // the machine's files
    std::uint32_t flag;
    std::string expected;     // lines, without CR
};

const std::string kDevWarn =
    "[ WARN ]   -> This path looks like a development path (not a standard 'Program Files'-style install). Normal on an "
    "SDK dev machine; worth checking it isn't unintentional (e.g. a debug .reg was left active).\n";

TEST(SdkRegistrationSection, ViewFindings) {
    const std::vector<ViewCase> cases = {
        {"ARM64 library in the 64-bit view", L"C:\\SDK\\qtv_api_core.dll",
         {pe_file(L"C:\\SDK\\qtv_api_core.dll", "0xAA64", "1.0.0.1"),
              pe_file(L"C:\\SDK\\vxlinkapi_x64.dll", "0xAA64", "9.8.7.6")},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:\\SDK\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.0.0.1\n"
         "[ FAIL ]   -> INCONSISTENT architecture: file is ARM64 while this registry view expects x64.\n"
         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 9.8.7.6).\n"},
        {"a machine outside the table, small value", L"C:\\SDK\\qtv_api_core.dll",
         {pe_file(L"C:\\SDK\\qtv_api_core.dll", "0x0001", "1.0.0.0")}, win::KEY_WOW64_32KEY_,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\SDK\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.0.0.0\n"
         "[ FAIL ]   -> INCONSISTENT architecture: file is unknown (0x0001) while this registry view expects x86 (32-bit).\n"
         "[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading qtv_api_core will likely "
         "fail.\n"},
        {"development path, capitals, several fragments: one Warn", L"D:\\Projects\\Tonvela\\X64\\RELEASE\\qtv_api_core.dll",
         {pe_file(L"D:\\Projects\\Tonvela\\X64\\RELEASE\\qtv_api_core.dll", "0x8664"),
              pe_file(L"D:\\Projects\\Tonvela\\X64\\RELEASE\\vxlinkapi_x64.dll", "0x8664", "2.0.0.0")},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): D:\\Projects\\Tonvela\\X64\\RELEASE\\qtv_api_core.dll\n" + kDevWarn +
             "[  OK  ]   -> File present.\n"
             "[ INFO ]   -> File version: (no version info)\n"
             "[  OK  ]   -> File architecture is consistent (x64).\n"
             "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.0.0.0).\n"},
        {"each development fragment alone", L"C:\\w\\duzeze_ri\\qtv_api_core.dll", {}, win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:\\w\\duzeze_ri\\qtv_api_core.dll\n" + kDevWarn +
             "[ FAIL ]   -> File NOT FOUND at this location.\n"},
        {"debug folder", L"C:\\w\\debug\\qtv_api_core.dll", {}, win::KEY_WOW64_32KEY_,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\w\\debug\\qtv_api_core.dll\n" + kDevWarn +
             "[ WARN ]   -> File NOT FOUND at this location.\n"},
        {"not a folder name, only a part of one", L"C:\\DebugTools\\Releases\\qtv_api_core.dll", {},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:\\DebugTools\\Releases\\qtv_api_core.dll\n"
         "[ FAIL ]   -> File NOT FOUND at this location.\n"},
        {"registered path names a folder", L"C:\\SDK", {pe_file(L"C:\\SDK\\qtv_api_core.dll", "0x8664")},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:\\SDK\n"
         "[ FAIL ]   -> File NOT FOUND at this location.\n"},
        {"registered folder in the 32-bit view", L"C:\\SDK\\", {pe_file(L"C:\\SDK\\qtv_api_core.dll", "0x8664")},
         win::KEY_WOW64_32KEY_,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): C:\\SDK\\\n"
         "[ WARN ]   -> File NOT FOUND at this location.\n"},
        {"not a PE image: no architecture line, the dependency still checked", L"C:\\SDK\\qtv_api_core.dll",
         {test::file_entry(L"C:\\SDK\\qtv_api_core.dll", {{"text", "MZ but far too short"}}),
          test::file_entry(L"C:\\SDK\\vxlinkapi_x64.dll", {{"directory", true}})},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:\\SDK\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: (no version info)\n"
         "[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core will likely "
         "fail.\n"},
        {"forward slashes find the folder too", L"C:/SDK/qtv_api_core.dll",
         {pe_file(L"C:\\SDK\\qtv_api_core.dll", "0x8664", "1.51.0.0"),
              pe_file(L"C:\\SDK\\vxlinkapi_x64.dll", "0x8664", "2.3.0.0")},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): C:/SDK/qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.51.0.0\n"
         "[  OK  ]   -> File architecture is consistent (x64).\n"
         "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.3.0.0).\n"},
        {"no separator at all: no dependency line", L"qtv_api_core.dll", {pe_file(L"qtv_api_core.dll", "0x8664", "1.2.3.4")},
         win::KEY_WOW64_64KEY_,
         "[ INFO ] Path declared (64-bit view): qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.2.3.4\n"
         "[  OK  ]   -> File architecture is consistent (x64).\n"},
        {"empty value", L"", {}, win::KEY_WOW64_64KEY_,
         "[ FAIL ] CLSID registry key present (64-bit view) but the value is empty/unreadable.\n"},
        {"260 characters do not fit", L"C:\\" + std::wstring(257, L'x'), {}, win::KEY_WOW64_32KEY_,
         "[ WARN ] CLSID registry key present (32-bit view / WOW6432Node) but the value is empty/unreadable.\n"},
    };
    for (const ViewCase& c : cases) {
        const bool wow = c.flag == win::KEY_WOW64_32KEY_;
        registration(wow ? kKey32 : kKey64, c.value).files(c.files).use();
        const std::string text = report_of([&] {
            if (wow) {
                check_sdk_registration_view(c.flag, L"32-bit view / WOW6432Node", 0x014C, StatusKind::Warn);
            } else {
                check_sdk_registration_view(c.flag, L"64-bit view", 0x8664, StatusKind::Fail);
            }
        });
        EXPECT_EQ(text, test::crlf(c.expected)) << c.what;
    }
}

TEST(SdkRegistrationSection, KeyIsOpenedReadOnlyInEachViewAndClosedBeforeItsLine) {
    registration(kKey64, L"C:\\Nowhere\\qtv_api_core.dll").use();
    report_of(run_sdk_registration_section);
    EXPECT_EQ(sim::count_calls("RegOpenKeyExW",
                               "HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, 0x20119"),
              1u);
    EXPECT_EQ(sim::count_calls("RegOpenKeyExW",
                               "HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, 0x20219"),
              1u);
    EXPECT_EQ(sim::count_calls("RegQueryValueExW"), 1u);
    EXPECT_EQ(sim::count_calls("RegCloseKey"), 1u);
    // Nothing is written or loaded by this section.
    EXPECT_EQ(sim::count_calls("RegSetValueExW"), 0u);
    EXPECT_EQ(sim::count_calls("LoadLibraryW"), 0u);
}

// A REG_EXPAND_SZ registration is shown as declared and checked as COM
// expands it; a 32-bit process's %ProgramFiles% is the (x86) folder.
TEST(SdkRegistrationSection, ExpandableRegistrationsAreCheckedExpanded) {
    struct Case {
        const char* what;
        std::string type;
        std::wstring value;
        bool view_32bit;
        std::string expected;
    };
    const std::vector<nlohmann::json> x64_files = {pe_file(L"C:\\Program Files\\Q\\qtv_api_core.dll", "0x8664", "1.51.0.0"),
                                                    pe_file(L"C:\\Program Files\\Q\\vxlinkapi_x64.dll", "0x8664", "2.3.0.0")};
    const std::vector<nlohmann::json> x86_files = {
        pe_file(L"C:\\Program Files (x86)\\Q\\qtv_api_core.dll", "0x014C", "1.51.0.0"),
        pe_file(L"C:\\Program Files (x86)\\Common Files\\Q\\qtv_api_core.dll", "0x014C", "1.51.0.0"),
        pe_file(L"C:\\Program Files (x86)\\Q\\vxlinkapi_x86.dll", "0x014C", "2.3.0.0")};
    const std::string all_ok64 = "[  OK  ]   -> File present.\n"
                                 "[ INFO ]   -> File version: 1.51.0.0\n"
                                 "[  OK  ]   -> File architecture is consistent (x64).\n"
                                 "[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.3.0.0).\n";
    const std::vector<Case> cases = {
        {"64-bit view", "REG_EXPAND_SZ", L"%ProgramFiles%\\Q\\qtv_api_core.dll", false,
         "[ INFO ] Path declared (64-bit view): %ProgramFiles%\\Q\\qtv_api_core.dll\n" + all_ok64},
        {"letter case of the name does not matter", "REG_EXPAND_SZ", L"%PROGRAMFILES%\\Q\\qtv_api_core.dll", false,
         "[ INFO ] Path declared (64-bit view): %PROGRAMFILES%\\Q\\qtv_api_core.dll\n" + all_ok64},
        {"32-bit view: the (x86) folder", "REG_EXPAND_SZ", L"%ProgramFiles%\\Q\\qtv_api_core.dll", true,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): %ProgramFiles%\\Q\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.51.0.0\n"
         "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
         "[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.3.0.0).\n"},
        {"32-bit view: %CommonProgramFiles% too", "REG_EXPAND_SZ", L"%CommonProgramFiles%\\Q\\qtv_api_core.dll",
         true,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): %CommonProgramFiles%\\Q\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.51.0.0\n"
         "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
         "[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading qtv_api_core will likely "
         "fail.\n"},
        {"32-bit view: %ProgramFiles(x86)% itself", "REG_EXPAND_SZ", L"%ProgramFiles(x86)%\\Q\\qtv_api_core.dll",
         true,
         "[ INFO ] Path declared (32-bit view / WOW6432Node): %ProgramFiles(x86)%\\Q\\qtv_api_core.dll\n"
         "[  OK  ]   -> File present.\n"
         "[ INFO ]   -> File version: 1.51.0.0\n"
         "[  OK  ]   -> File architecture is consistent (x86 (32-bit)).\n"
         "[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.3.0.0).\n"},
        {"REG_SZ is not expanded", "REG_SZ", L"%ProgramFiles%\\Q\\qtv_api_core.dll", false,
         "[ INFO ] Path declared (64-bit view): %ProgramFiles%\\Q\\qtv_api_core.dll\n"
         "[ FAIL ]   -> File NOT FOUND at this location.\n"},
        {"the development path test looks at the expanded path", "REG_EXPAND_SZ", L"%BUILD%\\qtv_api_core.dll",
         false,
         "[ INFO ] Path declared (64-bit view): %BUILD%\\qtv_api_core.dll\n" + kDevWarn +
             "[ FAIL ]   -> File NOT FOUND at this location.\n"},
    };
    for (const Case& c : cases) {
        const std::wstring key = c.view_32bit ? kKey32 : kKey64;
        test::machine_file()
            .set("environment", {{"BUILD", "C:\\Projects\\Q\\x64\\Release"}})
            .key(key, {test::reg_value(L"", c.type, test::utf8(c.value))})
            .files(x64_files)
            .files(x86_files)
            .use();
        const std::string text = report_of([&] {
            if (c.view_32bit) {
                check_sdk_registration_view(win::KEY_WOW64_32KEY_, L"32-bit view / WOW6432Node", 0x014C, StatusKind::Warn);
            } else {
                check_sdk_registration_view(win::KEY_WOW64_64KEY_, L"64-bit view", 0x8664, StatusKind::Fail);
            }
        });
        EXPECT_EQ(text, test::crlf(c.expected)) << c.what;
    }
}

}  // namespace
}  // namespace vq4
