// The console's own colours around a run.
#pragma once

#include <string>
#include <vector>

namespace vq4 {

// Runs the diagnostic (run_diagnostic) and then gives the console back the
// attribute it had at start: the report sets it to 7 after every coloured
// piece, and a console of other colours would keep that after the tool.
// Where the attribute cannot be read (standard output is not a console),
// nothing is given back. Returns the run's exit code.
int run_keeping_console_attribute(const std::vector<std::wstring>& arguments);

}  // namespace vq4
