// The process's environment on real Windows.
#include "platform/environment.h"

#include <windows.h>

#include <vector>

#include "platform/win32/system_library.h"

namespace vq4::platform {

std::uint32_t expand_environment_strings(const std::wstring& text, std::wstring& out) {
    // The size asked for first, with the terminating NUL; should a variable
    // grow in between, the call says so and is made again.
    DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (size == 0) return GetLastError();
        std::vector<wchar_t> buffer(size, L'\0');
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), size);
        if (needed == 0) return GetLastError();
        if (needed <= size) {
            out.assign(buffer.data());
            return 0;
        }
        size = needed;
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

std::uint32_t expand_system_environment_strings(const std::wstring& text, std::wstring& out) {
    const auto& expand = system_library::user_environment().expand_for_user;
    if (expand.function == nullptr) return expand.error;
    // The function gives no size: a buffer twice as large each time it is
    // too small (ERROR_INSUFFICIENT_BUFFER), up to the 32767 characters of an
    // environment block.
    for (DWORD size = 1024; size <= 65536; size *= 2) {
        std::vector<wchar_t> buffer(size, L'\0');
        if (expand.function(nullptr, text.c_str(), buffer.data(), size)) {
            out.assign(buffer.data());
            return 0;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace vq4::platform
