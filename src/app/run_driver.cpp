#include "app/run_driver.h"

#include "app/sections.h"
#include "app/summary.h"
#include "platform/system.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

bool equals_nocase_ascii(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

void print_banner() {
    const std::wstring rule = L"==============================================================\n";
    const std::wstring banner = rule + L" Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n" + rule;
    platform::console_set_attribute(kAttrHeader);
    platform::console_write(banner);
    platform::console_set_attribute(kAttrNormal);
    write_report_text(banner);
}

}  // namespace

RunOptions parse_run_options(const std::vector<std::string>& arguments) {
    RunOptions options;
    for (const std::string& argument : arguments) {
        if (equals_nocase_ascii(argument, "/nopause")) {
            options.interactive = false;
        } else if (equals_nocase_ascii(argument, "/fix")) {
            options.fix_requested = true;
        } else if (equals_nocase_ascii(argument, "/nofix")) {
            options.skip_repair = true;
        }
    }
    return options;
}

std::wstring exe_directory() {
    const std::wstring module_path = platform::get_module_file_name(260);
    const std::wstring::size_type separator = module_path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return L".";
    }
    return module_path.substr(0, separator);
}

std::wstring build_report_path(const std::wstring& directory) {
    const platform::LocalTime t = platform::get_local_time();
    const auto format = [&t](const std::wstring& dir) {
        std::wstring path;
        format_wide(path, 260, L"%ls\\VQ4_Diag_Report_%04d%02d%02d_%02d%02d%02d.txt", dir.c_str(), int{t.year},
                    int{t.month}, int{t.day}, int{t.hour}, int{t.minute}, int{t.second});
        return path;
    };
    std::wstring path = format(directory);
    if (path.empty()) {
        // The directory is too long for the report path: write the report in
        // the current directory rather than losing it.
        path = format(L".");
    }
    return path;
}

int run_diagnostic(const std::vector<std::string>& arguments) {
    const RunOptions options = parse_run_options(arguments);
    const std::wstring report_path = build_report_path(exe_directory());
    const std::wstring opened_path = open_report_file(report_path);

    print_banner();
    run_report_sections();
    print_summary(L"Summary");

    if (!options.skip_repair) {
        const int outcome = run_repair_stage(options.fix_requested, options.interactive);
        if (outcome == 2) {
            print_section(L"8. Verification after repair");
            print_status(StatusKind::Info, L"Re-running sections 3 and 5 after the repair.");
            platform::sleep_ms(1000);
            ok_count = 0;
            warn_count = 0;
            fail_count = 0;
            run_verification_sections();
            print_summary(L"Summary after repair");
        } else if (outcome == 3 || outcome == 4) {
            print_summary(L"Summary after repair attempt");
        }
    }

    platform::console_write(L"\nReport saved to:\n  " + (opened_path.empty() ? report_path : opened_path) + L"\n");
    close_report_file();

    if (options.interactive) {
        platform::console_write(L"\nPress Enter to close...");
        platform::console_read_char();
    }
    return fail_count > 0 ? 1 : 0;
}

}  // namespace vq4
