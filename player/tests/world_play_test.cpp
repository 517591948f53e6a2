// The player in a world that behaves like the real one, end to end in fast
// mode: the link, the send queue, the faults and what the listener hears.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "audio_files.h"

using namespace player_test;

namespace {

const size_t kFrames = 99991;   // 399,964 bytes
const uint64_t kTick = 3528;    // bytes of one 20 ms tick

uint64_t Number(const std::string& json, const std::string& key)
{
    std::string v = JsonAt(json, key);
    EXPECT_FALSE(v.empty()) << key << " missing in " << json;
    return v.empty() ? 0 : std::stoull(v);
}

double Real(const std::string& json, const std::string& key)
{
    std::string v = JsonAt(json, key);
    EXPECT_FALSE(v.empty()) << key << " missing in " << json;
    return v.empty() ? 0 : std::stod(v);
}

// The library's two carriers: SBC (the default) and PCM.  The world's
// figures about time hold with both.
const std::vector<std::vector<std::string>> kCodecs = {{}, {"--codec", "pcm"}};
bool IsSbc(const std::vector<std::string>& codec) { return codec.empty(); }
// The audio frames the listener hears of `frames` sent as one stream: SBC
// sends whole frames of 128, the last padded with silence.
uint64_t HeardFrames(uint64_t frames, bool sbc) { return sbc ? (frames + 127) / 128 * 128 : frames; }
std::vector<std::string> With(std::vector<std::string> codec, const std::vector<std::string>& more)
{
    codec.insert(codec.end(), more.begin(), more.end());
    return codec;
}

struct Gap {
    double t, heardAt, seconds;
};

std::vector<Gap> Gaps(const std::string& json)
{
    std::vector<Gap> out;
    for (const nlohmann::ordered_json& j : ParseReport(json).value("/headset/gaps"_json_pointer, nlohmann::ordered_json::array()))
        out.push_back(Gap{j.at("t").get<double>(), j.at("heard_at").get<double>(), j.at("seconds").get<double>()});
    return out;
}

TEST(WorldPlayTest, LinkDownMidPlayLosesExactlyTheAudioOfTheDownTime)
{
    TempDir dir;
    Audio noise = Noise(kFrames, 44100, 2, 5);
    WriteWav(dir.File("noise.wav"), noise);
    for (const auto& codec : kCodecs) {
    SCOPED_TRACE(IsSbc(codec) ? "sbc" : "pcm");
    World w = Live(dir, With(codec, {"--link-down", "600", "--link-back", "1500", "--wav", dir.File("got.wav"),
                                     "--heard", dir.File("heard.wav")}),
                   dir.File("noise.wav"));
    // The listener heard the gap: exit 7 (before the refused posts' 9 and the 1 of a stream not bit-exact).
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    // The ticks at 620 ... 1500 ms were refused: 45 ticks, 0.9 s of audio.
    EXPECT_EQ(Number(w.json, "/link/refused_link_down"), 45u);
    EXPECT_EQ(Number(w.json, "/link/refused_link_down_bytes"), 45 * kTick);
    EXPECT_NE(w.run.out.find("45 refused while the link was down (158760 bytes, 0.900 s)"), std::string::npos)
        << w.run.out;
    // What arrived is the sound without exactly those bytes: everything
    // posted up to 600 ms (the first tick's 6144, then 29 ticks), then the
    // rest from 0.9 s later on.
    Audio got = ReadAudio(dir.File("got.wav"));
    const size_t before = (6144 + 29 * kTick) / 2, lost = 45 * kTick / 2;
    std::vector<int16_t> expected(noise.samples.begin(), noise.samples.begin() + before);
    expected.insert(expected.end(), noise.samples.begin() + before + lost, noise.samples.end());
    EXPECT_TRUE(got.samples == expected) << got.samples.size() << " samples against " << expected.size();
    // The listener heard one gap starting once the buffer ran dry after
    // 600 ms, and never heard the 0.9 s.
    auto gaps = Gaps(w.json);
    ASSERT_EQ(gaps.size(), 1u) << w.json;
    EXPECT_GT(gaps[0].t, 0.6);
    EXPECT_LT(gaps[0].t, 0.8);
    // With SBC the last frame's padding is heard too.
    const uint64_t heardFrames = HeardFrames(kFrames - lost / 2, IsSbc(codec));
    char never[64];
    std::snprintf(never, sizeof never, "%.3f s of the sound never heard", (kFrames - heardFrames) / 44100.0);
    EXPECT_NE(w.run.out.find(never), std::string::npos) << never << "\n" << w.run.out;
    EXPECT_EQ(Number(w.json, "/headset/played_frames"), heardFrames);
    // The driver steered the preferred device both ways.
    EXPECT_NE(w.json.find("\"link down, preferred device 0 (Built-in Audio Output)\""), std::string::npos) << w.json;
    EXPECT_NE(w.json.find("\"link back up, preferred device 1 (Bluetooth A2DP Output)\""), std::string::npos);
    }
}

TEST(WorldPlayTest, ASlowRadioFillsTheSendQueueAndEveryRefusalIsCounted)
{
    TempDir dir;
    // PCM at 800 kbit/s (100,000 bytes a second with the headers), and SBC
    // at a fixed bitpool 53 (333 kbit/s) through 250.
    for (const auto& codec : kCodecs) {
        SCOPED_TRACE(IsSbc(codec) ? "sbc" : "pcm");
        const uint64_t kbps = IsSbc(codec) ? 250 : 800;
        World w = Live(dir, With(codec, {"--bitpool", "53", "--radio-kbps", std::to_string(kbps), "--radio-queue", "5"}));
        EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
        const uint64_t carried = Number(w.json, "/link/carried_bytes");
        const uint64_t full = Number(w.json, "/link/refused_queue_full_bytes");
        EXPECT_EQ(carried + full, 529200u);   // the built-in sound, 3 s
        EXPECT_GT(Number(w.json, "/link/refused_queue_full"), 0u);
        // The radio took no more slots than its share of the link gives over
        // the run and the queue holds (the link: 679 bytes each 6 slots,
        // 1448.5 kbit/s); what it sends after the run's end is that queue.
        double seconds = Real(w.json, "/clock_seconds");
        const double slots = Real(w.json, "/link/air_slots");
        const double share = kbps / (679 * 8 * 1600 / 6 / 1000.0);
        const double largest = IsSbc(codec) ? 10 : 60;   // 850 bytes: 2-DH5 and 2-DH3; 6160: ten 2-DH5
        EXPECT_LE(slots, share * 1600 * seconds + 6 * largest);
        EXPECT_GE(slots, share * 1600 * (seconds - 0.1));
        // Full at five and never more: the last packet, sent when the posts
        // stop, waits for a place as a write would.
        EXPECT_EQ(Number(w.json, "/link/peak_queued_packets"), 5u);
        EXPECT_NE(w.run.out.find("refused by a full send queue"), std::string::npos) << w.run.out;
    }
    // Many media packets a post (one frame each at MTU 132, or at bitpool
    // 250): the queue's depth holds per packet, and the report says so.
    for (const std::vector<std::string>& more :
         {std::vector<std::string>{"--mtu", "132"}, std::vector<std::string>{"--bitpool", "250"}}) {
        SCOPED_TRACE(more[0]);
        World w = Live(dir, With(more, {"--radio-kbps", "300"}));
        EXPECT_LE(Number(w.json, "/link/peak_queued_packets"), 10u);
        EXPECT_GT(Number(w.json, "/link/refused_queue_full"), 0u);
    }
}

TEST(WorldPlayTest, HalfTheByteRateStarvesTheHeadsetThoughTheLibraryGetsEverything)
{
    TempDir dir;
    for (const auto& codec : kCodecs) {
    SCOPED_TRACE(IsSbc(codec) ? "sbc" : "pcm");
    World w = Live(dir, With(codec, {"--set", "Sample=88200", "--plot", dir.File("plot.svg")}));
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    EXPECT_EQ(JsonAt(w.json, "/bit_exact"), "true");
    // Three seconds of sound take six to arrive; the headset plays them in
    // three, so it is silent for about the other three.
    auto gaps = Gaps(w.json);
    EXPECT_GT(gaps.size(), 10u);
    double silent = Real(w.json, "/headset/gap_seconds");
    EXPECT_GT(silent, 2.6);
    EXPECT_LT(silent, 3.1);
    EXPECT_NE(w.run.out.find("less than the headset plays: it starves"), std::string::npos) << w.run.out;
    // The plot shows the headset's level, and each gap as a red mark.
    std::string svg = ReadText(dir.File("plot.svg"));
    EXPECT_NE(svg.find("Headset buffer, lowest and highest between packets"), std::string::npos);
    size_t marks = 0;
    for (size_t at = svg.find("height='10' fill='#d62728'"); at != std::string::npos;
         at = svg.find("height='10' fill='#d62728'", at + 1))
        ++marks;
    EXPECT_EQ(marks, gaps.size());
    // With SBC the plot draws the bitpool too.
    EXPECT_EQ(svg.find("SBC bitpool of the packets sent") != std::string::npos, IsSbc(codec));
    }
}

TEST(WorldPlayTest, OneBufferMakesGapsTheListenerHearsWhereTheReportSays)
{
    TempDir dir;
    Audio noise = Noise(kFrames, 44100, 2, 9);
    WriteWav(dir.File("noise.wav"), noise);
    for (const auto& codec : kCodecs) {
    SCOPED_TRACE(IsSbc(codec) ? "sbc" : "pcm");
    World w = Live(dir, With(codec, {"--buffers", "1", "--heard", dir.File("heard.wav")}), dir.File("noise.wav"));
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    auto gaps = Gaps(w.json);
    ASSERT_FALSE(gaps.empty()) << w.json;
    Audio heard = ReadAudio(dir.File("heard.wav"));
    const size_t frames = heard.samples.size() / 2;
    EXPECT_EQ(frames, Number(w.json, "/headset/played_frames") + Number(w.json, "/headset/silent_frames"));
    EXPECT_EQ(Number(w.json, "/headset/played_frames"), HeardFrames(kFrames, IsSbc(codec)));
    auto silentFrame = [&](size_t f) { return heard.samples[2 * f] == 0 && heard.samples[2 * f + 1] == 0; };
    // Every reported gap is silence in the file, of its length, at its place,
    // with sound right before and after; outside the gaps there is sound.
    std::vector<bool> inGap(frames, false);
    for (const Gap& g : gaps) {
        size_t from = static_cast<size_t>(g.heardAt * 44100 + 0.5);
        size_t length = static_cast<size_t>(g.seconds * 44100 + 0.5);
        ASSERT_LE(from + length, frames);
        ASSERT_GT(from, 0u);
        EXPECT_FALSE(silentFrame(from - 1)) << from;
        for (size_t f = from; f < from + length; ++f) {
            ASSERT_TRUE(silentFrame(f)) << "frame " << f << " of the gap at " << g.heardAt;
            inGap[f] = true;
        }
        if (from + length < frames)
            EXPECT_FALSE(silentFrame(from + length)) << from + length;
    }
    // SBC's decoded sound begins after the codec's delay, and ends with the
    // last frame's padding; nothing else is silent.
    const size_t delay = IsSbc(codec) ? Number(w.json, "/heard_quality/codec_delay_frames") : 0;
    const size_t padding = HeardFrames(kFrames, IsSbc(codec)) - kFrames;
    size_t unexplained = 0;
    for (size_t f = delay; f + padding < frames; ++f)
        unexplained += !inGap[f] && silentFrame(f);
    EXPECT_EQ(unexplained, 0u);
    }
}

// Each fault the player can arm, with what it must change in the report.
TEST(WorldPlayTest, EachFaultFromTheCommandLineChangesTheReportAsPredicted)
{
    TempDir dir;
    World plain = Live(dir, {});
    ASSERT_EQ(plain.run.exitCode, 0) << plain.run.err;
    const uint64_t packets = Number(plain.json, "/link/carried");
    EXPECT_TRUE(Gaps(plain.json).empty());

    // Five posts refused after ten: five ticks' audio lost.
    World w = Live(dir, {"--fault", "refuse@10x5"});
    EXPECT_EQ(w.run.exitCode, 7);   // the headset ran dry: a gap, before the refused posts
    EXPECT_EQ(Number(w.json, "/link/refused_fault"), 5u);
    EXPECT_EQ(Number(w.json, "/link/refused_fault_bytes"), 5 * kTick);
    EXPECT_EQ(Number(w.json, "/bytes_received"), 529200 - 5 * kTick);
    EXPECT_NE(w.run.out.find("refuse@10x5: fired 5 times"), std::string::npos) << w.run.out;

    // Three media packets lost on the air: the library received their
    // audio, the listener hears silence in its place.  With PCM a packet is
    // a post; with SBC, seven frames.
    // (A run that could not start reports nothing lost and nothing played:
    // the exit status tells it apart, 2-6 being the run's own failures.)
    w = Live(dir, {"--codec", "pcm", "--fault", "lose@20x3"});
    ASSERT_FALSE(w.run.exitCode >= 2 && w.run.exitCode <= 6) << w.run.err;
    EXPECT_EQ(Number(w.json, "/link/lost"), 3u);
    EXPECT_EQ(Number(w.json, "/link/lost_bytes"), 3 * kTick);
    EXPECT_EQ(Number(w.json, "/headset/concealed_frames"), 3 * kTick / 4);
    EXPECT_EQ(Number(w.json, "/headset/played_frames"), 529200u / 4);
    EXPECT_EQ(JsonAt(w.json, "/bit_exact"), "true");
    w = Live(dir, {"--fault", "lose@20x3", "--packets", dir.File("p.csv")});
    ASSERT_FALSE(w.run.exitCode >= 2 && w.run.exitCode <= 6) << w.run.err;
    EXPECT_EQ(Number(w.json, "/link/lost"), 3u);
    // The packet log lists the media packets beside the posts: their
    // sequence numbers run on, and the three lost say so.
    {
        std::istringstream csv(ReadText(dir.File("p.csv")));
        std::string row;
        uint64_t media = 0, lost = 0;
        while (std::getline(csv, row)) {
            if (row.find(",media,") == std::string::npos)
                continue;
            std::vector<std::string> f;
            std::istringstream cells(row);
            for (std::string c; std::getline(cells, c, ',');)
                f.push_back(c);
            ASSERT_EQ(f.size(), 11u) << row;
            EXPECT_EQ(std::stoull(f[5]), media) << row;   // sequence
            EXPECT_EQ(f[9] == "lost", media >= 20 && media < 23) << row;
            lost += f[9] == "lost";
            ++media;
        }
        EXPECT_EQ(media, Number(w.json, "/link/packets_sent"));
        EXPECT_EQ(lost, 3u);
    }
    EXPECT_EQ(Number(w.json, "/link/lost_frames"), 21u);
    EXPECT_EQ(Number(w.json, "/link/lost_bytes"), 21u * 512);
    EXPECT_EQ(Number(w.json, "/headset/played_frames"), HeardFrames(529200 / 4, true));
    // Every media packet is the fault's, the one the stream's end sends too.
    w = Live(dir, {"--fault", "losex*"});
    EXPECT_GT(Number(w.json, "/link/lost"), 100u);
    EXPECT_EQ(Number(w.json, "/link/lost"), Number(w.json, "/link/packets_sent"));
    EXPECT_EQ(Number(w.json, "/headset/concealed_frames"), Number(w.json, "/headset/played_frames"));

    // Slow posts hold the stream lock (and the world's time) but lose nothing.
    w = Live(dir, {"--fault", "slowpost:4x3"});
    EXPECT_EQ(w.run.exitCode, 0);
    EXPECT_EQ(Number(w.json, "/link/slow"), 3u);
    EXPECT_EQ(Number(w.json, "/link/slow_ms"), 12u);

    // A tick 300 ms late: the driver catches up on the counter (nothing is
    // lost), but the headset's 100 ms reserve runs dry first.
    w = Live(dir, {"--fault", "late:300@30"});
    EXPECT_EQ(w.run.exitCode, 7);   // the gap
    EXPECT_EQ(JsonAt(w.json, "/bit_exact"), "true");
    auto gaps = Gaps(w.json);
    ASSERT_EQ(gaps.size(), 1u) << w.json;
    EXPECT_GT(gaps[0].seconds, 0.1);
    EXPECT_LT(gaps[0].seconds, 0.35);

    // The counter running 10 % fast on every tick: the driver sends 10 %
    // more audio a second than the headset plays, which overflows its buffer.
    w = Live(dir, {"--fault", "drift:100000x*"});
    EXPECT_EQ(JsonAt(w.json, "/bit_exact"), "true");
    EXPECT_GT(Number(w.json, "/headset/dropped_bytes"), 0u);
    EXPECT_EQ(Number(w.json, "/headset/played_frames") * 4 + Number(w.json, "/headset/dropped_bytes"), HeardFrames(529200 / 4, true) * 4);

    // Two packet allocations fail: the audio is late, not lost.
    w = Live(dir, {"--fault", "malloc@5x2"});
    EXPECT_EQ(w.run.exitCode, 0);
    EXPECT_EQ(Number(w.json, "/link/carried_bytes"), 529200u);
    EXPECT_GE(Number(w.json, "/link/carried"), packets);
    EXPECT_NE(w.run.out.find("malloc@5x2: fired 2 times"), std::string::npos) << w.run.out;

    // The registry's values cannot be read: the driver plays with its defaults.
    w = Live(dir, {"--fault", "regquery@0x*"});
    EXPECT_EQ(w.run.exitCode, 0);
    EXPECT_GT(Number(w.json, "/faults/0/fired"), 0u);

    // No device context: the run fails, with a report that names the fault.
    w = Live(dir, {"--fault", "localalloc"});
    EXPECT_EQ(w.run.exitCode, 6);
    EXPECT_NE(w.run.out.find("localalloc: fired 1 time "), std::string::npos) << w.run.out;

    // Bad spellings are command-line errors.
    for (const char* bad : {"nosuch", "refuse:5", "late:x", "malloc@", "refusex0"}) {
        RunResult r = RunPlayer({"--fast", "--quiet", "--fault", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--fault"), std::string::npos) << r.err;
    }
}

// The text report's tick lateness: mean and max, in ms.
bool Lateness(const std::string& out, double* mean, double* max)
{
    size_t at = out.find("tick lateness   mean ");
    double p99 = 0;
    return at != std::string::npos &&
           std::sscanf(out.c_str() + at, "tick lateness   mean %lf ms, p99 %lf ms, max %lf ms", mean, &p99, max) == 3;
}

TEST(WorldPlayTest, FastModeFaultsCostVirtualTimeAndTheFiguresStayTrue)
{
    TempDir dir;
    auto text = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--fast", "--quiet", "--report", dir.File("r.json")});
        World w;
        w.run = RunPlayer(extra);
        w.json = ReadText(dir.File("r.json"));
        return w;
    };
    // A post that takes 300 ms holds the tick for 300 ms of the world's
    // time: the next tick is that late, and the headset's 100 ms reserve
    // runs dry while it waits.
    World w = text({"--fault", "slowpost:300@30"});
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    double mean = -1, max = -1;
    ASSERT_TRUE(Lateness(w.run.out, &mean, &max)) << w.run.out;
    EXPECT_NEAR(max, 280.0, 0.5);
    EXPECT_EQ(Gaps(w.json).size(), 1u) << w.json;

    // A tick a period and a half late: the lateness figure is that, never
    // negative.
    w = text({"--fault", "late:30@5"});
    ASSERT_TRUE(Lateness(w.run.out, &mean, &max)) << w.run.out;
    EXPECT_DOUBLE_EQ(max, 30.0);
    EXPECT_GT(mean, 0.0);
    EXPECT_LT(mean, 1.0);

    // A drifting counter moves what the driver measures, not when the
    // clock runs the ticks: they are all on time.
    for (const char* drift : {"drift:300x*", "drift:-300x*"}) {
        w = text({"--fault", drift});
        ASSERT_TRUE(Lateness(w.run.out, &mean, &max)) << w.run.out;
        EXPECT_DOUBLE_EQ(max, 0.0) << drift;
        EXPECT_DOUBLE_EQ(mean, 0.0) << drift;
    }

    // The close comes right after the last buffer: with the callback
    // refilling, after the tick that returned it; with the event (the
    // default), when the main thread, woken by it, finds the last buffer back.
    auto closedAt = [&](const std::vector<std::string>& args) {
        w = text(args);
        size_t at = w.run.out.find("s  closed");
        EXPECT_NE(at, std::string::npos) << w.run.out;
        if (at == std::string::npos)
            return -1.0;
        size_t from = w.run.out.rfind("event", at);
        return std::stod(w.run.out.substr(from + 5, at - from - 5));
    };
    for (const char* refill : {"callback", "event"}) {
        for (const char* length : {"1s", "3s"}) {
            double closed = closedAt({"--length", length, "--refill", refill});
            EXPECT_GE(closed, std::stod(length)) << refill;
            if (std::string(refill) == "callback")
                EXPECT_GT(closed, std::stod(length));
            EXPECT_LT(closed, std::stod(length) + 0.1) << refill << w.run.out;
        }
        // A pause delays the close by its length, also past the sound's
        // expected end (a 3 s sound paused 1 s at 1 s closes at 4 s on the
        // real clock).
        for (int pauseMs : {500, 1000, 5000}) {
            const double end = 3.0 + pauseMs / 1000.0;
            double closed =
                closedAt({"--length", "3s", "--refill", refill, "--pause", "1s:" + std::to_string(pauseMs) + "ms"});
            EXPECT_GE(closed, end) << refill << " pause " << pauseMs;
            EXPECT_LT(closed, end + 0.1) << refill << " pause " << pauseMs << w.run.out;
        }
    }

    // The headset's level: the lowest is just before a packet, the highest
    // just after one, and the report says so.
    EXPECT_NE(w.run.out.find("headset level   while playing: lowest "), std::string::npos) << w.run.out;
    EXPECT_NE(w.run.out.find(" ms, just before a packet arrived), highest "), std::string::npos);
}

TEST(WorldPlayTest, LinkThatComesUpLateOrNever)
{
    // The application opens first; the headset connects 500 ms into the
    // sound: what was posted before is refused.
    TempDir dir;
    World w = Live(dir, {"--link-up", "500"});
    EXPECT_EQ(w.run.exitCode, 9);   // posts refused before the link came up
    EXPECT_NE(w.json.find("no link yet: the application opens before the headset connects"), std::string::npos);
    EXPECT_NE(w.json.find("link up (the headset connects)"), std::string::npos);
    EXPECT_EQ(Number(w.json, "/link/refused_link_down_bytes"), 6144 + 24 * kTick);

    // Never: every post is refused, the buffers still come back, nothing is heard.
    w = Live(dir, {"--link-delay", "never"});
    EXPECT_EQ(w.run.exitCode, 9);   // every post refused; nothing heard, so no gap either
    EXPECT_EQ(Number(w.json, "/link/carried"), 0u);
    EXPECT_EQ(Number(w.json, "/link/refused_link_down_bytes"), 529200u);
    EXPECT_EQ(JsonAt(w.json, "/headset/started"), "false");
    EXPECT_NE(w.run.out.find("heard nothing"), std::string::npos) << w.run.out;
}

// Out loud through ALSA, where CI has no sound card: a configuration of our
// own gives a "file" device (over the null device) that keeps what it plays.
TEST(WorldPlayTest, PlaysWhatTheListenerHearsThroughAlsaAndGoesOnWithoutADevice)
{
    TempDir dir;
    WriteText(dir.File("asound.conf"), "pcm.heard {\n  type file\n  slave.pcm { type null }\n  file \"" +
                                           dir.File("played.raw") + "\"\n  format \"raw\"\n}\n");
    setenv("ALSA_CONFIG_PATH", dir.File("asound.conf").c_str(), 1);
    Audio noise = Noise(20000, 44100, 2, 3);
    WriteWav(dir.File("noise.wav"), noise);
    // A link drop makes a gap, which must be played as silence too.
    World w = Live(dir, {"--play-out=heard", "--heard", dir.File("heard.wav"), "--link-down", "100", "--link-back",
                         "200"},
                   dir.File("noise.wav"));
    EXPECT_EQ(w.run.exitCode, 7) << w.run.err;
    EXPECT_NE(w.run.out.find("played what the listener heard on sound device 'heard'"), std::string::npos)
        << w.run.out;
    Audio heard = ReadAudio(dir.File("heard.wav"));
    ASSERT_FALSE(Gaps(w.json).empty());
    std::string played = ReadText(dir.File("played.raw"));
    ASSERT_EQ(played.size(), heard.samples.size() * 2);
    EXPECT_EQ(std::memcmp(played.data(), heard.samples.data(), played.size()), 0);

    // No such device: one clear warning, and everything else as before.
    w = Live(dir, {"--play-out=nosuch", "--heard", dir.File("heard2.wav")}, dir.File("noise.wav"));
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_NE(w.run.err.find("btwav-play: warning: cannot open sound device 'nosuch': "), std::string::npos)
        << w.run.err;
    EXPECT_EQ(w.run.err.find("ALSA lib"), std::string::npos) << w.run.err;
    EXPECT_GT(ReadAudio(dir.File("heard2.wav")).samples.size(), noise.samples.size() - 2 * 128);
    // The PCM carrier gives the sound back bit-exact.
    w = Live(dir, {"--codec", "pcm", "--play-out=nosuch", "--heard", dir.File("heard3.wav")}, dir.File("noise.wav"));
    EXPECT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_EQ(ReadAudio(dir.File("heard3.wav")).samples, noise.samples);
    unsetenv("ALSA_CONFIG_PATH");
}

TEST(WorldPlayTest, WriteToEarIsTheApplicationsQueuedAudioThenPostToEar)
{
    // More of the application's buffers queued in the driver: more audio
    // waits before its post, and write to ear grows by it; post to ear (the
    // sink's delay in it) does not change.
    TempDir dir;
    World few = Live(dir, {"--buffers", "4"});
    World many = Live(dir, {"--buffers", "8"});
    for (const World* w : {&few, &many}) {
        EXPECT_NEAR(Real(w->json, "/headset/write_to_ear_mean"),
                    Real(w->json, "/headset/app_queued_mean") + Real(w->json, "/headset/post_to_ear_mean"), 1e-5);
        EXPECT_GT(Real(w->json, "/headset/post_to_ear_mean"), Real(w->json, "/headset/sink_delay"));
        EXPECT_NE(w->run.out.find("write to ear    mean "), std::string::npos) << w->run.out;
    }
    EXPECT_GT(Real(many.json, "/headset/app_queued_mean"), Real(few.json, "/headset/app_queued_mean") + 0.05);
    EXPECT_NEAR(Real(many.json, "/headset/post_to_ear_mean"), Real(few.json, "/headset/post_to_ear_mean"), 0.002);
}

}  // namespace
