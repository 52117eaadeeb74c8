#include "app/run_driver.h"

#include <optional>

#include "app/json_report.h"
#include "app/sections.h"
#include "app/summary.h"
#include "capture/capture_file.h"
#include "capture/redaction.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "repair/elevated_handover.h"
#include "repair/protected_folder.h"
#include "repair/repair_section.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

// The first n characters of a and b are equal, ignoring the case of ASCII
// letters (only those: the options are ASCII, and no other letter folds onto
// one of theirs).
bool equals_nocase_ascii_n(const std::wstring& a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        wchar_t x = a[i];
        wchar_t y = static_cast<wchar_t>(static_cast<unsigned char>(b[i]));
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

bool starts_with_nocase_ascii(const std::wstring& a, const char* prefix) {
    const std::size_t n = std::char_traits<char>::length(prefix);
    return a.size() >= n && equals_nocase_ascii_n(a, prefix, n);
}

bool equals_nocase_ascii(const std::wstring& a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) && equals_nocase_ascii_n(a, b, a.size());
}

void print_banner() {
    const std::wstring rule = L"==============================================================\n";
    const std::wstring banner = rule + L" Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n" + rule;
    platform::console_set_attribute(kAttrHeader);
    write_console(banner);
    platform::console_set_attribute(kAttrNormal);
    write_report_text(banner);
}

// Beside the report, under its time, in a block of its own after the
// summary's verdict: the last lines of the run. A failure is one Warn line
// and changes neither the report nor the exit code.
void write_machine_capture(const capture::Capture& machine, const std::wstring& report_path, bool fix_requested) {
    print_section(L"Machine capture");
    if (fix_requested) {
        // "/fix /capture": the capture is the machine as it was found, so
        // the repair asked for does not run.
        print_status(StatusKind::Info, L"The repair was not run: /capture records this PC as it was found, so /fix "
                                       L"is not applied.");
    }
    const std::wstring path = capture::capture_path_for_report(report_path);
    std::wstring written;
    const std::uint32_t error = capture::write_capture(path, machine, written);
    if (error != 0) {
        print_status(StatusKind::Warn, L"The machine capture could not be written (error code=" + decimal(error) +
                                           L"): " + (written.empty() ? path : written));
        return;
    }
    print_status(StatusKind::Info, L"Machine capture written to: " + written);
}

}  // namespace

RunOptions parse_run_options(const std::vector<std::wstring>& arguments) {
    RunOptions options;
    for (const std::wstring& argument : arguments) {
        if (equals_nocase_ascii(argument, "/nopause")) {
            options.interactive = false;
        } else if (equals_nocase_ascii(argument, "/fix")) {
            options.fix_requested = true;
        } else if (equals_nocase_ascii(argument, "/nofix")) {
            options.skip_repair = true;
        } else if (equals_nocase_ascii(argument, "/json")) {
            options.json = true;
        } else if (equals_nocase_ascii(argument, "/capture")) {
            options.capture = true;
        } else if (argument == L"/?" || equals_nocase_ascii(argument, "-h") || equals_nocase_ascii(argument, "--help")) {
            options.show_usage = true;
        } else if (equals_nocase_ascii(argument, kElevatedArgument)) {
            options.relaunched = true;
        } else if (starts_with_nocase_ascii(argument, kGuidArgumentPrefix)) {
            options.handed_guid = argument.substr(std::char_traits<char>::length(kGuidArgumentPrefix));
        } else if (starts_with_nocase_ascii(argument, kReportArgumentPrefix)) {
            options.handed_report_path = argument.substr(std::char_traits<char>::length(kReportArgumentPrefix));
        }
    }
    // A capture is what the machine is before anything changes it.
    if (options.capture) options.skip_repair = true;
    return options;
}

std::wstring usage_text() {
    return L"VQ4_Diag - diagnostic and repair of the Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n"
           L"\n"
           L"Usage: VQ4_Diag [/nopause] [/fix] [/nofix] [/json] [/capture]\n"
           L"\n"
           L"  /nopause  no question and no \"Press Enter\" at the end (unattended runs)\n"
           L"  /fix      apply the repair without asking (relaunches elevated if needed)\n"
           L"  /nofix    diagnose only: no repair section\n"
           L"  /json     also write the report as JSON, beside the text report\n"
           L"  /capture  diagnose only and write what the run read of this PC as a\n"
           L"            machine file, VQ4_Diag_Machine_...json, beside the report\n"
           L"  /?        this help (also -h, --help)\n"
           L"\n"
           L"Exit code: 0 when no failure is left, 1 when Fail lines remain; when the\n"
           L"repair ran in the elevated instance, this window checks it again itself\n"
           L"and the exit code follows that check (1 when it did not repair).\n"
           L"\n"
           L"Report: VQ4_Diag_Report_YYYYMMDD_hhmmss.txt next to the executable (_2, _3,\n"
           L"... when the name is taken). The elevated instance writes its report\n"
           L"beside it, under the next free name. With /json, VQ4_Diag_Report_...json\n"
           L"beside each report, under the same name.\n";
}

std::wstring run_report_path(const RunOptions& options, const std::wstring& directory) {
    return run_report_path(options, directory, platform::get_local_time());
}

std::wstring run_report_path(const RunOptions& options, const std::wstring& directory, const platform::LocalTime& time) {
    if (options.relaunched && !options.handed_report_path.empty()) {
        const std::wstring accepted = accepted_report_path(options.handed_report_path, directory);
        if (!accepted.empty()) return accepted;
    }
    return build_report_path(directory, time);
}

std::wstring exe_directory() {
    // A path cut to the buffer still gives the folders it holds; a failed
    // call gives the current folder.
    std::wstring module_path;
    const std::uint32_t error = platform::get_module_file_name(260, module_path);
    if (error != 0 && error != win::ERROR_INSUFFICIENT_BUFFER_) return L".";
    const std::wstring::size_type separator = module_path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return L".";
    }
    return module_path.substr(0, separator);
}

std::wstring build_report_path(const std::wstring& directory) {
    return build_report_path(directory, platform::get_local_time());
}

std::wstring build_report_path(const std::wstring& directory, const platform::LocalTime& t) {
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

int run_diagnostic(const std::vector<std::wstring>& arguments) {
    const RunOptions options = parse_run_options(arguments);
    if (options.show_usage) {
        write_console(usage_text());
        return 0;
    }
    const std::wstring directory = exe_directory();
    // The local time names the report and is the JSON report's time; it is
    // read once (an elevated instance given its report's name reads it only
    // for the JSON report).
    std::optional<platform::LocalTime> time;
    std::wstring report_path;
    bool handed_name = false;
    if (options.relaunched && !options.handed_report_path.empty()) {
        report_path = accepted_report_path(options.handed_report_path, directory);
        handed_name = !report_path.empty();
    }
    if (report_path.empty()) {
        time = platform::get_local_time();
        report_path = build_report_path(directory, *time);
    }
    std::uint32_t save_error = 0;
    std::wstring opened_path;
    bool json_reserved = false;  // the JSON's name was reserved with the report's
    if (options.relaunched && !path_is_absolute(report_path)) {
        // The elevated instance starts in System32: a path relative to its
        // current directory would put the report there.
        save_error = win::ERROR_BAD_PATHNAME_;
    } else {
        // The elevated instance writes on the name the first instance
        // reserved for it, and nowhere else in that folder.
        ReportFileOpening opening = handed_name ? open_handed_report_file(report_path, options.json)
                                                : open_report_file_with_code(report_path, options.json);
        if (opening.error != 0 && options.relaunched) {
            // The executable's folder refuses the elevated instance (read-only,
            // another account's redirected folder, a network share): its
            // report goes beside the backups, under the name it was given,
            // where the first instance says to look.
            const ProtectedFolder folder = open_protected_folder();
            const std::wstring::size_type separator = report_path.find_last_of(L"\\/");
            if (folder.error == 0 && separator != std::wstring::npos) {
                const ReportFileOpening beside_backups =
                    open_report_file_with_code(folder.path + L"\\" + report_path.substr(separator + 1), options.json);
                if (beside_backups.error == 0) opening = beside_backups;
            }
        }
        opened_path = opening.path;
        save_error = opening.error;
        json_reserved = opening.json_reserved;
    }

    // The run's own counts: the summaries and the exit code read them. Its
    // lines are recorded for the JSON report.
    ReportCounts counts;
    const CountedLines counting(counts);
    ReportLog log;
    const RecordedLines recording(log);
    RunRecord record;
    record.options = options;
    record.log = &log;

    print_banner();
    capture::Capture machine;
    {
        std::optional<capture::CaptureScope> capturing;
        if (options.capture) capturing.emplace(machine);
        record.facts = run_report_sections();
        if (options.capture) capture::read_ancestors(machine);
    }
    // What names the user, the PC and the other devices never leaves it.
    if (options.capture) capture::redact(machine, capture::read_identity());
    record.summaries.push_back(print_summary(L"Summary", counts));

    RepairSectionResult& repair = record.repair;
    if (!options.skip_repair) {
        record.repair_ran = true;
        RepairRequest request;
        request.fix_requested = options.fix_requested;
        request.may_prompt = options.interactive;
        request.relaunched = options.relaunched;
        request.handed_guid = options.handed_guid;
        request.json = options.json;
        request.report_path = report_path;
        request.opened_report_path = opened_path;
        repair = run_repair_section(request);
        // After a repair done by the elevated instance this instance checks
        // it again itself, as the user: the elevated instance may read
        // another registration and sees what an administrator sees.
        if (repair.outcome == SectionOutcome::RepairSucceeded || repair.delegated_repair_done()) {
            print_section(L"8. Verification after repair");
            print_status(StatusKind::Info, L"Re-running sections 3 and 5 after the repair.");
            platform::sleep_ms(1000);
            counts = ReportCounts{};
            record.facts_after_repair = run_verification_sections();
            record.summaries.push_back(print_summary(L"Summary after repair", counts));
        } else if (repair.outcome == SectionOutcome::RepairNeedsReplug ||
                   repair.outcome == SectionOutcome::RepairFailed ||
                   repair.outcome == SectionOutcome::RepairDelegated) {
            record.summaries.push_back(print_summary(L"Summary after repair attempt", counts));
        }
    }
    // An elevated instance that did not repair leaves the problem this run
    // found: a failure, whatever else was counted.
    const bool delegated_without_repair =
        repair.outcome == SectionOutcome::RepairDelegated && !repair.delegated_repair_done();
    record.exit_code = delegated_without_repair || counts.fail > 0 ? 1 : 0;

    if (options.capture) {
        write_machine_capture(machine, opened_path.empty() ? report_path : opened_path, options.fix_requested);
    }

    if (options.json) {
        // Beside the text report, under its base name; a failure is one Warn
        // line in the text report and changes neither it nor the exit code.
        if (!time) time = platform::get_local_time();
        record.time = *time;
        record.report_file = opened_path;
        const std::wstring json_path = json_partner_path(opened_path.empty() ? report_path : opened_path);
        const std::uint32_t json_error = options.relaunched && !path_is_absolute(json_path)
                                             ? win::ERROR_BAD_PATHNAME_
                                             : write_json_report(json_path, record, json_reserved);
        if (json_error != 0) {
            print_status(StatusKind::Warn, L"The JSON report could not be written (error code=" + decimal(json_error) +
                                               L"): " + json_path);
        }
    }

    if (!opened_path.empty()) save_error = report_file_write_error();
    if (save_error == 0) {
        write_console(L"\nReport saved to:\n  " + opened_path + L"\n");
    } else {
        write_console(L"\nThe report could not be saved (error code=" + decimal(save_error) + L"): " +
                                (opened_path.empty() ? report_path : opened_path) + L"\n");
    }
    close_report_file();

    if (options.interactive) {
        write_console(L"\nPress Enter to close...");
        platform::console_read_char();
    }
    return record.exit_code;
}

}  // namespace vq4
