// Contract of what the elevation boundary asks of the system
// (src/platform/security.h, expand_system_environment_strings,
// get_process_elevation): ProgramData as the shell knows it, the system's
// variables, the process's own elevation, and folders made for
// administrators only.
#include <algorithm>
#include <string>

#include "contract/contract_test.h"
#include "platform/elevation.h"
#include "platform/environment.h"
#include "platform/security.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::contract {
namespace {

namespace s = situation;

class SecurityContract : public Contract {};

TEST_F(SecurityContract, ProgramDataIsTheShellsKnownFolder) {
    std::wstring folder;
    ASSERT_EQ(platform::get_program_data_folder(folder), 0u);
    ASSERT_GE(folder.size(), 3u);
    EXPECT_EQ(folder[1], L':') << "a fully qualified path";
    const std::wstring tail = L"\\PROGRAMDATA";
    EXPECT_EQ(to_upper_ascii(folder.substr(folder.size() - std::min(folder.size(), tail.size()))), tail);
}

TEST_F(SecurityContract, TheSystemsVariablesExpandAsTheProcessHasThem) {
    // A variable of the system: the same with or without the user's.
    std::wstring process, system;
    ASSERT_EQ(platform::expand_environment_strings(L"%SystemRoot%\\System32", process), 0u);
    ASSERT_EQ(platform::expand_system_environment_strings(L"%SystemRoot%\\System32", system), 0u);
    EXPECT_EQ(system, process);
    EXPECT_NE(system.find(L'\\'), std::wstring::npos);
    EXPECT_EQ(system.find(L'%'), std::wstring::npos);
}

TEST_F(SecurityContract, TheElevatedSuiteSeesItsOwnTokenElevated) {
    std::uint32_t elevated = 7;
    ASSERT_EQ(platform::get_process_elevation(elevated), 0u);
    EXPECT_EQ(elevated, 1u);
}

TEST_F(SecurityContract, AProtectedFolderIsMadeOnceAndHasAnOwner) {
    const std::wstring path = s::path_in_folder(L"protected");
    ASSERT_EQ(platform::create_protected_directory(path), 0u);
    EXPECT_EQ(platform::create_protected_directory(path), win::ERROR_ALREADY_EXISTS_) << "never made twice";
    EXPECT_EQ(platform::create_protected_directory(s::path_in_folder(L"missing\\protected")), win::ERROR_PATH_NOT_FOUND_);
    platform::ObjectSecurity security;
    ASSERT_EQ(platform::get_file_security(path, security), 0u);
    EXPECT_FALSE(security.owner.empty());
}

}  // namespace
}  // namespace vq4::contract
