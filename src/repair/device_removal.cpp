#include "repair/device_removal.h"

#include <optional>
#include <iterator>

#include "inspect/device_queries.h"
#include "platform/device_changes.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

// MAX_DEVICE_ID_LEN plus the terminator.
constexpr std::uint32_t kDeviceIdCapacity = 201;
constexpr std::uint32_t kPropertyCapacity = 1024;

std::wstring device_id_of(std::uint32_t dev_inst) {
    std::wstring id;
    if (platform::cm_get_device_id(dev_inst, kDeviceIdCapacity, id) != win::CR_SUCCESS_) return {};
    return id;
}

bool is_upper_hex_digit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

// The device's bcdDevice, from the MI_03 node's hardware key; absent when the
// key or a REG_DWORD "RevisionId" is missing.
std::optional<std::uint32_t> read_revision(std::uint32_t mi03) {
    platform::RegKey key;
    if (platform::cm_open_devnode_key(mi03, win::KEY_READ_, 0, win::RegDisposition_OpenExisting_,
                                      win::CM_REGISTRY_HARDWARE_, key) != win::CR_SUCCESS_) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> revision = read_dword_value(key, L"RevisionId");
    key.reset();
    return revision;
}

// The bcdDevice as the hub put it into the node's hardware ids, for a
// registry that holds no RevisionId. Absent when the ids cannot be read or
// name no revision.
std::optional<std::uint32_t> read_revision_from_hardware_ids(const std::wstring& instance_id) {
    platform::DevInfoSet set;
    if (platform::setupdi_create_device_info_list(set) != 0) return std::nullopt;
    platform::DeviceInfoData device;
    if (platform::setupdi_open_device_info(set, instance_id, device) != 0) return std::nullopt;
    const platform::PropertyRead read =
        platform::setupdi_get_device_registry_property(set, device, win::SPDRP_HARDWAREID_, kPropertyCapacity);
    if (read.error != 0) return std::nullopt;
    // REG_MULTI_SZ: NUL-terminated ids, an empty one ends the list. A last odd
    // byte is kept as a character.
    std::wstring id;
    for (std::size_t at = 0; at < read.data.size(); at += 2) {
        const auto unit = static_cast<wchar_t>(
            read.data[at] | (at + 1 < read.data.size() ? read.data[at + 1] << 8 : 0));
        if (unit != L'\0') {
            id.push_back(unit);
            if (at + 2 < read.data.size()) continue;
        }
        if (id.empty()) break;
        if (const auto revision = hardware_id_revision(id)) return revision;
        id.clear();
    }
    return std::nullopt;
}

struct NodeRemoval {
    std::uint32_t error = 0;      // the failing call's error
    bool restart_pending = false;  // the call succeeded but left the removal to the next restart
};

// One global DIF_REMOVE in a set of its own.
NodeRemoval remove_node(const std::wstring& instance_id) {
    platform::DevInfoSet set;
    if (const std::uint32_t error = platform::setupdi_create_device_info_list(set); error != 0) return {error};
    platform::DeviceInfoData device;
    if (const std::uint32_t error = platform::setupdi_open_device_info(set, instance_id, device); error != 0) {
        return {error};
    }
    if (const std::uint32_t error =
            platform::setupdi_set_remove_device_params(set, device, win::DI_REMOVEDEVICE_GLOBAL_, 0);
        error != 0) {
        return {error};
    }
    if (const std::uint32_t error = platform::setupdi_call_class_installer(win::DIF_REMOVE_, set, device); error != 0) {
        return {error};
    }
    // A device that cannot be stopped now (another program holds it open)
    // stays until the next restart: the call succeeds and only the install
    // parameters say so. A read that fails counts as a completed removal.
    std::uint32_t flags = 0;
    if (platform::setupdi_get_device_install_flags(set, device, flags) != 0) flags = 0;
    return {0, (flags & (win::DI_NEEDREBOOT_ | win::DI_NEEDRESTART_)) != 0};
}

std::wstring removal_failure_line(const std::wstring& instance_id, std::uint32_t code) {
    // A 32-bit build on 64-bit Windows is refused the removal outright.
    const std::wstring ending = code == win::ERROR_IN_WOW64_ ? L": use the x64 build of this tool." : L".";
    return L"  -> Removal failed for " + instance_id + L" (code=" + decimal(code) + L")" + ending;
}

}  // namespace

RemovalResult remove_and_redetect(const RepairCandidate& candidate, bool whole_device, RegistryBackup& backup) {
    std::uint32_t mi03 = 0;
    if (platform::cm_locate_devnode(candidate.instance_id, win::CM_LOCATE_DEVNODE_NORMAL_, mi03) != win::CR_SUCCESS_) {
        print_status(StatusKind::Warn, L"  -> MI_03 node not found (device unplugged?).");
        return RemovalResult::Failed;
    }
    std::optional<std::uint32_t> revision = read_revision(mi03);
    // Only step 2 needs the revision; without RevisionId the hardware ids
    // still carry it, and they must be read before the node is removed.
    if (whole_device && !revision) revision = read_revision_from_hardware_ids(candidate.instance_id);

    std::uint32_t target = mi03;
    if (whole_device && platform::cm_get_parent(mi03, target) != win::CR_SUCCESS_) {
        print_status(StatusKind::Warn, L"  -> Unable to find the composite device (parent of MI_03).");
        return RemovalResult::Failed;
    }
    std::wstring target_id;
    const std::uint32_t id_result = platform::cm_get_device_id(target, kDeviceIdCapacity, target_id);
    if (id_result != win::CR_SUCCESS_ || target_id.empty()) {
        // An empty id would make the removal open the root of the device
        // tree. In step 1 the target is the node just located by the
        // candidate's id; in step 2 the composite device cannot be named.
        if (whole_device) {
            print_status(StatusKind::Warn, L"  -> Unable to read the instance id of the composite device (CONFIGRET=" +
                                               decimal(id_result) + L").");
            return RemovalResult::Failed;
        }
        target_id = candidate.instance_id;
    }

    std::uint32_t redetect_from = 0;
    if (platform::cm_get_parent(target, redetect_from) != win::CR_SUCCESS_) {
        print_status(StatusKind::Warn, L"  -> Unable to find the parent node to re-detect from.");
        return RemovalResult::Failed;
    }

    std::vector<std::wstring> removal_list;
    if (whole_device) removal_list = collect_descendant_ids(target);
    removal_list.push_back(target_id);

    for (const std::wstring& id : removal_list) {
        const NodeRemoval removal = remove_node(id);
        if (removal.error != 0) {
            print_status(StatusKind::Warn, removal_failure_line(id, removal.error));
            return RemovalResult::Failed;
        }
        if (removal.restart_pending) {
            // Nothing is gone yet: re-detecting or removing more would only
            // wait for a node that is still there.
            print_status(StatusKind::Warn, L"  -> Windows will finish removing " + id +
                                               L" at the next restart. Restart the PC, then re-run this tool.");
            return RemovalResult::RestartPending;
        }
        print_status(StatusKind::Info, L"  -> Removed: " + id);
    }

    if (whole_device && revision) delete_descriptor_cache(*revision, backup);

    const std::uint32_t result = platform::cm_reenumerate_devnode(redetect_from, win::CM_REENUMERATE_SYNCHRONOUS_);
    if (result != win::CR_SUCCESS_) {
        print_status(StatusKind::Warn, L"  -> Hardware re-detection failed (CONFIGRET=" + decimal(result) +
                                           L"). Unplug and replug the Vantro Q4.");
        return RemovalResult::Failed;
    }
    print_status(StatusKind::Info, L"  -> Hardware re-detected.");
    return RemovalResult::Redetected;
}

std::optional<std::uint32_t> hardware_id_revision(const std::wstring& hardware_id) {
    const std::wstring upper = to_upper_ascii(hardware_id);
    for (std::wstring::size_type at = upper.find(L"REV_"); at != std::wstring::npos; at = upper.find(L"REV_", at + 1)) {
        if (at != 0 && upper[at - 1] != L'&' && upper[at - 1] != L'\\') continue;
        const std::wstring::size_type first = at + 4;
        std::wstring::size_type end = upper.find(L'&', first);
        if (end == std::wstring::npos) end = upper.size();
        if (end == first || end - first > 4) return std::nullopt;
        std::uint32_t value = 0;
        for (std::wstring::size_type i = first; i < end; ++i) {
            const wchar_t c = upper[i];
            if (!is_upper_hex_digit(c)) return std::nullopt;
            value = value * 16 + static_cast<std::uint32_t>(c <= L'9' ? c - L'0' : c - L'A' + 10);
        }
        return value;
    }
    return std::nullopt;
}

std::vector<std::wstring> collect_descendant_ids(std::uint32_t dev_inst) {
    std::vector<std::wstring> ids;
    std::uint32_t child = 0;
    if (platform::cm_get_child(dev_inst, child) != win::CR_SUCCESS_) return ids;
    while (true) {
        std::vector<std::wstring> below = collect_descendant_ids(child);
        ids.insert(ids.end(), std::make_move_iterator(below.begin()), std::make_move_iterator(below.end()));
        std::wstring id = device_id_of(child);
        if (!id.empty()) ids.push_back(std::move(id));
        std::uint32_t next = 0;
        if (platform::cm_get_sibling(child, next) != win::CR_SUCCESS_) return ids;
        child = next;
    }
}

std::wstring descriptor_cache_key(std::uint32_t revision) {
    std::wstring name;
    format_wide(name, 128, L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C%04X",
                static_cast<unsigned int>(revision & 0xFFFFu));
    return name;
}

void delete_descriptor_cache(std::uint32_t revision, RegistryBackup& backup) {
    const std::wstring name = descriptor_cache_key(revision);
    // The key may hold settings an administrator made (IgnoreHWSerNum,
    // ResetOnResume, ...): no backup, no deletion. A key that is not there
    // has nothing to back up, and the deletion below finds nothing either.
    const TreeBackup saved = back_up_key_tree(backup, name);
    if (saved.error != 0) {
        print_status(StatusKind::Warn, L"  -> Registry backup failed (code=" + decimal(saved.error) +
                                           L"): the USB descriptor cache was not deleted.");
        return;
    }
    if (saved.key_exists) print_status(StatusKind::Info, L"  -> Registry backup written: " + backup.path);
    if (platform::reg_delete_tree(platform::RegRoot::LocalMachine, name) != 0) return;
    platform::reg_delete_key(platform::RegRoot::LocalMachine, name);
    print_status(StatusKind::Info, L"  -> USB descriptor cache deleted: HKLM\\" + name);
}

}  // namespace vq4
