// decode_sdk_device_info over any 1600-byte record, as a library might leave
// it: each text stops at its first NUL or at the end of its own field (the
// name and the link never run into the next field, the serial number never
// into the firmware version), and the numbers come from their fixed offsets.
// Inputs shorter than the record are repeated to fill it, so that short
// inputs too give records filled up to the last byte.
#include "fuzz_support.h"
#include "sdk/sdk_contract.h"
#include "sdk/sdk_test_section.h"

namespace {

using vq4::SdkDeviceInfo;

// The units of a field up to its first NUL, read unit by unit.
std::wstring field_text(const SdkDeviceInfo& record, std::size_t offset, std::size_t units) {
    std::wstring text;
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<wchar_t>(record.bytes[offset + 2 * i] | (record.bytes[offset + 2 * i + 1] << 8));
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

std::uint16_t field16(const SdkDeviceInfo& record, std::size_t offset) {
    return static_cast<std::uint16_t>(record.bytes[offset] | (record.bytes[offset + 1] << 8));
}

void check_text(const std::wstring& got, const SdkDeviceInfo& record, std::size_t offset, std::size_t units,
                const char* what) {
    vq4::fuzz::check(got.size() <= units, what);
    vq4::fuzz::check(got.find(L'\0') == std::wstring::npos, what);
    vq4::fuzz::check(got == field_text(record, offset, units), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    SdkDeviceInfo record{};
    for (std::size_t i = 0; i < kSdkDeviceInfoSize && size > 0; ++i) record.bytes[i] = data[i % size];
    const SdkDeviceInfo before = record;

    const SdkDeviceFields fields = decode_sdk_device_info(record);
    check_text(fields.name, record, kSdkNameOffset, kSdkNameUnits, "device name within its 260 units");
    check_text(fields.symbolic_link, record, kSdkLinkOffset, kSdkLinkUnits, "symbolic link within its 260 units");
    check_text(fields.serial_number, record, kSdkSerialOffset, kSdkSerialUnits,
               "serial number within its 275 units, short of the firmware field");
    fuzz::check(fields.vendor_id == field16(record, kSdkVendorIdOffset), "vendor id at 524");
    fuzz::check(fields.product_id == field16(record, kSdkProductIdOffset), "product id at 526");
    fuzz::check(fields.firmware_version == field16(record, kSdkFirmwareOffset), "firmware version at 1598");
    for (std::size_t i = 0; i < kSdkDeviceInfoSize; ++i) {
        fuzz::check(record.bytes[i] == before.bytes[i], "decoding leaves the record unchanged");
    }

    // The firmware line's text: the low byte is always two hexadecimal digits
    // after the point, the high byte one to three digits before it.
    const std::wstring firmware = format_sdk_version(fields.firmware_version);
    const std::size_t point = firmware.find(L'.');
    fuzz::check(point != std::wstring::npos && point >= 1 && point <= 3 && firmware.size() == point + 3,
                "firmware version text has the form major.MM");

    // Preparing the record for the next call clears everything but the size.
    record = prepared_sdk_device_info();
    const SdkDeviceFields cleared = decode_sdk_device_info(record);
    fuzz::check(record.bytes[0] == 0x40 && record.bytes[1] == 0x06 && record.bytes[2] == 0 && record.bytes[3] == 0,
                "size field 1600");
    fuzz::check(cleared.name.empty() && cleared.symbolic_link.empty() && cleared.serial_number.empty() &&
                    cleared.vendor_id == 0 && cleared.product_id == 0 && cleared.firmware_version == 0,
                "a prepared record decodes to empty fields");
    return 0;
}
