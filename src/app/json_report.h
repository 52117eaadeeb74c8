// The JSON report ("/json"): the run's report lines, summaries, repair
// outcome, exit code and the facts a support desk filters on, written beside
// the text report under the same base name. Its layout: docs/report-json.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "app/sections.h"
#include "app/summary.h"
#include "platform/system.h"
#include "repair/repair_section.h"
#include "report/report.h"

namespace vq4 {

inline constexpr int kJsonReportSchema = 1;

// Everything a run hands to its JSON report.
struct RunRecord {
    RunOptions options;
    platform::LocalTime time;
    std::wstring report_file;  // the text report written, empty when none
    const ReportLog* log = nullptr;
    std::vector<SummaryShown> summaries;  // in the order printed
    bool repair_ran = false;              // section 7 was run (no "/nofix")
    RepairSectionResult repair;
    int exit_code = 0;
    ReportFacts facts;
    std::optional<VerificationFacts> facts_after_repair;  // section 8 ran
};

// The tool's version, from the build.
std::wstring tool_version();

// The whole JSON document, UTF-8, no byte-order mark, ending in a newline.
std::string json_report_text(const RunRecord& record);

// Creates `path` (never replacing a file) and writes the document; with
// `reserved`, writes into the empty file reserved for it with the text
// report (platform::output_file_open_reserved). Returns 0 or the error code
// of the opening or the write.
std::uint32_t write_json_report(const std::wstring& path, const RunRecord& record, bool reserved = false);

}  // namespace vq4
