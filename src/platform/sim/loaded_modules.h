// The libraries the simulated process has loaded, for tests that check what
// FreeLibrary left behind without going through the loading operations.
#pragma once

#include <string>

namespace vq4::sim {

// True while a library of that path is loaded (its reference count is above 0).
bool library_loaded(const std::wstring& path);

}  // namespace vq4::sim
