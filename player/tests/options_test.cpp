// The command line: every option, times, contradictions.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "host/faults.h"
#include "run/options.h"

using namespace player;
namespace {

bool Parse(std::vector<std::string> args, Options* o, std::string* error)
{
    std::vector<char*> argv{const_cast<char*>("btwav-play")};
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

// ---- Command line -------------------------------------------------------------------

TEST(OptionsTest, FullCommandLineIsParsedAndActionsSorted)
{
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--fast", "--set", "cachelen=0x1000", "--set=Timer=10", "--buffers", "3", "--buffer-size",
                       "4099", "--refill", "event", "--reset", "2s", "--link-down", "1.5s", "--pause", "500:250ms",
                       "--link-back=1800ms", "--link-delay", "0", "--reg", "a.reg", "--define", "BSP_X",
                       "--reg=b.reg", "--define", "N=2", "--strings", "board.str", "--debug", "--trace", "in.flac"},
                      &o, &error))
        << error;
    EXPECT_TRUE(o.fast);
    EXPECT_EQ(o.input, "in.flac");
    ASSERT_EQ(o.sets.size(), 2u);
    EXPECT_EQ(o.sets[0], (std::pair<std::string, uint32_t>("CacheLen", 4096)));
    EXPECT_EQ(o.sets[1], (std::pair<std::string, uint32_t>("Timer", 10)));
    EXPECT_EQ(o.buffers, 3u);
    EXPECT_EQ(o.bufferBytes, 4099u);
    EXPECT_EQ(o.refill, Refill::Event);
    EXPECT_EQ(o.linkDelayMs, 0u);
    ASSERT_EQ(o.actions.size(), 4u);
    EXPECT_EQ(o.actions[0].kind, TimedAction::Pause);
    EXPECT_EQ(o.actions[0].atMs, 500u);
    EXPECT_EQ(o.actions[0].durationMs, 250u);
    EXPECT_EQ(o.actions[1].kind, TimedAction::LinkDown);
    EXPECT_EQ(o.actions[1].atMs, 1500u);
    EXPECT_EQ(o.actions[2].kind, TimedAction::LinkBack);
    EXPECT_EQ(o.actions[3].kind, TimedAction::Reset);
    EXPECT_EQ(o.actions[3].atMs, 2000u);
    EXPECT_EQ(o.regFiles, (std::vector<std::string>{"a.reg", "b.reg"}));   // in order, none dropped
    EXPECT_EQ(o.defines, (std::vector<std::pair<std::string, std::string>>{{"BSP_X", "1"}, {"N", "2"}}));
    EXPECT_EQ(o.stringFiles, std::vector<std::string>{"board.str"});
    EXPECT_FALSE(o.registryDump);
    EXPECT_TRUE(o.debug);
    EXPECT_TRUE(o.trace);
    EXPECT_FALSE(o.StandardOutputTaken());
    ASSERT_TRUE(Parse({"--packets", "-"}, &o, &error)) << error;
    EXPECT_TRUE(o.StandardOutputTaken());
    EXPECT_FALSE(o.debug);   // both off by default
    EXPECT_FALSE(o.trace);
}

TEST(OptionsTest, TimesAcceptMillisecondsAndSeconds)
{
    uint64_t ms = 0;
    EXPECT_TRUE(ParseMilliseconds("250", &ms));
    EXPECT_EQ(ms, 250u);
    EXPECT_TRUE(ParseMilliseconds("250ms", &ms));
    EXPECT_EQ(ms, 250u);
    EXPECT_TRUE(ParseMilliseconds("1.25s", &ms));
    EXPECT_EQ(ms, 1250u);
    EXPECT_TRUE(ParseMilliseconds(".5s", &ms));
    EXPECT_EQ(ms, 500u);
    for (const char* bad : {"", "s", "ms", "-5", "+5", "5x", "1.5.2", "nan", "inf", "99999999999"})
        EXPECT_FALSE(ParseMilliseconds(bad, &ms)) << bad;
}

TEST(OptionsTest, ContradictionsAreRefused)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"a.wav", "b.wav"}, "only one input file"},
        {{"--pause", "100:200", "--pause", "250:10"}, "overlaps the pause before it"},
        {{"--pause", "100:200", "--reset", "150"}, "falls inside a pause"},
        {{"--link-down", "1", "--link-down", "2"}, "the link is already down"},
        {{"--set", "Timer"}, "expects NAME=VALUE"},
        {{"--set", "Timer=-1"}, "is not a 32-bit unsigned number"},
        {{"--set", "Sample=4294967296"}, "is not a 32-bit unsigned number"},
        {{"--buffer-size", "67108865"}, "from 1 to 67108864"},
        {{"--refill", "poll"}, "'callback' or 'event'"},
        {{"--fast=yes"}, "takes no value"},
        {{"--wav"}, "needs a value"},
        {{"--wav", ""}, "needs a file name"},
        {{"--loop", "0"}, "from 1 to 10000"},
        {{"--plot", "t.PNG"}, "writes SVG"},
        {{"--reg", ""}, "--reg needs a file name"},
        {{"--define", "2X"}, "expects NAME or NAME=VALUE"},
        {{"--define", "A-B=1"}, "expects NAME or NAME=VALUE"},
        {{"--strings", ""}, "--strings needs a file name"},
        {{"--registry-dump=yes"}, "takes no value"},
        // Buffers are allocated up front: the total is bounded, with a loop
        // the sound's own size bounds it.
        {{"--buffers", "1024", "--buffer-size", "67108864"}, "ask for 68719476736 bytes of buffers; at most 268435456"},
        {{"--buffers", "5", "--buffer-size", "67108864"}, "at most 268435456 (256 MiB) in all"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(c.args, &o, &error)) << c.args[0];
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    // After "--" a name that looks like an option is the input file.
    Options o;
    std::string error;
    EXPECT_TRUE(Parse({"--", "--odd.wav"}, &o, &error)) << error;
    EXPECT_EQ(o.input, "--odd.wav");
    EXPECT_TRUE(Parse({"--buffers", "4", "--buffer-size", "67108864"}, &o, &error)) << error;
    EXPECT_TRUE(Parse({"--loop", "2", "--buffers", "1024", "--buffer-size", "67108864"}, &o, &error)) << error;
}

namespace {

TEST(OptionsTest, TheLibrarysCodecRadioAndInterference)
{
    Options o;
    std::string error;
    // The defaults: SBC, bitpool 2-53 from the top, MTU 895, the codec's radio.
    ASSERT_TRUE(Parse({}, &o, &error)) << error;
    EXPECT_EQ(o.codec, Options::Codec::Sbc);
    EXPECT_EQ(o.bitpoolMin, 2u);
    EXPECT_EQ(o.bitpoolMax, 53u);
    EXPECT_FALSE(o.bitpoolFixed);
    EXPECT_EQ(o.mtu, 895u);
    EXPECT_EQ(o.radioKbps, 0u);
    EXPECT_FALSE(o.interference.on);

    o = Options();
    ASSERT_TRUE(Parse({"--codec", "pcm", "--bitpool", "20-40", "--mtu", "672", "--radio-kbps", "300", "--radio-queue",
                       "4", "--interference", "2s:500:25%"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.codec, Options::Codec::Pcm);
    EXPECT_EQ(o.bitpoolMin, 20u);
    EXPECT_EQ(o.bitpoolMax, 40u);
    EXPECT_FALSE(o.bitpoolFixed);
    EXPECT_EQ(o.mtu, 672u);
    EXPECT_EQ(o.radioKbps, 300u);
    EXPECT_EQ(o.radioQueuePackets, 4u);
    EXPECT_TRUE(o.interference.on);
    EXPECT_EQ(o.interference.startMs, 2000u);
    EXPECT_EQ(o.interference.lengthMs, 500u);
    EXPECT_DOUBLE_EQ(o.interference.share, 0.25);

    o = Options();
    ASSERT_TRUE(Parse({"--bitpool", "35", "--interference", "0:1s:1"}, &o, &error)) << error;
    EXPECT_TRUE(o.bitpoolFixed);
    EXPECT_EQ(o.bitpoolMin, 35u);
    EXPECT_EQ(o.bitpoolMax, 35u);
    EXPECT_DOUBLE_EQ(o.interference.share, 1.0);

    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--codec", "aac"}, "expects sbc or pcm"},
        {{"--bitpool", "1"}, "from 2 to 250"},
        {{"--bitpool", "40-20"}, "a range MIN-MAX"},
        {{"--bitpool", "251"}, "from 2 to 250"},
        {{"--bitpool", "2-x"}, "a range MIN-MAX"},
        // MTU 131 holds one 119-byte frame and its 13 bytes of headers only at 132.
        {{"--mtu", "131"}, "holds no SBC frame at bitpool 53: one needs 132 bytes"},
        {{"--mtu", "200", "--bitpool", "2-100"}, "holds no SBC frame at bitpool 100"},
        {{"--radio-kbps", "0"}, "kbit/s from 1 to 100000"},
        {{"--radio-queue", "0"}, "a packet count"},
        {{"--interference", "1s:2s"}, "START:LENGTH:SHARE"},
        {{"--interference", "1s:0:0.5"}, "START:LENGTH:SHARE"},
        {{"--interference", "1s:2s:1.5"}, "START:LENGTH:SHARE"},
        {{"--interference", "1s:2s:-10%"}, "START:LENGTH:SHARE"},
        {{"--interference", "x:2s:0.5"}, "START:LENGTH:SHARE"},
    };
    for (const Case& c : cases) {
        Options bad;
        EXPECT_FALSE(Parse(c.args, &bad, &error)) << c.args[1];
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    Options fits;
    EXPECT_TRUE(Parse({"--mtu", "132"}, &fits, &error)) << error;
}

}  // namespace

// ---- Usage ----------------------------------------------------------------------------

namespace {

// The usage's words with every run of spaces and line breaks as one space,
// so that a check does not depend on where a line was filled.
std::string Flat(const std::string& text)
{
    std::string out;
    for (char c : text) {
        bool space = c == ' ' || c == '\n';
        if (!space)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    return out;
}

// What the usage gives as the default of `option`: the text after "(default "
// up to ")" or ";" in the option's own row.
std::string ShownDefault(const std::string& flat, const std::string& option)
{
    size_t at = flat.find(" " + option + " ");
    if (at == std::string::npos)
        return "";
    size_t next = flat.find(" --", at + option.size() + 2);
    size_t d = flat.find("(default ", at);
    if (d == std::string::npos || (next != std::string::npos && d > next))
        return "";
    d += 9;
    return flat.substr(d, flat.find_first_of(";)", d) - d);
}

}  // namespace

TEST(OptionsTest, UsageShowsTheDefaultsThatParsingKeeps)
{
    const std::string usage = Flat(UsageText("btwav-play"));
    const Options defaults;
    // Each default the usage shows, given back as the option's value, sets
    // the field to what it is without the option.
    struct Case {
        const char* option;
        bool (*same)(const Options& given, const Options& defaults);
    } cases[] = {
        {"--buffers", [](const Options& g, const Options& d) { return g.buffers == d.buffers; }},
        {"--buffer-size", [](const Options& g, const Options& d) { return g.bufferBytes == d.bufferBytes; }},
        {"--refill", [](const Options& g, const Options& d) { return g.refill == d.refill; }},
        {"--link-delay", [](const Options& g, const Options& d) { return g.linkDelayMs == d.linkDelayMs; }},
        {"--codec", [](const Options& g, const Options& d) { return g.codec == d.codec; }},
        {"--bitpool",
         [](const Options& g, const Options& d) { return g.bitpoolMin == d.bitpoolMin && g.bitpoolMax == d.bitpoolMax; }},
        {"--mtu", [](const Options& g, const Options& d) { return g.mtu == d.mtu; }},
        {"--radio-queue", [](const Options& g, const Options& d) { return g.radioQueuePackets == d.radioQueuePackets; }},
        {"--late-ticks", [](const Options& g, const Options& d) { return g.lateTickMs == d.lateTickMs; }},
        {"--headset-buffer",
         [](const Options& g, const Options& d) { return g.headsetBufferFrames == d.headsetBufferFrames; }},
        {"--headset-start",
         [](const Options& g, const Options& d) { return g.headsetStartFrames == d.headsetStartFrames; }},
    };
    for (const Case& c : cases) {
        const std::string shown = ShownDefault(usage, c.option);
        ASSERT_FALSE(shown.empty()) << c.option << " shows no default";
        Options given;
        std::string error;
        ASSERT_TRUE(Parse({c.option, shown}, &given, &error)) << c.option << " " << shown << ": " << error;
        EXPECT_TRUE(c.same(given, defaults)) << c.option << " " << shown;
    }
    // The built-in sound's length and the radio's budget have no field of
    // their own; the usage states them as documented.
    EXPECT_EQ(ShownDefault(usage, "--length"), "3s");
    EXPECT_EQ(ShownDefault(usage, "--radio-kbps"), "half the link, 724 with SBC over 2-DH5s, 2117 with PCM");
    EXPECT_EQ(ShownDefault(usage, "--fault"), std::to_string(FaultOption().count));
}

TEST(OptionsTest, UsageListsEveryFaultWithItsRangeAndParsingHoldsToIt)
{
    const std::string usage = Flat(UsageText("btwav-play"));
    for (unsigned i = 0; i < host::kFaultCount; ++i) {
        const host::FaultInfo& f = host::Describe(static_cast<host::Fault>(i));
        const std::string name = f.spelling;
        std::string unit;
        for (char c : std::string(f.unit))
            unit += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        // Its row: the name (with the amount's unit) and its help.
        ASSERT_GT(std::string(f.help).size(), 0u) << name;
        const std::string row = " " + name + (unit.empty() ? "" : ":" + unit) + " " + Flat(f.help);
        EXPECT_NE(usage.find(row), std::string::npos) << "no '" << row << "' in the usage";
        FaultOption parsed;
        std::string error;
        if (!*f.unit) {
            EXPECT_FALSE(ParseFault(name + ":1", &parsed, &error)) << name << " takes no amount";
            continue;
        }
        EXPECT_NE(usage.find("(" + unit + " " + std::to_string(f.lowest) + " to " + std::to_string(f.highest) +
                             ", default " + std::to_string(f.defaultAmount) + ")"),
                  std::string::npos)
            << name;
        // The range's ends are taken, one past either is refused naming it.
        for (int64_t amount : {f.lowest, f.highest}) {
            ASSERT_TRUE(ParseFault(name + ":" + std::to_string(amount), &parsed, &error)) << error;
            EXPECT_EQ(parsed.amount, amount);
        }
        for (int64_t amount : {f.lowest - 1, f.highest + 1}) {
            EXPECT_FALSE(ParseFault(name + ":" + std::to_string(amount), &parsed, &error)) << name << " " << amount;
            EXPECT_NE(error.find("from " + std::to_string(f.lowest) + " to " + std::to_string(f.highest)),
                      std::string::npos)
                << error;
        }
        ASSERT_TRUE(ParseFault(name, &parsed, &error)) << error;
        EXPECT_EQ(parsed.amount, f.defaultAmount);
    }
}

TEST(OptionsTest, UsageListsEveryExitCode)
{
    const std::string usage = Flat(UsageText("btwav-play"));
    const size_t at = usage.find("Exit status: ");
    ASSERT_NE(at, std::string::npos);
    std::string expected;
    for (const ExitCodeInfo& e : kExitCodes)
        expected += std::to_string(e.code) + " " + e.meaning + ", ";
    EXPECT_EQ(usage.compare(at + 13, expected.size(), expected), 0) << usage.substr(at);
    // Every code below the signals' has its line, each once.
    for (int code = kExitOk; code <= kExitPlayback; ++code) {
        int seen = 0;
        for (const ExitCodeInfo& e : kExitCodes)
            seen += e.code == code;
        EXPECT_EQ(seen, 1) << code;
    }
    EXPECT_NE(usage.find("128+N stopped by signal N (130 Ctrl-C, 129 SIGHUP, 143 SIGTERM)"), std::string::npos);
}
