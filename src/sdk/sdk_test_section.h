// Section 5: loads the registered SDK library, initialises it, waits for it
// to detect devices and reads each device's record; when it finds none,
// checks whether another process holds the MI_03 interface open.
#pragma once

#include <cstdint>
#include <string>

namespace vq4 {

// What section 5 learnt: the number of devices the SDK reported last, when
// it got as far as asking (the library loaded and initialised).
struct SdkTestResult {
    bool devices_counted = false;
    std::int32_t device_count = 0;
};

// `mi03_interface_path`: the MI_03 device interface that section 3 found,
// empty when it found none; the lock test opens it.
SdkTestResult run_sdk_test_section(const std::wstring& mi03_interface_path);

// "%d.%02X" of the high and low byte below 0x1000, "%X.%02X" from 0x1000 on.
std::wstring format_sdk_version(std::uint16_t version);

}  // namespace vq4
