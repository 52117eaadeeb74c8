// Run-time loading on the simulated machine, and the simulated SDK library.
//
// The loader takes only a fully qualified path and resolves a library's
// imports from its own folder and System32, as the Windows build asks of
// LoadLibraryExW: a bare name or a relative path gives ERROR_MOD_NOT_FOUND
// without any search. It loads a file of the machine when it is a PE image
// for x64 (the process's architecture): a missing file gives
// ERROR_MOD_NOT_FOUND, a file that is no image or one for another machine
// ERROR_BAD_EXE_FORMAT, as on Windows. A library that the machine file
// describes under "sdk" also needs vxlinkapi_x64.dll in its own folder (its
// import; a copy anywhere else does not count), and exports the SDK's
// entry points: GetProcAddress hands out real functions with the SDK's
// signatures that act on the simulated machine and record every call in the
// trace. Any other image exports what its export directory lists:
// GetProcAddress gives the address inside the module (its handle plus the
// export's RVA), as Windows does; nothing is there to call.
#include "platform/library.h"

#include <map>
#include <optional>
#include <unordered_map>

#include "platform/files.h"
#include "platform/sim/file_handles.h"
#include "platform/sim/loaded_modules.h"
#include "platform/sim/machine.h"
#include "platform/sim/pe_image.h"
#include "platform/win_constants.h"
#include "util/guid.h"
#include "util/text.h"

namespace vq4::sim {

namespace {

constexpr std::uint16_t kProcessMachine = 0x8664;
constexpr const wchar_t* kDependency = L"vxlinkapi_x64.dll";
constexpr const wchar_t* kConfigFile = L"vxlinkapi_x64.dll.config.ini";
constexpr const wchar_t* kBuiltInGuid = L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
constexpr std::uint32_t kRecordSize = 1600;

// Result codes of the simulated SDK (its own choice, as any SDK's).
constexpr std::int32_t kNotInitialised = -1;
constexpr std::int32_t kNoSuchDevice = -2;
constexpr std::int32_t kBadRecordSize = -3;

struct SdkState {
    bool initialised = false;
    std::uint64_t init_clock_ms = 0;
    std::int32_t last_count = 0;  // what QTV_GetDeviceCount last reported
    std::wstring guid;            // the interface GUID the SDK looks for
};

struct LoadedModule {
    std::wstring path;
    std::uint32_t references = 0;
    bool is_sdk = false;
    SdkState sdk;
    std::vector<std::uint8_t> image;  // the file's bytes when it was mapped
};

std::map<std::uintptr_t, LoadedModule>& modules() {
    static std::map<std::uintptr_t, LoadedModule> loaded;
    return loaded;
}

std::uintptr_t next_module = 0x70000000;
// The SDK module whose entry points the simulated functions act on: the one
// loaded last and still loaded.
std::uintptr_t active_sdk = 0;

const SdkLibrary* sdk_description(const std::wstring& path) {
    for (const SdkLibrary& library : machine().sdk_libraries) {
        if (same_windows_path(library.path, path)) return &library;
    }
    return nullptr;
}

std::wstring folder_of(const std::wstring& path) {
    const auto at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? std::wstring() : path.substr(0, at + 1);
}

// A folder: listed as one, or holding a listed file.
bool is_folder(const std::wstring& path) {
    std::wstring folder = path;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    for (const File& f : machine().files) {
        if (same_windows_path(f.path, folder)) return (f.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0;
        if (f.path.size() > folder.size() + 1 && same_windows_path(f.path.substr(0, folder.size()), folder) &&
            (f.path[folder.size()] == L'\\' || f.path[folder.size()] == L'/')) {
            return true;
        }
    }
    return false;
}

LoadedModule* active_module() {
    const auto found = modules().find(active_sdk);
    return active_sdk == 0 || found == modules().end() ? nullptr : &found->second;
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
        if (equals_nocase(value.name, L"RevisionId") && value.type == 4 && value.data.size() == 4) {
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
        if (!device.present) continue;
        for (const DeviceInterfaceRecord& iface : device.interfaces) {
            Guid guid;
            if (!interface_guid(iface.guid, guid) || !(guid == wanted) || iface.held_by_other_process) continue;
            SdkDeviceRecordSetup record;
            const Device* parent = device.parent_id.empty() ? nullptr : machine().find_device(device.parent_id);
            if (parent != nullptr && parent->friendly_name) {
                record.name = *parent->friendly_name;
            } else if (device.friendly_name) {
                record.name = *device.friendly_name;
            } else if (device.device_desc) {
                record.name = *device.device_desc;
            }
            record.vendor_id = hex_field(device.instance_id, L"VID_");
            record.product_id = hex_field(device.instance_id, L"PID_");
            record.symbolic_link = iface.path;
            // A USB serial number is the last part of the device's own instance id.
            if (parent != nullptr && contains_nocase(parent->instance_id, L"VID_")) {
                const std::wstring serial = parent->instance_id.substr(parent->instance_id.rfind(L'\\') + 1);
                if (serial.find(L'&') == std::wstring::npos) record.serial_number = serial;
            }
            record.firmware_version = revision_of(device.instance_id);
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

std::int32_t visible_count(const SdkLibrary& library, const SdkState& state) {
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

std::int32_t finish(std::int32_t result) {
    record_result(result);
    return result;
}

std::int32_t qtv_init(std::uint32_t options, std::intptr_t first, std::intptr_t second) {
    const Call call = begin("QTV_Init", std::to_string(options) + ", " + std::to_string(first) + ", " +
                                            std::to_string(second));
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr) return finish(kNotInitialised);
    if (call.library->init_result != 0) return finish(call.library->init_result);
    SdkState& state = call.module->sdk;
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
    if (call.module != nullptr) call.module->sdk.initialised = false;
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
    record_result(0);
    return 0;
}

std::int32_t qtv_get_device_info(std::int32_t index, void* record) {
    const Call call = begin("QTV_GetDeviceInfo", std::to_string(index));
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised || record == nullptr) return finish(kNotInitialised);
    auto* bytes = static_cast<std::uint8_t*>(record);
    const std::uint32_t size = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    if (size != kRecordSize) return finish(kBadRecordSize);
    const std::vector<SdkDeviceRecordSetup> records = visible_records(*call.library, call.module->sdk);
    if (index < 0 || static_cast<std::size_t>(index) >= records.size()) return finish(kNoSuchDevice);
    const SdkDeviceRecordSetup& device = records[static_cast<std::size_t>(index)];
    if (device.result != 0) return finish(device.result);
    put_text(bytes, 4, 260, device.name);
    put16(bytes, 524, device.vendor_id);
    put16(bytes, 526, device.product_id);
    put_text(bytes, 528, 260, device.symbolic_link);
    put_text(bytes, 1048, 275, device.serial_number);
    put16(bytes, 1598, device.firmware_version);
    return finish(0);
}

std::int32_t qtv_is_device_changed() {
    const Call call = begin("QTV_IsDeviceChanged", "");
    if (call.injected) return finish(static_cast<std::int32_t>(*call.injected));
    if (call.module == nullptr || !call.module->sdk.initialised) return finish(0);
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

platform::EntryPoint sdk_export(const std::string& name) {
    if (name == "QTV_Init") return reinterpret_cast<platform::EntryPoint>(&qtv_init);
    if (name == "QTV_Exit") return reinterpret_cast<platform::EntryPoint>(&qtv_exit);
    if (name == "QTV_Get_SDK_Version") return reinterpret_cast<platform::EntryPoint>(&qtv_get_sdk_version);
    if (name == "QTV_GetDeviceCount") return reinterpret_cast<platform::EntryPoint>(&qtv_get_device_count);
    if (name == "QTV_GetDeviceInfo") return reinterpret_cast<platform::EntryPoint>(&qtv_get_device_info);
    if (name == "QTV_IsDeviceChanged") return reinterpret_cast<platform::EntryPoint>(&qtv_is_device_changed);
    return nullptr;
}

std::uint32_t load(const std::wstring& path, std::uintptr_t& handle) {
    if (!is_fully_qualified_path(path)) return win::ERROR_MOD_NOT_FOUND_;
    for (auto& [id, module] : modules()) {
        if (same_windows_path(module.path, path)) {
            ++module.references;
            handle = id;
            return 0;
        }
    }
    const File* file = machine().find_file(path);
    if (is_folder(path)) return win::ERROR_ACCESS_DENIED_;
    if (file == nullptr) return win::ERROR_MOD_NOT_FOUND_;
    if (file->held_exclusively) return win::ERROR_SHARING_VIOLATION_;
    const auto image_machine = pe_machine(file->bytes);
    if (!image_machine || *image_machine != kProcessMachine) return win::ERROR_BAD_EXE_FORMAT_;
    const SdkLibrary* sdk = sdk_description(path);
    if (sdk != nullptr) {
        if (sdk->load_error) return *sdk->load_error;
        const File* dependency = machine().find_file(folder_of(path) + kDependency);
        if (dependency == nullptr || (dependency->attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0) {
            return win::ERROR_MOD_NOT_FOUND_;
        }
    }
    handle = next_module;
    next_module += 0x10000;
    LoadedModule module;
    module.path = path;
    module.references = 1;
    module.is_sdk = sdk != nullptr;
    module.image = file->bytes;
    modules()[handle] = module;
    if (module.is_sdk) active_sdk = handle;
    return 0;
}

}  // namespace

}  // namespace vq4::sim

namespace vq4::platform {

std::uint32_t load_library(const std::wstring& path, Library& out) {
    const auto injected = sim::enter_call("LoadLibraryW", sim::narrow(path));
    std::uint32_t error = 0;
    if (injected) {
        error = *injected;
    } else {
        std::uintptr_t handle = 0;
        error = sim::load(path, handle);
        if (error == 0) out = Library(handle);
    }
    sim::record_result(error);
    return error;
}

ProcAddress get_proc_address(const Library& library, const char* name) {
    ProcAddress result;
    const auto injected = sim::enter_call("GetProcAddress", name);
    const auto found = sim::modules().find(library.raw());
    if (injected) {
        result.error = *injected;
    } else if (!library.valid() || found == sim::modules().end()) {
        result.error = win::ERROR_INVALID_HANDLE_;
    } else {
        const sim::SdkLibrary* sdk = found->second.is_sdk ? sim::sdk_description(found->second.path) : nullptr;
        if (sdk != nullptr) {
            bool missing = false;
            for (const std::string& hidden : sdk->missing_entry_points) missing = missing || hidden == name;
            result.address = missing ? nullptr : sim::sdk_export(name);
        } else if (const auto rva = sim::find_export(found->second.image, name)) {
            result.address = reinterpret_cast<EntryPoint>(found->first + *rva);
        }
        if (result.address == nullptr) result.error = win::ERROR_PROC_NOT_FOUND_;
    }
    sim::record_result(result.error);
    return result;
}

void release_handle(LibraryTag, std::uintptr_t raw) noexcept {
    const auto found = sim::modules().find(raw);
    sim::enter_call("FreeLibrary", found == sim::modules().end() ? std::string("<invalid>") : sim::narrow(found->second.path));
    if (found == sim::modules().end()) return;
    if (--found->second.references == 0) {
        sim::modules().erase(found);
        if (sim::active_sdk == raw) sim::active_sdk = 0;
    }
}

}  // namespace vq4::platform

namespace vq4::sim {

bool library_loaded(const std::wstring& path) {
    for (const auto& [handle, module] : modules()) {
        if (same_windows_path(module.path, path)) return true;
    }
    return false;
}

}  // namespace vq4::sim
