// btwav-run: an unchanged program built against the SDK, run in the world.
//
//   btwav-run [--fast] [--reg FILE] [--define NAME[=VALUE]] [--strings FILE.str]
//             [--set NAME=VALUE] [--driver-dir DIR] [--report FILE.json]
//             [--plot FILE.svg] [--sdk PREFIX] [WORLD OPTIONS] -- PROGRAM [ARGS]
//
// The settings reach the program's start library through the environment
// (CEHOST_CLOCK, CEHOST_REG, CEHOST_DEFINE, CEHOST_STRINGS, CEHOST_SET,
// CEHOST_DRIVER_DIR, CEHOST_WORLD, CEHOST_REPORT, CEHOST_REPORT_JSON,
// CEHOST_PLOT, CEHOST_HEARD; docs/sdk.md); the world's options and the
// registry's settings are checked here first with the same parsers, so a
// bad one stops before the program runs.  The player's options that a
// program cannot be given are refused, each with its reason.  At its end
// the runner prints the program's report with the program's own exit
// status in it, and exits by the player's precedence:
// the program's own status when it is not 0 (a signal's 128+N, a failure),
// 6 when the program wrote no report (it did not start the platform, or
// died; 124 when it hung on the self-moving clock), then the listener's verdict (7 gaps, 8 overflows, 9 posts refused
// or lost, unless --allow relaxes it), else 0.
//
// A 32-bit program (the ARM and x86 SDKs') runs under the emulator its SDK
// names (the pkg-config variable `emulator` of the SDK's cehost.pc, given
// with --sdk PREFIX or found through PKG_CONFIG_PATH): qemu-arm, or the x86
// SDK's i386-run, which runs it natively where the kernel can and under
// qemu-i386 where it cannot.  Its start library has the same world and
// option table, so the report is the same as a native program's.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "appsettings.h"
#include "report/report.h"
#include "world/options.h"

namespace {

const int kExitUsage = 2;
const int kExitPlayback = 6;
const int kExitHung = 124;   // the host's exit for a hung program on the self-moving clock (host/clock.h)

struct RunOptions {
    bool fast = false;
    std::string reg, json, plot, sdk, driverDir;
    std::string defines, sets, strings;   // CEHOST_DEFINE, CEHOST_SET, CEHOST_STRINGS
    std::vector<std::string> world;   // the world's options as given, word by word
    std::vector<std::string> program;
};

void Usage(FILE* out)
{
    std::fputs("usage: btwav-run [--fast] [--reg FILE] [--define NAME[=VALUE]] [--strings FILE.str]\n"
               "                 [--set NAME=VALUE] [--driver-dir DIR] [--report FILE.json] [--plot FILE.svg]\n"
               "                 [--sdk PREFIX] [the player's link and listener options] -- PROGRAM [ARGS]\n"
               "Runs PROGRAM (built against the SDK) with the link, radio, headset and listener,\n"
               "and prints the player's report of the run with the program's exit status.\n"
               "Exit status: the program's own when not 0; 6 when it wrote no report; then 7 (gaps),\n"
               "8 (overflows), 9 (posts refused or lost) unless --allow relaxes them; else 0.\n",
               out);
}

// A word of CEHOST_WORLD: quoted when it holds a blank or a quote.
std::string Quoted(const std::string& word)
{
    if (word.find_first_of(" \t\n'\"") == std::string::npos && !word.empty())
        return word;
    std::string q = word.find('\'') == std::string::npos ? "'" : "\"";
    return q + word + q;
}

// The player's options that a program run in the world cannot be given, and
// why: its own application's, and what the SDK has no variable for.
const char* Unavailable(const std::string& name)
{
    for (const char* own : {"--buffers", "--buffer-size", "--refill", "--length", "--loop", "--pause", "--reset",
                            "--wav", "--sbc", "--packets", "--play-out", "--compare", "--sweep"})
        if (name == own)
            return "the player's own application's: the program's buffers, audio and files are its own";
    for (const char* none : {"--fault", "--timer-lateness", "--timer-lateness-from", "--seed", "--late-ticks",
                             "--codepage", "--registry-dump"})
        if (name == none)
            return "not available to a program: the SDK has no variable for it";
    return nullptr;
}

// The registry's settings, checked word by word as the start library reads them.
bool TakeSetting(const std::string& name, const std::string& value, RunOptions* o)
{
    std::string error;
    std::map<std::string, std::string> defines;
    cehostapp::RegistrySets sets;
    const bool ok = name == "--define" ? cehostapp::ParseDefineWord(value, &defines, &error)
                    : name == "--set"  ? cehostapp::ParseSetWord(value, &sets, &error)
                                       : true;
    // The variables separate words by blanks (CEHOST_DEFINE) and files by ':'
    // (CEHOST_STRINGS): a value holding its separator cannot pass.
    const char* separator = name == "--strings" ? ":" : " \t\n";
    const char* variable = name == "--strings" ? "CEHOST_STRINGS" : "CEHOST_DEFINE";
    if (ok && value.find_first_of(separator) != std::string::npos)
        error = name + ": '" + value + "' holds a separator of " + variable + " and cannot be passed";
    if (!error.empty()) {
        std::fprintf(stderr, "btwav-run: %s\n", error.c_str());
        return false;
    }
    std::string& to = name == "--define" ? o->defines : name == "--set" ? o->sets : o->strings;
    to += (to.empty() ? "" : name == "--strings" ? ":" : " ") + value;
    return true;
}

bool TakeValue(int argc, char** argv, int* i, const std::string& name, std::string* value)
{
    if (*i + 1 >= argc) {
        std::fprintf(stderr, "btwav-run: option %s needs a value\n", name.c_str());
        return false;
    }
    *value = argv[++*i];
    return true;
}

// The runner's own options, and the world's passed on word by word (their
// values checked by the world's parser afterwards).
bool Parse(int argc, char** argv, RunOptions* o)
{
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--fast") {
            o->fast = true;
        } else if (a == "-h" || a == "--help") {
            Usage(stdout);
            std::exit(0);
        } else if (a == "--reg" || a == "--report" || a == "--plot" || a == "--sdk" || a == "--driver-dir") {
            std::string* to = a == "--reg"      ? &o->reg
                              : a == "--report" ? &o->json
                              : a == "--plot"   ? &o->plot
                              : a == "--sdk"    ? &o->sdk
                                                : &o->driverDir;
            if (!TakeValue(argc, argv, &i, a, to))
                return false;
        } else if (a == "--define" || a == "--set" || a == "--strings") {
            std::string value;
            if (!TakeValue(argc, argv, &i, a, &value) || !TakeSetting(a, value, o))
                return false;
        } else if (const char* why = Unavailable(a.substr(0, a.find('=')))) {
            std::fprintf(stderr, "btwav-run: option %s is %s\n", a.substr(0, a.find('=')).c_str(), why);
            return false;
        } else {
            // A world option: its name, and its value when the table says it takes one.
            const std::string name = a.substr(0, a.find('='));
            const player::OptionEntry* entry = nullptr;
            for (const auto* table : {&player::WorldLinkOptions(), &player::WorldListenerOptions()})
                for (const player::OptionEntry& e : *table)
                    if (player::EntryHasName(e, name))
                        entry = &e;
            if (!entry) {
                std::fprintf(stderr, "btwav-run: unknown option '%s' (the program comes after --)\n", a.c_str());
                return false;
            }
            o->world.push_back(a);
            const bool takesValue = entry->arg[0] != '\0' && entry->arg[0] != '[' && a.find('=') == std::string::npos;
            if (takesValue && i + 1 < argc)
                o->world.push_back(argv[++i]);
        }
    }
    for (; i < argc; ++i)
        o->program.push_back(argv[i]);
    if (o->program.empty()) {
        std::fputs("btwav-run: no program to run (give it after --)\n", stderr);
        return false;
    }
    return true;
}

// The emulator a 32-bit program runs under: the SDK's cehost.pc names it.
// The program is looked for as execvp would (a bare name on PATH).
std::vector<std::string> Emulator(const RunOptions& o)
{
    std::string path = o.program[0];
    if (path.find('/') == std::string::npos) {
        const char* env = std::getenv("PATH");
        std::istringstream dirs(env ? env : "");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (access((dir + "/" + path).c_str(), X_OK) == 0) {
                path = dir + "/" + path;
                break;
            }
    }
    std::ifstream f(path, std::ios::binary);
    unsigned char h[20] = {};
    f.read(reinterpret_cast<char*>(h), sizeof h);
    const bool elf32 = f && std::memcmp(h, "\x7f" "ELF", 4) == 0 && h[4] == 1;
    if (!elf32 || sizeof(void*) == 4)   // a program of the runner's own kind runs as it is
        return {};
    std::string command = "pkg-config --variable=emulator cehost";
    if (!o.sdk.empty())
        command = "PKG_CONFIG_PATH='" + o.sdk + "/lib/pkgconfig' " + command;
    std::vector<std::string> words;
    if (FILE* p = popen(command.c_str(), "r")) {
        char line[4096] = {};
        if (std::fgets(line, sizeof line, p)) {
            std::istringstream in(line);
            std::string w;
            while (in >> w)
                words.push_back(w);
        }
        pclose(p);
    }
    if (words.empty())
        std::fprintf(stderr, "btwav-run: '%s' is a 32-bit program and no SDK names its emulator (give --sdk PREFIX, "
                     "or PKG_CONFIG_PATH with its lib/pkgconfig); running it as it is\n", o.program[0].c_str());
    return words;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The program's report: the text after its first two lines, with the
// program's exit status put under its heading; the JSON gets it too.
std::string Finish(const std::string& textPath, const std::string& jsonPath, int status)
{
    std::string text = ReadAll(textPath);
    size_t blank = text.find("\n\n");
    if (blank == std::string::npos)
        return "";
    text = text.substr(blank + 2);
    size_t heading = text.find('\n');
    if (heading != std::string::npos)
        text.insert(heading + 1, "  program exit    " + std::to_string(status) + "\n");
    if (!jsonPath.empty()) {
        std::ifstream in(jsonPath);
        nlohmann::ordered_json j = nlohmann::ordered_json::parse(in, nullptr, false);
        if (!j.is_discarded()) {
            j["program_exit"] = status;
            std::ofstream(jsonPath) << player::LayOutJson(j.dump());
        }
    }
    return text;
}

// The listener's exit code from the program's JSON report (0 when it has none).
int VerdictCode(const std::string& jsonPath)
{
    std::ifstream in(jsonPath);
    nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.contains("verdict") || !j["verdict"].contains("code"))
        return 0;
    return j["verdict"]["code"].get<int>();
}

}  // namespace

int main(int argc, char** argv)
{
    RunOptions o;
    if (!Parse(argc, argv, &o)) {
        Usage(stderr);
        return kExitUsage;
    }
    std::string world;
    for (const std::string& w : o.world)
        world += (world.empty() ? "" : " ") + Quoted(w);
    player::WorldOptions checked;
    std::string error;
    if (!player::ParseWorldOptions(world, &checked, &error)) {
        std::fprintf(stderr, "btwav-run: %s\n", error.c_str());
        return kExitUsage;
    }
    char dir[] = "/tmp/btwav-run.XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("btwav-run: mkdtemp");
        return kExitPlayback;
    }
    const std::string textPath = std::string(dir) + "/report.txt";
    const std::string jsonPath = o.json.empty() ? std::string(dir) + "/report.json" : o.json;
    setenv("CEHOST_WORLD", world.c_str(), 1);
    setenv("CEHOST_REPORT", textPath.c_str(), 1);
    setenv("CEHOST_REPORT_JSON", jsonPath.c_str(), 1);
    setenv("CEHOST_CLOCK", o.fast ? "virtual-auto" : "real", 1);
    if (!o.reg.empty())
        setenv("CEHOST_REG", o.reg.c_str(), 1);
    const std::pair<const char*, const std::string*> settings[] = {
        {"CEHOST_DEFINE", &o.defines}, {"CEHOST_SET", &o.sets}, {"CEHOST_STRINGS", &o.strings},
        {"CEHOST_DRIVER_DIR", &o.driverDir}};
    for (const auto& s : settings)
        if (!s.second->empty())
            setenv(s.first, s.second->c_str(), 1);
    if (!o.plot.empty())
        setenv("CEHOST_PLOT", o.plot.c_str(), 1);
    std::vector<std::string> command = Emulator(o);
    command.insert(command.end(), o.program.begin(), o.program.end());
    std::vector<char*> args;
    for (std::string& c : command)
        args.push_back(&c[0]);
    args.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        execvp(args[0], args.data());
        std::fprintf(stderr, "btwav-run: cannot run '%s': %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    const std::string report = Finish(textPath, o.json, status);
    const int verdict = VerdictCode(jsonPath);
    unlink(textPath.c_str());
    if (o.json.empty())
        unlink(jsonPath.c_str());
    rmdir(dir);
    if (report.empty() && o.fast && status == kExitHung) {
        std::fprintf(stderr, "btwav-run: '%s' hung: every thread waited for ever (each wait above); no report\n",
                     o.program[0].c_str());
        return status;
    }
    if (report.empty()) {
        std::fprintf(stderr, "btwav-run: '%s' (exit %d) wrote no report: it did not start the platform, or died\n",
                     o.program[0].c_str(), status);
        return status != 0 ? status : kExitPlayback;
    }
    std::fputs(report.c_str(), stdout);
    // The player's precedence: a signal's 128+N or the program's own failure
    // first, then what the listener heard.
    return status != 0 ? status : verdict;
}
