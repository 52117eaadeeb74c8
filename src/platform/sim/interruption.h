// The test-only interruption of the simulated process (machine file entry
// "interrupt", docs/machine-file.md): the process ends at once, without any
// clean-up, right after its nth call that changes the system, and leaves the
// machine as it is then in a machine file.
//
// Two kinds, as Windows leaves a machine:
// - killed (the window closed, TerminateProcess, a crash): every change made
//   stays; a file holds the bytes handed to WriteFile, nothing the process
//   still held in its own buffers. What the system had under way (a node on
//   its way back, interfaces WinUSB registers a moment later) completes.
// - restarted (power loss, a reboot): as killed, but a file keeps only what
//   FlushFileBuffers wrote through; then Windows starts: removals left to the
//   restart (DI_NEEDREBOOT) complete, and every node whose hardware is still
//   attached is detected again, with the firmware's descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vq4::sim {

// The calls that change the system (removals, re-enumerations, restarts,
// registry writes and deletions, file creations and writes) call this once
// they are done, whatever their result. It records the change, and ends the
// process there when the machine's "interrupt" asks for it.
void note_system_change(const std::string& operation, const std::string& arguments);

// note_system_change() when the scope ends: once the call has returned its
// result, on every path.
class SystemChangeCall {
public:
    SystemChangeCall(std::string operation, std::string arguments)
        : operation_(std::move(operation)), arguments_(std::move(arguments)) {}
    ~SystemChangeCall() { note_system_change(operation_, arguments_); }
    SystemChangeCall(const SystemChangeCall&) = delete;
    SystemChangeCall& operator=(const SystemChangeCall&) = delete;

private:
    std::string operation_;
    std::string arguments_;
};

// At start-up: with "after_change": 0 the process ends before its first
// call, leaving the machine as it was loaded.
void interrupt_at_startup_if_asked();

// The real files the process writes (the report, the registry backup), by
// handle: what reached them and what FlushFileBuffers wrote through.
// `write_through`: FILE_FLAG_WRITE_THROUGH, every write is on the disk at once.
void track_written_file(std::uintptr_t handle, const std::string& host_path, bool write_through);
// Gives the file's path on the host (empty for a handle not tracked).
std::string note_file_written(std::uintptr_t handle, std::uint64_t bytes);
void note_file_flushed(std::uintptr_t handle);

// What Windows finishes on its own once the process is gone: due and late
// arrivals, interfaces registered late ("never" stays never).
void finish_pending_system_work();

// Windows starting again: pending removals complete, every attached node is
// detected again (firmware_guid_returns applies) and its driver started.
void start_windows_again();

}  // namespace vq4::sim
