#pragma once

#include <string>

#include "report/report.h"

namespace vq4 {

// A summary as it was printed: its title, the counts its counts line showed
// (from before its verdict line) and the verdict's kind.
struct SummaryShown {
    std::wstring title;
    ReportCounts counts;
    StatusKind verdict = StatusKind::Ok;
};

// Prints the counts line and the verdict line under `title`; the verdict line
// is itself counted, into the counting in force.
SummaryShown print_summary(const std::wstring& title, const ReportCounts& counts);

}  // namespace vq4
