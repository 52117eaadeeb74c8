// The version API on the simulated machine. It reads the file's bytes as
// Windows does: the version resource of a PE image, found through its
// resource section. Like Windows, the size it asks for is twice the
// resource plus four bytes (room for the ANSI copies of VerQueryValueA), and
// GetFileVersionInfoW copies the resource to the start of the buffer.
#include "platform/version.h"

#include <algorithm>

#include "platform/sim/file_handles.h"
#include "platform/sim/machine.h"
#include "platform/sim/pe_image.h"
#include "platform/win_constants.h"

namespace vq4::platform {

namespace {

// The version resource of a file, or the error GetFileVersionInfoSizeW gives.
sim::VersionResource locate(const std::wstring& path, const sim::File*& file) {
    sim::VersionResource found;
    file = sim::machine().find_file(path);
    if (file == nullptr) {
        found.error = sim::missing_file_error(path);
    } else if ((file->attributes & win::FILE_ATTRIBUTE_DIRECTORY_) != 0) {
        found.error = win::ERROR_ACCESS_DENIED_;
    } else if (file->held_exclusively) {
        found.error = win::ERROR_SHARING_VIOLATION_;
    } else {
        found = sim::find_version_resource(file->bytes);
    }
    return found;
}

std::uint32_t read32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

}  // namespace

VersionInfoSize get_file_version_info_size(const std::wstring& path) {
    VersionInfoSize result;
    const auto injected = sim::enter_call("GetFileVersionInfoSizeW", sim::narrow(path));
    if (injected) {
        result.error = *injected;
    } else {
        const sim::File* file = nullptr;
        const sim::VersionResource found = locate(path, file);
        if (found.error != 0) {
            result.error = found.error;
        } else {
            result.size = static_cast<std::uint32_t>(found.size * 2 + 4);
        }
    }
    sim::record_result(result.size);
    return result;
}

std::uint32_t get_file_version_info(const std::wstring& path, std::vector<std::uint8_t>& buffer) {
    const auto injected =
        sim::enter_call("GetFileVersionInfoW", sim::narrow(path) + ", " + std::to_string(buffer.size()));
    std::uint32_t error = 0;
    if (injected) {
        error = *injected;
    } else {
        const sim::File* file = nullptr;
        const sim::VersionResource found = locate(path, file);
        if (found.error != 0) {
            error = found.error;
        } else if (buffer.empty()) {
            error = win::ERROR_INSUFFICIENT_BUFFER_;
        } else {
            const std::size_t take = found.size < buffer.size() ? found.size : buffer.size();
            std::copy(file->bytes.begin() + static_cast<std::ptrdiff_t>(found.offset),
                      file->bytes.begin() + static_cast<std::ptrdiff_t>(found.offset + take), buffer.begin());
            if (buffer.size() >= found.size + 4) {
                const char* signature = "FE2X";
                std::copy(signature, signature + 4, buffer.begin() + static_cast<std::ptrdiff_t>(found.size));
            }
        }
    }
    return sim::finish(error);
}

FixedFileVersion ver_query_root_version(const std::vector<std::uint8_t>& buffer) {
    FixedFileVersion result;
    // An injected fault makes the call return FALSE, as for a buffer without
    // the root block (VerQueryValueW sets no error code of its own).
    const bool injected = sim::enter_call("VerQueryValueW", "\\").has_value();
    const sim::RootVersionBlock block = injected ? sim::RootVersionBlock{} : sim::root_version_block(buffer);
    // VS_FIXEDFILEINFO is 52 bytes; dwFileVersionMS and LS are at 8 and 12.
    if (block.ok && block.value_length >= 52) {
        result.found = true;
        result.file_version_ms = read32(buffer, block.value_offset + 8);
        result.file_version_ls = read32(buffer, block.value_offset + 12);
    }
    sim::record_result(block.ok ? 1 : 0);
    return result;
}

}  // namespace vq4::platform
