#include "repair/protected_folder.h"

#include "inspect/write_access.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/win_constants.h"
#include "report/report.h"
#include "util/text.h"

namespace vq4 {

namespace {

constexpr int kMaxNewFolders = 99;
constexpr std::uint32_t kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// 0 when `path` is a folder only administrators can change, created now or
// found; ERROR_ALREADY_EXISTS when it exists but others may change it;
// another code when it cannot be created or checked.
std::uint32_t make_or_check(const std::wstring& path) {
    const std::uint32_t created = platform::create_protected_directory(path);
    if (created != win::ERROR_ALREADY_EXISTS_) return created;
    return who_else_may_change_path(path).empty() ? 0 : win::ERROR_ALREADY_EXISTS_;
}

// A new folder of its own in ProgramData, never one that exists.
ProtectedFolder new_folder(const std::wstring& program_data) {
    const platform::LocalTime t = platform::get_local_time();
    std::wstring base;
    format_wide(base, 260, L"%ls\\VQ4_Diag_Backups_%04d%02d%02d_%02d%02d%02d", program_data.c_str(), int{t.year},
                int{t.month}, int{t.day}, int{t.hour}, int{t.minute}, int{t.second});
    if (base.empty()) return {kErrorFilenameTooLong, {}};
    std::uint32_t error = 0;
    for (int attempt = 1; attempt <= kMaxNewFolders; ++attempt) {
        const std::wstring candidate = attempt == 1 ? base : numbered_file_name(base, attempt, L"");
        error = platform::create_protected_directory(candidate);
        if (error == 0) return {0, candidate};
        if (error != win::ERROR_ALREADY_EXISTS_) break;
    }
    return {error, {}};
}

}  // namespace

ProtectedFolder open_protected_folder() {
    std::wstring program_data;
    if (const std::uint32_t error = platform::get_program_data_folder(program_data); error != 0) return {error, {}};
    const std::wstring tool_folder = program_data + L"\\VQ4_Diag";
    const std::wstring backups = tool_folder + L"\\Backups";
    std::uint32_t error = make_or_check(tool_folder);
    // Below a folder others may change, a folder of ours could be swapped.
    if (error == 0) error = make_or_check(backups);
    if (error == 0) return {0, backups};
    if (error != win::ERROR_ALREADY_EXISTS_) return {error, {}};
    return new_folder(program_data);
}

std::wstring usual_protected_folder() {
    std::wstring program_data;
    if (platform::get_program_data_folder(program_data) != 0) return {};
    return program_data + L"\\VQ4_Diag\\Backups";
}

void show_protected_report_location(const std::wstring& elevated_report, std::uint32_t read_error) {
    if (read_error != win::ERROR_FILE_NOT_FOUND_ && read_error != win::ERROR_PATH_NOT_FOUND_ &&
        read_error != win::ERROR_ACCESS_DENIED_) {
        return;
    }
    const std::wstring::size_type separator = elevated_report.find_last_of(L"\\/");
    const std::wstring folder = usual_protected_folder();
    if (separator == std::wstring::npos || folder.empty()) return;
    print_status(StatusKind::Info, L"Where this folder refuses it, the elevated instance writes its report to " +
                                       folder + L"\\" + elevated_report.substr(separator + 1) +
                                       L" (administrators only).");
}

}  // namespace vq4
