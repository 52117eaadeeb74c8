// The contract situations on the simulated machine: records of a fresh
// sim::Machine, plus a real scratch folder (the simulated report file and the
// console are the host's own). Files and folders of the scratch folder exist
// twice: as the host's files, which the report file and the console use, and
// as file records of the machine, which the file operations read.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "contract/situation.h"
#include "platform/sim/device_tree.h"
#include "platform/sim/loaded_modules.h"
#include "platform/sim/machine.h"
#include "platform/sim/pe_image.h"
#include "platform/sim/relaunch.h"
#include "platform/win_constants.h"

namespace vq4::contract::situation {

namespace {

namespace fs = std::filesystem;

struct State {
    std::string test_name;
    fs::path folder;
    int saved_stdout = -1;
    fs::path capture_file;
};

State& state() {
    static State s;
    return s;
}

std::wstring hklm(const std::wstring& below) { return L"HKLM\\" + below; }

std::wstring widen_utf8(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            length = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            code = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            length = 3;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += length;
    }
    return out;
}

void restore_stdout() {
    State& s = state();
    if (s.saved_stdout >= 0) {
        std::fflush(stdout);
        ::dup2(s.saved_stdout, STDOUT_FILENO);
        ::close(s.saved_stdout);
        s.saved_stdout = -1;
    }
}

}  // namespace

void begin(const std::string& test_name) {
    State& s = state();
    s.test_name = test_name;
    // A prepared host: the built-in machine, not one named from outside.
    ::unsetenv("VQ4_DIAG_MACHINE");

    char pattern[] = "/tmp/vq4-contract-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    s.folder = pattern;

    sim::Machine m;
    m.source = L"(contract situation)";
    m.native_architecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
    m.elevated = true;          // the Windows side runs elevated too
    m.registry.create(hklm(key()));
    m.files.push_back(sim::File{folder(), 0x10, {}, false, {}, {}, {}});
    sim::set_machine(std::move(m));
}

void end() {
    State& s = state();
    restore_stdout();
    std::freopen("/dev/null", "r", stdin);
    std::error_code ignored;
    if (!s.folder.empty()) fs::remove_all(s.folder, ignored);
    s.folder.clear();
    sim::set_relaunch_binary("");
    sim::set_machine(sim::Machine{});
}

const char* side() { return "sim"; }

bool on_wine() { return false; }

// ---- Registry ----

std::wstring key() { return L"SOFTWARE\\VQ4DiagContract\\" + widen(state().test_name); }

std::wstring key_path(const std::wstring& subkey) { return subkey.empty() ? key() : key() + L"\\" + subkey; }

void add_key(const std::wstring& subkey) { sim::machine().registry.create(hklm(key_path(subkey))); }

void add_value(const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
               const std::vector<std::uint8_t>& data) {
    sim::machine().registry.set_value(hklm(key_path(subkey)), sim::RegistryValue{name, type, data, {}});
}

bool key_exists(const std::wstring& subkey) { return sim::machine().registry.find(hklm(key_path(subkey))) != nullptr; }

std::optional<StoredValue> stored_value(const std::wstring& subkey, const std::wstring& name) {
    const sim::RegistryKey* record = sim::machine().registry.find(hklm(key_path(subkey)));
    if (record == nullptr) return std::nullopt;
    for (const sim::RegistryValue& value : record->values) {
        if (equals_nocase(value.name, name)) return StoredValue{value.type, value.data};
    }
    return std::nullopt;
}

std::wstring clsid() {
    // The simulated registry is private to the test; any class id will do.
    return L"{5A0C0E57-0000-4000-8000-00000000C0DE}";
}

void add_class_value(View view, const std::wstring& subkey, const std::wstring& name, std::uint32_t type,
                     const std::vector<std::uint8_t>& data) {
    // Where Windows keeps each view of HKCR\CLSID on a 64-bit system.
    const std::wstring classes = view == View::Bits64 ? L"HKLM\\SOFTWARE\\Classes\\CLSID\\"
                                                      : L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\";
    const std::wstring path = classes + clsid() + (subkey.empty() ? L"" : L"\\" + subkey);
    sim::machine().registry.set_value(path, sim::RegistryValue{name, type, data, {}});
}

// ---- Process ----

bool arrange_not_elevated() {
    sim::machine().elevated = false;
    return true;
}

bool arrange_native_architecture(std::uint16_t architecture) {
    sim::machine().native_architecture = architecture;
    return true;
}

std::wstring arrange_module_path() {
    const std::wstring path = L"C:\\Program Files\\Quorvane Tools\\VQ4_Diag.exe";
    sim::machine().module_path = path;
    return path;
}

std::optional<std::wstring> arrange_long_module_path(std::size_t length) {
    std::wstring path = L"C:\\";
    while (path.size() <= length) path += L"Nested folder of a deep install\\";
    path += L"VQ4_Diag.exe";
    sim::machine().module_path = path;
    return path;
}

platform::LocalTime local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    platform::LocalTime t;
    t.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.day = static_cast<std::uint16_t>(local.tm_mday);
    t.hour = static_cast<std::uint16_t>(local.tm_hour);
    t.minute = static_cast<std::uint16_t>(local.tm_min);
    t.second = static_cast<std::uint16_t>(local.tm_sec);
    return t;
}

bool arrange_local_time(const platform::LocalTime& time) {
    sim::machine().local_time =
        sim::LocalTimeRecord{time.year, time.month, time.day, time.hour, time.minute, time.second};
    return true;
}

std::uint64_t clock_ms() { return sim::machine().virtual_clock_ms; }

// ---- Files ----

// The scratch folder as a fully qualified Windows path: drive Z: is the
// host's root, as under Wine.
std::wstring folder() {
    std::wstring path = L"Z:" + widen_utf8(state().folder.string());
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::wstring path_in_folder(const std::wstring& name) { return folder() + L"\\" + name; }

namespace {
fs::path host_path(const std::wstring& name) { return state().folder / sim::narrow(name); }
}  // namespace

void add_file(const std::wstring& name, const std::string& bytes) {
    std::ofstream(host_path(name), std::ios::binary) << bytes;
    const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    if (sim::File* record = sim::machine().find_file(path_in_folder(name))) {
        record->bytes = data;
    } else {
        // FILE_ATTRIBUTE_ARCHIVE, as a file just written has.
        sim::machine().files.push_back(sim::File{path_in_folder(name), 0x20, data, false, {}, {}, {}});
    }
}

void add_folder(const std::wstring& name) {
    fs::create_directories(host_path(name));
    sim::machine().files.push_back(sim::File{path_in_folder(name), 0x10, {}, false, {}, {}, {}});
}

void hold_file_exclusively(const std::wstring& name) {
    sim::File* record = sim::machine().find_file(path_in_folder(name));
    if (record == nullptr) throw std::runtime_error("hold_file_exclusively: no such file");
    record->held_exclusively = true;
}

void hold_file_open(const std::wstring& name, std::uint32_t access, std::uint32_t share) {
    sim::File* record = sim::machine().find_file(path_in_folder(name));
    if (record == nullptr) throw std::runtime_error("hold_file_open: no such file");
    record->held_open = sim::File::OtherProcessOpen{access, share};
}

void release_file(const std::wstring& name) {
    if (sim::File* record = sim::machine().find_file(path_in_folder(name))) {
        record->held_exclusively = false;
        record->held_open.reset();
    }
}

void set_environment_variable(const std::wstring& name, const std::wstring& value) {
    auto& variables = sim::machine().environment;
    std::erase_if(variables, [&](const sim::EnvironmentVariable& v) { return equals_nocase(v.name, name); });
    variables.push_back({name, value});
}

// ---- Libraries ----

void add_library(const std::wstring& name, LibraryImage image) {
    sim::PeImageShape shape;
    shape.machine = image == LibraryImage::VersionedX86 ? 0x014C : 0x8664;
    if (image == LibraryImage::VersionedX64 || image == LibraryImage::VersionedX86) {
        shape.file_version = {kLibraryVersion[0], kLibraryVersion[1], kLibraryVersion[2], kLibraryVersion[3]};
    }
    shape.resource_section = image != LibraryImage::WithoutResourcesX64;
    shape.exports.assign(std::begin(kLibraryExports), std::end(kLibraryExports));
    const std::vector<std::uint8_t> bytes = sim::synthesize_pe_image(shape);
    add_file(name, std::string(bytes.begin(), bytes.end()));
}

bool library_loaded(const std::wstring& name) { return sim::library_loaded(path_in_folder(name)); }

// ---- Running software ----

RunningProcess arrange_own_process() {
    // The system's own processes come first, as on Windows.
    sim::machine().processes.push_back(sim::Process{0, L"[System Process]"});
    sim::machine().processes.push_back(sim::Process{4, L"System"});
    const RunningProcess own{static_cast<std::uint32_t>(::getpid()), L"vq4_contract_tests.exe"};
    sim::machine().processes.push_back(sim::Process{own.id, own.exe_file});
    return own;
}

std::wstring add_stopped_service(const std::wstring& tag, const std::wstring& display_name) {
    const std::wstring name = L"VQ4DiagContract." + widen(state().test_name) + L"." + tag;
    sim::Service service;
    service.name = name;
    service.display_name = display_name;
    service.type = 0x10;  // SERVICE_WIN32_OWN_PROCESS
    service.state = 1;    // SERVICE_STOPPED
    sim::machine().services.push_back(service);
    return name;
}

// ---- Elevation and the relaunch ----

std::wstring arrange_exit_code_program() {
    // The simulated ShellExecuteExW starts the tool itself: the stand-in is
    // the tool as far as the machine knows.
    const std::wstring path = L"C:\\Program Files\\VQ4DiagContract\\vq4_contract_exit_with.exe";
    sim::machine().module_path = path;
    sim::set_relaunch_binary(VQ4_CONTRACT_EXIT_WITH);
    return path;
}

bool arrange_elevation_prompt_declined() {
    sim::machine().elevation_prompt_accepted = false;
    return true;
}

// ---- Devices ----

bool arrange_no_usb_device_nodes() {
    for (const sim::Device& device : sim::machine().devices) {
        if (equals_nocase(device.description.instance_id.substr(0, 4), L"USB\\")) return false;
    }
    return true;
}

bool add_device(const DeviceNodeSpec& node) {
    sim::Device device;
    device.description.instance_id = node.instance_id;
    device.description.present = node.present;
    device.description.friendly_name = node.friendly_name;
    device.description.device_desc = node.device_desc;
    device.description.service = node.service;
    device.description.hardware_ids = node.hardware_ids;
    device.description.parent_id = node.parent;
    device.description.status = node.status;
    device.description.problem = node.problem;
    if (node.restart_needs_reboot) device.behaviour.restart_flags = win::DI_NEEDREBOOT_;
    if (node.removal_needs_reboot) device.behaviour.remove_flags = win::DI_NEEDREBOOT_;
    const auto steps = [](const std::vector<DeviceNodeSpec::UsbTransfer>& transfers) {
        std::vector<sim::UsbTransferStep> out;
        for (const DeviceNodeSpec::UsbTransfer& t : transfers) {
            out.push_back(sim::UsbTransferStep{t.never_completes, t.error, t.reply});
        }
        return out;
    };
    for (const DeviceNodeSpec::Interface& iface : node.interfaces) {
        sim::DeviceInterfaceRecord record{iface.guid, iface.path, iface.held_by_other_process, {}, {}};
        record.winusb.reads = steps(node.usb_reads);
        record.winusb.writes = steps(node.usb_writes);
        device.description.interfaces.push_back(std::move(record));
    }
    // Every node has its key below Enum, as on Windows.
    sim::machine().registry.create(sim::instance_key_path(node.instance_id));
    sim::machine().add_device(std::move(device));
    return true;
}

bool unplug_device(const std::wstring& instance_id) {
    sim::Device* device = sim::machine().find_device(instance_id);
    if (device == nullptr) throw std::runtime_error("unplug_device: no such device");
    device->description.present = false;
    return true;
}

bool add_device_parameter(const std::wstring& instance_id, const std::wstring& name, std::uint32_t type,
                          const std::vector<std::uint8_t>& data) {
    sim::machine().registry.set_value(sim::hardware_key_path(instance_id), sim::RegistryValue{name, type, data, {}});
    return true;
}

std::optional<StoredValue> device_parameter(const std::wstring& instance_id, const std::wstring& name) {
    const sim::RegistryKey* record = sim::machine().registry.find(sim::hardware_key_path(instance_id));
    if (record == nullptr) return std::nullopt;
    for (const sim::RegistryValue& value : record->values) {
        if (equals_nocase(value.name, name)) return StoredValue{value.type, value.data};
    }
    return std::nullopt;
}

bool device_key_exists(const std::wstring& instance_id) {
    return sim::machine().registry.find(sim::instance_key_path(instance_id)) != nullptr;
}

std::optional<std::string> file_bytes(const std::wstring& name) {
    std::ifstream in(host_path(name), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// ---- Console ----

void capture_stdout_begin() {
    State& s = state();
    std::fflush(stdout);
    s.capture_file = s.folder / "captured-stdout";
    const int fd = ::open(s.capture_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create the capture file");
    s.saved_stdout = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

std::string capture_stdout_end() {
    restore_stdout();
    std::ifstream in(state().capture_file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::wstring decode_console(const std::string& bytes) {
    // Linux terminals and pipes take UTF-8 with LF line ends.
    std::wstring text = widen_utf8(bytes);
    for (wchar_t& c : text) {
        if (c == L'\r') c = 0xFFFD;
    }
    return text;
}

void feed_stdin(const std::string& bytes) {
    const fs::path file = state().folder / "fed-stdin";
    std::ofstream(file, std::ios::binary) << bytes;
    if (std::freopen(file.c_str(), "r", stdin) == nullptr) throw std::runtime_error("cannot redirect stdin");
}

}  // namespace vq4::contract::situation
