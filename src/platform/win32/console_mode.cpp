// Whether standard output is a console a person watches.
#include <windows.h>

#include "platform/system.h"

namespace vq4::platform {

bool console_is_interactive() {
    // GetConsoleMode succeeds on a console handle only: a file, a pipe or
    // NUL gives an error.
    DWORD mode = 0;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode) != 0;
}

}  // namespace vq4::platform
