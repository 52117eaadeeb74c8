/* A small SDK library for the Wine tests. It honours the tool's SDK contract
 * (six entry points, the 1600-byte device record) and nothing more; what it
 * answers is chosen per test through environment variables, read when
 * QTV_Init is called:
 *
 *   QTVTEST_INIT_RESULT   QTV_Init's result (default 0)
 *   QTVTEST_VERSION       QTV_Get_SDK_Version's value, hexadecimal (default 0151)
 *   QTVTEST_DEVICES       device records separated by '|', each
 *                         "result;vid;pid;firmware;serial;name;link" with
 *                         vid, pid and firmware in hexadecimal; a text of
 *                         "*FULL*" fills its whole field with no terminator
 *   QTVTEST_DEVICE_COUNT  the count reported (default: the number of records)
 *   QTVTEST_APPEAR_AT     the poll from which the devices are seen (default 1);
 *                         a poll is a call of QTV_IsDeviceChanged, or of
 *                         QTV_GetDeviceCount in a build without it
 *   QTVTEST_CHANGED       QTV_IsDeviceChanged: "when_changed" (default),
 *                         "always" or "never"
 *   QTVTEST_LOG           a file that gets one line per call, for the tests to
 *                         check the order and pairing of the calls
 *
 * Like an SDK that cannot work without its USB access library, it refuses to
 * load when vxlinkapi_x64.dll (vxlinkapi_x86.dll in the 32-bit build) is not
 * in its own folder, and loads that library in QTV_Init.
 *
 * Built with -DTEST_SDK_IMPORTS_COMPANION (and linked against the companion)
 * it imports VX_LinkVersion statically, as a real SDK would, so the loader
 * resolves the companion when it loads the SDK; QTV_Init then fails with -23
 * unless the bound VX_LinkVersion is the one in the SDK's own folder.
 *
 * Built with -DTEST_SDK_LOADS_COMPANION_BY_NAME, QTV_Init loads the companion
 * by its bare name (LoadLibraryW("vxlinkapi_x64.dll")), as an SDK may that
 * counts on its caller's DLL search to look in its folder: it fails with -22
 * when the loader finds none, and with -23 when the one it finds is not the
 * copy in its own folder.
 *
 * Built with -DTEST_SDK_WITHOUT_IS_DEVICE_CHANGED or
 * -DTEST_SDK_WITHOUT_GET_DEVICE_INFO it lacks that export. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN64
#define COMPANION L"vxlinkapi_x64.dll"
#else
#define COMPANION L"vxlinkapi_x86.dll"
#endif

#define EXPORT __declspec(dllexport)

#ifdef TEST_SDK_IMPORTS_COMPANION
__declspec(dllimport) int VX_LinkVersion(void);
#endif
#define RECORD_SIZE 1600
#define MAX_DEVICES 8

typedef struct {
    int result;
    unsigned vid, pid, firmware;
    char serial[400];
    char name[400];
    char link[400];
} Device;

static HMODULE self;
static HMODULE companion;
static int initialised;
static int polls;
static int last_count;
static int appear_at = 1;
static int configured_count;
static int device_total;
static char changed_mode[32] = "when_changed";
static Device devices[MAX_DEVICES];

static void log_line(const char* format, ...) {
    char path[MAX_PATH];
    char line[512];
    va_list args;
    HANDLE file;
    DWORD written = 0;
    int length;
    if (GetEnvironmentVariableA("QTVTEST_LOG", path, sizeof path) == 0) return;
    va_start(args, format);
    length = vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    if (length < 0) return;
    if (length > (int)sizeof line - 3) length = (int)sizeof line - 3;
    line[length++] = '\r';
    line[length++] = '\n';
    file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

static int env_int(const char* name, int fallback, int base) {
    char text[64];
    if (GetEnvironmentVariableA(name, text, sizeof text) == 0) return fallback;
    return (int)strtol(text, NULL, base);
}

/* The next ch-separated field of *cursor, copied into out (cut to fit). */
static void next_field(char** cursor, char separator, char* out, size_t capacity) {
    char* start = *cursor;
    char* end = strchr(start, separator);
    size_t length = end ? (size_t)(end - start) : strlen(start);
    if (length >= capacity) length = capacity - 1;
    memcpy(out, start, length);
    out[length] = '\0';
    *cursor = end ? end + 1 : start + strlen(start);
}

static void read_devices(void) {
    static char text[4096];
    char* cursor = text;
    device_total = 0;
    if (GetEnvironmentVariableA("QTVTEST_DEVICES", text, sizeof text) == 0) text[0] = '\0';
    while (*cursor != '\0' && device_total < MAX_DEVICES) {
        char record[1400];
        char field[400];
        char* inner = record;
        Device* d = &devices[device_total++];
        next_field(&cursor, '|', record, sizeof record);
        next_field(&inner, ';', field, sizeof field);
        d->result = (int)strtol(field, NULL, 10);
        next_field(&inner, ';', field, sizeof field);
        d->vid = (unsigned)strtoul(field, NULL, 16);
        next_field(&inner, ';', field, sizeof field);
        d->pid = (unsigned)strtoul(field, NULL, 16);
        next_field(&inner, ';', field, sizeof field);
        d->firmware = (unsigned)strtoul(field, NULL, 16);
        next_field(&inner, ';', d->serial, sizeof d->serial);
        next_field(&inner, ';', d->name, sizeof d->name);
        next_field(&inner, ';', d->link, sizeof d->link);
    }
    configured_count = env_int("QTVTEST_DEVICE_COUNT", device_total, 10);
}

static int visible_count(void) { return polls >= appear_at ? configured_count : 0; }

#ifndef TEST_SDK_WITHOUT_GET_DEVICE_INFO
static void put16(unsigned char* record, size_t offset, unsigned value) {
    record[offset] = (unsigned char)(value & 0xFF);
    record[offset + 1] = (unsigned char)((value >> 8) & 0xFF);
}

static void put_text(unsigned char* record, size_t offset, size_t units, const char* text) {
    size_t i;
    if (strcmp(text, "*FULL*") == 0) {
        for (i = 0; i < units; ++i) put16(record, offset + 2 * i, 'F');
        return;
    }
    for (i = 0; i < units; ++i) {
        put16(record, offset + 2 * i, (unsigned char)text[i]);
        if (text[i] == '\0') break;
    }
}
#endif

EXPORT int QTV_Init(unsigned options, INT_PTR reserved1, INT_PTR reserved2) {
    wchar_t path[MAX_PATH];
    wchar_t* slash;
    DWORD length;
    int result;
    if (initialised) {
        log_line("QTV_Init %u %ld %ld -> again", options, (long)reserved1, (long)reserved2);
        return -20;
    }
    length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || (slash = wcsrchr(path, L'\\')) == NULL) return -21;
    wcscpy(slash + 1, COMPANION);
#ifdef TEST_SDK_IMPORTS_COMPANION
    {
        /* Which module the loader bound the import to. */
        HMODULE bound = NULL;
        wchar_t bound_path[MAX_PATH];
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                (LPCWSTR)(void*)&VX_LinkVersion, &bound) ||
            GetModuleFileNameW(bound, bound_path, MAX_PATH) == 0 || lstrcmpiW(bound_path, path) != 0 ||
            VX_LinkVersion() != 0x0203) {
            log_line("QTV_Init %u %ld %ld -> companion bound from elsewhere", options, (long)reserved1,
                     (long)reserved2);
            return -23;
        }
    }
#endif
#ifdef TEST_SDK_LOADS_COMPANION_BY_NAME
    companion = LoadLibraryW(COMPANION);
    if (companion != NULL) {
        wchar_t loaded[MAX_PATH];
        if (GetModuleFileNameW(companion, loaded, MAX_PATH) == 0 || lstrcmpiW(loaded, path) != 0) {
            log_line("QTV_Init %u %ld %ld -> companion found elsewhere", options, (long)reserved1, (long)reserved2);
            FreeLibrary(companion);
            companion = NULL;
            return -23;
        }
    }
#else
    companion = LoadLibraryW(path);
#endif
    if (companion == NULL || GetProcAddress(companion, "VX_LinkVersion") == NULL) {
        log_line("QTV_Init %u %ld %ld -> no companion", options, (long)reserved1, (long)reserved2);
        if (companion != NULL) FreeLibrary(companion);
        companion = NULL;
        return -22;
    }
    result = env_int("QTVTEST_INIT_RESULT", 0, 10);
    log_line("QTV_Init %u %ld %ld -> %d", options, (long)reserved1, (long)reserved2, result);
    if (result != 0) {
        FreeLibrary(companion);
        companion = NULL;
        return result;
    }
    polls = 0;
    last_count = 0;
    appear_at = env_int("QTVTEST_APPEAR_AT", 1, 10);
    if (GetEnvironmentVariableA("QTVTEST_CHANGED", changed_mode, sizeof changed_mode) == 0) {
        strcpy(changed_mode, "when_changed");
    }
    read_devices();
    initialised = 1;
    return 0;
}

EXPORT void QTV_Exit(void) {
    log_line("QTV_Exit%s", initialised ? "" : " (not initialised)");
    initialised = 0;
    if (companion != NULL) FreeLibrary(companion);
    companion = NULL;
}

EXPORT int QTV_Get_SDK_Version(unsigned short* version) {
    log_line("QTV_Get_SDK_Version");
    if (!initialised || version == NULL) return -1;
    *version = (unsigned short)env_int("QTVTEST_VERSION", 0x0151, 16);
    return 0;
}

EXPORT int QTV_GetDeviceCount(int* count) {
#ifdef TEST_SDK_WITHOUT_IS_DEVICE_CHANGED
    ++polls;
#endif
    log_line("QTV_GetDeviceCount");
    if (!initialised || count == NULL) return -1;
    *count = visible_count();
    last_count = *count;
    return 0;
}

#ifndef TEST_SDK_WITHOUT_GET_DEVICE_INFO
EXPORT int QTV_GetDeviceInfo(int index, void* record) {
    unsigned char* bytes = (unsigned char*)record;
    const Device* d;
    log_line("QTV_GetDeviceInfo %d", index);
    if (!initialised || bytes == NULL) return -1;
    if ((bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | ((unsigned)bytes[3] << 24)) != RECORD_SIZE) return -3;
    if (index < 0 || index >= device_total || index >= visible_count()) return -2;
    d = &devices[index];
    if (d->result != 0) return d->result;
    put_text(bytes, 4, 260, d->name);
    put16(bytes, 524, d->vid);
    put16(bytes, 526, d->pid);
    put_text(bytes, 528, 260, d->link);
    put_text(bytes, 1048, 275, d->serial);
    put16(bytes, 1598, d->firmware);
    return 0;
}
#endif

#ifndef TEST_SDK_WITHOUT_IS_DEVICE_CHANGED
EXPORT int QTV_IsDeviceChanged(void) {
    int answer;
    ++polls;
    if (!initialised) {
        answer = 0;
    } else if (strcmp(changed_mode, "always") == 0) {
        answer = 1;
    } else if (strcmp(changed_mode, "never") == 0) {
        answer = 0;
    } else {
        answer = visible_count() != last_count;
    }
    log_line("QTV_IsDeviceChanged -> %d", answer);
    return answer;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH];
        wchar_t* slash;
        DWORD length;
        DWORD attributes;
        self = instance;
        DisableThreadLibraryCalls(instance);
        length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || (slash = wcsrchr(path, L'\\')) == NULL) return FALSE;
        wcscpy(slash + 1, COMPANION);
        attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            log_line("attach refused: no companion");
            return FALSE;
        }
        log_line("attach");
    } else if (reason == DLL_PROCESS_DETACH) {
        /* Null `reserved`: FreeLibrary; otherwise the process is ending. */
        log_line(reserved == NULL ? "detach (FreeLibrary)" : "detach (process exit)");
    }
    return TRUE;
}
