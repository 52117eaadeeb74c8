#include "platform/sim/json_reader.h"

namespace vq4::sim {

std::wstring widen_utf8(std::string_view text) {
    // Never more UTF-16 units than bytes: sized once, cut to what was written.
    std::wstring out(text.size(), L'\0');
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((b0 & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            len = 3;
        } else if ((b0 & 0xF8) == 0xF0 && i + 3 < text.size()) {
            cp = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(text[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 3]) & 0x3Fu);
            len = 4;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[written++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
            out[written++] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[written++] = static_cast<wchar_t>(cp);
        }
    }
    out.resize(written);
    return out;
}

std::string JsonAt::pointer() const {
    // Walked up from this value, then put in order.
    std::vector<std::string> names;
    for (std::uint32_t at = index; document->values[at].parent != kNoJsonParent;) {
        const JsonValue& value = document->values[at];
        const JsonValue& parent = document->values[value.parent];
        names.push_back(parent.kind == JsonKind::Array ? std::to_string(value.place)
                                                       : std::string(document->name(document->members[value.place])));
        at = value.parent;
    }
    std::string pointer;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        pointer += '/';
        pointer += *name;
    }
    return pointer;
}

std::pair<std::size_t, std::size_t> line_and_column(const std::string& text, std::size_t byte_offset) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < byte_offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

}  // namespace vq4::sim
