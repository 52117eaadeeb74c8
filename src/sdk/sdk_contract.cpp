#include "sdk/sdk_contract.h"

#include <cstring>

#include "capture/machine_capture.h"
#include "platform/elevation.h"
#include "platform/environment.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4 {

static_assert(kSdkNameOffset + kSdkNameUnits * 2 == kSdkVendorIdOffset);
static_assert(kSdkProductIdOffset + 2 == kSdkLinkOffset);
static_assert(kSdkLinkOffset + kSdkLinkUnits * 2 == kSdkSerialOffset);
static_assert(kSdkSerialOffset + kSdkSerialUnits * 2 == kSdkFirmwareOffset);
static_assert(kSdkFirmwareOffset + 2 == kSdkDeviceInfoSize && sizeof(SdkDeviceInfo) == kSdkDeviceInfoSize);

namespace {

std::uint16_t read16(const SdkDeviceInfo& record, std::size_t offset) {
    return static_cast<std::uint16_t>(record.bytes[offset] | (record.bytes[offset + 1] << 8));
}

// The text with the references that WOW64 gives other values in a 32-bit
// process renamed to the variables holding those values. References are
// found as the expansion finds them: from a '%' to the next one.
std::wstring as_a_32bit_process_expands_it(const std::wstring& text) {
    std::wstring renamed;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t open = text.find(L'%', at);
        const std::size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            renamed.append(text, at, std::wstring::npos);
            break;
        }
        std::wstring name = text.substr(open + 1, close - open - 1);
        if (equals_nocase(name, L"ProgramFiles")) name = L"ProgramFiles(x86)";
        if (equals_nocase(name, L"CommonProgramFiles")) name = L"CommonProgramFiles(x86)";
        renamed.append(text, at, open - at);
        renamed += L'%' + name + L'%';
        at = close + 1;
    }
    return renamed;
}

template <class Function>
Function resolve(const platform::Library& library, const char* name) {
    const platform::ProcAddress found = platform::get_proc_address(library, name);
    if (found.address == nullptr) capture::sdk_entry_point_missing(name);
    return reinterpret_cast<Function>(found.address);
}

}  // namespace

std::wstring registered_sdk_file(const std::wstring& text, std::uint32_t type, bool view_32bit, SdkLookup lookup) {
    if (type != win::REG_EXPAND_SZ_) return text;
    const std::wstring references = view_32bit ? as_a_32bit_process_expands_it(text) : text;
    std::wstring expanded;
    capture::environment_expanded(references);
    const std::uint32_t error = lookup == SdkLookup::MachineOnly
                                    ? platform::expand_system_environment_strings(references, expanded)
                                    : platform::expand_environment_strings(references, expanded);
    if (error != 0 || expanded.size() >= 260) return {};
    return expanded;
}

SdkLookup sdk_lookup_for_this_process() {
    std::uint32_t elevated = 1;
    if (platform::get_process_elevation(elevated) != 0) return SdkLookup::MachineOnly;
    return elevated != 0 ? SdkLookup::MachineOnly : SdkLookup::User;
}

SdkRegistration read_sdk_registration(std::uint32_t access, SdkLookup lookup) {
    // COM itself ignores the user's classes in an elevated process; HKCR
    // would give them priority.
    const platform::RegRoot root =
        lookup == SdkLookup::MachineOnly ? platform::RegRoot::LocalMachine : platform::RegRoot::ClassesRoot;
    const std::wstring subkey =
        lookup == SdkLookup::MachineOnly ? L"SOFTWARE\\Classes\\" + std::wstring(kSdkRegistrationKey) : kSdkRegistrationKey;
    SdkRegistration registration;
    platform::RegRead value;
    {
        platform::RegKey key;
        const std::int32_t opened = platform::reg_open_key(root, subkey, access, key);
        capture::key_opened(key, capture::key_path(root, subkey, access), opened);
        if (opened != 0) return registration;
        value = platform::reg_query_value(key, L"", 520);
        capture::value_read(key, L"", value);
    }
    // At most 520 bytes came: the text is at most 260 characters.
    const std::wstring path = value.status == 0 ? utf16le_text(value.data) : std::wstring();
    if (path.empty()) {
        registration.state = SdkRegistrationState::Unreadable;
        return registration;
    }
    registration.file = registered_sdk_file(path, value.type, (access & win::KEY_WOW64_32KEY_) != 0, lookup);
    if (registration.file.empty()) {
        registration.state = SdkRegistrationState::Unreadable;
        return registration;
    }
    registration.state = SdkRegistrationState::Found;
    registration.path = path;
    return registration;
}

SdkDeviceInfo prepared_sdk_device_info() {
    SdkDeviceInfo record;
    std::memset(record.bytes, 0, sizeof record.bytes);
    record.bytes[0] = static_cast<std::uint8_t>(kSdkDeviceInfoSize & 0xFF);
    record.bytes[1] = static_cast<std::uint8_t>(kSdkDeviceInfoSize >> 8);
    return record;
}

SdkDeviceFields decode_sdk_device_info(const SdkDeviceInfo& record) {
    SdkDeviceFields fields;
    fields.name = utf16le_text(record.bytes + kSdkNameOffset, kSdkNameUnits * 2);
    fields.vendor_id = read16(record, kSdkVendorIdOffset);
    fields.product_id = read16(record, kSdkProductIdOffset);
    fields.symbolic_link = utf16le_text(record.bytes + kSdkLinkOffset, kSdkLinkUnits * 2);
    fields.serial_number = utf16le_text(record.bytes + kSdkSerialOffset, kSdkSerialUnits * 2);
    fields.firmware_version = read16(record, kSdkFirmwareOffset);
    return fields;
}

SdkEntryPoints resolve_sdk_entry_points(const platform::Library& library) {
    SdkEntryPoints out;
    out.init = resolve<QtvInit>(library, "QTV_Init");
    out.exit = resolve<QtvExit>(library, "QTV_Exit");
    out.get_sdk_version = resolve<QtvGetSdkVersion>(library, "QTV_Get_SDK_Version");
    out.get_device_count = resolve<QtvGetDeviceCount>(library, "QTV_GetDeviceCount");
    out.get_device_info = resolve<QtvGetDeviceInfo>(library, "QTV_GetDeviceInfo");
    out.is_device_changed = resolve<QtvIsDeviceChanged>(library, "QTV_IsDeviceChanged");
    out.complete = out.init != nullptr && out.exit != nullptr && out.get_sdk_version != nullptr &&
                   out.get_device_count != nullptr && out.get_device_info != nullptr;
    return out;
}

}  // namespace vq4
