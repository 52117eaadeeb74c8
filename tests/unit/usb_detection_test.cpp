#include <gtest/gtest.h>

#include <functional>

#include "inspect/usb_detection.h"
#include "report/report.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

const std::string kHeader = "\n==== 2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4) ====\n";

// The report file text of one section run, from fresh counters.
std::string report_of(const std::function<void()>& section) {
    test::machine_file().use();
    test::reset_counters();
    const auto dir = test::make_temp_dir("usb_detection");
    const auto path = dir / "r.txt";
    open_report_file(widen(path.string()));
    section();
    close_report_file();
    const std::string text = test::read_file_bytes(path);
    std::filesystem::remove_all(dir);
    return text;
}

UsbNode node(const wchar_t* id, const wchar_t* description, const wchar_t* service, bool has_status = true,
             std::uint32_t problem = 0, std::uint32_t status = 0x0180600A) {
    UsbNode n;
    n.instance_id = id;
    n.description = description;
    n.service = service;
    n.has_status = has_status;
    n.status = has_status ? status : 0;
    n.problem = has_status ? problem : 0;
    return n;
}

TEST(ProblemText, KnownCodesAndFallback) {
    struct Case {
        std::uint32_t code;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, L"no problem"},
        {1, L"device is not configured correctly"},
        {10, L"this device cannot start"},
        {18, L"drivers need to be reinstalled"},
        {22, L"device is disabled (via Device Manager)"},
        {24, L"device is not present / unplugged (phantom state)"},
        {28, L"drivers are not installed for this device"},
        {45, L"device is currently not plugged in (phantom state, last known driver kept)"},
        {48, L"driver blocked by Windows (compatibility or signature)"},
        {31, L"problem code CM_PROB=31 (see Microsoft docs)"},
        {2, L"problem code CM_PROB=2 (see Microsoft docs)"},
        {0xFFFFFFFF, L"problem code CM_PROB=4294967295 (see Microsoft docs)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(problem_text(c.code), c.text) << c.code;
    }
}

TEST(UsbDetectionSection, EmptyListIsOneFailLine) {
    const std::string text = report_of([] { run_usb_detection_section({}); });
    EXPECT_EQ(text, test::crlf(kHeader +
                               "[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem "
                               "to be plugged in (check the cable, the USB port, or that the device is powered on).\n"));
    EXPECT_EQ(test::counts().fail, 1);
    EXPECT_EQ(test::counts().ok, 0);
    EXPECT_EQ(test::counts().warn, 0);
}

TEST(UsbDetectionSection, HealthyNodesInListOrder) {
    // Not sorted: the interface comes before its parent when the system says so.
    const std::vector<UsbNode> nodes = {
        node(L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003", L"Vantro Q4 Vendor Interface", L"WINUSB"),
        node(L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D", L"Vantro Q4", L"usbccgp"),
        node(L"usb\\vid_2a7d&pid_5e3c&mi_00\\6&3a2b1c0d&0&0000", L"Vantro Q4 Audio", L"usbaudio2"),
    };
    const std::string text = report_of([&] { run_usb_detection_section(nodes); });
    EXPECT_EQ(text, test::crlf(kHeader +
                               "[  OK  ] Device detected: 3 USB node(s) found.\n"
                               "[ INFO ] interface MI_03: USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003\n"
                               "         Description: Vantro Q4 Vendor Interface\n"
                               "         Driver (service): WINUSB\n"
                               "[  OK  ]   -> Driver active, no problem reported by Windows.\n"
                               "[ INFO ] composite device (parent): USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D\n"
                               "         Description: Vantro Q4\n"
                               "         Driver (service): usbccgp\n"
                               "[  OK  ]   -> Driver active, no problem reported by Windows.\n"
                               "[ INFO ] interface MI_00: usb\\vid_2a7d&pid_5e3c&mi_00\\6&3a2b1c0d&0&0000\n"
                               "         Description: Vantro Q4 Audio\n"
                               "         Driver (service): usbaudio2\n"
                               "[  OK  ]   -> Driver active, no problem reported by Windows.\n"));
    EXPECT_EQ(test::counts().ok, 4);
    EXPECT_EQ(test::counts().warn, 0);
    EXPECT_EQ(test::counts().fail, 0);
}

TEST(UsbDetectionSection, StateLineFollowsProblemAndStatusReadOnly) {
    const std::vector<UsbNode> nodes = {
        // Disabled, listed code.
        node(L"USB\\VID_2A7D&PID_5E3C&MI_00\\6&1", L"Vantro Q4 Audio", L"usbaudio2", true, 22, 0x01806400),
        // Unlisted code, no description at all.
        node(L"USB\\VID_2A7D&PID_5E3C&MI_01\\6&1", L"", L"usbaudio2", true, 31, 0x01806400),
        // State unreadable: the flags and problem are not looked at.
        node(L"USB\\VID_2A7D&PID_5E3C&MI_02\\6&1", L"USB Input Device", L"HidUsb", false),
        // No driver, and flags that say "not started" with problem 0: still Ok.
        node(L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&1", L"Vantro Q4 Vendor Interface", L"", true, 0, 0x01802002),
    };
    const std::string text = report_of([&] { run_usb_detection_section(nodes); });
    EXPECT_EQ(text, test::crlf(kHeader +
                               "[  OK  ] Device detected: 4 USB node(s) found.\n"
                               "[ INFO ] interface MI_00: USB\\VID_2A7D&PID_5E3C&MI_00\\6&1\n"
                               "         Description: Vantro Q4 Audio\n"
                               "         Driver (service): usbaudio2\n"
                               "[ FAIL ]   -> Problem reported by Windows: device is disabled (via Device Manager)\n"
                               "[ INFO ] interface MI_01: USB\\VID_2A7D&PID_5E3C&MI_01\\6&1\n"
                               "         Driver (service): usbaudio2\n"
                               "[ FAIL ]   -> Problem reported by Windows: problem code CM_PROB=31 (see Microsoft docs)\n"
                               "[ INFO ] interface MI_02: USB\\VID_2A7D&PID_5E3C&MI_02\\6&1\n"
                               "         Description: USB Input Device\n"
                               "         Driver (service): HidUsb\n"
                               "[ WARN ]   -> Unable to query this node's state (CM_Get_DevNode_Status failed).\n"
                               "[ INFO ] interface MI_03: USB\\VID_2A7D&PID_5E3C&MI_03\\6&1\n"
                               "         Description: Vantro Q4 Vendor Interface\n"
                               "         Driver (service): (none)\n"
                               "[  OK  ]   -> Driver active, no problem reported by Windows.\n"));
    EXPECT_EQ(test::counts().ok, 2);
    EXPECT_EQ(test::counts().warn, 1);
    EXPECT_EQ(test::counts().fail, 2);
}

TEST(UsbDetectionSection, ChangesNothingOnTheMachine) {
    const std::vector<UsbNode> nodes = {node(L"USB\\VID_2A7D&PID_5E3C\\QV4", L"Vantro Q4", L"usbccgp")};
    report_of([&] { run_usb_detection_section(nodes); });
    // Reports on the list it is given: no platform call besides opening the
    // report (and looking for a JSON of the report's name).
    for (const sim::TraceEntry& entry : sim::machine().trace) {
        const bool report_file = entry.operation == "CreateFileW" ||
                                 (entry.operation == "GetFileAttributesW" &&
                                  entry.arguments.find("(report folder)") != std::string::npos);
        EXPECT_TRUE(report_file) << entry.operation << " " << entry.arguments;
    }
}

}  // namespace
}  // namespace vq4
