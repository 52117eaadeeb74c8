// The simulated machine's whole state as a machine file: every device node
// (also those removed whose hardware is still attached), every registry key
// and value, every file, process, service and SDK library, as they are now.
// Loading the text gives back the same state (a machine file is its own
// fixed point: write(load(write(m))) == write(m)). Unlike a capture, it holds
// everything, not only what a run read.
#pragma once

#include <string>

#include "platform/sim/machine.h"

namespace vq4::sim {

// The machine file text (JSON, UTF-8). Scripted answers already given (WinUSB
// transfers, the SDK's counts) are left out, so that a run on the file goes
// on where the machine stands. The "interrupt" setting is not written: it
// belongs to the run that had it.
std::string machine_file_text(const Machine& m);

}  // namespace vq4::sim
