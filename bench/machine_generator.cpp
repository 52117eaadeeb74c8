// Writes the machine files of the benchmark: a crowded PC with a given
// number of USB device nodes (other vendors' hubs, composite devices and
// their interfaces, with the Vantro Q4's four nodes in the middle of the
// system's order), a given number of installed programs, running processes
// and services, and the SDK installed as on the built-in machine.
//
// Usage: vq4_bench_machines OUTPUT_FOLDER [NAME=NODES,PROGRAMS,PROCESSES,SERVICES...]
// Without machines named: writes nodes-100.json, nodes-1000.json,
// nodes-10000.json (each with 1,000 Uninstall entries, 1,000 processes and 500
// services), programs-3000.json and programs-10000.json (100 nodes, N
// Uninstall entries, N processes, N/2 services). Otherwise the machines named,
// of those sizes (scripts/growth-check.sh). Each with its load-only twin (below).
// The output is the same at every run: names come from a fixed-seed sequence.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Rng {
    std::uint64_t state = 0x2A7D5E3C;
    std::uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
};

std::string hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// A JSON string literal; the names here hold no control characters.
std::string q(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

struct Vendor {
    const char* vid;
    const char* name;
};

const Vendor kVendors[] = {
    {"046D", "Logitech"}, {"045E", "Microsoft"},    {"8087", "Intel"},      {"0BDA", "Realtek"},
    {"05AC", "Apple"},    {"1532", "Razer"},        {"0951", "Kingston"},   {"0781", "SanDisk"},
    {"1050", "Yubico"},   {"04E8", "Samsung"},      {"1235", "Focusrite"},  {"0D8C", "C-Media"},
    {"2109", "VIA Labs"}, {"05E3", "Genesys Logic"}, {"0A12", "CSR"},       {"1FC9", "NXP"},
};

struct Kind {
    const char* description;
    const char* service;
    int interfaces;  // composite: that many interface nodes below the device
};

const Kind kKinds[] = {
    {"USB Input Device", "HidUsb", 0},        {"USB Mass Storage Device", "USBSTOR", 0},
    {"USB Composite Device", "usbccgp", 2},   {"Generic Bluetooth Adapter", "BTHUSB", 0},
    {"USB Audio Device", "usbaudio2", 0},     {"WinUSB Device", "WINUSB", 0},
    {"USB Composite Device", "usbccgp", 3},   {"USB Serial Device", "usbser", 0},
};

struct Writer {
    std::string devices, registry;
    int nodes = 0;
    bool first_device = true, first_key = true;

    void device(const std::string& json) {
        devices += first_device ? "\n    " : ",\n    ";
        devices += json;
        first_device = false;
        ++nodes;
    }
    void key(const std::string& json) {
        registry += first_key ? "\n    " : ",\n    ";
        registry += json;
        first_key = false;
    }
};

std::string sz(const std::string& name, const std::string& data) {
    return "{ \"name\": " + q(name) + ", \"type\": \"REG_SZ\", \"data\": " + q(data) + " }";
}

std::string dword(const std::string& name, std::uint32_t data) {
    return "{ \"name\": " + q(name) + ", \"type\": \"REG_DWORD\", \"data\": " + std::to_string(data) + " }";
}

// The Vantro Q4 as on the built-in machine: composite parent, MI_00, MI_01,
// and MI_03 bound to WinUSB without the SDK's interface GUID.
void add_vantro(Writer& w, const std::string& hub) {
    const std::string parent = "USB\\VID_2A7D&PID_5E3C\\QV4A1B2C3D";
    w.device("{ \"instance_id\": " + q(parent) + ", \"parent\": " + q(hub) +
             ", \"friendly_name\": \"Vantro Q4\", \"device_desc\": \"USB Composite Device\", \"service\": \"usbccgp\" }");
    w.device("{ \"instance_id\": \"USB\\\\VID_2A7D&PID_5E3C&MI_00\\\\6&3A2B1C0D&0&0000\", \"parent\": " + q(parent) +
             ", \"friendly_name\": \"Vantro Q4 Audio\", \"device_desc\": \"USB Audio Device\", \"service\": \"usbaudio2\" }");
    w.device("{ \"instance_id\": \"USB\\\\VID_2A7D&PID_5E3C&MI_01\\\\6&3A2B1C0D&0&0001\", \"parent\": " + q(parent) +
             ", \"device_desc\": \"Vantro Q4 Control\", \"service\": \"usbaudio2\" }");
    w.device("{ \"instance_id\": \"USB\\\\VID_2A7D&PID_5E3C&MI_03\\\\6&3A2B1C0D&0&0003\", \"parent\": " + q(parent) +
             ", \"device_desc\": \"Vantro Q4 Vendor Interface\", \"service\": \"WINUSB\", \"hardware_key\": [ " +
             dword("RevisionId", 258) + ", " + dword("ExtPropDescSemaphore", 1) + " ] }");
}

// One other vendor's device and its interface nodes, within budget nodes.
void add_other_device(Writer& w, Rng& rng, const std::string& hub, int serial, int budget) {
    const Vendor& vendor = kVendors[rng.below(sizeof kVendors / sizeof kVendors[0])];
    Kind kind = kKinds[rng.below(sizeof kKinds / sizeof kKinds[0])];
    if (kind.interfaces + 1 > budget) kind = kKinds[0];
    const std::string vid_pid = std::string("VID_") + vendor.vid + "&PID_" + hex(rng.below(0x10000), 4);
    const std::string id = "USB\\" + vid_pid + "\\" + hex(0x5000000u + static_cast<std::uint32_t>(serial), 8);
    std::string json = "{ \"instance_id\": " + q(id) + ", \"parent\": " + q(hub) +
                       ", \"device_desc\": " + q(kind.description) + ", \"service\": " + q(kind.service);
    if (rng.below(3) == 0) json += ", \"friendly_name\": " + q(std::string(vendor.name) + " " + kind.description);
    json += ", \"hardware_key\": [ " + dword("DeviceSelectiveSuspended", 0) + ", " +
            sz("SymbolicName", "\\??\\" + id) + " ]";
    if (std::string(kind.service) == "WINUSB") {
        const std::string guid = "{" + hex(rng.next(), 8) + "-1A2B-4C3D-8E9F-" + hex(rng.next(), 8) + "0000}";
        json += ", \"interfaces\": [ { \"guid\": " + q(guid) + ", \"path\": " +
                q("\\\\?\\usb#" + vid_pid + "#" + hex(0x5000000u + static_cast<std::uint32_t>(serial), 8) + "#" +
                  guid) +
                " } ]";
    }
    w.device(json + " }");
    for (int i = 0; i < kind.interfaces; ++i) {
        const std::string child = "USB\\" + vid_pid + "&MI_0" + std::to_string(i) + "\\7&" + hex(rng.next(), 8) +
                                  "&0&000" + std::to_string(i);
        w.device("{ \"instance_id\": " + q(child) + ", \"parent\": " + q(id) +
                 ", \"device_desc\": \"USB Input Device\", \"service\": \"HidUsb\", \"hardware_key\": [ " +
                 dword("DeviceSelectiveSuspended", 0) + " ] }");
    }
}

void add_nodes(Writer& w, Rng& rng, int total) {
    const int root_hubs = 1 + total / 2000;
    std::vector<std::string> hubs;
    for (int i = 0; i < root_hubs; ++i) {
        const std::string id = "USB\\ROOT_HUB30\\4&" + hex(0x2A3B1C7Du + static_cast<std::uint32_t>(i), 8) + "&0&0";
        w.device("{ \"instance_id\": " + q(id) + ", \"device_desc\": \"USB Root Hub (USB 3.0)\", \"service\": \"USBHUB3\" }");
        hubs.push_back(id);
    }
    const int vantro_at = total / 2;
    bool vantro_added = false;
    int serial = 0;
    while (w.nodes < total) {
        if (!vantro_added && w.nodes >= vantro_at && total - w.nodes >= 4) {
            add_vantro(w, hubs.front());
            vantro_added = true;
            continue;
        }
        const int reserve = vantro_added ? 0 : 4;
        const int budget = total - w.nodes - reserve;
        if (budget <= 0) {
            add_vantro(w, hubs.front());
            vantro_added = true;
            continue;
        }
        // Every 12th device is a hub of its own, so the tree has some depth.
        if (serial % 12 == 11) {
            const std::string id = "USB\\VID_2109&PID_0817\\" + hex(0x6000000u + static_cast<std::uint32_t>(serial), 8);
            w.device("{ \"instance_id\": " + q(id) + ", \"parent\": " + q(hubs[rng.below(static_cast<std::uint32_t>(hubs.size()))]) +
                     ", \"device_desc\": \"Generic SuperSpeed USB Hub\", \"service\": \"USBHUB3\" }");
            hubs.push_back(id);
        } else {
            add_other_device(w, rng, hubs[rng.below(static_cast<std::uint32_t>(hubs.size()))], serial, budget);
        }
        ++serial;
    }
}

const char* const kPrograms[] = {"7-Zip", "Mozilla Firefox", "Notepad++", "VLC media player", "Git", "Python",
                                  "Microsoft Visual C++ Redistributable", "Steam", "OBS Studio", "Audacity",
                                  "LibreOffice", "Zoom", "Adobe Acrobat Reader", "Realtek Audio Driver"};

// Installed programs: a few of the maker's (one excluded by name) among
// many others, in both registry views.
void add_programs(Writer& w, Rng& rng, int count) {
    const std::string uninstall64 = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    const std::string uninstall32 = "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    w.key("{ \"key\": " + q(uninstall64 + "{5C8E2B1A-7D43-4F09-A6E2-9B3D1C7F4A20}") + ", \"values\": [ " +
          sz("DisplayName", "Quorvane Tonvela SDK") + ", " + sz("DisplayVersion", "2.8.0") + ", " +
          sz("InstallLocation", "C:\\Program Files\\Quorvane\\Tonvela SDK") + " ] }");
    w.key("{ \"key\": " + q(uninstall64 + "QuorvaneSpinDeck") + ", \"values\": [ " +
          sz("DisplayName", "QuorvaneSpinDeck DJ Studio") + ", " + sz("DisplayVersion", "5.0") + " ] }");
    w.key("{ \"key\": " + q(uninstall32 + "QTVLegacyTools") + ", \"values\": [ " + sz("DisplayName", "QTV Legacy Tools") +
          ", " + sz("DisplayVersion", "1.4") + " ] }");
    for (int i = 3; i < count; ++i) {
        const std::string program = kPrograms[rng.below(sizeof kPrograms / sizeof kPrograms[0])];
        const std::string name = program + " " + std::to_string(1 + rng.below(30)) + "." + std::to_string(rng.below(10));
        const std::string key = (i % 4 == 0 ? uninstall32 : uninstall64) + "{" + hex(rng.next(), 8) + "-" +
                                hex(rng.below(0x10000), 4) + "-4" + hex(rng.below(0x1000), 3) + "-A" +
                                hex(rng.below(0x1000), 3) + "-" + hex(rng.next(), 8) + hex(static_cast<std::uint32_t>(i), 4) + "}";
        std::string values = sz("DisplayName", name) + ", " + sz("DisplayVersion", std::to_string(rng.below(20)) + ".0") +
                             ", " + sz("Publisher", program + " Team");
        if (rng.below(2) == 0) values += ", " + sz("InstallLocation", "C:\\Program Files\\" + program);
        values += ", " + sz("UninstallString", "\"C:\\Program Files\\" + program + "\\uninstall.exe\"");
        w.key("{ \"key\": " + q(key) + ", \"values\": [ " + values + " ] }");
    }
}

const char* const kProcesses[] = {"svchost.exe", "chrome.exe", "explorer.exe", "RuntimeBroker.exe", "conhost.exe",
                                   "msedge.exe", "dllhost.exe", "SearchHost.exe", "audiodg.exe", "Code.exe"};

std::string processes(Rng& rng, int count) {
    std::string json;
    for (int i = 0; i < count; ++i) {
        std::string exe = kProcesses[rng.below(sizeof kProcesses / sizeof kProcesses[0])];
        if (i == count / 3) exe = "QuorvaneHub.exe";
        if (i == 2 * count / 3) exe = "QTVService.exe";
        json += (i == 0 ? "\n    " : ",\n    ");
        json += "{ \"pid\": " + std::to_string(4 + 4 * i) + ", \"exe\": " + q(exe) + " }";
    }
    return json;
}

std::string services(Rng& rng, int count) {
    std::string json;
    for (int i = 0; i < count; ++i) {
        std::string name = "Svc" + hex(rng.next(), 8);
        std::string display = "Service " + name.substr(3);
        if (i == count / 2) {
            name = "quorQtvInstall";
            display = "Quorvane QTV Series Service";
        }
        json += (i == 0 ? "\n    " : ",\n    ");
        json += "{ \"name\": " + q(name) + ", \"display_name\": " + q(display) +
                ", \"state\": " + (rng.below(2) == 0 ? "\"running\"" : "\"stopped\"") +
                (i % 10 == 9 ? ", \"type\": 1" : "") + " }";
    }
    return json;
}

std::string machine(int nodes, int programs, int process_count, int service_count) {
    Rng rng;
    Writer w;
    w.key("{ \"key\": \"HKLM\\\\SOFTWARE\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\", \"values\": [ " +
          sz("ProductName", "Windows 10 Pro") + ", " + sz("DisplayVersion", "23H2") + ", " +
          sz("CurrentBuildNumber", "22631") + " ] }");
    w.key("{ \"key\": \"HKCR\\\\CLSID\\\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\\\InProcServer32\", \"values\": [ " +
          sz("", "C:\\Program Files\\Quorvane\\Tonvela SDK\\qtv_api_core.dll") + ", " + sz("ThreadingModel", "Both") +
          " ] }");
    w.key("{ \"key\": \"HKLM\\\\SYSTEM\\\\CurrentControlSet\\\\Control\\\\usbflags\\\\2A7D5E3C0102\", \"values\": [ "
          "{ \"name\": \"osvc\", \"type\": \"REG_BINARY\", \"hex\": \"00 00\" } ] }");
    add_programs(w, rng, programs);
    add_nodes(w, rng, nodes);
    std::string json = "{\n  \"description\": " +
                       q("Benchmark: " + std::to_string(nodes) + " USB device nodes (the Vantro Q4's four among them), " +
                         std::to_string(programs) + " Uninstall entries, " + std::to_string(process_count) +
                         " processes, " + std::to_string(service_count) + " services; otherwise the built-in machine.") +
                       ",\n  \"native_architecture\": 9,\n  \"elevated\": false,\n";
    json += "  \"registry\": [" + w.registry + "\n  ],\n";
    json += "  \"devices\": [" + w.devices + "\n  ],\n";
    json += "  \"files\": [\n"
            "    { \"path\": \"C:\\\\Program Files\\\\Quorvane\\\\Tonvela SDK\\\\qtv_api_core.dll\", \"pe\": { \"machine\": \"0x8664\", \"file_version\": \"1.51.0.0\" } },\n"
            "    { \"path\": \"C:\\\\Program Files\\\\Quorvane\\\\Tonvela SDK\\\\vxlinkapi_x64.dll\", \"pe\": { \"machine\": \"0x8664\", \"file_version\": \"2.4.1.0\" } },\n"
            "    { \"path\": \"C:\\\\Program Files\\\\Quorvane\\\\Tonvela SDK\\\\vxlinkapi_x64.dll.config.ini\", \"text\": \"[DriverInterface]\\r\\nInterfaceGUID={C47D2A19-5E80-4B3F-9A26-81D0E4F3B752}\\r\\n\" }\n"
            "  ],\n";
    json += "  \"sdk\": [ { \"path\": \"C:\\\\Program Files\\\\Quorvane\\\\Tonvela SDK\\\\qtv_api_core.dll\", \"version\": \"0x0151\" } ],\n";
    json += "  \"processes\": [" + processes(rng, process_count) + "\n  ],\n";
    json += "  \"services\": [" + services(rng, service_count) + "\n  ]\n}\n";
    if (w.nodes != nodes) {
        std::cerr << "generator: " << w.nodes << " nodes instead of " << nodes << "\n";
        std::exit(1);
    }
    return json;
}

bool write_one(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

// NAME.json, and its twin NAME.load.json whose last entry (in the loader's
// order, which is the names' order) is unknown: the tool loads the whole
// machine, then refuses it, which times the loading alone.
bool write(const std::string& folder, const std::string& name, const std::string& text) {
    const std::string twin = text.substr(0, text.rfind('}')) + ",\n  \"~load_only\": true\n}\n";
    return write_one(folder + "/" + name + ".json", text) && write_one(folder + "/" + name + ".load.json", twin);
}

// "NAME=NODES,PROGRAMS,PROCESSES,SERVICES"; false when it is not that.
bool parse_spec(const std::string& text, std::string& name, int (&sizes)[4]) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || text.find_first_of("/\\") != std::string::npos) return false;
    name = text.substr(0, eq);
    const char* at = text.c_str() + eq + 1;
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        const long value = std::strtol(at, &end, 10);
        if (end == at || value < 0 || value > 1000000 || *end != (i == 3 ? '\0' : ',')) return false;
        sizes[i] = static_cast<int>(value);
        at = end + 1;
    }
    // The Vantro Q4 needs its four nodes, and the programs list its maker's three.
    return sizes[0] >= 5 && sizes[1] >= 3 && sizes[2] >= 3 && sizes[3] >= 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: vq4_bench_machines OUTPUT_FOLDER [NAME=NODES,PROGRAMS,PROCESSES,SERVICES...]\n";
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;
    if (argc == 2) {
        ok = write(folder, "nodes-100", machine(100, 1000, 1000, 500)) &&
             write(folder, "nodes-1000", machine(1000, 1000, 1000, 500)) &&
             write(folder, "nodes-10000", machine(10000, 1000, 1000, 500)) &&
             write(folder, "programs-3000", machine(100, 3000, 3000, 1500)) &&
             write(folder, "programs-10000", machine(100, 10000, 10000, 5000));
    }
    for (int i = 2; ok && i < argc; ++i) {
        std::string name;
        int sizes[4] = {};
        if (!parse_spec(argv[i], name, sizes)) {
            std::cerr << "vq4_bench_machines: expected NAME=NODES,PROGRAMS,PROCESSES,SERVICES (at least 5,3,3,1), got "
                      << argv[i] << "\n";
            return 2;
        }
        ok = write(folder, name, machine(sizes[0], sizes[1], sizes[2], sizes[3]));
    }
    if (!ok) {
        std::cerr << "vq4_bench_machines: cannot write into " << folder << "\n";
        return 1;
    }
    return 0;
}
