#pragma once

#include <string>

#include "report/report.h"

namespace vq4 {

// Prints the counts line and the verdict line under `title`; the verdict line
// is itself counted, into the counting in force.
void print_summary(const std::wstring& title, const ReportCounts& counts);

}  // namespace vq4
