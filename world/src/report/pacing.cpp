#include "report/pacing.h"

namespace player {

const PacingValue kPacingValues[3] = {
    {BTWAV_VALUE_SAMPLE, BT_AUDIO_DEFAULT_SAMPLE, BTWAV_ZERO_TAKEN_SAMPLE != 0, "bytes per second",
     &PacingConfig::sample},
    {BTWAV_VALUE_TIMER, BT_AUDIO_DEFAULT_TIMER, BTWAV_ZERO_TAKEN_TIMER != 0, "ms", &PacingConfig::timer},
    {BTWAV_VALUE_CACHELEN, BT_AUDIO_DEFAULT_CACHELEN, BTWAV_ZERO_TAKEN_CACHELEN != 0, "bytes",
     &PacingConfig::cacheLen},
};

const PacingValue* FindPacingValue(const std::string& name)
{
    for (const PacingValue& v : kPacingValues)
        if (name == v.name)
            return &v;
    return nullptr;
}

bool PacingFromRecord(const host::DebugRecord& record, PacingConfig* out)
{
    PacingConfig c;
    size_t found = 0;
    for (const host::DebugArgument& a : record.arguments) {
        const PacingValue* v = FindPacingValue(a.label);
        if (v == nullptr)
            continue;
        if (a.kind != host::DebugArgument::Signed && a.kind != host::DebugArgument::Unsigned)
            return false;
        c.*(v->field) = static_cast<uint32_t>(a.number);
        ++found;
    }
    if (found != sizeof kPacingValues / sizeof kPacingValues[0])
        return false;
    c.known = true;
    *out = c;
    return true;
}

std::string FormatPacing(const PacingConfig& c)
{
    std::string out;
    for (const PacingValue& v : kPacingValues)
        out += (out.empty() ? "" : ", ") + std::string(v.name) + " " + std::to_string(static_cast<int32_t>(c.*(v.field)));
    return out;
}

}  // namespace player
