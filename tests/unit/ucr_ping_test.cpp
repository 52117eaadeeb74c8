#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_file.h"
#include "platform/win_constants.h"
#include "platform/winusb.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "interface/ucr_ping.h"

namespace vq4 {
namespace {

const char* const kRequestOnTheWire = "0C 00 00 00 00 01 01 00 00 00 00 00";

// A device interface whose simulated device follows `winusb` (machine-file
// JSON), opened and prepared as section 3 prepares it: alternate setting 1,
// both pipes reset and bounded by the transfer time-out.
struct PreparedInterface {
    platform::FileHandle file;
    platform::WinUsbHandle usb;
    std::size_t trace_start = 0;

    explicit PreparedInterface(const test::WinUsbScript& winusb, bool bounded = true) {
        test::machine_file()
            .device(test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\7")
                        .service(L"WINUSB")
                        .interface(test::device_interface(L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", L"\\\\?\\usb#mi03#7")
                                       .winusb(winusb)))
            .use();
        EXPECT_EQ(platform::create_file(L"\\\\?\\usb#mi03#7", win::GENERIC_READ_ | win::GENERIC_WRITE_,
                                        win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_, win::OPEN_EXISTING_,
                                        win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, file),
                  0u);
        EXPECT_EQ(platform::winusb_initialize(file, usb), 0u);
        EXPECT_EQ(platform::winusb_set_current_alternate_setting(usb, 1), 0u);
        platform::winusb_reset_pipe(usb, kUcrPipeOut);
        platform::winusb_reset_pipe(usb, kUcrPipeIn);
        if (bounded) {
            EXPECT_EQ(platform::winusb_set_pipe_transfer_timeout(usb, kUcrPipeOut, kUcrTransferTimeoutMs), 0u);
            EXPECT_EQ(platform::winusb_set_pipe_transfer_timeout(usb, kUcrPipeIn, kUcrTransferTimeoutMs), 0u);
        }
        trace_start = sim::machine().trace.size();
    }

    // The calls made since the preparation: "operation(arguments) = result".
    std::vector<std::string> calls() const {
        std::vector<std::string> out;
        const auto& trace = sim::machine().trace;
        for (std::size_t i = trace_start; i < trace.size(); ++i) {
            out.push_back(trace[i].operation + "(" + trace[i].arguments + ") = " + std::to_string(trace[i].result));
        }
        return out;
    }
};

std::string write_call(std::int64_t result) {
    return "WinUsb_WritePipe(0x01, " + std::string(kRequestOnTheWire) + ") = " + std::to_string(result);
}
std::string read_call(std::int64_t result) { return "WinUsb_ReadPipe(0x81, 256) = " + std::to_string(result); }

TEST(UcrPing, OutcomesDetailsAndTheCallsMade) {
    struct Case {
        std::string name;
        test::WinUsbScript winusb;
        bool result;
        std::wstring detail;
        std::vector<std::string> calls;
        std::uint64_t waited_ms;
    };
    const std::vector<Case> cases = {
        {"12-byte reply", test::winusb_script().read_reply("0C 00 00 00 00 01 2A 00 00 00 00 00"), true,
         L"Response received (12 bytes, uniqueId=42).", {write_call(0), read_call(0)}, 0},
        {"uniqueId 0 is still a success",
         test::winusb_script().read_reply("0C 00 00 00 00 01 00 00 00 00 00 00 FF FF"), true,
         L"Response received (14 bytes, uniqueId=0).", {write_call(0), read_call(0)}, 0},
        {"uniqueId 255", test::winusb_script().read_reply("00 00 00 00 00 00 FF 00 00 00 00 00"), true,
         L"Response received (12 bytes, uniqueId=255).", {write_call(0), read_call(0)}, 0},
        {"11 bytes are too short", test::winusb_script().read_reply("0C 00 00 00 00 01 01 00 00 00 00"), false,
         L"Response too short (11 bytes).", {write_call(0), read_call(0)}, 0},
        {"zero-length reply", test::winusb_script().read_reply(""), false, L"Response too short (0 bytes).",
         {write_call(0), read_call(0)}, 0},
        {"first write fails, second succeeds",
         test::winusb_script().write_error(31).write_ok().read_reply("0C 00 00 00 00 01 01 00 00 00 00 00"), true,
         L"Response received (12 bytes, uniqueId=1).",
         {write_call(31), "WinUsb_ResetPipe(0x01) = 0", write_call(0), read_call(0)}, 0},
        {"both writes fail: no read, IN pipe not reset", test::winusb_script().write_error(31).write_error(22), false,
         L"Write to the OUT pipe failed (error code=22).", {write_call(31), "WinUsb_ResetPipe(0x01) = 0", write_call(22)},
         0},
        {"first read fails, second succeeds",
         test::winusb_script().read_error(31).read_reply("0C 00 00 00 00 01 07 00 00 00 00 00"), true,
         L"Response received (12 bytes, uniqueId=7).",
         {write_call(0), read_call(31), "WinUsb_ResetPipe(0x81) = 0", read_call(0)}, 0},
        {"both reads fail: the second code is reported", test::winusb_script().read_error(31).read_error(995), false,
         L"Read from the IN pipe failed (error code=995).",
         {write_call(0), read_call(31), "WinUsb_ResetPipe(0x81) = 0", read_call(995)}, 0},
        {"device never answers: each read ends at the time-out", test::winusb_script().read_waits(), false,
         L"Read from the IN pipe failed (error code=121).",
         {write_call(0), read_call(121), "WinUsb_ResetPipe(0x81) = 0", read_call(121)}, 2 * kUcrTransferTimeoutMs},
        {"no reads scripted: a healthy device answers 12 bytes", test::winusb_script(), true,
         L"Response received (12 bytes, uniqueId=1).", {write_call(0), read_call(0)}, 0},
        {"answer only after a timed-out first read",
         test::winusb_script().read_waits().read_reply("0C 00 00 00 00 01 01 00 00 00 00 00"), true,
         L"Response received (12 bytes, uniqueId=1).",
         {write_call(0), read_call(121), "WinUsb_ResetPipe(0x81) = 0", read_call(0)}, kUcrTransferTimeoutMs},
        {"OUT pipe stalls: each write ends at the time-out", test::winusb_script().write_waits(), false,
         L"Write to the OUT pipe failed (error code=121).",
         {write_call(121), "WinUsb_ResetPipe(0x01) = 0", write_call(121)}, 2 * kUcrTransferTimeoutMs},
        {"reply longer than the buffer: 256 bytes taken",
         test::winusb_script().read_reply("00 00 00 00 00 00 09 " + [] {
             std::string more;
             for (int i = 0; i < 293; ++i) more += "AB ";
             return more;
         }()),
         true, L"Response received (256 bytes, uniqueId=9).", {write_call(0), read_call(0)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PreparedInterface prepared(c.winusb);
        const std::uint64_t clock_before = sim::machine().virtual_clock_ms;
        const PingResult ping = ucr_ping(prepared.usb);
        EXPECT_EQ(ping.answered, c.result);
        EXPECT_EQ(ping.detail, c.detail);
        EXPECT_EQ(prepared.calls(), c.calls);
        EXPECT_EQ(sim::machine().virtual_clock_ms - clock_before, c.waited_ms);
    }
}

TEST(UcrPing, TheSameTwelveBytesOnEveryAttemptAndEveryCall) {
    PreparedInterface prepared(
        test::winusb_script().write_error(31).write_ok().read_reply("0C 00 00 00 00 01 01 00 00 00 00 00"));
    EXPECT_TRUE(ucr_ping(prepared.usb).answered);
    EXPECT_TRUE(ucr_ping(prepared.usb).answered);
    const std::string expected = std::string("0x01, ") + kRequestOnTheWire;
    EXPECT_EQ(sim::count_calls("WinUsb_WritePipe"), 3u);
    EXPECT_EQ(sim::count_calls("WinUsb_WritePipe", expected), 3u);
    EXPECT_EQ(ucr_ping_request(), (std::vector<std::uint8_t>{0x0C, 0, 0, 0, 0x00, 0x01, 0x01, 0x00, 0, 0, 0, 0}));
}

TEST(UcrPing, WithoutTheTransferTimeoutASilentDeviceWouldHangTheTool) {
    // The pipes' default policy has no time limit: the simulated device then
    // reports the endless wait instead of returning.
    PreparedInterface prepared(test::winusb_script().read_waits(), false);
    EXPECT_THROW(ucr_ping(prepared.usb), sim::WaitsForever);
}

TEST(SimulatedWinUsb, PipesExistOnlyInAlternateSetting1AndNeedAnOverlappedHandle) {
    test::machine_file()
        .device(test::device(L"USB\\VID_2A7D&PID_5E3C&MI_03\\7")
                    .interface(test::device_interface(L"{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", L"\\\\?\\usb#mi03#7")))
        .use();
    {
        platform::FileHandle plain;
        ASSERT_EQ(platform::create_file(L"\\\\?\\usb#mi03#7", win::GENERIC_READ_ | win::GENERIC_WRITE_,
                                        win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_, win::OPEN_EXISTING_,
                                        win::FILE_ATTRIBUTE_NORMAL_, plain),
                  0u);
        platform::WinUsbHandle usb;
        EXPECT_EQ(platform::winusb_initialize(plain, usb), win::ERROR_INVALID_HANDLE_);
        EXPECT_FALSE(usb.valid());
    }
    platform::FileHandle file;
    ASSERT_EQ(platform::create_file(L"\\\\?\\usb#mi03#7", win::GENERIC_READ_ | win::GENERIC_WRITE_,
                                    win::FILE_SHARE_READ_ | win::FILE_SHARE_WRITE_, win::OPEN_EXISTING_,
                                    win::FILE_ATTRIBUTE_NORMAL_ | win::FILE_FLAG_OVERLAPPED_, file),
              0u);
    platform::WinUsbHandle usb;
    ASSERT_EQ(platform::winusb_initialize(file, usb), 0u);
    std::uint32_t sent = 0;
    EXPECT_EQ(platform::winusb_write_pipe(usb, 0x01, ucr_ping_request(), sent), win::ERROR_INVALID_PARAMETER_);
    EXPECT_EQ(platform::winusb_reset_pipe(usb, 0x81), win::ERROR_INVALID_PARAMETER_);
    EXPECT_EQ(platform::winusb_set_current_alternate_setting(usb, 1), 0u);
    EXPECT_EQ(platform::winusb_write_pipe(usb, 0x01, ucr_ping_request(), sent), 0u);
    EXPECT_EQ(sent, 12u);
    std::vector<std::uint8_t> received;
    EXPECT_EQ(platform::winusb_read_pipe(usb, 0x01, 256, received), win::ERROR_INVALID_PARAMETER_) << "OUT pipe";
    usb.reset();
    EXPECT_EQ(sim::count_calls("WinUsb_Free"), 1u);
}


TEST(SimulatedWinUsb, MachineFileStepsAreCheckedWhenLoaded) {
    struct Case {
        std::string winusb;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"reads": [{}]})", "at /devices/0/interfaces/0/winusb/reads/0: a read step needs"},
        {R"({"writes": [{"reply": "00"}]})", "at /devices/0/interfaces/0/winusb/writes/0/reply: unknown entry"},
        {R"({"reads": [{"error": 0}]})", "an error code is nonzero"},
        {R"({"reads": [{"error": 5, "wait": true}]})", "a step is one of"},
        {R"({"reads": [{"wait": false}]})", "is true or left out"},
        {R"({"timeout": 5})", "unknown entry \"timeout\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.winusb);
        sim::Machine m;
        std::string error;
        EXPECT_FALSE(sim::parse_machine_json(R"({"devices": [{"instance_id": "USB\\X", "interfaces": [
            {"guid": "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}", "path": "\\\\?\\x", "winusb": )" + c.winusb + "}]}]}",
                                             "m", m, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace vq4
