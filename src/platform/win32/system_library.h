// System DLLs that are loaded at run time, from System32 only.
//
// The tool is started from download folders and USB sticks and relaunches
// itself elevated for the repair, so a DLL planted beside it must never be
// loaded. The executable therefore imports statically only DLLs that the
// system always takes from System32 (its known DLLs: kernel32, advapi32,
// setupapi, msvcrt). Every other system DLL it needs (cfgmgr32, winusb,
// version, shell32, ole32, userenv) is loaded through `load` below, by LoadLibraryExW with
// LOAD_LIBRARY_SEARCH_SYSTEM32, once per API table, and kept for the life of
// the process. A missing DLL or entry point does not stop the tool: each
// entry remembers why it is missing, and the operations that need it fail
// with that reason.
#pragma once

#include <windows.h>
// windows.h first: cfgmgr32.h and objbase.h need its types.
#include <cfgmgr32.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

namespace vq4::platform::system_library {

struct Module {
    HMODULE handle = nullptr;
    DWORD error = 0;  // LoadLibraryExW's error when `handle` is null
};

// LoadLibraryExW(file_name, LOAD_LIBRARY_SEARCH_SYSTEM32). Never released.
Module load(const wchar_t* file_name);

// GetProcAddress(module, name) through the generic function pointer type;
// null with `error` set when the module is missing (its load error) or does
// not export the name (ERROR_PROC_NOT_FOUND or whatever GetProcAddress says).
using RawEntry = void (*)();
RawEntry find_entry(const Module& module, const char* name, DWORD& error);

template <class Function>
struct Entry {
    Function function = nullptr;
    DWORD error = 0;  // why `function` is null
};

template <class Function>
void resolve(const Module& module, const char* name, Entry<Function>& entry) {
    // Through RawEntry: a cast between two unrelated function pointer types
    // would warn.
    entry.function = reinterpret_cast<Function>(find_entry(module, name, entry.error));
}

// The configuration manager's functions the tool calls (cfgmgr32.dll).
struct ConfigManagerApi {
    Entry<decltype(&CM_Locate_DevNodeW)> locate_devnode;
    Entry<decltype(&CM_Get_Parent)> get_parent;
    Entry<decltype(&CM_Get_Child)> get_child;
    Entry<decltype(&CM_Get_Sibling)> get_sibling;
    Entry<decltype(&CM_Get_Device_IDW)> get_device_id;
    Entry<decltype(&CM_Open_DevNode_Key)> open_devnode_key;
    Entry<decltype(&CM_Reenumerate_DevNode)> reenumerate_devnode;
    Entry<decltype(&CM_Get_DevNode_Status)> get_devnode_status;
};

// Loaded on first use. A CM_* operation whose function is missing returns
// CR_FAILURE: its callers read a CONFIGRET, and a Win32 loader code such as
// 126 would be taken for an unrelated CONFIGRET value.
const ConfigManagerApi& config_manager();

// kernel32 functions that older Windows versions lack, looked up by name so
// that the tool still starts there.
struct Kernel32Api {
    // IsWow64Process2, Windows 10 version 1709 and later.
    Entry<BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*)> is_wow64_process2;
};
const Kernel32Api& kernel32();

// COM's set-up of the calling thread (ole32.dll), which the shell needs
// before ShellExecuteExW. Loaded on first use, by the elevated relaunch only.
struct ComApi {
    Entry<decltype(&CoInitializeEx)> initialize;
    Entry<decltype(&CoUninitialize)> uninitialize;
    Entry<decltype(&CoTaskMemFree)> task_mem_free;
};
const ComApi& com();

// The shell's ShellExecuteExW (shell32.dll), for the elevated relaunch only:
// loading shell32 at start, with the DLLs it brings, cost more than the rest
// of a run under Wine. Loaded on first use.
// SHGetKnownFolderPath serves the elevated instance's protected folders, and
// CoTaskMemFree (ole32) releases the path it returns.
struct ShellApi {
    Entry<decltype(&ShellExecuteExW)> execute;
    Entry<decltype(&SHGetKnownFolderPath)> get_known_folder_path;
};
const ShellApi& shell();

// ExpandEnvironmentStringsForUserW (userenv.dll), for the system's variables
// in an elevated process. Loaded on first use.
struct UserEnvironmentApi {
    Entry<BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, DWORD)> expand_for_user;
};
const UserEnvironmentApi& user_environment();

}  // namespace vq4::platform::system_library
