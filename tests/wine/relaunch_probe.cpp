// The elevated relaunch through the Win32 layer under Wine, with shell32.dll
// loaded on demand rather than imported, and the hand-over of the elevated
// report. Started without arguments, the probe writes a report of its own,
// names the elevated report beside it and relaunches itself with the verb
// "runas" and the parameters the repair section passes ("/fix /elevated",
// the quoted report path, "/nopause", "/json"), waits for it, prints what it saw and
// the lines it shows of the elevated report. Started with those parameters,
// it reads them as the tool does, writes a short elevated report to the path
// it accepts (the name reserved for it), fills the JSON reserved beside it
// and exits with 42 (with 3 when the parameters did not arrive).
// Its folder may have any name: the test runs it from one with Cyrillic, CJK
// and a full-width quote (U+FF02), which the ANSI code page cannot hold.
#include <cstdio>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "platform/elevation.h"
#include "platform/system.h"
#include "repair/elevated_handover.h"
#include "report/report.h"
#include "util/text.h"

namespace {

// UTF-8, so that the test reads back the folder's name as it made it.
std::string narrow(const std::wstring& text) { return vq4::utf8_text(text); }

int run_elevated_instance(const std::vector<std::wstring>& arguments) {
    using namespace vq4;
    const RunOptions options = parse_run_options(arguments);
    const std::wstring path = run_report_path(options, exe_directory());
    if (!options.relaunched || !options.fix_requested || options.interactive || path != options.handed_report_path) {
        return 3;
    }
    // The name the first instance reserved, with its JSON partner.
    const ReportFileOpening opening = open_handed_report_file(path, options.json);
    if (opening.path != path || !opening.json_reserved) return 4;
    platform::ReportFile json;
    if (platform::output_file_open_reserved(json_partner_path(path), json) != 0) return 5;
    const std::string document = "{\"probe\": true}\n";
    if (platform::report_file_write(json, std::vector<std::uint8_t>(document.begin(), document.end())) != 0) return 6;
    json.reset();
    print_section(L"7. Automatic repair (MI_03 interface GUID)");
    print_status(StatusKind::Info, L"Repairing USB\\VID_2A7D&PID_5E3C&MI_03\\PROBE (previous GUID(s): (none))");
    print_status(StatusKind::Info, L"Step 1/3: remove the MI_03 interface and re-detect it.");
    print_status(StatusKind::Ok, L"  -> The firmware's interface GUID is registered again on MI_03.");
    print_section(L"Summary after repair");
    print_status(StatusKind::Info, L"1 test(s) OK, 0 warning(s), 0 failure(s).");
    print_status(StatusKind::Ok, L"Everything appears to be working correctly.");
    close_report_file();
    return 42;
}

}  // namespace

// wmain, as the tool: the arguments as UTF-16, whatever the code page.
int wmain(int argc, wchar_t** argv) {
    using namespace vq4;
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    if (!arguments.empty()) return run_elevated_instance(arguments);

    const std::wstring directory = exe_directory();
    const std::wstring own_report = directory + L"\\VQ4_Diag_Report_20260304_050607.txt";
    const std::wstring opened = open_report_file(own_report);
    close_report_file();
    // The elevated names reserved as a pair; a JSON left at the next number
    // (planted, say) moves the pair past it.
    {
        platform::ReportFile planted;
        platform::output_file_create_new(directory + L"\\VQ4_Diag_Report_20260304_050607_2.json", planted);
        const std::string text = "{\"exit_code\": 0}\n";
        platform::report_file_write(planted, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    const ReservedReportName name = reserve_report_name(own_report, opened, true);
    const std::wstring elevated_report = name.path;
    std::printf("Reserved: %d %d\n", name.reserved ? 1 : 0, name.json_reserved ? 1 : 0);
    // A reserved name that holds anything but the empty file is refused.
    platform::ReportFile refused;
    std::printf("Open reserved, a file with bytes: %lu\n",
                static_cast<unsigned long>(platform::report_file_open_reserved(
                    directory + L"\\VQ4_Diag_Report_20260304_050607_2.json", refused)));
    std::printf("Open reserved, nothing there: %lu\n",
                static_cast<unsigned long>(
                    platform::report_file_open_reserved(directory + L"\\VQ4_Diag_Missing.txt", refused)));
    const std::wstring parameters = relaunch_parameters(elevated_report, true, true);
    std::printf("Own report: %s\n", narrow(opened).c_str());
    std::printf("Parameters: %s\n", narrow(parameters).c_str());

    const std::wstring self = directory + L"\\vq4_relaunch_probe.exe";
    platform::ProcessHandle process;
    const std::uint32_t started = platform::shell_execute_ex(L"runas", self, parameters, 1, process);
    std::printf("ShellExecuteExW: %lu\n", static_cast<unsigned long>(started));
    if (started != 0 || !process.valid()) return 1;
    std::printf("WaitForSingleObject: %lu\n",
                static_cast<unsigned long>(platform::wait_for_single_object(process, 0xFFFFFFFFu)));
    std::uint32_t code = 0xFFFFFFFFu;
    const std::uint32_t read = platform::get_exit_code_process(process, code);
    std::printf("GetExitCodeProcess: %lu, exit code %lu\n", static_cast<unsigned long>(read),
                static_cast<unsigned long>(code));

    std::vector<std::uint8_t> bytes;
    const std::uint32_t read_error = platform::report_file_read(elevated_report, kElevatedReportMaxBytes, bytes);
    std::printf("Elevated report read: %lu\n", static_cast<unsigned long>(read_error));
    for (const std::wstring& line : elevated_result_lines(bytes, elevated_report)) {
        std::printf("%s\n", narrow(line).c_str());
    }
    return 0;
}
