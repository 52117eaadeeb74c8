#include "sdk/sdk_registration_section.h"

#include <vector>

#include "capture/machine_capture.h"
#include "platform/files.h"
#include "platform/version.h"
#include "platform/win_constants.h"
#include "sdk/sdk_contract.h"
#include "util/text.h"

namespace vq4 {

namespace {

constexpr std::uint16_t kMachineX86 = 0x014C;
constexpr std::uint16_t kMachineX64 = 0x8664;
constexpr std::uint16_t kMachineArm64 = 0xAA64;

bool looks_like_development_path(const std::wstring& path) {
    static const wchar_t* const fragments[] = {L"\\Projects\\",    L"duzeze_ri", L"\\x64\\Debug\\",
                                               L"\\x64\\Release\\", L"\\Debug\\",  L"\\Release\\"};
    for (const wchar_t* fragment : fragments) {
        if (contains_nocase(path, fragment)) return true;
    }
    return false;
}

bool is_plain_file(const std::wstring& path) {
    const platform::AttributesResult found = platform::get_file_attributes(path);
    capture::file_attributes(path, found.error, found.attributes);
    return found.attributes != win::INVALID_FILE_ATTRIBUTES_ &&
           (found.attributes & win::FILE_ATTRIBUTE_DIRECTORY_) == 0;
}

}  // namespace

std::wstring machine_name(std::uint16_t machine) {
    switch (machine) {
        case kMachineX86:
            return L"x86 (32-bit)";
        case kMachineX64:
            return L"x64";
        case kMachineArm64:
            return L"ARM64";
        default: {
            std::wstring text;
            format_wide(text, 32, L"unknown (0x%04X)", static_cast<unsigned>(machine));
            return text;
        }
    }
}

std::wstring file_version_text(const std::wstring& path) {
    const platform::VersionInfoSize size = platform::get_file_version_info_size(path);
    if (size.size == 0) {
        capture::file_version(path, size.error == 0 ? win::ERROR_RESOURCE_TYPE_NOT_FOUND_ : size.error, false, 0, 0);
        return L"(no version info)";
    }
    std::vector<std::uint8_t> buffer(size.size, 0);
    if (const std::uint32_t error = platform::get_file_version_info(path, buffer); error != 0) {
        capture::file_version(path, error, false, 0, 0);
        return L"(unable to read version info)";
    }
    const platform::FixedFileVersion version = platform::ver_query_root_version(buffer);
    capture::file_version(path, 0, version.found, version.file_version_ms, version.file_version_ls);
    if (!version.found) return L"(no VS_FIXEDFILEINFO)";
    std::wstring text;
    format_wide(text, 64, L"%u.%u.%u.%u", static_cast<unsigned>(version.file_version_ms >> 16),
                static_cast<unsigned>(version.file_version_ms & 0xFFFF),
                static_cast<unsigned>(version.file_version_ls >> 16),
                static_cast<unsigned>(version.file_version_ls & 0xFFFF));
    return text;
}

std::optional<std::uint16_t> read_pe_machine(const std::wstring& path) {
    platform::FileHandle file;
    // Sharing everything: the maker's service may hold the file open, for
    // writing too, and the header is still read.
    const std::uint32_t open_error =
        platform::create_file(path, win::GENERIC_READ_, win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_ | win::FILE_SHARE_DELETE_,
                              win::OPEN_EXISTING_, win::FILE_ATTRIBUTE_NORMAL_, file);
    capture::file_opened(path, open_error);
    if (open_error != 0) return std::nullopt;
    // Every read must deliver exactly what was asked; anything short ends
    // the check, so no offset taken from the file is trusted further.
    std::vector<std::uint8_t> dos;
    const std::uint32_t dos_error = platform::read_file(file, 64, dos);
    capture::file_head(path, dos);
    if (dos_error != 0 || dos.size() != 64 || dos[0] != 0x4D || dos[1] != 0x5A) {
        return std::nullopt;
    }
    const auto pe_offset = static_cast<std::int32_t>(little_endian_dword(dos, 0x3C));
    if (platform::set_file_pointer(file, pe_offset, win::FILE_BEGIN_).position == win::INVALID_SET_FILE_POINTER_) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> signature;
    if (platform::read_file(file, 4, signature) != 0 || signature.size() != 4 ||
        little_endian_dword(signature) != 0x4550) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> coff;
    if (platform::read_file(file, 20, coff) != 0 || coff.size() != 20) return std::nullopt;
    const auto machine = static_cast<std::uint16_t>(coff[0] | (coff[1] << 8));
    capture::image_machine(path, machine);
    return machine;
}

SdkViewFacts check_sdk_registration_view(std::uint32_t view_flag, const std::wstring& label, std::uint16_t expected_machine,
                                 StatusKind severity, SdkLookup lookup) {
    const SdkRegistration registration = read_sdk_registration(win::KEY_READ_ | view_flag, lookup);
    SdkViewFacts facts;
    facts.view = label;
    facts.state = registration.state;
    facts.path = registration.path;
    if (registration.state == SdkRegistrationState::KeyMissing) {
        print_status(severity, L"CLSID registry key missing (" + label +
                                   L"): the SDK will not be found by applications running as " + label + L".");
        return facts;
    }
    if (registration.state == SdkRegistrationState::Unreadable) {
        print_status(severity, L"CLSID registry key present (" + label + L") but the value is empty/unreadable.");
        return facts;
    }
    // The declared text is shown; the file it names (expanded, for a
    // REG_EXPAND_SZ value) is the one checked.
    print_status(StatusKind::Info, L"Path declared (" + label + L"): " + registration.path);
    const std::wstring& path = registration.file;

    if (looks_like_development_path(path)) {
        print_status(StatusKind::Warn,
                     L"  -> This path looks like a development path (not a standard 'Program Files'-style install). "
                     L"Normal on an SDK dev machine; worth checking it isn't unintentional (e.g. a debug .reg was left "
                     L"active).");
    }

    if (!is_plain_file(path)) {
        print_status(severity, L"  -> File NOT FOUND at this location.");
        return facts;
    }
    facts.file_present = true;
    facts.version = file_version_text(path);
    print_status(StatusKind::Ok, L"  -> File present.");
    print_status(StatusKind::Info, L"  -> File version: " + facts.version);

    facts.machine = read_pe_machine(path);
    if (const std::optional<std::uint16_t> machine = facts.machine) {
        if (*machine == expected_machine) {
            print_status(StatusKind::Ok, L"  -> File architecture is consistent (" + machine_name(*machine) + L").");
        } else {
            print_status(StatusKind::Fail, L"  -> INCONSISTENT architecture: file is " + machine_name(*machine) +
                                               L" while this registry view expects " +
                                               machine_name(expected_machine) + L".");
        }
    }

    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return facts;
    // The view decides which library the SDK needs, not the file found there.
    const std::wstring dependency = expected_machine == kMachineX64 ? kSdkDependencyX64 : kSdkDependencyX86;
    const std::wstring dependency_path = path.substr(0, separator + 1) + dependency;
    if (!is_plain_file(dependency_path)) {
        print_status(StatusKind::Fail, L"  -> Dependency " + dependency +
                                           L" NOT FOUND in the same folder. Loading qtv_api_core will likely fail.");
    } else {
        print_status(StatusKind::Ok, L"  -> Dependency " + dependency + L" present (version " +
                                         file_version_text(dependency_path) + L").");
        // The report does not need the dependency's machine, but a replay
        // of the capture must load the SDK beside the same image.
        if (capture::active()) read_pe_machine(dependency_path);
    }
    return facts;
}

SdkRegistrationFacts run_sdk_registration_section() {
    print_section(L"4. SDK registry / DLL registration (Quorvane Tonvela API)");
    SdkRegistrationFacts facts;
    const SdkLookup lookup = sdk_lookup_for_this_process();
    facts.view_64 =
        check_sdk_registration_view(win::KEY_WOW64_64KEY_, L"64-bit view", kMachineX64, StatusKind::Fail, lookup);
    facts.view_32 = check_sdk_registration_view(win::KEY_WOW64_32KEY_, L"32-bit view / WOW6432Node", kMachineX86,
                                                StatusKind::Warn, lookup);
    return facts;
}

}  // namespace vq4
