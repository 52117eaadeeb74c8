#include <string>
#include <vector>

#include "app/console_attribute.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    int exit_code = 0;
    if (!vq4::platform::platform_startup(exit_code)) {
        return exit_code;
    }
    return vq4::run_keeping_console_attribute(arguments);
}
