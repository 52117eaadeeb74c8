// The simulated token and the elevated relaunch.
//
// The token's elevation is the machine's `elevated`. ShellExecuteExW with
// "runas" shows the (simulated) UAC prompt, answered by the machine's
// `elevation_prompt_accepted`: refused, the call fails with ERROR_CANCELLED.
// Accepted, it starts the Linux binary itself as a real child process with
// the given parameters (split as the C runtime splits a command line) and
// the same environment (so the same machine file) plus the elevated mark.
// As on Windows, where the Application Information service creates the
// elevated process, the child shares neither the console nor the current
// directory of the first instance: its standard output is a console of its
// own (the file VQ4_DIAG_ELEVATED_CONSOLE names, else nothing keeps it), its
// standard input what is typed there (the file VQ4_DIAG_ELEVATED_INPUT
// names, else nothing), and it starts in the root folder, not in the first
// instance's. Standard error stays the simulator's own channel (a machine
// file that cannot be read, a sanitizer's report). The file must be the
// path GetModuleFileNameW gives this process.
#include "platform/elevation.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/relaunch.h"
#include "platform/win_constants.h"
#include "util/text.h"

extern char** environ;

namespace vq4::platform {

namespace {

using sim::ChildProcess;

std::map<std::uintptr_t, ChildProcess>& processes() { return sim::machine().handles.processes.open; }

std::map<std::uintptr_t, bool>& tokens() { return sim::machine().handles.tokens.open; }

// The file each started process leaves the machine's state in, by its id.
std::map<int, std::string>& machine_state_files() {
    static std::map<int, std::string> files;
    return files;
}

std::string& relaunch_target() {
    static std::string path;
    return path;
}

using sim::finish;

std::string real_executable() {
    char buffer[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string("/proc/self/exe");
}

// What GetModuleFileNameW reports for this process (no trace entry).
std::wstring module_path() {
    if (sim::machine().module_path) return *sim::machine().module_path;
    return utf16_from_utf8(real_executable());
}

std::uint32_t exit_code_of(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // Its window closed: STATUS_CONTROL_C_EXIT, as Windows ends a console
    // process on CTRL_CLOSE_EVENT. A crash: STATUS_ACCESS_VIOLATION.
    if (signal == SIGHUP) return 0xC000013Au;
    if (signal == SIGSEGV) return 0xC0000005u;
    // Another signal: an NTSTATUS-like code (error severity).
    return 0xC0000000u + static_cast<std::uint32_t>(signal);
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
        // One machine for both: what the elevated instance changed is what
        // this one now sees.
        const auto state = machine_state_files().find(child.pid);
        if (state != machine_state_files().end()) {
            sim::apply_machine_state(state->second);
            std::remove(state->second.c_str());
            machine_state_files().erase(state);
        }
    }
}

// The parameters as the started program's C runtime splits its command
// line: blanks separate arguments outside double quotes; 2n backslashes
// before a quote give n backslashes and the quote opens or closes quoting,
// 2n + 1 give n backslashes and a literal quote; other backslashes are kept.
std::vector<std::string> split_parameters(const std::wstring& parameters) {
    const std::string text = sim::narrow(parameters);
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            std::size_t slashes = 0;
            while (i < text.size() && text[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < text.size() && text[i] == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    word.push_back('"');
                    ++i;
                }
            } else {
                word.append(slashes, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                word.push_back('"');  // "" inside quotes: a literal quote
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        word.push_back(c);
        ++i;
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

// A path of the environment made absolute, since the child starts elsewhere.
std::string absolute_path(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

// Environment variables naming files of the simulator, made absolute.
constexpr const char* kPathVariables[] = {"VQ4_DIAG_MACHINE", "VQ4_DIAG_TRACE"};

const char* environment_file(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The child's standard input and output, and where it starts.
struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    bool ready = false;
    SpawnActions() {
        if (::posix_spawn_file_actions_init(&actions) != 0) return;
        ready = ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                                   environment_file(sim::kElevatedInputVariable, "/dev/null"),
                                                   O_RDONLY, 0) == 0 &&
                ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                                   environment_file(sim::kElevatedConsoleVariable, "/dev/null"),
                                                   O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0 &&
                ::posix_spawn_file_actions_addchdir_np(&actions, "/") == 0;
    }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

}  // namespace

std::uint32_t open_process_token(std::uint32_t access, TokenHandle& out) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", access);
    if (const auto injected = sim::enter_call("OpenProcessToken", text)) return finish(*injected);
    const std::uintptr_t id = sim::machine().handles.tokens.add((access & win::TOKEN_QUERY_) != 0);
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

std::uint32_t get_process_elevation(std::uint32_t& elevated) {
    // Traced under a name of its own: faults of GetTokenInformation describe
    // the repair's reading of the token it opened.
    if (const auto injected = sim::enter_call("GetTokenInformation(GetCurrentProcessToken)", "TokenElevation, 4")) {
        return finish(*injected);
    }
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
    static unsigned relaunches = 0;
    const std::string machine_state = (std::filesystem::temp_directory_path() /
                                       ("vq4_machine_state_" + std::to_string(::getpid()) + "_" +
                                        std::to_string(++relaunches) + ".json"))
                                          .string();
    std::remove(machine_state.c_str());
    const std::string state_entry = std::string(sim::kMachineStateVariable) + "=" + machine_state;
    std::vector<std::string> environment;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, mark.c_str(), std::strlen(sim::kElevatedInstanceVariable) + 1) == 0) continue;
        if (std::strncmp(*e, state_entry.c_str(), std::strlen(sim::kMachineStateVariable) + 1) == 0) continue;
        std::string entry = *e;
        for (const char* name : kPathVariables) {
            const std::string prefix = std::string(name) + "=";
            if (entry.compare(0, prefix.size(), prefix) == 0) {
                entry = prefix + absolute_path(entry.substr(prefix.size()));
            }
        }
        environment.push_back(std::move(entry));
    }
    if (runas) environment.push_back(mark);
    environment.push_back(state_entry);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    SpawnActions spawn;
    if (!spawn.ready) return finish(win::ERROR_NOT_ENOUGH_MEMORY_);
    pid_t pid = 0;
    if (::posix_spawn(&pid, binary.c_str(), &spawn.actions, nullptr, argv.data(), envp.data()) != 0) {
        return finish(win::ERROR_FILE_NOT_FOUND_);
    }
    const std::uintptr_t id = sim::machine().handles.processes.add(ChildProcess{pid, false, 0});
    machine_state_files()[pid] = machine_state;
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

bool elevated_window_closed_at_pause() {
    const char* relaunched = std::getenv(kElevatedInstanceVariable);
    const char* closed = std::getenv(kElevatedWindowClosedVariable);
    return relaunched != nullptr && std::strcmp(relaunched, "1") == 0 && closed != nullptr && std::strcmp(closed, "1") == 0;
}

void prepare_tool_instance(Machine& m) {
    set_relaunch_binary(platform::real_executable());
    const char* machine_state = std::getenv(kMachineStateVariable);
    if (machine_state != nullptr && *machine_state != '\0') leave_machine_state_at_exit(machine_state);
    const char* relaunched = std::getenv(kElevatedInstanceVariable);
    if (relaunched == nullptr || std::strcmp(relaunched, "1") != 0) return;
    m.elevated = m.runas_elevates;
    if (m.elevated_account) {
        // Another account's process: its own HKCU and variables over the system's.
        m.registry.remove_tree(L"HKCU");
        for (const RegistryKey& key : m.elevated_account->current_user_keys) {
            RegistryKey& copy = m.registry.create(std::wstring(key.path()));
            copy.values = key.values;
            copy.open_error = key.open_error;
        }
        m.environment = m.system_environment;
        m.user_environment = m.elevated_account->user_environment;
        for (const EnvironmentVariable& variable : m.user_environment) {
            set_variable(m.environment, variable.name, variable.value);
        }
    }
    std::vector<Fault> kept;
    for (Fault& fault : m.faults) {
        const bool elevation_call = fault.operation == "OpenProcessToken" || fault.operation == "GetTokenInformation" ||
                                    fault.operation == "ShellExecuteExW" || fault.operation == "WaitForSingleObject" ||
                                    fault.operation == "GetExitCodeProcess";
        if (!elevation_call && !fault.first_instance_only) kept.push_back(std::move(fault));
    }
    m.faults = std::move(kept);
}

}  // namespace vq4::sim
