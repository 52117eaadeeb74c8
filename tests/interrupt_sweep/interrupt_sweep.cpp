// The interruption sweep: a repair interrupted at every point it changes the
// system, in both ways Windows can interrupt it, must leave a machine the
// tool recovers from.
//
// For each machine file whose run (VQ4_Diag /nopause /fix, elevated) changes
// the system beyond its own report, a clean run records the calls that change
// the system (the trace's "changes"). Then, for every one of them (n) and both
// kinds of interruption (killed, restarted), the binary runs again with the
// machine's "interrupt" setting, which ends the process right after its nth
// change and writes the machine as it was left. Then:
// - the interrupted run's report file holds every line the run printed, whole,
//   also after a restart (what was not written through to the disk is lost);
// - the registry backup, imported over the state that was left (as
//   `reg import` does), gives back every key and value the run had changed or
//   deleted, as it was before its first change;
// - a second run, VQ4_Diag /nopause /fix elevated on the state that was left,
//   ends with the device working (section 8 or, with nothing to repair,
//   sections 3 and 5 without a Fail line beyond those of the uninterrupted
//   run), or with a Warn or Fail line naming the manual step (replug,
//   restart) that makes it work, where the finding is: section 2 (the device
//   not seen), 3 (its MI_03 node missing) or 7 (the repair not finished);
//   never in a dead end. Equal states are run once.
//
// Each machine prints one line: its changes, the points of each kind, the
// distinct states left, how the second runs ended, how the uninterrupted run
// ends, and what the machine cost in seconds; the last line counts machines.
//
// The faults a machine injects belong to the run they were injected into:
// the second run is a new process on the state left, without them.
//
// Usage: vq4_interrupt_sweep --binary PATH --machines DIR|FILE... [--shard K/N]
//        [--sample] [--jobs N] [--timeout SECONDS] [--keep] [--verbose]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/reg_file.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Registry = std::map<std::wstring, std::map<std::wstring, vq4::test::TreeSnapshot::Value>>;

constexpr int kInterruptedExitCode = 9;
const char* const kKinds[] = {"killed", "restarted"};

struct Options {
    fs::path binary;
    std::vector<fs::path> machines;
    unsigned shard = 1, shards = 1;
    bool sample = false;
    unsigned jobs = 2;
    int timeout_s = 60;
    bool keep = false;
    bool verbose = false;
};

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_all(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct RunResult {
    bool timed_out = false;
    bool exited = false;
    int exit_code = -1;
    std::string out, err;
};

// Runs the binary in `dir` on `dir`/<machine> with the arguments; waits at
// most the time-out. The environment is built before fork(): the child only
// calls what is safe in a threaded program's child.
RunResult run_binary(const Options& o, const fs::path& dir, const std::string& machine, bool trace) {
    std::vector<std::string> env_texts = {"VQ4_DIAG_MACHINE=" + (dir / machine).string(), "PATH=/usr/bin:/bin"};
    if (trace) env_texts.push_back("VQ4_DIAG_TRACE=" + (dir / "trace.json").string());
    if (const char* asan = std::getenv("ASAN_OPTIONS")) env_texts.push_back(std::string("ASAN_OPTIONS=") + asan);
    if (const char* ubsan = std::getenv("UBSAN_OPTIONS")) env_texts.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
    std::vector<char*> envp;
    for (std::string& t : env_texts) envp.push_back(t.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_texts = {o.binary.string(), "/nopause", "/fix"};
    std::vector<char*> argv;
    for (std::string& t : arg_texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    const std::string out_path = (dir / (machine + ".stdout")).string();
    const std::string err_path = (dir / (machine + ".stderr")).string();
    const std::string dir_text = dir.string();

    RunResult result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        if (::chdir(dir_text.c_str()) != 0) ::_exit(126);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(o.timeout_s)) {
            result.timed_out = true;
            ::kill(-child, SIGKILL);
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.exited = WIFEXITED(status);
    result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
    result.out = read_all(out_path);
    result.err = read_all(err_path);
    return result;
}

// The files of `dir` whose names start with `prefix`, sorted.
std::vector<fs::path> files_starting(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The registry backups a run left: in the simulated C:\ProgramData beside
// its executable (VQ4_Diag\Backups, or a fresh folder beside it when that one
// could not be trusted), or anywhere else below its folder. Sorted.
std::vector<fs::path> backups_below(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().filename().string().rfind("VQ4_Diag_Backup_", 0) == 0) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// ---- Reports ----

// The report-file bytes that console text stands for: UTF-8 to Latin-1,
// LF to CR LF. False when a character is beyond Latin-1.
bool console_as_report_bytes(const std::string& console, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < console.size();) {
        const auto c = static_cast<unsigned char>(console[i]);
        unsigned code = 0;
        if (c < 0x80) {
            code = c;
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < console.size()) {
            code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(console[i + 1]) & 0x3Fu);
            i += 2;
        } else {
            return false;
        }
        if (code > 0xFF) return false;
        if (code == '\n') bytes += "\r\n";
        else bytes.push_back(static_cast<char>(code));
    }
    return true;
}

std::vector<std::string> report_lines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(at));
            break;
        }
        lines.push_back(bytes.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

bool is_header(const std::string& line) { return line.rfind("==== ", 0) == 0; }
bool starts(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

// How a run on a machine ends for its device.
struct Ending {
    enum Kind { Working, NotWorking } kind = NotWorking;
    std::set<std::string> final_fails;  // Fail lines of the last check of sections 3 and 5
    std::string last_line;              // the last Warn or Fail line of sections 2, 3 and 7
    std::string step_line;              // the last of them that names a manual step
};

// Replug the device, restart the PC (or plug it in: the device not seen).
bool names_manual_step(const std::string& line) {
    for (const char* words : {"replug", "Unplug", "Restart the PC", "restart the PC", "plugged in"}) {
        if (line.find(words) != std::string::npos) return true;
    }
    return false;
}

Ending judge(const std::string& report_bytes) {
    const std::vector<std::string> lines = report_lines(report_bytes);
    Ending e;
    bool has_repair = false, verified = false;
    std::string section;
    std::set<std::string> first_fails, verification_fails;
    for (const std::string& line : lines) {
        if (is_header(line)) {
            if (starts(line, "==== 7. ")) has_repair = true;
            if (starts(line, "==== 8. ")) verified = true;
            section = line;
            continue;
        }
        const bool checked = starts(section, "==== 3. ") || starts(section, "==== 5. ");
        if (starts(line, "[ FAIL ]") && checked) (verified ? verification_fails : first_fails).insert(line);
        // The manual step is named where the finding is: a Warn or Fail line
        // of section 2 (the device not seen), 3 (its interface missing) or
        // 7 (what the repair could not finish).
        if ((starts(line, "[ WARN ]") || starts(line, "[ FAIL ]")) &&
            (starts(section, "==== 2. ") || starts(section, "==== 3. ") || starts(section, "==== 7. "))) {
            e.last_line = line;
            if (names_manual_step(line)) e.step_line = line;
        }
    }
    const bool summary_after_repair =
        std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return starts(l, "==== Summary after repair ===="); });
    if (verified && summary_after_repair) {
        e.kind = Ending::Working;
        e.final_fails = verification_fails;
    } else if (!has_repair) {
        e.kind = Ending::Working;
        e.final_fails = first_fails;
    }
    return e;
}

// ---- Machine states ----

std::wstring upper_wide(const std::string& utf8) {
    std::wstring out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned code = c;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0) code = c & (0x3Fu >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        i += 1 + extra;
        if (code >= 'a' && code <= 'z') code -= 'a' - 'A';
        out.push_back(static_cast<wchar_t>(code));
    }
    return out;
}

std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The registry of a state written by the simulated machine (values as hex).
Registry registry_of(const json& state) {
    Registry registry;
    for (const json& key : state.at("registry")) {
        auto& values = registry[upper_wide(key.at("key").get<std::string>())];
        for (const json& value : key.at("values")) {
            if (!value.contains("hex")) continue;  // a value whose read fails: nothing to restore
            values[upper_wide(value.at("name").get<std::string>())] =
                vq4::test::TreeSnapshot::Value{value.at("type").get<std::uint32_t>(), hex_bytes(value.at("hex").get<std::string>())};
        }
    }
    return registry;
}

bool at_or_below(const std::wstring& key, const std::wstring& root) {
    return key == root || (key.size() > root.size() && key.compare(0, root.size(), root) == 0 && key[root.size()] == L'\\');
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// One registry change of the run: a key deleted (with what is below it) or a value set.
struct RegistryChange {
    std::size_t point = 0;  // its place among the changes (1-based)
    bool tree = false;
    std::wstring key;   // upper-case "HKLM\..."
    std::wstring name;  // upper-case value name
};

std::optional<RegistryChange> registry_change(const json& change, std::size_t point) {
    const std::string op = change.at("op").get<std::string>();
    const std::string args = change.at("args").get<std::string>();
    RegistryChange r;
    r.point = point;
    if (op == "RegDeleteTreeW" || op == "RegDeleteKeyW") {
        r.tree = true;
        r.key = upper_wide(args);
        return r;
    }
    if (op == "RegSetValueExW") {
        // "HKLM\...\Device Parameters, \"Name\""
        const std::size_t quote = args.find(", \"");
        if (quote == std::string::npos) return std::nullopt;
        r.key = upper_wide(args.substr(0, quote));
        r.name = upper_wide(args.substr(quote + 3, args.size() - quote - 4));
        return r;
    }
    return std::nullopt;
}

// What differs, under the change's key or value, between the registry after
// the import and the one before the change.
std::vector<std::string> restore_differences(const Registry& restored, const Registry& before, const RegistryChange& c) {
    std::vector<std::string> problems;
    if (c.tree) {
        std::set<std::wstring> keys;
        for (const auto& [k, v] : restored) if (at_or_below(k, c.key)) keys.insert(k);
        for (const auto& [k, v] : before) if (at_or_below(k, c.key)) keys.insert(k);
        for (const std::wstring& k : keys) {
            const auto a = restored.find(k);
            const auto b = before.find(k);
            if (a == restored.end() || b == before.end()) {
                problems.push_back("key " + narrow(k) + (a == restored.end() ? " not restored" : " left after the restore"));
            } else if (a->second != b->second) {
                problems.push_back("values of " + narrow(k) + " not as before the change");
            }
        }
        return problems;
    }
    const auto value_of = [&](const Registry& r) -> std::optional<vq4::test::TreeSnapshot::Value> {
        const auto key = r.find(c.key);
        if (key == r.end()) return std::nullopt;
        const auto value = key->second.find(c.name);
        if (value == key->second.end()) return std::nullopt;
        return value->second;
    };
    if (value_of(restored) != value_of(before)) {
        problems.push_back("value " + narrow(c.key) + "\\" + narrow(c.name) + " not as before the change");
    }
    return problems;
}

// ---- One machine ----

struct Point {
    std::size_t n = 0;
    int kind = 0;
};

struct PointResult {
    std::vector<std::string> problems;
    std::string state_text;  // the machine left, normalized (empty: none)
};

struct MachineSweep {
    std::string name;
    json machine;                       // as run: elevated, module path in its folder
    std::vector<json> changes;          // the clean run's
    Ending baseline;
    std::vector<Point> points;
    std::vector<PointResult> results;   // parallel to points
    std::map<std::size_t, Registry> killed_states;  // by point (0: as loaded)
    std::string skipped;                // why the machine is not swept
};

json prepared_machine(const fs::path& file) {
    json m = json::parse(read_all(file));
    m["elevated"] = true;
    // The run is the elevated one: its own elevation calls do not fail.
    if (m.contains("faults")) {
        json kept = json::array();
        for (const json& f : m["faults"]) {
            const std::string op = f.at("operation").get<std::string>();
            if (op != "OpenProcessToken" && op != "GetTokenInformation" && op != "ShellExecuteExW" &&
                op != "WaitForSingleObject" && op != "GetExitCodeProcess") {
                kept.push_back(f);
            }
        }
        m["faults"] = kept;
    }
    return m;
}

// A run of `machine` in a fresh folder `dir`, its reports beside the module path there.
RunResult run_in(const Options& o, const fs::path& dir, json machine, bool trace) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    machine["module_path"] = (dir / "VQ4_Diag.exe").string();
    write_all(dir / "machine.json", machine.dump(1));
    return run_binary(o, dir, "machine.json", trace);
}

std::string normalized_state(json state) {
    state.erase("module_path");
    state.erase("description");
    state.erase("faults");
    return state.dump();
}

bool is_file_change(const json& change) {
    const std::string op = change.at("op").get<std::string>();
    return op == "WriteFile" || op == "CreateFileW";
}

// Under the sanitizers: the points of every change of the system proper,
// the file changes right before them, and the first and last change of each
// kind (operation and file); the same on every run.
std::set<std::size_t> sampled_points(const std::vector<json>& changes) {
    std::set<std::size_t> points;
    std::map<std::string, std::pair<std::size_t, std::size_t>> first_last;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const std::size_t n = i + 1;
        std::string kind = changes[i].at("op").get<std::string>();
        if (is_file_change(changes[i])) {
            kind += changes[i].at("args").get<std::string>().find("VQ4_Diag_Backup_") != std::string::npos ? " backup"
                                                                                                           : " report";
        } else {
            points.insert(n);
            if (n > 1) points.insert(n - 1);
        }
        auto [it, fresh] = first_last.try_emplace(kind, n, n);
        if (!fresh) it->second.second = n;
    }
    for (const auto& [kind, fl] : first_last) {
        points.insert(fl.first);
        points.insert(fl.second);
    }
    return points;
}

std::string kind_name(int kind) { return kKinds[kind]; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "missing value after " << a << "\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--binary") o.binary = next();
        else if (a == "--machines") {
            while (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) o.machines.emplace_back(argv[++i]);
        } else if (a == "--shard") {
            const std::string s = next();
            if (std::sscanf(s.c_str(), "%u/%u", &o.shard, &o.shards) != 2 || o.shards == 0 || o.shard == 0 || o.shard > o.shards) {
                std::cerr << "--shard K/N with 1 <= K <= N\n";
                return 2;
            }
        } else if (a == "--sample") o.sample = true;
        else if (a == "--jobs") o.jobs = static_cast<unsigned>(std::max(1, std::stoi(next())));
        else if (a == "--timeout") o.timeout_s = std::stoi(next());
        else if (a == "--keep") o.keep = true;
        else if (a == "--verbose") o.verbose = true;
        else {
            std::cerr << "usage: vq4_interrupt_sweep --binary PATH --machines DIR|FILE... [--shard K/N] [--sample]"
                         " [--jobs N] [--timeout SECONDS] [--keep] [--verbose]\n";
            return 2;
        }
    }
    if (o.binary.empty() || o.machines.empty()) {
        std::cerr << "--binary and --machines are required\n";
        return 2;
    }
    o.binary = fs::absolute(o.binary);

    std::vector<fs::path> files;
    for (const fs::path& p : o.machines) {
        if (fs::is_directory(p)) {
            for (const auto& entry : fs::directory_iterator(p)) {
                if (entry.path().extension() == ".json") files.push_back(entry.path());
            }
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    // Shards take every Nth machine file in name order.
    std::vector<fs::path> mine;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i % o.shards == o.shard - 1) mine.push_back(files[i]);
    }

    const fs::path work = fs::temp_directory_path() / ("vq4_interrupt_sweep_" + std::to_string(::getpid()));
    fs::create_directories(work);

    int passed = 0, failed = 0;
    for (const fs::path& file : mine) {
        const auto started = std::chrono::steady_clock::now();
        MachineSweep sweep;
        sweep.name = file.stem().string();
        const fs::path base = work / sweep.name;
        std::vector<std::string> machine_problems;
        try {
            sweep.machine = prepared_machine(file);
        } catch (const std::exception& e) {
            std::cout << sweep.name << ": FAIL: machine file not read: " << e.what() << "\n";
            ++failed;
            continue;
        }

        // The clean run: its changes, and how it ends.
        const RunResult clean = run_in(o, base / "clean", sweep.machine, true);
        json trace;
        try {
            trace = json::parse(read_all(base / "clean" / "trace.json"));
        } catch (const std::exception&) {
        }
        if (!clean.exited || clean.exit_code > 1 || trace.is_null()) {
            std::cout << sweep.name << ": FAIL: the uninterrupted run did not end normally (exit " << clean.exit_code
                      << ")\n";
            ++failed;
            continue;
        }
        for (const json& c : trace.at("changes")) sweep.changes.push_back(c);
        const bool relaunches = std::any_of(trace.at("calls").begin(), trace.at("calls").end(),
                                            [](const json& c) { return c.at("op") == "ShellExecuteExW"; });
        const bool changes_system =
            std::any_of(sweep.changes.begin(), sweep.changes.end(), [](const json& c) { return !is_file_change(c); });
        if (!changes_system || relaunches) {
            if (o.verbose) {
                std::cout << sweep.name << ": not swept (" << (relaunches ? "repairs in a relaunched instance" : "changes nothing but its report")
                          << ")\n";
            }
            continue;
        }
        {
            const auto reports = files_starting(base / "clean", "VQ4_Diag_Report_");
            sweep.baseline = judge(reports.empty() ? std::string() : read_all(reports.back()));
        }

        // The machine as loaded, the state before the first change.
        {
            json m = sweep.machine;
            m["interrupt"] = {{"after_change", 0}, {"state_file", (base / "p0" / "state.json").string()}};
            const RunResult r = run_in(o, base / "p0", m, false);
            try {
                sweep.killed_states[0] = registry_of(json::parse(read_all(base / "p0" / "state.json")));
            } catch (const std::exception& e) {
                machine_problems.push_back(std::string("no state at start-up: ") + e.what() + " (exit " +
                                           std::to_string(r.exit_code) + ")");
            }
        }

        // The points: all of them, or the sample (plus the points before
        // registry changes, whose states the backup is checked against).
        std::vector<RegistryChange> registry_changes;
        for (std::size_t i = 0; i < sweep.changes.size(); ++i) {
            if (auto r = registry_change(sweep.changes[i], i + 1)) registry_changes.push_back(*r);
        }
        std::set<std::size_t> numbers;
        if (o.sample) {
            numbers = sampled_points(sweep.changes);
        } else {
            for (std::size_t n = 1; n <= sweep.changes.size(); ++n) numbers.insert(n);
        }
        std::set<std::size_t> killed_needed = numbers;
        for (const RegistryChange& c : registry_changes) {
            if (c.point > 1) killed_needed.insert(c.point - 1);
        }
        for (const std::size_t n : killed_needed) sweep.points.push_back({n, 0});
        for (const std::size_t n : numbers) sweep.points.push_back({n, 1});
        sweep.results.resize(sweep.points.size());

        // Phase 1: the interrupted runs, side by side.
        std::atomic<std::size_t> next{0};
        const auto interrupted_run = [&](std::size_t at) {
            const Point p = sweep.points[at];
            PointResult& result = sweep.results[at];
            const fs::path dir = base / ("p" + std::to_string(p.n) + "-" + kind_name(p.kind));
            json m = sweep.machine;
            m["interrupt"] = {{"after_change", p.n}, {"kind", kind_name(p.kind)}, {"state_file", (dir / "state.json").string()}};
            const RunResult r = run_in(o, dir, m, false);
            if (r.timed_out || !r.exited || r.exit_code != kInterruptedExitCode || !r.err.empty()) {
                result.problems.push_back("the interrupted run did not end at its interruption (exit " +
                                          std::to_string(r.exit_code) + (r.timed_out ? ", timed out" : "") +
                                          (r.err.empty() ? "" : ", stderr: " + r.err.substr(0, 200)) + ")");
                return;
            }
            // The report holds every line printed, whole.
            const auto reports = files_starting(dir, "VQ4_Diag_Report_");
            const std::string report = reports.empty() ? std::string() : read_all(reports.front());
            std::string printed;
            if (!console_as_report_bytes(r.out, printed)) {
                result.problems.push_back("console text beyond Latin-1");
            } else if (report != printed) {
                {
                    const std::vector<std::string> a = report_lines(report), b = report_lines(printed);
                    std::size_t same = 0;
                    while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
                    result.problems.push_back("report file holds " + std::to_string(a.size()) + " lines of the " +
                                              std::to_string(b.size()) + " printed; first difference at line " +
                                              std::to_string(same + 1) + ": \"" + (same < b.size() ? b[same] : "") + "\"");
                }
            }
            std::string state_text;
            json state;
            try {
                state_text = read_all(dir / "state.json");
                state = json::parse(state_text);
            } catch (const std::exception& e) {
                result.problems.push_back(std::string("no state written: ") + e.what());
                return;
            }
            result.state_text = normalized_state(state);
        };
        std::vector<std::thread> workers;
        for (unsigned w = 0; w < o.jobs; ++w) {
            workers.emplace_back([&] {
                for (std::size_t at = next++; at < sweep.points.size(); at = next++) interrupted_run(at);
            });
        }
        for (std::thread& t : workers) t.join();
        workers.clear();

        for (std::size_t i = 0; i < sweep.points.size(); ++i) {
            if (sweep.points[i].kind != 0 || sweep.results[i].state_text.empty()) continue;
            sweep.killed_states[sweep.points[i].n] = registry_of(json::parse(sweep.results[i].state_text));
        }

        // The backup check, now that the states before each change are known.
        for (std::size_t i = 0; i < sweep.points.size(); ++i) {
            const Point p = sweep.points[i];
            PointResult& result = sweep.results[i];
            if (result.state_text.empty()) continue;
            const fs::path dir = base / ("p" + std::to_string(p.n) + "-" + kind_name(p.kind));
            std::vector<const RegistryChange*> made;
            std::set<std::pair<std::wstring, std::wstring>> seen;
            for (const RegistryChange& c : registry_changes) {
                if (c.point > p.n) break;
                if (seen.insert({c.key, c.tree ? std::wstring(L"\\") : c.name}).second) made.push_back(&c);
            }
            if (made.empty()) continue;
            Registry restored = registry_of(json::parse(result.state_text));
            for (const fs::path& backup : backups_below(dir)) {
                // A file created but not written yet holds nothing to import
                // (whether that loses anything shows below).
                const std::string bytes = read_all(backup);
                if (bytes.empty()) continue;
                std::string error;
                const auto ops = vq4::test::parse_reg_file(bytes, error);
                if (!error.empty()) {
                    result.problems.push_back("backup " + backup.filename().string() + " not importable: " + error);
                    continue;
                }
                restored = vq4::test::import_reg_ops(restored, ops);
            }
            for (const RegistryChange* c : made) {
                const auto before = sweep.killed_states.find(c->point - 1);
                if (before == sweep.killed_states.end()) {
                    result.problems.push_back("no state before change " + std::to_string(c->point));
                    continue;
                }
                for (const std::string& d : restore_differences(restored, before->second, *c)) {
                    result.problems.push_back("backup imported: " + d);
                }
            }
        }

        // Phase 2: one second run per distinct state left.
        std::map<std::string, std::size_t> state_ids;
        std::vector<std::string> states;
        for (std::size_t i = 0; i < sweep.points.size(); ++i) {
            const std::string& s = sweep.results[i].state_text;
            if (s.empty()) continue;
            if (state_ids.emplace(s, states.size()).second) states.push_back(s);
        }
        std::vector<Ending> endings(states.size());
        std::vector<std::string> ending_problems(states.size());
        next = 0;
        const auto second_run = [&](std::size_t at) {
            const fs::path dir = base / ("s" + std::to_string(at));
            json m = json::parse(states[at]);
            const RunResult r = run_in(o, dir, m, false);
            if (r.timed_out || !r.exited || r.exit_code > 1 || !r.err.empty()) {
                ending_problems[at] = "the second run did not end normally (exit " + std::to_string(r.exit_code) +
                                      (r.err.empty() ? "" : ", stderr: " + r.err.substr(0, 200)) + ")";
                return;
            }
            const auto reports = files_starting(dir, "VQ4_Diag_Report_");
            endings[at] = judge(reports.empty() ? std::string() : read_all(reports.front()));
        };
        for (unsigned w = 0; w < o.jobs; ++w) {
            workers.emplace_back([&] {
                for (std::size_t at = next++; at < states.size(); at = next++) second_run(at);
            });
        }
        for (std::thread& t : workers) t.join();

        // The uninterrupted run's own Fail lines are not the interruption's.
        const std::set<std::string> allowed = sweep.baseline.kind == Ending::Working ? sweep.baseline.final_fails
                                                                                      : std::set<std::string>{};
        int working = 0, manual = 0, bad = 0;
        std::set<std::size_t> per_kind[2];
        for (std::size_t i = 0; i < sweep.points.size(); ++i) {
            const Point p = sweep.points[i];
            if (p.kind == 0 && !numbers.count(p.n)) continue;  // a state for the backup check only
            per_kind[p.kind].insert(p.n);
            PointResult& result = sweep.results[i];
            if (!result.state_text.empty()) {
                const std::size_t id = state_ids.at(result.state_text);
                const Ending& e = endings[id];
                if (!ending_problems[id].empty()) {
                    result.problems.push_back(ending_problems[id]);
                } else if (e.kind == Ending::Working &&
                           std::includes(allowed.begin(), allowed.end(), e.final_fails.begin(), e.final_fails.end())) {
                    ++working;
                } else if (!e.step_line.empty()) {
                    ++manual;
                } else {
                    std::string fail;
                    for (const std::string& f : e.final_fails) {
                        if (!allowed.count(f)) fail = f;
                    }
                    result.problems.push_back("dead end: the device does not work after the second run (" +
                                              (fail.empty() ? std::string("repair not finished") : fail) +
                                              ") and no line names a manual step; last Warn/Fail line: \"" +
                                              e.last_line + "\" (state s" + std::to_string(id) + ")");
                }
            }
            if (!result.problems.empty()) {
                ++bad;
                const json& c = sweep.changes[p.n - 1];
                for (const std::string& problem : result.problems) {
                    machine_problems.push_back("point " + std::to_string(p.n) + " (" + c.at("op").get<std::string>() + " " +
                                               c.at("args").get<std::string>().substr(0, 90) + ", in \"" +
                                               c.at("section").get<std::string>() + "\"), " + kind_name(p.kind) + ": " +
                                               problem);
                }
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const bool ok = machine_problems.empty();
        char cost[32];
        std::snprintf(cost, sizeof cost, "%.1f s", seconds);
        std::cout << sweep.name << ": " << (ok ? "ok" : "FAIL") << ", " << sweep.changes.size() << " changes, "
                  << per_kind[0].size() << " killed + " << per_kind[1].size() << " restarted points"
                  << (o.sample ? " (sample)" : "") << ", " << states.size() << " states left: " << working
                  << " working, " << manual << " with a manual step, " << bad << " failed; uninterrupted run "
                  << (sweep.baseline.kind == Ending::Working ? "works" : !sweep.baseline.step_line.empty() ? "names a manual step" : "ends in a dead end")
                  << "; " << cost << "\n";
        const std::size_t shown = o.verbose ? machine_problems.size() : std::min<std::size_t>(machine_problems.size(), 12);
        for (std::size_t i = 0; i < shown; ++i) std::cout << "    " << machine_problems[i] << "\n";
        if (shown < machine_problems.size()) std::cout << "    ... " << machine_problems.size() - shown << " more\n";
        if (ok) {
            ++passed;
            if (!o.keep) fs::remove_all(base);
        } else {
            ++failed;
        }
    }
    if (!o.keep && failed == 0) fs::remove_all(work);
    else std::cout << "runs kept in " << work.string() << "\n";
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 ? 0 : 1;
}
