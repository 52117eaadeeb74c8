#include "platform/sim/pe_image.h"

#include <algorithm>
#include <cstdio>

#include "platform/win_constants.h"

namespace vq4::sim {

namespace {

constexpr std::uint16_t kRtVersion = 16;
constexpr std::uint16_t kRtManifest = 24;
constexpr std::uint32_t kSubdirectory = 0x80000000u;
constexpr std::size_t kPeOffset = 0x80;          // e_lfanew of a synthesized image
constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kResourceRva = 0x1000;

// ---- Writing ----

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2, 0);
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    put16(b, at, static_cast<std::uint16_t>(v));
    put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

std::uint32_t align(std::uint32_t value, std::uint32_t to) { return (value + to - 1) / to * to; }

std::vector<std::uint8_t> version_block(const std::array<std::uint16_t, 4>& v, bool fixed_file_info) {
    // VS_VERSIONINFO: wLength, wValueLength, wType, L"VS_VERSION_INFO", padding
    // to 32 bits, then VS_FIXEDFILEINFO (52 bytes).
    std::vector<std::uint8_t> block(40, 0);
    const char* key = "VS_VERSION_INFO";
    for (std::size_t i = 0; key[i] != '\0'; ++i) put16(block, 6 + 2 * i, static_cast<std::uint16_t>(key[i]));
    const std::uint16_t value_length = fixed_file_info ? 52 : 0;
    put16(block, 2, value_length);
    if (fixed_file_info) {
        const std::uint32_t ms = (std::uint32_t{v[0]} << 16) | v[1];
        const std::uint32_t ls = (std::uint32_t{v[2]} << 16) | v[3];
        put32(block, 40, 0xFEEF04BDu);  // dwSignature
        put32(block, 44, 0x00010000u);  // dwStrucVersion
        put32(block, 48, ms);           // dwFileVersionMS
        put32(block, 52, ls);           // dwFileVersionLS
        put32(block, 56, ms);           // dwProductVersionMS
        put32(block, 60, ls);           // dwProductVersionLS
        put32(block, 64, 0x3F);         // dwFileFlagsMask
        put32(block, 68, 0);            // dwFileFlags
        put32(block, 72, 0x00040004u);  // dwFileOS: VOS_NT_WINDOWS32
        put32(block, 76, 2);            // dwFileType: VFT_DLL
        put32(block, 80, 0);            // dwFileSubtype
        put32(block, 84, 0);            // dwFileDateMS
        put32(block, 88, 0);            // dwFileDateLS
    }
    put16(block, 0, static_cast<std::uint16_t>(block.size()));
    return block;
}

struct ResourceItem {
    std::uint16_t type;
    std::uint16_t language;
    std::vector<std::uint8_t> data;
};

// A resource section holding each item as type / name 1 / language, with
// its data after the directories; offsets inside are section-relative,
// data addresses are RVAs.
std::vector<std::uint8_t> resource_section(const std::vector<ResourceItem>& items) {
    std::vector<std::uint8_t> s;
    const std::size_t n = items.size();
    const std::size_t root = 0;
    const std::size_t names = 16 + 8 * n;          // one name directory per type
    const std::size_t languages = names + 24 * n;  // one language directory per type
    const std::size_t entries = languages + 24 * n;
    std::size_t data = entries + 16 * n;
    s.resize(data, 0);
    put16(s, root + 14, static_cast<std::uint16_t>(n));  // NumberOfIdEntries
    for (std::size_t i = 0; i < n; ++i) {
        put32(s, root + 16 + 8 * i, items[i].type);
        put32(s, root + 20 + 8 * i, kSubdirectory | static_cast<std::uint32_t>(names + 24 * i));
        put16(s, names + 24 * i + 14, 1);
        put32(s, names + 24 * i + 16, 1);  // name id 1
        put32(s, names + 24 * i + 20, kSubdirectory | static_cast<std::uint32_t>(languages + 24 * i));
        put16(s, languages + 24 * i + 14, 1);
        put32(s, languages + 24 * i + 16, items[i].language);
        put32(s, languages + 24 * i + 20, static_cast<std::uint32_t>(entries + 16 * i));
        put32(s, entries + 16 * i, kResourceRva + static_cast<std::uint32_t>(data));
        put32(s, entries + 16 * i + 4, static_cast<std::uint32_t>(items[i].data.size()));
        s.insert(s.end(), items[i].data.begin(), items[i].data.end());
        s.resize(align(static_cast<std::uint32_t>(s.size()), 4), 0);
        data = s.size();
    }
    return s;
}

// An export section at `rva`: the export directory, its three tables (names
// sorted, as the loader's binary search needs) and the name strings, then
// one "ret" instruction per export outside the directory's range (an export
// whose address lies inside the directory would be a forwarder).
std::vector<std::uint8_t> export_section(std::vector<std::string> names, std::uint32_t rva,
                                         std::uint32_t& directory_size) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    const auto n = static_cast<std::uint32_t>(names.size());
    const std::uint32_t functions = 40;
    const std::uint32_t name_table = functions + 4 * n;
    const std::uint32_t ordinals = name_table + 4 * n;
    std::uint32_t strings = ordinals + 2 * n;
    std::vector<std::uint8_t> s(strings, 0);
    const std::string dll_name = "image.dll";
    const auto add_string = [&](const std::string& text) {
        const auto at = static_cast<std::uint32_t>(s.size());
        s.insert(s.end(), text.begin(), text.end());
        s.push_back(0);
        return at;
    };
    put32(s, 12, rva + add_string(dll_name));  // Name
    put32(s, 16, 1);                            // Base
    put32(s, 20, n);                            // NumberOfFunctions
    put32(s, 24, n);                            // NumberOfNames
    put32(s, 28, rva + functions);              // AddressOfFunctions
    put32(s, 32, rva + name_table);             // AddressOfNames
    put32(s, 36, rva + ordinals);               // AddressOfNameOrdinals
    std::vector<std::uint32_t> name_offsets;
    for (const std::string& name : names) name_offsets.push_back(add_string(name));
    directory_size = static_cast<std::uint32_t>(s.size());
    const std::uint32_t code = align(directory_size, 16);
    for (std::uint32_t i = 0; i < n; ++i) {
        put32(s, functions + 4 * i, rva + code + 16 * i);
        put32(s, name_table + 4 * i, rva + name_offsets[i]);
        put16(s, ordinals + 2 * i, static_cast<std::uint16_t>(i));
    }
    s.resize(code + 16 * n, 0xCC);
    for (std::uint32_t i = 0; i < n; ++i) s[code + 16 * i] = 0xC3;
    return s;
}

// ---- Reading (every offset checked against the bytes) ----

bool get16(const std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t& v) {
    if (at > b.size() || b.size() - at < 2) return false;
    v = static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    return true;
}

bool get32(const std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t& v) {
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    if (!get16(b, at, low) || !get16(b, at + 2, high)) return false;
    v = low | (std::uint32_t{high} << 16);
    return true;
}

struct Headers {
    std::uint16_t machine = 0;
    std::size_t sections = 0;  // offset of the section table
    std::uint16_t section_count = 0;
    std::uint32_t export_rva = 0;
    std::uint32_t export_size = 0;
    std::uint32_t resource_rva = 0;
    std::uint32_t resource_size = 0;
};

std::optional<Headers> read_headers(const std::vector<std::uint8_t>& b) {
    std::uint16_t mz = 0;
    std::uint32_t lfanew = 0;
    std::uint32_t signature = 0;
    if (b.size() < 64 || !get16(b, 0, mz) || mz != 0x5A4D || !get32(b, 0x3C, lfanew)) return std::nullopt;
    if (lfanew > b.size() || !get32(b, lfanew, signature) || signature != 0x4550) return std::nullopt;
    Headers h;
    const std::size_t coff = std::size_t{lfanew} + 4;
    std::uint16_t optional_size = 0;
    if (!get16(b, coff, h.machine) || !get16(b, coff + 2, h.section_count) || !get16(b, coff + 16, optional_size)) {
        return std::nullopt;
    }
    const std::size_t optional = coff + 20;
    h.sections = optional + optional_size;
    std::uint16_t magic = 0;
    if (!get16(b, optional, magic)) return h;  // no optional header: no data directories
    const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
    std::uint32_t count = 0;
    if ((magic == 0x10B || magic == 0x20B) && get32(b, directories - 4, count) && count > 2 &&
        directories + 24 <= h.sections) {
        get32(b, directories, h.export_rva);
        get32(b, directories + 4, h.export_size);
        get32(b, directories + 16, h.resource_rva);
        get32(b, directories + 20, h.resource_size);
    }
    return h;
}

// The file offset of an RVA through the section table.
std::optional<std::size_t> rva_to_offset(const std::vector<std::uint8_t>& b, const Headers& h, std::uint32_t rva) {
    for (std::uint16_t i = 0; i < h.section_count; ++i) {
        const std::size_t at = h.sections + 40 * std::size_t{i};
        std::uint32_t virtual_size = 0, address = 0, raw_size = 0, raw_pointer = 0;
        if (!get32(b, at + 8, virtual_size) || !get32(b, at + 12, address) || !get32(b, at + 16, raw_size) ||
            !get32(b, at + 20, raw_pointer)) {
            return std::nullopt;
        }
        const std::uint64_t extent = virtual_size > raw_size ? virtual_size : raw_size;
        if (rva >= address && rva - std::uint64_t{address} < extent) {
            const std::uint64_t offset = std::uint64_t{raw_pointer} + (rva - address);
            if (offset >= b.size()) return std::nullopt;
            return static_cast<std::size_t>(offset);
        }
    }
    return std::nullopt;
}

// The first id entry of a resource directory matching `id` (or any id when
// `id` is absent): the entry's OffsetToData.
std::optional<std::uint32_t> directory_entry(const std::vector<std::uint8_t>& b, std::size_t directory,
                                             std::optional<std::uint16_t> id) {
    std::uint16_t named = 0;
    std::uint16_t ids = 0;
    if (!get16(b, directory + 12, named) || !get16(b, directory + 14, ids)) return std::nullopt;
    for (std::size_t i = named; i < std::size_t{named} + ids; ++i) {
        std::uint32_t name = 0;
        std::uint32_t target = 0;
        if (!get32(b, directory + 16 + 8 * i, name) || !get32(b, directory + 20 + 8 * i, target)) return std::nullopt;
        if (!id || name == *id) return target;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::uint8_t> synthesize_pe_image(const PeImageShape& shape) {
    const bool pe32_plus = shape.machine != 0x014C;
    const std::uint16_t optional_size = pe32_plus ? 240 : 224;

    struct Section {
        const char* name;
        std::uint32_t rva;
        std::vector<std::uint8_t> bytes;
        std::uint32_t characteristics;
    };
    std::vector<Section> sections;
    std::uint32_t next_rva = kResourceRva;
    if (shape.resource_section) {
        std::vector<ResourceItem> items;
        if (shape.file_version) items.push_back({kRtVersion, 0x0409, version_block(*shape.file_version, shape.fixed_file_info)});
        const std::string manifest = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>";
        items.push_back({kRtManifest, 0x0409, std::vector<std::uint8_t>(manifest.begin(), manifest.end())});
        sections.push_back({".rsrc", next_rva, resource_section(items), 0x40000040u});  // initialized data, readable
        next_rva += align(static_cast<std::uint32_t>(sections.back().bytes.size()), kSectionAlignment);
    }
    std::uint32_t export_size = 0;
    std::uint32_t export_rva = 0;
    if (!shape.exports.empty()) {
        export_rva = next_rva;
        // Readable data with the "ret" stubs: readable and executable.
        sections.push_back({".edata", next_rva, export_section(shape.exports, next_rva, export_size), 0x60000040u});
        next_rva += align(static_cast<std::uint32_t>(sections.back().bytes.size()), kSectionAlignment);
    }

    std::vector<std::uint8_t> b(kFileAlignment, 0);
    put16(b, 0, 0x5A4D);  // "MZ"
    put32(b, 0x3C, kPeOffset);
    const std::string stub = "This program cannot be run in DOS mode.";
    for (std::size_t i = 0; i < stub.size(); ++i) b[0x4E + i] = static_cast<std::uint8_t>(stub[i]);

    put32(b, kPeOffset, 0x4550);  // "PE\0\0"
    const std::size_t coff = kPeOffset + 4;
    put16(b, coff, shape.machine);
    put16(b, coff + 2, static_cast<std::uint16_t>(sections.size()));  // NumberOfSections
    put16(b, coff + 16, optional_size);
    put16(b, coff + 18, pe32_plus ? 0x2022 : 0x2102);  // DLL, executable image (and 32-bit machine)

    const std::size_t optional = coff + 20;
    put16(b, optional, pe32_plus ? 0x20B : 0x10B);
    put32(b, optional + 32, kSectionAlignment);
    put32(b, optional + 36, kFileAlignment);
    put16(b, optional + 40, 6);  // MajorOperatingSystemVersion
    put16(b, optional + 48, 6);  // MajorSubsystemVersion
    put32(b, optional + 56, next_rva);        // SizeOfImage
    put32(b, optional + 60, kFileAlignment);  // SizeOfHeaders
    put16(b, optional + 68, 2);               // Subsystem: Windows GUI
    const std::size_t directories = optional + (pe32_plus ? 112 : 96);
    put32(b, directories - 4, 16);  // NumberOfRvaAndSizes
    if (export_rva != 0) {
        put32(b, directories, export_rva);
        put32(b, directories + 4, export_size);
    }
    if (shape.resource_section) {
        put32(b, directories + 16, kResourceRva);
        put32(b, directories + 20, static_cast<std::uint32_t>(sections.front().bytes.size()));
    }
    std::size_t header = optional + optional_size;
    for (Section& section : sections) {
        const auto size = static_cast<std::uint32_t>(section.bytes.size());
        const std::uint32_t raw = align(size, kFileAlignment);
        for (std::size_t i = 0; section.name[i] != '\0'; ++i) b[header + i] = static_cast<std::uint8_t>(section.name[i]);
        put32(b, header + 8, size);
        put32(b, header + 12, section.rva);
        put32(b, header + 16, raw);
        put32(b, header + 20, static_cast<std::uint32_t>(b.size()));
        put32(b, header + 36, section.characteristics);
        section.bytes.resize(raw, 0);
        b.insert(b.end(), section.bytes.begin(), section.bytes.end());
        header += 40;
    }
    return b;
}

std::optional<std::uint16_t> pe_machine(const std::vector<std::uint8_t>& bytes) {
    const auto headers = read_headers(bytes);
    if (!headers) return std::nullopt;
    return headers->machine;
}

std::optional<std::uint32_t> find_export(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    const auto headers = read_headers(bytes);
    if (!headers || headers->export_rva == 0 || headers->export_size < 40) return std::nullopt;
    const auto directory = rva_to_offset(bytes, *headers, headers->export_rva);
    if (!directory) return std::nullopt;
    std::uint32_t count = 0, functions = 0, names = 0, ordinals = 0;
    if (!get32(bytes, *directory + 24, count) || !get32(bytes, *directory + 28, functions) ||
        !get32(bytes, *directory + 32, names) || !get32(bytes, *directory + 36, ordinals)) {
        return std::nullopt;
    }
    const auto name_table = rva_to_offset(bytes, *headers, names);
    const auto ordinal_table = rva_to_offset(bytes, *headers, ordinals);
    const auto function_table = rva_to_offset(bytes, *headers, functions);
    if (!name_table || !ordinal_table || !function_table) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t name_rva = 0;
        if (!get32(bytes, *name_table + 4 * std::size_t{i}, name_rva)) return std::nullopt;
        const auto text = rva_to_offset(bytes, *headers, name_rva);
        if (!text) return std::nullopt;
        // Compare up to the NUL, never past the bytes.
        std::size_t at = *text;
        std::size_t k = 0;
        while (at < bytes.size() && bytes[at] != 0 && k < name.size() && bytes[at] == static_cast<std::uint8_t>(name[k])) {
            ++at;
            ++k;
        }
        if (k != name.size() || at >= bytes.size() || bytes[at] != 0) continue;
        std::uint16_t ordinal = 0;
        std::uint32_t address = 0;
        if (!get16(bytes, *ordinal_table + 2 * std::size_t{i}, ordinal) ||
            !get32(bytes, *function_table + 4 * std::size_t{ordinal}, address) || address == 0) {
            return std::nullopt;
        }
        return address;
    }
    return std::nullopt;
}

VersionResource find_version_resource(const std::vector<std::uint8_t>& bytes) {
    constexpr std::uint32_t kNoResourceSection = win::ERROR_RESOURCE_DATA_NOT_FOUND_;
    constexpr std::uint32_t kNoVersionType = win::ERROR_RESOURCE_TYPE_NOT_FOUND_;
    constexpr std::uint32_t kNoName = win::ERROR_RESOURCE_NAME_NOT_FOUND_;
    constexpr std::uint32_t kNoLanguage = win::ERROR_RESOURCE_LANG_NOT_FOUND_;
    VersionResource result;
    const auto headers = read_headers(bytes);
    if (!headers || headers->resource_rva == 0 || headers->resource_size == 0) {
        result.error = kNoResourceSection;
        return result;
    }
    const auto root = rva_to_offset(bytes, *headers, headers->resource_rva);
    if (!root) {
        result.error = kNoResourceSection;
        return result;
    }
    // Each level's target is an offset from the start of the resource section.
    const auto below = [&](std::uint32_t target) -> std::optional<std::size_t> {
        if ((target & kSubdirectory) == 0) return std::nullopt;
        const std::uint64_t at = std::uint64_t{*root} + (target & ~kSubdirectory);
        if (at >= bytes.size()) return std::nullopt;
        return static_cast<std::size_t>(at);
    };
    const auto type = directory_entry(bytes, *root, kRtVersion);
    const auto names = type ? below(*type) : std::nullopt;
    if (!names) {
        result.error = kNoVersionType;
        return result;
    }
    const auto name = directory_entry(bytes, *names, std::nullopt);
    const auto languages = name ? below(*name) : std::nullopt;
    if (!languages) {
        result.error = kNoName;
        return result;
    }
    const auto language = directory_entry(bytes, *languages, std::nullopt);
    if (!language || (*language & kSubdirectory) != 0) {
        result.error = kNoLanguage;
        return result;
    }
    std::uint32_t data_rva = 0;
    std::uint32_t data_size = 0;
    const std::uint64_t entry = std::uint64_t{*root} + *language;
    if (entry >= bytes.size() || !get32(bytes, static_cast<std::size_t>(entry), data_rva) ||
        !get32(bytes, static_cast<std::size_t>(entry) + 4, data_size)) {
        result.error = kNoResourceSection;
        return result;
    }
    const auto data = rva_to_offset(bytes, *headers, data_rva);
    if (!data || data_size == 0 || data_size > bytes.size() - *data) {
        result.error = kNoResourceSection;
        return result;
    }
    result.offset = *data;
    result.size = data_size;
    return result;
}

RootVersionBlock root_version_block(const std::vector<std::uint8_t>& buffer) {
    RootVersionBlock block;
    std::uint16_t length = 0;
    std::uint16_t value_length = 0;
    if (!get16(buffer, 0, length) || !get16(buffer, 2, value_length) || length < 40 || length > buffer.size()) {
        return block;
    }
    const char* key = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint16_t unit = 0;
        get16(buffer, 6 + 2 * i, unit);
        if (unit != static_cast<std::uint16_t>(key[i])) return block;  // key[15] is the NUL
    }
    if (std::size_t{40} + value_length > length) return block;
    block.ok = true;
    block.value_offset = 40;
    block.value_length = value_length;
    return block;
}

std::optional<std::array<std::uint16_t, 4>> parse_file_version(const std::string& text) {
    unsigned parts[4] = {0, 0, 0, 0};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4) {
        return std::nullopt;
    }
    std::array<std::uint16_t, 4> version{};
    for (int i = 0; i < 4; ++i) {
        if (parts[i] > 0xFFFF) return std::nullopt;
        version[i] = static_cast<std::uint16_t>(parts[i]);
    }
    return version;
}

}  // namespace vq4::sim
