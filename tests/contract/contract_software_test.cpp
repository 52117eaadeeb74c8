// Contract of the running-software operations (src/platform/software.h): the
// toolhelp process snapshot and the service control manager. The same
// assertions run against the simulated machine and against Win32 (Wine, or
// Windows when run there).
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/software.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::ProcessEntry;
using platform::ServiceEntry;
using platform::ServiceEnumRead;

class ProcessContract : public Contract {};
class ServiceContract : public Contract {};

std::string ascii(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// The bytes one ENUM_SERVICE_STATUS_PROCESSW entry takes in the caller's
// buffer on x64: the 56-byte record and both names in UTF-16 with their NULs.
std::uint32_t entry_bytes(const std::wstring& name, const std::wstring& display_name) {
    return 56 + static_cast<std::uint32_t>((name.size() + 1 + display_name.size() + 1) * 2);
}

const ServiceEntry* find_service(const std::vector<ServiceEntry>& services, const std::wstring& name) {
    const auto found =
        std::find_if(services.begin(), services.end(), [&](const ServiceEntry& e) { return e.service_name == name; });
    return found == services.end() ? nullptr : &*found;
}

// ---- Process snapshot ----

TEST_F(ProcessContract, SnapshotListsTheRunningTestProgramOnce) {
    const s::RunningProcess own = s::arrange_own_process();
    ASSERT_FALSE(own.exe_file.empty());

    platform::Snapshot snapshot;
    ASSERT_EQ(platform::create_toolhelp_snapshot(win::TH32CS_SNAPPROCESS_, 0, snapshot), 0u);
    ASSERT_TRUE(snapshot.valid());

    std::vector<ProcessEntry> walked;
    ProcessEntry entry;
    std::uint32_t error = platform::process_first(snapshot, entry);
    while (error == 0 && walked.size() < 100000) {
        walked.push_back(entry);
        error = platform::process_next(snapshot, entry);
    }
    EXPECT_EQ(error, win::ERROR_NO_MORE_FILES_);
    // Past the end it stays at the end.
    EXPECT_EQ(platform::process_next(snapshot, entry), win::ERROR_NO_MORE_FILES_);

    std::set<std::uint32_t> ids;
    for (const ProcessEntry& e : walked) {
        EXPECT_TRUE(ids.insert(e.process_id).second) << "process id " << e.process_id << " listed twice";
        EXPECT_LT(e.exe_file.size(), 260u);
    }
    const auto own_entry =
        std::find_if(walked.begin(), walked.end(), [&](const ProcessEntry& e) { return e.process_id == own.id; });
    ASSERT_NE(own_entry, walked.end()) << "the test program (id " << own.id << ") is not listed";
    EXPECT_EQ(own_entry->exe_file, own.exe_file);

    // Process32FirstW starts the walk over.
    ASSERT_FALSE(walked.empty());
    ProcessEntry first_again;
    EXPECT_EQ(platform::process_first(snapshot, first_again), 0u);
    EXPECT_EQ(first_again.process_id, walked.front().process_id);
    EXPECT_EQ(first_again.exe_file, walked.front().exe_file);
}

// ---- Service control manager ----

TEST_F(ServiceContract, SizingCallThenAReadThatHoldsEveryService) {
    const std::wstring display_a = L"Quorvane Contract Service A";
    const std::wstring display_b = L"Quorvane Contract Service B, with a longer display name";
    const std::wstring name_a = s::add_stopped_service(L"A", display_a);
    const std::wstring name_b = s::add_stopped_service(L"B", display_b);

    platform::ServiceManager manager;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager), 0u);
    ASSERT_TRUE(manager.valid());

    // No buffer: nothing returned, and the size of everything.
    std::uint32_t resume = 0;
    const ServiceEnumRead sizing =
        platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 0, resume);
    EXPECT_EQ(sizing.error, win::ERROR_MORE_DATA_);
    EXPECT_TRUE(sizing.services.empty());
    EXPECT_GE(sizing.bytes_needed, entry_bytes(name_a, display_a) + entry_bytes(name_b, display_b));

    // A buffer of the size named holds every entry.
    resume = 0;
    const ServiceEnumRead all = platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_,
                                                                  sizing.bytes_needed, resume);
    EXPECT_EQ(all.error, 0u);
    EXPECT_EQ(resume, 0u);
    std::set<std::wstring> names;
    for (const ServiceEntry& e : all.services) {
        EXPECT_TRUE(names.insert(e.service_name).second) << ascii(e.service_name) << " listed twice";
    }
    for (const auto& [name, display] : {std::pair{name_a, display_a}, std::pair{name_b, display_b}}) {
        SCOPED_TRACE(ascii(name));
        const ServiceEntry* e = find_service(all.services, name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->display_name, display);
        EXPECT_EQ(e->current_state, win::SERVICE_STOPPED_);
    }
}

TEST_F(ServiceContract, StateFilterSeparatesStoppedFromRunning) {
    const std::wstring name = s::add_stopped_service(L"Stopped", L"Quorvane Contract Stopped Service");
    platform::ServiceManager manager;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager), 0u);

    struct Case {
        const char* what;
        std::uint32_t state;
        bool listed;
    };
    for (const Case c : {Case{"SERVICE_INACTIVE", win::SERVICE_INACTIVE_, true},
                         Case{"SERVICE_ACTIVE", win::SERVICE_ACTIVE_, false}}) {
        SCOPED_TRACE(c.what);
        std::uint32_t resume = 0;
        const ServiceEnumRead sizing =
            platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, c.state, 0, resume);
        ServiceEnumRead read = sizing;
        if (sizing.error == win::ERROR_MORE_DATA_) {
            resume = 0;
            read =
                platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, c.state, sizing.bytes_needed, resume);
        }
        EXPECT_EQ(read.error, 0u);
        EXPECT_EQ(find_service(read.services, name) != nullptr, c.listed);
        const std::uint32_t wanted_state = c.state;
        for (const ServiceEntry& e : read.services) {
            const bool stopped = e.current_state == win::SERVICE_STOPPED_;
            EXPECT_EQ(stopped, wanted_state == win::SERVICE_INACTIVE_) << ascii(e.service_name);
        }
    }
}

TEST_F(ServiceContract, EnumerationNeedsItsAccessRightAndValidFilters) {
    s::add_stopped_service(L"Any", L"Quorvane Contract Service For Rights");

    platform::ServiceManager connect_only;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_CONNECT_, connect_only), 0u);
    std::uint32_t resume = 0;
    const ServiceEnumRead denied =
        platform::enum_services_status_ex(connect_only, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 4096, resume);
    EXPECT_EQ(denied.error, win::ERROR_ACCESS_DENIED_);
    EXPECT_TRUE(denied.services.empty());

    // GENERIC_READ maps to the manager's read rights, enumeration among them.
    platform::ServiceManager generic_read;
    ASSERT_EQ(platform::open_sc_manager(win::GENERIC_READ_, generic_read), 0u);
    resume = 0;
    EXPECT_EQ(
        platform::enum_services_status_ex(generic_read, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 0, resume).error,
        win::ERROR_MORE_DATA_);

    platform::ServiceManager manager;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager), 0u);
    struct Case {
        const char* what;
        std::uint32_t type;
        std::uint32_t state;
    };
    for (const Case c :
         {Case{"no service type", 0, win::SERVICE_STATE_ALL_}, Case{"no state", win::SERVICE_WIN32_, 0}}) {
        SCOPED_TRACE(c.what);
        resume = 0;
        const ServiceEnumRead read = platform::enum_services_status_ex(manager, c.type, c.state, 4096, resume);
        EXPECT_EQ(read.error, win::ERROR_INVALID_PARAMETER_);
        EXPECT_TRUE(read.services.empty());
    }
}

TEST_F(ServiceContract, SmallBufferReturnsWhatFitsAndTheResumeHandleGoesOn) {
    // Display names long enough that a 1200-byte buffer takes one or two of
    // them; any service's entry fits it (names are at most 256 characters).
    std::vector<std::pair<std::wstring, std::wstring>> ours;
    for (const wchar_t* tag : {L"R1", L"R2", L"R3", L"R4", L"R5"}) {
        const std::wstring display = std::wstring(L"Quorvane Contract Resume ") + tag + L" " + std::wstring(200, L'.');
        ours.emplace_back(s::add_stopped_service(tag, display), display);
    }
    VQ4_SKIP_ON_WINE("EnumServicesStatusExW ignores the resume handle and returns all entries or none");

    platform::ServiceManager manager;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, manager), 0u);
    constexpr std::uint32_t kBuffer = 1200;
    std::vector<ServiceEntry> collected;
    std::uint32_t resume = 0;
    int partial_reads = 0;
    ServiceEnumRead read;
    for (int call = 0; call < 10000; ++call) {
        const std::uint32_t resume_before = resume;
        read =
            platform::enum_services_status_ex(manager, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, kBuffer, resume);
        std::uint32_t used = 0;
        for (const ServiceEntry& e : read.services) used += entry_bytes(e.service_name, e.display_name);
        EXPECT_LE(used, kBuffer);
        collected.insert(collected.end(), read.services.begin(), read.services.end());
        if (read.error != win::ERROR_MORE_DATA_) break;
        ++partial_reads;
        // Each partial read returns entries, names the bytes still needed and
        // moves the resume handle on.
        ASSERT_FALSE(read.services.empty());
        EXPECT_GT(read.bytes_needed, 0u);
        EXPECT_NE(resume, resume_before);
    }
    EXPECT_EQ(read.error, 0u);
    EXPECT_EQ(resume, 0u);
    EXPECT_GT(partial_reads, 0);

    std::set<std::wstring> names;
    for (const ServiceEntry& e : collected) {
        EXPECT_TRUE(names.insert(e.service_name).second) << ascii(e.service_name) << " returned twice";
    }
    for (const auto& [name, display] : ours) {
        SCOPED_TRACE(ascii(name));
        const ServiceEntry* e = find_service(collected, name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->display_name, display);
    }
}

TEST_F(ServiceContract, WithoutAdministratorRightsTheManagerOpensOnlyForReading) {
    if (!s::arrange_not_elevated()) {
        GTEST_SKIP() << "this side cannot run the test without administrator rights";
    }
    struct Case {
        const char* what;
        std::uint32_t access;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"SC_MANAGER_CONNECT", win::SC_MANAGER_CONNECT_, 0},
        {"SC_MANAGER_ENUMERATE_SERVICE", win::SC_MANAGER_ENUMERATE_SERVICE_, 0},
        {"GENERIC_READ", win::GENERIC_READ_, 0},
        {"SC_MANAGER_CREATE_SERVICE", win::SC_MANAGER_CREATE_SERVICE_, win::ERROR_ACCESS_DENIED_},
        {"SC_MANAGER_ALL_ACCESS", win::SC_MANAGER_ALL_ACCESS_, win::ERROR_ACCESS_DENIED_},
        {"GENERIC_WRITE", win::GENERIC_WRITE_, win::ERROR_ACCESS_DENIED_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::ServiceManager manager;
        EXPECT_EQ(platform::open_sc_manager(c.access, manager), c.error);
        EXPECT_EQ(manager.valid(), c.error == 0);
    }

    // Reading the service list needs no administrator rights.
    s::add_stopped_service(L"Visible", L"Quorvane Contract Service Seen Without Rights");
    platform::ServiceManager reader;
    ASSERT_EQ(platform::open_sc_manager(win::SC_MANAGER_ENUMERATE_SERVICE_, reader), 0u);
    std::uint32_t resume = 0;
    EXPECT_EQ(platform::enum_services_status_ex(reader, win::SERVICE_WIN32_, win::SERVICE_STATE_ALL_, 0, resume).error,
              win::ERROR_MORE_DATA_);
}

}  // namespace
}  // namespace vq4::contract
