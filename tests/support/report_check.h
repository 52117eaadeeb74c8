// Structural checks of a report as the tool writes it, shared by the fault
// sweep and the hostile-data tests: whatever a machine does to the tool, its
// report must still be a report.
#pragma once

#include <string>
#include <vector>

namespace vq4::test {

struct ReportCheck {
    std::vector<std::string> problems;  // empty: well formed
    std::vector<std::string> lines;     // the report's lines, without their CR LF
    int ok = 0, warn = 0, fail = 0;     // the counters at the end, as the tagged lines give them
    int summaries = 0;
};

// Checks report-file bytes: the banner first (so no byte-order mark), CR LF
// as the only line end, no control characters, every line a section header
// (after one empty line), a tagged status line or a detail line, and every
// summary's counts line equal to the tagged lines counted before it (since
// the reset of the verification after repair) with the verdict those counts
// give. The exit code of the run must be 1 exactly when `fail` > 0.
ReportCheck check_report(const std::string& bytes);

// The report-file bytes that the console output of a run stands for: the
// console text (UTF-8, LF) up to the closing message ("Report saved to:", or
// "The report could not be saved (error code=N): path"), as Latin-1 with
// CR LF. `saved_path` receives the path that the message names, and
// `not_saved_error` (when given) the error code's text when the report could
// not be saved, else an empty text. False when the closing message is
// missing or the text is not Latin-1.
bool console_as_report(const std::string& console, std::string& report_bytes, std::string& saved_path,
                       std::string* not_saved_error = nullptr);

}  // namespace vq4::test
