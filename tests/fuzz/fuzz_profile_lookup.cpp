// The SDK configuration lookup over any file content: the simulated
// machine's profile reader (GetPrivateProfileStringW) and
// expected_interface_guid on top of it.
#include "fuzz_support.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "util/guid.h"
#include "interface/interface_guid_sources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    const std::wstring folder = L"C:\\SDK\\";
    const std::wstring config = folder + L"vxlinkapi_x64.dll.config.ini";
    const std::wstring library = folder + L"qtv_api_core.dll";

    sim::Machine m;
    std::vector<std::uint8_t> stored;
    for (const wchar_t c : library) {
        stored.push_back(static_cast<std::uint8_t>(c));
        stored.push_back(0);
    }
    stored.insert(stored.end(), {0, 0});
    m.registry.set_value(L"HKLM\\SOFTWARE\\Classes\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32",
                         {L"", 1, stored});
    m.files.push_back(sim::File{config, 0x20, std::vector<std::uint8_t>(data, data + size), false, {}});
    sim::set_machine(std::move(m));

    // What a caller of the real API can see: a NUL-terminated text, cut to the buffer.
    const std::wstring full = platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", 65536, config);
    fuzz::check(full.find(L'\0') == std::wstring::npos, "a profile value holds no NUL character");
    fuzz::check(full.find(L'\r') == std::wstring::npos && full.find(L'\n') == std::wstring::npos,
                "a profile value is one line");
    const std::uint32_t capacity = size == 0 ? 64 : 1 + data[0] % 80;
    const std::wstring cut = platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", L"", capacity, config);
    fuzz::check(cut == full.substr(0, capacity - 1), "a smaller buffer gets the value's beginning");

    const ExpectedGuid expected = expected_interface_guid();
    const std::wstring& guid = expected.guid;
    const std::wstring& source = expected.source;
    fuzz::check(guid.size() == 38, "the expected GUID is a 38-character text");
    Guid parsed;
    const std::wstring value = full.substr(0, 63);
    if (parse_guid(value, parsed)) {
        fuzz::check(source == config, "a GUID in the file names the file as its source");
        fuzz::check(guid == format_guid(parsed), "the GUID of the file, in print form");
    } else {
        fuzz::check(source == kDefaultGuidSource && guid == kDefaultInterfaceGuid, "no GUID: the built-in default");
    }
    return 0;
}
