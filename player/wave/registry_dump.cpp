#include "wave/registry_dump.h"

#include <cstdio>

#include "host/registry.h"
#include "run/failure.h"
#include "wave/bootorder.h"
#include "wave/driverread.h"
#include "wave/registry_setup.h"
#include "wave/regtext.h"

namespace player {
namespace {

void Section(std::string* out, const char* title, const std::vector<std::string>& lines)
{
    if (lines.empty())
        return;
    *out += std::string("; ") + title + "\n";
    for (const std::string& l : lines)
        *out += ";   " + l + "\n";
}

}  // namespace

int DumpRegistry(const Options& o)
{
    RegistrySetup setup;
    std::string error;
    bool ok = SetUpRegistry(o, &setup, &error);
    for (const std::string& w : setup.warnings)
        std::fprintf(stderr, "btwav-play: warning: %s\n", w.c_str());
    if (!ok) {
        std::fprintf(stderr, "btwav-play: %s\n", error.c_str());
        return kExitRegistry;
    }
    const std::vector<std::string> bootOrder = BootOrderLines();
    // What the driver read: it says so when its pump starts.
    PacingConfig used;
    std::string line;
    std::vector<std::string> read;
    if (StartDriverToRead(o, &used, &line, &error)) {
        read.push_back(line);
        WarnAgainstRegistry(used, &setup.warnings);
    } else {
        read.push_back("nothing: " + error);
    }
    const host::RegLoadReport& r = setup.shaped;
    std::string out = "; The registry as the device boots with it (this text is UTF-8), from:\n";
    Section(&out, "files", r.files.empty() ? std::vector<std::string>{"none (the driver's entry and defaults only)"}
                                           : host::RegTexts(r.files));
    Section(&out, "string files", r.stringFiles);
    Section(&out, "encodings", r.encodings);
    Section(&out, "variables", host::RegTexts(r.variables));
    // Not "; @CESYSGEN ...": the dump loads back, and that would be a filter line.
    Section(&out, "components (@CESYSGEN)", host::RegTexts(r.components));
    Section(&out, "strings", r.strings);
    Section(&out, "skipped", host::RegTexts(r.skipped));
    Section(&out, "messages", r.messages);
    std::vector<std::string> sets;
    for (const auto& s : o.sets)
        sets.push_back(s.first + "=" + std::to_string(s.second) + " (--set)");
    Section(&out, "set", sets);
    Section(&out, "warnings", setup.warnings);
    Section(&out, "drivers in the order the device manager loads them", bootOrder);
    Section(&out, "the driver printed as it started", read);
    Section(&out, "left out", {std::string("HKEY_LOCAL_MACHINE\\") + kBootKeys +
                               " (the device manager makes its keys at boot)"});
    std::fputs(out.c_str(), stdout);
    // Written a key at a time: the text names each key by its whole path, so
    // a registry of deep keys lists far more than it holds.
    for (host::RegRoot root : kRegistryRootOrder)
        host::RegistryVisit(root, [](host::RegRoot r, const std::string& path,
                                     const std::vector<host::RegistryValueView>& values) {
            const std::string key = FormatRegistryKey(r, path, values);
            std::fwrite(key.data(), 1, key.size(), stdout);
        });
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitOutput;
}

}  // namespace player
