#include "repair/elevated_handover.h"

#include "platform/elevation.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "repair/registry_backup.h"
#include "report/report.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4 {

namespace {

const std::wstring kReportNamePrefix = L"VQ4_DIAG_REPORT_";
const std::wstring kReportNameSuffix = L".TXT";
const std::wstring kSection7Title = L"7. Automatic repair (MI_03 interface GUID)";

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring with_backslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

bool is_report_name(const std::wstring& name) {
    const std::wstring upper = to_upper_ascii(name);
    if (upper.size() <= kReportNamePrefix.size() + kReportNameSuffix.size()) return false;
    if (upper.compare(0, kReportNamePrefix.size(), kReportNamePrefix) != 0) return false;
    if (upper.compare(upper.size() - kReportNameSuffix.size(), kReportNameSuffix.size(), kReportNameSuffix) != 0) {
        return false;
    }
    for (std::size_t i = kReportNamePrefix.size(); i < upper.size() - kReportNameSuffix.size(); ++i) {
        if (!((upper[i] >= L'0' && upper[i] <= L'9') || upper[i] == L'_')) return false;
    }
    return true;
}

// The report's lines: Latin-1 bytes, CR LF (a lone LF is taken as well).
std::vector<std::wstring> report_lines(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::wstring> lines;
    std::wstring line;
    for (const std::uint8_t b : bytes) {
        if (b == '\n') {
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<wchar_t>(b));
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

struct StatusLine {
    char kind = 0;  // 'O', 'W', 'F', 'I'; 0: not a status line
    std::wstring text;
};

StatusLine status_of(const std::wstring& line) {
    StatusLine s;
    if (line.size() < 9 || line[8] != L' ') return s;
    const std::wstring tag = line.substr(0, 8);
    if (tag == L"[  OK  ]") s.kind = 'O';
    if (tag == L"[ WARN ]") s.kind = 'W';
    if (tag == L"[ FAIL ]") s.kind = 'F';
    if (tag == L"[ INFO ]") s.kind = 'I';
    if (s.kind != 0) s.text = line.substr(9);
    return s;
}

// "==== title ====" gives the title; anything else an empty text.
std::wstring header_title(const std::wstring& line) {
    const std::wstring open = L"==== ";
    const std::wstring close = L" ====";
    if (line.size() < open.size() + close.size() || line.compare(0, open.size(), open) != 0 ||
        line.compare(line.size() - close.size(), close.size(), close) != 0) {
        return {};
    }
    return line.substr(open.size(), line.size() - open.size() - close.size());
}

bool starts_with(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// A sub-finding without its "  -> " lead.
std::wstring finding(std::wstring text) {
    std::size_t start = 0;
    while (start < text.size() && text[start] == L' ') ++start;
    if (text.compare(start, 3, L"-> ") == 0) start += 3;
    return text.substr(start);
}

// One candidate's repair in the elevated report: from its "Repairing" line
// to the next one or the end of section 7.
struct RepairBlock {
    std::wstring instance_id;
    std::wstring step;  // "1/3", "2/3", "3/3": the last step it began
    StatusLine last;    // the last status line of the block
};

}  // namespace

bool path_is_absolute(const std::wstring& path) {
    return is_fully_qualified_path(path) || (!path.empty() && is_separator(path[0]));
}

std::wstring quoted_argument(const std::wstring& argument) {
    // The rules by which the C runtime (and CommandLineToArgvW) split a
    // command line: backslashes are literal unless a quote follows them;
    // before a quote, 2n backslashes give n and 2n + 1 give n and the quote.
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');  // the closing quote stays a quote
    quoted.push_back(L'"');
    return quoted;
}

std::wstring accepted_expected_guid(const std::wstring& handed) {
    Guid value;
    // parse_guid takes short fields and ignores what follows them: the
    // text must be exactly the form it gives back.
    if (handed.size() != 38 || !parse_guid(handed, value)) return {};
    const std::wstring formatted = format_guid(value);
    return equals_nocase(formatted, handed) ? formatted : std::wstring();
}

std::wstring relaunch_parameters(const std::wstring& elevated_report_path, bool nopause, bool json,
                                 const std::wstring& expected_guid) {
    std::wstring parameters = L"/fix " + widen(kElevatedArgument);
    // Quoted so that any folder name arrives whole: blanks, and on the Linux
    // build's host even quotes and trailing backslashes. The parameters are
    // UTF-16 throughout, so no character becomes a quote on the way.
    if (!elevated_report_path.empty()) {
        parameters += L" " + quoted_argument(widen(kReportArgumentPrefix) + elevated_report_path);
    }
    if (nopause) parameters += L" /nopause";
    if (json) parameters += L" /json";
    if (!expected_guid.empty()) parameters += L" " + widen(kGuidArgumentPrefix) + expected_guid;
    return parameters;
}

std::wstring accepted_report_path(const std::wstring& handed_path, const std::wstring& own_directory) {
    if (handed_path.empty() || handed_path.size() >= 260 || !path_is_absolute(own_directory)) return {};
    const std::wstring handed = with_backslashes(handed_path);
    const std::wstring::size_type separator = handed.rfind(L'\\');
    if (separator == std::wstring::npos) return {};
    // The folder as written, compared whole: a "..", a "." or a doubled
    // separator on the way makes it another text, so it is refused.
    if (!equals_nocase(handed.substr(0, separator), with_backslashes(own_directory))) return {};
    if (!is_report_name(handed.substr(separator + 1))) return {};
    return handed_path;
}

std::vector<std::wstring> elevated_result_lines(const std::vector<std::uint8_t>& bytes, const std::wstring& path) {
    return read_elevated_result(bytes, path).lines;
}

ElevatedReportResult read_elevated_result(const std::vector<std::uint8_t>& bytes, const std::wstring& path) {
    ElevatedReportResult result;
    std::wstring backup_path;
    std::vector<RepairBlock> blocks;
    bool has_section7 = false;
    bool in_section7 = false;
    StatusLine section7_last;
    // The last complete summary: its title, counts line and verdict line.
    std::wstring summary_title, summary_counts, summary_verdict;
    std::wstring reading_title, reading_counts;
    int summary_state = 0;  // 1: its counts line comes next, 2: its verdict line

    for (const std::wstring& line : report_lines(bytes)) {
        const std::wstring title = header_title(line);
        if (!title.empty()) {
            in_section7 = title == kSection7Title;
            has_section7 = has_section7 || in_section7;
            summary_state = starts_with(title, L"Summary") ? 1 : 0;
            reading_title = title;
            continue;
        }
        const StatusLine status = status_of(line);
        if (status.kind == 0) continue;
        if (summary_state == 1) {
            reading_counts = status.text;
            summary_state = 2;
            continue;
        }
        if (summary_state == 2) {
            summary_title = reading_title;
            summary_counts = reading_counts;
            summary_verdict = status.text;
            summary_state = 0;
            continue;
        }
        if (!in_section7) continue;
        // The restore hint closes the section after every candidate's steps.
        if (status.kind == 'I' && starts_with(status.text, kRestoreHintPrefix)) {
            const std::wstring quoted = status.text.substr(std::wstring(kRestoreHintPrefix).size());
            if (quoted.size() >= 2 && quoted.front() == L'"' && quoted.back() == L'"') {
                backup_path = quoted.substr(1, quoted.size() - 2);
            }
            continue;
        }
        section7_last = status;
        const std::wstring repairing = L"Repairing ";
        if (status.kind == 'I' && starts_with(status.text, repairing)) {
            RepairBlock block;
            const std::wstring::size_type end = status.text.find(L" (previous GUID(s): ");
            block.instance_id = status.text.substr(repairing.size(), end == std::wstring::npos
                                                                          ? std::wstring::npos
                                                                          : end - repairing.size());
            blocks.push_back(std::move(block));
            continue;
        }
        if (blocks.empty()) continue;
        RepairBlock& block = blocks.back();
        if (status.kind == 'I' && starts_with(status.text, L"Step ")) {
            const std::wstring::size_type end = status.text.find_first_of(L" :", 5);
            block.step = status.text.substr(5, end == std::wstring::npos ? std::wstring::npos : end - 5);
        }
        block.last = status;
    }
    if (summary_title.empty()) return result;

    std::vector<std::wstring>& lines = result.lines;
    for (const RepairBlock& block : blocks) {
        const std::wstring at_step = block.step.empty() ? std::wstring() : L" at step " + block.step;
        if (block.last.kind == 'O') {
            lines.push_back(L"Elevated instance: the repair of " + block.instance_id + L" worked" + at_step + L".");
        } else {
            lines.push_back(L"Elevated instance: the repair of " + block.instance_id + L" ended" + at_step + L": " +
                            finding(block.last.text));
        }
    }
    if (blocks.empty()) {
        if (!has_section7) {
            lines.push_back(L"Elevated instance: no repairable problem was found.");
        } else if (section7_last.kind != 0) {
            lines.push_back(L"Elevated instance: no repair was made: " + finding(section7_last.text));
        } else {
            lines.push_back(L"Elevated instance: no repair was made.");
        }
    }
    lines.push_back(L"Elevated instance, " + summary_title + L": " + summary_counts + L" " + summary_verdict);
    lines.push_back(L"Elevated instance's report: " + path);
    result.repaired = summary_title == L"Summary after repair";
    result.backup_path = std::move(backup_path);
    return result;
}

ElevatedRelaunch relaunch_elevated_instance(const RelaunchRequest& request) {
    ElevatedRelaunch run;
    // The names are reserved now (created empty), not just found free: the
    // elevated instance starts later, and another run could take a name
    // that was only free.
    const ReservedReportName name = path_is_absolute(request.base_report_path)
                                        ? reserve_report_name(request.base_report_path, request.opened_report_path,
                                                              request.json)
                                        : ReservedReportName{};
    run.report_path = name.path;
    const std::wstring parameters =
        relaunch_parameters(run.report_path, request.nopause, request.json, request.expected_guid);
    // A path cut to the buffer names no program: nothing is started, and
    // the names go back.
    std::wstring executable;
    if (platform::get_module_file_name(260, executable) != 0) {
        release_report_name(name);
        return run;
    }
    platform::ProcessHandle process;
    if (platform::shell_execute_ex(L"runas", executable, parameters, win::SW_SHOWNORMAL_, process) != 0 ||
        !process.valid()) {
        release_report_name(name);
        return run;
    }
    run.started = true;
    // A wait that fails leaves the instance running: its exit code would be
    // STILL_ACTIVE, not a result, and its report may still grow.
    if (platform::wait_for_single_object(process, win::INFINITE_) != win::WAIT_OBJECT_0_) return run;
    run.ended = true;
    // Every value is an exit code, 0xFFFFFFFF too: only the call's own
    // result says whether there is one.
    std::uint32_t code = 0xFFFFFFFFu;
    run.exit_code_known = platform::get_exit_code_process(process, code) == 0;
    if (run.exit_code_known) run.exit_code = code;
    process.reset();

    // Without a free name beside this report the elevated instance wrote
    // under its usual name, which this instance cannot know.
    if (run.report_path.empty()) {
        run.report = ElevatedReportState::NoName;
        return run;
    }
    std::vector<std::uint8_t> bytes;
    run.report_error = platform::report_file_read(run.report_path, kElevatedReportMaxBytes, bytes);
    if (run.report_error == 0 && bytes.empty() && name.reserved && release_if_empty(name.path)) {
        // It wrote nothing here (it ended first, or its report went beside
        // the backups): the reserved names go back, and the report is what
        // it is, missing.
        if (name.json_reserved) release_if_empty(json_partner_path(name.path));
        run.report_error = win::ERROR_FILE_NOT_FOUND_;
    }
    if (run.report_error != 0) {
        run.report = ElevatedReportState::ReadError;
        return run;
    }
    run.result = read_elevated_result(bytes, run.report_path);
    run.report = run.result.lines.empty() ? ElevatedReportState::Incomplete : ElevatedReportState::Read;
    return run;
}

}  // namespace vq4
