// GetPrivateProfileStringW for the simulated machine's INI files: section and
// key names compared without regard to ASCII letter case, blanks trimmed
// around the key and the value, one pair of matching outer quotes removed,
// CR, LF and CR LF line ends, the value cut to fit the buffer.
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

std::wstring trimmed(const std::wstring& text) {
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return {};
    const auto last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
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
    bool in_section = false;
    bool section_seen = false;
    for (const std::wstring& raw : lines_of(text)) {
        const std::wstring line = trimmed(raw);
        if (!line.empty() && line.front() == L'[') {
            const auto close = line.find(L']');
            const std::wstring name = trimmed(line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
            // Only the first section of a name is read.
            in_section = !section_seen && equals_nocase(name, section);
            section_seen = section_seen || in_section;
            continue;
        }
        if (!in_section) continue;
        const auto equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        if (!equals_nocase(trimmed(line.substr(0, equals)), key)) continue;
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
    if (capacity == 0) {
        result.clear();
    } else if (result.size() > capacity - 1) {
        result.resize(capacity - 1);
    }
    sim::record_result(static_cast<std::int64_t>(result.size()));
    return result;
}

}  // namespace vq4::platform
