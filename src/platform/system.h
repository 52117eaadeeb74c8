// Process-level platform operations: console, report file, module path,
// local time, pauses and the host's processor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

// Prepares the platform before the run. The simulated machine loads its
// machine file here; on failure it has printed why and `exit_code` is set.
bool platform_startup(int& exit_code);

// ---- Console (GetStdHandle / SetConsoleTextAttribute / console text) ----

// Sets the attribute word of standard output. Where standard output is not
// a console the call does nothing visible; a failure is ignored by callers.
void console_set_attribute(std::uint16_t attribute);

// GetConsoleScreenBufferInfo on standard output: the console's attribute word
// now (wAttributes). Returns 0 or the Win32 error code, ERROR_INVALID_HANDLE
// (6) when standard output is not a console; `attribute` is left as it was
// when the call fails.
std::uint32_t console_get_attribute(std::uint16_t& attribute);

// GetConsoleScreenBufferInfo on standard output: the columns of the screen
// buffer (dwSize.X), where a line written past the last column wraps.
// Returns 0 or the Win32 error code, as console_get_attribute; `columns` is
// left as it was when the call fails.
std::uint32_t console_get_width(std::uint16_t& columns);

// Writes text to standard output as it is given, and flushes it. The report
// layer gives it as the console shows it (write_console): characters up to
// U+00FF, each line ended with console_line_end().
void console_write(const std::wstring& text);

// The line end standard output takes: LF on a console; CR LF where it is a
// file or a pipe on Windows, as in the report file. Asked at each call, as
// output may be redirected at any time. The simulated machine writes to the
// host's standard output, whose files and pipes take LF.
std::wstring console_line_end();

// A report section starts here, under this title. Windows has nothing to do
// with it; the simulated machine marks its trace with it, so that each call
// is known by the section that made it.
void mark_section(const std::wstring& title);

// Reads one line from standard input, without its end of line. Returns false
// at end of input (nothing read).
bool console_read_line(std::string& line);

// Reads one character from standard input (the final pause). Returns false
// at end of input.
bool console_read_char();

// True when standard output is a console that a person watches, false when
// it goes to a file or a pipe. Asked at each call, as output may be
// redirected at any time. Lines that are only for the eye (the progress of
// a wait) are shown only then.
bool console_is_interactive();

// ---- Report file (CreateFileW / WriteFile / CloseHandle) ----

// Creates a new file for writing with sharing that denies nothing to other
// processes, written through (FILE_FLAG_WRITE_THROUGH: what WriteFile hands
// over is on the disk when it returns, so a power loss keeps every line
// written). Never truncates: an existing file gives ERROR_FILE_EXISTS (80).
// Returns 0 or the Win32 error code.
std::uint32_t report_file_create_new(const std::wstring& path, ReportFile& out);

// The same for the other files the tool writes (the registry backup, the
// JSON report, the capture), so that a failure of one is not taken for the
// other's; these are opened with read sharing only (FILE_SHARE_READ), so
// that nobody changes a file while the tool writes it, and not written
// through: the backup's writer calls report_file_flush when it must.
std::uint32_t output_file_create_new(const std::wstring& path, ReportFile& out);

// Reserves a name: creates the file empty (CREATE_NEW, never over a file:
// ERROR_FILE_EXISTS 80) and closes it at once. Returns 0 or the Win32 error code.
std::uint32_t report_file_reserve(const std::wstring& path);

// Opens a file this tool reserved for the run (report_file_reserve: the first instance reserves the
// elevated instance's report and JSON that way, so that no other run takes
// their names). CreateFileW(GENERIC_WRITE, OPEN_EXISTING,
// FILE_FLAG_OPEN_REPARSE_POINT), then GetFileInformationByHandle: it must
// still be an empty ordinary file with one name. Anything else (a folder, a
// link, a file with bytes in it: someone put another file there) gives
// ERROR_FILE_EXISTS (80) and leaves nothing open. The report is opened as
// report_file_create_new opens it, the other files as output_file_create_new.
// Returns 0 or the Win32 error code.
std::uint32_t report_file_open_reserved(const std::wstring& path, ReportFile& out);
std::uint32_t output_file_open_reserved(const std::wstring& path, ReportFile& out);

// DeleteFileW: gives back a reserved name that the run will not use.
// Returns 0 or the Win32 error code.
std::uint32_t report_file_delete(const std::wstring& path);

// Writes bytes at the end of the file. Returns 0 or the Win32 error code.
std::uint32_t report_file_write(const ReportFile& file, const std::vector<std::uint8_t>& bytes);

// FlushFileBuffers: writes the file's data through the system's cache to the
// disk, so that it survives a power loss or a restart (what WriteFile handed
// over survives only the end of the process). Returns 0 or the Win32 error code.
std::uint32_t report_file_flush(const ReportFile& file);

// GetFileAttributesW on a path of the report folder: 0 when a file or a
// folder of that name exists, else the Win32 error code (ERROR_FILE_NOT_FOUND
// 2, ERROR_PATH_NOT_FOUND 3, ERROR_ACCESS_DENIED 5, ...).
std::uint32_t report_file_attributes(const std::wstring& path);

// Reads a report file that another process wrote: CreateFileW with
// GENERIC_READ, sharing read, write and delete, OPEN_EXISTING, then ReadFile
// until the end or `max_bytes`. Returns 0 or the Win32 error code; `bytes`
// holds what was read.
std::uint32_t report_file_read(const std::wstring& path, std::uint32_t max_bytes, std::vector<std::uint8_t>& bytes);

// ---- Process and time ----

// GetModuleFileNameW(NULL) into a zeroed buffer of `capacity` wide characters:
// 0, or GetLastError's code. A path that does not fit with its terminator is
// ERROR_INSUFFICIENT_BUFFER, and `out` then holds it cut to capacity - 1
// characters, as the system leaves the buffer (a capacity of 0 holds nothing).
std::uint32_t get_module_file_name(std::uint32_t capacity, std::wstring& out);

struct LocalTime {
    std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};
LocalTime get_local_time();

void sleep_ms(std::uint32_t milliseconds);

// wProcessorArchitecture of GetNativeSystemInfo. An x64 process that Windows
// runs under emulation on ARM64 gets x64 here (PROCESSOR_ARCHITECTURE_AMD64).
std::uint16_t get_native_processor_architecture();

// IsWow64Process2(GetCurrentProcess(), &process_machine, &native_machine),
// looked up in kernel32 at run time (Windows 10 version 1709 and later): the
// IMAGE_FILE_MACHINE_* values of the process under WOW64 (UNKNOWN, 0, when
// it is not) and of the host, also under emulation. Returns 0 or the Win32
// error code, ERROR_PROC_NOT_FOUND (127) where kernel32 lacks the function;
// both machines are left as they were when it fails.
std::uint32_t is_wow64_process2(std::uint16_t& process_machine, std::uint16_t& native_machine);

}  // namespace vq4::platform
