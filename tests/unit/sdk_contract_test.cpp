#include <gtest/gtest.h>

#include <cstring>

#include "platform/library.h"
#include "platform/win_constants.h"
#include "sdk/sdk_contract.h"
#include "support/machine_builder.h"
#include "support/sim_support.h"
#include "util/text.h"

namespace vq4 {
namespace {

void put_units(SdkDeviceInfo& record, std::size_t offset, std::size_t units, wchar_t unit) {
    for (std::size_t i = 0; i < units; ++i) {
        record.bytes[offset + 2 * i] = static_cast<std::uint8_t>(unit & 0xFF);
        record.bytes[offset + 2 * i + 1] = static_cast<std::uint8_t>((unit >> 8) & 0xFF);
    }
}

TEST(SdkDeviceInfo, PreparedRecordHoldsOnlyItsSize) {
    SdkDeviceInfo record;
    std::memset(record.bytes, 0xCC, sizeof record.bytes);
    record = prepared_sdk_device_info();
    EXPECT_EQ(sizeof record.bytes, 1600u);
    EXPECT_EQ(record.bytes[0], 0x40);  // 1600 = 0x0640, little-endian
    EXPECT_EQ(record.bytes[1], 0x06);
    for (std::size_t i = 2; i < sizeof record.bytes; ++i) ASSERT_EQ(record.bytes[i], 0) << "byte " << i;
    const SdkDeviceFields empty = decode_sdk_device_info(record);
    EXPECT_TRUE(empty.name.empty());
    EXPECT_TRUE(empty.symbolic_link.empty());
    EXPECT_TRUE(empty.serial_number.empty());
    EXPECT_EQ(empty.vendor_id, 0);
    EXPECT_EQ(empty.firmware_version, 0);
}

TEST(SdkDeviceInfo, DecodesEachFieldAtItsOffset) {
    SdkDeviceInfo record = prepared_sdk_device_info();
    const std::vector<std::uint8_t> name = utf16le_bytes(L"Vantro Q4", 1);
    std::memcpy(record.bytes + 4, name.data(), name.size());
    record.bytes[524] = 0x7D;
    record.bytes[525] = 0x2A;
    record.bytes[526] = 0x3C;
    record.bytes[527] = 0x5E;
    const std::vector<std::uint8_t> link = utf16le_bytes(L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#x#{guid}", 1);
    std::memcpy(record.bytes + 528, link.data(), link.size());
    const std::vector<std::uint8_t> serial = utf16le_bytes(L"QV4A1B2C3D", 1);
    std::memcpy(record.bytes + 1048, serial.data(), serial.size());
    record.bytes[1598] = 0x02;
    record.bytes[1599] = 0x01;

    const SdkDeviceFields fields = decode_sdk_device_info(record);
    EXPECT_EQ(fields.name, L"Vantro Q4");
    EXPECT_EQ(fields.vendor_id, 0x2A7D);
    EXPECT_EQ(fields.product_id, 0x5E3C);
    EXPECT_EQ(fields.symbolic_link, L"\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#x#{guid}");
    EXPECT_EQ(fields.serial_number, L"QV4A1B2C3D");
    EXPECT_EQ(fields.firmware_version, 0x0102);
}

// A library that fills a text field to its last unit leaves no NUL: the
// text must end with its field, never run into the next one or past the
// record.
TEST(SdkDeviceInfo, TextsThatFillTheirFieldStopAtTheFieldEnd) {
    SdkDeviceInfo record;
    std::memset(record.bytes, 0x41, sizeof record.bytes);  // "A" units everywhere, no NUL at all
    put_units(record, 4, 260, L'N');
    put_units(record, 528, 260, L'L');
    put_units(record, 1048, 275, L'S');
    const SdkDeviceFields fields = decode_sdk_device_info(record);
    EXPECT_EQ(fields.name, std::wstring(260, L'N'));
    EXPECT_EQ(fields.vendor_id, 0x4141);
    EXPECT_EQ(fields.product_id, 0x4141);
    EXPECT_EQ(fields.symbolic_link, std::wstring(260, L'L'));
    EXPECT_EQ(fields.serial_number, std::wstring(275, L'S'));
    EXPECT_EQ(fields.firmware_version, 0x4141);

    // Bytes that are all 0xFF: every text is its full field of U+FFFF.
    std::memset(record.bytes, 0xFF, sizeof record.bytes);
    const SdkDeviceFields high = decode_sdk_device_info(record);
    EXPECT_EQ(high.name.size(), 260u);
    EXPECT_EQ(high.symbolic_link.size(), 260u);
    EXPECT_EQ(high.serial_number.size(), 275u);
    EXPECT_EQ(high.serial_number.back(), static_cast<wchar_t>(0xFFFF));
}

TEST(SdkDeviceInfo, EachTextEndsAtItsFirstNul) {
    SdkDeviceInfo record;
    std::memset(record.bytes, 0x41, sizeof record.bytes);
    put_units(record, 4 + 2 * 3, 1, L'\0');
    put_units(record, 528, 1, L'\0');
    put_units(record, 1048 + 2 * 274, 1, L'\0');  // the serial's last unit
    const SdkDeviceFields fields = decode_sdk_device_info(record);
    EXPECT_EQ(fields.name, std::wstring(3, static_cast<wchar_t>(0x4141)));
    EXPECT_EQ(fields.symbolic_link, L"");
    EXPECT_EQ(fields.serial_number, std::wstring(274, static_cast<wchar_t>(0x4141)));
}

TEST(ReadSdkRegistration, KeyValueAndViews) {
    // 259 characters fit 520 bytes with their NUL; 260 do not.
    const std::string long_path = "C:\\" + std::string(256, 'p');
    const std::string too_long_path = "C:\\" + std::string(257, 'p');
    const std::wstring key = L"HKCR\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32";
    test::machine_file()
        .key(key, {test::reg_expand_sz(L"", L"%ProgramFiles%\\SDK\\qtv_api_core.dll")})
        .key(L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
             {test::reg_sz(L"", L"C:\\SDK32\\qtv_api_core.dll")})
        .use();
    SdkRegistration read = read_sdk_registration(win::KEY_READ_ | win::KEY_WOW64_64KEY_, SdkLookup::User);
    EXPECT_EQ(read.state, SdkRegistrationState::Found);
    EXPECT_EQ(read.path, L"%ProgramFiles%\\SDK\\qtv_api_core.dll") << "used verbatim, never expanded";
    read = read_sdk_registration(win::KEY_READ_ | win::KEY_WOW64_32KEY_, SdkLookup::User);
    EXPECT_EQ(read.path, L"C:\\SDK32\\qtv_api_core.dll");
    // The key is closed before the caller sees the result.
    const auto& trace = sim::machine().trace;
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2].operation, "RegQueryValueExW");
    EXPECT_EQ(trace.back().operation, "RegCloseKey");

    struct Case {
        test::RegValue value;
        SdkRegistrationState state;
        std::wstring path;
    };
    const std::vector<Case> cases = {
        {test::reg_sz(L"", long_path), SdkRegistrationState::Found,
         widen(long_path)},
        {test::reg_sz(L"", too_long_path), SdkRegistrationState::Unreadable, L""},
        {test::reg_sz(L"", L""), SdkRegistrationState::Unreadable, L""},
        // 520 bytes without a terminator: the 260 characters that came.
        {test::reg_hex(L"", "REG_SZ", std::string(1040, '4')),
         SdkRegistrationState::Found, std::wstring(260, static_cast<wchar_t>(0x4444))},
        // Any type is read as text.
        {test::reg_hex(L"", "REG_BINARY", "43 00 3a 00 5c 00 78 00 00 00"), SdkRegistrationState::Found,
         L"C:\\x"},
        {test::reg_sz(L"ThreadingModel", L"Both"), SdkRegistrationState::Unreadable, L""},
    };
    for (const Case& c : cases) {
        test::machine_file().key(key, {c.value}).use();
        const SdkRegistration r = read_sdk_registration(win::KEY_READ_, SdkLookup::User);
        EXPECT_EQ(r.state, c.state) << c.value.entry.dump();
        EXPECT_EQ(r.path, c.path) << c.value.entry.dump();
    }

    test::machine_file().use();
    EXPECT_EQ(read_sdk_registration(win::KEY_READ_, SdkLookup::User).state, SdkRegistrationState::KeyMissing);
}

TEST(ResolveSdkEntryPoints, FiveRequiredOneOptional) {
    const auto machine = [](const nlohmann::json& missing) {
        return test::machine_file()
            .pe_file(L"C:\\SDK\\qtv_api_core.dll")
            .pe_file(L"C:\\SDK\\vxlinkapi_x64.dll")
            .pe_file(L"C:\\Other\\plain.dll")
            .sdk(L"C:\\SDK\\qtv_api_core.dll", {{"missing_entry_points", missing}});
    };
    struct Case {
        std::string missing;
        bool complete;
    };
    const Case cases[] = {
        {"", true},
        {"QTV_IsDeviceChanged", true},
        {"QTV_Init", false},
        {"QTV_Exit", false},
        {"QTV_Get_SDK_Version", false},
        {"QTV_GetDeviceCount", false},
        {"QTV_GetDeviceInfo", false},
    };
    for (const Case& c : cases) {
        machine(c.missing.empty() ? nlohmann::json::array() : nlohmann::json::array({c.missing})).use();
        platform::Library library;
        ASSERT_EQ(platform::load_library(L"C:\\SDK\\qtv_api_core.dll", library), 0u);
        const SdkEntryPoints sdk = resolve_sdk_entry_points(library);
        EXPECT_EQ(sdk.complete, c.complete) << c.missing;
        EXPECT_EQ(sdk.is_device_changed == nullptr, c.missing == "QTV_IsDeviceChanged") << c.missing;
        // All six names are asked for, in the contract's order, whatever is missing.
        std::vector<std::string> asked;
        for (const sim::TraceEntry& e : sim::machine().trace) {
            if (e.operation == "GetProcAddress") asked.push_back(e.arguments);
        }
        EXPECT_EQ(asked, (std::vector<std::string>{"QTV_Init", "QTV_Exit", "QTV_Get_SDK_Version", "QTV_GetDeviceCount",
                                                   "QTV_GetDeviceInfo", "QTV_IsDeviceChanged"}));
    }

    // A library that is no SDK exports none of them.
    platform::Library plain;
    ASSERT_EQ(platform::load_library(L"C:\\Other\\plain.dll", plain), 0u);
    EXPECT_FALSE(resolve_sdk_entry_points(plain).complete);
    EXPECT_EQ(platform::get_proc_address(plain, "QTV_Init").error, win::ERROR_PROC_NOT_FOUND_);
}

}  // namespace
}  // namespace vq4
