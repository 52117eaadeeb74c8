// The Windows entry point. wmain receives the command line as UTF-16 (MinGW
// needs -municode for it; MSVC takes wmain as it is). main(int, char**)
// would get it converted to the ANSI code page, which replaces what the code
// page lacks by look-alikes or '?' (the GetCommandLineA page): a folder such
// as D:\Narzędzia would no longer name itself, and a full-width quote
// U+FF02 in a folder name would become a real '"' that splits the argument.
#include <string>
#include <vector>

#include "app/console_attribute.h"
#include "platform/system.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    int exit_code = 0;
    if (!vq4::platform::platform_startup(exit_code)) {
        return exit_code;
    }
    return vq4::run_keeping_console_attribute(arguments);
}
