#include "util/json_writer.h"

#include <charconv>

#include "util/text.h"

namespace vq4 {

namespace {

// Whether an ASCII character goes into a JSON string as it is.
constexpr bool plain(std::uint32_t c) { return c >= 0x20 && c != '"' && c != '\\'; }

// The escape of an ASCII character that is not plain, written at `out`
// (room for 6); returns the end.
char* put_escape(char* out, std::uint32_t c) {
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    switch (c) {
        case '"': *out++ = '"'; break;
        case '\\': *out++ = '\\'; break;
        case '\b': *out++ = 'b'; break;
        case '\f': *out++ = 'f'; break;
        case '\n': *out++ = 'n'; break;
        case '\r': *out++ = 'r'; break;
        case '\t': *out++ = 't'; break;
        default:
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = hex[(c >> 4) & 0xF];
            *out++ = hex[c & 0xF];
            break;
    }
    return out;
}

constexpr std::size_t kLongestEscape = 6;  // \u00xx
static_assert(kLongestEscape >= kMaxUtf8PerWideChar, "one wide character's room holds its UTF-8 too");

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
    out += '"';
    std::size_t run = 0;  // the start of the plain characters not yet appended
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (plain(c)) continue;  // bytes of UTF-8 beyond ASCII are plain too
        out.append(utf8.data() + run, i - run);
        char escape[kLongestEscape];
        out.append(escape, put_escape(escape, c));
        run = i + 1;
    }
    out.append(utf8.data() + run, utf8.size() - run);
    out += '"';
}

void append_json_string(std::string& out, std::wstring_view wide) {
    const wchar_t* const text = wide.data();
    const std::size_t size = wide.size();
    // Room for the longest the text can take, then cut to what it took.
    const std::size_t start = out.size();
    out.resize(start + 2 + size * kLongestEscape);
    char* const begin = out.data() + start;
    char* end = begin;
    *end++ = '"';
    for (std::size_t i = 0; i < size; ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit < 0x80 && plain(unit)) {
            *end++ = static_cast<char>(unit);
        } else if (unit < 0x80) {
            end = put_escape(end, unit);
        } else {
            end = put_utf8(end, code_point_at(text, size, i));
        }
    }
    *end++ = '"';
    out.resize(start + static_cast<std::size_t>(end - begin));
}

JsonWriter::JsonWriter(std::size_t expected_size) { text_.reserve(expected_size); }

void JsonWriter::next_item() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (filled_.empty()) return;  // the document's one value
    text_ += filled_.back() ? ",\n" : "\n";
    filled_.back() = true;
    text_.append(2 * filled_.size(), ' ');
}

void JsonWriter::open(char bracket) {
    next_item();
    text_ += bracket;
    filled_.push_back(false);
}

void JsonWriter::close(char bracket) {
    const bool filled = filled_.back();
    filled_.pop_back();
    if (filled) {
        text_ += '\n';
        text_.append(2 * filled_.size(), ' ');
    }
    text_ += bracket;
}

void JsonWriter::begin_object() { open('{'); }
void JsonWriter::end_object() { close('}'); }
void JsonWriter::begin_array() { open('['); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::key(std::string_view name) {
    next_item();
    append_json_string(text_, name);
    text_ += ": ";
    after_key_ = true;
}

void JsonWriter::key(std::wstring_view name) {
    next_item();
    append_json_string(text_, name);
    text_ += ": ";
    after_key_ = true;
}

void JsonWriter::value(std::string_view text) {
    next_item();
    append_json_string(text_, text);
}

void JsonWriter::value(std::wstring_view text) {
    next_item();
    append_json_string(text_, text);
}

void JsonWriter::value(bool flag) {
    next_item();
    text_ += flag ? "true" : "false";
}

void JsonWriter::value(std::nullptr_t) {
    next_item();
    text_ += "null";
}

void JsonWriter::signed_number(std::int64_t number) {
    next_item();
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void JsonWriter::unsigned_number(std::uint64_t number) {
    next_item();
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

}  // namespace vq4
