// Runs the benchmark's measurements and prints them as Markdown tables.
//
//   vq4_bench linux RUNS EXE LABEL=MACHINE_FILE...
//       The Linux tool (EXE, in a folder of its own: its reports land there
//       and are deleted after each run) with /nopause on each machine file
//       ("-" for the built-in machine). Median wall time, median CPU time
//       (user + system) and peak resident memory of the child, from wait4.
//       A machine file X.json may have a twin X.load.json that ends in an
//       unknown entry: the tool loads the whole machine, then refuses it with
//       exit code 2, which gives the cost of loading the file alone.
//   vq4_bench options RUNS EXE LABEL|MACHINE_FILE|ARGUMENTS[|ARGUMENTS_WITHOUT]...
//       What an option costs: the Linux tool (EXE, in a folder of its own, as
//       above; the JSON reports and captures are deleted too) with ARGUMENTS
//       (words separated by spaces) on the machine file ("-" for the built-in
//       machine), each run alternating with a run with ARGUMENTS_WITHOUT.
//       Median CPU times and callgrind's instructions of both, and their
//       ratios. Without ARGUMENTS_WITHOUT, the run alone.
//   vq4_bench wine RUNS WINE EXE TRIVIAL_EXE IMPORTS_EXE
//       The Windows tool (EXE, /nopause /nofix) under Wine in the prefix of
//       the environment, each run followed by a start of TRIVIAL_EXE, in
//       alternation, so that drift of the machine's load cancels. The ratio
//       is (tool run - prescribed pauses) / trivial start, per pair.
//   vq4_bench growth LIMIT EXE PARALLEL LABEL=MACHINE_FILE...
//       The growth check (scripts/growth-check.sh): instructions of the Linux
//       tool under callgrind on each machine file and on its load-only twin,
//       PARALLEL runs at a time. Labels give a kind and a size, three sizes
//       or more per kind in increasing order; exits 1 when the instructions
//       per added item of a step exceed the previous step's more than LIMIT
//       times (see run_growth). Also the peak memory of loading each twin
//       (wait4, outside callgrind) per byte the file grew by: flat within
//       LIMIT from step to step, and at most kMemoryPerFileByte.
//   vq4_bench exe OBJDUMP EXE...
//       Each exe's size and its imported DLLs.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Sample {
    double wall_ms = 0;
    double cpu_ms = 0;
    long peak_kb = 0;
    int exit_code = -1;
};

struct Launch {
    std::vector<std::string> argv;
    std::map<std::string, std::optional<std::string>> env;  // nullopt: unset
    std::string directory;
    std::string stderr_file;  // empty: /dev/null
};

[[noreturn]] void die(const std::string& what) {
    std::cerr << "vq4_bench: " << what << "\n";
    std::exit(1);
}

double now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Starts the program with standard input and output on /dev/null.
pid_t spawn(const Launch& launch) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (launch.env.count(name) == 0) env_text.push_back(entry);
    }
    for (const auto& [name, value] : launch.env) {
        if (value) env_text.push_back(name + "=" + *value);
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = launch.argv;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) die(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        // The load-only runs' refusal and Wine's chatter go nowhere.
        const int error_out = launch.stderr_file.empty()
                                  ? null
                                  : open(launch.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(error_out, STDERR_FILENO);
        if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return child;
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Runs the program and waits for it; wait4 gives exactly this child's CPU
// time and peak memory.
Sample run(const Launch& launch) {
    const double start = now_ms();
    const pid_t child = spawn(launch);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) die(std::string("wait4: ") + std::strerror(errno));
    Sample s;
    s.wall_ms = now_ms() - start;
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0; };
    s.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
    s.peak_kb = usage.ru_maxrss;
    s.exit_code = exit_code_of(status);
    return s;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::vector<fs::path> files_in(const fs::path& folder, const std::vector<std::string>& prefixes) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        for (const std::string& prefix : prefixes) {
            if (name.rfind(prefix, 0) == 0) {
                found.push_back(entry.path());
                break;
            }
        }
    }
    return found;
}

// The text report, and its JSON twin with /json.
std::vector<fs::path> reports_in(const fs::path& folder) { return files_in(folder, {"VQ4_Diag_Report_"}); }

// Removes what a run wrote beside the tool: its reports and, with /capture,
// its machine capture. Left in place, they would make the next run pick a
// "_2" name, which is other work. Returns how many there were.
std::size_t remove_reports(const fs::path& folder) {
    const std::vector<fs::path> written = files_in(folder, {"VQ4_Diag_Report_", "VQ4_Diag_Machine_"});
    for (const fs::path& file : written) fs::remove(file);
    return written.size();
}

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- Linux ----

// A replay writes into its current directory: each run of the Linux tool
// starts in the tool's folder, so the machine file is named absolutely.
std::string machine_argument(const std::string& machine) {
    return machine == "-" ? machine : fs::absolute(machine).string();
}

struct Row {
    std::string label;
    std::string machine;  // "-": the built-in machine
    std::vector<Sample> samples;
    std::vector<Sample> load_samples;  // the machine file alone
    std::optional<double> instructions;  // callgrind's count of one run
    double wall() const {
        std::vector<double> v;
        for (const Sample& s : samples) v.push_back(s.wall_ms);
        return median(v);
    }
    double cpu() const {
        std::vector<double> v;
        for (const Sample& s : samples) v.push_back(s.cpu_ms);
        return median(v);
    }
    std::optional<double> load_cpu() const {
        if (load_samples.empty()) return std::nullopt;
        std::vector<double> v;
        for (const Sample& s : load_samples) v.push_back(s.cpu_ms);
        return median(v);
    }
    long peak_kb() const {
        long peak = 0;
        for (const Sample& s : samples) peak = std::max(peak, s.peak_kb);
        return peak;
    }
};

// Instructions of one run under callgrind (VQ4_BENCH_VALGRIND names
// valgrind): a count that the machine's other load does not change, so that
// the growth from one size to the next shows exactly.
std::optional<double> count_instructions(Launch launch, const fs::path& folder) {
    const char* valgrind = std::getenv("VQ4_BENCH_VALGRIND");
    if (valgrind == nullptr || *valgrind == '\0') return std::nullopt;
    const fs::path log = folder / "callgrind.txt";
    launch.argv.insert(launch.argv.begin(), {valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null"});
    launch.stderr_file = log.string();
    run(launch);
    remove_reports(folder);
    const std::string text = read_text(log);
    fs::remove(log);
    const std::size_t at = text.find("Collected : ");
    if (at == std::string::npos) die("callgrind gave no count:\n" + text);
    return std::atof(text.c_str() + at + std::strlen("Collected : "));
}

// "nodes-1000.json" -> 1000; 0 when the name carries no number.
long size_of(const std::string& label) {
    const std::size_t digit = label.find_first_of("0123456789");
    return digit == std::string::npos ? 0 : std::atol(label.c_str() + digit);
}

int run_linux(int runs, const std::string& exe, const std::vector<std::string>& row_texts) {
    const fs::path folder = fs::path(exe).parent_path();
    std::vector<Row> rows;
    for (const std::string& text : row_texts) {
        const std::size_t eq = text.find('=');
        if (eq == std::string::npos) die("expected LABEL=MACHINE_FILE, got " + text);
        Row row{text.substr(0, eq), machine_argument(text.substr(eq + 1)), {}, {}, std::nullopt};
        Launch launch{{exe, "/nopause"},
                      {{"VQ4_DIAG_MACHINE", std::nullopt}, {"VQ4_DIAG_SIM_ELEVATED", std::nullopt}},
                      folder.string(),
                      ""};
        if (row.machine != "-") launch.env["VQ4_DIAG_MACHINE"] = row.machine;
        run(launch);  // warm the page cache
        remove_reports(folder);
        for (int i = 0; i < runs; ++i) {
            const Sample s = run(launch);
            remove_reports(folder);
            if (s.exit_code != 0 && s.exit_code != 1) die(row.label + ": exit code " + std::to_string(s.exit_code));
            row.samples.push_back(s);
        }
        row.instructions = count_instructions(launch, folder);
        if (row.machine != "-") {
            std::string load_file = row.machine;
            load_file.replace(load_file.rfind(".json"), 5, ".load.json");
            if (fs::exists(load_file)) {
                launch.env["VQ4_DIAG_MACHINE"] = load_file;
                for (int i = 0; i < runs; ++i) {
                    const Sample s = run(launch);
                    if (s.exit_code != 2) die(row.label + ": the load-only machine gave exit code " + std::to_string(s.exit_code));
                    row.load_samples.push_back(s);
                }
            }
        }
        rows.push_back(std::move(row));
    }

    const auto millions = [](const std::optional<double>& count) {
        return count ? fixed(*count / 1e6, 1) + " M" : std::string("-");
    };
    std::cout << "| Machine (`/nopause`) | Wall, median | CPU, median | Peak memory | Instructions | Machine file alone: CPU, median |\n"
              << "|---|---:|---:|---:|---:|---:|\n";
    for (const Row& row : rows) {
        const auto load = row.load_cpu();
        std::cout << "| " << row.label << " | " << fixed(row.wall(), 1) << " ms | " << fixed(row.cpu(), 1) << " ms | "
                  << fixed(static_cast<double>(row.peak_kb()) / 1024.0, 1) << " MB | " << millions(row.instructions)
                  << " | " << (load ? fixed(*load, 1) + " ms" : std::string("-")) << " |\n";
    }

    // Growth between sizes of the same kind: cost per added item, and how
    // the per-item cost of one step compares with the previous step's.
    std::cout << "\n| Growth | Size | Wall | CPU | CPU per added item | vs previous step | Instructions per added item | vs previous step |\n"
              << "|---|---:|---:|---:|---:|---:|---:|---:|\n";
    double previous_per_item = 0, previous_instructions_per_item = 0;
    std::string previous_kind;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const Row& a = rows[i - 1];
        const Row& b = rows[i];
        const std::string kind_a = a.label.substr(0, a.label.find_first_of("0123456789"));
        const std::string kind_b = b.label.substr(0, b.label.find_first_of("0123456789"));
        const long na = size_of(a.label), nb = size_of(b.label);
        if (kind_a != kind_b || na == 0 || nb <= na) continue;
        const double added = static_cast<double>(nb - na);
        const double per_item = (b.cpu() - a.cpu()) * 1000.0 / added;
        const bool same_kind = previous_kind == kind_b;
        std::cout << "| " << a.label << " -> " << b.label << " | x" << fixed(static_cast<double>(nb) / static_cast<double>(na), 1)
                  << " | x" << fixed(b.wall() / a.wall(), 2) << " | x" << fixed(b.cpu() / a.cpu(), 2) << " | "
                  << fixed(per_item, 2) << " us | "
                  << (same_kind && previous_per_item > 0 ? "x" + fixed(per_item / previous_per_item, 2) : std::string("-"))
                  << " | ";
        double instructions_per_item = 0;
        if (a.instructions && b.instructions) {
            instructions_per_item = (*b.instructions - *a.instructions) / added;
            std::cout << fixed(instructions_per_item / 1000.0, 1) << " k | "
                      << (same_kind && previous_instructions_per_item > 0
                              ? "x" + fixed(instructions_per_item / previous_instructions_per_item, 2)
                              : std::string("-"));
        } else {
            std::cout << "- | -";
        }
        std::cout << " |\n";
        previous_per_item = per_item;
        previous_instructions_per_item = instructions_per_item;
        previous_kind = kind_b;
    }
    return 0;
}

// ---- Options ----

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::vector<std::string> split_fields(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t bar = text.find('|'); bar != std::string::npos; bar = text.find('|', start)) {
        fields.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

struct Variant {
    std::vector<std::string> arguments;
    std::vector<Sample> samples;
    std::optional<double> instructions;
    double cpu() const {
        std::vector<double> v;
        for (const Sample& s : samples) v.push_back(s.cpu_ms);
        return median(v);
    }
};

struct OptionRow {
    std::string label;
    std::string machine;  // "-": the built-in machine
    Variant with;
    std::optional<Variant> without;  // none: the run alone, no comparison
};

// What an option costs: each run with it alternates with the same run
// without it, so that drift of the machine's load falls on both alike. The
// run with the option must write more files than the run without it (the
// JSON report, the capture): otherwise the option did not take effect.
int run_options(int runs, const std::string& exe, const std::vector<std::string>& row_texts) {
    const fs::path folder = fs::path(exe).parent_path();
    std::vector<OptionRow> rows;
    for (const std::string& text : row_texts) {
        const std::vector<std::string> fields = split_fields(text);
        if (fields.size() != 3 && fields.size() != 4) {
            die("expected LABEL|MACHINE_FILE|ARGUMENTS[|ARGUMENTS_WITHOUT], got " + text);
        }
        OptionRow row{fields[0], machine_argument(fields[1]), {split_words(fields[2]), {}, std::nullopt}, std::nullopt};
        if (fields.size() == 4) row.without = Variant{split_words(fields[3]), {}, std::nullopt};
        const auto launch_of = [&](const Variant& variant) {
            Launch launch{{exe}, {{"VQ4_DIAG_MACHINE", std::nullopt}, {"VQ4_DIAG_SIM_ELEVATED", std::nullopt}}, folder.string(), ""};
            launch.argv.insert(launch.argv.end(), variant.arguments.begin(), variant.arguments.end());
            if (row.machine != "-") launch.env["VQ4_DIAG_MACHINE"] = row.machine;
            return launch;
        };
        // One run: its sample, and how many files it wrote (removed after it).
        const auto measure = [&](Variant& variant) {
            remove_reports(folder);
            const Sample s = run(launch_of(variant));
            const std::size_t written = remove_reports(folder);
            if (s.exit_code != 0 && s.exit_code != 1) die(row.label + ": exit code " + std::to_string(s.exit_code));
            variant.samples.push_back(s);
            return written;
        };
        run(launch_of(row.with));  // warm the page cache
        remove_reports(folder);
        for (int i = 0; i < runs; ++i) {
            const std::size_t without_wrote = row.without ? measure(*row.without) : 0;
            const std::size_t with_wrote = measure(row.with);
            if (with_wrote == 0) die(row.label + ": the run wrote no report");
            if (row.without && with_wrote <= without_wrote) {
                die(row.label + ": the run with the option wrote no more files than the run without it");
            }
        }
        row.with.instructions = count_instructions(launch_of(row.with), folder);
        if (row.without) row.without->instructions = count_instructions(launch_of(*row.without), folder);
        rows.push_back(std::move(row));
    }

    const auto millions = [](const std::optional<double>& count) {
        return count ? fixed(*count / 1e6, 1) + " M" : std::string("-");
    };
    const auto arguments = [](const Variant& variant) {
        std::string text;
        for (const std::string& a : variant.arguments) text += (text.empty() ? "" : " ") + a;
        return "`" + text + "`";
    };
    std::cout << "| Machine | Run | CPU, median | Instructions | Against | CPU, median | Instructions | CPU ratio | Instructions ratio |\n"
              << "|---|---|---:|---:|---|---:|---:|---:|---:|\n";
    for (const OptionRow& row : rows) {
        std::cout << "| " << row.label << " | " << arguments(row.with) << " | " << fixed(row.with.cpu(), 1) << " ms | "
                  << millions(row.with.instructions) << " | ";
        if (!row.without) {
            std::cout << "- | - | - | - | - |\n";
            continue;
        }
        const Variant& without = *row.without;
        std::cout << arguments(without) << " | " << fixed(without.cpu(), 1) << " ms | " << millions(without.instructions)
                  << " | " << (without.cpu() > 0 ? "x" + fixed(row.with.cpu() / without.cpu(), 2) : std::string("-"))
                  << " | "
                  << (row.with.instructions && without.instructions
                          ? "x" + fixed(*row.with.instructions / *without.instructions, 2)
                          : std::string("-"))
                  << " |\n";
    }
    return 0;
}

// ---- Growth check ----

// The most memory loading a machine file may take per byte of the file
// (docs/machine-file.md); VQ4_GROWTH_MEMORY_PER_BYTE sets another.
constexpr double kMemoryPerFileByte = 40;

// One callgrind run of the growth check.
struct CountJob {
    std::string machine;  // machine file
    bool load_only = false;  // the twin: the tool must refuse it with exit code 2
    double instructions = 0;
};

// Counts the instructions of every job under callgrind, `parallel` at a time,
// each slot running its own copy of the tool (in a folder of its own, so that
// reports written in the same second do not meet).
void count_all(std::vector<CountJob>& jobs, const std::string& exe, int parallel) {
    const char* valgrind = std::getenv("VQ4_BENCH_VALGRIND");
    if (valgrind == nullptr || *valgrind == '\0') die("VQ4_BENCH_VALGRIND names no valgrind");
    const fs::path base = fs::path(exe).parent_path();
    std::vector<fs::path> slots;
    for (int i = 0; i < parallel; ++i) {
        const fs::path folder = base / ("slot-" + std::to_string(i));
        fs::create_directories(folder);
        fs::copy_file(exe, folder / fs::path(exe).filename(), fs::copy_options::overwrite_existing);
        slots.push_back(folder);
    }
    std::map<pid_t, std::pair<std::size_t, std::size_t>> running;  // pid -> (job, slot)
    std::vector<std::size_t> free_slots;
    for (std::size_t i = slots.size(); i-- > 0;) free_slots.push_back(i);
    std::size_t next = 0;
    while (next < jobs.size() || !running.empty()) {
        while (next < jobs.size() && !free_slots.empty()) {
            const std::size_t slot = free_slots.back();
            free_slots.pop_back();
            const fs::path folder = slots[slot];
            Launch launch{{valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null",
                           (folder / fs::path(exe).filename()).string(), "/nopause"},
                          {{"VQ4_DIAG_MACHINE", jobs[next].machine}, {"VQ4_DIAG_SIM_ELEVATED", std::nullopt}},
                          folder.string(),
                          (folder / "callgrind.txt").string()};
            running[spawn(launch)] = {next, slot};
            ++next;
        }
        int status = 0;
        const pid_t done = waitpid(-1, &status, 0);
        if (done < 0) die(std::string("waitpid: ") + std::strerror(errno));
        const auto found = running.find(done);
        if (found == running.end()) continue;
        const auto [job_at, slot] = found->second;
        running.erase(found);
        CountJob& job = jobs[job_at];
        const int code = exit_code_of(status);
        const std::string text = read_text(slots[slot] / "callgrind.txt");
        remove_reports(slots[slot]);
        if (job.load_only ? code != 2 : (code != 0 && code != 1)) {
            die(job.machine + ": exit code " + std::to_string(code) + " under callgrind:\n" + text);
        }
        const std::size_t at = text.find("Collected : ");
        if (at == std::string::npos) die(job.machine + ": callgrind gave no count:\n" + text);
        job.instructions = std::atof(text.c_str() + at + std::strlen("Collected : "));
        free_slots.push_back(slot);
    }
}

// The tool's instructions on machines of one kind at three sizes or more
// (labels "nodes-50", "nodes-550", ...): per item added from one size to the
// next, the fixed cost of a run cancels out. A linear cost gives the same
// count per added item at every step; a quadratic one gives a count that
// grows with the sizes of the step. Fails when a step's count per added item
// exceeds the previous step's by more than `limit` times, for the run or for
// the machine file alone.
int run_growth(double limit, double memory_limit, const std::string& exe, int parallel,
               const std::vector<std::string>& row_texts) {
    struct GrowthRow {
        std::string label, kind;
        long size = 0;
        std::size_t run_job = 0, load_job = 0;
        std::string load_file;
        double load_bytes = 0;    // the load-only twin's size
        double load_peak_bytes = 0;  // the peak memory of loading it
    };
    std::vector<GrowthRow> rows;
    std::vector<CountJob> jobs;
    for (const std::string& text : row_texts) {
        const std::size_t eq = text.find('=');
        if (eq == std::string::npos) die("expected LABEL=MACHINE_FILE, got " + text);
        GrowthRow row;
        row.label = text.substr(0, eq);
        row.kind = row.label.substr(0, row.label.find_first_of("0123456789"));
        row.size = size_of(row.label);
        std::string machine = machine_argument(text.substr(eq + 1));
        std::string load_file = machine;
        const std::size_t json = load_file.rfind(".json");
        if (json == std::string::npos) die(machine + ": not a .json machine file");
        load_file.replace(json, 5, ".load.json");
        if (!fs::exists(machine) || !fs::exists(load_file)) die(machine + " or its twin " + load_file + " is missing");
        if (!rows.empty() && rows.back().kind == row.kind && row.size <= rows.back().size) {
            die(row.label + ": the sizes of a kind must increase");
        }
        row.load_file = load_file;
        row.load_bytes = static_cast<double>(fs::file_size(load_file));
        row.run_job = jobs.size();
        jobs.push_back({machine, false, 0});
        row.load_job = jobs.size();
        jobs.push_back({load_file, true, 0});
        rows.push_back(row);
    }
    count_all(jobs, exe, parallel);
    // Peak memory of loading each twin, outside callgrind (whose own memory
    // would drown it): the least of three runs, from wait4.
    for (GrowthRow& row : rows) {
        long least_kb = 0;
        for (int i = 0; i < 3; ++i) {
            const Sample s = run(Launch{{exe, "/nopause"},
                                        {{"VQ4_DIAG_MACHINE", row.load_file}, {"VQ4_DIAG_SIM_ELEVATED", std::nullopt}},
                                        fs::path(exe).parent_path().string(),
                                        ""});
            if (s.exit_code != 2) die(row.load_file + ": the load-only machine gave exit code " + std::to_string(s.exit_code));
            least_kb = i == 0 ? s.peak_kb : std::min(least_kb, s.peak_kb);
        }
        row.load_peak_bytes = static_cast<double>(least_kb) * 1024.0;
    }

    std::cout << "| Machine (`/nopause`) | Instructions | Machine file alone |\n|---|---:|---:|\n";
    for (const GrowthRow& row : rows) {
        std::cout << "| " << row.label << " | " << fixed(jobs[row.run_job].instructions / 1e6, 1) << " M | "
                  << fixed(jobs[row.load_job].instructions / 1e6, 1) << " M |\n";
    }
    std::cout << "\n| Step | Run: instructions per added item | vs previous step | Machine file alone: per added item | vs previous step |\n"
              << "|---|---:|---:|---:|---:|\n";
    std::vector<std::string> failures;
    std::size_t steps_compared = 0;
    double previous_run = 0, previous_load = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const GrowthRow& a = rows[i - 1];
        const GrowthRow& b = rows[i];
        if (a.kind != b.kind) {
            previous_run = previous_load = 0;
            continue;
        }
        const double added = static_cast<double>(b.size - a.size);
        const double run = (jobs[b.run_job].instructions - jobs[a.run_job].instructions) / added;
        const double load = (jobs[b.load_job].instructions - jobs[a.load_job].instructions) / added;
        std::cout << "| " << a.label << " -> " << b.label << " | " << fixed(run / 1000.0, 1) << " k | ";
        const auto compare = [&](double now, double before, const std::string& what) {
            if (before <= 0) return std::string("-");
            const double ratio = now / before;
            if (ratio > limit) {
                failures.push_back(what + " " + a.label + " -> " + b.label + ": x" + fixed(ratio, 2) +
                                   " the previous step's instructions per added item");
            }
            return "x" + fixed(ratio, 2);
        };
        const bool first_step = previous_run == 0;
        std::cout << compare(run, previous_run, "run") << " | " << fixed(load / 1000.0, 1) << " k | "
                  << compare(load, previous_load, "machine file alone") << " |\n";
        if (run <= 0 || load <= 0) {
            die(a.label + " -> " + b.label + ": the larger machine cost no more instructions; choose sizes further apart");
        }
        if (!first_step) ++steps_compared;
        previous_run = run;
        previous_load = load;
    }
    // Memory: the peak of loading the machine file alone, per byte the file
    // grew by. Flat from one step to the next (the same limit), and never
    // above the multiple of its size that docs/machine-file.md promises.
    std::cout << "\n| Step | Machine file alone: bytes added | Peak memory added | Per byte of file | vs previous step |\n"
              << "|---|---:|---:|---:|---:|\n";
    double previous_per_byte = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const GrowthRow& a = rows[i - 1];
        const GrowthRow& b = rows[i];
        if (a.kind != b.kind) {
            previous_per_byte = 0;
            continue;
        }
        const double bytes = b.load_bytes - a.load_bytes;
        const double per_byte = (b.load_peak_bytes - a.load_peak_bytes) / bytes;
        std::string versus = "-";
        if (previous_per_byte > 0) {
            const double ratio = per_byte / previous_per_byte;
            versus = "x" + fixed(ratio, 2);
            if (ratio > limit) {
                failures.push_back("memory of the machine file alone " + a.label + " -> " + b.label + ": x" +
                                   fixed(ratio, 2) + " the previous step's peak memory per added byte");
            }
        }
        if (per_byte > memory_limit) {
            failures.push_back("memory of the machine file alone " + a.label + " -> " + b.label + ": " +
                               fixed(per_byte, 1) + " bytes per added byte, above " + fixed(memory_limit, 0));
        }
        std::cout << "| " << a.label << " -> " << b.label << " | " << fixed(bytes / 1e6, 2) << " MB | "
                  << fixed((b.load_peak_bytes - a.load_peak_bytes) / 1e6, 2) << " MB | " << fixed(per_byte, 1) << " | "
                  << versus << " |\n";
        previous_per_byte = per_byte > 0 ? per_byte : 0;
    }
    std::cout << "\n";
    if (steps_compared == 0) die("no kind has three sizes: nothing to compare");
    if (!failures.empty()) {
        for (const std::string& failure : failures) std::cout << "FAIL: " << failure << " (limit x" << fixed(limit, 2) << ")\n";
        std::cout << "Growth check failed: the cost per added item grows with the machine's size.\n";
        return 1;
    }
    std::cout << "Growth check passed: " << steps_compared << " step(s) compared, none above x" << fixed(limit, 2)
              << " the previous step's instructions per added item or peak memory per added byte of machine file;"
              << " loading at most " << fixed(memory_limit, 0) << " bytes per byte of file.\n";
    return 0;
}

// ---- Wine ----

struct Scenario {
    std::string label;
    std::map<std::string, std::optional<std::string>> env;
    double prescribed_ms;          // the pauses the tool must make in this run
    std::string expected_line;     // a report line that shows the scenario took place
};

int run_wine(int runs, const std::string& wine, const std::string& exe, const std::string& trivial,
             const std::string& imports) {
    const fs::path folder = fs::path(exe).parent_path();
    const std::map<std::string, std::optional<std::string>> no_env;
    const Launch trivial_start{{wine, trivial}, no_env, folder.string(), ""};

    const std::vector<Scenario> scenarios = {
        {"SDK registered, no device: 100 polls, 100 x 30 ms", {{"QTVTEST_DEVICES", std::nullopt}}, 3000.0,
         "Device detection by the SDK: 100 attempt(s) out of 100 (~3000 ms)."},
        {"SDK registered, device found at the first poll, no pause",
         {{"QTVTEST_DEVICES",
           "0;2A7D;5E3C;0151;QV4A1B2C3D;Vantro Q4;\\\\?\\usb#vid_2a7d&pid_5e3c&mi_03#6&1#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}"}},
         0.0, "Device detection by the SDK: 1 attempt(s) out of 100 (~30 ms)."},
    };
    struct Reference {
        std::string label;
        Launch launch;
        double nominal_ms;
    };
    const std::vector<Reference> references = {
        {"trivial exe + 100 x Sleep(30) (the platform's own pause cost)", {{wine, trivial, "100", "30"}, no_env, folder.string(), ""}, 3000.0},
        {"trivial exe importing the tool's system DLLs (their load cost)", {{wine, imports}, no_env, folder.string(), ""}, 0.0},
        {"the same, listing USB nodes, processes and services as a run does (the platform's cost of those calls)",
         {{wine, imports, "lists"}, no_env, folder.string(), ""}, 0.0},
    };

    // Warm the wineserver and the page cache.
    for (int i = 0; i < 3; ++i) run(trivial_start);

    std::cout << "| Run under Wine | Run, median | Prescribed pauses | Trivial exe start, median | Ratio (run - pauses) / trivial, median of pairs |\n"
              << "|---|---:|---:|---:|---:|\n";
    const auto measure = [&](const std::string& label, const Launch& launch, double pause_ms,
                             const std::string& expected_line) {
        std::vector<double> times, trivials, ratios;
        for (int i = 0; i < runs; ++i) {
            const Sample t = run(trivial_start);
            const Sample s = run(launch);
            if (!expected_line.empty()) {
                const std::vector<fs::path> reports = reports_in(folder);
                if (reports.size() != 1) die(label + ": expected one report, found " + std::to_string(reports.size()));
                if (read_text(reports.front()).find(expected_line) == std::string::npos) {
                    die(label + ": the report lacks \"" + expected_line + "\"");
                }
                remove_reports(folder);
                if (s.exit_code != 0 && s.exit_code != 1) die(label + ": exit code " + std::to_string(s.exit_code));
            } else if (s.exit_code != 0) {
                die(label + ": exit code " + std::to_string(s.exit_code));
            }
            times.push_back(s.wall_ms);
            trivials.push_back(t.wall_ms);
            ratios.push_back((s.wall_ms - pause_ms) / t.wall_ms);
        }
        std::cout << "| " << label << " | " << fixed(median(times), 1) << " ms | " << fixed(pause_ms, 0) << " ms | "
                  << fixed(median(trivials), 1) << " ms | " << fixed(median(ratios), 2) << " |\n";
    };
    for (const Scenario& scenario : scenarios) {
        Launch launch{{wine, exe, "/nopause", "/nofix"}, scenario.env, folder.string(), ""};
        remove_reports(folder);
        run(launch);  // warm-up
        remove_reports(folder);
        measure("VQ4_Diag.exe, " + scenario.label, launch, scenario.prescribed_ms, scenario.expected_line);
    }
    for (const Reference& reference : references) {
        measure(reference.label, reference.launch, reference.nominal_ms, "");
    }
    return 0;
}

// ---- The exe ----

void describe_exe(const std::string& objdump, const std::string& exe) {
    struct stat info{};
    if (stat(exe.c_str(), &info) != 0) die("cannot read " + exe);
    const std::string command = "'" + objdump + "' -p '" + exe + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) die("cannot run " + objdump);
    std::vector<std::string> dlls;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const char* at = std::strstr(line, "DLL Name: ");
        if (at == nullptr) continue;
        std::string name = at + std::strlen("DLL Name: ");
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' ')) name.pop_back();
        dlls.push_back(name);
    }
    if (pclose(pipe) != 0) die(objdump + " failed");
    std::string list;
    for (const std::string& dll : dlls) list += (list.empty() ? "" : ", ") + dll;
    std::cout << "| " << fs::path(exe).filename().string() << " | "
              << fixed(static_cast<double>(info.st_size) / (1024.0 * 1024.0), 2) << " MB (" << info.st_size
              << " bytes) | " << list << " |\n";
}

int run_exe(const std::string& objdump, const std::vector<std::string>& exes) {
    std::cout << "| Exe | Size | Imported DLLs |\n|---|---:|---|\n";
    for (const std::string& exe : exes) describe_exe(objdump, exe);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 4 && args[0] == "linux") {
        return run_linux(std::atoi(args[1].c_str()), fs::absolute(args[2]).string(), std::vector<std::string>(args.begin() + 3, args.end()));
    }
    if (args.size() >= 4 && args[0] == "options") {
        return run_options(std::atoi(args[1].c_str()), fs::absolute(args[2]).string(), std::vector<std::string>(args.begin() + 3, args.end()));
    }
    if (args.size() == 6 && args[0] == "wine") {
        return run_wine(std::atoi(args[1].c_str()), args[2], args[3], args[4], args[5]);
    }
    if (args.size() >= 5 && args[0] == "growth") {
        const double limit = std::atof(args[1].c_str());
        const int parallel = std::atoi(args[3].c_str());
        if (limit <= 1.0 || parallel < 1) die("growth: LIMIT above 1 and PARALLEL of 1 or more");
        const char* memory = std::getenv("VQ4_GROWTH_MEMORY_PER_BYTE");
        const double memory_limit = memory != nullptr && *memory != '\0' ? std::atof(memory) : kMemoryPerFileByte;
        return run_growth(limit, memory_limit, fs::absolute(args[2]).string(), parallel, std::vector<std::string>(args.begin() + 4, args.end()));
    }
    if (args.size() >= 3 && args[0] == "exe") {
        return run_exe(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    std::cerr << "usage: vq4_bench linux RUNS EXE LABEL=MACHINE_FILE...\n"
                 "       vq4_bench options RUNS EXE LABEL|MACHINE_FILE|ARGUMENTS[|ARGUMENTS_WITHOUT]...\n"
                 "       vq4_bench wine RUNS WINE EXE TRIVIAL_EXE IMPORTS_EXE\n"
                 "       vq4_bench growth LIMIT EXE PARALLEL LABEL=MACHINE_FILE...\n"
                 "       vq4_bench exe OBJDUMP EXE...\n";
    return 2;
}
