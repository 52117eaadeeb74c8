// The folder for the files an administrator acts on: the registry backup
// (which an administrator imports) and, when the executable's folder cannot
// take it, the elevated instance's report. It lives where only
// administrators can write, so that nobody changes a backup between the
// repair and its `reg import`.
#pragma once

#include <cstdint>
#include <string>

namespace vq4 {

struct ProtectedFolder {
    std::uint32_t error = 0;  // 0, or the code of the step that failed
    std::wstring path;        // the folder (error 0 only)
};

// %ProgramData%\VQ4_Diag\Backups, ProgramData as the shell knows it
// (SHGetKnownFolderPath, never the environment). VQ4_Diag and Backups are
// created with an administrators-only, protected DACL; when either exists
// already and someone other than SYSTEM, Administrators and TrustedInstaller
// owns it or may change it (a user could have made it first), it is not
// used: a new folder %ProgramData%\VQ4_Diag_Backups_YYYYMMDD_hhmmss ("_2",
// "_3", ... up to "_99" when taken) is created the same way instead. The
// error is the first failure's code (ERROR_ALREADY_EXISTS when every new
// name is taken).
ProtectedFolder open_protected_folder();

// Where open_protected_folder puts its files in the usual case
// (%ProgramData%\VQ4_Diag\Backups), without creating or checking anything;
// empty when ProgramData cannot be found.
std::wstring usual_protected_folder();

// In the first instance, when the elevated instance's report cannot be read
// where it was to be written (`read_error` ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND or ERROR_ACCESS_DENIED): one Info line naming where
// that instance writes it when the executable's folder refuses it (beside
// the backups, readable by administrators only). Nothing otherwise.
void show_protected_report_location(const std::wstring& elevated_report, std::uint32_t read_error);

}  // namespace vq4
