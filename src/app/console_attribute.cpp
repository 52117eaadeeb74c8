#include "app/console_attribute.h"

#include <cstdint>

#include "app/run_driver.h"
#include "platform/system.h"

namespace vq4 {

int run_keeping_console_attribute(const std::vector<std::wstring>& arguments) {
    std::uint16_t own_attribute = 0;
    const bool known = platform::console_get_attribute(own_attribute) == 0;
    const int exit_code = run_diagnostic(arguments);
    if (known) platform::console_set_attribute(own_attribute);
    return exit_code;
}

}  // namespace vq4
