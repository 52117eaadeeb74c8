#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "support/interface_guid_cases.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4 {
namespace {

const std::wstring kDefaultGuid = L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
const std::wstring kDefaultSource = L"built-in default, SDK configuration file not readable";
const std::string kRegistrationKey = "HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";

test::CaseHost sim_host() {
    test::CaseHost host;
    host.write_file = [](const std::wstring& path, const std::string& bytes) {
        sim::File file;
        file.path = path;
        file.bytes.assign(bytes.begin(), bytes.end());
        sim::machine().files.push_back(std::move(file));
    };
    host.create_key = [](const std::wstring& path) {
        sim::machine().registry.create(sim::canonical_registry_path(path));
    };
    // A variable of the system, which the process has too: an elevated
    // process expands a registration with the system's variables only.
    // (Under Wine, whose ExpandEnvironmentStringsForUserW ignores the token,
    // the probe's process variable serves as well.)
    host.set_variable = [](const std::wstring& name, const std::wstring& value) {
        sim::set_variable(sim::machine().environment, name, value);
        sim::set_variable(sim::machine().system_environment, name, value);
    };
    return host;
}

std::string join_failures(const std::vector<std::string>& failures) {
    std::string text;
    for (const std::string& f : failures) text += f + "\n";
    return text;
}

// The tables that vq4_platform_probe.exe also runs on the real API under Wine.
TEST(SharedCaseTables, ProfileReaderMatchesTheSystemReader) {
    test::machine_file().use();
    const std::vector<std::string> failures = test::run_profile_cases(L"C:\\Probe", sim_host());
    EXPECT_TRUE(failures.empty()) << join_failures(failures);
}

TEST(SharedCaseTables, ExpectedInterfaceGuidFromTheRegisteredSdkFolder) {
    // The cases write the registration through the registry calls, as the
    // probe does under Wine, which always runs elevated.
    test::machine_file().elevated(true).use();
    const std::vector<std::string> failures = test::run_guid_source_cases(L"C:\\Probe", sim_host());
    EXPECT_TRUE(failures.empty()) << join_failures(failures);
}

TEST(SharedCaseTables, RegisteredGuidLists) {
    test::machine_file().elevated(true).use();
    const std::vector<std::string> failures = test::run_registered_cases(sim_host());
    EXPECT_TRUE(failures.empty()) << join_failures(failures);
}

nlohmann::json ini_file(const std::string& path, const std::string& text, bool held = false) {
    nlohmann::json file = test::file_entry(path, {{"text", text}});
    if (held) file["held_exclusively"] = true;
    return file;
}

const std::string kGoodIni = "[DriverInterface]\nInterfaceGUID={1A2B3C4D-5E6F-4A8B-9C0D-1E2F3A4B5C6D}\n";

test::MachineFile machine_with_registration(const std::string& registered, const nlohmann::json& file) {
    return test::machine_file().key(kRegistrationKey, {test::reg_sz(L"", registered)}).files({file});
}

// Keys opened successfully and keys closed, from the trace.
std::pair<std::size_t, std::size_t> keys_opened_and_closed() {
    std::size_t opened = 0;
    for (const auto& e : sim::machine().trace) {
        if (e.operation == "RegOpenKeyExW" && e.result == 0) ++opened;
    }
    return {opened, sim::count_calls("RegCloseKey")};
}

TEST(ExpectedInterfaceGuid, ReadsTheConfigurationFileWithTheDocumentedCalls) {
    machine_with_registration("C:\\SDK\\core.dll",
                              ini_file("C:\\SDK\\vxlinkapi_x64.dll.config.ini",
                                       "[DriverInterface]\r\nInterfaceGUID={1a2b3c4d-5e6f-4a8b-9c0d-1e2f3a4b5c6d}\r\n"))
        .use();
    const ExpectedGuid expected = expected_interface_guid();
    EXPECT_EQ(expected.guid, L"{1A2B3C4D-5E6F-4A8B-9C0D-1E2F3A4B5C6D}");
    EXPECT_EQ(expected.source, L"C:\\SDK\\vxlinkapi_x64.dll.config.ini");

    const auto& trace = sim::machine().trace;
    ASSERT_EQ(trace.size(), 5u);
    // Whose registration: an unelevated process reads the one the user's applications see.
    EXPECT_EQ(trace[0].operation, "GetTokenInformation(GetCurrentProcessToken)");
    // The view of a 64-bit program: KEY_READ alone, no WOW64 flag.
    EXPECT_EQ(trace[1].operation, "RegOpenKeyExW");
    EXPECT_EQ(trace[1].arguments, "HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32, 0x20019");
    EXPECT_EQ(trace[2].operation, "RegQueryValueExW");
    EXPECT_NE(trace[2].arguments.find("\"\", 520"), std::string::npos) << trace[2].arguments;
    EXPECT_EQ(trace[3].operation, "RegCloseKey") << "closed right after the query";
    EXPECT_EQ(trace[4].operation, "GetPrivateProfileStringW");
    EXPECT_EQ(trace[4].arguments, "DriverInterface, InterfaceGUID, 64, C:\\SDK\\vxlinkapi_x64.dll.config.ini");
}

TEST(ExpectedInterfaceGuid, FallbacksAndWhatTheyLeaveUntried) {
    struct Case {
        std::string name;
        test::MachineFile machine;
        std::size_t profile_reads;
    };
    const nlohmann::json good_file = ini_file("C:\\SDK\\vxlinkapi_x64.dll.config.ini", kGoodIni);
    // 260 characters: with the NUL, two bytes more than the 520-byte buffer.
    const std::string too_long = "C:\\SDK\\" + std::string(260 - 7 - 4, 'c') + ".dll";
    ASSERT_EQ(too_long.size(), 260u);
    const std::vector<Case> cases = {
        {"no registration", test::machine_file().files({good_file}), 0},
        {"registration only in the 32-bit view",
         test::machine_file()
             .key(L"HKCR\\WOW6432Node\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
                  {test::reg_sz(L"", L"C:\\SDK\\core.dll")})
             .files({good_file}),
         0},
        {"empty registration value", machine_with_registration("", good_file), 0},
        {"file name without folder", machine_with_registration("core.dll", good_file), 0},
        {"environment reference is not expanded", machine_with_registration("%SDK%\\core.dll", good_file), 1},
        {"registration of 260 characters", machine_with_registration(too_long, good_file), 0},
        {"configuration file held open without sharing",
         machine_with_registration("C:\\SDK\\core.dll",
                                   ini_file("C:\\SDK\\vxlinkapi_x64.dll.config.ini", kGoodIni, true)),
         1},
        {"registration read fails",
         machine_with_registration("C:\\SDK\\core.dll", good_file)
             .fault("RegQueryValueExW", 5, 1)
             .fault("RegQueryValueExW", 5, 2),
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.machine.use();
        const ExpectedGuid expected = expected_interface_guid();
        EXPECT_EQ(expected.guid, kDefaultGuid);
        EXPECT_EQ(expected.source, kDefaultSource);
        EXPECT_EQ(sim::count_calls("GetPrivateProfileStringW"), c.profile_reads);
        const auto [opened, closed] = keys_opened_and_closed();
        EXPECT_EQ(opened, closed) << "every key opened is closed";
        EXPECT_EQ(expected_interface_guid().guid, kDefaultGuid) << "same answer on a second call";
    }
}

TEST(ExpectedInterfaceGuid, RegistrationOfExactly259CharactersFits) {
    // 259 characters and the NUL are exactly the 520 bytes of the buffer.
    const std::string folder = "C:\\" + std::string(259 - 3 - 1 - 8, 'd') + "\\";
    const std::string registered = folder + "core.dll";
    ASSERT_EQ(registered.size(), 259u);
    machine_with_registration(registered, ini_file(folder + "vxlinkapi_x64.dll.config.ini", kGoodIni)).use();
    const ExpectedGuid expected = expected_interface_guid();
    EXPECT_EQ(expected.guid, L"{1A2B3C4D-5E6F-4A8B-9C0D-1E2F3A4B5C6D}");
    EXPECT_EQ(expected.source, widen(folder) + L"vxlinkapi_x64.dll.config.ini");
}

TEST(ExpectedInterfaceGuid, OddLengthRegistrationKeepsItsLastCharacter) {
    // "C:\S\" as UTF-16LE without NUL and without the high byte of its last
    // character, the separator: the zeroed buffer completes it, so the folder
    // is C:\S\ and not C:\.
    test::machine_file()
        .key(kRegistrationKey, {test::reg_hex(L"", "REG_SZ", "43 00 3A 00 5C 00 53 00 5C")})
        .files({ini_file("C:\\S\\vxlinkapi_x64.dll.config.ini", kGoodIni)})
        .use();
    const ExpectedGuid expected = expected_interface_guid();
    EXPECT_EQ(expected.guid, L"{1A2B3C4D-5E6F-4A8B-9C0D-1E2F3A4B5C6D}");
    EXPECT_EQ(expected.source, L"C:\\S\\vxlinkapi_x64.dll.config.ini");
}

TEST(ReadRegisteredGuids, UnreadableValuesContributeNothingAndTheOtherIsStillRead) {
    // A multi-string whose data read fails after its size was read.
    test::machine_file()
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\1")
                    .hardware_key(
                        {test::reg_multi_sz(L"DeviceInterfaceGUIDs", {L"{A0000000-0000-0000-0000-00000000000A}"}),
                         test::reg_sz(L"DeviceInterfaceGUID", L"{C0000000-0000-0000-0000-00000000000C}")}))
        .fault("RegQueryValueExW", 5, 2)
        .use();
    platform::RegKey key;
    ASSERT_EQ(platform::reg_open_key(platform::RegRoot::LocalMachine,
                                     L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A7D&PID_5E3C&MI_03\\1\\Device Parameters",
                                     win::KEY_READ_, key),
              0);
    const std::vector<std::wstring> guids = read_registered_guids(key);
    EXPECT_EQ(guids, std::vector<std::wstring>{L"{C0000000-0000-0000-0000-00000000000C}"});
    // Size first (no buffer), then the data with exactly that size, then the single value in 126 bytes.
    const auto& trace = sim::machine().trace;
    std::vector<std::string> queries;
    for (const auto& e : trace) {
        if (e.operation == "RegQueryValueExW") queries.push_back(e.arguments.substr(e.arguments.find('"')));
    }
    EXPECT_EQ(queries, (std::vector<std::string>{"\"DeviceInterfaceGUIDs\", size", "\"DeviceInterfaceGUIDs\", 80",
                                                 "\"DeviceInterfaceGUID\", 126"}));
    EXPECT_EQ(sim::count_calls("RegCloseKey"), 0u) << "the caller's key stays open";
}

TEST(JoinGuids, Table) {
    EXPECT_EQ(join_guids({}), L"(none)");
    EXPECT_EQ(join_guids({L"{A}"}), L"{A}");
    EXPECT_EQ(join_guids({L"{A}", L"x y"}), L"{A}, x y");
    EXPECT_EQ(join_guids({L"a", L"b", L"a"}), L"a, b, a");
}

TEST(ProfileReader, LoneCarriageReturnsEndLinesToo) {
    test::machine_file()
        .text_file(L"C:\\p.ini", "[Other]\rInterfaceGUID=no\r[DriverInterface]\rX=1\rInterfaceGUID=yes\r")
        .use();
    EXPECT_EQ(platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", 64, L"C:\\p.ini"), L"yes");
    EXPECT_EQ(platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", 64, L"c:/P.INI"), L"yes")
        << "Windows file names";
    EXPECT_EQ(platform::get_private_profile_string(L"DriverInterface", L"Missing", L"dflt", 3, L"C:\\p.ini"), L"df")
        << "the default is cut to the buffer too";
}

// The real reader hands back a NUL-terminated text: a NUL byte in the file
// ends the value there, whatever follows it on the line.
TEST(ProfileReader, ValueEndsAtANulCharacter) {
    test::machine_file()
        .hex_file(L"C:\\a.ini",
                  "5B 44 72 69 76 65 72 49 6E 74 65 72 66 61 63 65 5D 0A 49 6E 74 65 72 66 61 63 65 47 55 49 44 3D "
                  "41 42 00 43 44 0A")
        .hex_file(L"C:\\b.ini", "FF FE 5B 00 78 00 5D 00 0A 00 6B 00 3D 00 00 00 7A 00 0A 00")
        .use();
    const std::wstring a = platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", 64, L"C:\\a.ini");
    EXPECT_EQ(a, L"AB");
    EXPECT_EQ(a.size(), 2u);
    const std::wstring b = platform::get_private_profile_string(L"x", L"k", L"dflt", 64, L"C:\\b.ini");
    EXPECT_EQ(b, L"");
    EXPECT_TRUE(b.empty()) << "an empty value, not the default";
}

}  // namespace
}  // namespace vq4
