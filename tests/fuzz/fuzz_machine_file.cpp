// The machine-file loader over any bytes: it never throws, a refusal is one
// line naming the problem, and an accepted machine is a consistent device
// tree (unique instance ids of 1 to 199 characters, each parent present,
// no cycle of parents), whose registry keeps Windows' limits on key names
// and depth.
#include <set>
#include <string>

#include "fuzz_support.h"
#include "platform/sim/machine_file.h"
#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::Machine m;
    std::string error;
    bool ok = false;
    try {
        ok = sim::parse_machine_json(text, "fuzz.json", m, error);
    } catch (...) {
        fuzz::fail("the loader let an exception out");
    }
    if (!ok) {
        fuzz::check(!error.empty() && error.find('\n') == std::string::npos, "a refusal is one non-empty line");
        fuzz::check(error.rfind("machine file 'fuzz.json': ", 0) == 0, "a refusal names the file");
        return 0;
    }
    std::set<std::wstring> ids;
    std::set<std::uint32_t> handles;
    for (const sim::Device& d : m.devices) {
        fuzz::check(!d.description.instance_id.empty() && d.description.instance_id.size() < 200,
                    "instance id of 1 to 199 characters");
        fuzz::check(ids.insert(to_upper_ascii(d.description.instance_id)).second, "instance ids are unique");
        fuzz::check(handles.insert(d.state.dev_inst).second, "device-node handles are unique");
    }
    for (const sim::Device& d : m.devices) {
        const sim::Device* at = &d;
        for (std::size_t steps = 0; !at->description.parent_id.empty(); ++steps) {
            fuzz::check(steps <= m.devices.size(), "the parents of a node end at a root");
            at = m.find_device(at->description.parent_id);
            fuzz::check(at != nullptr, "a parent is a device of the machine");
            if (d.description.present) fuzz::check(at->description.present, "a present node has present parents");
        }
    }
    // Windows' registry limits hold for every key the file made.
    for (const sim::RegistryKey& key : m.registry.keys) {
        const std::wstring_view path = key.path();
        std::size_t depth = 0, name = 0;
        for (const wchar_t c : path) {
            if (c == L'\\') {
                ++depth;
                name = 0;
            } else {
                fuzz::check(++name <= sim::kMaxRegistryKeyNameLength, "a key name has at most 255 characters");
            }
        }
        fuzz::check(depth <= sim::kMaxRegistryKeyDepth, "a key is at most 512 levels deep");
    }
    return 0;
}
