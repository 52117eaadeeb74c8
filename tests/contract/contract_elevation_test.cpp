// Contract of the token's elevation and of the elevated relaunch
// (src/platform/elevation.h): OpenProcessToken and GetTokenInformation
// (TokenElevation), ShellExecuteExW with "runas", WaitForSingleObject and
// GetExitCodeProcess on the process it started.
//
// The started program is the suite's own small program that ends with the
// exit code it is given (situation::arrange_exit_code_program): on Windows
// and Wine the real executable, on the simulated side the Linux build of it,
// run by the simulated relaunch.
#include <string>

#include "contract/contract_test.h"
#include "platform/elevation.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::ProcessHandle;
using platform::TokenHandle;

class ElevationContract : public Contract {};

constexpr std::uint32_t kTokenQuerySource = 0x0010;
constexpr std::int32_t kSwHide = 0;

// ---- The token ----

TEST_F(ElevationContract, TokenOfAnElevatedProcess) {
    // Every side runs the suite elevated: Wine always, Windows from an
    // elevated prompt, the simulated machine of every situation.
    TokenHandle token;
    ASSERT_EQ(platform::open_process_token(win::TOKEN_QUERY_, token), 0u);
    ASSERT_TRUE(token.valid());
    std::uint32_t elevated = 7;
    EXPECT_EQ(platform::get_token_elevation(token, elevated), 0u);
    EXPECT_EQ(elevated, 1u);
}

TEST_F(ElevationContract, TokenElevationNeedsTokenQuery) {
    TokenHandle token;
    ASSERT_EQ(platform::open_process_token(kTokenQuerySource, token), 0u);
    std::uint32_t elevated = 7;
    EXPECT_EQ(platform::get_token_elevation(token, elevated), win::ERROR_ACCESS_DENIED_);
    EXPECT_EQ(elevated, 7u);
}

TEST_F(ElevationContract, TokenOfAProcessWithoutAdministratorRights) {
    if (!s::arrange_not_elevated()) GTEST_SKIP() << "this side runs every process elevated";
    TokenHandle token;
    ASSERT_EQ(platform::open_process_token(win::TOKEN_QUERY_, token), 0u);
    std::uint32_t elevated = 7;
    EXPECT_EQ(platform::get_token_elevation(token, elevated), 0u);
    EXPECT_EQ(elevated, 0u);
}

// ---- Starting a program elevated and waiting for it ----

TEST_F(ElevationContract, RunasStartsTheProgramAndItsExitCodeComesBack) {
    const std::wstring program = s::arrange_exit_code_program();
    for (const std::uint32_t code : {0u, 1u, 37u}) {
        SCOPED_TRACE(code);
        ProcessHandle process;
        ASSERT_EQ(platform::shell_execute_ex(L"runas", program, std::to_wstring(code), kSwHide, process), 0u);
        ASSERT_TRUE(process.valid());
        EXPECT_EQ(platform::wait_for_single_object(process, win::INFINITE_), win::WAIT_OBJECT_0_);
        std::uint32_t exit_code = 0xDEADBEEF;
        EXPECT_EQ(platform::get_exit_code_process(process, exit_code), 0u);
        EXPECT_EQ(exit_code, code);
        // An ended process stays signalled.
        EXPECT_EQ(platform::wait_for_single_object(process, 0), win::WAIT_OBJECT_0_);
    }
}

TEST_F(ElevationContract, ARunningProcessIsStillActiveUntilItEnds) {
    const std::wstring program = s::arrange_exit_code_program();
    ProcessHandle process;
    // Ends with 5 after a second: long enough to be seen running.
    ASSERT_EQ(platform::shell_execute_ex(L"runas", program, L"5 1000", win::SW_SHOWNORMAL_, process), 0u);
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(platform::wait_for_single_object(process, 0), win::WAIT_TIMEOUT_);
    std::uint32_t exit_code = 0xDEADBEEF;
    EXPECT_EQ(platform::get_exit_code_process(process, exit_code), 0u);
    EXPECT_EQ(exit_code, win::STILL_ACTIVE_);

    EXPECT_EQ(platform::wait_for_single_object(process, win::INFINITE_), win::WAIT_OBJECT_0_);
    EXPECT_EQ(platform::get_exit_code_process(process, exit_code), 0u);
    EXPECT_EQ(exit_code, 5u);
}

// SEE_MASK_FLAG_NO_UI: the error comes back as a code, with no error box for
// a person to close first.
TEST_F(ElevationContract, AMissingProgramIsNotStarted) {
    s::arrange_exit_code_program();
    ProcessHandle process;
    EXPECT_EQ(platform::shell_execute_ex(L"runas", s::path_in_folder(L"absent.exe"), L"0", kSwHide, process),
              win::ERROR_FILE_NOT_FOUND_);
    EXPECT_FALSE(process.valid());
}

TEST_F(ElevationContract, TheUserDeclinesTheElevationPrompt) {
    const std::wstring program = s::arrange_exit_code_program();
    if (!s::arrange_not_elevated() || !s::arrange_elevation_prompt_declined()) {
        GTEST_SKIP() << "only the simulated side can answer the elevation prompt";
    }
    ProcessHandle process;
    EXPECT_EQ(platform::shell_execute_ex(L"runas", program, L"0", kSwHide, process), win::ERROR_CANCELLED_);
    EXPECT_FALSE(process.valid());
}

}  // namespace
}  // namespace vq4::contract
