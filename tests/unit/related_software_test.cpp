// Section 6 on the simulated machine: the keyword test, the three listings
// and the service list that grows while it is being read.
#include <gtest/gtest.h>

#include <functional>

#include "platform/sim/machine.h"
#include "platform/software.h"
#include "platform/win_constants.h"
#include "related/related_software.h"
#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

const std::string kUninstall64 = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string kUninstall32 = "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

const std::string kHeader = "\n==== 6. Related applications / processes / services (dynamic search) ====\n";
const std::string kNothingFound =
    "[ INFO ] No application, process or Windows service whose name contains 'Quorvane', 'Vantro' or 'QTV' was "
    "found. This is normal if only the SDK is installed without the full Tonvela application, or if the "
    "application is not currently running.\n";

// The report file's text of whatever `run` prints, from a fresh run state.
std::string report_of(const std::function<void()>& run) {
    test::reset_counters();
    const auto dir = test::make_temp_dir("related");
    const auto path = dir / "report.txt";
    open_report_file(widen(path.string()));
    run();
    close_report_file();
    const std::string text = test::read_file_bytes(path);
    std::filesystem::remove_all(dir);
    return text;
}

std::string listing(bool (*list)(), bool& found) {
    found = false;
    return report_of([&] { found = list(); });
}

// One Uninstall subkey with REG_SZ values.
struct UninstallEntry {
    std::string key;
    std::vector<test::RegValue> values;
};
UninstallEntry entry(const std::string& uninstall, const std::string& subkey,
                     const std::vector<std::pair<test::Text, test::Text>>& values) {
    UninstallEntry e{uninstall + "\\" + subkey, {}};
    for (const auto& [name, data] : values) e.values.push_back(test::reg_sz(name, data));
    return e;
}

test::MachineFile registry_machine(const std::vector<UninstallEntry>& entries) {
    test::MachineFile m = test::machine_file();
    for (const UninstallEntry& e : entries) m.key(e.key, e.values);
    return m;
}

TEST(IsRelatedName, Table) {
    struct Case {
        const wchar_t* name;
        bool related;
    };
    const Case cases[] = {
        {L"Quorvane Tonvela Suite", true},
        {L"quorvane hub", true},             // any letter case
        {L"VANTRO Q4 Driver", true},         // "Vantro" in capitals
        {L"Tonvela qtv companion", true},    // "QTV" in lower case
        {L"MyQuorvaneHelper.exe", true},     // inside a longer word
        {L"abcQTVxyz", true},
        {L"QuorvaneSpinDeck", false},        // the exclusion wins over "Quorvane"
        {L"quorvanespindeck.exe", false},    // exclusion in any case
        {L"Vantro QuorvaneSpinDeck Bundle", false},  // excluded whatever other keyword it holds
        {L"Quorvane SpinDeck", true},        // not the excluded name
        {L"QuorvaneSpin", true},
        {L"Quorvan", false},
        {L"Q T V", false},
        {L"", false},
        {L"Windows Audio", false},
        {L"Vantr\u00d6", false},             // only ASCII letters fold
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_related_name(c.name), c.related) << sim::narrow(c.name);
    }
}

TEST(InstalledPrograms, BothPathsInOrderWithDuplicatesVersionsAndFolders) {
    registry_machine({
        entry(kUninstall64, "{A}", {{"DisplayName", "Quorvane Tonvela Suite"}, {"DisplayVersion", "3.2.1"},
                                    {"InstallLocation", "C:\\Program Files\\Quorvane"}}),
        entry(kUninstall64, "7-Zip", {{"DisplayName", "7-Zip 23.01"}, {"DisplayVersion", "23.01"}}),
        entry(kUninstall64, "Pack", {{"DisplayName", "VANTRO Driver Pack"}, {"DisplayVersion", ""},
                                     {"InstallLocation", ""}}),
        entry(kUninstall64, "Comp", {{"DisplayName", "Tonvela qtv Companion"}, {"InstallLocation", "D:\\Comp"}}),
        entry(kUninstall64, "Deck", {{"DisplayName", "QuorvaneSpinDeck Studio"}, {"DisplayVersion", "5"}}),
        entry(kUninstall32, "{A}", {{"DisplayName", "Quorvane Tonvela Suite"}, {"DisplayVersion", "3.2.1"},
                                    {"InstallLocation", "C:\\Program Files (x86)\\Quorvane"}}),
        entry(kUninstall32, "Old", {{"DisplayName", "QTV Legacy Tools"}, {"DisplayVersion", "1.4"}}),
    }).use();
    bool found = false;
    const std::string text = listing(list_installed_programs, found);
    EXPECT_EQ(text, test::crlf("[ INFO ] Installed program: Quorvane Tonvela Suite (version 3.2.1)\n"
                               "         Install folder: C:\\Program Files\\Quorvane\n"
                               "[ INFO ] Installed program: VANTRO Driver Pack\n"
                               "[ INFO ] Installed program: Tonvela qtv Companion\n"
                               "         Install folder: D:\\Comp\n"
                               "[ INFO ] Installed program: Quorvane Tonvela Suite (version 3.2.1)\n"
                               "         Install folder: C:\\Program Files (x86)\\Quorvane\n"
                               "[ INFO ] Installed program: QTV Legacy Tools (version 1.4)\n"));
    EXPECT_TRUE(found);
    EXPECT_EQ(test::counts().ok + test::counts().warn + test::counts().fail, 0) << "program lines are Info";

    // Both keys opened with plain KEY_READ, the 32-bit one by its name; every key closed again.
    EXPECT_EQ(sim::count_calls("RegOpenKeyExW", "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall, 0x20019"), 1u);
    EXPECT_EQ(sim::count_calls("RegOpenKeyExW",
                               "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall, 0x20019"),
              1u);
    EXPECT_EQ(sim::count_calls("RegCloseKey"), sim::count_calls("RegOpenKeyExW"));
    // Version and folder are read only for related entries, into their fixed buffers.
    EXPECT_EQ(sim::count_calls("RegQueryValueExW"), 7u + 2u * 5u);
    EXPECT_EQ(sim::count_calls("RegQueryValueExW",
                               "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\7-Zip, \"DisplayName\", 512"),
              1u);
    EXPECT_EQ(sim::count_calls("RegQueryValueExW",
                               "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A}, \"DisplayVersion\", 256"),
              1u);
    EXPECT_EQ(sim::count_calls("RegQueryValueExW",
                               "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{A}, \"InstallLocation\", 1024"),
              1u);
}

TEST(InstalledPrograms, DisplayNameMissingOrTooLongForItsBuffer) {
    // 255 characters and the NUL fill the 512 bytes exactly; 256 do not fit.
    const std::string fits = "Quorvane " + std::string(255 - 9, 'f');
    const std::string too_long = "Quorvane " + std::string(256 - 9, 'l');
    // Version: 127 characters fit 256 bytes, 128 do not and read as empty.
    const std::string version_too_long(128, '9');
    registry_machine({
        entry(kUninstall64, "QuorvaneNoName", {{"DisplayVersion", "1.0"}, {"InstallLocation", "C:\\Q"}}),
        entry(kUninstall64, "Long", {{"DisplayName", too_long}, {"DisplayVersion", "1.0"}}),
        entry(kUninstall64, "Fits", {{"DisplayName", fits}}),
        entry(kUninstall64, "LongVersion", {{"DisplayName", "Vantro Tool"}, {"DisplayVersion", version_too_long},
                                            {"InstallLocation", "C:\\V"}}),
    }).use();
    bool found = false;
    EXPECT_EQ(listing(list_installed_programs, found),
              test::crlf("[ INFO ] Installed program: " + fits + "\n"
                         "[ INFO ] Installed program: Vantro Tool\n"
                         "         Install folder: C:\\V\n"));
    EXPECT_TRUE(found);
}

TEST(InstalledPrograms, UnreadableKeysContributeNothing) {
    // No Uninstall keys at all.
    test::machine_file().use();
    bool found = true;
    EXPECT_EQ(listing(list_installed_programs, found), "");
    EXPECT_FALSE(found);

    // Only the 32-bit key exists; a subkey that cannot be opened is skipped,
    // the next one is still read.
    sim::Machine& m = registry_machine({
        entry(kUninstall32, "A", {{"DisplayName", "Quorvane A"}}),
        entry(kUninstall32, "B", {{"DisplayName", "Quorvane B"}}),
    }).use();
    // Calls 1 and 2 open the two Uninstall keys (the first fails, not found); call 3 opens subkey A.
    m.faults.push_back(sim::Fault{"RegOpenKeyExW", 3, win::ERROR_ACCESS_DENIED_});
    EXPECT_EQ(listing(list_installed_programs, found), test::crlf("[ INFO ] Installed program: Quorvane B\n"));
    EXPECT_TRUE(found);
}

test::MachineFile process_machine() {
    return test::machine_file()
        .process(4, "System")
        .process(4242, "QuorvaneHub.exe")
        .process(1232, "explorer.exe")
        .process(5120, "QuorvaneHub.exe")
        .process(6016, "QuorvaneSpinDeck.exe")
        .process(4294967295, "vantrotray.exe");
}

TEST(RelatedProcesses, EachRelatedProcessOnceWithItsOwnId) {
    process_machine().use();
    bool found = false;
    EXPECT_EQ(listing(list_related_processes, found),
              test::crlf("[ INFO ] Running process: QuorvaneHub.exe (PID 4242)\n"
                         "[ INFO ] Running process: QuorvaneHub.exe (PID 5120)\n"
                         "[ INFO ] Running process: vantrotray.exe (PID 4294967295)\n"));
    EXPECT_TRUE(found);
    EXPECT_EQ(test::counts().ok + test::counts().warn + test::counts().fail, 0) << "process lines are Info";
    EXPECT_EQ(sim::count_calls("CreateToolhelp32Snapshot", "0x2, 0"), 1u);
    EXPECT_EQ(sim::count_calls("Process32FirstW"), 1u);
    EXPECT_EQ(sim::count_calls("Process32NextW"), 6u);  // the sixth answers ERROR_NO_MORE_FILES
    EXPECT_EQ(sim::count_calls("CloseHandle", "snapshot"), 1u);
}

TEST(RelatedProcesses, FailedSnapshotOrWalkListsNothing) {
    struct Case {
        const char* operation;
        std::uint32_t nth;
        std::size_t closes;
        const char* expected;
    };
    const Case cases[] = {
        {"CreateToolhelp32Snapshot", 1, 0, ""},
        {"Process32FirstW", 1, 1, ""},
        // A walk that breaks off keeps what it has listed.
        {"Process32NextW", 2, 1, "[ INFO ] Running process: QuorvaneHub.exe (PID 4242)\n"},
    };
    for (const Case& c : cases) {
        sim::Machine& m = process_machine().use();
        m.faults.push_back(sim::Fault{c.operation, c.nth, win::ERROR_ACCESS_DENIED_});
        bool found = false;
        EXPECT_EQ(listing(list_related_processes, found), test::crlf(c.expected)) << c.operation;
        EXPECT_EQ(found, *c.expected != '\0') << c.operation;
        EXPECT_EQ(sim::count_calls("CloseHandle", "snapshot"), c.closes) << c.operation;
    }
}

test::MachineFile service_machine() {
    return test::machine_file()
        .service(test::service("Audiosrv", "Windows Audio").state("running").type(32))
        .service(test::service("QuorvaneDeviceService", "Quorvane Device Service").state("running"))
        .service(test::service("tvlinksvc", "Vantro Link Service").state("stopped"))
        .service(test::service("qtvupdate", "Tonvela Updater").state(7))
        .service(test::service("QuorvaneStarting", "Starting").state(2).type(32))
        .service(test::service("QuorvaneUsbFilter", "Quorvane USB Filter").state("running").type(1))
        .service(test::service("QuorvaneSpinDeckSvc", "Vantro Deck").state("running"))
        .service(test::service("Spooler", "Print Spooler").state("running"));
}

TEST(RelatedServices, RunningOkOtherStatesWarnDisplayNameAlsoMatches) {
    service_machine().use();
    bool found = false;
    EXPECT_EQ(listing(list_related_services, found),
              test::crlf("[  OK  ] Windows service: Quorvane Device Service (QuorvaneDeviceService) - state: running\n"
                         "[ WARN ] Windows service: Vantro Link Service (tvlinksvc) - state: stopped\n"
                         "[ WARN ] Windows service: Tonvela Updater (qtvupdate) - state: stopped\n"
                         "[ WARN ] Windows service: Starting (QuorvaneStarting) - state: stopped\n"
                         // An excluded service name, but a related display name.
                         "[  OK  ] Windows service: Vantro Deck (QuorvaneSpinDeckSvc) - state: running\n"));
    EXPECT_TRUE(found);
    EXPECT_EQ(test::counts().ok, 2);
    EXPECT_EQ(test::counts().warn, 3);
    EXPECT_EQ(test::counts().fail, 0);
    // One sizing call and one read of exactly the size it gave; the manager is closed.
    EXPECT_EQ(sim::count_calls("OpenSCManagerW", "NULL, NULL, 0x4"), 1u);
    EXPECT_EQ(sim::count_calls("EnumServicesStatusExW"), 2u);
    EXPECT_EQ(sim::count_calls("CloseServiceHandle"), 1u);
}

TEST(RelatedServices, NoServiceOrNoManagerListsNothing) {
    test::machine_file().no_services().use();
    bool found = true;
    EXPECT_EQ(listing(list_related_services, found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(sim::count_calls("EnumServicesStatusExW"), 1u) << "nothing to read after a sizing call of 0 bytes";
    EXPECT_EQ(sim::count_calls("CloseServiceHandle"), 1u);

    sim::Machine& m = service_machine().use();
    m.faults.push_back(sim::Fault{"OpenSCManagerW", 1, win::ERROR_ACCESS_DENIED_});
    EXPECT_EQ(listing(list_related_services, found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(sim::count_calls("EnumServicesStatusExW"), 0u);
}

// What the simulated EnumServicesStatusExW answers, byte for byte as x64
// Windows sizes it: 56 bytes per entry plus both names in UTF-16 with NULs.
TEST(SimulatedServiceEnumeration, SizesPartialReadsAndResumeHandle) {
    test::machine_file()
        .service(test::service("A", "Bc").state("running"))
        .service(test::service("Def", "").state("stopped"))
        .service(test::service("Drv", "Driver").type(1))
        .use();
    platform::ServiceManager manager;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager), 0u);
    const std::uint32_t first = 56 + 2 * 2 + 3 * 2;   // 66
    const std::uint32_t second = 56 + 4 * 2 + 1 * 2;  // 66
    std::uint32_t resume = 0;

    platform::ServiceEnumRead read =
        platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 0, resume);
    EXPECT_EQ(read.error, win::ERROR_MORE_DATA_);
    EXPECT_EQ(read.bytes_needed, first + second);
    EXPECT_TRUE(read.services.empty());
    EXPECT_EQ(resume, 0u);

    // Room for one entry: it comes back, the rest is sized, the handle points past it.
    read = platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, first + second - 1,
                                             resume);
    EXPECT_EQ(read.error, win::ERROR_MORE_DATA_);
    ASSERT_EQ(read.services.size(), 1u);
    EXPECT_EQ(read.services[0].service_name, L"A");
    EXPECT_EQ(read.services[0].display_name, L"Bc");
    EXPECT_EQ(read.services[0].current_state, win::SERVICE_RUNNING_);
    EXPECT_EQ(read.bytes_needed, second);
    EXPECT_NE(resume, 0u);

    read = platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, second, resume);
    EXPECT_EQ(read.error, 0u);
    ASSERT_EQ(read.services.size(), 1u);
    EXPECT_EQ(read.services[0].service_name, L"Def");
    EXPECT_EQ(read.services[0].display_name, L"");
    EXPECT_EQ(read.bytes_needed, 0u);
    EXPECT_EQ(resume, 0u);

    // State filters: only the running one is active; the kernel driver needs SERVICE_DRIVER.
    read = platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_ACTIVE_, 1000, resume);
    ASSERT_EQ(read.services.size(), 1u);
    EXPECT_EQ(read.services[0].service_name, L"A");
    read = platform::enum_services_status_ex(manager, 0x1, win::SERVICE_STATE_ALL_, 1000, resume);
    ASSERT_EQ(read.services.size(), 1u);
    EXPECT_EQ(read.services[0].service_name, L"Drv");

    // A manager without SC_MANAGER_ENUMERATE_SERVICE may not enumerate.
    platform::ServiceManager connect_only;
    ASSERT_EQ(platform::open_sc_manager(0x1, connect_only), 0u);
    read = platform::enum_services_status_ex(connect_only, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 1000, resume);
    EXPECT_EQ(read.error, win::ERROR_ACCESS_DENIED_);
}

// Services installed while the list is read: the sizing call does not see
// them, so the read's buffer is too small for the grown list.
test::MachineFile growing_machine(const std::vector<std::uint32_t>& appear_after) {
    test::MachineFile machine = test::machine_file()
                                    .service(test::service("Audiosrv", "Windows Audio").state("running"))
                                    .service(test::service("QuorvaneDeviceService", "Quorvane Device Service")
                                                 .state("running"))
                                    .service(test::service("Spooler", "Print Spooler").state("running"));
    for (std::size_t i = 0; i < appear_after.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        machine.service(test::service("QuorvaneHelper" + n, "Quorvane Helper " + n)
                            .state("stopped")
                            .appears_after_call(appear_after[i]));
    }
    return machine;
}

TEST(RelatedServices, ListGrowingBetweenSizingAndReadIsReadToTheEnd) {
    growing_machine({1}).use();
    bool found = false;
    EXPECT_EQ(listing(list_related_services, found),
              test::crlf("[  OK  ] Windows service: Quorvane Device Service (QuorvaneDeviceService) - state: running\n"
                         "[ WARN ] Windows service: Quorvane Helper 1 (QuorvaneHelper1) - state: stopped\n"));
    EXPECT_TRUE(found);
    EXPECT_EQ(test::counts().ok, 1);
    EXPECT_EQ(test::counts().warn, 1);

    // Sizing, a read that gets the three old entries and ERROR_MORE_DATA,
    // then a read from the resume handle that gets the new one.
    std::vector<sim::TraceEntry> calls;
    for (const sim::TraceEntry& e : sim::machine().trace) {
        if (e.operation == "EnumServicesStatusExW") calls.push_back(e);
    }
    const std::uint32_t old_size = (56 + 9 * 2 + 14 * 2) + (56 + 22 * 2 + 24 * 2) + (56 + 8 * 2 + 14 * 2);
    const std::uint32_t new_size = 56 + 16 * 2 + 18 * 2;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].arguments, "0x30, 3, 0 bytes, resume 0");
    EXPECT_EQ(calls[0].result, win::ERROR_MORE_DATA_);
    EXPECT_EQ(calls[1].arguments, "0x30, 3, " + std::to_string(old_size) + " bytes, resume 0");
    EXPECT_EQ(calls[1].result, win::ERROR_MORE_DATA_);
    EXPECT_EQ(calls[2].arguments, "0x30, 3, " + std::to_string(new_size) + " bytes, resume 3");
    EXPECT_EQ(calls[2].result, 0);
}

TEST(RelatedServices, ListGrowingOnEveryReadIsReportedNotPassedOffAsComplete) {
    // One more service after each call: every read is one entry short.
    std::vector<std::uint32_t> appear_after;
    for (std::uint32_t call = 1; call <= kMaxServiceListReads + 1; ++call) appear_after.push_back(call);
    growing_machine(appear_after).use();
    bool found = false;
    std::string expected =
        "[  OK  ] Windows service: Quorvane Device Service (QuorvaneDeviceService) - state: running\n";
    // Helpers 1 .. reads-1 were read; each once, in order.
    for (int i = 1; i < kMaxServiceListReads; ++i) {
        expected += "[ WARN ] Windows service: Quorvane Helper " + std::to_string(i) + " (QuorvaneHelper" +
                    std::to_string(i) + ") - state: stopped\n";
    }
    expected += "[ WARN ] The list of Windows services could not be read completely (error 234); a related service "
                "may be missing from this section.\n";
    EXPECT_EQ(listing(list_related_services, found), test::crlf(expected));
    EXPECT_EQ(sim::count_calls("EnumServicesStatusExW"), 1u + kMaxServiceListReads);
    EXPECT_EQ(sim::count_calls("CloseServiceHandle"), 1u);
}

TEST(RelatedServices, FailedReadIsReportedNotPassedOffAsNothingFound) {
    sim::Machine& m = service_machine().use();
    m.faults.push_back(sim::Fault{"EnumServicesStatusExW", 2, win::ERROR_ACCESS_DENIED_});
    bool found = false;
    EXPECT_EQ(listing(list_related_services, found),
              test::crlf("[ WARN ] The list of Windows services could not be read completely (error 5); a related "
                         "service may be missing from this section.\n"));
    EXPECT_FALSE(found) << "nothing related was found";
}

TEST(RelatedSoftwareSection, ClosingLineOnlyWhenNothingWasFound) {
    struct Case {
        test::MachineFile machine;
        std::string lines;
        std::int32_t oks, warns;
    };
    const Case cases[] = {
        {test::machine_file()
             .process(8, "explorer.exe")
             .service(test::service("Spooler", "Print Spooler").state("running")),
         kNothingFound, 0, 0},
        // A stopped service alone: a Warn line, and no closing line.
        {test::machine_file().service(test::service("qtvsvc", "Helper").state("stopped")),
         "[ WARN ] Windows service: Helper (qtvsvc) - state: stopped\n", 0, 1},
        // An Info line alone also counts as found, and counts nothing.
        {test::machine_file().process(9, "QTVAgent.exe"), "[ INFO ] Running process: QTVAgent.exe (PID 9)\n", 0, 0},
        {registry_machine({entry(kUninstall32, "X", {{"DisplayName", "Vantro App"}})}),
         "[ INFO ] Installed program: Vantro App\n", 0, 0},
        // Only excluded names: nothing found.
        {test::machine_file()
             .process(9, "QuorvaneSpinDeck.exe")
             .service(test::service("QuorvaneSpinDeck", "QuorvaneSpinDeck Service").state("running")),
         kNothingFound, 0, 0},
    };
    for (const Case& c : cases) {
        c.machine.use();
        EXPECT_EQ(report_of(run_related_software_section), test::crlf(kHeader + c.lines)) << c.machine.text();
        EXPECT_EQ(test::counts().ok, c.oks);
        EXPECT_EQ(test::counts().warn, c.warns);
        EXPECT_EQ(test::counts().fail, 0);
    }
}

TEST(RelatedSoftwareSection, ListingsInOrderProgramsProcessesServices) {
    registry_machine({entry(kUninstall64, "Q", {{"DisplayName", "Quorvane Suite"}})})
        .process(77, "QuorvaneHub.exe")
        .service(test::service("QuorvaneSvc", "Quorvane Service").state("running"))
        .use();
    EXPECT_EQ(report_of(run_related_software_section),
              test::crlf(kHeader +
                         "[ INFO ] Installed program: Quorvane Suite\n"
                         "[ INFO ] Running process: QuorvaneHub.exe (PID 77)\n"
                         "[  OK  ] Windows service: Quorvane Service (QuorvaneSvc) - state: running\n"));
    EXPECT_EQ(test::counts().ok, 1);
}

}  // namespace
}  // namespace vq4
