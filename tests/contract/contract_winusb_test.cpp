// Contract of the WinUSB operations (src/platform/winusb.h) on an opened
// device interface.
//
// Simulated side only: Wine has no USB devices, and its WinUSB stubs end the
// process when called, so the Windows build skips before any WinUsb_* call
// (add_device() is false there). The tests hold the simulated WinUSB to
// Microsoft's documentation: WinUsb_Initialize needs a handle opened with
// FILE_FLAG_OVERLAPPED (ERROR_INVALID_HANDLE otherwise), a fresh interface
// handle is in alternate setting 0, where this device has no endpoints, and
// PIPE_TRANSFER_TIMEOUT ends a transfer the device does not complete with
// ERROR_SEM_TIMEOUT after that many milliseconds (0, the default, waits
// without limit).
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/contract_test.h"
#include "platform/files.h"
#include "platform/winusb.h"
#include "platform/win_constants.h"

namespace vq4::contract {
namespace {

namespace s = situation;
using platform::FileHandle;
using platform::WinUsbHandle;

class WinUsbContract : public Contract {};

constexpr std::uint8_t kPipeOut = 0x01;
constexpr std::uint8_t kPipeIn = 0x81;

const std::wstring kVendor = L"USB\\VID_2A7D&PID_5E3C&MI_03\\7&2F1C3A4B&0&0003";
const std::wstring kGuid = L"{8E3F4A12-6B7C-4D2E-9F01-23456789ABCD}";
const std::wstring kPath = L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#7&2f1c3a4b&0&0003#{8e3f4a12-6b7c-4d2e-9f01-23456789abcd}";

// The vendor interface of a Vantro Q4 behind WinUSB, its device following
// the given transfer steps.
bool add_vendor_interface(std::vector<s::DeviceNodeSpec::UsbTransfer> reads,
                          std::vector<s::DeviceNodeSpec::UsbTransfer> writes) {
    s::DeviceNodeSpec vendor;
    vendor.instance_id = kVendor;
    vendor.service = L"WinUSB";
    vendor.interfaces = {{kGuid, kPath}};
    vendor.usb_reads = std::move(reads);
    vendor.usb_writes = std::move(writes);
    return s::add_device(vendor);
}

#define VQ4_NEEDS_A_USB_DEVICE(arranged)                                                                  \
    do {                                                                                                  \
        if (!(arranged)) GTEST_SKIP() << "only the simulated side has a USB device behind WinUSB";       \
    } while (false)

std::uint32_t open_interface(std::uint32_t flags, FileHandle& out) {
    return platform::create_file(kPath, win::GENERIC_READ_ | win::GENERIC_WRITE_,
                                 win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_, win::OPEN_EXISTING_, flags, out);
}

// An initialised WinUSB handle on the interface, in alternate setting 1.
struct OpenUsb {
    FileHandle file;
    WinUsbHandle usb;
};

void open_usb(OpenUsb& open) {
    ASSERT_EQ(open_interface(win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, open.file), 0u);
    ASSERT_EQ(platform::winusb_initialize(open.file, open.usb), 0u);
    ASSERT_EQ(platform::winusb_set_current_alternate_setting(open.usb, 1), 0u);
}

const std::vector<std::uint8_t> kRequest = {0x0C, 0, 0, 0, 0x2A, 0, 1, 0, 0, 0, 0, 0};

TEST_F(WinUsbContract, InitializeNeedsAnOverlappedHandle) {
    VQ4_NEEDS_A_USB_DEVICE(add_vendor_interface({}, {}));
    {
        FileHandle plain;
        ASSERT_EQ(open_interface(win::FILE_ATTRIBUTE_NORMAL_, plain), 0u);
        WinUsbHandle usb;
        EXPECT_EQ(platform::winusb_initialize(plain, usb), win::ERROR_INVALID_HANDLE_);
        EXPECT_FALSE(usb.valid());
    }
    FileHandle overlapped;
    ASSERT_EQ(open_interface(win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, overlapped), 0u);
    WinUsbHandle usb;
    EXPECT_EQ(platform::winusb_initialize(overlapped, usb), 0u);
    EXPECT_TRUE(usb.valid());
}

TEST_F(WinUsbContract, AlternateSetting0HasNoPipes) {
    VQ4_NEEDS_A_USB_DEVICE(add_vendor_interface({{false, 0, {1, 2, 3}}}, {}));
    FileHandle file;
    ASSERT_EQ(open_interface(win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, file), 0u);
    WinUsbHandle usb;
    ASSERT_EQ(platform::winusb_initialize(file, usb), 0u);

    const auto every_pipe_call = [&](std::uint32_t expected) {
        for (const std::uint8_t pipe : {kPipeOut, kPipeIn}) {
            SCOPED_TRACE(pipe);
            EXPECT_EQ(platform::winusb_reset_pipe(usb, pipe), expected);
            EXPECT_EQ(platform::winusb_set_pipe_transfer_timeout(usb, pipe, 500), expected);
        }
        std::uint32_t sent = 99;
        EXPECT_EQ(platform::winusb_write_pipe(usb, kPipeOut, kRequest, sent), expected);
        EXPECT_EQ(sent, expected == 0 ? kRequest.size() : 0u);
        std::vector<std::uint8_t> received = {9};
        EXPECT_EQ(platform::winusb_read_pipe(usb, kPipeIn, 64, received), expected);
        EXPECT_EQ(received.empty(), expected != 0);
    };
    // The interface starts in alternate setting 0.
    every_pipe_call(win::ERROR_INVALID_PARAMETER_);
    ASSERT_EQ(platform::winusb_set_current_alternate_setting(usb, 1), 0u);
    every_pipe_call(0);
    ASSERT_EQ(platform::winusb_set_current_alternate_setting(usb, 0), 0u);
    every_pipe_call(win::ERROR_INVALID_PARAMETER_);
}

TEST_F(WinUsbContract, TransfersCarryTheDevicesAnswer) {
    const std::vector<std::uint8_t> reply = {0x0C, 0, 0, 0, 0x2A, 0, 1, 1, 0, 0, 0, 0};
    VQ4_NEEDS_A_USB_DEVICE(add_vendor_interface(
        {{false, 0, reply}, {false, 0, reply}, {false, win::ERROR_GEN_FAILURE_, {}}}, {{false, 0, {}}}));
    OpenUsb open;
    open_usb(open);
    if (HasFatalFailure()) return;

    std::uint32_t sent = 0;
    EXPECT_EQ(platform::winusb_write_pipe(open.usb, kPipeOut, kRequest, sent), 0u);
    EXPECT_EQ(sent, kRequest.size());
    std::vector<std::uint8_t> received;
    EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeIn, 256, received), 0u);
    EXPECT_EQ(received, reply);
    // A read shorter than the answer gets its first bytes.
    EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeIn, 4, received), 0u);
    EXPECT_EQ(received, std::vector<std::uint8_t>(reply.begin(), reply.begin() + 4));
    // A transfer the device fails.
    EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeIn, 256, received), win::ERROR_GEN_FAILURE_);
    EXPECT_TRUE(received.empty());
    // Each pipe has one direction.
    EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeOut, 256, received), win::ERROR_INVALID_PARAMETER_);
    EXPECT_EQ(platform::winusb_write_pipe(open.usb, kPipeIn, kRequest, sent), win::ERROR_INVALID_PARAMETER_);
}

TEST_F(WinUsbContract, TransferTimeOutIsPerPipe) {
    VQ4_NEEDS_A_USB_DEVICE(add_vendor_interface({{true, 0, {}}}, {{true, 0, {}}}));
    OpenUsb open;
    open_usb(open);
    if (HasFatalFailure()) return;
    ASSERT_EQ(platform::winusb_set_pipe_transfer_timeout(open.usb, kPipeOut, 200), 0u);
    ASSERT_EQ(platform::winusb_set_pipe_transfer_timeout(open.usb, kPipeIn, 700), 0u);

    std::uint64_t before = s::clock_ms();
    std::uint32_t sent = 99;
    EXPECT_EQ(platform::winusb_write_pipe(open.usb, kPipeOut, kRequest, sent), win::ERROR_SEM_TIMEOUT_);
    EXPECT_EQ(sent, 0u);
    EXPECT_GE(s::clock_ms() - before, 200u);
    EXPECT_LT(s::clock_ms() - before, 700u);

    before = s::clock_ms();
    std::vector<std::uint8_t> received = {9};
    EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeIn, 64, received), win::ERROR_SEM_TIMEOUT_);
    EXPECT_TRUE(received.empty());
    EXPECT_GE(s::clock_ms() - before, 700u);
}

TEST_F(WinUsbContract, WithoutATimeOutATransferDoesNotEnd) {
    VQ4_NEEDS_A_USB_DEVICE(add_vendor_interface({{true, 0, {}}}, {}));
    {
        OpenUsb open;
        open_usb(open);
        if (HasFatalFailure()) return;
        ASSERT_EQ(platform::winusb_set_pipe_transfer_timeout(open.usb, kPipeIn, 300), 0u);
        std::vector<std::uint8_t> received;
        EXPECT_EQ(platform::winusb_read_pipe(open.usb, kPipeIn, 64, received), win::ERROR_SEM_TIMEOUT_);
    }
    // WinUsb_Initialize resets the pipe policies to their defaults: the new
    // handle's read waits without limit. The simulated machine stops such a
    // wait with an exception instead of hanging.
    OpenUsb open;
    open_usb(open);
    if (HasFatalFailure()) return;
    std::vector<std::uint8_t> received;
    EXPECT_THROW(platform::winusb_read_pipe(open.usb, kPipeIn, 64, received), std::runtime_error);
}

}  // namespace
}  // namespace vq4::contract
