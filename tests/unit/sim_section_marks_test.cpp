// The trace knows each call's section from the report's own section marks,
// not from what reaches the console.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/system.h"
#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

TEST(SectionMarks, ASectionStartsWhereTheReportPrintsItsHeader) {
    test::machine_file().use();
    {
        const test::StdoutToFile console("/dev/null");
        platform::sleep_ms(1);
        print_section(L"1. First\x2028");
        platform::sleep_ms(1);
        platform::sleep_ms(1);
        // Console text that only looks like a header starts no section.
        platform::console_write(L"\n==== Not a section ====\n");
        print_section(L"2. Second");
    }

    const auto& marks = sim::machine().sections;
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].trace_entries, 1u);
    EXPECT_EQ(marks[0].title, sim::narrow(L"1. First\x2028"));
    EXPECT_EQ(marks[1].trace_entries, 3u);
    EXPECT_EQ(marks[1].title, "2. Second");
}

}  // namespace
}  // namespace vq4
