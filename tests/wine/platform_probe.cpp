// Runs the shared case tables of the SDK configuration lookup and of the
// registered-GUID reads on the real Windows API (under Wine), with the same
// expectations the GoogleTest suite checks on the simulated machine.
//
// Before it runs, the test script creates the SDK registration key
// HKCR\CLSID\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\InProcServer32 and the
// empty keys HKLM\SOFTWARE\VQ4Probe\rg_N. The case files go to a "probe"
// folder beside this executable. Exit code 0 when every case agrees.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/run_driver.h"
#include "support/interface_guid_cases.h"

int main() {
    using namespace vq4;
    const std::wstring folder = exe_directory() + L"\\probe";
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(folder), ignored);

    test::CaseHost host;
    host.write_file = [](const std::wstring& path, const std::string& bytes) {
        const std::filesystem::path file(path);
        std::error_code error;
        std::filesystem::create_directories(file.parent_path(), error);
        std::ofstream(file, std::ios::binary) << bytes;
    };
    host.create_key = [](const std::wstring&) {};  // created by the test script
    host.set_variable = [](const std::wstring& name, const std::wstring& value) {
        SetEnvironmentVariableW(name.c_str(), value.c_str());
    };

    std::vector<std::string> failures = test::run_profile_cases(folder, host);
    const std::vector<std::string> sources = test::run_guid_source_cases(folder, host);
    const std::vector<std::string> registered = test::run_registered_cases(host);
    failures.insert(failures.end(), sources.begin(), sources.end());
    failures.insert(failures.end(), registered.begin(), registered.end());

    const std::size_t total =
        test::profile_cases().size() + test::guid_source_cases().size() + test::registered_cases().size();
    for (const std::string& failure : failures) std::printf("FAIL: %s\n", failure.c_str());
    std::printf("%zu cases, %zu failed\n", total, failures.size());
    std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    return failures.empty() ? 0 : 1;
}
