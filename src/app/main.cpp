// The Linux build's entry point (the simulated machine): the host hands the
// arguments over as UTF-8, the tool takes them as UTF-16, as Windows gives
// them to wmain (src/app/wmain.cpp).
#include <string>
#include <vector>

#include "app/console_attribute.h"
#include "platform/system.h"
#include "util/text.h"

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(vq4::utf16_from_utf8(argv[i]));
    }
    int exit_code = 0;
    if (!vq4::platform::platform_startup(exit_code)) {
        return exit_code;
    }
    return vq4::run_keeping_console_attribute(arguments);
}
