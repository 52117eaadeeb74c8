// The elevated relaunch on the simulated machine: ShellExecuteExW("runas")
// starts this very binary as a real child process on the same machine file,
// marked elevated through the environment.
#pragma once

#include <string>

#include "platform/sim/machine.h"

namespace vq4::sim {

// Set to "1" in the environment of an instance started by the relaunch.
inline constexpr const char* kElevatedInstanceVariable = "VQ4_DIAG_SIM_ELEVATED";

// The elevated instance's console window: the file that receives its
// standard output, and the file whose bytes are what the user types there.
// Unset: its output is kept nowhere and it reads the end of input at once.
inline constexpr const char* kElevatedConsoleVariable = "VQ4_DIAG_ELEVATED_CONSOLE";
inline constexpr const char* kElevatedInputVariable = "VQ4_DIAG_ELEVATED_INPUT";
// Set to "1": the user closes the elevated instance's console window while
// it waits for Enter at its end. Windows then ends it with
// STATUS_CONTROL_C_EXIT (0xC000013A); here it ends by SIGHUP, which the
// relaunch reads back as that code. With "/nopause" it does not wait.
inline constexpr const char* kElevatedWindowClosedVariable = "VQ4_DIAG_ELEVATED_WINDOW_CLOSED";

// True in an instance started by the relaunch whose window the user closes
// (kElevatedWindowClosedVariable).
bool elevated_window_closed_at_pause();

// The file in which the instance started by the relaunch leaves, when it
// ends, the state of the machine that its repair can change; the first
// instance takes it over when its wait sees that instance end.
inline constexpr const char* kMachineStateVariable = "VQ4_DIAG_SIM_MACHINE_STATE";

// The registry and the device nodes' presence, status and interfaces, as a
// file (write), and taken over from such a file (apply; false when there is
// no usable file, and nothing changes).
void write_machine_state(const std::string& path);
bool apply_machine_state(const std::string& path);
// Writes the state to the file kMachineStateVariable named, if any: at the
// process's normal end, and before its window is closed.
void leave_machine_state();
void leave_machine_state_at_exit(const std::string& path);

// Called by the tool on its loaded machine at start-up: the relaunch will
// start this binary. In an instance started by the relaunch the token is
// elevated (unless the machine's `runas_elevates` is false), and the faults
// of the elevation calls (which describe the first instance's trouble) do
// not apply.
void prepare_tool_instance(Machine& m);

// What the relaunch starts. Empty (a process that is not the tool, such as a
// unit test, unless the test names a stand-in): ShellExecuteExW fails with
// ERROR_FILE_NOT_FOUND, so a test never starts itself again.
void set_relaunch_binary(const std::string& path);

}  // namespace vq4::sim
