// Runs a command line with the standard user's token, as a user who is an
// administrator in Admin Approval Mode starts programs: Wine gives every
// process the full administrator token, so without this the tool would
// always take the elevated path there, and the Wine tests of what an
// ordinary run does (loading the SDK, above all) could not run.
// The linked token of a full token is its filtered, limited twin
// (TOKEN_LINKED_TOKEN; "User Account Control and WMI" / "How User Account
// Control works" on learn.microsoft.com). Standard handles, the current
// directory and the exit code pass through.
// Usage: run_unelevated.exe PROGRAM [ARGUMENTS...]
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The command line after this program's own name, as it was given.
std::wstring rest_of_command_line() {
    const wchar_t* line = GetCommandLineW();
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

struct Handle {
    HANDLE value = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
    }
};

}  // namespace

int wmain() {
    std::wstring command = rest_of_command_line();
    if (command.empty()) {
        std::fputs("usage: run_unelevated.exe PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.value)) {
        std::fprintf(stderr, "run_unelevated: OpenProcessToken failed (%lu)\n", GetLastError());
        return 2;
    }
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    Handle limited;
    if (GetTokenInformation(token.value, TokenElevationType, &type, sizeof type, &size) &&
        type == TokenElevationTypeFull) {
        TOKEN_LINKED_TOKEN linked{};
        if (!GetTokenInformation(token.value, TokenLinkedToken, &linked, sizeof linked, &size)) {
            std::fprintf(stderr, "run_unelevated: TokenLinkedToken failed (%lu)\n", GetLastError());
            return 2;
        }
        limited.value = linked.LinkedToken;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started =
        limited.value != nullptr
            ? CreateProcessAsUserW(limited.value, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &process)
            : CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    if (!started) {
        std::fprintf(stderr, "run_unelevated: the program could not be started (%lu)\n", GetLastError());
        return 2;
    }
    Handle thread, child;
    thread.value = process.hThread;
    child.value = process.hProcess;
    WaitForSingleObject(child.value, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(child.value, &code)) return 2;
    return static_cast<int>(code);
}
