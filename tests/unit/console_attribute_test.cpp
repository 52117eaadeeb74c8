// The console gets back its own attribute at the end of a run, whatever the
// report's colours left it in.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/console_attribute.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

// A whole run in this process, its console output kept out of the test log;
// returns the simulated console's attribute when the run has ended.
std::uint16_t attribute_after_run(test::MachineFile machine) {
    const fs::path dir = test::make_temp_dir("console_attribute");
    machine.set("module_path", (dir / "VQ4_Diag").string()).set("local_time", "2026-03-04 05:06:07").use();
    test::reset_counters();
    {
        const test::StdoutToFile console(dir / "console.txt");
        run_keeping_console_attribute({L"/nopause", L"/nofix"});
    }
    const std::uint16_t attribute = sim::machine().console_attribute;
    fs::remove_all(dir);
    return attribute;
}

TEST(ConsoleAttribute, TheConsoleGetsItsOwnAttributeBack) {
    struct Case {
        const char* what;
        test::MachineFile machine;
        std::uint16_t at_the_end;
    };
    const Case cases[] = {
        {"bright white on blue", test::machine_file().set("console_attribute", "0x1F"), 0x1F},
        {"black on light grey", test::machine_file().set("console_attribute", "0x70"), 0x70},
        {"the usual light grey", test::machine_file().set("console_attribute", 7), 0x07},
        // Standard output is no console: no attribute to give back, and the
        // report's own normal attribute stays.
        {"attribute unreadable",
         test::machine_file().set("console_attribute", "0x1F").fault("GetConsoleScreenBufferInfo", 6), 0x07},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(attribute_after_run(c.machine), c.at_the_end);
        EXPECT_EQ(sim::count_calls("GetConsoleScreenBufferInfo"), 1u);
    }
}

}  // namespace
}  // namespace vq4
