// System DLLs loaded at run time from System32 only (see system_library.h).
#include "platform/win32/system_library.h"

namespace vq4::platform::system_library {

Module load(const wchar_t* file_name) {
    Module module;
    module.handle = LoadLibraryExW(file_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module.handle == nullptr) module.error = GetLastError();
    return module;
}

RawEntry find_entry(const Module& module, const char* name, DWORD& error) {
    if (module.handle == nullptr) {
        error = module.error;
        return nullptr;
    }
    const FARPROC address = GetProcAddress(module.handle, name);
    if (address == nullptr) {
        error = GetLastError();
        return nullptr;
    }
    error = 0;
    return reinterpret_cast<RawEntry>(address);
}

const ConfigManagerApi& config_manager() {
    static const ConfigManagerApi api = [] {
        const Module module = load(L"cfgmgr32.dll");
        ConfigManagerApi loaded;
        resolve(module, "CM_Locate_DevNodeW", loaded.locate_devnode);
        resolve(module, "CM_Get_Parent", loaded.get_parent);
        resolve(module, "CM_Get_Child", loaded.get_child);
        resolve(module, "CM_Get_Sibling", loaded.get_sibling);
        resolve(module, "CM_Get_Device_IDW", loaded.get_device_id);
        resolve(module, "CM_Open_DevNode_Key", loaded.open_devnode_key);
        resolve(module, "CM_Reenumerate_DevNode", loaded.reenumerate_devnode);
        resolve(module, "CM_Get_DevNode_Status", loaded.get_devnode_status);
        return loaded;
    }();
    return api;
}

const Kernel32Api& kernel32() {
    static const Kernel32Api api = [] {
        const Module module = load(L"kernel32.dll");
        Kernel32Api loaded;
        resolve(module, "IsWow64Process2", loaded.is_wow64_process2);
        return loaded;
    }();
    return api;
}

const ComApi& com() {
    static const ComApi api = [] {
        const Module module = load(L"ole32.dll");
        ComApi loaded;
        resolve(module, "CoInitializeEx", loaded.initialize);
        resolve(module, "CoUninitialize", loaded.uninitialize);
        resolve(module, "CoTaskMemFree", loaded.task_mem_free);
        return loaded;
    }();
    return api;
}

const ShellApi& shell() {
    static const ShellApi api = [] {
        ShellApi loaded;
        const Module module = load(L"shell32.dll");
        resolve(module, "ShellExecuteExW", loaded.execute);
        resolve(module, "SHGetKnownFolderPath", loaded.get_known_folder_path);
        return loaded;
    }();
    return api;
}

const UserEnvironmentApi& user_environment() {
    static const UserEnvironmentApi api = [] {
        UserEnvironmentApi loaded;
        resolve(load(L"userenv.dll"), "ExpandEnvironmentStringsForUserW", loaded.expand_for_user);
        return loaded;
    }();
    return api;
}

}  // namespace vq4::platform::system_library
