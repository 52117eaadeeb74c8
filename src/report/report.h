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
    std::wstring path;        // the path actually opened; empty when no file could be opened
    std::uint32_t error = 0;  // 0, or the error code of the last attempt
};

// Opens the report file on `path`. An existing file is never truncated: the
// report then goes to path with "_2", "_3", ... before ".txt". When no file
// could be opened the report goes to the console only.
ReportFileOpening open_report_file_with_code(const std::wstring& path);
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
