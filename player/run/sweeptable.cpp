// A sweep's table: one row a run, read back from the run's JSON report, so
// that a sweep run here and reports merged from anywhere give one table.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "run/optiontable.h"
#include "run/sweep.h"

namespace player {

namespace {

using Json = nlohmann::ordered_json;

// Words a row's command keeps out of its settings and its line: where this
// run's report went and how quietly, which says nothing of what played.
bool Incidental(const std::string& name)
{
    return name == "--report" || name == "-q" || name == "--quiet";
}

// The options of a run's command by name (without dashes; --set NAME=V by
// the registry value's name), a flag as "yes", a repeated option's values
// joined by ';'; and the command that reproduces the run.
void ReadCommand(const Json& command, SweepRow* row)
{
    std::vector<std::string> args;
    for (const Json& a : command)
        if (a.is_string())
            args.push_back(a.get<std::string>());
    std::string line = "btwav-play";
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        const OptionEntry* e = name.size() > 1 && name[0] == '-' ? FindOption(name) : nullptr;
        const bool takesValue = e && e->arg[0] != '\0' && e->arg[0] != '[';
        if (takesValue && !inlineValue && i + 1 < args.size())
            value = args[++i];
        if (Incidental(name))
            continue;
        line += " " + (inlineValue || !takesValue ? args[i] : name + " " + value);
        std::string key = e ? name.substr(name.find_first_not_of('-')) : "input";
        if (!e)
            value = name;
        else if (!takesValue && !inlineValue)
            value = "yes";
        if (name == "--set" && value.find('=') != std::string::npos) {
            key = value.substr(0, value.find('='));
            value = value.substr(value.find('=') + 1);
        }
        std::string& slot = row->settings[key];
        slot += (slot.empty() ? "" : ";") + value;
    }
    row->command = line;
}

std::string Num(double v, int decimals)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

// The row's figures after its settings, each with its one home: its head
// in the text and CSV table, its member in the JSON table, its decimals in
// the text (-1: a count) and its value (NaN where the run has none: a
// codec without the bitpool rule, nothing heard).  A row that did not run
// has none of them.
struct Figure {
    const char* head;
    const char* key;
    int decimals;
    double (*value)(const SweepRow&);
};

const double kNone = std::nan("");

const Figure kFigures[] = {
    {"gaps", "gaps", -1, [](const SweepRow& r) -> double { return r.gaps; }},
    {"gap s", "gap_seconds", 3, [](const SweepRow& r) { return r.gapSeconds; }},
    {"first sound s", "first_sound_seconds", 3, [](const SweepRow& r) { return r.firstSound; }},
    {"post-ear mean s", "post_to_ear_mean_seconds", 3, [](const SweepRow& r) { return r.postToEarMean; }},
    {"post-ear max s", "post_to_ear_max_seconds", 3, [](const SweepRow& r) { return r.postToEarMax; }},
    {"margin ms", "margin_ms", 1, [](const SweepRow& r) { return r.lowestLevelMs; }},
    {"refused", "refused", -1, [](const SweepRow& r) -> double { return r.refused; }},
    {"lost", "lost", -1, [](const SweepRow& r) -> double { return r.lost; }},
    {"bitpool low", "bitpool_lowest", -1, [](const SweepRow& r) { return r.adaptive ? r.bitpoolLowest : kNone; }},
    // A mean of 0 is no mean: a report without the bitpool's range.
    {"bitpool mean", "bitpool_mean", 1,
     [](const SweepRow& r) { return r.adaptive && r.bitpoolMean > 0 ? r.bitpoolMean : kNone; }},
    {"heard SNR dB", "heard_snr_db", 1, [](const SweepRow& r) { return r.heard ? r.heardSnrDb : kNone; }},
};

std::string FigureCell(const Figure& f, const SweepRow& r)
{
    const double v = f.value(r);
    if (std::isnan(v))
        return "-";
    return f.decimals < 0 ? std::to_string(static_cast<long long>(v)) : Num(v, f.decimals);
}

Json FigureJson(const Figure& f, const SweepRow& r)
{
    const double v = f.value(r);
    if (std::isnan(v))
        return Json();
    return f.decimals < 0 ? Json(static_cast<long long>(v)) : Json(v);
}

std::vector<std::vector<std::string>> Cells(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns,
                                            bool withHeader)
{
    std::vector<std::vector<std::string>> out;
    if (withHeader) {
        std::vector<std::string> h = columns;
        h.insert(h.end(), {"verdict", "exit"});
        for (const Figure& f : kFigures)
            h.push_back(f.head);
        h.push_back("command");
        out.push_back(h);
    }
    for (const SweepRow& r : rows) {
        std::vector<std::string> c;
        for (const std::string& k : columns) {
            auto it = r.settings.find(k);
            c.push_back(it == r.settings.end() ? "-" : it->second);
        }
        c.push_back(r.verdict);
        c.push_back(r.exitCode < 0 ? "-" : std::to_string(r.exitCode));
        for (const Figure& f : kFigures)
            c.push_back(r.ran ? FigureCell(f, r) : "-");
        c.push_back(r.command);
        out.push_back(c);
    }
    return out;
}

// A member's number, 0 where it is missing or null (a figure a run that
// failed did not reach).
double Number(const Json& o, const char* key)
{
    return o.is_object() && o.contains(key) && o[key].is_number() ? o[key].get<double>() : 0;
}

bool Flag(const Json& o, const char* key)
{
    return o.is_object() && o.contains(key) && o[key].is_boolean() && o[key].get<bool>();
}

std::string Text(const Json& o, const char* key)
{
    return o.is_object() && o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : "";
}

const Json& Member(const Json& o, const char* key)
{
    static const Json none = Json::object();
    return o.is_object() && o.contains(key) ? o[key] : none;
}

// The bitpool's mean over the run, each value weighted by how long it held:
// the link starts at the top of its range (fixed: its one value) and the
// log has every change after, timed from the first write, to the run's end.
double BitpoolMean(const Json& bitpool, double end)
{
    double value = Number(bitpool, "max"), from = 0, sum = 0;
    const Json& log = Member(bitpool, "log");
    if (log.is_array())
        for (const Json& c : log) {
            const double t = std::min(std::max(Number(c, "t"), from), end);
            sum += value * (t - from);
            from = t;
            value = Number(c, "bitpool");
        }
    sum += value * std::max(0.0, end - from);
    return end > 0 ? sum / end : value;
}

}  // namespace

void SetRowCommand(const std::vector<std::string>& args, SweepRow* row)
{
    row->settings.clear();
    ReadCommand(Json(args), row);
}

bool ReadSweepRow(const std::string& path, SweepRow* row, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    // A row reads a few figures; the report's series (the timeline, the
    // headset's and the radio queue's levels: most of its bytes) are skipped
    // as they are parsed rather than built.
    std::string top;
    Json j = Json::parse(
        s.str(),
        [&top](int depth, Json::parse_event_t event, Json& parsed) {
            if (event != Json::parse_event_t::key || depth > 2)
                return true;
            const std::string& key = parsed.get_ref<const std::string&>();
            if (depth == 1)
                top = key;
            return !((depth == 1 && key == "timeline") || (depth == 2 && top == "headset" && key == "levels") ||
                     (depth == 2 && top == "link" && key == "queue_levels"));
        },
        false);
    if (!in || j.is_discarded() || !j.is_object() || !j.contains("verdict") || !j.contains("result")) {
        *error = "'" + path + "' is not a player's JSON report";
        return false;
    }
    SweepRow r;
    r.report = path;
    r.ran = true;
    if (j.contains("command") && j["command"].is_array())
        ReadCommand(j["command"], &r);
    const Json &v = Member(j, "verdict"), &h = Member(j, "headset"), &l = Member(j, "link");
    r.exitCode = static_cast<int>(Number(j, "exit_code"));
    if (Text(j, "result") == "failed") {
        r.verdict = "failed";
    } else if (Flag(v, "clean")) {
        r.verdict = "clean";
    } else {
        for (const char* k : {"gaps", "overflows", "refused", "lost"})
            if (Number(v, k) > 0)
                r.verdict += (r.verdict.empty() ? "" : "+") + std::string(k);
        if (r.verdict.empty())
            r.verdict = "not judged";
    }
    r.gaps = static_cast<unsigned>(Number(v, "gaps"));
    r.gapSeconds = Number(v, "gap_seconds");
    r.refused = static_cast<unsigned long>(Number(v, "refused"));
    r.lost = static_cast<unsigned long>(Number(v, "lost"));
    r.lowestLevelMs = Number(v, "margin_ms");
    r.firstSound = Number(h, "start_latency");
    r.postToEarMean = Number(h, "post_to_ear_mean");
    r.postToEarMax = Number(h, "post_to_ear_max");
    const btstandin::CodecInfo* codec = btstandin::CodecNamed(Text(l, "codec"));
    r.adaptive = codec && codec->adaptive;
    r.bitpoolLowest = static_cast<int>(Number(Member(l, "bitpool"), "lowest"));
    r.bitpoolMean = BitpoolMean(Member(l, "bitpool"), Number(j, "clock_seconds"));
    r.heard = Flag(Member(j, "heard_quality"), "measured");
    r.heardSnrDb = Number(Member(j, "heard_quality"), "segmental_snr_db");
    *row = r;
    return true;
}

std::vector<std::string> SweptSettings(const std::vector<SweepRow>& rows, const std::vector<std::string>& named)
{
    std::vector<std::string> out = named;
    std::set<std::string> seen(named.begin(), named.end()), keys;
    for (const SweepRow& r : rows)
        for (const auto& s : r.settings)
            keys.insert(s.first);
    for (const std::string& k : keys) {
        if (seen.count(k))
            continue;
        std::set<std::string> values;
        for (const SweepRow& r : rows) {
            if (!r.ran)
                continue;
            auto it = r.settings.find(k);
            values.insert(it == r.settings.end() ? std::string("\x01") : it->second);
        }
        if (values.size() > 1)
            out.push_back(k);
    }
    return out;
}

std::string SweepTableText(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    std::vector<std::vector<std::string>> cells = Cells(rows, columns, true);
    std::vector<size_t> width(cells[0].size(), 0);
    for (const auto& r : cells)
        for (size_t c = 0; c + 1 < r.size(); ++c)
            width[c] = std::max(width[c], r[c].size());
    std::string out;
    for (const auto& r : cells) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c)
            line += (c ? "  " : "") + (c + 1 < r.size() ? r[c] + std::string(width[c] - r[c].size(), ' ') : r[c]);
        out += line + "\n";
    }
    return out;
}

std::string SweepTableCsv(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    std::string out;
    for (const auto& r : Cells(rows, columns, true)) {
        for (size_t c = 0; c < r.size(); ++c) {
            std::string cell = r[c];
            if (cell.find_first_of(",\"\n ") != std::string::npos) {
                std::string q = "\"";
                for (char ch : cell)
                    q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
                cell = q + "\"";
            }
            out += (c ? "," : "") + cell;
        }
        out += "\n";
    }
    return out;
}

std::string SweepTableJson(const std::vector<SweepRow>& rows, const std::vector<std::string>& columns)
{
    Json j;
    j["settings"] = columns;
    Json list = Json::array();
    for (const SweepRow& r : rows) {
        Json s = Json::object();
        for (const std::string& k : columns)
            s[k] = r.settings.count(k) ? Json(r.settings.at(k)) : Json();
        Json row = {{"settings", s}, {"verdict", r.verdict}, {"exit_code", r.exitCode}, {"ran", r.ran}};
        if (r.ran)
            for (const Figure& f : kFigures)
                row[f.key] = FigureJson(f, r);
        row["command"] = r.command;
        row["report"] = r.report;
        list.push_back(row);
    }
    j["rows"] = list;
    return j.dump(2) + "\n";
}

}  // namespace player
