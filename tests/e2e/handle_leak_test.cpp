// Whole runs in this process on every machine file of machines/: when the
// run is over, the simulated process holds nothing open. Every key, set,
// file, WinUSB handle, snapshot, service manager, process, token, library,
// report file and DLL directory the run opened was closed by its owner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/console_attribute.h"
#include "platform/sim/registry_handles.h"
#include "platform/sim/relaunch.h"
#include "support/repair_support.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;

struct RunKind {
    const char* what;
    std::vector<std::wstring> arguments;
    bool elevated;  // the token the run starts with (the relaunched instance's)
};

const RunKind kRuns[] = {
    {"diagnostic only", {L"/nopause"}, false},
    {"with /fix, relaunching elevated", {L"/nopause", L"/fix"}, false},
    {"with /fix, already elevated", {L"/nopause", L"/fix"}, true},
};

// The open handles after a whole run of the tool on machines/<name>.json,
// its console output kept out of the test log.
std::vector<std::string> open_after_run(const std::string& name, const RunKind& run, const fs::path& dir) {
    test::use_machine(test::machine_text(name, [&](nlohmann::json& m) {
        m["module_path"] = (dir / "VQ4_Diag").string();
        m["local_time"] = "2026-03-04 05:06:07";
        if (run.elevated) m["elevated"] = true;
    }));
    // The relaunch starts the real binary (its own process, not checked here).
    sim::set_relaunch_binary(VQ4_DIAG_BINARY);
    test::reset_counters();
    {
        const test::StdoutToFile console(dir / "console.txt");
        run_keeping_console_attribute(run.arguments);
    }
    return sim::handles_left_open(sim::machine());
}

TEST(HandleLeaks, AWholeRunOnEachMachineLeavesNothingOpen) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(VQ4_SOURCE_DIR) / "machines")) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        for (const RunKind& run : kRuns) {
            const fs::path dir = test::make_temp_dir("handle_leak");
            const std::vector<std::string> open = open_after_run(name, run, dir);
            std::string listed;
            for (const std::string& handle : open) listed += "\n  " + handle;
            EXPECT_TRUE(open.empty()) << name << ", " << run.what << ": still open:" << listed;
            fs::remove_all(dir);
        }
    }
    sim::set_relaunch_binary("");
}

// The check itself sees what is left open.
TEST(HandleLeaks, AHandleStillOwnedIsListed) {
    test::use_machine(R"({"registry": [{"key": "HKLM\\SOFTWARE\\Held", "values": []}]})");
    EXPECT_TRUE(sim::handles_left_open(sim::machine()).empty());
    platform::RegKey key = sim::open_registry_handle(L"HKLM\\SOFTWARE\\Held", 0x20019);
    EXPECT_EQ(sim::handles_left_open(sim::machine()), std::vector<std::string>{"registry key HKLM\\SOFTWARE\\Held"});
    key.reset();
    EXPECT_TRUE(sim::handles_left_open(sim::machine()).empty());
}

}  // namespace
}  // namespace vq4
