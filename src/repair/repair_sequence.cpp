#include "repair/repair_sequence.h"

#include "inspect/device_queries.h"
#include "platform/device_changes.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "repair/device_removal.h"
#include "repair/manual_registration.h"
#include "report/report.h"
#include "report/wait_progress.h"

namespace vq4 {

namespace {

constexpr std::uint32_t kStep1WaitMs = 10000;
constexpr std::uint32_t kStep2WaitMs = 15000;
constexpr int kNodeAttempts = 20;

bool node_present(const std::wstring& instance_id) {
    std::uint32_t dev_inst = 0;
    return platform::cm_locate_devnode(instance_id, win::CM_LOCATE_DEVNODE_NORMAL_, dev_inst) == win::CR_SUCCESS_;
}

// Waits out the time the node may be absent after step 2: up to 20 tries
// 250 ms apart, then one more look that decides.
bool wait_for_node(const std::wstring& instance_id) {
    WaitProgress progress(L"the MI_03 node to come back", kNodeAttempts * kDevicePollMs);
    for (int attempt = 0; attempt < kNodeAttempts; ++attempt) {
        if (node_present(instance_id)) break;
        progress.show(static_cast<std::uint64_t>(attempt) * kDevicePollMs);
        platform::sleep_ms(kDevicePollMs);
    }
    return node_present(instance_id);
}

}  // namespace

CandidateRepair run_repair_sequence(const RepairCandidate& candidate, const std::wstring& expected_guid,
                                    RegistryBackup& backup) {
    print_status(StatusKind::Info, L"Step 1/3: remove the MI_03 interface and re-detect it (Windows re-reads the "
                                   L"firmware descriptor; audio is not interrupted).");
    RemovalResult removal = remove_and_redetect(candidate, false, backup);
    bool repaired = removal == RemovalResult::Redetected &&
                    wait_for_interface(expected_guid, candidate.instance_id, kStep1WaitMs);

    if (!repaired && removal != RemovalResult::RestartPending) {
        print_status(StatusKind::Info, L"Step 2/3: remove the whole Vantro Q4 (all interfaces) and its USB descriptor "
                                       L"cache, then re-detect it (audio is interrupted for a few seconds).");
        removal = remove_and_redetect(candidate, true, backup);
        repaired = removal == RemovalResult::Redetected &&
                   wait_for_interface(expected_guid, candidate.instance_id, kStep2WaitMs);
    }

    // A removal left to the next restart ends the sequence: the node is still
    // there, so no later step can do better before the PC restarts.
    if (removal == RemovalResult::RestartPending) return CandidateRepair::NeedsReplug;

    if (repaired) {
        print_status(StatusKind::Ok,
                     L"  -> The firmware's interface GUID " + expected_guid + L" is registered again on MI_03.");
        return CandidateRepair::Repaired;
    }

    if (!wait_for_node(candidate.instance_id)) {
        print_status(StatusKind::Warn, L"  -> The MI_03 interface has not come back. Unplug the Vantro Q4, wait 5 "
                                       L"seconds, plug it back directly into the PC (no hub), then re-run this tool.");
        return CandidateRepair::NeedsReplug;
    }

    print_status(StatusKind::Info,
                 L"Step 3/3 (last resort): the firmware descriptor still provides no GUID; writing it manually.");
    return register_guid_manually(candidate, expected_guid, backup);
}

}  // namespace vq4
