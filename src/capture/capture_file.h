// The machine file a capture is written as, and where it goes: beside the
// report, under the report's date and time.
#pragma once

#include <cstdint>
#include <string>

#include "capture/machine_capture.h"

namespace vq4::capture {

// The machine file, UTF-8 JSON ending in a newline.
std::string machine_file_text(const Capture& capture);

// "VQ4_Diag_Machine_..." beside a report "VQ4_Diag_Report_...": the same
// time and the same "_n" as the report, ".json".
std::wstring capture_path_for_report(const std::wstring& report_path);

// Creates the file under `path` or, when that name is taken, the next free
// "_2", "_3", ...; writes the document. Returns 0 or the error code; `written`
// is the path created.
std::uint32_t write_capture(const std::wstring& path, const Capture& capture, std::wstring& written);

}  // namespace vq4::capture
