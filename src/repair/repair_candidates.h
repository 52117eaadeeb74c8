// The MI_03 nodes that need the repair (WinUSB bound, the GUID the SDK looks
// for not registered), and the test by which the repair steps judge success:
// a present device interface of the expected GUID on the node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/guid.h"

namespace vq4 {

// How the repair of one candidate ended.
enum class CandidateRepair {
    Repaired,
    NeedsReplug,  // a change waits for the device to be replugged or the PC restarted
    Failed,       // a line says why
};

struct RepairCandidate {
    std::wstring instance_id;                // as the platform returns it
    std::vector<std::wstring> current_guids;  // registered texts when examined; for reporting only
};

// Every present WinUSB-bound MI_03 node of the device on which no registered
// GUID equals `expected_guid` (compared as values), in enumeration order.
std::vector<RepairCandidate> find_repair_candidates(const std::wstring& expected_guid);

// Tests every 250 ms (counted pauses, no clock) until the interface is there
// or `limit_ms` has passed: at most limit/250 + 1 tests. False at once when
// `expected_guid` does not parse.
bool wait_for_interface(const std::wstring& expected_guid, const std::wstring& instance_id, std::uint32_t limit_ms);

}  // namespace vq4
