// Simulated WinUSB on the simulated machine's device interfaces. The device
// behind an interface follows the script of its machine-file record: the
// results of initialisation and of selecting the alternate setting, and one
// step per write or read attempt. Time passes only on the virtual clock: a
// transfer that the device never completes ends at the pipe's
// PIPE_TRANSFER_TIMEOUT with ERROR_SEM_TIMEOUT, as WinUSB cancels it; with no
// time-out set it would wait forever, which the simulation reports by
// throwing WaitsForever instead of hanging the test.
#include "platform/winusb.h"

#include <cstdio>
#include <map>

#include "platform/sim/file_handles.h"
#include "platform/sim/machine.h"
#include "platform/win_constants.h"

namespace vq4::platform {

namespace {

constexpr std::uint8_t kPipeOut = 0x01;
constexpr std::uint8_t kPipeIn = 0x81;

using SimUsb = sim::UsbHandle;

std::map<std::uintptr_t, SimUsb>& open_usb() { return sim::machine().handles.usb.open; }

std::string pipe_text(std::uint8_t pipe) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", pipe);
    return text;
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", b);
        if (!text.empty()) text += ' ';
        text += pair;
    }
    return text;
}

using sim::finish;

// A present interface of that path: its script and its transfers so far.
struct UsbTarget {
    const sim::WinUsbDevice* script = nullptr;
    sim::WinUsbTransfers* transfers = nullptr;
};

UsbTarget find_interface(const std::wstring& path) {
    for (sim::Device& d : sim::machine().devices) {
        if (!d.description.present) continue;
        const std::vector<sim::DeviceInterfaceRecord>& interfaces = d.description.interfaces;
        for (std::size_t at = 0; at < interfaces.size(); ++at) {
            if (!sim::same_windows_path(interfaces[at].path, path)) continue;
            std::vector<sim::WinUsbTransfers>& transfers = d.state.winusb_transfers;
            if (transfers.size() <= at) transfers.resize(at + 1);
            return {&interfaces[at].winusb, &transfers[at]};
        }
    }
    return {};
}

SimUsb* find_usb(const WinUsbHandle& usb) {
    const auto found = open_usb().find(usb.raw());
    return usb.valid() && found != open_usb().end() ? &found->second : nullptr;
}

// The pipes of the current alternate setting: none in setting 0.
bool pipe_exists(const SimUsb& usb, std::uint8_t pipe) {
    return usb.alternate_setting == 1 && (pipe == kPipeOut || pipe == kPipeIn);
}

// Checks the handle, the device and the pipe of a transfer call.
std::uint32_t transfer_target(const WinUsbHandle& handle, std::uint8_t pipe, std::uint8_t expected_pipe, SimUsb*& usb,
                              UsbTarget& device) {
    usb = find_usb(handle);
    if (usb == nullptr) return win::ERROR_INVALID_HANDLE_;
    device = find_interface(usb->path);
    if (device.script == nullptr) return win::ERROR_DEVICE_NOT_CONNECTED_;
    if (!pipe_exists(*usb, pipe) || pipe != expected_pipe) return win::ERROR_INVALID_PARAMETER_;
    return 0;
}

const sim::UsbTransferStep* next_step(const std::vector<sim::UsbTransferStep>& steps, std::size_t& done) {
    const std::size_t index = done++;
    if (steps.empty()) return nullptr;
    return &steps[index < steps.size() ? index : steps.size() - 1];
}

// A transfer the device does not complete: cancelled at the pipe's time-out.
std::uint32_t wait_for_timeout(const SimUsb& usb, std::uint8_t pipe, const char* operation) {
    const auto limit = usb.timeout_ms.find(pipe);
    if (limit == usb.timeout_ms.end() || limit->second == 0) {
        throw sim::WaitsForever(std::string(operation) + " on pipe " + pipe_text(pipe) +
                                " waits forever: the device does not complete it and the pipe has no transfer "
                                "time-out");
    }
    sim::machine().virtual_clock_ms += limit->second;
    return win::ERROR_SEM_TIMEOUT_;
}

}  // namespace

std::uint32_t winusb_initialize(const FileHandle& device, WinUsbHandle& out) {
    const sim::OpenFile* file = device.valid() ? sim::open_file_record(device.raw()) : nullptr;
    const auto injected = sim::enter_call("WinUsb_Initialize", file != nullptr ? sim::narrow(file->path) : "<invalid>");
    if (injected) return finish(*injected);
    // WinUSB needs a handle opened for overlapped I/O: Microsoft documents
    // ERROR_INVALID_HANDLE for a handle without FILE_FLAG_OVERLAPPED, as for
    // an invalid one.
    if (file == nullptr || (file->flags & win::FILE_FLAG_OVERLAPPED_) == 0) return finish(win::ERROR_INVALID_HANDLE_);
    if (!file->is_device_interface) return finish(win::ERROR_INVALID_FUNCTION_);
    const UsbTarget target = find_interface(file->path);
    if (target.script == nullptr) return finish(win::ERROR_DEVICE_NOT_CONNECTED_);
    if (target.script->initialize_error != 0) return finish(target.script->initialize_error);
    const std::uintptr_t id = sim::machine().handles.usb.add(SimUsb{file->path, 0, {}});
    out = WinUsbHandle(id);
    return finish(0);
}

std::uint32_t winusb_set_current_alternate_setting(const WinUsbHandle& usb, std::uint8_t setting) {
    const auto injected = sim::enter_call("WinUsb_SetCurrentAlternateSetting", std::to_string(setting));
    if (injected) return finish(*injected);
    SimUsb* state = find_usb(usb);
    if (state == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    const UsbTarget target = find_interface(state->path);
    if (target.script == nullptr) return finish(win::ERROR_DEVICE_NOT_CONNECTED_);
    if (target.script->alternate_setting_error != 0) return finish(target.script->alternate_setting_error);
    if (setting > 1) return finish(win::ERROR_INVALID_PARAMETER_);
    state->alternate_setting = setting;
    return finish(0);
}

std::uint32_t winusb_reset_pipe(const WinUsbHandle& usb, std::uint8_t pipe) {
    const auto injected = sim::enter_call("WinUsb_ResetPipe", pipe_text(pipe));
    if (injected) return finish(*injected);
    const SimUsb* state = find_usb(usb);
    if (state == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    if (!pipe_exists(*state, pipe)) return finish(win::ERROR_INVALID_PARAMETER_);
    return finish(0);
}

std::uint32_t winusb_set_pipe_transfer_timeout(const WinUsbHandle& usb, std::uint8_t pipe,
                                               std::uint32_t milliseconds) {
    const auto injected = sim::enter_call("WinUsb_SetPipePolicy",
                                          pipe_text(pipe) + ", PIPE_TRANSFER_TIMEOUT, " + std::to_string(milliseconds));
    if (injected) return finish(*injected);
    SimUsb* state = find_usb(usb);
    if (state == nullptr) return finish(win::ERROR_INVALID_HANDLE_);
    if (!pipe_exists(*state, pipe)) return finish(win::ERROR_INVALID_PARAMETER_);
    state->timeout_ms[pipe] = milliseconds;
    return finish(0);
}

std::uint32_t winusb_write_pipe(const WinUsbHandle& usb, std::uint8_t pipe, const std::vector<std::uint8_t>& bytes,
                                std::uint32_t& transferred) {
    transferred = 0;
    // The bytes sent are part of the trace: tests read the request from it.
    const auto injected = sim::enter_call("WinUsb_WritePipe", pipe_text(pipe) + ", " + hex_bytes(bytes));
    if (injected) return finish(*injected);
    SimUsb* state = nullptr;
    UsbTarget device;
    if (const std::uint32_t error = transfer_target(usb, pipe, kPipeOut, state, device)) return finish(error);
    const sim::UsbTransferStep* step = next_step(device.script->writes, device.transfers->writes_done);
    if (step != nullptr && step->waits) return finish(wait_for_timeout(*state, pipe, "WinUsb_WritePipe"));
    if (step != nullptr && step->error != 0) return finish(step->error);
    transferred = static_cast<std::uint32_t>(bytes.size());
    return finish(0);
}

std::uint32_t winusb_read_pipe(const WinUsbHandle& usb, std::uint8_t pipe, std::uint32_t length,
                               std::vector<std::uint8_t>& received) {
    received.clear();
    const auto injected = sim::enter_call("WinUsb_ReadPipe", pipe_text(pipe) + ", " + std::to_string(length));
    if (injected) return finish(*injected);
    SimUsb* state = nullptr;
    UsbTarget device;
    if (const std::uint32_t error = transfer_target(usb, pipe, kPipeIn, state, device)) return finish(error);
    // Without a script the device behaves like a healthy Vantro Q4: it answers
    // a request with a 12-byte reply carrying the request's uniqueId.
    static const sim::UsbTransferStep kHealthyReply{false, 0, {0x0C, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0}};
    const sim::UsbTransferStep* step = next_step(device.script->reads, device.transfers->reads_done);
    if (step == nullptr) step = &kHealthyReply;
    if (step->waits) return finish(wait_for_timeout(*state, pipe, "WinUsb_ReadPipe"));
    if (step->error != 0) return finish(step->error);
    const std::size_t take = step->reply.size() < length ? step->reply.size() : length;
    received.assign(step->reply.begin(), step->reply.begin() + static_cast<std::ptrdiff_t>(take));
    return finish(0);
}

void release_handle(WinUsbTag, std::uintptr_t raw) noexcept {
    sim::enter_call("WinUsb_Free", "");
    open_usb().erase(raw);
}

}  // namespace vq4::platform
