// Contract of the environment expansion (src/platform/environment.h): the
// same assertions against the simulated machine's variables and against the
// process environment of Wine or Windows.
#include <string>

#include "contract/contract_test.h"
#include "platform/environment.h"

namespace vq4::contract {
namespace {

namespace s = situation;

class EnvironmentContract : public Contract {};

TEST_F(EnvironmentContract, KnownNamesAreExpandedOnceAndTheRestStays) {
    s::set_environment_variable(L"VQ4_CONTRACT_DIR", L"C:\\Vq4 Contract");
    s::set_environment_variable(L"VQ4_CONTRACT_INDIRECT", L"x%VQ4_CONTRACT_DIR%y");
    struct Case {
        const char* what;
        std::wstring text;
        std::wstring expanded;
    };
    const Case cases[] = {
        {"no reference", L"C:\\SDK\\qtv_api_core.dll", L"C:\\SDK\\qtv_api_core.dll"},
        {"a known name", L"%VQ4_CONTRACT_DIR%\\qtv_api_core.dll", L"C:\\Vq4 Contract\\qtv_api_core.dll"},
        {"letter case of the name does not matter", L"%vq4_Contract_dir%\\x", L"C:\\Vq4 Contract\\x"},
        {"two side by side", L"%VQ4_CONTRACT_DIR%%VQ4_CONTRACT_DIR%", L"C:\\Vq4 ContractC:\\Vq4 Contract"},
        {"text around it", L"[%VQ4_CONTRACT_DIR%]", L"[C:\\Vq4 Contract]"},
        {"an unknown name stays as it is", L"%VQ4_CONTRACT_MISSING%\\qtv_api_core.dll",
         L"%VQ4_CONTRACT_MISSING%\\qtv_api_core.dll"},
        {"a '%' without a closing one", L"%VQ4_CONTRACT_DIR\\qtv_api_core.dll", L"%VQ4_CONTRACT_DIR\\qtv_api_core.dll"},
        {"a single '%' after text", L"100% done", L"100% done"},
        {"a value is not expanded again", L"%VQ4_CONTRACT_INDIRECT%", L"x%VQ4_CONTRACT_DIR%y"},
        {"the empty text", L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring out = L"(unchanged)";
        EXPECT_EQ(platform::expand_environment_strings(c.text, out), 0u);
        EXPECT_EQ(out, c.expanded);
    }
}

}  // namespace
}  // namespace vq4::contract
