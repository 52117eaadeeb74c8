// The report output: tagged status lines, section headers and detail lines,
// teed to the console (coloured tags) and to the report file (Latin-1, CR LF).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vq4 {

enum class StatusKind : int { Ok = 0, Warn = 1, Fail = 2, Info = 3 };

// The Ok, Warn and Fail lines of a run. The run owns its counts; print_status
// adds to the counts of the CountedLines in force (none: nothing is counted).
struct ReportCounts {
    std::int32_t ok = 0;
    std::int32_t warn = 0;
    std::int32_t fail = 0;
};

// While it lives, the lines print_status writes are counted into `counts`;
// the counting in force before it resumes when it ends.
struct CountedLines {
    explicit CountedLines(ReportCounts& counts);
    ~CountedLines();
    CountedLines(const CountedLines&) = delete;
    CountedLines& operator=(const CountedLines&) = delete;

    ReportCounts* previous;
};

// One status line of the report as the run records it: the section header
// in force, the tag ("OK", "WARN", "FAIL", "INFO"), the text and the detail
// lines written after it. Texts keep every character of the line (control
// characters as '?', as written); only the report file maps them to Latin-1.
// A detail line with no status line before it in its section gets an entry
// with an empty tag and text.
struct ReportLine {
    std::wstring section;
    std::wstring tag;
    std::wstring text;
    std::vector<std::wstring> details;
};

struct ReportLog {
    std::wstring section;  // the header in force, empty before the first
    bool status_in_section = false;  // a status line was recorded since that header
    std::vector<ReportLine> lines;
};

// While it lives, the lines the three operations below write are also
// recorded into `log` (for the JSON report); the recording in force before
// it resumes when it ends.
struct RecordedLines {
    explicit RecordedLines(ReportLog& log);
    ~RecordedLines();
    RecordedLines(const RecordedLines&) = delete;
    RecordedLines& operator=(const RecordedLines&) = delete;

    ReportLog* previous;
};

// Texts taken from the system (device descriptions, registry values, file
// names) may hold anything; a line of the report stays one line: control
// characters are written as '?', and so is a character beyond U+FFFF (a
// surrogate pair), once. Other characters beyond U+00FF become '?' where
// they are written (report_file_bytes, the console).
void print_status(StatusKind kind, const std::wstring& text);
void print_section(const std::wstring& title);
void print_detail(const std::wstring& text);

// The text as the three operations above write it.
std::wstring printable_text(const std::wstring& text);

// The text as it is recorded: control characters as '?', every other
// character (a surrogate pair included) kept.
std::wstring recorded_text(const std::wstring& text);

// The name of the `attempt`-th try (from 1) at a file that should be
// `stem` + `extension`, the names before it being taken: that name, then
// "<stem>_2<extension>", "<stem>_3<extension>", ... (the report, the elevated
// instance's report and the capture beside them all follow this rule).
std::wstring numbered_file_name(const std::wstring& stem, int attempt, const std::wstring& extension);

struct ReportFileOpening {
    std::wstring path;           // the path actually opened; empty when no file could be opened
    std::uint32_t error = 0;     // 0, or the error code of the last attempt
    bool json_reserved = false;  // the JSON report's name beside it was reserved (created empty) for this run
};

// The JSON report's name beside a text report: the same base name, ".json".
// The two are numbered as a pair.
std::wstring json_partner_path(const std::wstring& report_path);

// Opens the report file on `path`. An existing file is never truncated: the
// report then goes to path with "_2", "_3", ... before ".txt". A name is
// taken only with its JSON partner: when a file of the partner's name is
// there (a JSON left in the folder), the pair moves on to the next number,
// so that no JSON of another run sits beside this report. With
// `reserve_json` the partner is created empty at once, for this run's JSON
// report (write it with the reserved flag). When no file could be opened
// the report goes to the console only.
ReportFileOpening open_report_file_with_code(const std::wstring& path, bool reserve_json = false);

// The elevated instance's report on the name the first instance handed over:
// the empty file reserved for it (report_file_open_reserved), its JSON
// partner reserved with it when `json`; a name that the first instance
// could not reserve (a folder only administrators may write) is created
// under exactly that name. Anything else there is refused with its code.
ReportFileOpening open_handed_report_file(const std::wstring& path, bool json);

// A report name reserved for another instance of this run (the elevated
// one): the file created empty and closed, with its JSON partner when asked.
struct ReservedReportName {
    std::wstring path;           // empty: no name certainly free
    bool reserved = false;       // the text report's file was created here
    bool json_reserved = false;  // its JSON partner's too
};

// The first name from `base_report_path` on (numbered as the report is)
// other than `own_report_path`, reserved with its JSON partner. Where this
// user cannot create files (ERROR_ACCESS_DENIED: the elevated instance may),
// a name is given unreserved when both files are certainly absent.
ReservedReportName reserve_report_name(const std::wstring& base_report_path, const std::wstring& own_report_path,
                                       bool reserve_json);
// Deletes what reserve_report_name created (a name the run will not use).
void release_report_name(const ReservedReportName& name);
// Deletes a reserved file that is still empty (the instance it was made for
// has ended without writing to it). True when it is gone.
bool release_if_empty(const std::wstring& path);

// The path actually opened, or an empty text.
std::wstring open_report_file(const std::wstring& path);
void close_report_file();
bool report_file_is_open();
// The path open_report_file opened, empty when no report file is open.
std::wstring report_file_path();

// 0 while every write to the open report file has succeeded, else the error
// code of the write that failed (the file then receives nothing more).
std::uint32_t report_file_write_error();

// Writes raw text to the report file only, when it is open (the banner writes
// the console itself, in its own colour).
void write_report_text(const std::wstring& text);

// Writes text to the console as the report shows it there: characters
// beyond U+00FF as '?', each "\n" as the line end standard output takes (CR
// LF where it is a file or a pipe on Windows, as in the report file). Every
// console output of the run goes through here.
void write_console(const std::wstring& text);

// Bytes of a text in the report file: one byte per character up to U+00FF,
// '?' beyond, CR LF for every newline.
std::vector<std::uint8_t> report_file_bytes(const std::wstring& text);

// Console attributes.
constexpr std::uint16_t kAttrNormal = 7;
constexpr std::uint16_t kAttrHeader = 15;

}  // namespace vq4
