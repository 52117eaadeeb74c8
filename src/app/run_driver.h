// The run: options, report path, banner, sections in their fixed order,
// summary, repair and verification, closing message, pause, exit code.
#pragma once

#include <string>
#include <vector>

namespace vq4 {

struct RunOptions {
    bool interactive = true;     // no "/nopause"
    bool fix_requested = false;  // "/fix"
    bool skip_repair = false;    // "/nofix"
};

RunOptions parse_run_options(const std::vector<std::string>& arguments);

// Directory of the running executable, without a trailing separator; "."
// when the module path is unknown or holds no separator.
std::wstring exe_directory();

// "<dir>\VQ4_Diag_Report_YYYYMMDD_hhmmss.txt" within 260 characters; falls
// back to the current directory "." when the directory is too long.
std::wstring build_report_path(const std::wstring& directory);

// The entry point's body; returns the process exit code.
int run_diagnostic(const std::vector<std::string>& arguments);

}  // namespace vq4
