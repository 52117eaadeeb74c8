// One live line on the console while the tool waits (the SDK's polls, the
// repair's waits for a node or an interface): what it waits for, the seconds
// elapsed and the limit, rewritten in place. It is shown only on a console
// that a person watches, never in the report, and erased when the wait ends,
// so that the console afterwards holds exactly the report's lines.
#pragma once

#include <cstdint>
#include <string>

namespace vq4 {

// Owns the live line of one wait; erases it when it goes out of scope. The
// line is cut to the console's width - 1, so that it never wraps.
struct WaitProgress {
    WaitProgress(std::wstring what, std::uint32_t limit_ms);
    ~WaitProgress();
    WaitProgress(const WaitProgress&) = delete;
    WaitProgress& operator=(const WaitProgress&) = delete;

    // Shows the time waited so far, counted from the wait's own pauses
    // (never read from a clock). Called before each pause.
    void show(std::uint64_t elapsed_ms);

    std::wstring what;
    std::uint32_t limit_ms = 0;
    std::wstring shown;  // the text on the console now; empty: nothing shown
    bool width_read = false;
    std::size_t max_width = 0;  // the console's width - 1; 0: not known, no cut
};

// The text of the live line: nine spaces (the column of a line's text),
// "Waiting for " + what + ": " + seconds elapsed + " s of " + limit + " s",
// both with one decimal.
std::wstring wait_progress_text(const std::wstring& what, std::uint64_t elapsed_ms, std::uint32_t limit_ms);

}  // namespace vq4
