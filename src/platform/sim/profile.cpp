// GetPrivateProfileStringW for the simulated machine's INI files, parsed the
// way the system's profile reader parses them: lines end at LF, CR LF or a
// lone CR; blanks (space, tab, VT, FF, CR, ^Z) around a line, a section name,
// a key name and a value are dropped; a section header is "[" up to the
// line's last "]"; names are compared without regard to ASCII letter case;
// only the first section of a name is read, and in it the first line of the
// key; a key line without "=" has no value (the default applies); one pair of
// matching outer quotes (" or ') is removed from the value; the value is cut
// to fit the buffer. tests/support/interface_guid_cases.h holds the cases
// that the Wine test checks against the system's own reader.
#include <algorithm>
#include <optional>

#include "platform/files.h"
#include "platform/sim/machine.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

bool is_blank(wchar_t c) { return c == L' ' || (c >= 0x09 && c <= 0x0D) || c == 0x1A; }

std::wstring trimmed(const std::wstring& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && is_blank(text[first])) ++first;
    while (last > first && is_blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// A file starting with the UTF-16LE byte-order mark is read as UTF-16;
// anything else as single-byte text.
std::wstring decode(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        std::wstring text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
        return text;
    }
    std::wstring text;
    text.reserve(bytes.size());
    for (const std::uint8_t b : bytes) text.push_back(static_cast<wchar_t>(b));
    return text;
}

std::vector<std::wstring> lines_of(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wstring current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(current);
            current.clear();
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            current.push_back(c);
        }
    }
    lines.push_back(current);
    return lines;
}

std::optional<std::wstring> lookup(const std::wstring& text, const std::wstring& section, const std::wstring& key) {
    const std::wstring wanted_section = trimmed(section);
    const std::wstring wanted_key = trimmed(key);
    bool in_section = false;
    bool section_seen = false;
    for (const std::wstring& raw : lines_of(text)) {
        const std::wstring line = trimmed(raw);
        if (line.empty()) continue;
        if (line.front() == L'[') {
            const auto close = line.rfind(L']');
            if (close != std::wstring::npos) {
                // Only the first section of a name is read.
                in_section = !section_seen && equals_nocase(trimmed(line.substr(1, close - 1)), wanted_section);
                section_seen = section_seen || in_section;
                continue;
            }
            // Without a closing bracket the line is an ordinary key line.
        }
        if (!in_section) continue;
        const auto equals = line.find(L'=');
        const std::wstring name = equals == std::wstring::npos ? line : trimmed(line.substr(0, equals));
        if (!equals_nocase(name, wanted_key)) continue;
        if (equals == std::wstring::npos) return std::nullopt;
        std::wstring value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return std::nullopt;
}

}  // namespace

std::wstring get_private_profile_string(const std::wstring& section, const std::wstring& key,
                                        const std::wstring& default_text, std::uint32_t capacity,
                                        const std::wstring& path) {
    const auto injected = sim::enter_call("GetPrivateProfileStringW", sim::narrow(section) + ", " + sim::narrow(key) +
                                                                          ", " + std::to_string(capacity) + ", " +
                                                                          sim::narrow(path));
    std::wstring result = default_text;
    if (!injected) {
        const sim::File* file = sim::machine().find_file(path);
        if (file != nullptr && (file->attributes & 0x10) == 0 && !file->held_exclusively) {
            if (auto value = lookup(decode(file->bytes), section, key)) result = *value;
        }
    }
    // The caller gets a NUL-terminated text: a NUL in the file ends the value.
    result.resize(std::min(result.find(L'\0'), result.size()));
    if (capacity == 0) {
        result.clear();
    } else if (result.size() > capacity - 1) {
        result.resize(capacity - 1);
    }
    sim::record_result(static_cast<std::int64_t>(result.size()));
    return result;
}

}  // namespace vq4::platform
