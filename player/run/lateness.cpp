// The timing model's options.  A report fed back is read for the lateness
// percentiles its run measured (ticks.lateness), which a real-clock run
// writes in the very form --timer-lateness takes.
#include "run/lateness.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace player {

bool ParseTimerLateness(Arg& a)
{
    std::string v, why;
    if (!a.Take(&v))
        return false;
    if (!host::ParseLatenessProfile(v, &Own(a).timerLateness, &why))
        return a.Fail("option --timer-lateness: " + why);
    Own(a).timerLatenessFrom = v;
    return true;
}

bool LatenessFromReport(const std::string& json, std::string* percentiles, std::string* error)
{
    nlohmann::json j = nlohmann::json::parse(json, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = "is not a report (JSON)";
        return false;
    }
    const nlohmann::json::json_pointer at("/ticks/lateness");
    if (!j.contains(at) || !j[at].is_string() || j[at].get<std::string>().empty()) {
        *error = "states no tick lateness (ticks.lateness: a report of a run that played, from this player)";
        return false;
    }
    *percentiles = j[at].get<std::string>();
    return true;
}

bool ParseTimerLatenessFrom(Arg& a)
{
    std::string path, text, percentiles, why;
    if (!a.Take(&path))
        return false;
    std::ifstream f(path);
    std::stringstream s;
    if (!f || !(s << f.rdbuf()))
        return a.Fail("option --timer-lateness-from: cannot read '" + path + "'");
    if (!LatenessFromReport(s.str(), &percentiles, &why) ||
        !host::ParseLatenessProfile(percentiles, &Own(a).timerLateness, &why))
        return a.Fail("option --timer-lateness-from: '" + path + "' " + why);
    Own(a).timerLatenessFrom = path;
    return true;
}

bool ParseSeed(Arg& a)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 0);
    if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0)
        return a.Fail("option --seed expects a whole number from 0 to 2^64-1, not '" + v + "'");
    Own(a).seed = n;
    return true;
}

bool CheckTimerLateness(const Options& o, std::string* error)
{
    if (!o.timerLateness.points.empty() && !o.fast) {
        *error = "option --timer-lateness needs --fast: on the real clock the ticks are as late as the machine makes them";
        return false;
    }
    return true;
}

std::string LatenessProfilesHelp()
{
    std::string out;
    for (const host::NamedLatenessProfile& p : host::LatenessProfiles()) {
        out += std::string("      ") + p.name + ": " + p.percentiles + "\n";
        std::istringstream what(p.what);
        for (std::string l; std::getline(what, l);)
            out += "          " + l + "\n";
    }
    return out;
}

}  // namespace player
