// What reaches the console: the report layer makes the text what the
// console shows, and the platform writes it as given.
#include <gtest/gtest.h>

#include <cstdio>

#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

// Standard output of `write` in this process, as bytes.
template <class Write>
std::string console_bytes(Write write) {
    const auto dir = test::make_temp_dir("console_output");
    {
        const test::StdoutToFile console(dir / "console.txt");
        write();
    }
    const std::string bytes = test::read_file_bytes(dir / "console.txt");
    std::filesystem::remove_all(dir);
    return bytes;
}

TEST(ConsoleOutput, CharactersBeyondU00FFShowAsQuestionMarks) {
    test::machine_file().use();
    // The host takes UTF-8 and LF line ends.
    EXPECT_EQ(console_bytes([] { write_console(L"[  OK  ] caf\u00e9 \u00ff \u0100\u2713 done\nsecond line\n"); }),
              "[  OK  ] caf\xc3\xa9 \xc3\xbf ?? done\nsecond line\n");
    // A surrogate pair is two characters beyond U+00FF here: printable_text
    // made it one '?' where the text came from the system.
    EXPECT_EQ(console_bytes([] { write_console(L"\xD83D\xDE00."); }), "??.");
}

TEST(ConsoleOutput, ReportLinesReachTheConsoleAsWritten) {
    test::machine_file().use();
    test::reset_counters();
    EXPECT_EQ(console_bytes([] {
                  print_section(L"2. USB \u2713");
                  print_status(StatusKind::Info, L"Name: caf\u00e9 \u4e2d");
                  print_detail(L"x\ty");
              }),
              "\n==== 2. USB ? ====\n[ INFO ] Name: caf\xc3\xa9 ?\n         x?y\n");
    test::reset_counters();
}

}  // namespace
}  // namespace vq4
