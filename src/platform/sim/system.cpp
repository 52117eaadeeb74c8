// Console, report file, module path, time and processor of the simulated
// machine. The console and the report file are real: the report is written
// next to the (simulated) module path on the real file system.
#include "platform/system.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <algorithm>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/sim/device_tree.h"
#include "platform/sim/interruption.h"
#include "platform/sim/loaded_modules.h"
#include "platform/sim/machine.h"
#include "platform/sim/json_reader.h"
#include "platform/sim/machine_file.h"
#include "platform/sim/relaunch.h"
#include "platform/win_constants.h"
#include "util/text.h"

namespace vq4::platform {

namespace {

sim::HandleTable<std::shared_ptr<std::FILE>>& report_files() { return sim::machine().handles.report_files; }

// Windows accepts both separators; the real file system here takes '/'.
// Like Wine, drive Z: is the host's root, so "Z:\tmp\r.txt" is /tmp/r.txt.
// The simulated C:\ProgramData is the host folder program_data_host_folder.
std::string host_path(const std::wstring& path) {
    const std::wstring program_data = sim::kProgramDataPath;
    if (path.size() > program_data.size() && equals_nocase(path.substr(0, program_data.size()), program_data) &&
        (path[program_data.size()] == L'\\' || path[program_data.size()] == L'/')) {
        std::string rest = sim::narrow(path.substr(program_data.size()));
        for (char& c : rest) {
            if (c == '\\') c = '/';
        }
        return sim::program_data_host_folder() + rest;
    }
    std::wstring unix_path = path;
    if (unix_path.size() >= 3 && (unix_path[0] == L'Z' || unix_path[0] == L'z') && unix_path[1] == L':' &&
        (unix_path[2] == L'\\' || unix_path[2] == L'/')) {
        unix_path.erase(0, 2);
    }
    for (wchar_t& c : unix_path) {
        if (c == L'\\') c = L'/';
    }
    return sim::narrow(unix_path);
}

// Asked at every call, as SetConsoleTextAttribute acts on whatever standard
// output is at the time: redirected output never gets colour codes.
bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

// The Win32 error CreateFileW or GetFileAttributesW gives for what the
// host reported on `path`. A file that exists is ERROR_FILE_EXISTS to a
// CREATE_NEW. A missing path: for a file being created (`creating`), only
// its folder can be missing, ERROR_PATH_NOT_FOUND; otherwise a missing file
// in a folder that exists is ERROR_FILE_NOT_FOUND, a missing folder on the
// way ERROR_PATH_NOT_FOUND. A path through a plain file (ENOTDIR) is a path
// not found.
std::uint32_t win32_error_of(int error, const std::string& path, bool creating) {
    switch (error) {
        case EEXIST:
            return win::ERROR_FILE_EXISTS_;
        case ENOENT: {
            if (creating) return win::ERROR_PATH_NOT_FOUND_;
            const std::string::size_type slash = path.find_last_of('/');
            const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
            struct stat info {};
            const bool folder_exists = ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
            return folder_exists ? win::ERROR_FILE_NOT_FOUND_ : win::ERROR_PATH_NOT_FOUND_;
        }
        case ENOTDIR:
            return win::ERROR_PATH_NOT_FOUND_;
        case EACCES:
        case EPERM:
            return win::ERROR_ACCESS_DENIED_;
        default:
            return win::ERROR_GEN_FAILURE_;
    }
}

std::string ansi_for(std::uint16_t attribute) {
    if ((attribute & 0x0F) == 7) {
        return "\x1b[0m";
    }
    const int red = (attribute & 4) != 0 ? 1 : 0;
    const int green = (attribute & 2) != 0 ? 2 : 0;
    const int blue = (attribute & 1) != 0 ? 4 : 0;
    const int base = (attribute & 8) != 0 ? 90 : 30;
    return "\x1b[" + std::to_string(base + red + green + blue) + "m";
}

std::string& trace_path() {
    static std::string path;
    return path;
}

// VQ4_DIAG_TRACE names a file that receives, when the process ends normally,
// every platform call of the run as JSON: operation, arguments, result and
// the section that had started (the last one marked before the call). The
// fault sweep reads it.
void write_trace() {
    nlohmann::json calls = nlohmann::json::array();
    const auto& trace = sim::machine().trace;
    const auto& marks = sim::machine().sections;
    std::size_t mark = 0;
    std::string section;
    std::size_t section_index = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        while (mark < marks.size() && marks[mark].trace_entries <= i) {
            section = marks[mark].title;
            section_index = ++mark;
        }
        calls.push_back({{"op", trace[i].operation},
                         {"args", trace[i].arguments},
                         {"result", trace[i].result},
                         {"section", section},
                         {"section_index", section_index}});
    }
    // The calls that changed the system, in order (the interruption points
    // of the "interrupt" setting), each with the section it was made in.
    nlohmann::json changes = nlohmann::json::array();
    mark = 0;
    section.clear();
    for (const sim::SystemChange& change : sim::machine().system_changes) {
        while (mark < marks.size() && marks[mark].trace_entries <= change.trace_entries) section = marks[mark++].title;
        changes.push_back({{"op", change.operation}, {"args", change.arguments}, {"section", section}});
    }
    std::ofstream out(trace_path(), std::ios::binary);
    out << nlohmann::json{{"calls", calls}, {"changes", changes}}.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

namespace {

// Where a replay writes its report, JSON, backup and capture: a machine file
// comes from a stranger, so its module_path and current_directory do not
// choose a folder on this machine.
constexpr const char* kOutputFolderVariable = "VQ4_DIAG_OUTPUT_DIR";
// Set by the test suites only: the machine file's module_path and
// current_directory stand, so that a test puts each run in a folder of its own.
constexpr const char* kTestMachinePathsVariable = "VQ4_DIAG_TEST_MACHINE_PATHS";

bool variable_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The folder VQ4_DIAG_OUTPUT_DIR names, else the current directory, made
// absolute; empty with `error` set when it is no folder.
std::string replay_output_folder(std::string& error) {
    const char* named = std::getenv(kOutputFolderVariable);
    const std::string wanted = named != nullptr && *named != '\0' ? named : ".";
    char resolved[PATH_MAX];
    struct stat info {};
    if (::realpath(wanted.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = std::string(kOutputFolderVariable) + " '" + wanted + "' is not a folder";
        return {};
    }
    return resolved;
}

std::string executable_name() {
    char buffer[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    const std::string path = length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "VQ4_Diag";
    return path.substr(path.find_last_of('/') + 1);
}

// The refusal on stderr: one line, whatever a path or a name holds.
void print_refusal(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    std::fprintf(stderr, "VQ4_Diag: %s\n", text.c_str());
}

}  // namespace

bool platform_startup(int& exit_code) {
    std::string error;
    sim::Machine loaded;
    const char* machine_path = std::getenv("VQ4_DIAG_MACHINE");
    const bool replay = machine_path != nullptr && *machine_path != '\0';
    bool ok = replay ? sim::load_machine_file(machine_path, loaded, error)
                     : sim::parse_machine_json(sim::default_machine_json(), "(built-in default)", loaded, error);
    if (ok && replay && !variable_set(kTestMachinePathsVariable)) {
        const std::string folder = replay_output_folder(error);
        ok = !folder.empty();
        if (ok) {
            loaded.module_path = sim::widen_utf8(folder + "/" + executable_name());
            loaded.current_directory = sim::widen_utf8(folder);
            // The elevated instance starts in the root folder: it is told
            // where, and writes there too.
            ::setenv(kOutputFolderVariable, folder.c_str(), 1);
        }
    }
    if (!ok) {
        print_refusal(error);
        exit_code = 2;
        return false;
    }
    sim::prepare_tool_instance(loaded);
    // The interruption is the first process's: an instance the relaunch starts runs on.
    const char* relaunched = std::getenv(sim::kElevatedInstanceVariable);
    if (relaunched != nullptr && std::string(relaunched) == "1") loaded.interrupt.reset();
    sim::set_machine(std::move(loaded));
    // As the Windows build's start-up: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 |
    // LOAD_LIBRARY_SEARCH_USER_DIRS).
    sim::set_default_dll_directories(0x800 | 0x400);
    const char* trace_file = std::getenv("VQ4_DIAG_TRACE");
    if (trace_file != nullptr && *trace_file != '\0') {
        trace_path() = trace_file;
        std::atexit(write_trace);
    }
    sim::interrupt_at_startup_if_asked();
    return true;
}

void console_set_attribute(std::uint16_t attribute) {
    sim::machine().console_attribute = attribute;
    if (stdout_is_terminal()) {
        std::fputs(ansi_for(attribute).c_str(), stdout);
    }
}

std::uint32_t console_get_attribute(std::uint16_t& attribute) {
    // Once per run: traced, so that a machine can make it fail as it does
    // where standard output is not a console (ERROR_INVALID_HANDLE).
    const auto injected = sim::enter_call("GetConsoleScreenBufferInfo", "");
    if (injected) return sim::finish(*injected);
    attribute = sim::machine().console_attribute;
    return sim::finish(0);
}

std::uint32_t console_get_width(std::uint16_t& columns) {
    const auto injected = sim::enter_call("GetConsoleScreenBufferInfo", "width");
    if (injected) return sim::finish(*injected);
    columns = sim::machine().console_width;
    return sim::finish(0);
}

void mark_section(const std::wstring& title) {
    sim::Machine& m = sim::machine();
    m.sections.push_back(sim::SectionMark{m.trace.size(), sim::narrow(title)});
}

void console_write(const std::wstring& text) {
    // The host's terminals and pipes take UTF-8.
    const std::string bytes = sim::narrow(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring console_line_end() { return L"\n"; }

namespace {

// Standard input is read a byte at a time, never ahead: each read takes
// only the line it asks for, as from a console, and leaves the rest of a
// pipe or a FIFO to the next question or to the final pause.
int read_stdin_byte() {
    unsigned char c = 0;
    ssize_t got = 0;
    do {
        got = ::read(STDIN_FILENO, &c, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? c : EOF;
}

}  // namespace

bool console_read_line(std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = read_stdin_byte()) != EOF) {
        any = true;
        if (c == '\n') break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

bool console_read_char() {
    // Closing a console window ends its process (CTRL_CLOSE_EVENT); the
    // host's counterpart of a closed terminal is SIGHUP, which the relaunch
    // reads back as STATUS_CONTROL_C_EXIT.
    if (sim::elevated_window_closed_at_pause()) {
        sim::leave_machine_state();
        std::fflush(stdout);
        ::raise(SIGHUP);
    }
    return read_stdin_byte() != EOF;
}

// A terminal is the console a person watches; a file or a pipe is output
// redirected, as GetConsoleMode tells them apart on Windows.
bool console_is_interactive() { return stdout_is_terminal(); }

namespace {

std::uint32_t create_new(const std::wstring& path, const char* what, ReportFile& out) {
    const sim::SystemChangeCall change("CreateFileW", sim::narrow(path) + ", CREATE_NEW (" + what + ")");
    const auto injected = sim::enter_call("CreateFileW", sim::narrow(path) + ", CREATE_NEW (" + what + ")");
    if (injected) return sim::finish(*injected);
    // "x": create only; an existing report is never truncated.
    // "e": the elevated instance started by the relaunch does not inherit it.
    const std::string host = host_path(path);
    std::FILE* file = std::fopen(host.c_str(), "wbxe");
    if (file == nullptr) {
        const std::uint32_t code = win32_error_of(errno, host, true);
        return sim::finish(code);
    }
    out = ReportFile(report_files().add(std::shared_ptr<std::FILE>(file, &std::fclose)));
    // The report is created with FILE_FLAG_WRITE_THROUGH, the backup is not.
    sim::track_written_file(out.raw(), host, std::string(what) == "report");
    return sim::finish(0);
}

// As Windows opens a reserved file with FILE_FLAG_OPEN_REPARSE_POINT and
// checks it with GetFileInformationByHandle: a symbolic link is opened as
// itself (O_NOFOLLOW refuses it here) and refused, as are a folder, a file
// with bytes in it and a file with another name (a hard link).
std::uint32_t open_reserved(const std::wstring& path, const char* what, ReportFile& out) {
    const auto injected = sim::enter_call("CreateFileW", sim::narrow(path) + ", OPEN_EXISTING (reserved " + what + ")");
    if (injected) return sim::finish(*injected);
    const std::string host = host_path(path);
    const int fd = ::open(host.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == EISDIR) return sim::finish(win::ERROR_FILE_EXISTS_);
        const std::uint32_t code = win32_error_of(errno, host, false);
        return sim::finish(code);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != 0 || info.st_nlink != 1) {
        ::close(fd);
        return sim::finish(win::ERROR_FILE_EXISTS_);
    }
    std::FILE* file = ::fdopen(fd, "ab");
    if (file == nullptr) {
        ::close(fd);
        return sim::finish(win::ERROR_GEN_FAILURE_);
    }
    out = ReportFile(report_files().add(std::shared_ptr<std::FILE>(file, &std::fclose)));
    sim::track_written_file(out.raw(), host, std::string(what) == "report");
    return sim::finish(0);
}

}  // namespace

std::uint32_t report_file_open_reserved(const std::wstring& path, ReportFile& out) {
    return open_reserved(path, "report", out);
}

std::uint32_t output_file_open_reserved(const std::wstring& path, ReportFile& out) {
    return open_reserved(path, "output", out);
}

std::uint32_t report_file_reserve(const std::wstring& path) {
    ReportFile file;
    return create_new(path, "reservation", file);
}

std::uint32_t report_file_delete(const std::wstring& path) {
    const sim::SystemChangeCall change("DeleteFileW", sim::narrow(path));
    const auto injected = sim::enter_call("DeleteFileW", sim::narrow(path));
    if (injected) return sim::finish(*injected);
    const std::string host = host_path(path);
    if (::unlink(host.c_str()) != 0) {
        const std::uint32_t code = win32_error_of(errno, host, false);
        return sim::finish(code);
    }
    return sim::finish(0);
}

std::uint32_t report_file_create_new(const std::wstring& path, ReportFile& out) { return create_new(path, "report", out); }

std::uint32_t output_file_create_new(const std::wstring& path, ReportFile& out) { return create_new(path, "output", out); }

std::uint32_t report_file_write(const ReportFile& file, const std::vector<std::uint8_t>& bytes) {
    const std::shared_ptr<std::FILE>* found = report_files().find(file.raw());
    if (found == nullptr) return win::ERROR_INVALID_HANDLE_;
    // An empty write writes nothing (fwrite may not be given the null data of an empty vector).
    if (bytes.empty()) return 0;
    // What WriteFile hands to the system: in the file once the call returns
    // (it survives the process), on the disk only after FlushFileBuffers.
    const bool written =
        std::fwrite(bytes.data(), 1, bytes.size(), found->get()) == bytes.size() && std::fflush(found->get()) == 0;
    const std::string host = sim::note_file_written(file.raw(), written ? bytes.size() : 0);
    sim::note_system_change("WriteFile", host);
    return written ? 0 : win::ERROR_DISK_FULL_;
}

std::uint32_t report_file_flush(const ReportFile& file) {
    if (report_files().find(file.raw()) == nullptr) return win::ERROR_INVALID_HANDLE_;
    sim::note_file_flushed(file.raw());
    return 0;
}

std::uint32_t report_file_attributes(const std::wstring& path) {
    const auto injected = sim::enter_call("GetFileAttributesW", sim::narrow(path) + " (report folder)");
    if (injected) return sim::finish(*injected);
    const std::string host = host_path(path);
    struct stat info {};
    const int found = ::stat(host.c_str(), &info);
    const std::uint32_t code = found == 0 ? 0 : win32_error_of(errno, host, false);
    return sim::finish(code);
}

std::uint32_t report_file_read(const std::wstring& path, std::uint32_t max_bytes, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    const auto injected = sim::enter_call("CreateFileW", sim::narrow(path) + ", OPEN_EXISTING (elevated report)");
    if (injected) return sim::finish(*injected);
    // A file of the machine that another process holds without sharing.
    if (const sim::File* held = sim::machine().find_file(path); held != nullptr && held->held_exclusively) {
        return sim::finish(win::ERROR_SHARING_VIOLATION_);
    }
    const std::string host = host_path(path);
    const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const std::uint32_t code = win32_error_of(errno, host, false);
        return sim::finish(code);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // CreateFileW opens a folder only with FILE_FLAG_BACKUP_SEMANTICS.
        ::close(fd);
        return sim::finish(win::ERROR_ACCESS_DENIED_);
    }
    sim::record_result(0);
    std::uint32_t error = 0;
    while (bytes.size() < max_bytes) {
        std::uint8_t chunk[4096];
        const std::size_t wanted = std::min<std::size_t>(sizeof(chunk), max_bytes - bytes.size());
        const auto read_error = sim::enter_call("ReadFile", "elevated report");
        if (read_error) {
            sim::record_result(*read_error);
            error = *read_error;
            break;
        }
        ssize_t got = 0;
        do {
            got = ::read(fd, chunk, wanted);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            error = win::ERROR_GEN_FAILURE_;
            sim::record_result(error);
            break;
        }
        sim::record_result(0);
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(fd);
    sim::enter_call("CloseHandle", "elevated report");
    return error;
}

void release_handle(ReportFileTag, std::uintptr_t raw) noexcept {
    report_files().open.erase(raw);
}

std::uint32_t get_module_file_name(std::uint32_t capacity, std::wstring& out) {
    const auto injected = sim::enter_call("GetModuleFileNameW", std::to_string(capacity));
    if (injected) return sim::finish(*injected);
    if (capacity == 0) {
        out.clear();
        return sim::finish(win::ERROR_INSUFFICIENT_BUFFER_);
    }
    std::wstring path;
    if (sim::machine().module_path) {
        path = *sim::machine().module_path;
    } else {
        char buffer[4096] = {};
        const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        // The host's file names are UTF-8; wide text is UTF-16, as on Windows.
        if (length > 0) {
            path = utf16_from_utf8(std::string(buffer, static_cast<std::size_t>(length)));
        }
    }
    // Like Windows: a path that does not fit is cut to the buffer, NUL
    // included, and reported as ERROR_INSUFFICIENT_BUFFER.
    const bool cut = path.size() >= capacity;
    if (cut) path.resize(capacity - 1);
    out = std::move(path);
    return sim::finish(cut ? win::ERROR_INSUFFICIENT_BUFFER_ : std::uint32_t{0});
}

LocalTime get_local_time() {
    sim::enter_call("GetLocalTime", "");
    LocalTime t;
    if (const auto& fixed = sim::machine().local_time) {
        t.year = fixed->year;
        t.month = fixed->month;
        t.day = fixed->day;
        t.hour = fixed->hour;
        t.minute = fixed->minute;
        t.second = fixed->second;
        return t;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    t.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.day = static_cast<std::uint16_t>(local.tm_mday);
    t.hour = static_cast<std::uint16_t>(local.tm_hour);
    t.minute = static_cast<std::uint16_t>(local.tm_min);
    t.second = static_cast<std::uint16_t>(local.tm_sec);
    return t;
}

void sleep_ms(std::uint32_t milliseconds) {
    // Virtual time: tests assert counted pauses from the trace, never wait.
    sim::enter_call("Sleep", std::to_string(milliseconds));
    sim::advance_clock(milliseconds);
}

std::uint16_t get_native_processor_architecture() {
    sim::enter_call("GetNativeSystemInfo", "");
    return sim::finish(sim::machine().native_architecture);
}

namespace {

// The machine IsWow64Process2 names for a host that GetNativeSystemInfo
// reports as `architecture`, unless the machine file says otherwise.
std::uint16_t machine_of_architecture(std::uint16_t architecture) {
    switch (architecture) {
        case 0:  // PROCESSOR_ARCHITECTURE_INTEL
            return 0x014C;
        case 5:  // PROCESSOR_ARCHITECTURE_ARM
            return 0x01C4;
        case 6:  // PROCESSOR_ARCHITECTURE_IA64
            return 0x0200;
        case 9:  // PROCESSOR_ARCHITECTURE_AMD64
            return 0x8664;
        case 12:  // PROCESSOR_ARCHITECTURE_ARM64
            return 0xAA64;
        default:
            return 0;  // IMAGE_FILE_MACHINE_UNKNOWN
    }
}

}  // namespace

std::uint32_t is_wow64_process2(std::uint16_t& process_machine, std::uint16_t& native_machine) {
    const auto injected = sim::enter_call("IsWow64Process2", "");
    if (injected) return sim::finish(*injected);
    const sim::Machine& m = sim::machine();
    if (!m.has_is_wow64_process2) {
        // GetProcAddress found no such export.
        return sim::finish(win::ERROR_PROC_NOT_FOUND_);
    }
    // The tool is an x64 process: never under WOW64, also when an ARM64 host
    // emulates it.
    process_machine = 0;
    native_machine = m.native_machine ? *m.native_machine : machine_of_architecture(m.native_architecture);
    return sim::finish(0);
}

}  // namespace vq4::platform
