// The token's elevation and the elevated relaunch on real Windows.
//
// shell32.dll serves only the elevated relaunch, which most runs never reach,
// and loading it at start (with the DLLs it brings) cost more than the whole
// rest of a run under Wine. It is loaded from System32 when the relaunch asks
// for it, once, and kept for the life of the process.
#include "platform/elevation.h"

#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

namespace vq4::platform {

namespace {

struct ShellApi {
    decltype(&ShellExecuteExW) execute = nullptr;
    DWORD error = 0;  // why the call is not available
};

const ShellApi& shell_api() {
    static const ShellApi api = [] {
        ShellApi loaded;
        const HMODULE module = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            loaded.error = GetLastError();
            return loaded;
        }
        // Through the generic function pointer type: a cast between two
        // unrelated function pointer types would warn.
        loaded.execute = reinterpret_cast<decltype(&ShellExecuteExW)>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, "ShellExecuteExW")));
        if (loaded.execute == nullptr) loaded.error = ERROR_PROC_NOT_FOUND;
        return loaded;
    }();
    return api;
}

}  // namespace

std::uint32_t open_process_token(std::uint32_t access, TokenHandle& out) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), access, &token)) return GetLastError();
    out = TokenHandle(reinterpret_cast<std::uintptr_t>(token));
    return 0;
}

std::uint32_t get_token_elevation(const TokenHandle& token, std::uint32_t& elevated) {
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    if (!GetTokenInformation(reinterpret_cast<HANDLE>(token.raw()), TokenElevation, &elevation, sizeof(elevation),
                             &returned)) {
        return GetLastError();
    }
    elevated = elevation.TokenIsElevated;
    return 0;
}

std::uint32_t shell_execute_ex(const std::wstring& verb, const std::wstring& file, const std::wstring& parameters,
                               std::int32_t show, ProcessHandle& process) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = show;
    const ShellApi& api = shell_api();
    if (api.execute == nullptr) return api.error;
    if (!api.execute(&info)) return GetLastError();
    if (info.hProcess != nullptr) process = ProcessHandle(reinterpret_cast<std::uintptr_t>(info.hProcess));
    return 0;
}

std::uint32_t wait_for_single_object(const ProcessHandle& process, std::uint32_t timeout_ms) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(process.raw()), timeout_ms);
}

std::uint32_t get_exit_code_process(const ProcessHandle& process, std::uint32_t& code) {
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process.raw()), &exit_code)) return GetLastError();
    code = exit_code;
    return 0;
}

void release_handle(ProcessTag, std::uintptr_t raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

void release_handle(TokenTag, std::uintptr_t raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

}  // namespace vq4::platform
