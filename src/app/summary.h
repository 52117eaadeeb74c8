#pragma once

#include <string>

namespace vq4 {

// Prints the counts line and the verdict line under `title`; the verdict line
// is itself counted.
void print_summary(const std::wstring& title);

}  // namespace vq4
