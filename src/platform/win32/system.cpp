// Console, report file, module path, time and processor on real Windows.
#include "platform/system.h"

#include <windows.h>

#include <cstdio>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

HANDLE stdout_handle() { return GetStdHandle(STD_OUTPUT_HANDLE); }

// A real console takes UTF-16 through WriteConsoleW; a file or a pipe gets
// the same Latin-1 bytes and CR LF line ends as the report file.
bool stdout_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(stdout_handle(), &mode) != 0;
}

}  // namespace

bool platform_startup(int& /*exit_code*/) {
    // First thing in the process: from here on a library loaded by name
    // comes from System32 only (and, while the SDK is loaded, from the SDK's
    // own folder, added with AddDllDirectory), never from the executable's
    // folder (a download folder, from which the tool also relaunches itself
    // elevated) nor from the current directory. The tool's own run-time loads
    // name their folder explicitly as well; this covers what the system DLLs
    // and the SDK load by name later. Neither call fails with these arguments;
    // should one ever fail, the run still goes on, and the tool's own loads
    // stay limited to the folders they name.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    SetDllDirectoryW(L"");
    return true;
}

void console_set_attribute(std::uint16_t attribute) {
    SetConsoleTextAttribute(stdout_handle(), attribute);  // fails harmlessly when redirected
}

std::uint32_t console_get_attribute(std::uint16_t& attribute) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(stdout_handle(), &info)) return GetLastError();
    attribute = info.wAttributes;
    return 0;
}

std::uint32_t console_get_width(std::uint16_t& columns) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(stdout_handle(), &info)) return GetLastError();
    columns = static_cast<std::uint16_t>(info.dwSize.X);
    return 0;
}

void console_write(const std::wstring& text) {
    const HANDLE out = stdout_handle();
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    if (stdout_is_console()) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // One byte per character: the text holds nothing beyond U+00FF.
    std::string bytes;
    bytes.reserve(text.size());
    for (const wchar_t c : text) bytes.push_back(static_cast<char>(c));
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring console_line_end() { return stdout_is_console() ? L"\n" : L"\r\n"; }

void mark_section(const std::wstring& /*title*/) {}

bool console_read_line(std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF) {
        any = true;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

bool console_read_char() { return std::fgetc(stdin) != EOF; }

namespace {

std::uint32_t create_new(const std::wstring& path, DWORD share, DWORD flags, ReportFile& out) {
    // CREATE_NEW: a report of the same second is never truncated.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    out = ReportFile(reinterpret_cast<std::uintptr_t>(file));
    return 0;
}

std::uint32_t open_reserved(const std::wstring& path, DWORD share, DWORD flags, ReportFile& out) {
    // The link itself, not what it points to: a link is refused below.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    ReportFile opened(reinterpret_cast<std::uintptr_t>(file));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return GetLastError();
    // What the first instance left: empty, one name, no reparse point. A
    // hard link to another file would have the other file's bytes or links.
    const bool as_reserved = (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                             info.nFileSizeHigh == 0 && info.nFileSizeLow == 0 && info.nNumberOfLinks == 1;
    if (!as_reserved) return ERROR_FILE_EXISTS;
    out = std::move(opened);
    return 0;
}

}  // namespace

std::uint32_t report_file_open_reserved(const std::wstring& path, ReportFile& out) {
    return open_reserved(path, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_WRITE_THROUGH, out);
}

std::uint32_t output_file_open_reserved(const std::wstring& path, ReportFile& out) {
    return open_reserved(path, FILE_SHARE_READ, 0, out);
}

std::uint32_t report_file_reserve(const std::wstring& path) {
    ReportFile file;
    return create_new(path, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, file);
}

std::uint32_t report_file_delete(const std::wstring& path) {
    if (!DeleteFileW(path.c_str())) return GetLastError();
    return 0;
}

std::uint32_t report_file_create_new(const std::wstring& path, ReportFile& out) {
    // Written through: each line is on the disk when WriteFile returns, so
    // that a power loss during the repair keeps every line printed before it
    // (one write-through per line costs less than FlushFileBuffers after each).
    return create_new(path, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_WRITE_THROUGH, out);
}

std::uint32_t output_file_create_new(const std::wstring& path, ReportFile& out) {
    // Nobody else may write while the tool writes: an administrator may act
    // on the file (reg import of a backup). Not written through: the backup's
    // writer flushes it before each change.
    return create_new(path, FILE_SHARE_READ, 0, out);
}

std::uint32_t report_file_write(const ReportFile& file, const std::vector<std::uint8_t>& bytes) {
    DWORD written = 0;
    const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file.raw()), bytes.data(), static_cast<DWORD>(bytes.size()),
                              &written, nullptr);
    if (!ok) return GetLastError();
    return written == bytes.size() ? 0 : ERROR_DISK_FULL;
}

std::uint32_t report_file_flush(const ReportFile& file) {
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(file.raw()))) return GetLastError();
    return 0;
}

void release_handle(ReportFileTag, std::uintptr_t raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

std::uint32_t get_module_file_name(std::uint32_t capacity, std::wstring& out) {
    // No room even for the terminator: nothing to hand the system.
    if (capacity == 0) {
        out.clear();
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::wstring buffer(capacity, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    const DWORD error = GetLastError();
    if (length == 0) return error;
    // A cut path: the function returns nSize and sets ERROR_INSUFFICIENT_BUFFER.
    if (length >= capacity || error == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(length < capacity ? length : capacity - 1);
        out = std::move(buffer);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    out = std::move(buffer);
    return 0;
}

LocalTime get_local_time() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint16_t get_native_processor_architecture() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture;
}

std::uint32_t is_wow64_process2(std::uint16_t& process_machine, std::uint16_t& native_machine) {
    const auto& entry = system_library::kernel32().is_wow64_process2;
    if (entry.function == nullptr) return entry.error;
    USHORT process = 0;
    USHORT native = 0;
    if (!entry.function(GetCurrentProcess(), &process, &native)) return GetLastError();
    process_machine = process;
    native_machine = native;
    return 0;
}

}  // namespace vq4::platform
