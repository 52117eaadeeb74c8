// Shared pieces of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vq4::fuzz {

// Wide text from bytes read as UTF-16LE units, as Windows hands texts over
// (a trailing odd byte is dropped).
inline std::wstring utf16_text(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

// A broken invariant: say which and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

}  // namespace vq4::fuzz
