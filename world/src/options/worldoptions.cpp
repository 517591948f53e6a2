// The world's options: the values' parsers shared with the player's own
// options, the link's and the listener's entries, the checks of the whole,
// and the parse of CEHOST_WORLD.  Every error is one line that names the
// option and what was expected.
#include "world/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "btstandin/codec.h"
#include "btstandin/sendpath.h"
#include "report/verdict.h"

namespace player {

bool ParseMilliseconds(const std::string& text, uint64_t* ms)
{
    std::string number = text;
    double scale = 1.0;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
    } else if (number.size() > 3 && number.compare(number.size() - 3, 3, "min") == 0) {
        number.resize(number.size() - 3);
        scale = 60000.0;
    } else if (number.size() > 1 && number.back() == 'm') {
        number.resize(number.size() - 1);
        scale = 60000.0;
    } else if (number.size() > 1 && number.back() == 'h') {
        number.resize(number.size() - 1);
        scale = 3600000.0;
    } else if (number.size() > 1 && number.back() == 's') {
        number.resize(number.size() - 1);
        scale = 1000.0;
    }
    if (number.empty() || !(std::isdigit(static_cast<unsigned char>(number[0])) || number[0] == '.'))
        return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(number.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    v *= scale;
    if (v > 360000000.0)   // 100 hours are more than any playback needs
        return false;
    *ms = static_cast<uint64_t>(std::llround(v));
    return true;
}

std::string ShowMilliseconds(uint64_t ms)
{
    if (ms != 0 && ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    return std::to_string(ms) + "ms";
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    *value = v;
    return true;
}

bool Arg::Fail(const std::string& message)
{
    *error = message;
    return false;
}

bool Arg::Take(std::string* v)
{
    if (hasInlineValue) {
        *v = value;
        return true;
    }
    if (*i + 1 >= argc)
        return Fail("option " + name + " needs a value");
    *v = argv[++*i];
    return true;
}

bool Arg::None()
{
    return !hasInlineValue || Fail("option " + name + " takes no value");
}

bool Arg::Time(uint64_t* ms)
{
    std::string v;
    if (!Take(&v))
        return false;
    if (!ParseMilliseconds(v, ms))
        return Fail("option " + name + " expects a time: a number with ms, s, m (or min) or h, or none for ms "
                    "(such as 500, 1.5s or 10m), not '" + v + "'");
    return true;
}

bool Arg::WholeNumber(uint64_t max, const std::string& what, uint64_t* n)
{
    std::string v;
    if (!Take(&v))
        return false;
    if (!ParseUnsigned(v, max, n) || *n == 0)
        return Fail("option " + name + " expects " + what + ", not '" + v + "'");
    return true;
}

bool Arg::File(std::string* path)
{
    if (!Take(path))
        return false;
    return !path->empty() || Fail("option " + name + " needs a file name");
}

bool Arg::Files(std::vector<std::string>* paths)
{
    std::string v;
    if (!File(&v))
        return false;
    paths->push_back(v);
    return true;
}

bool Arg::Flag(bool* flag, bool set)
{
    if (!None())
        return false;
    *flag = set;
    return true;
}

bool Arg::Action(TimedAction::Kind kind)
{
    TimedAction a{};
    a.kind = kind;
    if (!Time(&a.atMs))
        return false;
    o->actions.push_back(a);
    return true;
}

bool Arg::HeadsetTime(uint32_t* frames)
{
    uint64_t ms = 0;
    if (!Time(&ms))
        return false;
    uint64_t f = ms * BTWAV_DEVICE_RATE / 1000;
    if (f == 0 || f > uint64_t{BTWAV_DEVICE_RATE} * 60)
        return Fail("option " + name + " expects a time from 1ms to 60s");
    *frames = static_cast<uint32_t>(f);
    return true;
}

bool EntryHasName(const OptionEntry& entry, const std::string& name)
{
    std::string names = entry.names;
    for (size_t at = 0; at <= names.size();) {
        size_t end = names.find(", ", at);
        if (end == std::string::npos)
            end = names.size();
        if (names.compare(at, end - at, name) == 0 && end - at == name.size())
            return true;
        at = end + 2;
    }
    return false;
}

namespace {

bool ParseLinkDelay(Arg& a)
{
    bool never = a.hasInlineValue ? a.value == "never" : *a.i + 1 < a.argc && std::string(a.argv[*a.i + 1]) == "never";
    if (!never)
        return a.Time(&a.o->linkDelayMs);
    if (!a.hasInlineValue)
        ++*a.i;
    a.o->linkAtBoot = false;
    return true;
}

bool ParseLinkUp(Arg& a)
{
    a.o->linkAtBoot = false;
    return a.Action(TimedAction::LinkUp);
}

// Parts per million in (lo, hi) for `what`'s option.
bool ParsePartsPerMillion(Arg& a, double lo, double hi, bool loIncluded, const char* expected, double* out)
{
    std::string v;
    if (!a.Take(&v))
        return false;
    char* end = nullptr;
    errno = 0;
    double ppm = std::strtod(v.c_str(), &end);
    if (v.empty() || errno != 0 || *end != '\0' || !((loIncluded ? ppm >= lo : ppm > lo) && (loIncluded ? ppm <= hi : ppm < hi)))
        return a.Fail("option " + a.name + " expects " + expected + ", not '" + v + "'");
    *out = ppm;
    return true;
}

bool ParsePpm(Arg& a)
{
    return ParsePartsPerMillion(a, -100000, 100000, false, "parts per million between -100000 and 100000",
                                &a.o->headsetPpm);
}

bool ParseCatchUp(Arg& a)
{
    return ParsePartsPerMillion(a, 0, 100000, true, "parts per million from 0 to 100000", &a.o->headsetCatchUpPpm);
}

bool ParsePlayOut(Arg& a)
{
    // The device only inline (--play-out=hw:1), so that a file name after a
    // bare --play-out stays the input.
    a.o->playOut = true;
    a.o->playDevice = a.hasInlineValue ? a.value : kDefaultPlayDevice;
    return !a.o->playDevice.empty() || a.Fail("option --play-out= needs an ALSA device name");
}

bool ParseAllowOption(Arg& a)
{
    std::string v, error;
    if (!a.Take(&v))
        return false;
    return ParseAllow(v, &a.o->allow, &error) || a.Fail(error);
}

std::string ShowFrames(uint32_t frames)
{
    return ShowMilliseconds(uint64_t{frames} * 1000 / BTWAV_DEVICE_RATE);
}

// --codec's value and help, --bitpool's and --radio-kbps's: from the codec table.
const std::string kCodecNames = btstandin::CodecNames("|");

std::string CodecHelp()
{
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    std::string help = "what the library sends: ";
    for (size_t i = 0; i < count; ++i)
        help += std::string(i == 0 ? "" : i + 1 == count ? ", or\n" : ",\n") + codecs[i].parts->summary;
    return help + " (default {})";
}
const std::string kCodecHelp = CodecHelp();

std::string BitpoolHelp()
{
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    std::string titles;
    for (size_t i = 0; i < count; ++i)
        if (codecs[i].adaptive)
            titles += (titles.empty() ? "" : "/") + std::string(codecs[i].parts->title);
    return titles + " bitpool: N fixes it; a range (default {}) lets it\n"
                    "step down while the send queue backs up, from the top";
}
const std::string kBitpoolHelp = BitpoolHelp();

// Each codec's radio budget: its table line's, or its share of a link of 2-DH5s.
std::string RadioDefaults()
{
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    std::string shares, fixed;
    for (size_t i = 0; i < count; ++i) {
        btstandin::SendPathConfig c;
        c.codec = codecs[i].id;
        std::string& to = codecs[i].defaultKbps ? fixed : shares;
        to += (to.empty() ? "" : ", ") + std::to_string(c.Kbps()) + " with " + codecs[i].parts->title +
              (codecs[i].defaultKbps ? "" : " over 2-DH5s");
    }
    return (shares.empty() ? "" : "half the link,\n" + shares) + (shares.empty() || fixed.empty() ? "" : ", ") + fixed;
}

const std::vector<OptionEntry> kLinkOptions = {
    {"Link:", "--link-delay", "T|never", "the link comes up T after boot (default {}), or never",
     [](const WorldOptions& d) { return ShowMilliseconds(d.linkDelayMs); }, ParseLinkDelay},
    {nullptr, "--link-up", "T", "the application opens first; the headset connects at T", nullptr, ParseLinkUp},
    {nullptr, "--link-down", "T", "the link goes down at T", nullptr,
     [](Arg& a) { return a.Action(TimedAction::LinkDown); }},
    {nullptr, "--link-back", "T", "the link comes back at T", nullptr,
     [](Arg& a) { return a.Action(TimedAction::LinkBack); }},
    {nullptr, "--codec", kCodecNames.c_str(), kCodecHelp.c_str(),
     [](const WorldOptions& d) { return std::string(btstandin::CodecOf(d.codec).name); },
     ParseCodec},
    {nullptr, "--bitpool", "N|MIN-MAX", kBitpoolHelp.c_str(),
     [](const WorldOptions& d) { return std::to_string(d.bitpoolMin) + "-" + std::to_string(d.bitpoolMax); },
     ParseBitpool},
    {nullptr, "--mtu", "BYTES", "largest media packet (default {})",
     [](const WorldOptions& d) { return std::to_string(d.mtu); },
     [](Arg& a) { return a.Count(65535, "a byte count from 1 to 65535", &a.o->mtu); }},
    {nullptr, "--radio-kbps", "K", "the radio's budget for the stream in kbit/s (default {})",
     [](const WorldOptions&) { return RadioDefaults(); },
     [](Arg& a) { return a.Count(100000, "kbit/s from 1 to 100000", &a.o->radioKbps); }},
    {nullptr, "--radio-queue", "N", "the library's send queue in media packets (default {})",
     [](const WorldOptions& d) { return std::to_string(d.radioQueuePackets); },
     [](Arg& a) { return a.Count(100000, "a packet count from 1 to 100000", &a.o->radioQueuePackets); }},
    {nullptr, "--radio-types", "LIST", "EDR packet types the link allows, such as\n"
                                       "2-DH1,2-DH3,2-DH5 or 3M (default {}; the 2 Mbit/s ones)",
     [](const WorldOptions&) { return std::string("2M"); }, ParseAclTypes},
    {nullptr, "--flush-timeout", "MS|off", "drop a media packet not sent MS after it was queued\n"
                                           "(default {}: the peers' default, infinite)",
     [](const WorldOptions&) { return std::string("off"); }, ParseFlushTimeout},
    {nullptr, "--interference", "T:D:SHARE", "from T for D the radio loses SHARE of its budget to\n"
                                             "retries (SHARE 0-1 or 0%-100%; T since the first write)",
     nullptr, ParseInterference},
};

const std::vector<OptionEntry> kListenerOptions = {
    {"Listener:", "--headset-buffer", "T", "the headset's jitter buffer (default {})",
     [](const WorldOptions& d) { return ShowFrames(d.headsetBufferFrames); },
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetBufferFrames); }},
    {nullptr, "--headset-start", "T", "it starts playing once it holds T (default {})",
     [](const WorldOptions& d) { return ShowFrames(d.headsetStartFrames); },
     [](Arg& a) { return a.HeadsetTime(&a.o->headsetStartFrames); }},
    {nullptr, "--headset-ppm", "P", "its clock runs P ppm fast (negative: slow)", nullptr, ParsePpm},
    {nullptr, "--headset-catch-up", "P", "after an underrun it plays P ppm fast until its buffer is\n"
                                         "back at its target (default 0: off)",
     nullptr, ParseCatchUp},
    {nullptr, "--heard", "FILE", "what the listener hears, gaps as silence (WAV)", nullptr,
     [](Arg& a) { return a.File(&a.o->heardOut); }},
    {nullptr, "--no-headset", "", "no headset model (the report then has no listener)", nullptr,
     [](Arg& a) { return a.Flag(&a.o->headset, false); }},
    {nullptr, "--play-out", "[=DEVICE]", "play what the listener hears on the sound system through\n"
                                         "ALSA (default device: {})",
     [](const WorldOptions&) { return std::string(kDefaultPlayDevice); }, ParsePlayOut},
    {nullptr, "--allow", "LIST", "faults the listener heard that leave the exit status alone:\n"
                             "gaps, overflows, refused, lost or all, separated by commas",
     nullptr, ParseAllowOption},
};

// The words of `text`: split at blanks, '...' and "..." keep blanks.
bool SplitWords(const std::string& text, std::vector<std::string>* words, std::string* error)
{
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (inWord)
                words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote) {
        *error = std::string("an unclosed ") + quote + " in the world's options";
        return false;
    }
    if (inWord)
        words->push_back(word);
    return true;
}

}  // namespace

const std::vector<OptionEntry>& WorldLinkOptions()
{
    return kLinkOptions;
}

const std::vector<OptionEntry>& WorldListenerOptions()
{
    return kListenerOptions;
}

btstandin::SendPathConfig LinkConfig(const WorldOptions& o)
{
    btstandin::SendPathConfig c;
    c.codec = o.codec;
    c.bitpool = btstandin::BitpoolRange{o.bitpoolMin, o.bitpoolMax, o.bitpoolFixed};
    c.mtu = o.mtu;
    c.radioKbps = o.radioKbps;
    c.queuePackets = o.radioQueuePackets;
    c.aclTypes = o.aclTypes;
    c.flushMs = o.flushMs;
    return c;
}

// A media packet holds the codec's least (its rule, in its file).
bool CheckMtu(const WorldOptions& o, std::string* error)
{
    const std::string shortfall = btstandin::CodecOf(o.codec).parts->mtuShortfall(LinkConfig(o));
    if (shortfall.empty())
        return true;
    *error = "option --mtu " + std::to_string(o.mtu) + " " + shortfall;
    return false;
}

bool CheckHeadset(const WorldOptions& o, std::string* error)
{
    if (!o.headset && (!o.heardOut.empty() || o.playOut)) {
        *error = std::string("option ") + (o.playOut ? "--play-out" : "--heard") +
                 " needs the headset model (drop --no-headset)";
        return false;
    }
    if (o.headsetStartFrames > o.headsetBufferFrames) {
        *error = "option --headset-start is longer than the headset's buffer (--headset-buffer)";
        return false;
    }
    return true;
}

// The link's changes in an order that has a meaning; o.actions is sorted.
bool CheckLinkActions(const WorldOptions& o, std::string* error)
{
    bool linkDown = !o.linkAtBoot;
    bool linkUpSeen = false;
    for (const TimedAction& a : o.actions) {
        if (a.kind == TimedAction::LinkUp) {
            if (linkUpSeen) {
                *error = "option --link-up can be given once (use --link-down and --link-back after it)";
                return false;
            }
            linkUpSeen = true;
            linkDown = false;
        } else if (a.kind == TimedAction::LinkDown) {
            if (linkDown) {
                *error = "option --link-down at " + std::to_string(a.atMs) +
                         " ms: the link is already down (add a --link-back before it)";
                return false;
            }
            linkDown = true;
        } else if (a.kind == TimedAction::LinkBack) {
            if (!linkDown) {
                *error = "option --link-back at " + std::to_string(a.atMs) + " ms needs an earlier --link-down";
                return false;
            }
            linkDown = false;
        }
    }
    return true;
}

void SortActions(WorldOptions* o)
{
    std::stable_sort(o->actions.begin(), o->actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });
}

bool ParseWorldOptions(const std::string& text, WorldOptions* out, std::string* error)
{
    std::vector<std::string> words;
    if (!SplitWords(text, &words, error))
        return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("world"));
    for (std::string& w : words)
        argv.push_back(&w[0]);
    WorldOptions o;
    const int argc = static_cast<int>(argv.size());
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        Arg a;
        a.name = word;
        size_t eq = word.find('=');
        if (word.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            a.name = word.substr(0, eq);
            a.value = word.substr(eq + 1);
            a.hasInlineValue = true;
        }
        a.argc = argc;
        a.argv = argv.data();
        a.i = &i;
        a.o = &o;
        a.error = error;
        const OptionEntry* entry = nullptr;
        for (const auto* table : {&kLinkOptions, &kListenerOptions})
            for (const OptionEntry& e : *table)
                if (EntryHasName(e, a.name))
                    entry = &e;
        if (!entry) {
            *error = "'" + word + "' is not an option of the world (the link's and the listener's options)";
            return false;
        }
        if (!entry->parse(a))
            return false;
    }
    SortActions(&o);
    if (!CheckMtu(o, error) || !CheckHeadset(o, error) || !CheckLinkActions(o, error))
        return false;
    *out = std::move(o);
    return true;
}

}  // namespace player
