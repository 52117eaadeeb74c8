// WinUSB on real Windows. winusb.dll is loaded at run time from System32
// only (system_library.h), so the executable starts (and reports) on a
// system where it is missing; every call then fails with the loader's error
// code.
#include "platform/winusb.h"

#include <windows.h>
// windows.h first: winusb.h needs its types.
#include <winusb.h>

#include "platform/win32/system_library.h"

namespace vq4::platform {

namespace {

using system_library::Entry;
using system_library::resolve;

struct WinUsbApi {
    Entry<decltype(&WinUsb_Initialize)> initialize;
    Entry<decltype(&WinUsb_Free)> free;
    Entry<decltype(&WinUsb_SetCurrentAlternateSetting)> set_current_alternate_setting;
    Entry<decltype(&WinUsb_ResetPipe)> reset_pipe;
    Entry<decltype(&WinUsb_SetPipePolicy)> set_pipe_policy;
    Entry<decltype(&WinUsb_WritePipe)> write_pipe;
    Entry<decltype(&WinUsb_ReadPipe)> read_pipe;
};

// Loaded once and kept for the life of the process: WinUsb_Free must still
// be reachable when the last handle is released.
const WinUsbApi& api() {
    static const WinUsbApi loaded = [] {
        WinUsbApi a;
        const system_library::Module module = system_library::load(L"winusb.dll");
        resolve(module, "WinUsb_Initialize", a.initialize);
        resolve(module, "WinUsb_Free", a.free);
        resolve(module, "WinUsb_SetCurrentAlternateSetting", a.set_current_alternate_setting);
        resolve(module, "WinUsb_ResetPipe", a.reset_pipe);
        resolve(module, "WinUsb_SetPipePolicy", a.set_pipe_policy);
        resolve(module, "WinUsb_WritePipe", a.write_pipe);
        resolve(module, "WinUsb_ReadPipe", a.read_pipe);
        return a;
    }();
    return loaded;
}

WINUSB_INTERFACE_HANDLE as_winusb(const WinUsbHandle& usb) { return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(usb.raw()); }

std::uint32_t last_error_or_zero(BOOL ok) { return ok ? 0 : GetLastError(); }

}  // namespace

std::uint32_t winusb_initialize(const FileHandle& device, WinUsbHandle& out) {
    const auto& entry = api().initialize;
    if (entry.function == nullptr) return entry.error;
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!entry.function(reinterpret_cast<HANDLE>(device.raw()), &handle)) return GetLastError();
    out = WinUsbHandle(reinterpret_cast<std::uintptr_t>(handle));
    return 0;
}

std::uint32_t winusb_set_current_alternate_setting(const WinUsbHandle& usb, std::uint8_t setting) {
    const auto& entry = api().set_current_alternate_setting;
    if (entry.function == nullptr) return entry.error;
    return last_error_or_zero(entry.function(as_winusb(usb), setting));
}

std::uint32_t winusb_reset_pipe(const WinUsbHandle& usb, std::uint8_t pipe) {
    const auto& entry = api().reset_pipe;
    if (entry.function == nullptr) return entry.error;
    return last_error_or_zero(entry.function(as_winusb(usb), pipe));
}

std::uint32_t winusb_set_pipe_transfer_timeout(const WinUsbHandle& usb, std::uint8_t pipe,
                                               std::uint32_t milliseconds) {
    const auto& entry = api().set_pipe_policy;
    if (entry.function == nullptr) return entry.error;
    ULONG value = milliseconds;
    return last_error_or_zero(entry.function(as_winusb(usb), pipe, PIPE_TRANSFER_TIMEOUT, sizeof(value), &value));
}

std::uint32_t winusb_write_pipe(const WinUsbHandle& usb, std::uint8_t pipe, const std::vector<std::uint8_t>& bytes,
                                std::uint32_t& transferred) {
    transferred = 0;
    const auto& entry = api().write_pipe;
    if (entry.function == nullptr) return entry.error;
    std::vector<UCHAR> buffer(bytes.begin(), bytes.end());
    ULONG sent = 0;
    const BOOL ok = entry.function(as_winusb(usb), pipe, buffer.data(), static_cast<ULONG>(buffer.size()), &sent,
                                   nullptr);
    if (!ok) return GetLastError();
    transferred = sent;
    return 0;
}

std::uint32_t winusb_read_pipe(const WinUsbHandle& usb, std::uint8_t pipe, std::uint32_t length,
                               std::vector<std::uint8_t>& received) {
    received.clear();
    const auto& entry = api().read_pipe;
    if (entry.function == nullptr) return entry.error;
    std::vector<UCHAR> buffer(length == 0 ? 1 : length, 0);
    ULONG count = 0;
    if (!entry.function(as_winusb(usb), pipe, buffer.data(), length, &count, nullptr)) return GetLastError();
    received.assign(buffer.begin(), buffer.begin() + (count < length ? count : length));
    return 0;
}

void release_handle(WinUsbTag, std::uintptr_t raw) noexcept {
    const auto& entry = api().free;
    if (entry.function != nullptr) entry.function(reinterpret_cast<WINUSB_INTERFACE_HANDLE>(raw));
}

}  // namespace vq4::platform
