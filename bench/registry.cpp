// The registry readers on a large board file: a generated 50 MB .reg file
// with the constructs boards use (keys, strings, dwords, string lists, hex
// lists, #if blocks, $(NAME) variables, comments) loaded as the player's
// --reg loads it, against a bare read of the same file split into lines,
// both measured in this run.  The load runs in a child process, this
// program run again, so that its peak memory is its own: VmHWM, the
// high-water mark of the child's own address space.  (A forked child's
// resident set starts as its parent's, and getrusage's ru_maxrss carries
// over the address space a process had before exec, so neither alone
// would do.)  Prints the rows of scripts/bench's table.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

const size_t kTargetBytes = 50u << 20;

void Generate(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::string block;
    size_t written = 0;
    std::fputs("; A generated board file\r\n#define BSP_NAME Bench\r\n", f);
    for (unsigned n = 0; written < kTargetBytes; ++n) {
        char id[16];
        std::snprintf(id, sizeof id, "%05u", n);
        block = std::string("; driver ") + id + "\r\n"
                "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Driver" + id + "]\r\n"
                "   \"Dll\"=\"driver" + id + ".dll\"\r\n"
                "   \"Prefix\"=\"DRV\"\r\n"
                "   \"Index\"=dword:1\r\n"
                "   \"Order\"=dword:20            ; after the bus drivers\r\n"
                "   \"IClass\"=multi_sz:\"{A32942B7-920C-486b-B0E6-92A702A99B35}\",\r\n"
                "                     \"{37168569-61C4-45fd-BD54-9442C7DBA46F}\"\r\n"
                "   \"Config\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,\\\r\n"
                "            11,12,13,14,15,16,17,18\r\n"
                "#if $(LOCALE)==0411\r\n"
                "   \"FriendlyName\"=\"Japanese driver " + id + "\"\r\n"
                "#else\r\n"
                "   \"FriendlyName\"=\"Driver " + id + " of $(BSP_NAME)\"\r\n"
                "#endif\r\n";
        std::fwrite(block.data(), 1, block.size(), f);
        written += block.size();
    }
    std::fclose(f);
}

// The bare read: the whole file, split into lines, and nothing else.
double BareSeconds(const std::string& path, size_t* lines)
{
    auto t0 = Clock::now();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::string text;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    std::vector<std::string> split;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        split.emplace_back(text, start, end - start);
        start = end + 1;
    }
    *lines = split.size();
    return Seconds(t0, Clock::now());
}

struct Loaded {
    double seconds = 0;
    long peakKb = 0;
    long maxrssKb = 0;   // what ru_maxrss says, shown for comparison
    bool ok = false;
};

// This process's peak resident memory in kB: VmHWM; 0 when /proc cannot be read.
long OwnPeakKb()
{
    long kb = 0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f) && std::sscanf(line, "VmHWM: %ld kB", &kb) != 1) {
        }
        std::fclose(f);
    }
    return kb;
}

// The child: loads the file, checks one value and writes its peak to `fd`.
int LoadAndReport(const std::string& path, int fd)
{
    host::RegLoadOptions options;
    options.defines["LOCALE"] = "0409";
    std::string error;
    if (!host::RegistryLoadFile(path, &error, options)) {
        std::fprintf(stderr, "registry_bench: %s\n", error.c_str());
        return 1;
    }
    uint32_t index = 0;
    if (!host::RegistryGetDword("Drivers\\BuiltIn\\Driver00000", "Index", &index) || index != 1)
        return 2;
    const std::string peak = std::to_string(OwnPeakKb());
    return write(fd, peak.data(), peak.size()) == static_cast<ssize_t>(peak.size()) ? 0 : 3;
}

// The load, in a child of its own: its wall time (the start of a small
// program included) and peak resident memory.
Loaded LoadInChild(const std::string& path)
{
    Loaded r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execl("/proc/self/exe", "registry_bench", "--load", path.c_str(), fd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[32] = {};
    size_t got = 0;
    for (ssize_t n; got < sizeof buf - 1 && (n = read(fds[0], buf + got, sizeof buf - 1 - got)) > 0;)
        got += static_cast<size_t>(n);
    close(fds[0]);
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    r.seconds = Seconds(t0, Clock::now());
    r.peakKb = std::atol(buf);
    r.maxrssKb = ru.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && r.peakKb > 0;
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--load") == 0)
        return LoadAndReport(argv[2], std::atoi(argv[3]));
    const bool header = argc > 1 && std::strcmp(argv[1], "--header") == 0;
    char dirTemplate[] = "/tmp/btwav-regbench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir)
        return 1;
    const std::string path = std::string(dir) + "/big.reg";
    std::fprintf(stderr, "registry: generating %zu MB...\n", kTargetBytes >> 20);
    Generate(path);
    size_t lines = 0;
    BareSeconds(path, &lines);   // warms the page cache
    const double bare = BareSeconds(path, &lines);
    const Loaded load = LoadInChild(path);
    std::remove(path.c_str());
    rmdir(dir);
    if (!load.ok) {
        std::fprintf(stderr, "registry_bench: the load failed\n");
        return 1;
    }
    const double ratio = load.seconds / bare;
    const double peakMb = load.peakKb / 1024.0;
    std::fprintf(stderr, "  %zu lines: load %.2f s, bare %.3f s, ratio %.1fx, peak %.0f MB (ru_maxrss says %.0f MB)\n",
                 lines, load.seconds, bare, ratio, peakMb, load.maxrssKb / 1024.0);
    if (header)
        std::printf("| figure | measured | bare | ratio | goal | met |\n|---|---|---|---|---|---|\n");
    std::printf("| registry: a 50 MB .reg file loaded (%zu lines) | %.2f s | %.3f s | %.1fx | <= 20x | %s |\n", lines,
                load.seconds, bare, ratio, ratio <= 20 ? "yes" : "**no**");
    std::printf("| registry: the load's peak memory | %.0f MB | - | - | < 300 MB | %s |\n", peakMb,
                peakMb < 300 ? "yes" : "**no**");
    return 0;
}
