#include <gtest/gtest.h>

#include <set>

#include "app/sections.h"
#include "inspect/usb_nodes.h"
#include "platform/sim/machine.h"
#include "report/report.h"
#include "support/low_level_texts.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"
#include "interface/low_level_section.h"
#include "interface/ucr_ping.h"

namespace vq4 {
namespace {

namespace s3 = test::section3;

const std::wstring kMi03 = L"USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003";
const std::wstring kParent = L"USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
const std::string kExpected = "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
const std::string kOther = "{0D5A1E37-2B6C-4F08-8E91-5C3B7A2D4F60}";
const std::wstring kPath = L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
const test::WinUsbScript kReply = test::winusb_script().read_reply("0C 00 00 00 00 01 01 00 00 00 00 00");
const std::string kReplyDetail = "Response received (12 bytes, uniqueId=1).";

// The MI_03 node under the composite device.
test::DeviceEntry mi03(const std::wstring& id = kMi03) { return test::device(id).parent(kParent); }

// An interface of MI_03's path.
test::InterfaceEntry interface_entry(const std::string& guid) { return test::device_interface(guid, kPath); }

// MI_03's hardware key: revision 0x0102, the semaphore set, and the GUIDs
// registered as DeviceInterfaceGUIDs (none: no such value) and as
// DeviceInterfaceGUID (empty: no such value).
std::vector<test::RegValue> registered(const std::vector<test::Text>& multi, const std::string& single = "") {
    std::vector<test::RegValue> values = {test::reg_dword(L"RevisionId", 258),
                                          test::reg_dword(L"ExtPropDescSemaphore", 1)};
    if (!multi.empty()) values.push_back(test::reg_multi_sz(L"DeviceInterfaceGUIDs", multi));
    if (!single.empty()) values.push_back(test::reg_sz(L"DeviceInterfaceGUID", single));
    return values;
}

// The composite device, then the given nodes.
test::MachineFile machine(const std::vector<test::DeviceEntry>& devices) {
    return test::machine_file().device(test::device(kParent).service(L"usbccgp")).devices(devices);
}

class LowLevelSection : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_counters();
        dir = test::make_temp_dir("section3");
        path = dir / "report.txt";
    }
    void TearDown() override {
        close_report_file();
        std::filesystem::remove_all(dir);
    }

    // Runs the section on the machine's own node list; the trace then holds
    // only the section's calls.
    std::vector<std::string> run(const test::MachineFile& machine) {
        machine.use();
        return run_on(enumerate_usb_nodes());
    }

    std::vector<std::string> run_on(const std::vector<UsbNode>& nodes) {
        std::filesystem::remove(path);
        open_report_file(widen(path.string()));
        sim::machine().trace.clear();
        mi03_interface_path = run_low_level_section(nodes).interface_path;
        close_report_file();
        const std::string text = test::read_file_bytes(path);
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find("\r\n", start);
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        // The header block: an empty line, then the header.
        EXPECT_GE(lines.size(), 2u);
        if (lines.size() >= 2) {
            EXPECT_EQ(lines[0], "");
            EXPECT_EQ(lines[1], s3::kHeader);
            lines.erase(lines.begin(), lines.begin() + 2);
        }
        return lines;
    }

    std::filesystem::path dir, path;
    std::wstring mi03_interface_path;  // what the last run returned
};

using Lines = std::vector<std::string>;

TEST_F(LowLevelSection, NoMi03NodeEndsAtTheFirstLine) {
    // The device is there without its MI_03 node (a removal whose re-detection
    // never came, as an interrupted repair leaves it): the replug that brings
    // the node back is named.
    const std::string replug =
        "[ WARN ]   -> The Vantro Q4 is connected but Windows lists no MI_03 interface for it. Unplug the Vantro Q4, "
        "wait 5 seconds, plug it back directly into the PC (no hub), then re-run this tool.";
    EXPECT_EQ(run(machine({})), (Lines{s3::kNoNode, replug}));
    // No node of the device at all: section 2 has said it is not plugged in.
    EXPECT_EQ(run_on({}), Lines{s3::kNoNode});
    // A node of the device that is not MI_03 (MI_00) does not count.
    EXPECT_EQ(run(machine({mi03(L"USB\\VID_2A7D&PID_5E3C&MI_00\\6&1").service(L"WINUSB")})),
              (Lines{s3::kNoNode, replug}));
    EXPECT_EQ(test::counts().warn, 5);
    EXPECT_TRUE(sim::machine().trace.empty()) << "nothing is looked up without an MI_03 node";
}

TEST_F(LowLevelSection, NodeLookupFailures) {
    machine({mi03().service(L"WINUSB").hardware_key(registered({}))}).use();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();

    sim::machine().faults = {{"SetupDiGetClassDevsW", 2, 13}};  // the first call was the enumeration's
    EXPECT_EQ(run_on(nodes), Lines{s3::kNotListed});

    // Unplugged since the node list was made.
    sim::machine().faults.clear();
    sim::machine().find_device(widen(R"(USB\VID_2A7D&PID_5E3C&MI_03\6&3A2B1C0D&0&0003)"))->description.present = false;
    EXPECT_EQ(run_on(nodes), Lines{s3::kDisappeared});
    EXPECT_EQ(sim::count_calls("SetupDiDestroyDeviceInfoList"), 1u);

    // Present again, but its hardware key does not open.
    sim::machine().find_device(widen(R"(USB\VID_2A7D&PID_5E3C&MI_03\6&3A2B1C0D&0&0003)"))->description.present = true;
    sim::machine().faults = {{"SetupDiOpenDevRegKey", sim::machine().call_counts["SetupDiOpenDevRegKey"] + 1, 5}};
    EXPECT_EQ(run_on(nodes), Lines{s3::kNoKey});
    std::vector<std::string> ops;
    for (const auto& e : sim::machine().trace) ops.push_back(e.operation);
    const Lines expected_ops = {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInfo",          "SetupDiGetDeviceInstanceIdW",
                                "SetupDiEnumDeviceInfo", "SetupDiGetDeviceInstanceIdW", "SetupDiOpenDevRegKey",
                                "SetupDiDestroyDeviceInfoList"};
    EXPECT_EQ(ops, expected_ops);
}

TEST_F(LowLevelSection, TheNodeIsMatchedByItsIdInAnyLetterCase) {
    // The list may spell the id in another case than the system's second listing.
    machine({mi03().service(L"WINUSB").hardware_key(registered({}))}).use();
    UsbNode node;
    node.instance_id = widen(R"(usb\vid_2a7d&pid_5e3c&mi_03\6&3a2b1c0d&0&0003)");
    node.service = L"WINUSB";
    EXPECT_EQ(run_on({node}), (Lines{s3::parameters("0x0102", "1", "(none)"), s3::expected(), s3::kWinUsbWithoutGuid}));
}

TEST_F(LowLevelSection, ParameterValuesAndServiceSpellings) {
    struct Case {
        std::string name;
        test::DeviceEntry device;
        Lines lines;
    };
    const std::vector<Case> cases = {
        {"WinUSB in mixed case, nothing registered",
         mi03().service(L"WinUsb").hardware_key({test::reg_dword(L"RevisionId", 256)}),
         {s3::parameters("0x0100", "(absent)", "(none)"), s3::expected(), s3::kWinUsbWithoutGuid}},
        {"revision as a string, five hexadecimal digits of semaphore",
         mi03().service(L"winusb").hardware_key(
             {test::reg_sz(L"RevisionId", L"0102"), test::reg_dword(L"ExtPropDescSemaphore", 4294967295)}),
         {s3::parameters("(not available)", "4294967295", "(none)"), s3::expected(), s3::kWinUsbWithoutGuid}},
        {"revision wider than four digits",
         mi03().service(L"WINUSB").hardware_key({test::reg_value(L"RevisionId", "REG_DWORD", "0x12345"),
                                                 test::reg_hex(L"ExtPropDescSemaphore", "REG_BINARY", "01 00 00 00")}),
         {s3::parameters("0x12345", "(absent)", "(none)"), s3::expected(), s3::kWinUsbWithoutGuid}},
        {"no service", mi03().hardware_key({}),
         {s3::parameters("(not available)", "(absent)", "(none)"), s3::expected(), s3::winusb_not_bound("none")}},
        {"empty service", mi03().service(L"").hardware_key({}),
         {s3::parameters("(not available)", "(absent)", "(none)"), s3::expected(), s3::winusb_not_bound("none")}},
        {"a longer name that begins with WINUSB", mi03().service(L"WINUSBX").hardware_key({}),
         {s3::parameters("(not available)", "(absent)", "(none)"), s3::expected(), s3::winusb_not_bound("WINUSBX")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(machine({c.device})), c.lines);
        EXPECT_TRUE(mi03_interface_path.empty());
        EXPECT_EQ(sim::count_calls("CreateFileW"), 0u) << "nothing is opened without a registered GUID";
    }
}

TEST_F(LowLevelSection, RegisteredGuidsInterfacesAndThePing) {
    struct Case {
        std::string name;
        std::vector<test::DeviceEntry> devices;
        Lines lines;
    };
    const std::string lower = "{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}";
    const std::vector<Case> cases = {
        {"expected GUID registered in lower case",
         {mi03().service(L"WINUSB").hardware_key(registered({lower})).interface(interface_entry(lower).winusb(kReply))},
         {s3::parameters("0x0102", "1", lower), s3::expected(), s3::interface_found(kExpected),
          s3::ping_ok(kReplyDetail)}},
        {"another driver, the expected GUID registered and present",
         {mi03().service(L"libusbK").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).winusb(kReply))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::ping_ok(kReplyDetail)}},
        {"unreadable first entry, expected GUID second",
         {mi03().service(L"WINUSB")
              .hardware_key(registered({"C47D2A19-5E80-4B3F-9A26-81D0E4F3B752", kExpected}))
              .interface(interface_entry(kExpected).winusb(kReply))},
         {s3::parameters("0x0102", "1", "C47D2A19-5E80-4B3F-9A26-81D0E4F3B752, " + kExpected), s3::expected(),
          s3::unreadable("C47D2A19-5E80-4B3F-9A26-81D0E4F3B752"), s3::interface_found(kExpected),
          s3::ping_ok(kReplyDetail)}},
        {"another GUID whose interface exists only on another device",
         {mi03().service(L"WINUSB").hardware_key(registered({kOther})),
          test::device(L"USB\\VID_1234&PID_0001\\X").interface(interface_entry(kOther).winusb(kReply))},
         {s3::parameters("0x0102", "1", kOther), s3::expected(), s3::other_guid(kOther), s3::interface_found(kOther),
          s3::ping_ok(kReplyDetail)}},
        {"registered but no interface present, WinUSB bound",
         {mi03().service(L"WINUSB").hardware_key(registered({kOther}, kExpected))},
         {s3::parameters("0x0102", "1", kOther + ", " + kExpected), s3::expected(), s3::kNoActiveInterface}},
        {"registered but no interface present, WinUSB not bound",
         {mi03().service(L"usbaudio2").hardware_key(registered({kOther}))},
         {s3::parameters("0x0102", "1", kOther), s3::expected(), s3::kNoActiveInterface}},
        {"only unreadable texts",
         {mi03().service(L"WINUSB").hardware_key(registered({"garbage", "{zz}"}))},
         {s3::parameters("0x0102", "1", "garbage, {zz}"), s3::expected(), s3::other_guid("garbage, {zz}"),
          s3::unreadable("garbage"), s3::unreadable("{zz}"), s3::kNoActiveInterface}},
        // WinUSB allows one handle: a second open gets ERROR_ACCESS_DENIED.
        {"interface held open by another application",
         {mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).held_by_other_process(true))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::open_failed(5)}},
        {"interface held open, the open refused by the share modes",
         {mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).held_by_other_process(32))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::open_failed(32)}},
        {"WinUSB cannot be initialised",
         {mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).winusb({{"initialize_error", 31}}))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::initialize_failed(31)}},
        {"alternate setting refused",
         {mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).winusb({{"alternate_setting_error", 87}}))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::alternate_setting_failed(87)}},
        {"device never answers",
         {mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
              .interface(interface_entry(kExpected).winusb(test::winusb_script().read_waits()))},
         {s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::interface_found(kExpected),
          s3::ping_failed("Read from the IN pipe failed (error code=121).")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(machine(c.devices)), c.lines);
    }
}

TEST_F(LowLevelSection, OnlyTheFirstMi03NodeIsExamined) {
    const std::wstring second = L"USB\\VID_2A7D&PID_5E3C&MI_03\\7&AAAA&0&0003";
    EXPECT_EQ(run(machine({mi03().service(L"WINUSB").hardware_key(registered({})),
                           mi03(second).service(L"WINUSB").hardware_key(registered({}, kExpected))})),
              (Lines{s3::parameters("0x0102", "1", "(none)"), s3::expected(), s3::kWinUsbWithoutGuid}));
}

TEST_F(LowLevelSection, ExpectedGuidFromTheSdkConfigurationFile) {
    const test::MachineFile m =
        machine({mi03().service(L"WINUSB").hardware_key(registered({}, kOther)).interface(interface_entry(kOther).winusb(kReply))})
            .key(L"HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
                 {test::reg_sz(L"", L"C:\\SDK\\core.dll")})
            .set("files", {{{"path", "C:\\SDK\\vxlinkapi_x64.dll.config.ini"},
                            {"text", "[DriverInterface]\r\nInterfaceGUID={0d5a1e37-2b6c-4f08-8e91-5c3b7a2d4f60}\r\n"}}});
    // The registered GUID is the one the SDK looks for: no L9.
    EXPECT_EQ(run(m),
              (Lines{s3::parameters("0x0102", "1", kOther),
                     s3::expected(kOther, "C:\\SDK\\vxlinkapi_x64.dll.config.ini"), s3::interface_found(kOther),
                     s3::ping_ok(kReplyDetail)}));
}

TEST_F(LowLevelSection, DetailSizeOfZeroCountsAsAFailedRead) {
    machine({mi03().service(L"WINUSB").hardware_key(registered({}, kExpected)).interface(interface_entry(kExpected))})
        .use();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    // The size query fails without reporting a size.
    sim::machine().faults = {{"SetupDiGetDeviceInterfaceDetailW", 1, 13}};
    EXPECT_EQ(run_on(nodes), (Lines{s3::parameters("0x0102", "1", kExpected), s3::expected(), s3::kNoActiveInterface}));
    EXPECT_EQ(sim::count_calls("SetupDiGetDeviceInterfaceDetailW"), 1u) << "no read into an empty buffer";
    EXPECT_TRUE(mi03_interface_path.empty());
}

// Acquisitions and releases of the section's resources, in trace order.
std::vector<std::string> resource_calls() {
    static const std::set<std::string> ops = {
        "SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList", "SetupDiOpenDevRegKey", "RegOpenKeyExW",
        "RegCloseKey",          "CreateFileW",                  "WinUsb_Initialize",   "WinUsb_Free",
        "CloseHandle"};
    std::vector<std::string> out;
    for (const auto& e : sim::machine().trace) {
        if (ops.count(e.operation) != 0) out.push_back(e.operation + (e.result == 0 ? "" : " failed"));
    }
    return out;
}

TEST_F(LowLevelSection, ResourcesAreReleasedInReverseOrderOnEveryPath) {
    const test::DeviceEntry base = mi03().service(L"WINUSB").hardware_key(registered({}, kExpected));
    const Lines through_interface = {"SetupDiGetClassDevsW",   "SetupDiOpenDevRegKey",        // node list, key
                                     "SetupDiDestroyDeviceInfoList", "RegCloseKey",           // list gone, key closed
                                     "RegOpenKeyExW failed",                                  // no SDK registered
                                     "SetupDiGetClassDevsW", "SetupDiDestroyDeviceInfoList"};  // interface set
    struct Case {
        std::string name;
        test::WinUsbScript winusb;
        Lines tail;
    };
    const std::vector<Case> cases = {
        {"PING answered", kReply, {"CreateFileW", "WinUsb_Initialize", "WinUsb_Free", "CloseHandle"}},
        {"PING unanswered", test::winusb_script().read_error(31),
         {"CreateFileW", "WinUsb_Initialize", "WinUsb_Free", "CloseHandle"}},
        {"alternate setting refused", test::winusb_script().alternate_setting_error(87),
         {"CreateFileW", "WinUsb_Initialize", "WinUsb_Free", "CloseHandle"}},
        {"initialisation refused", test::winusb_script().initialize_error(31),
         {"CreateFileW", "WinUsb_Initialize failed", "CloseHandle"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(machine({test::DeviceEntry(base).interface(interface_entry(kExpected).winusb(c.winusb))}));
        Lines expected = through_interface;
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(resource_calls(), expected);
    }
    run(machine({test::DeviceEntry(base).interface(interface_entry(kExpected).held_by_other_process(true))}));
    Lines held = through_interface;
    held.push_back("CreateFileW failed");
    EXPECT_EQ(resource_calls(), held);
}

TEST_F(LowLevelSection, PreparesThePipesBeforeThePing) {
    run(machine({mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
                     .interface(interface_entry(kExpected).winusb(kReply))}));
    std::vector<std::string> calls;
    for (const auto& e : sim::machine().trace) {
        if (e.operation.rfind("WinUsb_", 0) == 0) calls.push_back(e.operation + "(" + e.arguments + ")");
    }
    const Lines expected = {
        "WinUsb_Initialize(" + std::string(R"(\\?\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752})") + ")",
        "WinUsb_SetCurrentAlternateSetting(1)",
        "WinUsb_ResetPipe(0x01)",
        "WinUsb_ResetPipe(0x81)",
        "WinUsb_SetPipePolicy(0x01, PIPE_TRANSFER_TIMEOUT, 5000)",
        "WinUsb_SetPipePolicy(0x81, PIPE_TRANSFER_TIMEOUT, 5000)",
        "WinUsb_WritePipe(0x01, 0C 00 00 00 00 01 01 00 00 00 00 00)",
        "WinUsb_ReadPipe(0x81, 256)",
        "WinUsb_Free()",
    };
    EXPECT_EQ(calls, expected);
    // The interface was opened for overlapped read/write with read/write sharing.
    EXPECT_EQ(sim::count_calls("CreateFileW", std::string(R"(\\?\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752})") +
                                                  ", 0xC0000000, 0x3, 3, 0x40000080"),
              1u);
}

// A pipe whose transfer time-out cannot be set could keep a silent device's
// transfer, and the tool, waiting for ever: the exchange is not started and
// the PING is reported failed, with the pipe and the error.
TEST_F(LowLevelSection, NoTransferWithoutATimeOut) {
    const test::WinUsbScript silent = test::winusb_script().read_waits();
    struct Case {
        std::uint32_t nth;  // 1: pipe 0x01, 2: pipe 0x81
        std::string pipe;
    };
    for (const Case& c : {Case{1, "0x01"}, Case{2, "0x81"}}) {
        SCOPED_TRACE(c.pipe);
        machine({mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
                     .interface(interface_entry(kExpected).winusb(silent))})
            .use();
        const std::vector<UsbNode> nodes = enumerate_usb_nodes();
        sim::machine().faults = {{"WinUsb_SetPipePolicy", c.nth, 87}};
        const Lines lines = run_on(nodes);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "[ FAIL ] PING command (UCR protocol) failed: The transfer time-out of pipe " + c.pipe +
                                    " could not be set (error code=87): the exchange was not attempted, as it could "
                                    "wait for ever.");
        EXPECT_EQ(sim::count_calls("WinUsb_SetPipePolicy"), c.nth) << "the first failure ends the preparation";
        EXPECT_EQ(sim::count_calls("WinUsb_WritePipe"), 0u);
        EXPECT_EQ(sim::count_calls("WinUsb_ReadPipe"), 0u);
        EXPECT_EQ(resource_calls().back(), "CloseHandle") << "the interface is still released";
    }
}

TEST_F(LowLevelSection, InterfacePathIsSetWhenFoundAndEmptiedOnTheNextRun) {
    const test::DeviceEntry found = mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
                                        .interface(interface_entry(kExpected).held_by_other_process(true));
    run(machine({found}));
    EXPECT_EQ(mi03_interface_path,
              widen(R"(\\?\usb#vid_2a7d&pid_5e3c&mi_03#6&3a2b1c0d&0&0003#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752})"))
        << "set before the interface is opened, so also when the open fails";
    const std::vector<test::MachineFile> ending_early = {
        machine({}),                                                                         // L1
        machine({mi03().service(L"WINUSB")}),                                                // L4: no hardware key
        machine({mi03().service(L"WINUSB").hardware_key(registered({}))}),                   // L7
        machine({mi03().service(L"usbaudio2").hardware_key(registered({}))}),                // L8
        machine({mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))}),        // L11
    };
    for (const test::MachineFile& m : ending_early) {
        mi03_interface_path = L"left over";
        run(m);
        EXPECT_TRUE(mi03_interface_path.empty()) << m.text();
    }
}

TEST_F(LowLevelSection, SecondRunSendsTheSamePing) {
    machine({mi03().service(L"WINUSB").hardware_key(registered({}, kExpected))
                 .interface(interface_entry(kExpected).winusb(kReply))})
        .use();
    const std::vector<UsbNode> nodes = enumerate_usb_nodes();
    const Lines first = run_on(nodes);
    const Lines second = run_on(enumerate_usb_nodes());
    EXPECT_EQ(first, second);
    EXPECT_EQ(sim::count_calls("WinUsb_WritePipe", "0x01, 0C 00 00 00 00 01 01 00 00 00 00 00"), 1u);
    EXPECT_EQ(test::counts().ok, 4);
}

TEST_F(LowLevelSection, VerificationRunsSection3OnAFreshNodeList) {
    const std::string id = R"(USB\VID_2A7D&PID_5E3C&MI_03\6&3A2B1C0D&0&0003)";
    machine({mi03().absent().service(L"WINUSB").hardware_key(registered({}))}).use();
    open_report_file(widen(path.string()));
    run_report_sections();
    // The device came back (the repair re-created its nodes).
    sim::machine().find_device(widen(id))->description.present = true;
    run_verification_sections();
    close_report_file();
    const std::string text = test::read_file_bytes(path);
    const std::string header = "\r\n" + s3::kHeader + "\r\n";
    const auto first = text.find(header);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.substr(first + header.size(), s3::kNoNode.size()), s3::kNoNode);
    const auto second = text.find(header, first + 1);
    ASSERT_NE(second, std::string::npos);
    // Section 3's block of the verification, up to the next section's header.
    const auto block_end = text.find("\r\n==== ", second + header.size());
    EXPECT_EQ(text.substr(second + header.size(), block_end - second - header.size()),
              test::crlf(s3::parameters("0x0102", "1", "(none)") + "\n" + s3::expected() + "\n" +
                         s3::kWinUsbWithoutGuid + "\n"));
}

}  // namespace
}  // namespace vq4
