// Step 3 of the repair, the last resort: write the expected GUID into the
// MI_03 node's 'Device Parameters' key by hand, restart the interface and
// wait briefly for its device interface. Needs administrator rights.
#pragma once

#include <string>

#include "repair/registry_backup.h"
#include "repair/repair_candidates.h"

namespace vq4 {

// Repaired when the interface is registered on MI_03 at the end;
// NeedsReplug when the GUID is written but not yet in effect (the restart did
// not happen or the interface did not show up).
// The registry change is never rolled back; the values it overwrites are
// backed up into `backup` first, and nothing is written when that fails.
CandidateRepair register_guid_manually(const RepairCandidate& candidate, const std::wstring& expected_guid,
                                       RegistryBackup& backup);

}  // namespace vq4
