// What an elevated process trusts: the SDK only from the machine's
// registration, expanded with the system's variables, and only when
// administrators alone can change its file and folder; registry backups only
// in a folder administrators alone can change. And the simulated machine's
// model behind it: HKCU, the merged HKCR, the system's variables apart from
// the user's, file owners, the account of the elevated instance.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "inspect/write_access.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/sim/machine.h"
#include "platform/sim/relaunch.h"
#include "platform/win_constants.h"
#include "repair/protected_folder.h"
#include "repair/repair_section.h"
#include "report/report.h"
#include "sdk/sdk_test_section.h"
#include "support/machine_builder.h"
#include "support/reg_file.h"
#include "support/repair_support.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

const std::wstring kClsid = L"CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";
const std::wstring kMachineKey = L"HKLM\\SOFTWARE\\Classes\\" + kClsid;
const std::wstring kUserKey = L"HKCU\\Software\\Classes\\" + kClsid;
const std::wstring kProgramFilesSdk = L"C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll";
const std::string kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::string kHeader = "\n==== 5. Functional SDK test (load + real communication) ====\n";
const std::string kNotLoaded = "[ WARN ] The SDK was not loaded with administrator rights: ";
const std::string kTestedUnelevated = ". The run without administrator rights tests it.\n";

// An SDK library with its dependency, in `folder`.
test::MachineFile& with_sdk(test::MachineFile& machine, const std::wstring& folder) {
    return machine.pe_file(folder + L"\\qtv_api_core.dll")
        .pe_file(folder + L"\\vxlinkapi_x64.dll")
        .sdk(folder + L"\\qtv_api_core.dll");
}

std::string section_text(const test::MachineFile& machine) {
    machine.use();
    const auto dir = test::make_temp_dir("elevated_sdk");
    open_report_file(widen((dir / "r.txt").string()));
    run_sdk_test_section(L"");
    close_report_file();
    const std::string text = test::read_file_bytes(dir / "r.txt");
    std::filesystem::remove_all(dir);
    return text;
}

std::string first_line_after_header(const std::string& text) {
    const std::string header = test::crlf(kHeader);
    if (text.compare(0, header.size(), header) != 0) return "(no header) " + text;
    const std::size_t end = text.find("\r\n", header.size());
    return text.substr(header.size(), end == std::string::npos ? std::string::npos : end + 2 - header.size());
}

TEST(ElevatedSdk, TheUsersClassesPointingElsewhereNeverLoadInAnElevatedProcess) {
    const std::wstring other = L"C:\\Users\\ana\\Downloads";
    for (const bool elevated : {false, true}) {
        test::MachineFile machine = test::machine_file().elevated(elevated);
        machine.key(kMachineKey, {test::reg_sz(L"", kProgramFilesSdk)})
            .key(kUserKey, {test::reg_sz(L"", other + L"\\qtv_api_core.dll")});
        with_sdk(machine, L"C:\\Program Files\\Quorvane\\Tonvela SDK");
        with_sdk(machine, other);
        const std::string text = section_text(machine);
        EXPECT_EQ(first_line_after_header(text), test::crlf("[  OK  ] SDK initialized successfully (QTV_Init).\n"))
            << elevated;
        // The user's applications get the user's registration (HKCR); an
        // elevated process never loads it.
        EXPECT_EQ(sim::count_calls("LoadLibraryW", test::utf8(other + L"\\qtv_api_core.dll")), elevated ? 0u : 1u);
        EXPECT_EQ(sim::count_calls("LoadLibraryW", test::utf8(kProgramFilesSdk)), elevated ? 1u : 0u);
        EXPECT_EQ(sim::count_calls("AddDllDirectory", test::utf8(other)), 0u + (elevated ? 0u : 1u));
    }
}

TEST(ElevatedSdk, ALibraryOthersCanChangeIsNotLoadedAndOneWarnLineSaysWhy) {
    struct Case {
        const char* what;
        test::MachineFile machine;
        std::string reason;  // empty: loaded
    };
    const std::wstring profile = L"C:\\Users\\ana\\AppData\\Local\\Quorvane";
    std::vector<Case> cases;
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_sz(L"", profile + L"\\qtv_api_core.dll")});
        cases.push_back({"the machine's registration names a DLL in a user's profile", with_sdk(m, profile),
                         "its file " + test::utf8(profile) + "\\qtv_api_core.dll can be changed by others than "
                         "administrators (owned by " + kUserSid + ")"});
    }
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")});
        cases.push_back({"a folder at the root of the drive, which Authenticated Users may modify",
                         with_sdk(m, L"C:\\SDK"),
                         "its file C:\\SDK\\qtv_api_core.dll can be changed by others than administrators "
                         "(Authenticated Users may change it)"});
    }
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_sz(L"", L"C:\\SDK\\qtv_api_core.dll")})
            .file(L"C:\\SDK\\qtv_api_core.dll",
                  {{"pe", {{"machine", "0x8664"}}}, {"owner", "Administrators"}, {"writable_by_non_admins", false}})
            .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
            .sdk(L"C:\\SDK\\qtv_api_core.dll");
        cases.push_back({"a protected file in a folder users may write (its DLL search folder)", m,
                         "its folder C:\\SDK can be changed by others than administrators (Authenticated Users may "
                         "change it)"});
    }
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_sz(L"", kProgramFilesSdk)})
            .file(kProgramFilesSdk, {{"pe", {{"machine", "0x8664"}}}, {"owner", "user"}})
            .pe_file(L"C:\\Program Files\\Quorvane\\Tonvela SDK\\vxlinkapi_x64.dll")
            .sdk(kProgramFilesSdk);
        cases.push_back({"a file in Program Files that a user owns", m,
                         "its file " + test::utf8(kProgramFilesSdk) +
                             " can be changed by others than administrators (owned by " + kUserSid + ")"});
    }
    {
        // %SDKDIR% is the user's own variable: the system's variables leave it
        // unexpanded, and a path that names nothing is not trusted either.
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_expand_sz(L"", L"%SDKDIR%\\qtv_api_core.dll")})
            .set("user_environment", {{"SDKDIR", test::utf8(profile)}});
        cases.push_back({"a REG_EXPAND_SZ naming a variable of the user's", with_sdk(m, profile),
                         "its file %SDKDIR%\\qtv_api_core.dll can be changed by others than administrators (its "
                         "security cannot be read (error code=3))"});
    }
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kUserKey, {test::reg_sz(L"", profile + L"\\qtv_api_core.dll")});
        cases.push_back({"registered for this user only", with_sdk(m, profile),
                         "it is registered for this user only (HKCU\\Software\\Classes)"});
    }
    {
        test::MachineFile m = test::machine_file().elevated(true);
        m.key(kMachineKey, {test::reg_sz(L"", kProgramFilesSdk)});
        cases.push_back({"the machine's SDK in Program Files", with_sdk(m, L"C:\\Program Files\\Quorvane\\Tonvela SDK"),
                         ""});
    }
    for (const Case& c : cases) {
        test::reset_counters();
        const std::string text = section_text(c.machine);
        if (c.reason.empty()) {
            EXPECT_EQ(first_line_after_header(text), test::crlf("[  OK  ] SDK initialized successfully (QTV_Init).\n"))
                << c.what;
            EXPECT_EQ(sim::count_calls("LoadLibraryW"), 1u) << c.what;
            continue;
        }
        EXPECT_EQ(text, test::crlf(kHeader + kNotLoaded + c.reason + kTestedUnelevated)) << c.what;
        EXPECT_EQ(test::counts().warn, 1) << c.what;
        EXPECT_EQ(test::counts().fail, 0) << c.what;
        EXPECT_EQ(sim::count_calls("LoadLibraryW"), 0u) << c.what;
        EXPECT_EQ(sim::count_calls("AddDllDirectory"), 0u) << c.what << ": nor is its folder searched";
    }
    // The same machines without administrator rights load what the user's applications load.
    test::reset_counters();
    test::MachineFile unelevated = test::machine_file();
    unelevated.key(kUserKey, {test::reg_sz(L"", profile + L"\\qtv_api_core.dll")});
    EXPECT_EQ(first_line_after_header(section_text(with_sdk(unelevated, profile))),
              test::crlf("[  OK  ] SDK initialized successfully (QTV_Init).\n"));
}

TEST(WriteAccess, OnlySystemAdministratorsAndTrustedInstallerMayChange) {
    const std::wstring system = L"S-1-5-18", admins = L"S-1-5-32-544";
    const auto full = [](const std::wstring& sid) { return platform::AccessEntry{0, 0, 0x1F01FF, sid}; };
    struct Case {
        const char* what;
        platform::ObjectSecurity security;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"administrators only", {admins, true, {full(system), full(admins), {0, 0, 0x1200A9, L"S-1-5-32-545"}}}, L""},
        {"TrustedInstaller owns it",
         {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true, {full(system)}}, L""},
        {"a user owns it", {L"S-1-5-21-1-2-3-1001", true, {full(system)}}, L"owned by S-1-5-21-1-2-3-1001"},
        {"a NULL DACL", {admins, false, {}}, L"it has no DACL (everyone may change it)"},
        {"Users may append", {admins, true, {full(admins), {0, 0, 0x4, L"S-1-5-32-545"}}}, L"Users may change it"},
        {"Everyone may delete", {admins, true, {{0, 0, 0x10000, L"S-1-1-0"}}}, L"Everyone may change it"},
        {"a user may rewrite the DACL", {admins, true, {{0, 0, 0x40000, L"S-1-5-21-9"}}}, L"S-1-5-21-9 may change it"},
        {"a user may take ownership", {admins, true, {{0, 0, 0x80000, L"S-1-5-21-9"}}}, L"S-1-5-21-9 may change it"},
        {"GENERIC_WRITE", {admins, true, {{0, 0, 0x40000000, L"S-1-5-11"}}}, L"Authenticated Users may change it"},
        {"an allowing ACE of another type, SID unknown", {admins, true, {{5, 0, 0x2, L""}}},
         L"an unknown account may change it"},
        {"an ACE for children only", {admins, true, {{0, 0x08 | 0x03, 0x1F01FF, L"S-1-3-0"}}}, L""},
        {"a denying ACE grants nothing", {admins, true, {{1, 0, 0x1F01FF, L"S-1-1-0"}}}, L""},
        {"reading and attributes only", {admins, true, {{0, 0, 0x1200A9 | 0x100 | 0x10, L"S-1-5-32-545"}}}, L""},
    };
    for (const Case& c : cases) EXPECT_EQ(who_else_may_change(c.security), c.expected) << c.what;
}

TEST(ProtectedFolder, AFolderSomeoneElseCanChangeIsNeverUsed) {
    const std::string kNew = "C:\\ProgramData\\VQ4_Diag_Backups_20260304_050607";
    const nlohmann::json user_folder = {{"directory", true}, {"owner", "user"}, {"writable_by_non_admins", true}};
    const nlohmann::json admin_folder = {{"directory", true}, {"owner", "Administrators"},
                                         {"writable_by_non_admins", false}};
    struct Case {
        const char* what;
        test::MachineFile machine;
        std::uint32_t error;
        std::string path;
    };
    const auto base = [] { return test::machine_file().elevated(true).set("local_time", "2026-03-04 05:06:07"); };
    std::vector<Case> cases = {
        {"nothing there yet", base(), 0, "C:\\ProgramData\\VQ4_Diag\\Backups"},
        {"made by a user first", base().file(L"C:\\ProgramData\\VQ4_Diag", user_folder), 0, kNew},
        {"made by an administrator, but users may write", base().file(L"C:\\ProgramData\\VQ4_Diag", {{"directory", true}}),
         0, kNew},
        {"Backups made by a user below a protected VQ4_Diag",
         base().file(L"C:\\ProgramData\\VQ4_Diag", admin_folder).file(L"C:\\ProgramData\\VQ4_Diag\\Backups", user_folder),
         0, kNew},
        {"both protected already",
         base().file(L"C:\\ProgramData\\VQ4_Diag", admin_folder).file(L"C:\\ProgramData\\VQ4_Diag\\Backups", admin_folder),
         0, "C:\\ProgramData\\VQ4_Diag\\Backups"},
        {"the new name taken too",
         base().file(L"C:\\ProgramData\\VQ4_Diag", user_folder).file(widen(kNew), user_folder), 0, kNew + "_2"},
        {"not elevated: Administrators cannot be made the owner", test::machine_file(), win::ERROR_INVALID_OWNER_, ""},
        {"ProgramData unknown", base().fault("SHGetKnownFolderPath", 0x8007007Bu & 0xFFFF), 123, ""},
    };
    test::MachineFile all_taken = base().file(L"C:\\ProgramData\\VQ4_Diag", user_folder).file(widen(kNew), user_folder);
    for (int n = 2; n <= 99; ++n) all_taken.file(widen(kNew + "_" + std::to_string(n)), user_folder);
    cases.push_back({"every new name taken", all_taken, win::ERROR_ALREADY_EXISTS_, ""});

    for (const Case& c : cases) {
        c.machine.use();
        test::ReportCapture capture;  // keeps the simulated ProgramData in its folder
        const ProtectedFolder folder = open_protected_folder();
        EXPECT_EQ(folder.error, c.error) << c.what;
        EXPECT_EQ(test::utf8(folder.path), c.path) << c.what;
        if (c.error != 0) continue;
        // What the tool made, it made for administrators only.
        platform::ObjectSecurity security;
        ASSERT_EQ(platform::get_file_security(folder.path, security), 0u) << c.what;
        EXPECT_EQ(who_else_may_change(security), L"") << c.what;
        EXPECT_TRUE(std::filesystem::is_directory(capture.directory() / "ProgramData")) << c.what;
    }
}

TEST(ProtectedFolder, ABackupIntoAFolderAUserMadeFirstGoesElsewhere) {
    test::use_machine(test::machine_text("repair-backup-folder-planted"));
    test::ReportCapture capture;
    EXPECT_EQ(run_repair_section(true, false), SectionOutcome::RepairSucceeded);
    const std::string report = capture.finish();
    EXPECT_NE(report.find("Registry backup written: C:\\ProgramData\\VQ4_Diag_Backups_20260304_050607\\"
                          "VQ4_Diag_Backup_20260304_050607.reg"),
              std::string::npos)
        << report;
    EXPECT_FALSE(std::filesystem::exists(capture.directory() / "ProgramData" / "VQ4_Diag")) << "the user's folder untouched";
    EXPECT_EQ(test::backup_files((capture.directory() / "ProgramData" / "VQ4_Diag_Backups_20260304_050607").string()).size(),
              1u);
}

TEST(SimMachine, HkcrIsTheUsersClassesMergedOverTheMachines) {
    test::machine_file()
        .key(kMachineKey, {test::reg_sz(L"", L"machine")})
        .key(L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\" + kClsid, {test::reg_sz(L"", L"machine32")})
        .key(L"HKCU\\Software\\Classes\\WOW6432Node\\" + kClsid, {test::reg_sz(L"", L"user32")})
        .key(L"HKCR\\.vq4", {test::reg_sz(L"", L"machine only")})
        .use();
    const auto read = [](platform::RegRoot root, const std::wstring& key, std::uint32_t access) {
        platform::RegKey handle;
        if (platform::reg_open_key(root, key, access, handle) != 0) return std::string("(missing)");
        return test::utf8(utf16le_text(platform::reg_query_value(handle, L"", 520).data));
    };
    EXPECT_EQ(read(platform::RegRoot::ClassesRoot, kClsid, win::KEY_READ_), "machine");
    EXPECT_EQ(read(platform::RegRoot::ClassesRoot, kClsid, win::KEY_READ_ | win::KEY_WOW64_32KEY_), "user32");
    EXPECT_EQ(read(platform::RegRoot::ClassesRoot, L".vq4", win::KEY_READ_), "machine only");
    sim::machine().registry.set_value(kUserKey, sim::RegistryValue{L"", 1, utf16le_bytes(L"user", 1), {}});
    EXPECT_EQ(read(platform::RegRoot::ClassesRoot, kClsid, win::KEY_READ_), "user") << "the user's key wins";
    EXPECT_EQ(read(platform::RegRoot::LocalMachine, L"SOFTWARE\\Classes\\" + kClsid, win::KEY_READ_), "machine");
    EXPECT_EQ(read(platform::RegRoot::LocalMachine, L"SOFTWARE\\Classes\\" + kClsid,
                   win::KEY_READ_ | win::KEY_WOW64_32KEY_),
              "machine32");
}

TEST(SimMachine, TheSystemsVariablesApartFromTheUsers) {
    test::machine_file()
        .set("environment", {{"ProgramFiles", "D:\\Apps"}})
        .set("user_environment", {{"SDKDIR", "C:\\Users\\ana\\sdk"}, {"ProgramFiles", "C:\\Users\\ana\\pf"}})
        .use();
    std::wstring process, system;
    ASSERT_EQ(platform::expand_environment_strings(L"%SDKDIR%|%ProgramFiles%|%SystemRoot%", process), 0u);
    ASSERT_EQ(platform::expand_system_environment_strings(L"%SDKDIR%|%ProgramFiles%|%SystemRoot%", system), 0u);
    EXPECT_EQ(process, L"C:\\Users\\ana\\sdk|C:\\Users\\ana\\pf|C:\\Windows");
    EXPECT_EQ(system, L"%SDKDIR%|D:\\Apps|C:\\Windows");
}

TEST(SimMachine, TheElevatedInstanceRunsAsItsAccountWithItsOwnHkcuAndVariables) {
    sim::Machine m = test::machine_file()
                         .key(kUserKey, {test::reg_sz(L"", L"the user's")})
                         .set("user_environment", {{"SDKDIR", "C:\\Users\\ana\\sdk"}})
                         .set("elevated_account",
                              {{"name", "admin"},
                               {"registry", {{{"key", "HKCU\\Software\\Admin"}}}},
                               {"user_environment", {{"TEMP", "C:\\Users\\admin\\Temp"}}}})
                         .use();
    ASSERT_EQ(::setenv(sim::kElevatedInstanceVariable, "1", 1), 0);
    sim::prepare_tool_instance(m);
    ::unsetenv(sim::kElevatedInstanceVariable);
    sim::set_relaunch_binary("");
    EXPECT_TRUE(m.elevated);
    EXPECT_EQ(m.registry.find(kUserKey), nullptr) << "another account's HKCU";
    EXPECT_NE(m.registry.find(L"HKCU\\Software\\Admin"), nullptr);
    EXPECT_EQ(sim::find_variable(m.environment, L"SDKDIR"), nullptr);
    ASSERT_NE(sim::find_variable(m.environment, L"TEMP"), nullptr);
    EXPECT_NE(sim::find_variable(m.environment, L"SystemRoot"), nullptr);
}

}  // namespace
}  // namespace vq4
