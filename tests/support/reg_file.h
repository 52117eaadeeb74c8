// A reader of .reg files (the format `reg import` reads), written for the
// tests apart from the tool's writer: it checks the byte order mark, the
// header and the CR LF line ends, and applies a file's content to a registry
// snapshot as an import would.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/repair_support.h"

namespace vq4::test {

struct RegFileOp {
    enum Kind { DeleteKey, CreateKey, SetValue, DeleteValue } kind = SetValue;
    std::wstring key;   // upper-case, "HKLM\..."
    std::wstring name;  // upper-case value name, "" for the default value
    TreeSnapshot::Value value;
};

// Parses the file's bytes; on a format fault `error` says what and where.
std::vector<RegFileOp> parse_reg_file(const std::string& bytes, std::string& error);

// The registry after importing the operations into `registry`.
std::map<std::wstring, std::map<std::wstring, TreeSnapshot::Value>> import_reg_ops(
    std::map<std::wstring, std::map<std::wstring, TreeSnapshot::Value>> registry, const std::vector<RegFileOp>& ops);

// The backup files (VQ4_Diag_Backup_*.reg) in a directory, sorted.
std::vector<std::string> backup_files(const std::string& directory);

}  // namespace vq4::test
