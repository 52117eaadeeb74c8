#include "report/wait_progress.h"

#include <utility>

#include "platform/system.h"
#include "report/report.h"

namespace vq4 {

namespace {

std::wstring seconds(std::uint64_t ms) {
    const std::uint64_t tenths = ms / 100;
    return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10);
}

}  // namespace

std::wstring wait_progress_text(const std::wstring& what, std::uint64_t elapsed_ms, std::uint32_t limit_ms) {
    return L"         Waiting for " + what + L": " + seconds(elapsed_ms) + L" s of " + seconds(limit_ms) + L" s";
}

WaitProgress::WaitProgress(std::wstring what_text, std::uint32_t limit) : what(std::move(what_text)), limit_ms(limit) {}

WaitProgress::~WaitProgress() {
    if (shown.empty() || !platform::console_is_interactive()) return;
    // Blank the line and go back to its start: the next report line is
    // written where the live line was.
    write_console(L"\r" + std::wstring(shown.size(), L' ') + L"\r");
}

void WaitProgress::show(std::uint64_t elapsed_ms) {
    // Asked at each step: output redirected meanwhile gets nothing more.
    if (!platform::console_is_interactive()) return;
    if (!width_read) {
        // Once per wait: a line that reaches the last column wraps, and "\r"
        // then cannot erase the part on the line above.
        width_read = true;
        std::uint16_t columns = 0;
        if (platform::console_get_width(columns) == 0 && columns > 1) max_width = columns - 1u;
    }
    std::wstring text = wait_progress_text(what, elapsed_ms, limit_ms);
    if (max_width != 0 && text.size() > max_width) text.resize(max_width);
    if (text == shown) return;
    // A shorter text (never, as time only grows) would leave the end of the
    // longer one: pad to the width already shown.
    std::wstring line = text;
    if (line.size() < shown.size()) line.append(shown.size() - line.size(), L' ');
    write_console(L"\r" + line);
    shown = line;
}

}  // namespace vq4
