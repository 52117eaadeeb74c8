// What the tool needs of the maker's SDK library: where it is registered,
// the files beside it, its entry points and its device record.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace vq4 {

inline constexpr const wchar_t* kSdkDependencyX64 = L"vxlinkapi_x64.dll";
inline constexpr const wchar_t* kSdkDependencyX86 = L"vxlinkapi_x86.dll";

// ---- Registration ----

enum class SdkRegistrationState { KeyMissing, Unreadable, Found };

struct SdkRegistration {
    SdkRegistrationState state = SdkRegistrationState::KeyMissing;
    std::wstring path;  // the registered library path, verbatim, as the report shows it (Found only)
    std::wstring file;  // the file it names, as registered_sdk_file gives it (Found only)
};

// Whose registration the SDK is looked up in.
enum class SdkLookup : std::uint8_t {
    // HKCR (the user's HKCU\Software\Classes merged over the machine's) and
    // the process's environment: what the user's applications see.
    User,
    // HKLM\SOFTWARE\Classes and the system's variables only: in an elevated
    // process, which must not trust what the user's programs can change.
    MachineOnly,
};

// MachineOnly when this process's token is elevated, or when its elevation
// cannot be read (GetTokenInformation on the process's own token); User
// otherwise.
SdkLookup sdk_lookup_for_this_process();

// Reads the default value of the CLSID's InProcServer32 key, in HKCR for
// User or HKLM\SOFTWARE\Classes for MachineOnly, opened with `access`
// (KEY_READ, with a registry view flag or none). The key is closed before
// this returns. A value that does not fit 520 bytes, fails to read or starts
// with NUL is Unreadable, and so is one whose file cannot be told
// (registered_sdk_file empty).
SdkRegistration read_sdk_registration(std::uint32_t access, SdkLookup lookup);

// The file a registered value names, as COM finds it: the text itself, or
// for a REG_EXPAND_SZ value the text with its environment references
// expanded. `view_32bit`: the value of the 32-bit registry view, which a
// 32-bit process reads and expands with its own environment, where
// %ProgramFiles% and %CommonProgramFiles% are the (x86) folders. Empty when
// the expansion fails, comes out empty or does not fit a module path (260
// characters). MachineOnly expands with the system's variables alone.
std::wstring registered_sdk_file(const std::wstring& text, std::uint32_t type, bool view_32bit,
                                 SdkLookup lookup = SdkLookup::User);

// ---- Device record ----

inline constexpr std::uint32_t kSdkDeviceInfoSize = 1600;

// The 1600-byte little-endian record that QTV_GetDeviceInfo fills.
struct SdkDeviceInfo {
    alignas(8) std::uint8_t bytes[kSdkDeviceInfoSize];
};

// Field layout: offsets in bytes, text capacities in UTF-16 units.
inline constexpr std::size_t kSdkNameOffset = 4;
inline constexpr std::size_t kSdkNameUnits = 260;
inline constexpr std::size_t kSdkVendorIdOffset = 524;
inline constexpr std::size_t kSdkProductIdOffset = 526;
inline constexpr std::size_t kSdkLinkOffset = 528;
inline constexpr std::size_t kSdkLinkUnits = 260;
inline constexpr std::size_t kSdkSerialOffset = 1048;
inline constexpr std::size_t kSdkSerialUnits = 275;  // up to the firmware field
inline constexpr std::size_t kSdkFirmwareOffset = 1598;

// What the tool reads of a filled record.
struct SdkDeviceFields {
    std::wstring name;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::wstring symbolic_link;
    std::wstring serial_number;
    std::uint16_t firmware_version = 0;  // high byte major, low byte minor
};

// A record ready for QTV_GetDeviceInfo: size field 1600, every other byte 0.
SdkDeviceInfo prepared_sdk_device_info();

// Each text runs to its first NUL or to the end of its own field, whichever
// comes first: a library that fills a field completely never makes the tool
// read the next field.
SdkDeviceFields decode_sdk_device_info(const SdkDeviceInfo& record);

// ---- Entry points ----
// On 64-bit Windows every function uses the one calling convention. The two
// zero arguments of QTV_Init are passed pointer-sized, so they are zero
// whether the library reads them as 32-bit numbers or as pointers.
using QtvInit = std::int32_t (*)(std::uint32_t options, std::intptr_t reserved1, std::intptr_t reserved2);
using QtvExit = void (*)();
using QtvGetSdkVersion = std::int32_t (*)(std::uint16_t* version);
using QtvGetDeviceCount = std::int32_t (*)(std::int32_t* count);
using QtvGetDeviceInfo = std::int32_t (*)(std::int32_t index, void* record);
using QtvIsDeviceChanged = std::int32_t (*)();

struct SdkEntryPoints {
    QtvInit init = nullptr;                           // "QTV_Init"
    QtvExit exit = nullptr;                           // "QTV_Exit"
    QtvGetSdkVersion get_sdk_version = nullptr;       // "QTV_Get_SDK_Version"
    QtvGetDeviceCount get_device_count = nullptr;     // "QTV_GetDeviceCount"
    QtvGetDeviceInfo get_device_info = nullptr;       // "QTV_GetDeviceInfo"
    QtvIsDeviceChanged is_device_changed = nullptr;   // "QTV_IsDeviceChanged", optional
    bool complete = false;                            // the five required ones are present
};

// Resolves all six names in the contract's order.
SdkEntryPoints resolve_sdk_entry_points(const platform::Library& library);

// Pairs a successful QTV_Init with its QTV_Exit: made right after QTV_Init
// returned 0, it calls QTV_Exit when it goes out of scope, on every path,
// before the library that holds it is released (declare it after the
// library's owner). A library that failed to initialise gets no QTV_Exit.
struct SdkInitialised {
    explicit SdkInitialised(QtvExit exit_function) : exit(exit_function) {}
    ~SdkInitialised() {
        if (exit != nullptr) exit();
    }
    SdkInitialised(const SdkInitialised&) = delete;
    SdkInitialised& operator=(const SdkInitialised&) = delete;

    QtvExit exit;
};

}  // namespace vq4
