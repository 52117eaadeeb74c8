// Tables of cases for the SDK configuration lookup (the profile reader and
// expected_interface_guid) and for read_registered_guids, run on both
// platform layers: by the GoogleTest suite on the simulated machine, and by
// vq4_platform_probe.exe on the real Windows API under Wine. The same table
// and the same expectations on both sides keep the simulated profile reader
// and registry honest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/win_constants.h"
#include "util/text.h"
#include "interface/interface_guid_sources.h"

namespace vq4::test {

inline const std::string kCaseGuid = "{1A2B3C4D-5E6F-4A8B-9C0D-1E2F3A4B5C6D}";
inline const std::string kCaseGuidLower = "{1a2b3c4d-5e6f-4a8b-9c0d-1e2f3a4b5c6d}";
inline const wchar_t* const kProfileDefault = L"(default)";

// What the runners need from their host: writing a file's bytes, making
// sure a registry key exists ("HKLM\..." or "HKCR\..."; under Wine the keys
// are created beforehand by the test script), and setting a variable of the
// process's environment.
struct CaseHost {
    std::function<void(const std::wstring& path, const std::string& bytes)> write_file;
    std::function<void(const std::wstring& key_path)> create_key;
    std::function<void(const std::wstring& name, const std::wstring& value)> set_variable;
};

// ---- GetPrivateProfileStringW("DriverInterface", "InterfaceGUID", "(default)", capacity) ----

struct ProfileCase {
    std::string name;
    std::string bytes;         // the file; "" with `file_exists` false: no file at all
    bool file_exists;
    std::uint32_t capacity;
    std::wstring expected;
};

inline std::string utf16le_file(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

inline std::vector<ProfileCase> profile_cases() {
    const std::wstring guid = widen(kCaseGuid);
    const std::wstring lower = widen(kCaseGuidLower);
    const std::string g = kCaseGuid;
    const std::string long_value(70, 'v');
    return {
        {"CR LF line ends", "[DriverInterface]\r\nInterfaceGUID=" + g + "\r\n", true, 64, guid},
        {"LF line ends, lower-case value kept as written", "[DriverInterface]\nInterfaceGUID=" + kCaseGuidLower + "\n",
         true, 64, lower},
        {"lone CR line ends", "[Other]\rInterfaceGUID=x\r[DriverInterface]\rInterfaceGUID=" + g + "\r", true, 64, guid},
        {"mixed line ends", "[DriverInterface]\r\nX=1\nY=2\rInterfaceGUID=" + g + "\r\n", true, 64, guid},
        {"no line end after the last line", "[DriverInterface]\r\nInterfaceGUID=" + g, true, 64, guid},
        {"section and key names in another letter case", "[driverINTERFACE]\r\ninterfaceguid=" + g + "\r\n", true, 64,
         guid},
        {"blanks around the key, the equals sign and the value",
         "[DriverInterface]\r\n  \tInterfaceGUID \t=   " + g + " \t \r\n", true, 64, guid},
        {"blanks around the section header", "  [DriverInterface]  \r\nInterfaceGUID=" + g + "\r\n", true, 64, guid},
        {"text after the closing bracket", "[DriverInterface] ; SDK driver\r\nInterfaceGUID=" + g + "\r\n", true, 64,
         guid},
        {"other keys and sections around it",
         "[General]\r\nInterfaceGUID={00000000-0000-0000-0000-000000000000}\r\n\r\n[DriverInterface]\r\nDriver=WinUSB\r\n"
         "InterfaceGUID=" + g + "\r\nTimeout=5\r\n[Other]\r\nX=1\r\n",
         true, 64, guid},
        {"double quotes removed", "[DriverInterface]\r\nInterfaceGUID=\"" + g + "\"\r\n", true, 64, guid},
        {"single quotes removed", "[DriverInterface]\r\nInterfaceGUID='" + g + "'\r\n", true, 64, guid},
        {"blanks inside quotes kept", "[DriverInterface]\r\nInterfaceGUID= \" " + g + " \" \r\n", true, 64,
         L" " + guid + L" "},
        {"mismatched quotes kept", "[DriverInterface]\r\nInterfaceGUID=\"" + g + "'\r\n", true, 64,
         L"\"" + guid + L"'"},
        {"a lone quote kept", "[DriverInterface]\r\nInterfaceGUID=\"\r\n", true, 64, L"\""},
        {"equals sign inside the value", "[DriverInterface]\r\nInterfaceGUID=a=b\r\n", true, 64, L"a=b"},
        {"empty value is not the default", "[DriverInterface]\r\nInterfaceGUID=\r\n", true, 64, L""},
        {"first of two lines of the key", "[DriverInterface]\r\nInterfaceGUID=" + g + "\r\nInterfaceGUID=second\r\n",
         true, 64, guid},
        {"value cut to 63 characters", "[DriverInterface]\r\nInterfaceGUID=" + long_value + "\r\n", true, 64,
         std::wstring(63, L'v')},
        {"value cut to a small buffer", "[DriverInterface]\r\nInterfaceGUID=" + g + "\r\n", true, 10, guid.substr(0, 9)},
        {"UTF-16LE file with byte-order mark", utf16le_file("[DriverInterface]\r\nInterfaceGUID=" + g + "\r\n"), true,
         64, guid},
        {"key only under another section", "[Other]\r\nInterfaceGUID=" + g + "\r\n[DriverInterface]\r\nX=1\r\n", true, 64,
         kProfileDefault},
        {"key before any section", "InterfaceGUID=" + g + "\r\n[DriverInterface]\r\nX=1\r\n", true, 64, kProfileDefault},
        {"commented-out key", "[DriverInterface]\r\n;InterfaceGUID=" + g + "\r\n", true, 64, kProfileDefault},
        {"section name with blanks inside the brackets", "[ DriverInterface\t]\r\nInterfaceGUID=" + g + "\r\n", true,
         64, guid},
        {"header without closing bracket", "[DriverInterface\r\nInterfaceGUID=" + g + "\r\n", true, 64, kProfileDefault},
        {"only the first section of a name is read",
         "[DriverInterface]\r\nX=1\r\n[Other]\r\nY=2\r\n[DriverInterface]\r\nInterfaceGUID=" + g + "\r\n", true, 64,
         kProfileDefault},
        {"key line without equals sign comes first", "[DriverInterface]\r\nInterfaceGUID\r\nInterfaceGUID=" + g + "\r\n",
         true, 64, kProfileDefault},
        {"empty file", "", true, 64, kProfileDefault},
        {"no file", "", false, 64, kProfileDefault},
    };
}

// Runs the profile cases with files case_NN.ini in `folder` (a separate file
// per case: the system may cache a profile file it has read). Returns one
// message per mismatch.
inline std::vector<std::string> run_profile_cases(const std::wstring& folder, const CaseHost& host) {
    std::vector<std::string> failures;
    const std::vector<ProfileCase> cases = profile_cases();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ProfileCase& c = cases[i];
        const std::wstring path = folder + L"\\case_" + decimal(static_cast<std::uint32_t>(i)) + L".ini";
        if (c.file_exists) host.write_file(path, c.bytes);
        const std::wstring got =
            platform::get_private_profile_string(L"DriverInterface", L"InterfaceGUID", kProfileDefault, c.capacity, path);
        if (got != c.expected) {
            failures.push_back("profile case '" + c.name + "': got \"" + std::string(got.begin(), got.end()) +
                               "\", expected \"" + std::string(c.expected.begin(), c.expected.end()) + "\"");
        }
    }
    return failures;
}

// ---- expected_interface_guid with the SDK registered in a case folder ----

// Expandable: "%VQ4_CASE_SDK%\qtv_api_core.dll" as REG_EXPAND_SZ, the
// variable naming the case folder; Unexpanded: the same text as REG_SZ.
enum class Registration { Backslashes, ForwardSlashes, FileNameOnly, Oversized, Expandable, Unexpanded, Missing };

struct GuidSourceCase {
    std::string name;
    Registration registration;
    bool config_file;         // write the configuration file beside the registered library
    std::string config_text;
    bool from_file;           // expected: the GUID of the file and its path as the source
};

inline std::vector<GuidSourceCase> guid_source_cases() {
    const std::string header = "[DriverInterface]\r\n";
    return {
        {"lower-case GUID beside the registered library", Registration::Backslashes, true,
         header + "InterfaceGUID=" + kCaseGuidLower + "\r\n", true},
        {"registration written with forward slashes", Registration::ForwardSlashes, true,
         header + "InterfaceGUID=" + kCaseGuid + "\r\n", true},
        {"quoted value with blanks and other letter case", Registration::Backslashes, true,
         "[driverinterface]\r\n  interfaceguid = \"" + kCaseGuidLower + "\"  \r\n", true},
        {"registration holds a file name without folder", Registration::FileNameOnly, true,
         header + "InterfaceGUID=" + kCaseGuid + "\r\n", false},
        {"configuration file missing", Registration::Backslashes, false, "", false},
        {"key under another section", Registration::Backslashes, true,
         "[Other]\r\nInterfaceGUID=" + kCaseGuid + "\r\n", false},
        {"value is not a GUID", Registration::Backslashes, true, header + "InterfaceGUID=1A2B3C4D\r\n", false},
        {"registration longer than 259 characters", Registration::Oversized, true,
         header + "InterfaceGUID=" + kCaseGuid + "\r\n", false},
        {"REG_EXPAND_SZ registration, expanded as COM does", Registration::Expandable, true,
         header + "InterfaceGUID=" + kCaseGuid + "\r\n", true},
        {"the same text as REG_SZ is not expanded", Registration::Unexpanded, true,
         header + "InterfaceGUID=" + kCaseGuid + "\r\n", false},
        // Last: it removes the registration key.
        {"registration missing", Registration::Missing, true, header + "InterfaceGUID=" + kCaseGuid + "\r\n", false},
    };
}

inline std::wstring with_forward_slashes(std::wstring text) {
    for (wchar_t& c : text) {
        if (c == L'\\') c = L'/';
    }
    return text;
}

inline std::vector<std::string> run_guid_source_cases(const std::wstring& folder, const CaseHost& host) {
    std::vector<std::string> failures;
    const std::vector<GuidSourceCase> cases = guid_source_cases();
    host.create_key(std::wstring(L"HKCR\\") + kSdkRegistrationKey);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const GuidSourceCase& c = cases[i];
        std::wstring library_folder = folder + L"\\gs_" + decimal(static_cast<std::uint32_t>(i));
        if (c.registration == Registration::Oversized) library_folder += L"\\" + std::wstring(260, L'x');
        std::wstring registered = library_folder + L"\\qtv_api_core.dll";
        if (c.registration == Registration::ForwardSlashes) registered = with_forward_slashes(registered);
        if (c.registration == Registration::FileNameOnly) registered = L"qtv_api_core.dll";
        const bool expandable = c.registration == Registration::Expandable;
        if (expandable || c.registration == Registration::Unexpanded) {
            host.set_variable(L"VQ4_CASE_SDK", library_folder);
            registered = L"%VQ4_CASE_SDK%\\qtv_api_core.dll";
        }

        const std::wstring config_path = library_folder + L"\\" + kSdkConfigFileName;
        if (c.config_file) host.write_file(config_path, c.config_text);
        if (c.registration == Registration::Missing) {
            platform::reg_delete_key(platform::RegRoot::ClassesRoot, kSdkRegistrationKey);
        } else {
            platform::RegKey key;
            const std::int32_t opened =
                platform::reg_open_key(platform::RegRoot::ClassesRoot, kSdkRegistrationKey, win::KEY_SET_VALUE_, key);
            const std::int32_t set =
                opened != 0 ? opened
                            : platform::reg_set_value(key, L"", expandable ? win::REG_EXPAND_SZ_ : win::REG_SZ_,
                                                      utf16le_bytes(registered, 1));
            if (set != 0) {
                failures.push_back("guid source case '" + c.name + "': registration not written (" +
                                   std::to_string(set) + ")");
                continue;
            }
        }

        std::wstring expected_source = kDefaultGuidSource;
        std::wstring expected_guid = kDefaultInterfaceGuid;
        if (c.from_file) {
            expected_guid = widen(kCaseGuid);
            expected_source = expandable ? library_folder + L"\\" + kSdkConfigFileName
                                         : registered.substr(0, registered.find_last_of(L"\\/") + 1) + kSdkConfigFileName;
        }
        const ExpectedGuid expected = expected_interface_guid();
        const std::wstring& guid = expected.guid;
        const std::wstring& source = expected.source;
        const std::wstring second = expected_interface_guid().guid;
        if (guid != expected_guid || source != expected_source || second != expected_guid) {
            failures.push_back("guid source case '" + c.name + "': got " + std::string(guid.begin(), guid.end()) +
                               " from \"" + std::string(source.begin(), source.end()) + "\" (second call: " +
                               std::string(second.begin(), second.end()) + "), expected " +
                               std::string(expected_guid.begin(), expected_guid.end()) + " from \"" +
                               std::string(expected_source.begin(), expected_source.end()) + "\"");
        }
    }
    return failures;
}

// ---- read_registered_guids on the values of a key ----

struct StoredValue {
    std::wstring name;
    std::uint32_t type;
    std::string bytes;
};

struct RegisteredCase {
    std::string name;
    std::vector<StoredValue> values;
    std::vector<std::wstring> expected;
};

// UTF-16LE bytes of ASCII text; each "|" stands for a NUL character.
inline std::string wide_bytes(const std::string& ascii) {
    std::string bytes;
    for (const char c : ascii) {
        bytes.push_back(c == '|' ? '\0' : c);
        bytes.push_back('\0');
    }
    return bytes;
}

inline std::vector<RegisteredCase> registered_cases() {
    const std::wstring guid = widen(kCaseGuid);
    const std::string a = "{A0000000-0000-0000-0000-00000000000A}";
    const std::string b = "{B0000000-0000-0000-0000-00000000000B}";
    const std::string c = "{C0000000-0000-0000-0000-00000000000C}";
    const std::string chars62(62, 'x');
    const std::string chars63(63, 'y');
    const std::wstring multi = L"DeviceInterfaceGUIDs";
    const std::wstring single = L"DeviceInterfaceGUID";
    using win::REG_BINARY_;
    using win::REG_DWORD_;
    using win::REG_MULTI_SZ_;
    using win::REG_SZ_;
    return {
        {"nothing stored", {}, {}},
        {"two in the multi-string, then the single value",
         {{multi, REG_MULTI_SZ_, wide_bytes(a + "|" + b + "||")}, {single, REG_SZ_, wide_bytes(c + "|")}},
         {widen(a), widen(b), widen(c)}},
        {"the same GUID in both values is listed twice",
         {{multi, REG_MULTI_SZ_, wide_bytes(kCaseGuid + "||")}, {single, REG_SZ_, wide_bytes(kCaseGuid + "|")}},
         {guid, guid}},
        {"multi-string starting with an empty string contributes nothing",
         {{multi, REG_MULTI_SZ_, wide_bytes("|" + a + "||")}, {single, REG_SZ_, wide_bytes(c + "|")}},
         {widen(c)}},
        {"entries after an empty string are ignored", {{multi, REG_MULTI_SZ_, wide_bytes(a + "||" + b + "||")}},
         {widen(a)}},
        {"multi-string without any terminator", {{multi, REG_MULTI_SZ_, wide_bytes(a)}}, {widen(a)}},
        {"texts kept exactly as stored, garbage included",
         {{multi, REG_MULTI_SZ_, wide_bytes("not a guid|" + kCaseGuidLower + "||")}},
         {L"not a guid", widen(kCaseGuidLower)}},
        {"empty single value is not added", {{single, REG_SZ_, wide_bytes("|")}}, {}},
        {"single value of 62 characters and its NUL: 126 bytes fit", {{single, REG_SZ_, wide_bytes(chars62 + "|")}},
         {widen(chars62)}},
        {"single value of 63 characters and its NUL: 128 bytes do not fit",
         {{single, REG_SZ_, wide_bytes(chars63 + "|")}}, {}},
        // As binary data: for a string type without its NUL the system may
        // count a NUL that follows the caller's data.
        {"single value of 63 characters without NUL: 126 bytes fit", {{single, REG_BINARY_, wide_bytes(chars63)}},
         {widen(chars63)}},
        {"type not examined: an odd number of bytes", {{single, REG_BINARY_, std::string("A\0B\0C", 5)}}, {L"ABC"}},
        {"type not examined: a 32-bit value read as text", {{single, REG_DWORD_, std::string("A\0B\0", 4)}}, {L"AB"}},
    };
}

// Key of registered case i under HKLM.
inline std::wstring registered_case_key(std::size_t i) {
    return L"SOFTWARE\\VQ4Probe\\rg_" + decimal(static_cast<std::uint32_t>(i));
}

inline std::vector<std::string> run_registered_cases(const CaseHost& host) {
    std::vector<std::string> failures;
    const std::vector<RegisteredCase> cases = registered_cases();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const RegisteredCase& c = cases[i];
        host.create_key(L"HKLM\\" + registered_case_key(i));
        platform::RegKey key;
        const std::int32_t opened = platform::reg_open_key(platform::RegRoot::LocalMachine, registered_case_key(i),
                                                           win::KEY_READ_ | win::KEY_SET_VALUE_, key);
        if (opened != 0) {
            failures.push_back("registered case '" + c.name + "': key not opened (" + std::to_string(opened) + ")");
            continue;
        }
        for (const StoredValue& v : c.values) {
            platform::reg_set_value(key, v.name, v.type, std::vector<std::uint8_t>(v.bytes.begin(), v.bytes.end()));
        }
        const std::vector<std::wstring> got = read_registered_guids(key);
        if (got != c.expected) {
            std::string text;
            for (const std::wstring& g : got) text += " \"" + std::string(g.begin(), g.end()) + "\"";
            failures.push_back("registered case '" + c.name + "': got" + (text.empty() ? " nothing" : text));
        }
    }
    return failures;
}

}  // namespace vq4::test
