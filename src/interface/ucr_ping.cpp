#include "interface/ucr_ping.h"

#include "capture/machine_capture.h"
#include "platform/winusb.h"
#include "util/text.h"

namespace vq4 {

std::vector<std::uint8_t> ucr_ping_request() {
    return {0x0C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
}

PingResult ucr_ping(const platform::WinUsbHandle& usb) {
    const std::vector<std::uint8_t> request = ucr_ping_request();

    std::uint32_t sent = 0;
    std::uint32_t error = platform::winusb_write_pipe(usb, kUcrPipeOut, request, sent);
    capture::winusb_write(error);
    if (error != 0) {
        platform::winusb_reset_pipe(usb, kUcrPipeOut);
        error = platform::winusb_write_pipe(usb, kUcrPipeOut, request, sent);
        capture::winusb_write(error);
        if (error != 0) {
            return {false, L"Write to the OUT pipe failed (error code=" + decimal(error) + L")."};
        }
    }

    std::vector<std::uint8_t> reply;
    error = platform::winusb_read_pipe(usb, kUcrPipeIn, kUcrReplyBufferSize, reply);
    capture::winusb_read(error, reply);
    if (error != 0) {
        platform::winusb_reset_pipe(usb, kUcrPipeIn);
        error = platform::winusb_read_pipe(usb, kUcrPipeIn, kUcrReplyBufferSize, reply);
        capture::winusb_read(error, reply);
        if (error != 0) {
            return {false, L"Read from the IN pipe failed (error code=" + decimal(error) + L")."};
        }
    }

    const auto received = static_cast<std::uint32_t>(reply.size());
    if (received < request.size()) {
        return {false, L"Response too short (" + decimal(received) + L" bytes)."};
    }
    const std::uint32_t unique_id = reply[6];
    return {true, L"Response received (" + decimal(received) + L" bytes, uniqueId=" + decimal(unique_id) + L")."};
}

}  // namespace vq4
