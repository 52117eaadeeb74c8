// The elevated relaunch through the Win32 layer under Wine, now that
// shell32.dll is loaded on demand rather than imported: started without
// arguments, the probe relaunches itself with the verb "runas" and the
// parameter "child" the way the repair section does, waits for it and
// prints what it saw; started as "child" it exits with 42.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/run_driver.h"
#include "platform/elevation.h"

int main(int argc, char** argv) {
    using namespace vq4;
    if (argc > 1 && std::strcmp(argv[1], "child") == 0) return 42;
    const std::wstring self = exe_directory() + L"\\vq4_relaunch_probe.exe";
    platform::ProcessHandle process;
    const std::uint32_t started = platform::shell_execute_ex(L"runas", self, L"child", 1, process);
    std::printf("ShellExecuteExW: %lu\n", static_cast<unsigned long>(started));
    if (started != 0 || !process.valid()) return 1;
    std::printf("WaitForSingleObject: %lu\n",
                static_cast<unsigned long>(platform::wait_for_single_object(process, 0xFFFFFFFFu)));
    std::uint32_t code = 0xFFFFFFFFu;
    const std::uint32_t read = platform::get_exit_code_process(process, code);
    std::printf("GetExitCodeProcess: %lu, exit code %lu\n", static_cast<unsigned long>(read),
                static_cast<unsigned long>(code));
    return 0;
}
