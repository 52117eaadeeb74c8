#include "app/summary.h"

#include "report/report.h"
#include "util/text.h"

namespace vq4 {

SummaryShown print_summary(const std::wstring& title, const ReportCounts& counts) {
    const SummaryShown shown{title, counts,
                             counts.fail != 0   ? StatusKind::Fail
                             : counts.warn != 0 ? StatusKind::Warn
                                                : StatusKind::Ok};
    print_section(title);
    print_status(StatusKind::Info, decimal(counts.ok) + L" test(s) OK, " + decimal(counts.warn) + L" warning(s), " +
                                       decimal(counts.fail) + L" failure(s).");
    if (counts.fail != 0) {
        print_status(StatusKind::Fail,
                     L"Problems were detected (see [FAIL] above). Re-read the detail section by section to identify "
                     L"the cause.");
    } else if (counts.warn != 0) {
        print_status(StatusKind::Warn, L"Functional, but with a few points worth checking (see [WARN] above).");
    } else {
        print_status(StatusKind::Ok, L"Everything appears to be working correctly.");
    }
    return shown;
}

}  // namespace vq4
