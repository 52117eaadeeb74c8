// The token's elevation and the elevated relaunch on real Windows.
//
// shell32.dll and ole32.dll serve only the elevated relaunch, which most runs
// never reach, and loading shell32 at start (with the DLLs it brings) cost
// more than the whole rest of a run under Wine. Neither is imported: both are
// loaded from System32 through system_library (system_library::shell() and
// system_library::com()) when the relaunch asks for them, once, and kept for
// the life of the process.
#include "platform/elevation.h"

#include <windows.h>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

// The calling thread in a single-threaded apartment with OLE1 DDE off, as
// ShellExecuteExW asks (the verb may be served by a shell extension through
// COM), for as long as the owner lives. A thread that COM already set up
// differently keeps its set-up (RPC_E_CHANGED_MODE), and the call is made
// regardless, as it is where ole32 cannot be loaded.
class ComApartment {
public:
    ComApartment() {
        const system_library::ComApi& com = system_library::com();
        if (com.initialize.function == nullptr || com.uninitialize.function == nullptr) return;
        // S_OK and S_FALSE (already initialised alike) each take one CoUninitialize.
        initialised_ = SUCCEEDED(com.initialize.function(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    }
    ~ComApartment() {
        if (initialised_) system_library::com().uninitialize.function();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_ = false;
};

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

std::uint32_t get_process_elevation(std::uint32_t& elevated) {
    // GetCurrentProcessToken()'s pseudo-handle (Windows 8 and later), written
    // out: older headers lack the inline function. It needs no closing.
    const HANDLE token = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));
    TOKEN_ELEVATION value{};
    DWORD returned = 0;
    if (!GetTokenInformation(token, TokenElevation, &value, sizeof value, &returned)) return GetLastError();
    elevated = value.TokenIsElevated;
    return 0;
}

std::uint32_t shell_execute_ex(const std::wstring& verb, const std::wstring& file, const std::wstring& parameters,
                               std::int32_t show, ProcessHandle& process) {
    const system_library::ShellApi& api = system_library::shell();
    if (api.execute.function == nullptr) return api.execute.error;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // The process handle to wait on; errors come back as codes, never as the
    // shell's message boxes; and the call returns only once the launch is
    // done, since this thread has no message loop to finish it later.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    // The consent prompt is owned by the console window: without an owner it
    // may show only as a flashing taskbar button. Null where the process has
    // no console.
    info.hwnd = GetConsoleWindow();
    info.lpVerb = verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = show;
    BOOL started = FALSE;
    DWORD error = 0;
    {
        const ComApartment apartment;
        started = api.execute.function(&info);
        if (!started) error = GetLastError();  // before CoUninitialize can change it
    }
    if (!started) return error;
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
