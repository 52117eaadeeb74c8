// The UCR PING exchange on the MI_03 interface: one fixed 12-byte request on
// the OUT pipe, one reply on the IN pipe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handles.h"

namespace vq4 {

inline constexpr std::uint8_t kUcrPipeOut = 0x01;
inline constexpr std::uint8_t kUcrPipeIn = 0x81;
inline constexpr std::uint32_t kUcrReplyBufferSize = 256;

// Upper bound of each transfer. The pipes' default policy has no time limit,
// so a device that never answers would keep the tool waiting for ever; the
// caller sets this PIPE_TRANSFER_TIMEOUT on both pipes before the exchange.
inline constexpr std::uint32_t kUcrTransferTimeoutMs = 5000;

// Length 12 (little-endian), fixed bytes 00 01, uniqueId 1, fixed zeros.
std::vector<std::uint8_t> ucr_ping_request();

struct PingResult {
    bool answered = false;  // at least 12 bytes came back
    std::wstring detail;    // the one text that tells what happened
};

// Sends the request (two attempts, the OUT pipe reset between them) and reads
// the reply (two attempts, the IN pipe reset between them) on an initialised
// interface whose pipes were just reset.
PingResult ucr_ping(const platform::WinUsbHandle& usb);

}  // namespace vq4
