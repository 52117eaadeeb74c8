// The fuzz bytes are the whole content of a simulated SDK library file. Section
// 4's architecture step (read_pe_machine, through CreateFileW, ReadFile and
// SetFilePointer) must give exactly the machine that the four reads over those
// bytes give, and close the file on every path; file_version_text on the same
// file must give a version only when the file's version resource holds one,
// and VerQueryValueW, the loader's export lookup and the image reader must
// take the same bytes without reading past them.
#include <cwctype>
#include <optional>

#include "fuzz_support.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/pe_image.h"
#include "platform/version.h"
#include "platform/win_constants.h"
#include "sdk/sdk_registration_section.h"

namespace {

const std::wstring kPath = L"C:\\Program Files\\Quorvane\\qtv_api_core.dll";

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The machine by the four reads, straight over the bytes: 64 bytes starting
// "MZ", a seek to the signed e_lfanew (refused below zero, allowed past the
// end), four bytes "PE\0\0", then a complete 20-byte COFF header.
std::optional<std::uint16_t> expected_machine(const std::uint8_t* data, std::size_t size) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
    const auto lfanew = static_cast<std::int32_t>(le32(data + 0x3C));
    if (lfanew < 0) return std::nullopt;
    const auto at = static_cast<std::size_t>(lfanew);
    if (at > size || size - at < 24) return std::nullopt;
    if (le32(data + at) != 0x4550) return std::nullopt;
    return static_cast<std::uint16_t>(data[at + 4] | (data[at + 5] << 8));
}

// "a.b.c.d" with four decimal numbers of at most 65535.
bool is_version_text(const std::wstring& text, std::uint32_t& ms, std::uint32_t& ls) {
    unsigned parts[4] = {0, 0, 0, 0};
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != L'.') return false;
            ++at;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && at - start < 6) {
            value = value * 10 + static_cast<unsigned>(text[at] - L'0');
            ++at;
        }
        if (at == start || value > 0xFFFF) return false;
        if (at - start > 1 && text[start] == L'0') return false;  // no leading zeros in %u
        parts[i] = value;
    }
    ms = (parts[0] << 16) | parts[1];
    ls = (parts[2] << 16) | parts[3];
    return at == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    const std::vector<std::uint8_t> bytes(data, data + size);
    sim::Machine m;
    m.files.push_back(sim::File{kPath, 0x20, bytes, false, {}});
    sim::set_machine(std::move(m));

    // ---- Architecture step ----
    const std::optional<std::uint16_t> machine = read_pe_machine(kPath);
    fuzz::check(machine == expected_machine(data, size), "read_pe_machine differs from the four reads over the bytes");
    fuzz::check(sim::count_calls("CreateFileW") == 1 && sim::count_calls("CloseHandle") == 1 &&
                    sim::machine().trace.back().operation == "CloseHandle",
                "the file is opened once and closed on every path, last");
    fuzz::check(sim::count_calls("ReadFile") <= 3 && sim::count_calls("SetFilePointer") <= 1, "at most four steps");
    // The image reader behind the simulated loader and version API agrees on
    // every image whose COFF header is complete.
    const std::optional<std::uint16_t> loader_machine = sim::pe_machine(bytes);
    if (machine) fuzz::check(loader_machine == machine, "the simulated loader reads another machine");
    if (machine) {
        const std::wstring name = machine_name(*machine);
        fuzz::check(name == L"x64" || name == L"x86 (32-bit)" || name == L"ARM64" ||
                        (name.size() == 16 && name.compare(0, 11, L"unknown (0x") == 0 && name.back() == L')' &&
                         std::iswxdigit(static_cast<wint_t>(name[11])) && std::iswxdigit(static_cast<wint_t>(name[14]))),
                    "machine_name gives one of its four forms");
    }

    // ---- Version step ----
    const std::wstring version = file_version_text(kPath);
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    if (version == L"(no version info)") {
        fuzz::check(sim::find_version_resource(bytes).error != 0, "a version resource was found but not reported");
    } else {
        // The sizing and the read see the same file, so the read cannot fail.
        fuzz::check(version != L"(unable to read version info)", "the read failed after the sizing succeeded");
        const sim::VersionResource resource = sim::find_version_resource(bytes);
        fuzz::check(resource.error == 0 && resource.size > 0 && resource.offset + resource.size <= size,
                    "a version came from a resource inside the file");
        fuzz::check(loader_machine.has_value(), "only a PE image has a version resource");
        if (version != L"(no VS_FIXEDFILEINFO)") {
            fuzz::check(is_version_text(version, ms, ls), "the version text is four numbers");
            // The numbers are dwFileVersionMS and LS of the block's value.
            fuzz::check(resource.size >= 40 + 52 && le32(data + resource.offset + 48) == ms &&
                            le32(data + resource.offset + 52) == ls,
                        "the version numbers are the resource's dwFileVersionMS and dwFileVersionLS");
        }
    }

    // ---- The same bytes as a version buffer, and as a library ----
    const platform::FixedFileVersion fixed = platform::ver_query_root_version(bytes);
    if (fixed.found) {
        fuzz::check(size >= 40 + 52 && le32(data + 48) == fixed.file_version_ms && le32(data + 52) == fixed.file_version_ls,
                    "VerQueryValueW read the fixed block at its place");
    }
    if (const std::optional<std::uint32_t> address = sim::find_export(bytes, "QTV_Init")) {
        fuzz::check(*address != 0 && loader_machine.has_value(), "an export is found only in a PE image, never at 0");
    }
    return 0;
}
