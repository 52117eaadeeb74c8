#include "platform/sim/interruption.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/machine_writer.h"

namespace vq4::sim {

namespace {

// The process ends as TerminateProcess would end it, with a code no run of
// the tool gives (0, 1, or 2 for a bad machine file).
constexpr int kInterruptedExitCode = 9;

struct WrittenFile {
    std::string host_path;
    std::uint64_t written = 0;  // handed to WriteFile
    std::uint64_t flushed = 0;  // written through by FlushFileBuffers
    bool write_through = false;
};

// Every file the process created, also after its handle is closed (its
// bytes may still be only in the cache), and the one each handle writes.
struct WrittenFiles {
    std::vector<WrittenFile> files;
    std::map<std::uintptr_t, std::size_t> by_handle;
    WrittenFile* of(std::uintptr_t handle) {
        const auto found = by_handle.find(handle);
        return found == by_handle.end() ? nullptr : &files[found->second];
    }
};

WrittenFiles& written_files() {
    static WrittenFiles files;
    return files;
}

void write_state(const Machine& m) {
    if (m.interrupt->state_file.empty()) return;
    std::ofstream out(m.interrupt->state_file, std::ios::binary | std::ios::trunc);
    out << machine_file_text(m);
}

[[noreturn]] void end_process() {
    Machine& m = machine();
    finish_pending_system_work();
    if (m.interrupt->kind == InterruptionKind::Restarted) {
        // Power is lost: what the file system had only in its cache is gone.
        for (const WrittenFile& file : written_files().files) {
            if (file.flushed < file.written) {
                if (::truncate(file.host_path.c_str(), static_cast<off_t>(file.flushed)) != 0) {
                    std::fprintf(stderr, "VQ4_Diag: cannot truncate %s\n", file.host_path.c_str());
                }
            }
        }
        start_windows_again();
    }
    write_state(m);
    // No clean-up: no destructors, no atexit handlers (the trace is not
    // written), no C runtime buffers flushed.
    ::_exit(kInterruptedExitCode);
}

}  // namespace

void note_system_change(const std::string& operation, const std::string& arguments) {
    Machine& m = machine();
    m.system_changes.push_back(SystemChange{operation, arguments, m.trace.size()});
    if (m.interrupt && m.interrupt->after_change != 0 && m.system_changes.size() == m.interrupt->after_change) {
        end_process();
    }
}

void interrupt_at_startup_if_asked() {
    const Machine& m = machine();
    if (m.interrupt && m.interrupt->after_change == 0) end_process();
}

void track_written_file(std::uintptr_t handle, const std::string& host_path, bool write_through) {
    WrittenFiles& all = written_files();
    all.files.push_back(WrittenFile{host_path, 0, 0, write_through});
    all.by_handle[handle] = all.files.size() - 1;  // a handle value may come again after a close
}

std::string note_file_written(std::uintptr_t handle, std::uint64_t bytes) {
    WrittenFile* file = written_files().of(handle);
    if (file == nullptr) return {};
    file->written += bytes;
    if (file->write_through) file->flushed = file->written;
    return file->host_path;
}

void note_file_flushed(std::uintptr_t handle) {
    if (WrittenFile* file = written_files().of(handle)) file->flushed = file->written;
}

}  // namespace vq4::sim
