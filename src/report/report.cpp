#include "report/report.h"

#include "platform/system.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4 {

namespace {

// The counts of the CountedLines in force, owned by whoever made it.
ReportCounts* counted_into = nullptr;
// The log of the RecordedLines in force, owned by whoever made it.
ReportLog* recorded_into = nullptr;

// The process-wide report file. Once a write fails the file is considered
// failed and silently receives nothing more, like a stream in its bad state.
struct ReportFileState {
    platform::ReportFile file;
    std::wstring path;
    bool failed = false;
    std::uint32_t write_error = 0;
};

ReportFileState& report_state() {
    static ReportFileState state;
    return state;
}

struct KindStyle {
    const wchar_t* tag;
    std::uint16_t attribute;
    std::int32_t ReportCounts::*counter;
};

KindStyle style_of(StatusKind kind) {
    switch (kind) {
        case StatusKind::Ok:
            return {L"[  OK  ]", 10, &ReportCounts::ok};
        case StatusKind::Warn:
            return {L"[ WARN ]", 14, &ReportCounts::warn};
        case StatusKind::Fail:
            return {L"[ FAIL ]", 12, &ReportCounts::fail};
        default:
            return {L"[ INFO ]", 11, nullptr};
    }
}

void write_report(const std::wstring& text) {
    ReportFileState& state = report_state();
    if (!state.file.valid() || state.failed) {
        return;
    }
    const std::uint32_t error = platform::report_file_write(state.file, report_file_bytes(text));
    if (error != 0) {
        state.failed = true;
        state.write_error = error;
    }
}

const std::wstring kDetailIndent = L"         ";

bool is_control(std::uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

const wchar_t* short_tag(StatusKind kind) {
    switch (kind) {
        case StatusKind::Ok:
            return L"OK";
        case StatusKind::Warn:
            return L"WARN";
        case StatusKind::Fail:
            return L"FAIL";
        default:
            return L"INFO";
    }
}

void record_status(StatusKind kind, const std::wstring& raw_text) {
    if (recorded_into == nullptr) return;
    recorded_into->lines.push_back({recorded_into->section, short_tag(kind), recorded_text(raw_text), {}});
    recorded_into->status_in_section = true;
}

void record_detail(const std::wstring& raw_text) {
    if (recorded_into == nullptr) return;
    std::vector<ReportLine>& lines = recorded_into->lines;
    if (!recorded_into->status_in_section) {
        lines.push_back({recorded_into->section, L"", L"", {}});
        recorded_into->status_in_section = true;
    }
    lines.back().details.push_back(recorded_text(raw_text));
}

}  // namespace

CountedLines::CountedLines(ReportCounts& counts) : previous(counted_into) { counted_into = &counts; }

CountedLines::~CountedLines() { counted_into = previous; }

RecordedLines::RecordedLines(ReportLog& log) : previous(recorded_into) { recorded_into = &log; }

RecordedLines::~RecordedLines() { recorded_into = previous; }

std::wstring recorded_text(const std::wstring& text) {
    std::wstring kept = text;
    for (wchar_t& c : kept) {
        if (is_control(static_cast<std::uint32_t>(c) & 0xFFFF)) c = L'?';
    }
    return kept;
}

std::wstring printable_text(const std::wstring& text) {
    std::wstring shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]) & 0xFFFF;
        if (is_control(c)) {
            shown.push_back(L'?');
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                   (static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF) >= 0xDC00 &&
                   (static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF) <= 0xDFFF) {
            shown.push_back(L'?');  // one character, one replacement
            ++i;
        } else {
            shown.push_back(text[i]);
        }
    }
    return shown;
}

std::vector<std::uint8_t> report_file_bytes(const std::wstring& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() + 8);
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (c == L'\n') {
            bytes.push_back(0x0D);
            bytes.push_back(0x0A);
        } else if (code <= 0xFF) {
            bytes.push_back(static_cast<std::uint8_t>(code));
        } else {
            bytes.push_back(static_cast<std::uint8_t>('?'));
        }
    }
    return bytes;
}

void write_console(const std::wstring& text) {
    const std::wstring line_end = platform::console_line_end();
    std::wstring shown;
    shown.reserve(text.size() + 8);
    for (const wchar_t c : text) {
        if (c == L'\n') {
            shown += line_end;
        } else {
            shown.push_back(static_cast<std::uint32_t>(c) <= 0xFF ? c : L'?');
        }
    }
    platform::console_write(shown);
}

void print_status(StatusKind kind, const std::wstring& raw_text) {
    const std::wstring text = printable_text(raw_text);
    const KindStyle style = style_of(kind);
    if (style.counter != nullptr && counted_into != nullptr) {
        ++(counted_into->*style.counter);
    }
    platform::console_set_attribute(style.attribute);
    write_console(style.tag);
    platform::console_set_attribute(kAttrNormal);
    write_console(L" " + text + L"\n");
    write_report(std::wstring(style.tag) + L" " + text + L"\n");
    record_status(kind, raw_text);
}

void print_section(const std::wstring& title) {
    const std::wstring shown = printable_text(title);
    const std::wstring header = L"\n==== " + shown + L" ====\n";
    platform::mark_section(shown);
    platform::console_set_attribute(kAttrHeader);
    write_console(header);
    platform::console_set_attribute(kAttrNormal);
    write_report(header);
    if (recorded_into != nullptr) {
        recorded_into->section = recorded_text(title);
        recorded_into->status_in_section = false;
    }
}

void print_detail(const std::wstring& text) {
    const std::wstring line = kDetailIndent + printable_text(text) + L"\n";
    write_console(line);
    write_report(line);
    record_detail(text);
}

void write_report_text(const std::wstring& text) { write_report(text); }

std::wstring numbered_file_name(const std::wstring& stem, int attempt, const std::wstring& extension) {
    return attempt == 1 ? stem + extension : stem + L"_" + std::to_wstring(attempt) + extension;
}

std::wstring open_report_file(const std::wstring& path) { return open_report_file_with_code(path).path; }

namespace {

bool is_exists_error(std::uint32_t error) {
    return error == win::ERROR_FILE_EXISTS_ || error == win::ERROR_ALREADY_EXISTS_;
}

enum class Partner {
    Reserved,  // created empty for this run
    Free,      // not there (or not told otherwise)
    Taken,     // a file of that name is there
};

// Whether the JSON partner of `report` can be this run's: created now with
// `reserve`, otherwise looked for. An error other than "exists" does not
// block the report: the JSON's own writing then reports it.
Partner claim_json_partner(const std::wstring& report, bool reserve) {
    const std::wstring json = json_partner_path(report);
    if (reserve) {
        const std::uint32_t error = platform::report_file_reserve(json);
        if (error == 0) return Partner::Reserved;
        return is_exists_error(error) ? Partner::Taken : Partner::Free;
    }
    return platform::report_file_attributes(json) == 0 ? Partner::Taken : Partner::Free;
}

}  // namespace

std::wstring json_partner_path(const std::wstring& report_path) {
    const std::wstring::size_type dot = report_path.rfind(L".txt");
    if (dot != std::wstring::npos && dot + 4 == report_path.size()) return report_path.substr(0, dot) + L".json";
    return report_path + L".json";
}

ReportFileOpening open_report_file_with_code(const std::wstring& path, bool reserve_json) {
    close_report_file();
    ReportFileState& state = report_state();
    std::uint32_t error = 0;
    // Two runs started in the same second (a fast, auto-approved elevation
    // relaunch does exactly that) compute the same name; the later one must
    // not truncate the earlier one's report while it is still being written.
    const std::wstring::size_type dot = path.rfind(L".txt");
    const bool has_txt_suffix = dot != std::wstring::npos && dot + 4 == path.size();
    for (int attempt = 1; attempt <= 99; ++attempt) {
        if (attempt > 1 && !has_txt_suffix) break;
        const std::wstring candidate = attempt == 1 ? path : numbered_file_name(path.substr(0, dot), attempt, L".txt");
        error = platform::report_file_create_new(candidate, state.file);
        if (error == 0) {
            const Partner partner = claim_json_partner(candidate, reserve_json);
            if (partner == Partner::Taken) {
                // A JSON of this name is another run's: the pair moves on.
                state.file.reset();
                platform::report_file_delete(candidate);
                error = win::ERROR_FILE_EXISTS_;
                continue;
            }
            state.failed = false;
            state.write_error = 0;
            state.path = candidate;
            return {candidate, 0, partner == Partner::Reserved};
        }
        if (!is_exists_error(error)) break;
    }
    return {std::wstring(), error, false};
}

ReportFileOpening open_handed_report_file(const std::wstring& path, bool json) {
    close_report_file();
    ReportFileState& state = report_state();
    std::uint32_t error = platform::report_file_open_reserved(path, state.file);
    bool json_reserved = json;
    if (error == win::ERROR_FILE_NOT_FOUND_) {
        // Not reserved: the first instance could not create files here.
        error = platform::report_file_create_new(path, state.file);
        json_reserved = false;
    }
    if (error != 0) return {std::wstring(), error, false};
    state.failed = false;
    state.write_error = 0;
    state.path = path;
    return {path, 0, json_reserved};
}

ReservedReportName reserve_report_name(const std::wstring& base_report_path, const std::wstring& own_report_path,
                                       bool reserve_json) {
    const std::wstring::size_type dot = base_report_path.size() >= 4 ? base_report_path.size() - 4 : 0;
    if (base_report_path.size() < 4 || !equals_nocase(base_report_path.substr(dot), L".txt")) return {};
    for (int attempt = 1; attempt <= 99; ++attempt) {
        const std::wstring candidate =
            attempt == 1 ? base_report_path : numbered_file_name(base_report_path.substr(0, dot), attempt, L".txt");
        if (equals_nocase(candidate, own_report_path)) continue;
        const std::uint32_t error = platform::report_file_reserve(candidate);
        if (error == 0) {
            const Partner partner = claim_json_partner(candidate, reserve_json);
            if (partner != Partner::Taken) return {candidate, true, partner == Partner::Reserved};
            platform::report_file_delete(candidate);
            continue;
        }
        if (is_exists_error(error)) continue;
        if (error != win::ERROR_ACCESS_DENIED_) return {};
        // Only a name that is certainly free, with its partner: an answer
        // such as "access denied" may hide an existing file.
        if (platform::report_file_attributes(candidate) == win::ERROR_FILE_NOT_FOUND_ &&
            platform::report_file_attributes(json_partner_path(candidate)) == win::ERROR_FILE_NOT_FOUND_) {
            return {candidate, false, false};
        }
    }
    return {};
}

bool release_if_empty(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    if (platform::report_file_read(path, 1, bytes) != 0 || !bytes.empty()) return false;
    return platform::report_file_delete(path) == 0;
}

void release_report_name(const ReservedReportName& name) {
    if (name.json_reserved) platform::report_file_delete(json_partner_path(name.path));
    if (name.reserved) platform::report_file_delete(name.path);
}

void close_report_file() {
    ReportFileState& state = report_state();
    state.file.reset();
    state.path.clear();
    state.failed = false;
    state.write_error = 0;
}

bool report_file_is_open() { return report_state().file.valid(); }

std::uint32_t report_file_write_error() { return report_state().write_error; }
std::wstring report_file_path() { return report_state().file.valid() ? report_state().path : std::wstring(); }

}  // namespace vq4
