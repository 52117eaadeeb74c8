// The contract situations on real Windows (or Wine): scratch keys in the
// machine's registry, a scratch folder in %TEMP%, redirected standard
// streams. Everything is written with the Win32 API directly, never through
// the platform layer under test. Writing below HKLM needs an elevated
// process; Wine runs every process elevated.
#include <windows.h>
// windows.h first: the service manager header needs its types.
#include <winsvc.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/situation.h"

namespace vq4::contract::situation {

namespace {

namespace fs = std::filesystem;

const wchar_t kParentKey[] = L"SOFTWARE\\VQ4DiagContract";

struct State {
    std::string test_name;
    std::wstring folder;
    HANDLE saved_stdout = nullptr;
    HANDLE capture = INVALID_HANDLE_VALUE;
    bool stdin_fed = false;
    std::map<std::wstring, HANDLE> held_files;  // by name in the scratch folder
    std::vector<std::wstring> services;         // created by this test
    std::vector<std::wstring> variables;        // environment variables set by this test
};

State& state() {
    static State s;
    return s;
}

[[noreturn]] void fail(const std::string& what, long code) {
    throw std::runtime_error("situation: " + what + " failed with " + std::to_string(code));
}

REGSAM view_flag(View view) { return view == View::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

// Removes HKCR\CLSID\<clsid> in one view; a missing key is fine.
void remove_class(View view) {
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_ALL_ACCESS | view_flag(view), &classes) == ERROR_SUCCESS) {
        RegDeleteTreeW(classes, clsid().c_str());
        RegCloseKey(classes);
    }
}

void remove_scratch_key() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key().c_str());
    // The parent goes too once the last test has left it empty.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParentKey);
}

HKEY create_key(HKEY root, const std::wstring& path, REGSAM extra) {
    HKEY key = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | extra, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) fail("RegCreateKeyExW", status);
    return key;
}

void set_value(HKEY key, const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
    const LSTATUS status = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, type,
                                          data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) fail("RegSetValueExW", status);
}

std::wstring temp_root() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) fail("GetTempPathW", static_cast<long>(GetLastError()));
    std::wstring root(buffer, length);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    return root + L"\\VQ4DiagContract";
}

void close_held_files() {
    for (const auto& [name, file] : state().held_files) CloseHandle(file);
    state().held_files.clear();
}

void delete_services() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const std::wstring& name : state().services) {
        const SC_HANDLE service = manager == nullptr ? nullptr : OpenServiceW(manager, name.c_str(), DELETE);
        if (service != nullptr) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
    }
    if (manager != nullptr) CloseServiceHandle(manager);
    state().services.clear();
}

void restore_stdout() {
    State& s = state();
    if (s.saved_stdout != nullptr) {
        SetStdHandle(STD_OUTPUT_HANDLE, s.saved_stdout);
        s.saved_stdout = nullptr;
    }
    if (s.capture != INVALID_HANDLE_VALUE) {
        CloseHandle(s.capture);
        s.capture = INVALID_HANDLE_VALUE;
    }
}

std::uint16_t architecture_of_machine(USHORT machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64:
            return PROCESSOR_ARCHITECTURE_AMD64;
        case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64
            return PROCESSOR_ARCHITECTURE_ARM64;
        case IMAGE_FILE_MACHINE_I386:
            return PROCESSOR_ARCHITECTURE_INTEL;
        default:
            return PROCESSOR_ARCHITECTURE_UNKNOWN;
    }
}

}  // namespace

void begin(const std::string& test_name) {
    State& s = state();
    s.test_name = test_name;
    // No critical-error box may stop an unattended run (a library that does
    // not load is an expected answer here).
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    remove_scratch_key();
    remove_class(View::Bits64);
    remove_class(View::Bits32);
    RegCloseKey(create_key(HKEY_LOCAL_MACHINE, key(), 0));

    s.folder = temp_root() + L"\\" + widen(test_name);
    std::error_code ignored;
    fs::remove_all(fs::path(s.folder), ignored);
    fs::create_directories(fs::path(s.folder));
}

void end() {
    State& s = state();
    restore_stdout();
    close_held_files();
    for (const std::wstring& name : s.variables) SetEnvironmentVariableW(name.c_str(), nullptr);
    s.variables.clear();
    delete_services();
    if (s.stdin_fed) {
        std::freopen("NUL", "r", stdin);
        s.stdin_fed = false;
    }
    remove_class(View::Bits64);
    remove_class(View::Bits32);
    remove_scratch_key();
    std::error_code ignored;
    fs::remove_all(fs::path(s.folder), ignored);
    RemoveDirectoryW(temp_root().c_str());  // only when empty
}

const char* side() { return "win32"; }

bool on_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- Registry ----

std::wstring key() { return std::wstring(kParentKey) + L"\\" + widen(state().test_name); }

std::wstring key_path(const std::wstring& subkey) { return subkey.empty() ? key() : key() + L"\\" + subkey; }

void add_key(const std::wstring& subkey) { RegCloseKey(create_key(HKEY_LOCAL_MACHINE, key_path(subkey), 0)); }

void add_value(const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
               const std::vector<std::uint8_t>& data) {
    set_value(create_key(HKEY_LOCAL_MACHINE, key_path(subkey), 0), name, type, data);
}

bool key_exists(const std::wstring& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path(subkey).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::optional<StoredValue> stored_value(const std::wstring& subkey, const std::wstring& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path(subkey).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const wchar_t* value_name = name.empty() ? nullptr : name.c_str();
    DWORD type = 0;
    DWORD size = 0;
    std::optional<StoredValue> result;
    if (RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<std::uint8_t> data(size + 1);
        if (RegQueryValueExW(key, value_name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            data.resize(size);
            result = StoredValue{type, data};
        }
    }
    RegCloseKey(key);
    return result;
}

std::wstring clsid() {
    // A class id per test (FNV-1a of the test name), so that an aborted run
    // leaves nothing that a later run does not remove.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : state().test_name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    wchar_t text[64];
    std::swprintf(text, 64, L"{5A0C0E57-0000-4000-8000-%012llX}",
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
    return text;
}

void add_class_value(View view, const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
                     const std::vector<std::uint8_t>& data) {
    const std::wstring path = L"CLSID\\" + clsid() + (subkey.empty() ? L"" : L"\\" + subkey);
    set_value(create_key(HKEY_CLASSES_ROOT, path, view_flag(view)), name, type, data);
}

// ---- Process ----

bool arrange_not_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok && elevation.TokenIsElevated == 0;
}

bool arrange_native_architecture(std::uint16_t architecture) {
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto is_wow64_process2 = reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    if (is_wow64_process2 == nullptr) return false;
    USHORT process_machine = 0;
    USHORT native_machine = 0;
    if (!is_wow64_process2(GetCurrentProcess(), &process_machine, &native_machine)) return false;
    return architecture_of_machine(native_machine) == architecture;
}

std::wstring arrange_module_path() {
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, buffer.data(), &length)) {
        fail("QueryFullProcessImageNameW", static_cast<long>(GetLastError()));
    }
    buffer.resize(length);
    return buffer;
}

std::optional<std::wstring> arrange_long_module_path(std::size_t length) {
    const std::wstring path = arrange_module_path();
    if (path.size() > length) return path;
    return std::nullopt;
}

platform::LocalTime local_time_now() {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        fail("SystemTimeToTzSpecificLocalTime", static_cast<long>(GetLastError()));
    }
    return platform::LocalTime{local.wYear, local.wMonth,  local.wDay,         local.wHour,
                               local.wMinute, local.wSecond, local.wMilliseconds};
}

bool arrange_local_time(const platform::LocalTime&) { return false; }

std::uint64_t clock_ms() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart / (frequency.QuadPart / 1000));
}

// ---- Files ----

std::wstring folder() { return state().folder; }

std::wstring path_in_folder(const std::wstring& name) { return folder() + L"\\" + name; }

void add_file(const std::wstring& name, const std::string& bytes) {
    const HANDLE file = CreateFileW(path_in_folder(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("CreateFileW", static_cast<long>(GetLastError()));
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok) fail("WriteFile", static_cast<long>(GetLastError()));
}

void add_folder(const std::wstring& name) {
    if (!CreateDirectoryW(path_in_folder(name).c_str(), nullptr)) {
        fail("CreateDirectoryW", static_cast<long>(GetLastError()));
    }
}

std::optional<std::string> file_bytes(const std::wstring& name) {
    const HANDLE file = CreateFileW(path_in_folder(name).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void hold_file_exclusively(const std::wstring& name) {
    const HANDLE file = CreateFileW(path_in_folder(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("CreateFileW", static_cast<long>(GetLastError()));
    state().held_files[name] = file;
}

void hold_file_open(const std::wstring& name, std::uint32_t access, std::uint32_t share) {
    const HANDLE file = CreateFileW(path_in_folder(name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("CreateFileW", static_cast<long>(GetLastError()));
    state().held_files[name] = file;
}

void set_environment_variable(const std::wstring& name, const std::wstring& value) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) {
        fail("SetEnvironmentVariableW", static_cast<long>(GetLastError()));
    }
    state().variables.push_back(name);
}

void release_file(const std::wstring& name) {
    const auto found = state().held_files.find(name);
    if (found == state().held_files.end()) return;
    CloseHandle(found->second);
    state().held_files.erase(found);
}

// ---- Libraries ----

namespace {

// The folder of the running test program, with a trailing separator.
std::wstring program_folder() {
    const std::wstring path = arrange_module_path();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

}  // namespace

void add_library(const std::wstring& name, LibraryImage image) {
    // Built with the suite, in "contract-files" beside the test program.
    const wchar_t* file = L"";
    switch (image) {
        case LibraryImage::VersionedX64:
            file = L"versioned_x64.dll";
            break;
        case LibraryImage::VersionedX86:
            file = L"versioned_x86.dll";
            break;
        case LibraryImage::WithoutResourcesX64:
            file = L"without_resources_x64.dll";
            break;
        case LibraryImage::WithoutVersionX64:
            file = L"without_version_x64.dll";
            break;
    }
    const std::wstring source = program_folder() + L"contract-files\\" + file;
    if (!CopyFileW(source.c_str(), path_in_folder(name).c_str(), FALSE)) {
        fail("CopyFileW of the test library " + std::string(source.begin(), source.end()),
             static_cast<long>(GetLastError()));
    }
}

bool library_loaded(const std::wstring& name) { return GetModuleHandleW(path_in_folder(name).c_str()) != nullptr; }

// ---- Running software ----

RunningProcess arrange_own_process() {
    const std::wstring path = arrange_module_path();
    const auto slash = path.find_last_of(L"\\/");
    return RunningProcess{GetCurrentProcessId(), slash == std::wstring::npos ? path : path.substr(slash + 1)};
}

std::wstring add_stopped_service(const std::wstring& tag, const std::wstring& display_name) {
    const std::wstring name = L"VQ4DiagContract." + widen(state().test_name) + L"." + tag;
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) fail("OpenSCManagerW", static_cast<long>(GetLastError()));
    // Never started: the program it names does not exist.
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       L"C:\\VQ4DiagContract\\never-started.exe", nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    DWORD error = service == nullptr ? GetLastError() : 0;
    if (error == ERROR_SERVICE_EXISTS) {
        // Left over from an aborted run: take it over.
        service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
        error = service == nullptr ? GetLastError() : 0;
        if (service != nullptr &&
            !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, display_name.c_str())) {
            error = GetLastError();
        }
    }
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (error != 0) fail("CreateServiceW", static_cast<long>(error));
    state().services.push_back(name);
    return name;
}

// ---- Elevation and the relaunch ----

std::wstring arrange_exit_code_program() { return program_folder() + L"vq4_contract_exit_with.exe"; }

bool arrange_elevation_prompt_declined() { return false; }

// ---- Devices ----

bool arrange_no_usb_device_nodes() {
    HKEY key = nullptr;
    const LSTATUS status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\USB", 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    const LSTATUS info = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return info == ERROR_SUCCESS && subkeys == 0;
}

bool add_device(const DeviceNodeSpec&) { return false; }

bool unplug_device(const std::wstring&) { return false; }

bool add_device_parameter(const std::wstring&, const std::wstring&, std::uint32_t, const std::vector<std::uint8_t>&) {
    return false;
}

std::optional<StoredValue> device_parameter(const std::wstring&, const std::wstring&) { return std::nullopt; }

bool device_key_exists(const std::wstring&) { return false; }

// ---- Console ----

void capture_stdout_begin() {
    State& s = state();
    s.capture = CreateFileW(path_in_folder(L"captured-stdout").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.capture == INVALID_HANDLE_VALUE) fail("CreateFileW", static_cast<long>(GetLastError()));
    s.saved_stdout = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, s.capture);
}

std::string capture_stdout_end() {
    restore_stdout();
    return file_bytes(L"captured-stdout").value_or(std::string());
}

std::wstring decode_console(const std::string& bytes) {
    // A redirected Windows console gets the report's bytes: 8-bit, CR LF.
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            text.push_back(L'\n');
            ++i;
        } else if (c == '\r' || c == '\n') {
            text.push_back(static_cast<wchar_t>(0xFFFD));
        } else {
            text.push_back(static_cast<wchar_t>(c));
        }
    }
    return text;
}

void feed_stdin(const std::string& bytes) {
    add_file(L"fed-stdin", bytes);
    // Text mode, as a console program's standard input is opened.
    if (_wfreopen(path_in_folder(L"fed-stdin").c_str(), L"r", stdin) == nullptr) {
        fail("_wfreopen", errno);
    }
    state().stdin_fed = true;
}

}  // namespace vq4::contract::situation
