// Loading a simulated machine from its JSON machine file.
#pragma once

#include <string>

#include "platform/sim/machine.h"

namespace vq4::sim {

// Parses machine JSON. On failure returns false and sets `error` to one line
// naming the source, the JSON location and what is wrong.
bool parse_machine_json(const std::string& text, const std::string& source_name, Machine& out, std::string& error);

bool load_machine_file(const std::string& path, Machine& out, std::string& error);

// The built-in default machine (machines/default.json, compiled in).
const std::string& default_machine_json();

}  // namespace vq4::sim
