// zelfin-bench: what Zelfin itself costs per reader in an unattended update.
//
// For each reader count it makes a lab of the NT family with that many SCSI-family readers, each
// a volume with a drive letter of its own (the plug-in reaches a reader through its volume, so a
// lab PC holds at most 22 of them beside its system drive), builds one image that fits them all and
// runs zelfin without windows on it, at a large time scale so that the simulated waits of the
// readers cost nothing. The CPU time of that process is the whole run. The plug-in's share is
// measured apart: a child process loads KPLMORA.DLL as the host does and makes the same calls on
// a fresh copy of the lab (list, check, filter, one download per reader with its backup, destroy).
// The host's share is the difference. Both are printed per reader.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#define KPL_DECLARE_ENTRY_POINTS
#include <plugin-api/kpl.h>
#include <winsim/windows.h>

#include <nlohmann/json.hpp>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

extern char** environ;

namespace {

struct Options {
    std::vector<int> counts{2, 8, 22};
    std::string timeScale = "100000";
    int repeat = 3;
    fs::path bin;
};

double cpuMs(const rusage& u) {
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Runs a program in `dir` with `env` added; returns its exit status and CPU time.
int run(const std::vector<std::string>& argv, const fs::path& dir, const std::vector<std::string>& env, double* ms,
        bool quiet = true) {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
        if (quiet) {
            std::FILE* null = std::freopen("/dev/null", "w", stdout);
            (void)null;
            null = std::freopen("/dev/null", "w", stderr);
            (void)null;
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return -1;
    if (ms) *ms = cpuMs(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool tool(const Options& o, const std::vector<std::string>& args, const fs::path& dir) {
    std::vector<std::string> argv = {(o.bin / args[0]).string()};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return run(argv, dir, {}, nullptr) == 0;
}

// The drive letters a reader can have in a lab: C: is the system drive, Z: the host's own files.
constexpr char kReaderLetters[] = "DEFGHIJKLMNOPQRSTUVWXY";
constexpr int kMaxReaders = sizeof kReaderLetters - 1;

// A PC of the NT family with its system disk and `count` readers on targets 1 to 15, a second
// LUN once every target has one.
bool makeLab(const Options& o, const fs::path& lab, int count) {
    json devices = json::array();
    devices.push_back({{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}, {"target", 0}});
    for (int n = 0; n < count; ++n)
        devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-" + std::to_string(n)},
                           {"drive", std::string(1, kReaderLetters[n])}, {"target", 1 + n % 15}, {"lun", n / 15}});
    const json scenario = {{"devices", devices}};
    const fs::path file = lab.parent_path() / "scenario.json";
    std::ofstream(file) << scenario.dump(2);
    fs::remove_all(lab);
    if (tool(o, {"zelfin-lab", "init", lab.string(), "--scenario", file.string()}, lab.parent_path())) return true;
    std::fprintf(stderr, "zelfin-bench: zelfin-lab cannot make a lab with %d readers\n", count);
    return false;
}

size_t countIn(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- the plug-in alone, in a child process --------------------------------------------------

void quietLogger(const char* format, ...) {
    // Formats as the host would, so that the plug-in's lines cost what they cost there.
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

template <class F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The calls the host makes in a configured run; exit status 0 when every reader took the image.
int pluginOnly(int count) {
    HMODULE module = LoadLibraryA("KPLMORA.DLL");
    if (!module) return 10;
    auto logger = entry<KPLInitializeLogger_t>(module, "KPLInitializeLogger");
    auto create = entry<KPLCreateDeviceInfoList_t>(module, "KPLCreateDeviceInfoList");
    auto valid = entry<KPLIsBinaryValid_t>(module, "KPLIsBinaryValid");
    auto filter = entry<KPLFilterDeviceInfoSet_t>(module, "KPLFilterDeviceInfoSet");
    auto download = entry<KPLDownloadFirmware_t>(module, "KPLDownloadFirmware");
    auto destroy = entry<KPLDestroyDeviceInfoList_t>(module, "KPLDestroyDeviceInfoList");
    if (!logger || !create || !valid || !filter || !download || !destroy) return 11;
    logger(&quietLogger);
    static DeviceInfoList list;
    if (create(&list, "Zelfin.cfg") != 0) return 12;
    if (valid("fw.bin") != 0 || filter(&list, "fw.bin", 1, 0) != 0) return 13;
    int written = 0;
    for (int i = 0; i < KPL_MAX_DEVICES && list.entries[i].name[0]; ++i) {
        if (!list.entries[i].selected) continue;
        char backup[64];
        std::snprintf(backup, sizeof backup, "backup-%d.bin", i);
        volatile int32_t never = 0;
        if (download(&list, static_cast<uint8_t>(i), backup, "fw.bin", nullptr, &never) == 0) ++written;
    }
    destroy(&list);
    FreeLibrary(module);
    return written == count ? 0 : 14;
}

int pluginRun(const fs::path& work, const fs::path& lab, const std::string& timeScale, int count, double* ms) {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::chdir(work.c_str()) != 0) ::_exit(126);
        ::setenv("ZELFIN_LAB", lab.c_str(), 1);
        ::setenv("ZELFIN_TIME_SCALE", timeScale.c_str(), 1);
        ::_exit(pluginOnly(count));
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return -1;
    *ms = cpuMs(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- one reader count --------------------------------------------------------------------

struct Measure {
    double total = 0;
    double plugin = 0;
};

bool measure(const Options& o, int count, Measure* best) {
    const fs::path dir = fs::temp_directory_path() / ("zelfin-bench-" + std::to_string(::getpid()));
    const fs::path lab = dir / "lab";
    const fs::path work = dir / "work";
    fs::remove_all(dir);
    fs::create_directories(work);
    fs::copy_file(o.bin / "KPLMORA.DLL", work / "KPLMORA.DLL");
    if (!tool(o, {"zelfin-image", "build", (work / "fw.bin").string(), "--family", "scsi", "--type", "0", "--version",
                  "2.10", "--feature", "1"},
              work) ||
        !tool(o, {"zelfin-config", "write", (work / "Zelfin.cfg").string(), "--option", "GUI=no", "--option",
                  "BACKUP=yes", "--download", "fw.bin"},
              work)) {
        std::fprintf(stderr, "zelfin-bench: cannot prepare the image and the configuration\n");
        return false;
    }
    const std::vector<std::string> env = {"ZELFIN_LAB=" + lab.string(), "ZELFIN_UI=headless",
                                          "ZELFIN_TIME_SCALE=" + o.timeScale};
    for (int r = 0; r < o.repeat; ++r) {
        Measure m;
        if (!makeLab(o, lab, count)) return false;
        run({(o.bin / "zelfin").string()}, work, env, &m.total);
        const std::string log = readFile(lab / "drive_c" / "Zelfin.log");
        if (countIn(log, "Download Completed Successfully") != static_cast<size_t>(count)) {
            std::fprintf(stderr, "zelfin-bench: %d readers: the run did not update every reader; see %s\n", count,
                         (lab / "drive_c" / "Zelfin.log").c_str());
            return false;
        }
        if (!makeLab(o, lab, count)) return false;
        const int rc = pluginRun(work, lab, o.timeScale, count, &m.plugin);
        if (rc != 0) {
            std::fprintf(stderr, "zelfin-bench: %d readers: the plug-in alone failed (%d)\n", count, rc);
            return false;
        }
        // The least of the repetitions: what the work costs without a busy neighbour.
        if (r == 0 || m.total < best->total) best->total = m.total;
        if (r == 0 || m.plugin < best->plugin) best->plugin = m.plugin;
    }
    fs::remove_all(dir);
    return true;
}

const char kUsage[] =
    "Usage: zelfin-bench [--readers N,N,...] [--repeat N] [--time-scale X] | --help | --version\n"
    "\n"
    "Runs the same unattended update over labs with the given numbers of SCSI-family readers\n"
    "(default 2,8,22; at most 22, one drive letter each) and prints the CPU time of the whole zelfin process, of the plug-in alone,\n"
    "and of the host (the difference), per reader. Each figure is the least of --repeat runs\n"
    "(default 3). The lab runs --time-scale times faster than real time (default 100000), so\n"
    "the readers' simulated waits cost nothing.\n"
    "Exit codes: 0 done, 1 a run failed, 2 wrong usage.\n";

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.bin = fs::canonical("/proc/self/exe").parent_path();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--readers" && hasValue) {
            o.counts.clear();
            std::stringstream list(argv[++i]);
            for (std::string n; std::getline(list, n, ',');) o.counts.push_back(std::atoi(n.c_str()));
        } else if (a == "--repeat" && hasValue) {
            o.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--time-scale" && hasValue) {
            o.timeScale = argv[++i];
        } else if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zelfin-bench %s\n", ZELFIN_VERSION);
            return 0;
        } else {
            const bool known = a == "--readers" || a == "--repeat" || a == "--time-scale";
            std::fprintf(stderr, "zelfin-bench: %s '%s'\n\n%s", known ? "no value after" : "unknown argument",
                         a.c_str(), kUsage);
            return 2;
        }
    }
    for (int n : o.counts) {
        if (n < 1 || n > kMaxReaders) {
            std::fprintf(stderr, "zelfin-bench: reader counts are 1 to %d (one drive letter each)\n", kMaxReaders);
            return 2;
        }
    }
    std::printf("%8s %12s %12s %12s %14s %14s\n", "readers", "zelfin ms", "plug-in ms", "host ms", "host/reader",
                "plug-in/reader");
    std::fflush(stdout);  // the children must not inherit it unwritten
    for (int n : o.counts) {
        Measure m;
        if (!measure(o, n, &m)) return 1;
        const double host = std::max(0.0, m.total - m.plugin);
        std::printf("%8d %12.1f %12.1f %12.1f %14.2f %14.2f\n", n, m.total, m.plugin, host, host / n, m.plugin / n);
        std::fflush(stdout);
    }
    return 0;
}
