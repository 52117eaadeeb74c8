// The process's environment on real Windows.
#include "platform/environment.h"

#include <windows.h>

#include <vector>

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

}  // namespace vq4::platform
