/* A planted DLL for the safe-loading Wine tests. Copied beside the tool and
 * into its current directory under the names of the DLLs the tool loads
 * (cfgmgr32.dll, version.dll, winusb.dll, vxlinkapi_x64.dll,
 * qtv_api_core.dll), it exports what the tool or the SDK would call from
 * each of them (marker_dll.def), so that a loader that picked it up would
 * bind to it and run it. Its DllMain then leaves "<its own path>.loaded"
 * beside it: the tests assert that no such file appears.
 *
 * Its functions never pretend to work: the Win32-style ones fail with an
 * application-defined error code, the CONFIGRET and SDK ones return -99. */
#include <windows.h>

#define MARKER_ERROR (0x20000000u | 0x4D4Bu) /* bit 29: an application's own code */

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        static const wchar_t suffix[] = L".loaded";
        wchar_t path[MAX_PATH + sizeof suffix / sizeof suffix[0]];
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            HANDLE file;
            lstrcatW(path, suffix);
            file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}

/* WinUsb_*, GetFileVersionInfo*, VerQueryValueW, VX_LinkVersion: FALSE or 0. */
DWORD WINAPI marker_fail(void) {
    SetLastError(MARKER_ERROR);
    return 0;
}

/* CM_* (a CONFIGRET that is no success) and the SDK's QTV_* (an error code). */
int WINAPI marker_refuse(void) {
    SetLastError(MARKER_ERROR);
    return -99;
}
