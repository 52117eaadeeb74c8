// Repairs one candidate by escalating steps and stops at the first that
// works: re-detect the interface, re-detect the whole device without its
// descriptor cache, write the GUID by hand.
#pragma once

#include <string>

#include "repair/registry_backup.h"
#include "repair/repair_candidates.h"

namespace vq4 {

// Repaired, or why not: NeedsReplug when the user must unplug and replug the
// device (or restart the PC). What the steps delete or overwrite in the
// registry is backed up into `backup`.
CandidateRepair run_repair_sequence(const RepairCandidate& candidate, const std::wstring& expected_guid,
                                    RegistryBackup& backup);

}  // namespace vq4
