// The run: options, report path, banner, sections in their fixed order,
// summary, repair and verification, closing message, pause, exit code.
#pragma once

#include <string>
#include <vector>

#include "platform/system.h"

namespace vq4 {

struct RunOptions {
    bool interactive = true;     // no "/nopause"
    bool fix_requested = false;  // "/fix"
    bool skip_repair = false;    // "/nofix"
    bool json = false;           // "/json": a JSON report beside the text report
    bool capture = false;        // "/capture": a machine file of what the run read; no repair
    bool show_usage = false;     // "/?", "-h", "--help": the usage, and nothing else
    // Internal, from the first instance to the one it relaunches elevated:
    bool relaunched = false;          // "/elevated"
    std::wstring handed_report_path;  // "/report:<path>"
    std::wstring handed_guid;         // "/guid:<GUID>", as given
};

RunOptions parse_run_options(const std::vector<std::wstring>& arguments);

// The usage that "/?" prints: the options, the exit codes, where the files go.
std::wstring usage_text();

// The report path of this run: for an instance started by the elevated
// relaunch, the path handed over when it is acceptable (a report name in the
// executable's own folder); otherwise build_report_path(directory).
std::wstring run_report_path(const RunOptions& options, const std::wstring& directory);
std::wstring run_report_path(const RunOptions& options, const std::wstring& directory, const platform::LocalTime& time);

// Directory of the running executable, without a trailing separator; "."
// when the module path is unknown or holds no separator.
std::wstring exe_directory();

// "<dir>\VQ4_Diag_Report_YYYYMMDD_hhmmss.txt" within 260 characters; falls
// back to the current directory "." when the directory is too long.
std::wstring build_report_path(const std::wstring& directory);
// The same for a local time already read.
std::wstring build_report_path(const std::wstring& directory, const platform::LocalTime& time);

// The entry point's body; returns the process exit code.
int run_diagnostic(const std::vector<std::wstring>& arguments);

}  // namespace vq4
