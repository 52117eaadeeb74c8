// The simulated SDK library. By default it behaves like the real thing: it
// reads the interface GUID from its configuration file (or uses its built-in
// default) and sees one device per present device interface of that GUID
// that no other process holds open; the machine file's "sdk" entry changes
// what it answers.
#include "platform/sim/sdk_double.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/sim/loaded_modules.h"
#include "platform/win_constants.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

constexpr const wchar_t* kConfigFile = L"vxlinkapi_x64.dll.config.ini";
constexpr const wchar_t* kBuiltInGuid = L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";

// The device record QTV_GetDeviceInfo fills: byte offsets of its fields,
// UTF-16 text fields with their length in units, little-endian numbers.
constexpr std::uint32_t kRecordSize = 1600;
constexpr std::size_t kRecordSizeField = 0;  // the caller's record size, 32 bits
constexpr std::size_t kRecordName = 4;
constexpr std::size_t kRecordNameUnits = 260;
constexpr std::size_t kRecordVendorId = 524;
constexpr std::size_t kRecordProductId = 526;
constexpr std::size_t kRecordSymbolicLink = 528;
constexpr std::size_t kRecordSymbolicLinkUnits = 260;
constexpr std::size_t kRecordSerialNumber = 1048;
constexpr std::size_t kRecordSerialNumberUnits = 275;
constexpr std::size_t kRecordFirmwareVersion = 1598;
static_assert(kRecordName + 2 * kRecordNameUnits == kRecordVendorId);
static_assert(kRecordSymbolicLink + 2 * kRecordSymbolicLinkUnits == kRecordSerialNumber);
static_assert(kRecordSerialNumber + 2 * kRecordSerialNumberUnits == kRecordFirmwareVersion);
static_assert(kRecordFirmwareVersion + 2 == kRecordSize);

// Result codes of the simulated SDK (its own choice, as any SDK's).
constexpr std::int32_t kNotInitialised = -1;
constexpr std::int32_t kNoSuchDevice = -2;
constexpr std::int32_t kBadRecordSize = -3;
constexpr std::int32_t kCompanionNotFound = -22;   // its companion did not load
constexpr std::int32_t kCompanionElsewhere = -23;  // the companion came from another folder than its own

std::map<std::uintptr_t, LoadedModule>& modules() { return machine().handles.modules.open; }

// The SDK module whose entry points act: the one loaded last and still loaded.
LoadedModule* active_module() {
    const std::uintptr_t active = machine().handles.active_sdk;
    return active == 0 ? nullptr : machine().handles.modules.find(active);
}

// The SDK's own LoadLibraryW and FreeLibrary, traced apart from the tool's.
std::uint32_t sdk_load_library(const std::wstring& name, std::uintptr_t& handle) {
    const auto injected = enter_call("LoadLibraryW from the SDK", narrow(name));
    const std::uint32_t error = injected ? *injected : load_by_name(name, handle);
    return finish(error);
}

void sdk_free_library(std::uintptr_t handle) {
    const auto found = modules().find(handle);
    enter_call("FreeLibrary from the SDK", found == modules().end() ? std::string("<invalid>") : narrow(found->second.path));
    release_module(handle);
}

// ---- What the simulated SDK sees of the machine ----

std::uint16_t hex_field(const std::wstring& id, const std::wstring& tag) {
    const std::wstring upper = to_upper_ascii(id);
    const auto at = upper.find(tag);
    if (at == std::wstring::npos) return 0;
    std::uint32_t value = 0;
    for (std::size_t i = at + tag.size(); i < upper.size() && i < at + tag.size() + 4; ++i) {
        const wchar_t c = upper[i];
        const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
        if (digit < 0) break;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

std::uint16_t revision_of(const std::wstring& instance_id) {
    const RegistryKey* key = machine().registry.find(hardware_key_path(instance_id));
    if (key == nullptr) return 0;
    for (const RegistryValue& value : key->values) {
        if (equals_nocase(value.name, L"RevisionId") && value.type == win::REG_DWORD_ && value.data.size() == 4) {
            return static_cast<std::uint16_t>(value.data[0] | (value.data[1] << 8));
        }
    }
    return 0;
}

// An interface's GUID text parsed once: the SDK polls up to 100 times and
// every poll looks at every interface of the machine.
bool interface_guid(const std::wstring& text, Guid& out) {
    static std::unordered_map<std::wstring, std::optional<Guid>> parsed;
    const auto [entry, added] = parsed.try_emplace(text);
    if (added) {
        Guid guid;
        if (parse_guid(text, guid)) entry->second = guid;
    }
    if (!entry->second) return false;
    out = *entry->second;
    return true;
}

// One record per present device interface of the SDK's GUID that no other
// process holds open: what the SDK can open, it finds.
std::vector<SdkDeviceRecordSetup> records_from_machine(const std::wstring& guid_text) {
    std::vector<SdkDeviceRecordSetup> records;
    Guid wanted;
    if (!parse_guid(guid_text, wanted)) return records;
    for (const Device& device : machine().devices) {
        if (!device.description.present) continue;
        for (const DeviceInterfaceRecord& iface : device.description.interfaces) {
            Guid guid;
            if (!interface_guid(iface.guid, guid) || !(guid == wanted) || iface.held_by_other_process) continue;
            SdkDeviceRecordSetup record;
            const Device* parent =
                device.description.parent_id.empty() ? nullptr : machine().find_device(device.description.parent_id);
            if (parent != nullptr && parent->description.friendly_name) {
                record.name = *parent->description.friendly_name;
            } else if (device.description.friendly_name) {
                record.name = *device.description.friendly_name;
            } else if (device.description.device_desc) {
                record.name = *device.description.device_desc;
            }
            record.vendor_id = hex_field(device.description.instance_id, L"VID_");
            record.product_id = hex_field(device.description.instance_id, L"PID_");
            record.symbolic_link = iface.path;
            // A USB serial number is the last part of the device's own instance id.
            if (parent != nullptr && contains_nocase(parent->description.instance_id, L"VID_")) {
                const std::wstring serial =
                    parent->description.instance_id.substr(parent->description.instance_id.rfind(L'\\') + 1);
                if (serial.find(L'&') == std::wstring::npos) record.serial_number = serial;
            }
            record.firmware_version = revision_of(device.description.instance_id);
            records.push_back(std::move(record));
        }
    }
    return records;
}

bool detection_done(const SdkLibrary& library, const SdkState& state) {
    return state.initialised && machine().virtual_clock_ms - state.init_clock_ms >= library.detection_delay_ms;
}

std::vector<SdkDeviceRecordSetup> visible_records(const SdkLibrary& library, const SdkState& state) {
    if (!detection_done(library, state)) return {};
    return library.devices ? *library.devices : records_from_machine(state.guid);
}

// A scripted answer: the one for the next call, the last one repeating.
std::int32_t next_answer(const std::vector<std::int32_t>& answers, std::size_t calls) {
    return answers[std::min(calls, answers.size() - 1)];
}

// The library's description as the machine holds it, to count its scripted answers.
SdkLibrary& library_record(const SdkLibrary& library) {
    return machine().sdk_libraries[static_cast<std::size_t>(&library - machine().sdk_libraries.data())];
}

std::int32_t visible_count(const SdkLibrary& library, const SdkState& state) {
    // Scripted counts are what each call reported, whatever the detection's delay.
    if (!library.device_counts.empty()) return next_answer(library.device_counts, library.device_count_calls);
    if (!detection_done(library, state)) return 0;
    if (library.device_count) return *library.device_count;
    return static_cast<std::int32_t>(visible_records(library, state).size());
}

void put_text(std::uint8_t* record, std::size_t offset, std::size_t units, const std::wstring& text) {
    // Text that fills its field is written without a terminator, as a
    // library may do; shorter text gets its NUL.
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = i < text.size() ? static_cast<std::uint32_t>(text[i]) & 0xFFFF : 0;
        record[offset + 2 * i] = static_cast<std::uint8_t>(unit);
        record[offset + 2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
        if (i >= text.size()) break;
    }
}

void put16(std::uint8_t* record, std::size_t offset, std::uint16_t value) {
    record[offset] = static_cast<std::uint8_t>(value);
    record[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// ---- The simulated entry points (the SDK's signatures) ----

// Common start of every entry point: the trace entry, an injected result,
// and the module and description it acts on (null when none is loaded).
struct Call {
    std::optional<std::uint32_t> injected;
    LoadedModule* module = nullptr;
    const SdkLibrary* library = nullptr;
};

Call begin(const char* name, const std::string& arguments) {
    Call call;
    call.injected = enter_call(name, arguments);
    call.module = active_module();
    call.library = call.module == nullptr ? nullptr : sdk_description(call.module->path);
    if (call.library == nullptr) call.module = nullptr;
    return call;
}

std::int32_t qtv_init(std::uint32_t options, std::intptr_t first, std::intptr_t second) {
    const Call call = begin("QTV_Init", std::to_string(options) + ", " + std::to_string(first) + ", " +
                                            std::to_string(second));
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr) return finish(kNotInitialised);
    SdkState& state = call.module->sdk;
    if (call.library->loads_companion_by_name && state.companion == 0) {
        std::uintptr_t companion = 0;
        if (sdk_load_library(kSdkCompanion, companion) != 0) return finish(kCompanionNotFound);
        if (!same_windows_path(folder_of(modules()[companion].path), folder_of(call.module->path))) {
            sdk_free_library(companion);
            return finish(kCompanionElsewhere);
        }
        state.companion = companion;
    }
    if (call.library->init_result != 0) {
        if (state.companion != 0) sdk_free_library(std::exchange(state.companion, 0));
        return finish(call.library->init_result);
    }
    state.initialised = true;
    state.init_clock_ms = machine().virtual_clock_ms;
    state.last_count = 0;
    // The SDK reads the interface GUID from its configuration file.
    const std::wstring configured = platform::get_private_profile_string(
        L"DriverInterface", L"InterfaceGUID", L"", 64, folder_of(call.module->path) + kConfigFile);
    Guid parsed;
    state.guid = parse_guid(configured, parsed) ? configured : std::wstring(kBuiltInGuid);
    return finish(0);
}

void qtv_exit() {
    const Call call = begin("QTV_Exit", "");
    if (call.module != nullptr) {
        call.module->sdk.initialised = false;
        if (call.module->sdk.companion != 0) sdk_free_library(std::exchange(call.module->sdk.companion, 0));
    }
    record_result(0);
}

std::int32_t qtv_get_sdk_version(std::uint16_t* version) {
    const Call call = begin("QTV_Get_SDK_Version", "");
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised || version == nullptr) return finish(kNotInitialised);
    *version = call.library->version;
    return finish(0);
}

std::int32_t qtv_get_device_count(std::int32_t* count) {
    const Call call = begin("QTV_GetDeviceCount", "");
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised || count == nullptr) return finish(kNotInitialised);
    *count = visible_count(*call.library, call.module->sdk);
    call.module->sdk.last_count = *count;
    if (!call.library->device_counts.empty()) ++library_record(*call.library).device_count_calls;
    return finish(0);
}

std::int32_t qtv_get_device_info(std::int32_t index, void* record) {
    const Call call = begin("QTV_GetDeviceInfo", std::to_string(index));
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised || record == nullptr) return finish(kNotInitialised);
    auto* bytes = static_cast<std::uint8_t*>(record);
    const std::uint8_t* size_field = bytes + kRecordSizeField;
    const std::uint32_t size = size_field[0] | (size_field[1] << 8) | (size_field[2] << 16) |
                               (static_cast<std::uint32_t>(size_field[3]) << 24);
    if (size != kRecordSize) return finish(kBadRecordSize);
    const std::vector<SdkDeviceRecordSetup> records = visible_records(*call.library, call.module->sdk);
    if (index < 0 || static_cast<std::size_t>(index) >= records.size()) return finish(kNoSuchDevice);
    const SdkDeviceRecordSetup& device = records[static_cast<std::size_t>(index)];
    if (device.result != 0) return finish(device.result);
    put_text(bytes, kRecordName, kRecordNameUnits, device.name);
    put16(bytes, kRecordVendorId, device.vendor_id);
    put16(bytes, kRecordProductId, device.product_id);
    put_text(bytes, kRecordSymbolicLink, kRecordSymbolicLinkUnits, device.symbolic_link);
    put_text(bytes, kRecordSerialNumber, kRecordSerialNumberUnits, device.serial_number);
    put16(bytes, kRecordFirmwareVersion, device.firmware_version);
    return finish(0);
}

std::int32_t qtv_is_device_changed() {
    const Call call = begin("QTV_IsDeviceChanged", "");
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised) return finish(0);
    if (!call.library->device_changed_results.empty()) {
        SdkLibrary& library = library_record(*call.library);
        return finish(next_answer(library.device_changed_results, library.device_changed_calls++));
    }
    switch (call.library->device_changed) {
        case SdkDeviceChanged::Always:
            return finish(1);
        case SdkDeviceChanged::Never:
            return finish(0);
        case SdkDeviceChanged::WhenChanged:
            break;
    }
    return finish(visible_count(*call.library, call.module->sdk) != call.module->sdk.last_count ? 1 : 0);
}

}  // namespace

const SdkLibrary* sdk_description(const std::wstring& path) {
    for (const SdkLibrary& library : machine().sdk_libraries) {
        if (same_windows_path(library.path, path)) return &library;
    }
    return nullptr;
}

platform::EntryPoint sdk_export(const std::string& name) {
    if (name == "QTV_Init") return reinterpret_cast<platform::EntryPoint>(&qtv_init);
    if (name == "QTV_Exit") return reinterpret_cast<platform::EntryPoint>(&qtv_exit);
    if (name == "QTV_Get_SDK_Version") return reinterpret_cast<platform::EntryPoint>(&qtv_get_sdk_version);
    if (name == "QTV_GetDeviceCount") return reinterpret_cast<platform::EntryPoint>(&qtv_get_device_count);
    if (name == "QTV_GetDeviceInfo") return reinterpret_cast<platform::EntryPoint>(&qtv_get_device_info);
    if (name == "QTV_IsDeviceChanged") return reinterpret_cast<platform::EntryPoint>(&qtv_is_device_changed);
    return nullptr;
}

}  // namespace vq4::sim
