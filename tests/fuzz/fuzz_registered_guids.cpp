// read_registered_guids over a simulated hardware key whose
// DeviceInterfaceGUIDs and DeviceInterfaceGUID hold the fuzz bytes, with any
// value type, any size, with or without terminators. The result must be the
// list that the walk over a zeroed buffer of size + 4 bytes gives, then the
// single value's text when it fits its 126 bytes.
#include "fuzz_support.h"
#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/win_constants.h"
#include "interface/interface_guid_sources.h"

namespace {

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2A7D&PID_5E3C&MI_03\\1\\Device Parameters";

std::vector<std::wstring> expected_multi(const std::vector<std::uint8_t>& data) {
    std::vector<std::wstring> out;
    if (data.empty()) return out;
    std::vector<std::uint8_t> buffer = data;
    buffer.resize(data.size() + 4, 0);
    const std::size_t units = buffer.size() / 2;
    std::size_t at = 0;
    while (at < units) {
        std::wstring entry;
        for (; at < units; ++at) {
            const wchar_t c = static_cast<wchar_t>(buffer[2 * at] | (buffer[2 * at + 1] << 8));
            if (c == 0) break;
            entry.push_back(c);
        }
        if (entry.empty()) break;
        out.push_back(entry);
        ++at;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq4;
    if (size < 3) return 0;
    // Byte 0: which values exist and their types; bytes 1-2: where the data split.
    const std::uint8_t flags = data[0];
    const std::size_t rest = size - 3;
    const std::size_t split = rest == 0 ? 0 : static_cast<std::size_t>(data[1] | (data[2] << 8)) % (rest + 1);
    const std::vector<std::uint8_t> multi(data + 3, data + 3 + split);
    const std::vector<std::uint8_t> single(data + 3 + split, data + size);
    static const std::uint32_t types[] = {win::REG_MULTI_SZ_, win::REG_SZ_, win::REG_BINARY_, win::REG_DWORD_};

    sim::Machine m;
    const std::wstring path = L"HKLM\\" + kKey;
    m.registry.create(path);
    if (flags & 1) m.registry.set_value(path, {L"DeviceInterfaceGUIDs", types[(flags >> 2) & 3], multi});
    if (flags & 2) m.registry.set_value(path, {L"DeviceInterfaceGUID", types[(flags >> 4) & 3], single});
    sim::set_machine(std::move(m));

    std::vector<std::wstring> got;
    {
        platform::RegKey key;
        fuzz::check(platform::reg_open_key(platform::RegRoot::LocalMachine, kKey, win::KEY_READ_, key) == 0,
                    "the key opens");
        got = read_registered_guids(key);
    }

    std::vector<std::wstring> wanted;
    if (flags & 1) wanted = expected_multi(multi);
    if ((flags & 2) && single.size() <= 126) {
        std::vector<std::uint8_t> buffer(128, 0);
        std::copy(single.begin(), single.end(), buffer.begin());
        std::wstring text;
        for (std::size_t i = 0; i + 1 < buffer.size() && (buffer[i] | buffer[i + 1]) != 0; i += 2) {
            text.push_back(static_cast<wchar_t>(buffer[i] | (buffer[i + 1] << 8)));
        }
        if (!text.empty()) wanted.push_back(text);
    }
    fuzz::check(got == wanted, "the registered-GUID list differs from the walk over the stored bytes");
    for (const std::wstring& entry : got) {
        fuzz::check(!entry.empty() && entry.find(L'\0') == std::wstring::npos, "entries are non-empty, without NUL");
    }
    const std::wstring joined = join_guids(got);
    fuzz::check(got.empty() ? joined == L"(none)" : !joined.empty(), "join_guids");
    return 0;
}
