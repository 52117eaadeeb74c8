// Helpers for tests on the simulated machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "report/report.h"

namespace vq4::test {

// Loads machine JSON into the simulated platform; fails the test on error.
sim::Machine& use_machine(const std::string& json);

// A machine file's text and a part of the loader's message that refusing it
// must give; an empty error: the text is accepted.
struct MachineFileVerdict {
    std::string json;
    std::string error;
};

// Loads each text on its own and checks that it is accepted, or refused
// with a message that holds its error.
void expect_machine_file_verdicts(const std::vector<MachineFileVerdict>& cases);

// A fresh empty directory under the system's temporary folder.
std::filesystem::path make_temp_dir(const std::string& label);

std::string read_file_bytes(const std::filesystem::path& path);

// Every regular file of a directory whose name starts with `prefix`.
std::vector<std::filesystem::path> files_with_prefix(const std::filesystem::path& dir, const std::string& prefix);

// In a trace the binary wrote (VQ4_DIAG_TRACE), the number (1-based, as a
// machine file's fault counts it) of the last call of `operation` whose
// arguments contain `argument_part`; 0 when there is none.
int nth_traced_call(const std::filesystem::path& trace_file, const std::string& operation,
                    const std::string& argument_part);

struct RunResult {
    int exit_code = -1;
    std::string stdout_text;
    std::string stderr_text;
};

// What a run adds to its environment: name, value.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs the Linux binary (`binary`, else the one built) with VQ4_DIAG_MACHINE
// set to `machine_file` (empty: the built-in machine), the given arguments,
// standard input text and further environment variables. The machine file's
// module_path and current_directory stand (VQ4_DIAG_TEST_MACHINE_PATHS).
// It starts in `directory` (empty: this process's current directory).
RunResult run_tool(const std::filesystem::path& machine_file, const std::vector<std::string>& arguments,
                   const std::string& stdin_text = "", const Environment& environment = {},
                   const std::filesystem::path& binary = {}, const std::filesystem::path& directory = {});

// Standard output of this process goes to `path` (created or emptied) while
// the object lives, so an in-process run's console stays out of the test log
// or can be read back; flushed on both sides of the switch.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::filesystem::path& path);
    ~StdoutToFile();
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

private:
    int saved_ = -1;
};

// Report file text as the tool writes it: every "\n" becomes CR LF.
std::string crlf(const std::string& text);

// The counts the tests' report lines go into, as a run's go into its own
// (a section called alone counts here).
ReportCounts& counts();

// Resets those counts (each test starts from a fresh run state).
void reset_counters();

}  // namespace vq4::test
