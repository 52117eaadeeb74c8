// A whole run of the tool on any machine the loader accepts: nothing
// escapes the run as an exception, the run does not hang (libFuzzer's
// -timeout), and the console output is a well-formed report whose exit code
// follows from its Fail lines. Sections that later versions add are run too.
//
// The console goes to a memory file that is read back after each run; the
// report file cannot be created (its folder does not exist), so nothing is
// written to disk.
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/run_driver.h"
#include "fuzz_support.h"
#include "platform/sim/machine_file.h"
#include "report/report.h"
#include "support/report_check.h"

namespace {

int console_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    console_fd = ::memfd_create("vq4_console", 0);
    if (console_fd < 0 || ::dup2(console_fd, STDOUT_FILENO) < 0) vq4::fuzz::fail("memory file for the console");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    sim::Machine m;
    std::string error;
    if (!sim::parse_machine_json(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json", m, error)) {
        return 0;
    }
    m.module_path = L"/nonexistent-vq4-fuzz-folder/VQ4_Diag";
    // Without its module path the tool writes the report to the current folder: not here.
    std::erase_if(m.faults, [](const sim::Fault& f) { return f.operation == "GetModuleFileNameW"; });
    m.local_time = sim::LocalTimeRecord{};
    sim::set_machine(std::move(m));

    std::fflush(stdout);
    if (::ftruncate(console_fd, 0) != 0 || ::lseek(console_fd, 0, SEEK_SET) != 0) fuzz::fail("console reset");
    int exit_code = -1;
    try {
        exit_code = run_diagnostic({L"/nopause"});
    } catch (...) {
        fuzz::fail("an exception left the run");
    }
    std::fflush(stdout);
    fuzz::check(exit_code == 0 || exit_code == 1, "exit code 0 or 1");

    std::string console;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(console_fd, buffer, sizeof buffer, at);
        if (got <= 0) break;
        console.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
    std::string report, saved;
    fuzz::check(test::console_as_report(console, report, saved), "the console ends with the closing message");
    const test::ReportCheck r = test::check_report(report);
    if (!r.problems.empty()) {
        std::fprintf(stderr, "%s\n", r.problems.front().c_str());
        fuzz::fail("the report is not well formed");
    }
    fuzz::check(exit_code == (r.fail > 0 ? 1 : 0), "the exit code follows the Fail lines");
    return 0;
}
