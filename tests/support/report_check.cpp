#include "support/report_check.h"

#include <cstdio>

namespace vq4::test {

namespace {

const std::string kRule = "==============================================================";
const std::string kBannerTitle = " Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)";

const char* const kFailVerdict =
    "Problems were detected (see [FAIL] above). Re-read the detail section by section to identify the cause.";
const char* const kWarnVerdict = "Functional, but with a few points worth checking (see [WARN] above).";
const char* const kOkVerdict = "Everything appears to be working correctly.";

bool starts_with(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

std::string shown(const std::string& line) { return line.size() > 120 ? line.substr(0, 120) + "..." : line; }

}  // namespace

ReportCheck check_report(const std::string& bytes) {
    ReportCheck r;
    const auto problem = [&r](const std::string& text) {
        if (r.problems.size() < 10) r.problems.push_back(text);
    };

    // Line ends and bytes.
    std::string current;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\r') {
            if (i + 1 >= bytes.size() || bytes[i + 1] != '\n') {
                problem("a CR without LF at byte " + std::to_string(i));
                continue;
            }
            r.lines.push_back(current);
            current.clear();
            ++i;
        } else if (b == '\n') {
            problem("an LF without CR at byte " + std::to_string(i));
            r.lines.push_back(current);
            current.clear();
        } else {
            if (b < 0x20 || (b >= 0x7F && b <= 0x9F)) {
                char text[64];
                std::snprintf(text, sizeof text, "control byte 0x%02X at byte %zu", b, i);
                problem(text);
            }
            current.push_back(static_cast<char>(b));
        }
    }
    if (!current.empty()) problem("the last line has no CR LF: " + shown(current));

    // Banner: the file's first bytes (a byte-order mark would come first).
    if (r.lines.size() < 3 || r.lines[0] != kRule || r.lines[1] != kBannerTitle || r.lines[2] != kRule) {
        problem("the report does not start with the banner");
        return r;
    }

    bool expect_counts = false;
    bool expect_verdict = false;
    for (std::size_t i = 3; i < r.lines.size(); ++i) {
        const std::string& line = r.lines[i];
        if (line.empty()) {
            if (i + 1 >= r.lines.size() || !starts_with(r.lines[i + 1], "==== ")) {
                problem("an empty line not followed by a section header, line " + std::to_string(i + 1));
            }
            continue;
        }
        if (starts_with(line, "==== ")) {
            if (line.size() < 10 || line.compare(line.size() - 5, 5, " ====") != 0) {
                problem("malformed header: " + shown(line));
            }
            if (!r.lines[i - 1].empty()) problem("a header without the empty line before it: " + shown(line));
            if (expect_counts || expect_verdict) problem("a summary without its counts or verdict line");
            const std::string title = line.substr(5, line.size() >= 10 ? line.size() - 10 : 0);
            if (title == "8. Verification after repair") {
                // The driver resets the counters right after this header's Info line.
                r.ok = r.warn = r.fail = 0;
            }
            if (starts_with(title, "Summary")) {
                ++r.summaries;
                expect_counts = true;
            }
            continue;
        }
        if (starts_with(line, "         ")) {
            if (expect_counts || expect_verdict) problem("a detail line inside a summary: " + shown(line));
            continue;
        }
        const std::string tag = line.substr(0, 9);
        const std::string text = line.size() > 9 ? line.substr(9) : std::string();
        if (tag != "[  OK  ] " && tag != "[ WARN ] " && tag != "[ FAIL ] " && tag != "[ INFO ] ") {
            problem("a line that is neither header, status nor detail: " + shown(line));
            continue;
        }
        if (expect_counts) {
            const std::string counts = std::to_string(r.ok) + " test(s) OK, " + std::to_string(r.warn) +
                                       " warning(s), " + std::to_string(r.fail) + " failure(s).";
            if (tag != "[ INFO ] " || text != counts) {
                problem("summary counts line \"" + shown(line) + "\" where the lines above give \"" + counts + "\"");
            }
            expect_counts = false;
            expect_verdict = true;
            continue;
        }
        if (expect_verdict) {
            const std::string wanted = r.fail != 0   ? std::string("[ FAIL ] ") + kFailVerdict
                                       : r.warn != 0 ? std::string("[ WARN ] ") + kWarnVerdict
                                                     : std::string("[  OK  ] ") + kOkVerdict;
            if (line != wanted) problem("verdict \"" + shown(line) + "\" where the counts give \"" + wanted + "\"");
            expect_verdict = false;
        }
        if (tag == "[  OK  ] ") ++r.ok;
        if (tag == "[ WARN ] ") ++r.warn;
        if (tag == "[ FAIL ] ") ++r.fail;
    }
    if (expect_counts || expect_verdict) problem("the report ends inside a summary");
    if (r.summaries == 0) problem("no summary");
    return r;
}

bool console_as_report(const std::string& console, std::string& report_bytes, std::string& saved_path,
                       std::string* not_saved_error) {
    const std::string saved = "\nReport saved to:\n  ";
    const std::string not_saved = "\nThe report could not be saved (error code=";
    const auto saved_at = console.rfind(saved);
    const auto not_saved_at = console.rfind(not_saved);
    if (saved_at == std::string::npos && not_saved_at == std::string::npos) return false;
    const bool was_saved = not_saved_at == std::string::npos || (saved_at != std::string::npos && saved_at > not_saved_at);
    const auto at = was_saved ? saved_at : not_saved_at;
    auto start = at + (was_saved ? saved.size() : not_saved.size());
    const auto end = console.find('\n', start);
    if (end == std::string::npos) return false;
    std::string error;
    if (!was_saved) {
        const auto close = console.find("): ", start);
        if (close == std::string::npos || close > end) return false;
        error = console.substr(start, close - start);
        start = close + 3;
    }
    saved_path = console.substr(start, end - start);
    if (not_saved_error != nullptr) *not_saved_error = error;

    report_bytes.clear();
    for (std::size_t i = 0; i < at; ++i) {
        const auto b = static_cast<unsigned char>(console[i]);
        if (b == '\n') {
            report_bytes += "\r\n";
        } else if (b < 0x80) {
            report_bytes.push_back(static_cast<char>(b));
        } else if ((b == 0xC2 || b == 0xC3) && i + 1 < at && (static_cast<unsigned char>(console[i + 1]) & 0xC0) == 0x80) {
            // The console gets characters up to U+00FF only, as UTF-8.
            report_bytes.push_back(static_cast<char>(((b & 0x03) << 6) | (console[i + 1] & 0x3F)));
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace vq4::test
