#include "support/reg_file.h"

#include <algorithm>
#include <filesystem>

#include "util/text.h"

namespace vq4::test {

namespace {

std::wstring upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// A quoted text with \\ and \" escapes from `at` (on the opening quote); moves
// `at` past the closing quote.
bool quoted(const std::wstring& line, std::size_t& at, std::wstring& out) {
    if (at >= line.size() || line[at] != L'"') return false;
    for (++at; at < line.size(); ++at) {
        if (line[at] == L'\\') {
            if (at + 1 >= line.size() || (line[at + 1] != L'\\' && line[at + 1] != L'"')) return false;
            out.push_back(line[++at]);
        } else if (line[at] == L'"') {
            ++at;
            return true;
        } else {
            out.push_back(line[at]);
        }
    }
    return false;
}

bool hex_bytes(const std::wstring& text, std::vector<std::uint8_t>& out) {
    if (text.empty()) return true;
    std::size_t at = 0;
    while (true) {
        if (at + 2 > text.size()) return false;
        const int hi = hex_digit(text[at]);
        const int lo = hex_digit(text[at + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        at += 2;
        if (at == text.size()) return true;
        if (text[at] != L',') return false;
        ++at;
    }
}

bool value_data(const std::wstring& text, TreeSnapshot::Value& value) {
    std::size_t at = 0;
    if (!text.empty() && text[0] == L'"') {
        std::wstring s;
        if (!quoted(text, at, s) || at != text.size()) return false;
        value.type = 1;
        value.data = utf16le_bytes(s, 1);
        return true;
    }
    if (text.rfind(L"dword:", 0) == 0) {
        const std::wstring digits = text.substr(6);
        if (digits.size() != 8) return false;
        std::uint32_t v = 0;
        for (const wchar_t c : digits) {
            if (hex_digit(c) < 0) return false;
            v = v * 16 + static_cast<std::uint32_t>(hex_digit(c));
        }
        value.type = 4;
        value.data = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                      static_cast<std::uint8_t>(v >> 24)};
        return true;
    }
    if (text.rfind(L"hex:", 0) == 0) {
        value.type = 3;
        return hex_bytes(text.substr(4), value.data);
    }
    if (text.rfind(L"hex(", 0) == 0) {
        const std::size_t close = text.find(L"):");
        if (close == std::wstring::npos || close == 4) return false;
        std::uint32_t type = 0;
        for (std::size_t i = 4; i < close; ++i) {
            if (hex_digit(text[i]) < 0) return false;
            type = type * 16 + static_cast<std::uint32_t>(hex_digit(text[i]));
        }
        value.type = type;
        return hex_bytes(text.substr(close + 2), value.data);
    }
    return false;
}

std::wstring key_of(const std::wstring& path) {
    const std::wstring root = L"HKEY_LOCAL_MACHINE\\";
    if (path.rfind(root, 0) != 0) return {};
    return L"HKLM\\" + upper(path.substr(root.size()));
}

}  // namespace

std::vector<RegFileOp> parse_reg_file(const std::string& bytes, std::string& error) {
    std::vector<RegFileOp> ops;
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xFE ||
        bytes.size() % 2 != 0) {
        error = "no UTF-16LE byte order mark, or an odd size";
        return {};
    }
    std::wstring text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    std::vector<std::wstring> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            error = "the last line has no CR LF";
            return {};
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    for (const std::wstring& line : lines) {
        if (line.find(L'\r') != std::wstring::npos || line.find(L'\n') != std::wstring::npos) {
            error = "a lone CR or LF";
            return {};
        }
    }
    if (lines.empty() || lines[0] != L"Windows Registry Editor Version 5.00") {
        error = "no header line";
        return {};
    }
    std::wstring key;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::wstring line = lines[i];
        // Continued hex lines: "\" at the end, the next line indented.
        while (!line.empty() && line.back() == L'\\' && line.find(L"=hex") != std::wstring::npos && i + 1 < lines.size()) {
            line.pop_back();
            std::wstring next = lines[++i];
            next.erase(0, next.find_first_not_of(L' '));
            line += next;
        }
        const std::string where = " in line " + std::to_string(i + 1);
        if (line.empty()) continue;
        if (line[0] == L'[') {
            if (line.back() != L']') {
                error = "an unclosed key line" + where;
                return {};
            }
            const bool remove = line.size() > 1 && line[1] == L'-';
            key = key_of(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)));
            if (key.empty()) {
                error = "a key outside HKEY_LOCAL_MACHINE" + where;
                return {};
            }
            ops.push_back({remove ? RegFileOp::DeleteKey : RegFileOp::CreateKey, key, {}, {}});
            if (remove) key.clear();
            continue;
        }
        if (key.empty()) {
            error = "a value outside a key" + where;
            return {};
        }
        std::wstring name;
        std::size_t at = 0;
        if (line[0] == L'@') {
            at = 1;
        } else if (!quoted(line, at, name)) {
            error = "a value name that is not quoted" + where;
            return {};
        }
        if (at >= line.size() || line[at] != L'=') {
            error = "no '=' after the value name" + where;
            return {};
        }
        const std::wstring data = line.substr(at + 1);
        if (data == L"-") {
            ops.push_back({RegFileOp::DeleteValue, key, upper(name), {}});
            continue;
        }
        RegFileOp op{RegFileOp::SetValue, key, upper(name), {}};
        if (!value_data(data, op.value)) {
            error = "value data that cannot be read" + where;
            return {};
        }
        ops.push_back(op);
    }
    return ops;
}

std::map<std::wstring, std::map<std::wstring, TreeSnapshot::Value>> import_reg_ops(
    std::map<std::wstring, std::map<std::wstring, TreeSnapshot::Value>> registry, const std::vector<RegFileOp>& ops) {
    for (const RegFileOp& op : ops) {
        switch (op.kind) {
            case RegFileOp::DeleteKey:
                for (auto it = registry.begin(); it != registry.end();) {
                    if (it->first == op.key || it->first.rfind(op.key + L"\\", 0) == 0) {
                        it = registry.erase(it);
                    } else {
                        ++it;
                    }
                }
                break;
            case RegFileOp::CreateKey:
                registry[op.key];
                break;
            case RegFileOp::SetValue:
                registry[op.key][op.name] = op.value;
                break;
            case RegFileOp::DeleteValue:
                registry[op.key].erase(op.name);
                break;
        }
    }
    return registry;
}

std::vector<std::string> backup_files(const std::string& directory) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("VQ4_Diag_Backup_", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".reg") {
            found.push_back(entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace vq4::test
