#include "repair/manual_registration.h"

#include "inspect/device_queries.h"
#include "platform/device_changes.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4 {

namespace {

constexpr std::uint32_t kInterfaceWaitMs = 5000;

// Writes DeviceInterfaceGUIDs as the expected GUID alone, and brings an
// existing DeviceInterfaceGUID into line. Returns the first registry error.
std::int32_t write_guid_values(const platform::RegKey& key, const std::wstring& expected_guid) {
    // One string, its NUL and the list's closing NUL: (characters + 2) x 2 bytes.
    const std::int32_t written =
        platform::reg_set_value(key, L"DeviceInterfaceGUIDs", win::REG_MULTI_SZ_, utf16le_bytes(expected_guid, 2));
    if (written != 0) return written;

    // 126 of 128 bytes; any failed read (a longer value included) counts as absent.
    const platform::RegRead single = platform::reg_query_value(key, L"DeviceInterfaceGUID", 126);
    if (single.status != 0) return 0;  // never created here
    if (same_guid(utf16le_text(single.data), expected_guid)) return 0;
    return platform::reg_set_value(key, L"DeviceInterfaceGUID", win::REG_SZ_, utf16le_bytes(expected_guid, 1));
}

}  // namespace

CandidateRepair register_guid_manually(const RepairCandidate& candidate, const std::wstring& expected_guid,
                                       RegistryBackup& backup) {
    platform::DevInfoSet set;
    if (const std::uint32_t error = platform::setupdi_create_device_info_list(set); error != 0) {
        print_status(StatusKind::Fail, L"  -> SetupDiCreateDeviceInfoList failed (code=" + decimal(error) + L").");
        return CandidateRepair::Failed;
    }
    platform::DeviceInfoData device;
    if (const std::uint32_t error = platform::setupdi_open_device_info(set, candidate.instance_id, device); error != 0) {
        print_status(StatusKind::Fail, L"  -> Unable to open the node (code=" + decimal(error) + L").");
        return CandidateRepair::Failed;
    }

    std::int32_t write_error = 0;
    std::uint32_t backup_error = 0;
    {
        platform::RegKey key;
        if (open_node_hardware_key(set, device, win::KEY_READ_ | win::KEY_SET_VALUE_, key) != 0) {
            const std::uint32_t error =
                platform::setupdi_create_dev_reg_key(set, device, win::DICS_FLAG_GLOBAL_, 0, win::DIREG_DEV_, key);
            if (error != 0) {
                print_status(StatusKind::Fail, L"  -> Unable to open the 'Device Parameters' key for writing (code=" +
                                                   decimal(error) + L").");
                return CandidateRepair::Failed;
            }
        }
        // The 'Device Parameters' key of the node (DIREG_DEV).
        backup_error = back_up_values(backup, key,
                                      L"SYSTEM\\CurrentControlSet\\Enum\\" + candidate.instance_id + L"\\Device Parameters",
                                      {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"});
        if (backup_error == 0) write_error = write_guid_values(key, expected_guid);
    }  // the key is closed before anything is reported
    if (backup_error != 0) {
        print_status(StatusKind::Warn,
                     L"  -> Registry backup failed (code=" + decimal(backup_error) + L"): the GUID was not written.");
        return CandidateRepair::Failed;
    }
    print_status(StatusKind::Info, L"  -> Registry backup written: " + backup.path);
    if (write_error != 0) {
        print_status(StatusKind::Fail, L"  -> Writing the GUID to the registry failed (code=" + decimal(write_error) +
                                           L").");
        return CandidateRepair::Failed;
    }
    print_status(StatusKind::Ok, L"  -> GUID " + expected_guid + L" written to 'Device Parameters' (DeviceInterfaceGUIDs).");

    // Restart the node so that WinUSB reads the new GUID.
    bool restarted = false;
    std::uint32_t restart_code = platform::setupdi_set_property_change_params(
        set, device, win::DICS_PROPCHANGE_, win::DICS_FLAG_CONFIGSPECIFIC_, 0);
    if (restart_code == 0) restart_code = platform::setupdi_call_class_installer(win::DIF_PROPERTYCHANGE_, set, device);
    if (restart_code == 0) {
        std::uint32_t flags = 0;
        // A failed read counts as a completed restart.
        const bool asks_restart = platform::setupdi_get_device_install_flags(set, device, flags) == 0 &&
                                  (flags & (win::DI_NEEDRESTART_ | win::DI_NEEDREBOOT_)) != 0;
        restarted = !asks_restart;
    }
    set.reset();

    if (!restarted) {
        const std::wstring detail =
            restart_code != 0 ? L" (code=" + decimal(restart_code) + L")" : L" (Windows asks for a restart)";
        print_status(StatusKind::Warn, L"  -> The interface could not be restarted automatically" + detail +
                                           L". The fix is saved: unplug and replug the Vantro Q4 (or restart the PC), "
                                           L"then re-run this tool.");
        return CandidateRepair::NeedsReplug;
    }

    print_status(StatusKind::Ok, L"  -> Interface MI_03 restarted.");
    if (wait_for_interface(expected_guid, candidate.instance_id, kInterfaceWaitMs)) {
        print_status(StatusKind::Ok, L"  -> Device interface " + expected_guid + L" is now registered on MI_03.");
        return CandidateRepair::Repaired;
    }
    print_status(StatusKind::Warn, L"  -> The GUID is saved but the interface is not visible yet. Unplug and replug the "
                                   L"Vantro Q4, then re-run this tool.");
    return CandidateRepair::NeedsReplug;
}

}  // namespace vq4
