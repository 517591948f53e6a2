#include "run/compare.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/report.h"
#include "run/options.h"

namespace player {
namespace {

using Json = nlohmann::ordered_json;

// Where a member belongs: what the run was told (settings), what it
// concluded (verdict), or what it measured (figures).  Members that say how
// this machine ran rather than what played are left out (wall time, CPU,
// memory, the stand-in's backlog), as are the long per-tick and per-bucket
// records, which the figures summarise.
enum class Group { Settings, Verdict, Figures, Skip };

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

Group GroupOf(const std::string& path)
{
    static const char* const kSkip[] = {"/timeline", "/outputs", "/wall_seconds", "/cpu_seconds", "/peak_memory_kb",
                                        "/link/backlog_", "/link/queue_levels", "/headset/levels", "/late_ticks/probe", "/late_ticks/steal",
                                        "/registry",
                                        "/command"};  // the settings themselves are compared member by member
    static const char* const kSettings[] = {
        "/source",           "/clock",           "/timer_thread",    "/timer_lateness",      "/buffers",
        "/config",           "/config_line",     "/faults",          "/headset/buffer_frames", "/headset/start_frames",
        "/headset/ppm",      "/link/codec",      "/link/mtu",        "/link/radio_kbps",     "/link/queue_packets",
        "/link/acl_types",   "/link/flush_timeout_ms", "/link/bitpool/min", "/link/bitpool/max", "/link/bitpool/fixed",
        "/interference",     "/verdict/allowed", "/format_query_refused", "/converted", "/conversion"};
    for (const char* p : kSkip)
        if (StartsWith(path, p))
            return Group::Skip;
    for (const char* p : kSettings)
        if (path == p || StartsWith(path, (std::string(p) + "/").c_str()))
            return Group::Settings;
    if (StartsWith(path, "/verdict") || path == "/result" || path == "/exit_code" || path == "/error" ||
        path == "/bit_exact")
        return Group::Verdict;
    return Group::Figures;
}

// Every leaf by its path; a list of records counts as its length (its
// items are summarised elsewhere), a list of plain values as itself.
void Flatten(const Json& v, const std::string& path, std::map<std::string, Json>* out)
{
    if (v.is_object()) {
        for (const auto& m : v.items())
            Flatten(m.value(), path + "/" + m.key(), out);
    } else if (v.is_array() && !v.empty() && v.front().is_object()) {
        (*out)[path + " (entries)"] = v.size();
    } else {
        (*out)[path] = v;
    }
}

std::string Shown(const Json& v)
{
    return v.is_null() ? "-" : v.is_string() ? v.get<std::string>() : v.dump();
}

// "3290 -> 2876 (-414, -12.6 %)" for numbers; "a -> b" otherwise.
std::string Change(const Json& a, const Json& b)
{
    std::string s = Shown(a) + " -> " + Shown(b);
    if (a.is_number() && b.is_number()) {
        const double x = a.get<double>(), y = b.get<double>();
        const bool whole = a.is_number_integer() && b.is_number_integer();
        s += " (" + std::string(y >= x ? "+" : "") + Fixed(y - x, whole || std::fabs(y - x) >= 100 ? 0 : 3);
        if (x != 0)
            s += ", " + std::string(y >= x ? "+" : "") + Fixed((y - x) / std::fabs(x) * 100, 1) + " %";
        s += ")";
    }
    return s;
}

}  // namespace

bool CompareReportTexts(const std::string& a, const std::string& b, std::string* out, bool* same, std::string* error)
{
    std::map<std::string, Json> fa, fb;
    for (int k = 0; k < 2; ++k) {
        Json j = Json::parse(k ? b : a, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("result")) {
            *error = std::string(k ? "the second" : "the first") + " file is not a player's JSON report";
            return false;
        }
        Flatten(j, "", k ? &fb : &fa);
    }
    std::map<std::string, Json> all = fa;
    all.insert(fb.begin(), fb.end());
    const char* const kTitles[] = {"settings", "verdict", "figures"};
    std::vector<std::string> lines[3];
    for (const auto& m : all) {
        const Group g = GroupOf(m.first);
        if (g == Group::Skip)
            continue;
        const auto ia = fa.find(m.first), ib = fb.find(m.first);
        const Json va = ia == fa.end() ? Json() : ia->second, vb = ib == fb.end() ? Json() : ib->second;
        if (va == vb)
            continue;
        char label[64];
        std::snprintf(label, sizeof label, "  %-36s ", m.first.c_str() + 1);
        lines[static_cast<int>(g)].push_back(label + Change(va, vb));
    }
    *same = lines[0].empty() && lines[1].empty() && lines[2].empty();
    std::ostringstream o;
    if (*same)
        o << "no difference in the settings, the verdict or the figures\n";
    for (int g = 0; g < 3; ++g) {
        if (lines[g].empty())
            continue;
        o << kTitles[g] << ":\n";
        for (const std::string& l : lines[g])
            o << l << "\n";
    }
    *out = o.str();
    return true;
}

int CompareReports(const std::string& pathA, const std::string& pathB)
{
    std::string text[2];
    const std::string paths[2] = {pathA, pathB};
    for (int k = 0; k < 2; ++k) {
        std::ifstream in(paths[k], std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "btwav-play: cannot read '%s'\n", paths[k].c_str());
            return kExitInput;
        }
        text[k] = s.str();
    }
    std::string out, error;
    bool same = false;
    if (!CompareReportTexts(text[0], text[1], &out, &same, &error)) {
        std::fprintf(stderr, "btwav-play: %s ('%s')\n", error.c_str(), error.find("first") != std::string::npos ? pathA.c_str() : pathB.c_str());
        return kExitInput;
    }
    std::printf("Comparing %s with %s\n%s", pathA.c_str(), pathB.c_str(), out.c_str());
    return same ? kExitOk : kExitMismatch;
}

}  // namespace player
