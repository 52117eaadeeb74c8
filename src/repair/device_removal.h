// Steps 1 and 2 of the repair: make the platform forget the MI_03 node (or
// the whole device with its USB descriptor cache) and detect it again, so
// that it reads the firmware's descriptor anew. Needs administrator rights.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "repair/registry_backup.h"
#include "repair/repair_candidates.h"

namespace vq4 {

enum class RemovalResult {
    Redetected,      // every node removed, the re-detection call succeeded
    Failed,          // a line says why; nothing more was attempted
    RestartPending,  // Windows left a removal to the next restart: the user must act
};

// `whole_device` false: removes the MI_03 node alone and re-detects from the
// composite device. True: removes the composite device and every node below
// it (deepest first), deletes the descriptor cache, re-detects from the hub.
// It does not wait for the interface. The cache is backed up into `backup`
// before it is deleted.
RemovalResult remove_and_redetect(const RepairCandidate& candidate, bool whole_device, RegistryBackup& backup);

// The revision in a hardware id such as "USB\VID_2A7D&PID_5E3C&REV_0102&MI_03":
// one to four hexadecimal digits after "REV_" (any letter case) at the start
// of a part, up to the next '&' or the end. Absent when there is no such part.
std::optional<std::uint32_t> hardware_id_revision(const std::wstring& hardware_id);

// The instance ids of every descendant of `dev_inst` in post-order
// (a child's own descendants before the child, children in sibling order).
// Ids that cannot be read are left out.
std::vector<std::wstring> collect_descendant_ids(std::uint32_t dev_inst);

// "SYSTEM\CurrentControlSet\Control\usbflags\2A7D5E3C" + the low 16 bits of
// the revision as four upper-case hexadecimal digits.
std::wstring descriptor_cache_key(std::uint32_t revision);

// Deletes the descriptor-cache key of that revision under HKLM; one Info
// line when it was there, nothing otherwise. The key with its subkeys is
// backed up first (an Info line names the file); when that fails a Warn line
// says so and the key is kept.
void delete_descriptor_cache(std::uint32_t revision, RegistryBackup& backup);

}  // namespace vq4
