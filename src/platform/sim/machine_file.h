// Loading a simulated machine from its JSON machine file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/machine.h"

namespace vq4::sim {

// Parses machine JSON. On failure returns false and sets `error` to one line
// naming the source, the JSON location and what is wrong.
bool parse_machine_json(const std::string& text, const std::string& source_name, Machine& out, std::string& error);

// The largest machine file the loader reads. A capture is kilobytes and the
// benchmark's 10,000 nodes are 4 MB; loading takes a bounded multiple of
// the file's size (docs/machine-file.md), so the cap bounds the memory a
// file from a stranger can make the replay take.
inline constexpr std::uint64_t kMaxMachineFileBytes = 64ull << 20;

// Reads and parses the regular file at `path` (not a folder, device or
// FIFO; at most kMaxMachineFileBytes).
bool load_machine_file(const std::string& path, Machine& out, std::string& error);

// The built-in default machine (machines/default.json, compiled in).
const std::string& default_machine_json();

}  // namespace vq4::sim
