#include "interface/interface_path.h"

namespace vq4 {

std::wstring mi03_interface_path;

}  // namespace vq4
