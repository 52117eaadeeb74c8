// Helpers for the repair tests: machine files from machines/, the report
// text of an in-process run, the expected lines, and a snapshot of the whole
// simulated registry and device tree to prove what a repair changed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vq4::test {

inline const std::string kExpectedGuid = "{C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}";
inline const std::string kMi03 = "USB\\VID_2A7D&PID_5E3C&MI_03\\6&3A2B1C0D&0&0003";
inline const std::string kMi00 = "USB\\VID_2A7D&PID_5E3C&MI_00\\6&3A2B1C0D&0&0000";
inline const std::string kMi01 = "USB\\VID_2A7D&PID_5E3C&MI_01\\6&3A2B1C0D&0&0001";
inline const std::string kComposite = "USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
inline const std::string kCacheKey = "SYSTEM\\CurrentControlSet\\Control\\usbflags\\2A7D5E3C0102";

// machines/<name>.json as text, optionally changed before it is used.
std::string machine_text(const std::string& name, const std::function<void(nlohmann::json&)>& change = {});

// The device entry with that instance id in a machine's JSON.
nlohmann::json& device_entry(nlohmann::json& machine, const std::string& instance_id);

// Collects what the report output writes to the report file while alive.
class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;
    // Closes the report file and returns its bytes.
    std::string finish();
    // Where the report file is written.
    const std::filesystem::path& directory() const { return dir_; }
    // Where the repair's backups land on the host: the simulated
    // C:\ProgramData\VQ4_Diag\Backups, kept in this capture's folder.
    std::filesystem::path backup_directory() const { return dir_ / "ProgramData" / "VQ4_Diag" / "Backups"; }

private:
    std::filesystem::path dir_;
    bool open_ = false;
};

// The registry backup file the repair wrote into the protected folder, as
// the report names it (the directory, '\', the file name); empty when there
// is none. A second backup file fails the calling test.
std::string printed_backup_path(const ReportCapture& capture);

// Every "<BACKUP>" in `text` replaced by `path`.
std::string with_backup_path(std::string text, const std::string& path);

// Report lines as the file holds them (CR LF).
std::string header(const std::string& title);
std::string info(const std::string& text);
std::string ok(const std::string& text);
std::string warn(const std::string& text);
std::string fail(const std::string& text);
std::string detail(const std::string& text);

// From "\r\n==== <title>" up to the next "\r\n==== " header or the end; empty
// when the header is missing.
std::string section_block(const std::string& report, const std::string& title);

// The beginning of section 7 for the candidates (id, joined GUIDs): header,
// problem line, one detail line per candidate, the plan.
std::string section7_intro(const std::vector<std::pair<std::string, std::string>>& candidates,
                           const std::string& expected_guid = kExpectedGuid);

// The whole simulated registry and device tree, for before/after comparisons.
struct TreeSnapshot {
    struct Value {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        bool operator==(const Value&) const = default;
    };
    struct Node {
        std::wstring parent;
        bool present = false;
        std::optional<std::wstring> service, friendly_name, device_desc;
        std::uint32_t status = 0, problem = 0, dev_inst = 0;
        std::vector<std::wstring> interfaces;  // "guid path"
    };
    std::map<std::wstring, std::map<std::wstring, Value>> registry;  // upper-case key path -> value name
    std::map<std::wstring, Node> devices;                             // upper-case instance id
};

TreeSnapshot take_snapshot();

// Every change between two snapshots beyond what a repair of the MI_03 node
// may make: the device's nodes may go away or get new devnode handles, MI_03
// its interfaces; Enum keys of nodes that went away may go with them; in
// MI_03's hardware key only DeviceInterfaceGUIDs and DeviceInterfaceGUID may
// change (the key may be created); the one descriptor-cache key may go.
std::vector<std::string> forbidden_changes(const TreeSnapshot& before, const TreeSnapshot& after);

}  // namespace vq4::test
