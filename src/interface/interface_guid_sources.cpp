#include "interface/interface_guid_sources.h"

#include "capture/machine_capture.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "sdk/sdk_contract.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4 {

namespace {

ExpectedGuid built_in_default() { return {kDefaultInterfaceGuid, kDefaultGuidSource}; }

}  // namespace

ExpectedGuid expected_interface_guid() {
    // The SDK's folder as COM finds it, in the view of this process (and in
    // an elevated process, as COM finds it there: the machine's registration).
    const SdkRegistration registration = read_sdk_registration(win::KEY_READ_, sdk_lookup_for_this_process());
    if (registration.state != SdkRegistrationState::Found) {
        return built_in_default();
    }
    const std::wstring& library_path = registration.file;
    const std::wstring::size_type separator = library_path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return built_in_default();
    }
    const std::wstring config_path = library_path.substr(0, separator + 1) + kSdkConfigFileName;
    const std::wstring text = platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", 64, config_path);
    capture::profile_string(config_path, L"DriverInterface", L"InterfaceGUID", text);
    Guid guid;
    if (!parse_guid(text, guid)) {
        return built_in_default();
    }
    return {format_guid(guid), config_path};
}

std::vector<std::wstring> read_registered_guids(const platform::RegKey& hardware_key) {
    std::vector<std::wstring> guids;

    const platform::RegRead size = platform::reg_query_value_size(hardware_key, L"DeviceInterfaceGUIDs");
    capture::value_read(hardware_key, L"DeviceInterfaceGUIDs", size);
    if (size.status == 0 && size.size != 0) {
        const platform::RegRead multi = platform::reg_query_value(hardware_key, L"DeviceInterfaceGUIDs", size.size);
        capture::value_read(hardware_key, L"DeviceInterfaceGUIDs", multi);
        if (multi.status == 0) {
            // The read buffer is the data followed by zero bytes: the walk
            // ends at the data's end even without the two closing NULs.
            const std::vector<std::uint8_t>& data = multi.data;
            std::size_t at = 0;
            while (at < data.size()) {
                const std::wstring entry = utf16le_text(data.data() + at, data.size() - at);
                if (entry.empty()) break;  // an empty string ends the list
                guids.push_back(entry);
                at += (entry.size() + 1) * 2;  // past the NUL
            }
        }
    }

    // 126 of the 128 bytes: the last character always stays NUL.
    const platform::RegRead single = platform::reg_query_value(hardware_key, L"DeviceInterfaceGUID", 126);
    capture::value_read(hardware_key, L"DeviceInterfaceGUID", single);
    if (single.status == 0) {
        const std::wstring text = utf16le_text(single.data);
        if (!text.empty()) guids.push_back(text);
    }
    return guids;
}

std::wstring join_guids(const std::vector<std::wstring>& guids) {
    std::wstring joined;
    for (const std::wstring& guid : guids) {
        if (!joined.empty()) joined += L", ";
        joined += guid;
    }
    return joined.empty() ? L"(none)" : joined;
}

}  // namespace vq4
