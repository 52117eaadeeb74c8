// parse_guid over any wide text: it never reads past the text, and whatever
// it accepts prints as the 38-character form that reads back to the same value.
#include "fuzz_support.h"
#include "util/guid.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    const std::wstring text = fuzz::utf16_text(data, size);
    Guid sentinel;
    sentinel.Data1 = 0xA5A5A5A5u;
    Guid value = sentinel;
    if (!parse_guid(text, value)) {
        fuzz::check(value == sentinel, "a text that does not parse left the value changed");
        return 0;
    }
    fuzz::check(!text.empty() && text[0] == L'{', "a parsed text starts with the opening brace");
    const std::wstring printed = format_guid(value);
    fuzz::check(printed.size() == 38 && printed.front() == L'{' && printed.back() == L'}', "print form of 38 characters");
    for (const wchar_t c : printed) {
        fuzz::check(c == L'{' || c == L'}' || c == L'-' || (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'),
                    "print form holds upper-case hexadecimal digits only");
    }
    Guid again;
    fuzz::check(parse_guid(printed, again) && again == value, "the print form reads back to the same value");
    fuzz::check(same_guid(text, printed), "a text equals its own print form as a GUID");
    return 0;
}
