// Steps 1 and 2 of the repair: make the platform forget the MI_03 node (or
// the whole device with its USB descriptor cache) and detect it again, so
// that it reads the firmware's descriptor anew. Needs administrator rights.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repair/repair_candidates.h"

namespace vq4 {

// `whole_device` false: removes the MI_03 node alone and re-detects from the
// composite device. True: removes the composite device and every node below
// it (deepest first), deletes the descriptor cache, re-detects from the hub.
// True when every removal and the re-detection call succeeded; it does not
// wait for the interface.
bool remove_and_redetect(const RepairCandidate& candidate, bool whole_device);

// Appends the instance ids of every descendant of `dev_inst` in post-order
// (a child's own descendants before the child, children in sibling order).
// Ids that cannot be read are left out.
void collect_descendant_ids(std::uint32_t dev_inst, std::vector<std::wstring>& ids);

// "SYSTEM\CurrentControlSet\Control\usbflags\2A7D5E3C" + the low 16 bits of
// the revision as four upper-case hexadecimal digits.
std::wstring descriptor_cache_key(std::uint32_t revision);

// Deletes the descriptor-cache key of that revision under HKLM; one Info
// line when it was there, nothing otherwise.
void delete_descriptor_cache(std::uint32_t revision);

}  // namespace vq4
