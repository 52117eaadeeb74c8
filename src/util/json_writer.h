// A streaming JSON writer for the files this tool writes (the JSON report,
// the machine capture): values go straight into one text, in the layout that
// nlohmann's dump(2) gives, so a reader sees the same files as before and a
// parser (nlohmann, in the loader and the tests) reads them back.
//
// Layout: two spaces of indent per level, `"key": value`, every member and
// element on its own line, `{}` and `[]` for empty containers. Strings escape
// `"` `\` and the control characters (\b \f \n \r \t by name, the others as
// \u00xx), and carry every other character as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vq4 {

class JsonWriter {
public:
    // `expected_size`: what the text is likely to reach, reserved up front.
    explicit JsonWriter(std::size_t expected_size = 0);

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();

    // The name of the next member of the object open.
    void key(std::string_view name);  // UTF-8
    void key(std::wstring_view name);

    // A text already in UTF-8 (the tool's own names, hex digits, ASCII).
    void value(std::string_view text);
    void value(const char* text) { value(std::string_view(text)); }
    void value(const std::string& text) { value(std::string_view(text)); }
    // A wide text: surrogate pairs joined, a lone surrogate as U+FFFD.
    void value(std::wstring_view text);
    void value(const wchar_t* text) { value(std::wstring_view(text)); }
    void value(const std::wstring& text) { value(std::wstring_view(text)); }
    // Any other pointer would quietly become a bool.
    template <class T>
    void value(const T*) = delete;
    void value(bool flag);
    void value(std::nullptr_t);
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
                 !std::is_same_v<T, wchar_t>)
    void value(T number) {
        if constexpr (std::is_signed_v<T>) {
            signed_number(static_cast<std::int64_t>(number));
        } else {
            unsigned_number(static_cast<std::uint64_t>(number));
        }
    }

    // key(name), then value(v).
    template <class T>
    void member(std::string_view name, const T& v) {
        key(name);
        value(v);
    }

    // The text so far; whole once every container opened is closed.
    const std::string& text() const { return text_; }
    std::string take() { return std::move(text_); }

private:
    void next_item();  // the separator and indent before a member or element
    void open(char bracket);
    void close(char bracket);
    void signed_number(std::int64_t number);
    void unsigned_number(std::uint64_t number);

    std::string text_;
    std::vector<bool> filled_;  // per container open: whether it holds anything yet
    bool after_key_ = false;
};

// `text` as a JSON string (quotes included), appended to `out`.
void append_json_string(std::string& out, std::string_view utf8);
void append_json_string(std::string& out, std::wstring_view text);

}  // namespace vq4
