// The descriptor-cache backup on the real registry (under Wine).
//   registry_backup_probe create  - makes usbflags\2A7D5E3C0102 with values of
//                                   several types, awkward names and data, and a subkey
//   registry_backup_probe dump    - prints the key and its subkeys: every value's
//                                   name, type and bytes, sorted
//   registry_backup_probe delete  - the repair's own deletion: backup beside this
//                                   executable, then the key goes
// Exit code 0 on success.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "repair/device_removal.h"
#include "repair/registry_backup.h"

namespace {

const wchar_t* const kKey = L"SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0102";

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

bool set(HKEY key, const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size())) ==
           ERROR_SUCCESS;
}

std::vector<BYTE> wide_bytes(const std::wstring& text, int terminators) {
    std::vector<BYTE> out;
    for (const wchar_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    out.insert(out.end(), static_cast<std::size_t>(terminators) * 2, 0);
    return out;
}

int create() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    std::vector<BYTE> long_data(150);
    for (std::size_t i = 0; i < long_data.size(); ++i) long_data[i] = static_cast<BYTE>(i * 7);
    bool ok = set(key, L"osvc", REG_BINARY, {0x00, 0x00}) && set(key, L"IgnoreHWSerNum", REG_BINARY, {0x01}) &&
              set(key, L"ResetOnResume", REG_DWORD, {0x01, 0x00, 0x00, 0x00}) &&
              set(key, nullptr, REG_SZ, wide_bytes(L"default text", 1)) &&
              set(key, L"Quote\"And\\Backslash", REG_SZ, wide_bytes(L"C:\\Path \"quoted\" \u00E9\u4E2D", 1)) &&
              set(key, L"NoTerminator", REG_SZ, wide_bytes(L"AB", 0)) &&
              set(key, L"OddSize", REG_SZ, {0x41, 0x00, 0x42}) &&
              set(key, L"NulInside", REG_SZ, wide_bytes(std::wstring(L"a\0b", 3), 1)) &&
              set(key, L"ShortDword", REG_DWORD, {0x01, 0x02}) &&
              set(key, L"List", REG_MULTI_SZ, wide_bytes(std::wstring(L"one\0two\0", 8), 1)) &&
              set(key, L"Expand", REG_EXPAND_SZ, wide_bytes(L"%SystemRoot%\\x", 1)) &&
              set(key, L"Big", REG_QWORD, {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}) &&
              set(key, L"Nothing", REG_NONE, {}) && set(key, L"OwnType", 0x100, {0xAB, 0xCD}) &&
              set(key, L"Long", REG_BINARY, long_data);
    HKEY sub = nullptr;
    ok = ok && RegCreateKeyExW(key, L"Sub\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS;
    if (sub != nullptr) {
        ok = ok && set(sub, L"Inner", REG_DWORD, {0x07, 0x00, 0x00, 0x00});
        RegCloseKey(sub);
    }
    RegCloseKey(key);
    return ok ? 0 : 1;
}

void dump_key(HKEY key, const std::wstring& path, std::vector<std::string>& lines) {
    lines.push_back("[" + utf8(path) + "]");
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> name(16384);
        DWORD chars = static_cast<DWORD>(name.size());
        std::vector<BYTE> data(65536);
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(key, index, name.data(), &chars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        std::string line = utf8(path) + " \"" + utf8(std::wstring(name.data(), chars)) + "\" type " + std::to_string(type) + ":";
        for (DWORD i = 0; i < size; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", data[i]);
            line += hex;
        }
        lines.push_back(line);
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            dump_key(sub, path + L"\\" + name, lines);
            RegCloseKey(sub);
        }
    }
}

int dump() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        std::printf("(no key)\n");
        return 1;
    }
    std::vector<std::string> lines;
    dump_key(key, kKey, lines);
    RegCloseKey(key);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    return 0;
}

int remove_with_backup() {
    vq4::RegistryBackup backup;

    vq4::delete_descriptor_cache(0x0102, backup);
    if (backup.path.empty()) return 1;
    std::printf("BACKUP %s\n", utf8(backup.path).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "create") return create();
    if (mode == "dump") return dump();
    if (mode == "delete") return remove_with_backup();
    std::printf("usage: registry_backup_probe create|dump|delete\n");
    return 2;
}
