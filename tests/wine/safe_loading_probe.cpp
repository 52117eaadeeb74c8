// Calls into every DLL the Windows build loads at run time, through the
// platform layer exactly as the tool does, after the tool's own start-up:
// the SDK loader (a bare name, a relative path, and the fully qualified path
// given as the first argument), cfgmgr32 (CM_Locate_DevNodeW), version
// (GetFileVersionInfoSizeW on kernel32.dll) and winusb (WinUsb_Initialize
// on a plain file). A run of the tool under Wine does not reach most of
// these: it has no USB device, and the repair is not run. The second
// argument, when given, is a test SDK whose QTV_Init loads its companion by
// its bare name: its QTV_Init result without and with its folder added to
// the DLL search (AddDllDirectory, as section 5 does).
//
// Prints one "name=value" line per call, then "module <dll>=<path>" for
// the module the process has under that name, for safe_loading_tests.sh,
// which plants marker DLLs beside this program and in its current directory
// and checks that none of them was loaded.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/device_changes.h"
#include "platform/library.h"
#include "platform/system.h"
#include "platform/version.h"
#include "platform/winusb.h"
#include "util/text.h"

namespace {

void print_module(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    const HMODULE module = GetModuleHandleW(name);
    if (module == nullptr || GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        std::printf("module %ls=(none)\n", name);
        return;
    }
    std::printf("module %ls=%ls\n", name, path);
}

// Wine's winusb.dll exports WinUsb_Initialize as an unimplemented stub,
// which raises this exception when called. By then the DLL has been loaded,
// which is all the test needs to see: name it and end.
constexpr DWORD kWineStubException = 0x80000100;

LONG WINAPI on_exception(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kWineStubException) return EXCEPTION_CONTINUE_SEARCH;
    std::printf("winusb_initialize=unimplemented\n");
    print_module(L"winusb.dll");
    ExitProcess(0);
}

// Loads the SDK at `path`, calls QTV_Init (and QTV_Exit after a success)
// and returns QTV_Init's result; its folder is added to the DLL search first
// when `with_folder`. A failed load or a missing entry point is printed.
int init_result(const std::wstring& path, bool with_folder) {
    using namespace vq4;
    platform::DllDirectory folder;
    if (with_folder) {
        const std::uint32_t added = platform::add_dll_directory(path.substr(0, path.rfind(L'\\')), folder);
        if (added != 0) std::printf("add_dll_directory=%u\n", added);
    }
    platform::Library library;
    const std::uint32_t loaded = platform::load_library(path, library);
    if (loaded != 0) {
        std::printf("load=%u\n", loaded);
        return -1000;
    }
    using Init = int (*)(unsigned, INT_PTR, INT_PTR);
    using Exit = void (*)();
    const auto init = reinterpret_cast<Init>(platform::get_proc_address(library, "QTV_Init").address);
    const auto exit = reinterpret_cast<Exit>(platform::get_proc_address(library, "QTV_Exit").address);
    if (init == nullptr || exit == nullptr) {
        std::printf("entry points missing\n");
        return -1001;
    }
    const int result = init(0x152, 0, 0);
    if (result == 0) exit();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vq4;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int exit_code = 0;
    if (!platform::platform_startup(exit_code)) return exit_code;

    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    std::printf("system_directory=%ls\n", system);

    platform::Library library;
    std::printf("load_bare=%u\n", platform::load_library(L"qtv_api_core.dll", library));
    std::printf("load_relative=%u\n", platform::load_library(L".\\qtv_api_core.dll", library));
    if (argc > 1) {
        std::printf("load_qualified=%u\n", platform::load_library(widen(argv[1]), library));
    }
    if (argc > 2) {
        std::printf("by_name_without_folder=%d\n", init_result(widen(argv[2]), false));
        std::printf("by_name_with_folder=%d\n", init_result(widen(argv[2]), true));
    }

    std::uint32_t dev_inst = 0;
    std::printf("cm_locate_devnode=%u\n", platform::cm_locate_devnode(L"", 0, dev_inst));
    print_module(L"cfgmgr32.dll");

    const std::wstring kernel32 = std::wstring(system, length) + L"\\kernel32.dll";
    const platform::VersionInfoSize size = platform::get_file_version_info_size(kernel32);
    std::printf("version_info_size=%u error=%u\n", size.size, size.error);
    print_module(L"version.dll");

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const HANDLE file = CreateFileW(self, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    platform::FileHandle plain(reinterpret_cast<std::uintptr_t>(file));
    platform::WinUsbHandle usb;
    AddVectoredExceptionHandler(1, on_exception);
    std::printf("winusb_initialize=%u\n", platform::winusb_initialize(plain, usb));
    print_module(L"winusb.dll");
    return 0;
}
