#pragma once

#include <string>

namespace vq4 {

// Device path of the usable MI_03 device interface, set by section 3 as soon
// as one is found and read by section 5's follow-up lock test; empty when
// section 3 found none.
extern std::wstring mi03_interface_path;

}  // namespace vq4
