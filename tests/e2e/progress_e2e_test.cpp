// The live line during the long waits (the SDK's polls, the repair's waits
// for an interface or a node): shown on a terminal, rewritten in place and
// erased, never in the report; redirected output has none of it.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "support/repair_support.h"
#include "support/report_check.h"
#include "support/sim_support.h"

namespace vq4 {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct TerminalRun {
    int exit_code = -1;
    std::string output;  // every byte the terminal received
};

// Runs the binary on a pseudo-terminal: a console a person watches.
TerminalRun run_on_terminal(const fs::path& machine, const std::vector<std::string>& arguments) {
    TerminalRun run;
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        ::setenv("VQ4_DIAG_MACHINE", machine.c_str(), 1);
        ::setenv("VQ4_DIAG_TEST_MACHINE_PATHS", "1", 1);
        std::string binary = VQ4_DIAG_BINARY;
        std::vector<std::string> copies = arguments;
        std::vector<char*> argv{binary.data()};
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        std::_Exit(127);
    }
    if (child < 0) return run;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(terminal, buffer, sizeof buffer);
        if (got <= 0) break;  // EIO once the program has closed the terminal
        run.output.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(terminal);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// What the terminal shows at the end: colour sequences dropped, a carriage
// return back to the start of the line, later characters over earlier ones;
// the lines without trailing blanks.
std::vector<std::string> screen_lines(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (c == '\x1b' && i + 1 < output.size() && output[i + 1] == '[') {
            i = output.find('m', i);
            continue;
        }
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
            line.clear();
            column = 0;
        } else {
            if (column < line.size()) {
                line[column] = c;
            } else {
                line.push_back(c);
            }
            ++column;
        }
    }
    if (!line.empty()) lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
    return lines;
}

std::vector<std::string> report_lines(const std::string& report) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = report.find("\r\n"); end != std::string::npos; end = report.find("\r\n", start)) {
        const std::string line = report.substr(start, end - start);
        lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
        start = end + 2;
    }
    return lines;
}

const std::string kLive = "\r         Waiting for ";

struct Case {
    const char* machine;
    std::vector<std::string> first_and_last;  // the first and the last text of each wait that paused
};

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"repair-node-not-back",
         {"the SDK to detect the device: 0.0 s of 3.0 s", "the SDK to detect the device: 2.9 s of 3.0 s",
          "the MI_03 device interface: 0.0 s of 10.0 s", "the MI_03 device interface: 9.7 s of 10.0 s",
          "the MI_03 node to come back: 0.0 s of 5.0 s", "the MI_03 node to come back: 4.7 s of 5.0 s"}},
        {"repair-step2-works",
         {"the SDK to detect the device: 0.0 s of 3.0 s", "the MI_03 device interface: 0.0 s of 10.0 s",
          "the MI_03 device interface: 9.7 s of 10.0 s"}},
    };
    return table;
}

fs::path prepare(const fs::path& dir, const std::string& name) {
    const fs::path machine = dir / "machine.json";
    std::ofstream(machine, std::ios::binary) << test::machine_text(name, [&](json& m) {
        m["module_path"] = (dir / "VQ4_Diag").string();
        m["local_time"] = "2026-03-04 05:06:07";
    });
    return machine;
}

TEST(WaitProgress, OnATerminalTheLiveLineFollowsTheWaitAndLeavesOnlyTheReport) {
    for (const Case& c : cases()) {
        const fs::path dir = test::make_temp_dir("progress_tty");
        const TerminalRun run = run_on_terminal(prepare(dir, c.machine), {"/fix", "/nopause"});
        const std::string report = test::read_file_bytes(dir / "VQ4_Diag_Report_20260304_050607.txt");
        ASSERT_FALSE(report.empty()) << c.machine << run.output;

        for (const std::string& text : c.first_and_last) {
            EXPECT_NE(run.output.find(kLive + text), std::string::npos) << c.machine << ": " << text;
        }
        // Each live text is followed by the next one, or by blanks over it and a
        // return to the start of its line.
        for (std::size_t at = run.output.find(kLive); at != std::string::npos; at = run.output.find(kLive, at + 1)) {
            const std::size_t end = run.output.find('\r', at + 1);
            ASSERT_NE(end, std::string::npos);
            const std::size_t width = end - at - 1;
            if (run.output.compare(end, kLive.size(), kLive) == 0) continue;
            EXPECT_EQ(run.output.substr(end, width + 2), "\r" + std::string(width, ' ') + "\r") << c.machine;
        }
        EXPECT_EQ(report.find("Waiting for"), std::string::npos) << c.machine << ": never in the report";

        // What stays on the screen is the report, line for line, then the closing message.
        std::vector<std::string> screen = screen_lines(run.output);
        const std::vector<std::string> expected = report_lines(report);
        ASSERT_GE(screen.size(), expected.size()) << c.machine;
        screen.resize(expected.size());
        EXPECT_EQ(screen, expected) << c.machine;
        EXPECT_NE(run.output.find("Report saved to:"), std::string::npos);
        fs::remove_all(dir);
    }
}

// A narrow console: the live line is cut to the console's width - 1, so it
// never reaches the last column and wraps; the erase blanks exactly it.
TEST(WaitProgress, TheLiveLineIsCutToTheConsoleWidthLessOne) {
    for (const int width : {30, 48}) {
        const fs::path dir = test::make_temp_dir("progress_narrow");
        const fs::path machine = dir / "machine.json";
        std::ofstream(machine, std::ios::binary) << test::machine_text("repair-step2-works", [&](json& m) {
            m["module_path"] = (dir / "VQ4_Diag").string();
            m["local_time"] = "2026-03-04 05:06:07";
            m["console_width"] = width;
        });
        const TerminalRun run = run_on_terminal(machine, {"/fix", "/nopause"});
        const std::string full = "         Waiting for the SDK to detect the device: 0.0 s of 3.0 s";
        EXPECT_NE(run.output.find("\r" + full.substr(0, width - 1) + "\r"), std::string::npos) << width << run.output;
        std::size_t lives = 0;
        for (std::size_t at = run.output.find("\r         Waiting"); at != std::string::npos;
             at = run.output.find("\r         Waiting", at + 1)) {
            const std::size_t end = run.output.find('\r', at + 1);
            ASSERT_NE(end, std::string::npos);
            EXPECT_LE(end - at - 1, static_cast<std::size_t>(width - 1)) << run.output.substr(at, end - at);
            ++lives;
        }
        EXPECT_GT(lives, 0u);
        // The erase: blanks of the cut width, no more.
        EXPECT_NE(run.output.find("\r" + std::string(width - 1, ' ') + "\r"), std::string::npos) << width;
        EXPECT_EQ(run.output.find("\r" + std::string(width, ' ') + "\r"), std::string::npos) << width;
        fs::remove_all(dir);
    }
}

TEST(WaitProgress, RedirectedOutputIsTheReportByteForByte) {
    for (const Case& c : cases()) {
        const fs::path dir = test::make_temp_dir("progress_redirected");
        const test::RunResult run = test::run_tool(prepare(dir, c.machine), {"/fix", "/nopause"});
        const std::string report = test::read_file_bytes(dir / "VQ4_Diag_Report_20260304_050607.txt");
        EXPECT_EQ(run.stdout_text.find('\r'), std::string::npos) << c.machine;
        EXPECT_EQ(run.stdout_text.find("Waiting for"), std::string::npos) << c.machine;
        EXPECT_EQ(run.stdout_text.find('\x1b'), std::string::npos) << c.machine << ": no colours either";
        std::string console_report, saved;
        ASSERT_TRUE(test::console_as_report(run.stdout_text, console_report, saved)) << c.machine;
        EXPECT_EQ(console_report, report) << c.machine;
        EXPECT_EQ(run.stdout_text.substr(run.stdout_text.size() - saved.size() - 1), saved + "\n")
            << c.machine << ": nothing after the closing message";
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace vq4
