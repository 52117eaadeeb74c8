// Contract of the process-level operations (src/platform/system.h): module
// path, processor, time, pauses, the report file and the console. The same
// assertions run against the simulated machine and against Win32.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "contract/contract_test.h"
#include "platform/system.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::LocalTime;
using platform::ReportFile;

class SystemContract : public Contract {};
class ConsoleContract : public Contract {};

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// Seconds since 1970-01-01 of a calendar time, for comparing two clocks.
std::int64_t seconds_of(const LocalTime& t) {
    const std::int64_t y = t.month <= 2 ? t.year - 1 : t.year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t m = t.month;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// ---- Start-up ----

TEST_F(SystemContract, StartupSucceedsOnAPreparedHost) {
    int exit_code = 77;
    EXPECT_TRUE(platform::platform_startup(exit_code));
    EXPECT_EQ(exit_code, 77);
}

// ---- Module path ----

// The module path read into `capacity` characters: the code and the text.
std::pair<std::uint32_t, std::wstring> module_path(std::uint32_t capacity) {
    std::wstring text = L"(unchanged)";
    const std::uint32_t error = platform::get_module_file_name(capacity, text);
    return {error, text};
}

TEST_F(SystemContract, ModulePathWholeAndCutToTheBuffer) {
    const std::wstring path = s::arrange_module_path();
    ASSERT_GT(path.size(), 3u);
    ASSERT_LT(path.size(), 260u);
    EXPECT_EQ(module_path(260).second, path);
    EXPECT_EQ(module_path(260).first, 0u);

    // A buffer too small keeps capacity - 1 characters and the terminator,
    // and says so with ERROR_INSUFFICIENT_BUFFER.
    const auto n = static_cast<std::uint32_t>(path.size());
    for (const std::uint32_t capacity : {1u, 2u, 3u, n / 2, n, n + 1, n + 2}) {
        SCOPED_TRACE(capacity);
        const auto [error, text] = module_path(capacity);
        EXPECT_EQ(text, path.substr(0, std::min(path.size(), std::size_t{capacity - 1})));
        EXPECT_EQ(error, capacity > n ? 0u : win::ERROR_INSUFFICIENT_BUFFER_);
    }
    EXPECT_EQ(module_path(0).second, L"");
    EXPECT_EQ(module_path(0).first, win::ERROR_INSUFFICIENT_BUFFER_);
}

TEST_F(SystemContract, ModulePathLongerThanTheFixedBuffer) {
    const auto path = s::arrange_long_module_path(300);
    if (!path) GTEST_SKIP() << "the executable's path on this side is not longer than 300 characters";
    EXPECT_EQ(module_path(260).second, path->substr(0, 259));
    EXPECT_EQ(module_path(260).first, win::ERROR_INSUFFICIENT_BUFFER_);
}

// ---- Processor ----

TEST_F(SystemContract, NativeProcessorArchitecture) {
    int arranged = 0;
    for (const std::uint16_t architecture :
         {win::PROCESSOR_ARCHITECTURE_AMD64_, win::PROCESSOR_ARCHITECTURE_ARM64_, win::PROCESSOR_ARCHITECTURE_INTEL_}) {
        if (!s::arrange_native_architecture(architecture)) continue;
        ++arranged;
        EXPECT_EQ(platform::get_native_processor_architecture(), architecture);
    }
    if (arranged == 0) GTEST_SKIP() << "the host is none of x64, ARM64, x86";
}

// The host's machine as IsWow64Process2 names it; an x64 process is never
// under WOW64 (its process machine is IMAGE_FILE_MACHINE_UNKNOWN).
TEST_F(SystemContract, IsWow64Process2OnAnX64Host) {
    if (!s::arrange_native_architecture(win::PROCESSOR_ARCHITECTURE_AMD64_)) GTEST_SKIP() << "the host is not x64";
    std::uint16_t process_machine = 0xFFFF;
    std::uint16_t native_machine = 0xFFFF;
    ASSERT_EQ(platform::is_wow64_process2(process_machine, native_machine), win::ERROR_SUCCESS_);
    EXPECT_EQ(process_machine, win::IMAGE_FILE_MACHINE_UNKNOWN_);
    EXPECT_EQ(native_machine, win::IMAGE_FILE_MACHINE_AMD64_);
}

// ---- Time ----

TEST_F(SystemContract, LocalTimeIsNow) {
    const LocalTime before = s::local_time_now();
    const LocalTime got = platform::get_local_time();
    const LocalTime after = s::local_time_now();
    EXPECT_GE(got.month, 1);
    EXPECT_LE(got.month, 12);
    EXPECT_GE(got.day, 1);
    EXPECT_LE(got.day, 31);
    EXPECT_LT(got.hour, 24);
    EXPECT_LT(got.minute, 60);
    EXPECT_LT(got.second, 61);
    EXPECT_LT(got.milliseconds, 1000);
    EXPECT_GE(seconds_of(got), seconds_of(before) - 1);
    EXPECT_LE(seconds_of(got), seconds_of(after) + 1);
}

TEST_F(SystemContract, FixedLocalTime) {
    const LocalTime fixed{2028, 2, 29, 23, 59, 58, 0};
    if (!s::arrange_local_time(fixed)) GTEST_SKIP() << "this side cannot set the clock";
    const LocalTime got = platform::get_local_time();
    EXPECT_EQ(got.year, 2028);
    EXPECT_EQ(got.month, 2);
    EXPECT_EQ(got.day, 29);
    EXPECT_EQ(got.hour, 23);
    EXPECT_EQ(got.minute, 59);
    EXPECT_EQ(got.second, 58);
}

TEST_F(SystemContract, SleepPausesForTheTimeAsked) {
    const std::uint64_t start = s::clock_ms();
    platform::sleep_ms(50);
    const std::uint64_t slept = s::clock_ms() - start;
    // Windows may wake a little early within its timer tick.
    EXPECT_GE(slept, 45u);
    EXPECT_LT(slept, 2000u);

    const std::uint64_t again = s::clock_ms();
    platform::sleep_ms(0);
    EXPECT_LT(s::clock_ms() - again, 1000u);
}

// ---- Report file ----

TEST_F(SystemContract, ReportFileIsCreatedAndEachWriteIsThereAtOnce) {
    const std::wstring path = s::path_in_folder(L"VQ4_Diag_Report_20260102_030405.txt");
    ReportFile file;
    ASSERT_EQ(platform::report_file_create_new(path, file), win::ERROR_SUCCESS_);
    ASSERT_TRUE(file.valid());
    EXPECT_EQ(s::file_bytes(L"VQ4_Diag_Report_20260102_030405.txt"), std::string());

    // Another reader sees every write while the tool still holds the file.
    EXPECT_EQ(platform::report_file_write(file, bytes_of("[ INFO ] first\r\n")), win::ERROR_SUCCESS_);
    EXPECT_EQ(s::file_bytes(L"VQ4_Diag_Report_20260102_030405.txt"), "[ INFO ] first\r\n");
    EXPECT_EQ(platform::report_file_write(file, {}), win::ERROR_SUCCESS_);
    EXPECT_EQ(platform::report_file_write(file, bytes_of("caf\xE9\r\n")), win::ERROR_SUCCESS_);
    EXPECT_EQ(s::file_bytes(L"VQ4_Diag_Report_20260102_030405.txt"), "[ INFO ] first\r\ncaf\xE9\r\n");

    // A second report of the same name, even while the first is open, is refused.
    ReportFile second;
    EXPECT_EQ(platform::report_file_create_new(path, second), win::ERROR_FILE_EXISTS_);
    EXPECT_FALSE(second.valid());

    file.reset();
    EXPECT_EQ(s::file_bytes(L"VQ4_Diag_Report_20260102_030405.txt"), "[ INFO ] first\r\ncaf\xE9\r\n");
}

// FlushFileBuffers on the files the tool writes: it succeeds on both kinds
// and leaves the content as it is; a handle that is not open is refused.
TEST_F(SystemContract, FlushingAFileKeepsWhatWasWritten) {
    for (const auto create : {&platform::report_file_create_new, &platform::output_file_create_new}) {
        const std::wstring name = create == &platform::report_file_create_new ? L"flushed_report.txt" : L"flushed.reg";
        ReportFile file;
        ASSERT_EQ(create(s::path_in_folder(name), file), win::ERROR_SUCCESS_);
        EXPECT_EQ(platform::report_file_write(file, bytes_of("line\r\n")), win::ERROR_SUCCESS_);
        EXPECT_EQ(platform::report_file_flush(file), win::ERROR_SUCCESS_);
        EXPECT_EQ(s::file_bytes(name), "line\r\n");
    }
    EXPECT_EQ(platform::report_file_flush(ReportFile()), win::ERROR_INVALID_HANDLE_);
}

TEST_F(SystemContract, ReportFileNeverReplacesWhatIsThere) {
    s::add_file(L"existing.txt", "keep me");
    s::add_folder(L"Reports");
    struct Case {
        const wchar_t* name;
        const char* what;
    };
    // The report and the other files written beside it (the registry backup) alike.
    for (const auto create : {&platform::report_file_create_new, &platform::output_file_create_new}) {
        for (const Case c : {Case{L"existing.txt", "an existing file"}, Case{L"Reports", "an existing folder"}}) {
            SCOPED_TRACE(c.what);
            ReportFile file;
            EXPECT_EQ(create(s::path_in_folder(c.name), file), win::ERROR_FILE_EXISTS_);
            EXPECT_FALSE(file.valid());
        }
    }
    EXPECT_EQ(s::file_bytes(L"existing.txt"), "keep me");
    ReportFile backup;
    ASSERT_EQ(platform::output_file_create_new(s::path_in_folder(L"backup.reg"), backup), win::ERROR_SUCCESS_);
    EXPECT_EQ(platform::report_file_write(backup, bytes_of("\xFF\xFE")), win::ERROR_SUCCESS_);
    backup.reset();
    EXPECT_EQ(s::file_bytes(L"backup.reg"), "\xFF\xFE");
}

TEST_F(SystemContract, ReportFileInAFolderThatIsNotThere) {
    s::add_file(L"plain.txt", "a file, not a folder");
    struct Case {
        std::wstring path;
        const char* what;
    };
    const Case cases[] = {
        {s::path_in_folder(L"Missing\\report.txt"), "missing folder"},
        {s::path_in_folder(L"Missing\\Deeper\\report.txt"), "missing folders"},
        {s::path_in_folder(L"plain.txt\\report.txt"), "a file where a folder should be"},
        {L"", "empty path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReportFile file;
        EXPECT_EQ(platform::report_file_create_new(c.path, file), win::ERROR_PATH_NOT_FOUND_);
        EXPECT_FALSE(file.valid());
    }
}

TEST_F(SystemContract, ReportFolderNamesThatAreTakenAndFree) {
    s::add_file(L"VQ4_Diag_Report_20260102_030405.txt", "a report");
    s::add_folder(L"Reports");
    s::add_file(L"plain.txt", "a file, not a folder");
    struct Case {
        const wchar_t* name;
        std::uint32_t error;
        const char* what;
    };
    const Case cases[] = {
        {L"VQ4_Diag_Report_20260102_030405.txt", win::ERROR_SUCCESS_, "an existing report"},
        {L"Reports", win::ERROR_SUCCESS_, "an existing folder"},
        {L"VQ4_Diag_Report_20260102_030405_2.txt", win::ERROR_FILE_NOT_FOUND_, "a free name"},
        {L"Missing\\VQ4_Diag_Report_1.txt", win::ERROR_PATH_NOT_FOUND_, "in a missing folder"},
        {L"plain.txt\\VQ4_Diag_Report_1.txt", win::ERROR_PATH_NOT_FOUND_, "below a file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(platform::report_file_attributes(s::path_in_folder(c.name)), c.error);
    }
}

TEST_F(SystemContract, AReportIsReadWhileItsWriterStillHoldsIt) {
    const std::wstring name = L"VQ4_Diag_Report_20260102_030405_2.txt";
    ReportFile writer;
    ASSERT_EQ(platform::report_file_create_new(s::path_in_folder(name), writer), win::ERROR_SUCCESS_);
    const std::string text = "[ INFO ] caf\xE9\r\n" + std::string(10000, 'x') + "\r\n";
    ASSERT_EQ(platform::report_file_write(writer, bytes_of(text)), win::ERROR_SUCCESS_);

    std::vector<std::uint8_t> bytes{1, 2, 3};
    EXPECT_EQ(platform::report_file_read(s::path_in_folder(name), 1u << 20, bytes), win::ERROR_SUCCESS_);
    EXPECT_EQ(bytes, bytes_of(text));
    // No more than asked for.
    EXPECT_EQ(platform::report_file_read(s::path_in_folder(name), 5000, bytes), win::ERROR_SUCCESS_);
    EXPECT_EQ(bytes, bytes_of(text.substr(0, 5000)));
    writer.reset();
    EXPECT_EQ(platform::report_file_read(s::path_in_folder(name), 1u << 20, bytes), win::ERROR_SUCCESS_);
    EXPECT_EQ(bytes, bytes_of(text));
}

TEST_F(SystemContract, AReportThatCannotBeRead) {
    s::add_folder(L"Reports");
    s::add_file(L"held.txt", "held without sharing");
    s::hold_file_exclusively(L"held.txt");
    struct Case {
        const wchar_t* name;
        std::uint32_t error;
        const char* what;
    };
    const Case cases[] = {
        {L"missing.txt", win::ERROR_FILE_NOT_FOUND_, "a missing file"},
        {L"Missing\\report.txt", win::ERROR_PATH_NOT_FOUND_, "a missing folder"},
        {L"Reports", win::ERROR_ACCESS_DENIED_, "a folder"},
        {L"held.txt", win::ERROR_SHARING_VIOLATION_, "a file another process holds without sharing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> bytes{1};
        EXPECT_EQ(platform::report_file_read(s::path_in_folder(c.name), 4096, bytes), c.error);
        EXPECT_TRUE(bytes.empty());
    }
    s::release_file(L"held.txt");
}

// ---- Console ----

TEST_F(ConsoleContract, RedirectedOutputKeepsTheTextAndGetsNoColours) {
    // Whether standard output is a console is decided at each call: a colour
    // set while it still was one says nothing about the redirected stream.
    platform::console_set_attribute(0x07);
    s::capture_stdout_begin();
    platform::console_set_attribute(0x0A);
    // The report layer gives the text with characters up to U+00FF only, each
    // line ended as standard output takes it.
    platform::console_write(L"[  OK  ] caf\u00e9 \u00ff ?? done" + platform::console_line_end());
    platform::console_set_attribute(0x07);
    platform::console_write(L"second");
    platform::console_write(L" line" + platform::console_line_end());
    const std::string bytes = s::capture_stdout_end();
    // The text arrives as it was given; the colour calls leave no trace.
    EXPECT_EQ(s::decode_console(bytes), L"[  OK  ] caf\u00e9 \u00ff ?? done\nsecond line\n");
}

TEST_F(ConsoleContract, RedirectedOutputIsNotAConsoleAPersonWatches) {
    s::capture_stdout_begin();
    const bool interactive = platform::console_is_interactive();
    s::capture_stdout_end();
    EXPECT_FALSE(interactive);
}

TEST_F(ConsoleContract, ReadsLinesFromStandardInput) {
    s::feed_stdin("Y\r\nno thanks\n\nlast");
    std::string line = "stale";
    EXPECT_TRUE(platform::console_read_line(line));
    EXPECT_EQ(line, "Y");
    EXPECT_TRUE(platform::console_read_line(line));
    EXPECT_EQ(line, "no thanks");
    EXPECT_TRUE(platform::console_read_line(line));
    EXPECT_EQ(line, "");
    EXPECT_TRUE(platform::console_read_line(line));  // a last line without its end
    EXPECT_EQ(line, "last");
    EXPECT_FALSE(platform::console_read_line(line));
    EXPECT_EQ(line, "");
}

TEST_F(ConsoleContract, ReadsSingleCharactersUntilTheEnd) {
    s::feed_stdin("\n");
    EXPECT_TRUE(platform::console_read_char());
    EXPECT_FALSE(platform::console_read_char());
}

}  // namespace
}  // namespace vq4::contract
