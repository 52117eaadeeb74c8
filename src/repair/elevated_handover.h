// What passes between the first instance and the instance it relaunches
// elevated: the internal arguments, the elevated report's path, and the lines
// by which the first instance shows that report's result in its own report.
//
// On Windows the elevated instance runs in a console window of its own and
// the first instance learns only its exit code; so the first instance names
// the file for the elevated report and reads it back when that instance ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq4 {

// Marks the instance started by the elevated relaunch: it never relaunches.
inline constexpr const char* kElevatedArgument = "/elevated";
// "/report:" + the absolute path the elevated instance writes its report to.
inline constexpr const char* kReportArgumentPrefix = "/report:";
// "/guid:" + the interface GUID the first instance expects: the one its
// user's applications look for. The elevated instance may read another
// registration (another account's, over-the-shoulder), or none.
inline constexpr const char* kGuidArgumentPrefix = "/guid:";

// The GUID an elevated instance takes from "/guid:": only a braced GUID of
// 38 characters ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, hexadecimal digits
// of either case), given back in upper case; anything else an empty text.
std::wstring accepted_expected_guid(const std::wstring& handed);

// A path that does not depend on the current directory (the elevated
// instance starts in System32): fully qualified (C:\x, \\server\x), or from
// the root (\x, /x), the form of the Linux build's host paths.
bool path_is_absolute(const std::wstring& path);


// `argument` quoted so that the C runtime's command-line splitting (and
// CommandLineToArgvW's) gives it back unchanged.
std::wstring quoted_argument(const std::wstring& argument);

// The elevated instance's parameters: "/fix /elevated", then the report path
// as one quoted argument when there is one, then "/nopause" when the first
// instance has it (the result then shows in the first window, nobody needs
// to read the second one), then "/json" when the first instance has it (the
// elevated instance then writes its own JSON report beside its report).
// Then "/guid:" and `expected_guid` when there is one.
std::wstring relaunch_parameters(const std::wstring& elevated_report_path, bool nopause, bool json = false,
                                 const std::wstring& expected_guid = {});

// The report path that an elevated instance accepts from its command line:
// only a report name (VQ4_Diag_Report_, digits and underscores, .txt)
// directly inside `own_directory`, the folder of its own executable, compared
// without regard to letter case or to the kind of separator. Anything else
// (another folder, a ".." on the way, another name, a relative folder) gives
// an empty text: the instance then uses its usual name.
std::wstring accepted_report_path(const std::wstring& handed_path, const std::wstring& own_directory);

// The Info lines that show, under section 7 of the first instance, the
// result recorded in the elevated instance's report (`bytes`, Latin-1 with
// CR LF, read from `path`): for each repaired interface the step that worked
// or how its repair ended, the last summary's counts and verdict, and the
// report's path. Empty when the report holds no complete summary (an
// instance that did not finish its run).
std::vector<std::wstring> elevated_result_lines(const std::vector<std::uint8_t>& bytes, const std::wstring& path);

// The largest elevated report the first instance reads.
inline constexpr std::uint32_t kElevatedReportMaxBytes = 4u * 1024u * 1024u;

// What the elevated report says of the repair.
struct ElevatedReportResult {
    std::vector<std::wstring> lines;  // elevated_result_lines; empty when the report holds no complete summary
    bool repaired = false;            // its last summary is "Summary after repair": every candidate was repaired
    std::wstring backup_path;         // its registry backup, from its restore hint; empty when it names none
};
ElevatedReportResult read_elevated_result(const std::vector<std::uint8_t>& bytes, const std::wstring& path);

// What the first instance asks of the relaunch.
struct RelaunchRequest {
    std::wstring base_report_path;    // the name this instance computed for its report
    std::wstring opened_report_path;  // the file it writes (empty when none could be created)
    bool nopause = false;             // passed on: nobody needs to read the elevated window
    bool json = false;                // passed on: the elevated instance writes its own JSON report
    std::wstring expected_guid;       // passed on: the GUID the repair must register
};

// How the elevated report could be read.
enum class ElevatedReportState {
    NotRead,     // the instance did not start, or the wait did not see it end
    NoName,      // no free name was left beside this instance's report
    ReadError,   // the file could not be read (`report_error`)
    Incomplete,  // it ends before its summary
    Read,
};

// Everything the first instance learns of one relaunch, in one record: the
// repair section prints from it and the run driver decides from it.
struct ElevatedRelaunch {
    bool started = false;          // the system gave a process handle
    bool ended = false;            // the wait saw it end
    bool exit_code_known = false;  // GetExitCodeProcess answered after the end
    std::uint32_t exit_code = 0;   // any value, 0xFFFFFFFF included, when known
    std::wstring report_path;      // where the elevated instance writes its report (empty: NoName)
    ElevatedReportState report = ElevatedReportState::NotRead;
    std::uint32_t report_error = 0;  // ReadError's code
    ElevatedReportResult result;     // Read: the report's result
};

// Names the elevated report, starts this executable elevated with "/fix" and
// the internal arguments, waits for it without a time-out, takes its exit
// code and reads its report.
ElevatedRelaunch relaunch_elevated_instance(const RelaunchRequest& request);

}  // namespace vq4
