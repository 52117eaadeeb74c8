// The machine file's JSON reader against nlohmann's parser, which read
// machine files before it: over any bytes both accept or both refuse, and
// what they accept they read as the same values of the same types. A
// refusal is one line at a place inside the input (or just past its end).
// One difference is meant: bytes after the value are refused, a NUL too.
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "support/json_document_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::JsonDocument doc;
    sim::JsonSyntaxError error;
    const bool ours = sim::parse_json(text, doc, error);
    bool theirs = nlohmann::json::accept(text);
    // nlohmann stops at a NUL byte after a value, as if the text ended there
    // (it reads C strings too); the reader refuses anything after the value.
    if (!ours && theirs && error.message == "unexpected text after the JSON value" && text[error.byte - 1] == '\0') {
        theirs = false;
    }
    fuzz::check(ours == theirs, "the reader and nlohmann agree on what is JSON");
    if (!ours) {
        fuzz::check(!error.message.empty() && error.message.find('\n') == std::string::npos, "a refusal is one line");
        fuzz::check(error.byte >= 1 && error.byte <= size + 1, "a refusal points into the input");
        return 0;
    }
    fuzz::check(test::same_json(test::as_nlohmann(doc), nlohmann::json::parse(text)), "the same values as nlohmann");
    return 0;
}
