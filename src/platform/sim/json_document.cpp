#include "platform/sim/json_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "util/text.h"

namespace vq4::sim {

namespace {

struct Failure {
    std::size_t at;  // 0-based
    std::string message;
};

// An open array or object: its value, and where its entries start on the
// pending stacks (entries move to the document when it closes, so that each
// container's entries lie side by side).
struct OpenContainer {
    std::uint32_t value;
    std::size_t pending_first;
};

struct Reader {
    std::string_view text;
    std::size_t at = 0;
    JsonDocument& doc;
    std::vector<OpenContainer> open;
    std::vector<std::uint32_t> pending_elements;
    std::vector<JsonMember> pending_members;

    [[noreturn]] static void fail(std::size_t where, std::string message) { throw Failure{where, std::move(message)}; }

    bool at_end() const { return at >= text.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text[at]); }

    void skip_whitespace() {
        while (at < text.size()) {
            const char c = text[at];
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
            ++at;
        }
    }

    void expect_more(const char* message) const {
        if (at_end()) fail(at, message);
    }

    // The next value, filed as an entry of the open container (if any).
    std::uint32_t new_value(JsonKind kind) {
        if (doc.values.size() >= kNoJsonParent) fail(at, "too many values");
        const auto index = static_cast<std::uint32_t>(doc.values.size());
        JsonValue value;
        value.kind = kind;
        if (!open.empty()) {
            const OpenContainer& container = open.back();
            value.parent = container.value;
            if (doc.values[container.value].kind == JsonKind::Array) {
                value.place = static_cast<std::uint32_t>(pending_elements.size() - container.pending_first);
                pending_elements.push_back(index);
            } else {
                pending_members.back().value = index;  // its place is set when the object closes
            }
        }
        doc.values.push_back(value);
        return index;
    }

    // Four hexadecimal digits of a \u escape.
    std::uint32_t hex4(std::size_t escape_at) {
        if (text.size() - at < 4) fail(escape_at, "a \\u escape needs four hexadecimal digits");
        std::uint32_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_digit_value(text[at++]);
            if (digit < 0) fail(escape_at, "a \\u escape needs four hexadecimal digits");
            unit = (unit << 4) | static_cast<std::uint32_t>(digit);
        }
        return unit;
    }

    // The length of the well-formed UTF-8 sequence at `at` (RFC 3629: no
    // overlong forms, no surrogates, nothing above U+10FFFF); 0 if none.
    std::size_t utf8_sequence_length() const {
        const auto byte = [&](std::size_t i) -> unsigned {
            return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0x100u;
        };
        const auto in = [](unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; };
        const unsigned b0 = byte(0);
        if (in(b0, 0xC2, 0xDF)) return in(byte(1), 0x80, 0xBF) ? 2 : 0;
        if (in(b0, 0xE0, 0xEF)) {
            const unsigned low = b0 == 0xE0 ? 0xA0 : 0x80;
            const unsigned high = b0 == 0xED ? 0x9F : 0xBF;
            return in(byte(1), low, high) && in(byte(2), 0x80, 0xBF) ? 3 : 0;
        }
        if (in(b0, 0xF0, 0xF4)) {
            const unsigned low = b0 == 0xF0 ? 0x90 : 0x80;
            const unsigned high = b0 == 0xF4 ? 0x8F : 0xBF;
            return in(byte(1), low, high) && in(byte(2), 0x80, 0xBF) && in(byte(3), 0x80, 0xBF) ? 4 : 0;
        }
        return 0;
    }

    // A string whose opening quote is at `at`: decoded onto doc.strings.
    std::pair<std::uint32_t, std::uint32_t> read_string() {
        const std::size_t first = doc.strings.size();
        ++at;
        for (;;) {
            // Runs of plain characters are copied in one piece.
            const std::size_t run = at;
            while (at < text.size()) {
                const auto c = static_cast<unsigned char>(text[at]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
                ++at;
            }
            doc.strings.append(text.data() + run, at - run);
            if (at_end()) fail(at, "a string is not closed");
            const auto c = peek();
            if (c == '"') {
                ++at;
                break;
            }
            if (c < 0x20) fail(at, "a control character in a string must be escaped");
            if (c >= 0x80) {
                const std::size_t length = utf8_sequence_length();
                if (length == 0) fail(at, "a string is not well-formed UTF-8");
                doc.strings.append(text.data() + at, length);
                at += length;
                continue;
            }
            const std::size_t escape_at = at;
            ++at;
            expect_more("a string is not closed");
            const char e = text[at++];
            switch (e) {
                case '"': doc.strings += '"'; break;
                case '\\': doc.strings += '\\'; break;
                case '/': doc.strings += '/'; break;
                case 'b': doc.strings += '\b'; break;
                case 'f': doc.strings += '\f'; break;
                case 'n': doc.strings += '\n'; break;
                case 'r': doc.strings += '\r'; break;
                case 't': doc.strings += '\t'; break;
                case 'u': {
                    std::uint32_t cp = hex4(escape_at);
                    if (cp >= 0xDC00 && cp <= 0xDFFF)
                        fail(escape_at, "a \\u escape has a low surrogate without a high one");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (text.substr(at, 2) != "\\u")
                            fail(escape_at, "a \\u escape has a high surrogate without a low one");
                        const std::size_t low_at = at;
                        at += 2;
                        const std::uint32_t low = hex4(low_at);
                        if (low < 0xDC00 || low > 0xDFFF)
                            fail(low_at, "a \\u escape has a high surrogate without a low one");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(doc.strings, cp);
                    break;
                }
                default: fail(escape_at, "an unknown escape in a string");
            }
        }
        const std::size_t size = doc.strings.size() - first;
        if (doc.strings.size() >= kNoJsonParent) fail(at, "the strings are too long");
        return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(size)};
    }

    void read_number(JsonValue& value) {
        const std::size_t start = at;
        const auto digit = [&] { return !at_end() && peek() >= '0' && peek() <= '9'; };
        const bool negative = text[at] == '-';
        if (negative) ++at;
        if (!digit()) fail(start, "a number is not well-formed");
        if (peek() == '0') {
            ++at;
        } else {
            while (digit()) ++at;
        }
        bool whole = true;
        if (!at_end() && peek() == '.') {
            whole = false;
            ++at;
            if (!digit()) fail(start, "a number is not well-formed");
            while (digit()) ++at;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            whole = false;
            ++at;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++at;
            if (!digit()) fail(start, "a number is not well-formed");
            while (digit()) ++at;
        }
        const char* begin = text.data() + start;
        const char* end = text.data() + at;
        if (whole) {
            std::uint64_t magnitude = 0;
            const auto [last, problem] = std::from_chars(begin + (negative ? 1 : 0), end, magnitude);
            if (problem == std::errc() && last == end) {
                if (!negative) {
                    value.kind = JsonKind::Unsigned;
                    value.number_bits = magnitude;
                    return;
                }
                if (magnitude <= 0x8000000000000000ull) {
                    value.kind = JsonKind::Signed;
                    value.number_bits = 0 - magnitude;  // two's complement of the magnitude
                    return;
                }
            }
            // Beyond 64 bits: a double, as for any other number.
        }
        double real = 0;
        const auto [last, problem] = std::from_chars(begin, end, real);
        if (problem == std::errc::result_out_of_range) {
            // Too small for a double reads as 0 (or a subnormal), as strtod
            // gives it; too large has no double at all.
            real = std::strtod(std::string(begin, end).c_str(), nullptr);
        } else if (problem != std::errc() || last != end) {
            fail(start, "a number is not well-formed");
        }
        if (!std::isfinite(real)) {
            // Named, cut short: the digits of a hostile file may run on for megabytes.
            const std::string_view number = text.substr(start, std::min<std::size_t>(at - start, 40));
            fail(start, "a number is too large: " + std::string(number) + (at - start > 40 ? "..." : ""));
        }
        value.kind = JsonKind::Float;
        value.number_bits = std::bit_cast<std::uint64_t>(real);
    }

    void read_literal(std::string_view word, std::size_t start) {
        if (text.substr(at, word.size()) != word) fail(start, "expected a value (an unknown word)");
        at += word.size();
    }

    // Reads a scalar whole, or opens an array or object; true when the value
    // is complete.
    bool begin_value() {
        skip_whitespace();
        expect_more("unexpected end of the text: a value is missing");
        const std::size_t start = at;
        const char c = text[at];
        switch (c) {
            case '{':
            case '[': {
                const std::uint32_t index = new_value(c == '{' ? JsonKind::Object : JsonKind::Array);
                ++at;
                open.push_back({index, c == '{' ? pending_members.size() : pending_elements.size()});
                return false;
            }
            case '"': {
                const std::uint32_t index = new_value(JsonKind::String);
                const auto [first, size] = read_string();
                doc.values[index].first = first;
                doc.values[index].count = size;
                return true;
            }
            case 't':
            case 'f': {
                const std::uint32_t index = new_value(JsonKind::Boolean);
                read_literal(c == 't' ? "true" : "false", start);
                doc.values[index].boolean = c == 't';
                return true;
            }
            case 'n':
                new_value(JsonKind::Null);
                read_literal("null", start);
                return true;
            default:
                if (c == '-' || (c >= '0' && c <= '9')) {
                    const std::uint32_t index = new_value(JsonKind::Null);  // its kind comes with its digits
                    read_number(doc.values[index]);
                    return true;
                }
                fail(start, "expected a value");
        }
    }

    // A member's name and its colon, ahead of its value.
    void begin_member() {
        skip_whitespace();
        expect_more("unexpected end of the text: an object is not closed");
        if (peek() != '"') fail(at, "expected a member name in double quotes");
        const auto [first, size] = read_string();
        skip_whitespace();
        expect_more("unexpected end of the text: an object is not closed");
        if (peek() != ':') fail(at, "expected ':' after a member name");
        ++at;
        pending_members.push_back({first, size, 0});
    }

    // Moves the open container's entries to the document.
    void close_container() {
        const OpenContainer container = open.back();
        open.pop_back();
        JsonValue& value = doc.values[container.value];
        if (value.kind == JsonKind::Array) {
            value.first = static_cast<std::uint32_t>(doc.elements.size());
            value.count = static_cast<std::uint32_t>(pending_elements.size() - container.pending_first);
            doc.elements.insert(doc.elements.end(),
                                pending_elements.begin() + static_cast<std::ptrdiff_t>(container.pending_first),
                                pending_elements.end());
            pending_elements.resize(container.pending_first);
            return;
        }
        const auto first = pending_members.begin() + static_cast<std::ptrdiff_t>(container.pending_first);
        const auto by_name = [&](const JsonMember& a, const JsonMember& b) { return doc.name(a) < doc.name(b); };
        if (pending_members.end() - first <= 16) {
            // The usual object, a handful of members: sorted in place, where
            // stable_sort would allocate a buffer for each.
            for (auto it = first; it != pending_members.end(); ++it) {
                for (auto place = it; place != first && by_name(*place, *(place - 1)); --place) {
                    std::iter_swap(place, place - 1);
                }
            }
        } else {
            std::stable_sort(first, pending_members.end(), by_name);
        }
        value.first = static_cast<std::uint32_t>(doc.members.size());
        for (auto it = first; it != pending_members.end(); ++it) {
            // Of equal names the last one read stays (stable sort: it is last).
            if (it + 1 != pending_members.end() && doc.name(*it) == doc.name(*(it + 1))) continue;
            doc.values[it->value].place = static_cast<std::uint32_t>(doc.members.size());
            doc.members.push_back(*it);
        }
        value.count = static_cast<std::uint32_t>(doc.members.size() - value.first);
        pending_members.resize(container.pending_first);
    }

    void read_document() {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
        bool complete = begin_value();
        for (;;) {
            if (!complete) {
                // A container just opened: empty, or its first entry.
                skip_whitespace();
                const bool is_object = doc.values[open.back().value].kind == JsonKind::Object;
                expect_more(is_object ? "unexpected end of the text: an object is not closed"
                                      : "unexpected end of the text: an array is not closed");
                if (peek() == (is_object ? '}' : ']')) {
                    ++at;
                    close_container();
                    complete = true;
                    continue;
                }
                if (is_object) begin_member();
                complete = begin_value();
                continue;
            }
            if (open.empty()) break;
            // After an entry: a comma and the next one, or the end of the container.
            skip_whitespace();
            const bool is_object = doc.values[open.back().value].kind == JsonKind::Object;
            expect_more(is_object ? "unexpected end of the text: an object is not closed"
                                  : "unexpected end of the text: an array is not closed");
            const char c = text[at];
            if (c == ',') {
                ++at;
                if (is_object) begin_member();
                complete = begin_value();
            } else if (c == (is_object ? '}' : ']')) {
                ++at;
                close_container();
            } else {
                fail(at, is_object ? "expected ',' or '}'" : "expected ',' or ']'");
            }
        }
        skip_whitespace();
        if (!at_end()) fail(at, "unexpected text after the JSON value");
    }
};

}  // namespace

bool parse_json(std::string_view text, JsonDocument& out, JsonSyntaxError& error) {
    out = JsonDocument{};
    // A rough guess from the size of machine files: fewer regrowths.
    out.values.reserve(text.size() / 16 + 1);
    out.strings.reserve(text.size() / 2 + 1);
    Reader reader{text, 0, out, {}, {}, {}};
    try {
        reader.read_document();
    } catch (const Failure& failure) {
        out = JsonDocument{};
        error.byte = failure.at + 1;
        error.message = failure.message;
        return false;
    }
    return true;
}

}  // namespace vq4::sim
