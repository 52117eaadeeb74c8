// The process token's elevation and the elevated relaunch of the tool.
// Results are the platform's own codes (0 or the GetLastError value; the
// wait gives WaitForSingleObject's own result).
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace vq4::platform {

// OpenProcessToken(GetCurrentProcess(), access, &token).
std::uint32_t open_process_token(std::uint32_t access, TokenHandle& out);

// GetTokenInformation(token, TokenElevation, &value, 4, &returned);
// `elevated` gets TokenIsElevated on success.
std::uint32_t get_token_elevation(const TokenHandle& token, std::uint32_t& elevated);

// GetTokenInformation(GetCurrentProcessToken(), TokenElevation, ...): the
// same answer without opening the token, for the checks that decide what an
// elevated process may trust. `elevated` gets TokenIsElevated on success.
std::uint32_t get_process_elevation(std::uint32_t& elevated);

// ShellExecuteExW with SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI |
// SEE_MASK_NOASYNC, the console window as owner, the verb, file and
// parameters given, no directory and the show state, with COM initialised
// apartment-threaded (OLE1 DDE off) around the call. On success `process`
// owns the started process's handle when the system gave one (it may not).
std::uint32_t shell_execute_ex(const std::wstring& verb, const std::wstring& file, const std::wstring& parameters,
                               std::int32_t show, ProcessHandle& process);

// WaitForSingleObject(process, timeout_ms): WAIT_OBJECT_0 (0) when the
// process has ended, WAIT_TIMEOUT (258), or WAIT_FAILED (0xFFFFFFFF).
std::uint32_t wait_for_single_object(const ProcessHandle& process, std::uint32_t timeout_ms);

// GetExitCodeProcess(process, &code). `code` is left as the caller preset it
// when the call fails.
std::uint32_t get_exit_code_process(const ProcessHandle& process, std::uint32_t& code);

}  // namespace vq4::platform
