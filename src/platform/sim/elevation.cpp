// The simulated token and the elevated relaunch.
//
// The token's elevation is the machine's `elevated`. ShellExecuteExW with
// "runas" shows the (simulated) UAC prompt, answered by the machine's
// `elevation_prompt_accepted`: refused, the call fails with ERROR_CANCELLED.
// Accepted, it starts the Linux binary itself as a real child process with
// the given parameters, the same environment (so the same machine file) plus
// the elevated mark, and the same standard input and output (a shared
// console). The file must be the path GetModuleFileNameW gives this process.
#include "platform/elevation.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/relaunch.h"
#include "platform/win_constants.h"
#include "util/text.h"

extern char** environ;

namespace vq4::platform {

namespace {

struct ChildProcess {
    pid_t pid = 0;
    bool ended = false;
    std::uint32_t exit_code = 0;
};

std::map<std::uintptr_t, ChildProcess>& processes() {
    static std::map<std::uintptr_t, ChildProcess> open;
    return open;
}

std::map<std::uintptr_t, bool>& tokens() {
    static std::map<std::uintptr_t, bool> open;
    return open;
}

std::uintptr_t next_handle = 0x7000;

std::string& relaunch_target() {
    static std::string path;
    return path;
}

std::uint32_t finish(std::uint32_t code) {
    sim::record_result(code);
    return code;
}

std::string real_executable() {
    char buffer[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string("/proc/self/exe");
}

// What GetModuleFileNameW reports for this process (no trace entry).
std::wstring module_path() {
    if (sim::machine().module_path) return *sim::machine().module_path;
    return widen(real_executable());
}

std::uint32_t exit_code_of(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    // A process killed by a signal: an NTSTATUS-like code (error severity).
    return 0xC0000000u + static_cast<std::uint32_t>(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void reap(ChildProcess& child, bool block) {
    if (child.ended) return;
    int status = 0;
    pid_t done = 0;
    do {
        done = ::waitpid(child.pid, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == child.pid) {
        child.ended = true;
        child.exit_code = exit_code_of(status);
    }
}

std::vector<std::string> split_parameters(const std::wstring& parameters) {
    std::vector<std::string> words;
    std::istringstream in(sim::narrow(parameters));
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

std::uint32_t open_process_token(std::uint32_t access, TokenHandle& out) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", access);
    if (const auto injected = sim::enter_call("OpenProcessToken", text)) return finish(*injected);
    const std::uintptr_t id = next_handle++;
    tokens()[id] = (access & win::TOKEN_QUERY_) != 0;
    out = TokenHandle(id);
    return finish(0);
}

std::uint32_t get_token_elevation(const TokenHandle& token, std::uint32_t& elevated) {
    if (const auto injected = sim::enter_call("GetTokenInformation", "TokenElevation, 4")) return finish(*injected);
    const auto found = tokens().find(token.raw());
    if (!token.valid() || found == tokens().end()) return finish(win::ERROR_INVALID_HANDLE_);
    if (!found->second) return finish(win::ERROR_ACCESS_DENIED_);  // opened without TOKEN_QUERY
    elevated = sim::machine().elevated ? 1 : 0;
    return finish(0);
}

std::uint32_t shell_execute_ex(const std::wstring& verb, const std::wstring& file, const std::wstring& parameters,
                               std::int32_t show, ProcessHandle& process) {
    if (const auto injected = sim::enter_call("ShellExecuteExW", sim::narrow(verb) + ", " + sim::narrow(file) + ", " +
                                                                     sim::narrow(parameters) + ", " +
                                                                     std::to_string(show))) {
        return finish(*injected);
    }
    const bool runas = equals_nocase(verb, L"runas");
    if (!runas && !verb.empty() && !equals_nocase(verb, L"open")) return finish(win::ERROR_INVALID_PARAMETER_);
    if (!equals_nocase(file, module_path())) return finish(win::ERROR_FILE_NOT_FOUND_);
    if (runas && !sim::machine().elevated && !sim::machine().elevation_prompt_accepted) {
        return finish(win::ERROR_CANCELLED_);
    }
    // An instance started by the relaunch never starts another one: a fault
    // that hides its elevation must not become an endless chain of processes.
    const char* relaunched = std::getenv(sim::kElevatedInstanceVariable);
    if (relaunched != nullptr && std::strcmp(relaunched, "1") == 0) return finish(win::ERROR_CANCELLED_);

    const std::string binary = relaunch_target();
    if (binary.empty()) return finish(win::ERROR_FILE_NOT_FOUND_);
    std::vector<std::string> arguments{binary};
    for (std::string& word : split_parameters(parameters)) arguments.push_back(std::move(word));
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string mark = std::string(sim::kElevatedInstanceVariable) + "=1";
    std::vector<std::string> environment;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, mark.c_str(), std::strlen(sim::kElevatedInstanceVariable) + 1) != 0) {
            environment.emplace_back(*e);
        }
    }
    if (runas) environment.push_back(mark);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Whatever this process has written must reach the shared console first.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return finish(win::ERROR_FILE_NOT_FOUND_);
    }
    const std::uintptr_t id = next_handle++;
    processes()[id] = ChildProcess{pid, false, 0};
    process = ProcessHandle(id);
    return finish(0);
}

std::uint32_t wait_for_single_object(const ProcessHandle& process, std::uint32_t timeout_ms) {
    const auto injected = sim::enter_call("WaitForSingleObject", std::to_string(timeout_ms));
    const auto found = processes().find(process.raw());
    if (!process.valid() || found == processes().end()) return finish(win::WAIT_FAILED_);
    // Even a failing wait lets the child end first: nothing is left running
    // behind a test.
    reap(found->second, injected.has_value() || timeout_ms == win::INFINITE_);
    if (injected) return finish(win::WAIT_FAILED_);
    return finish(found->second.ended ? win::WAIT_OBJECT_0_ : win::WAIT_TIMEOUT_);
}

std::uint32_t get_exit_code_process(const ProcessHandle& process, std::uint32_t& code) {
    if (const auto injected = sim::enter_call("GetExitCodeProcess", "")) return finish(*injected);
    const auto found = processes().find(process.raw());
    if (!process.valid() || found == processes().end()) return finish(win::ERROR_INVALID_HANDLE_);
    reap(found->second, false);
    code = found->second.ended ? found->second.exit_code : win::STILL_ACTIVE_;
    return finish(0);
}

void release_handle(ProcessTag, std::uintptr_t raw) noexcept {
    // CloseHandle: the process itself runs on.
    sim::enter_call("CloseHandle", "process");
    processes().erase(raw);
}

void release_handle(TokenTag, std::uintptr_t raw) noexcept {
    sim::enter_call("CloseHandle", "token");
    tokens().erase(raw);
}

}  // namespace vq4::platform

namespace vq4::sim {

void set_relaunch_binary(const std::string& path) { platform::relaunch_target() = path; }

void prepare_tool_instance(Machine& m) {
    set_relaunch_binary(platform::real_executable());
    const char* relaunched = std::getenv(kElevatedInstanceVariable);
    if (relaunched == nullptr || std::strcmp(relaunched, "1") != 0) return;
    m.elevated = true;
    std::vector<Fault> kept;
    for (Fault& fault : m.faults) {
        const bool elevation_call = fault.operation == "OpenProcessToken" || fault.operation == "GetTokenInformation" ||
                                    fault.operation == "ShellExecuteExW" || fault.operation == "WaitForSingleObject" ||
                                    fault.operation == "GetExitCodeProcess";
        if (!elevation_call) kept.push_back(std::move(fault));
    }
    m.faults = std::move(kept);
}

}  // namespace vq4::sim
