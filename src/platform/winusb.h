// WinUSB operations on an opened device interface. Every result is 0 or the
// GetLastError value of the failed call, unchanged. The WinUSB handle is a
// WinUsbHandle owner; releasing it calls WinUsb_Free.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/handles.h"

namespace vq4::platform {

// WinUsb_Initialize(file, &handle) on a device interface opened with
// FILE_FLAG_OVERLAPPED.
std::uint32_t winusb_initialize(const FileHandle& device, WinUsbHandle& out);

// WinUsb_SetCurrentAlternateSetting(handle, setting).
std::uint32_t winusb_set_current_alternate_setting(const WinUsbHandle& usb, std::uint8_t setting);

// WinUsb_ResetPipe(handle, pipe).
std::uint32_t winusb_reset_pipe(const WinUsbHandle& usb, std::uint8_t pipe);

// WinUsb_SetPipePolicy(handle, pipe, PIPE_TRANSFER_TIMEOUT, 4, &milliseconds):
// a transfer on the pipe that has not finished after that time is cancelled
// and fails with ERROR_SEM_TIMEOUT (121). 0 means no limit (the default).
std::uint32_t winusb_set_pipe_transfer_timeout(const WinUsbHandle& usb, std::uint8_t pipe,
                                               std::uint32_t milliseconds);

// WinUsb_WritePipe(handle, pipe, bytes, size, &transferred, NULL): a
// synchronous write; `transferred` is preset to 0.
std::uint32_t winusb_write_pipe(const WinUsbHandle& usb, std::uint8_t pipe, const std::vector<std::uint8_t>& bytes,
                                std::uint32_t& transferred);

// WinUsb_ReadPipe(handle, pipe, buffer, length, &transferred, NULL) into a
// zeroed buffer of `length` bytes: a synchronous read; `received` holds the
// bytes transferred (empty when the call fails).
std::uint32_t winusb_read_pipe(const WinUsbHandle& usb, std::uint8_t pipe, std::uint32_t length,
                               std::vector<std::uint8_t>& received);

}  // namespace vq4::platform
