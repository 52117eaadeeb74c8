#include "support/sim_support.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/sim/machine_file.h"
#include "report/report.h"

namespace vq4::test {

StdoutToFile::StdoutToFile(const std::filesystem::path& path) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int sink = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(sink, STDOUT_FILENO);
    ::close(sink);
}

StdoutToFile::~StdoutToFile() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

sim::Machine& use_machine(const std::string& json) {
    sim::Machine m;
    std::string error;
    const bool ok = sim::parse_machine_json(json, "test machine", m, error);
    EXPECT_TRUE(ok) << error;
    sim::set_machine(std::move(m));
    return sim::machine();
}

void expect_machine_file_verdicts(const std::vector<MachineFileVerdict>& cases) {
    for (const MachineFileVerdict& c : cases) {
        sim::Machine m;
        std::string error;
        const bool ok = sim::parse_machine_json(c.json, "t", m, error);
        EXPECT_EQ(ok, c.error.empty()) << c.json << "\n" << error;
        if (!c.error.empty()) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

std::filesystem::path make_temp_dir(const std::string& label) {
    static std::atomic<int> counter{0};
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vq4_" + label + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::string read_file_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int nth_traced_call(const std::filesystem::path& trace_file, const std::string& operation,
                    const std::string& argument_part) {
    const nlohmann::json trace = nlohmann::json::parse(read_file_bytes(trace_file));
    int nth = 0;
    int calls = 0;
    for (const nlohmann::json& call : trace["calls"]) {
        if (call["op"] != operation) continue;
        ++calls;
        if (call["args"].get<std::string>().find(argument_part) != std::string::npos) nth = calls;
    }
    return nth;
}

std::vector<std::filesystem::path> files_with_prefix(const std::filesystem::path& dir, const std::string& prefix) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

RunResult run_tool(const std::filesystem::path& machine_file, const std::vector<std::string>& arguments,
                   const std::string& stdin_text, const Environment& environment, const std::filesystem::path& binary_path,
                   const std::filesystem::path& directory) {
    const auto work = make_temp_dir("run");
    const auto in_path = work / "stdin.txt";
    const auto out_path = work / "stdout.txt";
    const auto err_path = work / "stderr.txt";
    std::ofstream(in_path, std::ios::binary) << stdin_text;

    RunResult result;
    const pid_t child = ::fork();
    if (child == 0) {
        std::freopen(in_path.c_str(), "rb", stdin);
        std::freopen(out_path.c_str(), "wb", stdout);
        std::freopen(err_path.c_str(), "wb", stderr);
        if (machine_file.empty()) {
            ::unsetenv("VQ4_DIAG_MACHINE");
        } else {
            ::setenv("VQ4_DIAG_MACHINE", machine_file.c_str(), 1);
        }
        // A test's machine file says where the run writes (module_path); a
        // test of the replay's own folder sets this to "" through `environment`.
        ::setenv("VQ4_DIAG_TEST_MACHINE_PATHS", "1", 1);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) std::_Exit(126);
        std::vector<char*> argv;
        std::string binary = binary_path.empty() ? std::string(VQ4_DIAG_BINARY) : binary_path.string();
        argv.push_back(binary.data());
        std::vector<std::string> copies = arguments;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.stdout_text = read_file_bytes(out_path);
    result.stderr_text = read_file_bytes(err_path);
    std::filesystem::remove_all(work);
    return result;
}

std::string crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += "\r\n";
        else out.push_back(c);
    }
    return out;
}

ReportCounts& counts() {
    static ReportCounts test_counts;
    // In force for the whole test program; a run_diagnostic in a test counts
    // into its own and gives the counting back when it ends.
    static const CountedLines counting(test_counts);
    return test_counts;
}

void reset_counters() { counts() = ReportCounts{}; }

}  // namespace vq4::test
