// PE images of the simulated machine: synthesizing the bytes of a DLL with a
// given machine, version resource and exports, and reading them back the way the
// loader and the version API do. The readers take any bytes: a file that is
// short, truncated or lies about its offsets is refused, never read past.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vq4::sim {

struct PeImageShape {
    std::uint16_t machine = 0x8664;
    std::optional<std::array<std::uint16_t, 4>> file_version;  // absent: no version resource
    bool fixed_file_info = true;  // false: the version block carries no VS_FIXEDFILEINFO
    bool resource_section = true;  // false: no resource section at all
    std::vector<std::string> exports;  // exported names; none: no export section
};

std::vector<std::uint8_t> synthesize_pe_image(const PeImageShape& shape);

// The COFF Machine field, or nothing when the bytes are not a PE image.
std::optional<std::uint16_t> pe_machine(const std::vector<std::uint8_t>& bytes);

struct VersionResource {
    std::uint32_t error = 0;  // 0, or what GetFileVersionInfoSizeW reports
    std::size_t offset = 0;   // of the VS_VERSIONINFO block in the file
    std::size_t size = 0;
};

// The RVA of an export of that name, as GetProcAddress finds it through the
// export directory's sorted name table; nothing when the image does not
// export the name (or the bytes are no PE image).
std::optional<std::uint32_t> find_export(const std::vector<std::uint8_t>& bytes, const std::string& name);

// Finds the first RT_VERSION resource: ERROR_RESOURCE_DATA_NOT_FOUND (1812)
// when the bytes are no PE image or have no resource section,
// ERROR_RESOURCE_TYPE_NOT_FOUND (1813) when no version resource exists.
VersionResource find_version_resource(const std::vector<std::uint8_t>& bytes);

struct RootVersionBlock {
    bool ok = false;          // the buffer starts with a VS_VERSIONINFO block
    std::size_t value_offset = 0;
    std::size_t value_length = 0;  // wValueLength
};

// The root block's value, as VerQueryValueW(buffer, "\\") finds it.
RootVersionBlock root_version_block(const std::vector<std::uint8_t>& buffer);

// "1.51.0.0" -> {1, 51, 0, 0}; nothing for any other form.
std::optional<std::array<std::uint16_t, 4>> parse_file_version(const std::string& text);

}  // namespace vq4::sim
