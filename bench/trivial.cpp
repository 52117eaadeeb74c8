// The benchmark's yardstick under Wine: a program that does nothing, built
// and linked the way VQ4_Diag.exe is, so that its start costs what starting
// any such program costs in the prefix. Given two numbers N and MS it first
// sleeps N times MS milliseconds, which shows what the platform's own pauses
// cost beyond their nominal length.
//
// Built with VQ4_BENCH_IMPORTS it also imports the system DLLs VQ4_Diag.exe
// imports, so that the cost of loading them shows apart from the tool's own
// work; given the argument "lists" it then makes the platform calls by which
// a run lists the USB nodes, the processes and the services, which shows
// what those calls cost the platform (services.exe answers over RPC).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef VQ4_BENCH_IMPORTS
#include <setupapi.h>
#include <tlhelp32.h>

namespace {

void list_like_a_run() {
    const HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        }
        CloseHandle(snapshot);
    }
    if (const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE)) {
        DWORD needed = 0, count = 0, resume = 0;
        EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                              &count, &resume, nullptr);
        std::vector<BYTE> buffer(needed);
        if (needed != 0) {
            EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(), needed,
                                  &needed, &count, &resume, nullptr);
        }
        CloseServiceHandle(manager);
    }
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef VQ4_BENCH_IMPORTS
    if (argc == 2 && std::strcmp(argv[1], "lists") == 0) list_like_a_run();
#endif
    if (argc == 3) {
        const int count = std::atoi(argv[1]);
        const DWORD milliseconds = static_cast<DWORD>(std::atoi(argv[2]));
        for (int i = 0; i < count; ++i) Sleep(milliseconds);
    }
    return 0;
}
