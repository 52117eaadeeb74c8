// The process's environment variables (ExpandEnvironmentStringsW) and the
// system's (ExpandEnvironmentStringsForUserW).
#pragma once

#include <cstdint>
#include <string>

namespace vq4::platform {

// ExpandEnvironmentStringsW(text) into a buffer of the size it asks for:
// each %name% whose name is a variable of the process's environment (letter
// case ignored) is replaced by the variable's value, which is not expanded
// again; the %name% of an unknown name, and a '%' without a closing one, stay
// as they are. Returns 0 with the text in `out`, or the GetLastError value.
std::uint32_t expand_environment_strings(const std::wstring& text, std::wstring& out);

// ExpandEnvironmentStringsForUserW(NULL, text, ...) (userenv.dll, loaded from
// System32): the same with the system's variables only, none of the user's
// (HKCU\Environment), which any program of the user can change. Returns 0
// with the text in `out`, or the GetLastError value (ERROR_PROC_NOT_FOUND 127
// where userenv lacks the function).
std::uint32_t expand_system_environment_strings(const std::wstring& text, std::wstring& out);

}  // namespace vq4::platform
