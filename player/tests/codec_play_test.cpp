// The player end to end with the library's codec: what the listener hears
// through SBC against libsbc's own encode and decode of the same audio, the
// bitpool under interference, the PCM carrier's bit-exact ear, and a model
// that costs nothing when nobody listens.  Fast mode, on the virtual clock.
#include <gtest/gtest.h>

#include <sbc/sbc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "audio_files.h"
#include "btstandin/codec.h"

using namespace player_test;

namespace {

double Real(const std::string& json, const std::string& key)
{
    std::string v = JsonAt(json, key);
    EXPECT_FALSE(v.empty()) << key << " missing";
    return v.empty() ? -1 : std::stod(v);
}

size_t GapCount(const std::string& json)
{
    return ParseReport(json).value("/headset/gaps"_json_pointer, nlohmann::ordered_json::array()).size();
}

// libsbc's own encode and decode of 16-bit stereo audio at 44.1 kHz, joint
// stereo, 16 blocks, 8 subbands, loudness: whole frames, the last padded.
std::vector<int16_t> LibsbcRoundTrip(const std::vector<int16_t>& in, int bitpool)
{
    sbc_t enc, dec;
    sbc_init(&enc, 0);
    sbc_init(&dec, 0);
    enc.frequency = SBC_FREQ_44100;
    enc.mode = SBC_MODE_JOINT_STEREO;
    enc.blocks = SBC_BLK_16;
    enc.subbands = SBC_SB_8;
    enc.allocation = SBC_AM_LOUDNESS;
    enc.bitpool = static_cast<uint8_t>(bitpool);
    enc.endian = dec.endian = SBC_LE;
    std::vector<int16_t> padded = in;
    padded.resize((in.size() + 255) / 256 * 256, 0);
    std::vector<int16_t> out(padded.size());
    uint8_t frame[512];
    for (size_t at = 0; at < padded.size(); at += 256) {
        ssize_t written = 0;
        sbc_encode(&enc, padded.data() + at, 512, frame, sizeof frame, &written);
        size_t got = 0;
        sbc_decode(&dec, frame, static_cast<size_t>(written), out.data() + at, 512, &got);
    }
    sbc_finish(&enc);
    sbc_finish(&dec);
    return out;
}

// The lag (audio frames) at which `got` best matches `ref`, over its first second.
size_t BestLag(const std::vector<int16_t>& ref, const std::vector<int16_t>& got)
{
    size_t best = 0;
    double bestErr = HUGE_VAL;
    for (size_t lag = 0; lag < 400; ++lag) {
        double e = 0;
        for (size_t i = 1000; i < 44100 && 2 * (i + lag) + 1 < got.size() && 2 * i + 1 < ref.size(); ++i)
            for (int c = 0; c < 2; ++c) {
                const double d = static_cast<double>(ref[2 * i + c]) - got[2 * (i + lag) + c];
                e += d * d;
            }
        if (e < bestErr) {
            bestErr = e;
            best = lag;
        }
    }
    return best;
}

// SNR of each whole second of `got` (lagged) against `ref`, in dB.
std::vector<double> SecondsSnr(const std::vector<int16_t>& ref, const std::vector<int16_t>& got, size_t lag)
{
    std::vector<double> out;
    const size_t frames = std::min(ref.size() / 2, got.size() / 2 - lag);
    for (size_t s = 0; (s + 1) * 44100 <= frames; ++s) {
        double sig = 0, noise = 0;
        for (size_t i = s * 44100; i < (s + 1) * 44100; ++i)
            for (int c = 0; c < 2; ++c) {
                const double x = ref[2 * i + c], d = x - got[2 * (i + lag) + c];
                sig += x * x;
                noise += d * d;
            }
        out.push_back(10 * std::log10(sig / std::max(noise, 1e-9)));
    }
    return out;
}

TEST(CodecPlayTest, HeardSbcIsAsGoodAsLibsbcsOwnEncodeAndDecodeOfTheSameAudio)
{
    TempDir dir;
    Audio noise = Noise(5 * 44100 + 1000, 44100, 2, 11);
    WriteWav(dir.File("noise.wav"), noise);
    World w = Live(dir, {"--wav", dir.File("got.wav"), "--heard", dir.File("heard.wav")}, dir.File("noise.wav"));
    ASSERT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_EQ(JsonAt(w.json, "/link/codec"), "\"sbc\"");
    EXPECT_EQ(JsonAt(w.json, "/link/encoded"), "true");
    EXPECT_EQ(GapCount(w.json), 0u);
    EXPECT_EQ(JsonAt(w.json, "/link/bitpool/changes"), "0");   // the default radio sustains bitpool 53
    Audio got = ReadAudio(dir.File("got.wav")), heard = ReadAudio(dir.File("heard.wav"));
    ASSERT_EQ(got.samples, noise.samples);   // the library received the sound bit-exact

    // The bar: libsbc alone, the same audio, the same configuration.
    std::vector<int16_t> bare = LibsbcRoundTrip(got.samples, 53);
    const size_t bareLag = BestLag(got.samples, bare), heardLag = BestLag(got.samples, heard.samples);
    EXPECT_EQ(heardLag, bareLag);
    std::vector<double> bareSnr = SecondsSnr(got.samples, bare, bareLag);
    std::vector<double> heardSnr = SecondsSnr(got.samples, heard.samples, heardLag);
    ASSERT_EQ(heardSnr.size(), 5u);
    ASSERT_EQ(bareSnr.size(), 5u);
    for (size_t s = 0; s < heardSnr.size(); ++s) {
        EXPECT_GE(heardSnr[s], bareSnr[s] - 0.01) << s;
        RecordProperty("heard_snr_db_" + std::to_string(s), std::to_string(heardSnr[s]));
        RecordProperty("libsbc_snr_db_" + std::to_string(s), std::to_string(bareSnr[s]));
    }
    // The report measures the same: its codec delay is the lag, its worst
    // second the worst the test finds.
    EXPECT_EQ(static_cast<size_t>(Real(w.json, "/heard_quality/codec_delay_frames")), heardLag);
    EXPECT_NEAR(Real(w.json, "/heard_quality/worst_snr_db"), *std::min_element(heardSnr.begin(), heardSnr.end()), 0.1);
    EXPECT_NE(w.run.out.find("heard quality   segmental SNR "), std::string::npos) << w.run.out;
}

// The bitpool log's last change: its time and bitpool.
bool LastBitpool(const std::string& json, double* t, int* bitpool)
{
    const nlohmann::ordered_json log = ParseReport(json).value("/link/bitpool/log"_json_pointer, nlohmann::ordered_json::array());
    if (log.empty())
        return false;
    *t = log.back().at("t").get<double>();
    *bitpool = log.back().at("bitpool").get<int>();
    return true;
}

// The bitpool at `t` seconds by the report's log (0: no change by then).
int BitpoolAt(const std::string& json, double t)
{
    int bitpool = 0;
    for (const nlohmann::ordered_json& c : ParseReport(json).value("/link/bitpool/log"_json_pointer, nlohmann::ordered_json::array()))
        if (c.at("t").get<double>() <= t)
            bitpool = c.at("bitpool").get<int>();
    return bitpool;
}

TEST(CodecPlayTest, InterferenceHalvingTheBudgetFor5sGapsAFixedBitpoolButNotTheAdaptiveOne)
{
    TempDir dir;
    const std::vector<std::string> world = {"--length", "20s", "--interference", "3s:5s:50%", "--heard",
                                            dir.File("h.wav")};
    std::vector<std::string> fixedArgs = world;
    fixedArgs.insert(fixedArgs.end(), {"--bitpool", "53"});
    World fixed = Live(dir, fixedArgs);
    EXPECT_GT(GapCount(fixed.json), 0u) << fixed.run.out;
    EXPECT_EQ(JsonAt(fixed.json, "/link/bitpool/changes"), "0");
    EXPECT_GT(Real(fixed.json, "/link/refused_queue_full"), 0);
    // The heard quality counts the gaps' silence as seconds at 0 dB, beside
    // the figure of the audio alone.
    EXPECT_GT(Real(fixed.json, "/heard_quality/gap_seconds"), 0.1);
    EXPECT_LT(Real(fixed.json, "/heard_quality/with_gaps_snr_db"), Real(fixed.json, "/heard_quality/segmental_snr_db") - 1);
    EXPECT_NE(fixed.run.out.find("s of gaps as 0 dB; the audio heard alone: segmental SNR"), std::string::npos)
        << fixed.run.out;

    World adaptive = Live(dir, world);
    EXPECT_EQ(adaptive.run.exitCode, 0) << adaptive.run.err;
    EXPECT_EQ(GapCount(adaptive.json), 0u) << adaptive.run.out;
    EXPECT_EQ(Real(adaptive.json, "/link/refused_queue_full"), 0);
    EXPECT_EQ(Real(adaptive.json, "/heard_quality/with_gaps_snr_db"), Real(adaptive.json, "/heard_quality/segmental_snr_db"));
    EXPECT_NE(adaptive.run.out.find("the library encoded SBC and the headset decoded it"), std::string::npos);
    // The sink's delay report: its buffer target (100 ms) and its decoder's delay.
    const double codecDelay = Real(adaptive.json, "/heard_quality/codec_delay_frames");
    EXPECT_GT(codecDelay, 0);
    EXPECT_NEAR(Real(adaptive.json, "/headset/sink_delay"), (4410 + codecDelay) / 44100, 1e-6);
    EXPECT_NE(adaptive.run.out.find(" ms (the headset's delay report: buffer target and decoding)"), std::string::npos);
    EXPECT_LT(Real(adaptive.json, "/link/bitpool/lowest"), 53);
    double t = 0;
    int bitpool = 0;
    ASSERT_TRUE(LastBitpool(adaptive.json, &t, &bitpool)) << adaptive.json;
    EXPECT_EQ(bitpool, 53);
    EXPECT_GT(t, 8.0);                           // it came back after the interference ...
    EXPECT_GE(BitpoolAt(adaptive.json, 18.0), 50);   // ... within 3 of 53 within 10 s of its end
    EXPECT_NE(adaptive.run.out.find("interference at 3.000 s for 5.000 s took 50% of it"), std::string::npos)
        << adaptive.run.out;
}

TEST(CodecPlayTest, ThePcmCarrierKeepsTheHeardAudioBitExact)
{
    TempDir dir;
    Audio noise = Noise(3 * 44100 + 17, 44100, 2, 5);
    WriteWav(dir.File("noise.wav"), noise);
    World w = Live(dir, {"--codec", "pcm", "--heard", dir.File("heard.wav")}, dir.File("noise.wav"));
    ASSERT_EQ(w.run.exitCode, 0) << w.run.err;
    EXPECT_EQ(ReadAudio(dir.File("heard.wav")).samples, noise.samples);
    EXPECT_EQ(JsonAt(w.json, "/heard_quality/exact"), "true");
    EXPECT_EQ(JsonAt(w.json, "/link/codec"), "\"pcm\"");
    EXPECT_EQ(Real(w.json, "/link/radio_kbps"), 2117);
    EXPECT_NEAR(Real(w.json, "/headset/sink_delay"), 0.1, 1e-6);   // no decoder: the buffer target alone
    EXPECT_NE(w.run.out.find("heard quality   identical to what the library was given"), std::string::npos);
}

TEST(CodecPlayTest, NobodyListeningModelsTheSameLinkWithoutEncodingAndALostPacketIsHeardAsSilence)
{
    TempDir dir;
    World quiet = Live(dir, {"--length", "5s", "--interference", "1s:2s:0.6"});
    World heard = Live(dir, {"--length", "5s", "--interference", "1s:2s:0.6", "--heard", dir.File("h.wav")});
    EXPECT_EQ(JsonAt(quiet.json, "/link/encoded"), "false");
    EXPECT_EQ(JsonAt(quiet.json, "/heard_quality/measured"), "false");
    EXPECT_EQ(JsonAt(heard.json, "/link/encoded"), "true");
    for (const char* key : {"/link/packets_sent", "/link/frames_sent", "/link/bytes_sent", "/link/bitpool/changes",
                            "/link/bitpool/lowest", "/headset/played_frames", "/headset/post_to_ear_max",
                            "/link/peak_queued_packets"})
        EXPECT_EQ(JsonAt(quiet.json, key), JsonAt(heard.json, key)) << key;
    EXPECT_NE(quiet.run.out.find("sizes by formula, nothing encoded (nobody listened)"), std::string::npos);

    // Three media packets lost: their 21 frames are heard as silence, in
    // place, and the heard quality says so.
    World lost = Live(dir, {"--length", "5s", "--heard", dir.File("l.wav"), "--fault", "lose@20x3"});
    World clean = Live(dir, {"--length", "5s", "--heard", dir.File("c.wav")});
    EXPECT_EQ(Real(lost.json, "/link/lost"), 3);
    EXPECT_EQ(Real(lost.json, "/link/lost_frames"), 21);
    EXPECT_EQ(Real(lost.json, "/headset/concealed_frames"), 21 * 128);
    EXPECT_EQ(JsonAt(lost.json, "/headset/played_frames"), JsonAt(clean.json, "/headset/played_frames"));
    EXPECT_EQ(GapCount(lost.json), 0u);
    EXPECT_LT(Real(lost.json, "/heard_quality/worst_snr_db"), Real(clean.json, "/heard_quality/worst_snr_db") - 20);
    Audio l = ReadAudio(dir.File("l.wav")), c = ReadAudio(dir.File("c.wav"));
    ASSERT_EQ(l.samples.size(), c.samples.size());
    size_t silent = 0;
    for (size_t i = 0; i < l.samples.size(); ++i)
        silent += l.samples[i] == 0 && c.samples[i] != 0;
    EXPECT_GT(silent, 2u * 21 * 128 * 9 / 10);
}

TEST(CodecPlayTest, ALostStretchIsHeardOnceAsLongAsItWasAndWhatFollowsKeepsItsTiming)
{
    // Losses shorter and longer than the headset's buffer (250 ms; a packet
    // is 7 frames, 20.3 ms): each is heard as silence of its own length, in
    // place, and the audio after it lines up with a clean run's.
    TempDir dir;
    World clean = Live(dir, {"--length", "5s", "--heard", dir.File("c.wav")});
    const Audio c = ReadAudio(dir.File("c.wav"));
    const size_t packet = 7 * 128;
    for (int n : {3, 10, 20}) {
        SCOPED_TRACE(n);
        World lost = Live(dir, {"--length", "5s", "--heard", dir.File("l.wav"), "--fault",
                                "lose@20x" + std::to_string(n)});
        EXPECT_EQ(Real(lost.json, "/link/lost"), n);
        EXPECT_EQ(GapCount(lost.json), 0u);
        EXPECT_EQ(Real(lost.json, "/headset/concealed_frames"), n * packet);
        const Audio l = ReadAudio(dir.File("l.wav"));
        ASSERT_EQ(l.samples.size(), c.samples.size());
        // The stretch that differs: silence where the clean run has sound.
        size_t first = 0, last = 0;
        for (size_t i = 0; i < l.samples.size(); i += 2)
            if (l.samples[i] != c.samples[i] || l.samples[i + 1] != c.samples[i + 1]) {
                if (!first)
                    first = i / 2;
                last = i / 2;
            }
        ASSERT_GT(first, 0u);
        // As long as the loss, within a packet (the decoder's filters settle
        // within a frame after it).
        EXPECT_NEAR(static_cast<double>(last - first + 1), static_cast<double>(n * packet), packet);
        // After it, more than a second to the end, the heard audio is the
        // clean run's sample for sample: no shift at all.
        EXPECT_GT(l.samples.size() / 2 - last, 44100u);
    }
}

TEST(CodecPlayTest, AnMtuCostsTheBasebandSlotsItsPacketsTake)
{
    // Bitpool 53: at MTU 895 seven frames (850 bytes with the L2CAP header)
    // take a 2-DH5 and a 2-DH3, ten slots with their return slots; at 672
    // five frames fit one 2-DH5, six slots.  3 Mbit/s types carry the 895
    // in one 3-DH5.
    TempDir dir;
    World big = Live(dir, {"--length", "5s", "--bitpool", "53", "--mtu", "895"});
    World small = Live(dir, {"--length", "5s", "--bitpool", "53", "--mtu", "672"});
    World edr3 = Live(dir, {"--length", "5s", "--bitpool", "53", "--mtu", "895", "--radio-types", "3M"});
    const double perFrame895 = Real(big.json, "/link/slots_per_frame");
    const double perFrame672 = Real(small.json, "/link/slots_per_frame");
    EXPECT_GT(perFrame895, perFrame672);
    EXPECT_NEAR(perFrame895, 10 / 7.0, 0.01);
    EXPECT_NEAR(perFrame672, 6 / 5.0, 0.01);
    EXPECT_NEAR(Real(edr3.json, "/link/slots_per_frame"), 6 / 7.0, 0.01);
    EXPECT_NEAR(Real(big.json, "/link/air_seconds"), Real(big.json, "/link/air_slots") * 625e-6, 1e-6);
    EXPECT_NE(big.run.out.find("2-DH1/2-DH3/2-DH5: "), std::string::npos) << big.run.out;
    EXPECT_NE(edr3.run.out.find("3-DH1/3-DH3/3-DH5: "), std::string::npos) << edr3.run.out;
    // The default budget (half the link) plays 53 with room at either.
    EXPECT_EQ(Real(big.json, "/link/refused_queue_full"), 0);
    EXPECT_EQ(Real(small.json, "/link/refused_queue_full"), 0);
}

TEST(CodecPlayTest, AFlushTimeoutUnderInterferenceDropsPacketsTheHeadsetHearsAsAGapInPlace)
{
    // 70% of the budget lost for 2 s from 3 s: a fixed 53 needs more than is
    // left, and with a flush timeout of 60 ms the packets that wait longer
    // are dropped instead of backing the queue up.  The headset sees their
    // sequence numbers skipped and hears their stretch as silence, in
    // place: every other sample is the clean run's.
    TempDir dir;
    World clean = Live(dir, {"--length", "8s", "--bitpool", "53", "--heard", dir.File("c.wav")});
    World flushed = Live(dir, {"--length", "8s", "--bitpool", "53", "--interference", "3s:2s:70%", "--flush-timeout",
                               "60", "--heard", dir.File("f.wav"), "--packets", dir.File("p.csv")});
    EXPECT_EQ(flushed.run.exitCode, 9) << flushed.run.err;   // media packets flushed: lost on the way
    EXPECT_GT(Real(flushed.json, "/link/flushed"), 5);
    EXPECT_EQ(Real(flushed.json, "/link/flush_timeout_ms"), 60);
    EXPECT_EQ(Real(flushed.json, "/link/refused_queue_full"), 0);
    EXPECT_EQ(GapCount(flushed.json), 0u) << flushed.run.out;
    EXPECT_EQ(Real(clean.json, "/link/flushed"), 0);   // off by default
    EXPECT_NEAR(Real(flushed.json, "/link/slots_per_frame"), 10 / 7.0, 0.01);   // of the frames delivered
    EXPECT_NE(flushed.run.out.find(" flushed;"), std::string::npos) << flushed.run.out;

    // The packet log: sequence numbers run on, the flushed rows say so.
    struct Span {
        size_t from, to;
    };
    std::vector<Span> dropped;
    std::istringstream csv(ReadText(dir.File("p.csv")));
    uint64_t sequence = 0;
    for (std::string row; std::getline(csv, row);) {
        if (row.find(",media,") == std::string::npos)
            continue;
        std::vector<std::string> f;
        std::istringstream cells(row);
        for (std::string c; std::getline(cells, c, ',');)
            f.push_back(c);
        ASSERT_EQ(f.size(), 11u) << row;
        EXPECT_EQ(std::stoull(f[5]), sequence++) << row;
        if (f[9] != "flushed")
            continue;
        const double at = std::stod(f[0]);
        EXPECT_GE(at, 3.0) << row;   // only while the interference lasts
        EXPECT_LE(at, 5.1) << row;
        const size_t ts = std::stoul(f[6]);
        dropped.push_back({ts, ts + std::stoul(f[7]) * 128});
    }
    ASSERT_EQ(dropped.size(), static_cast<size_t>(Real(flushed.json, "/link/flushed")));

    // The heard audio: silence over each dropped packet's timestamps, and
    // the clean run's audio elsewhere (the decoder settles within a frame
    // after a gap).
    const Audio c = ReadAudio(dir.File("c.wav"));
    const Audio f = ReadAudio(dir.File("f.wav"));
    ASSERT_EQ(f.samples.size(), c.samples.size());
    const size_t offset = static_cast<size_t>(Real(flushed.json, "/heard_quality/codec_delay_frames"));
    for (const Span& d : dropped)
        for (size_t i = d.from; i < d.to; ++i)
            ASSERT_EQ(f.samples[2 * i], 0) << i;
    size_t differing = 0;
    for (size_t i = 0; i < f.samples.size() / 2; ++i) {
        if (f.samples[2 * i] == c.samples[2 * i] && f.samples[2 * i + 1] == c.samples[2 * i + 1])
            continue;
        ++differing;
        bool inside = false;
        for (const Span& d : dropped)
            inside = inside || (i >= d.from && i < d.to + offset + 128);
        EXPECT_TRUE(inside) << i;
        if (!inside)
            break;
    }
    EXPECT_GE(differing, dropped.size() * 7 * 128 / 2);
}

// Every line of the codec table plays end to end in fast mode with someone
// listening: the listener hears the sound, as it was through a codec
// without a coder, through its decoder otherwise (late by the delay the
// report states, and close); a codec's stream file holds its frames as
// sent, and the same bytes when another codec's run encodes the received
// audio for it.
TEST(CodecPlayTest, EveryLineOfTheCodecTableIsHeardEndToEnd)
{
    TempDir dir;
    Audio noise = Noise(2 * 44100 + 500, 44100, 2, 23);
    WriteWav(dir.File("noise.wav"), noise);
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    ASSERT_GE(count, 2u);
    std::map<std::string, std::string> sent;   // stream option -> its file, from its own codec's run
    for (int pass = 0; pass < 2; ++pass)        // the codecs' own stream files first, the others' after
        for (size_t c = 0; c < count; ++c) {
            const btstandin::CodecInfo& codec = codecs[c];
            const btstandin::CodecParts& parts = *codec.parts;
            SCOPED_TRACE(std::string(codec.name) + (pass ? ", the others' stream files" : ""));
            std::vector<std::string> args = {"--codec", codec.name, "--heard", dir.File("heard.wav")};
            for (size_t o = 0; o < count; ++o) {
                const char* option = codecs[o].parts->streamOption;
                if (option && (o == c) == (pass == 0) && codecs[o].Coded())
                    args.insert(args.end(), {option, dir.File(std::string(codec.name) + option)});
            }
            World w = Live(dir, args, dir.File("noise.wav"));
            ASSERT_EQ(w.run.exitCode, 0) << w.run.err;
            EXPECT_EQ(JsonAt(w.json, "/link/codec"), "\"" + std::string(codec.name) + "\"");
            EXPECT_EQ(JsonAt(w.json, "/heard_quality/measured"), "true");
            EXPECT_EQ(GapCount(w.json), 0u);
            EXPECT_NE(w.run.out.find(std::string("  codec           ") + parts.title), std::string::npos) << w.run.out;
            const Audio heard = ReadAudio(dir.File("heard.wav"));
            if (!codec.Coded()) {
                EXPECT_TRUE(heard.samples == noise.samples);
                EXPECT_EQ(JsonAt(w.json, "/heard_quality/exact"), "true");
            } else {
                const size_t lag = BestLag(noise.samples, heard.samples);
                EXPECT_EQ(lag, parts.decoderDelayFrames());
                EXPECT_EQ(static_cast<size_t>(Real(w.json, "/heard_quality/codec_delay_frames")), lag);
                const std::vector<double> snr = SecondsSnr(noise.samples, heard.samples, lag);
                ASSERT_EQ(snr.size(), 2u);
                for (double db : snr)
                    EXPECT_GT(db, 10.0);
            }
            for (size_t o = 0; o < count; ++o) {
                const char* option = codecs[o].parts->streamOption;
                const std::string path = dir.File(std::string(codec.name) + (option ? option : ""));
                if (!option || !codecs[o].Coded() || (o == c) != (pass == 0))
                    continue;
                const std::string stream = ReadText(path);
                if (pass == 0) {
                    // The bytes on the radio less each packet's headers.
                    const uint64_t packets = static_cast<uint64_t>(Real(w.json, "/link/packets_sent"));
                    const uint64_t bytes = static_cast<uint64_t>(Real(w.json, "/link/bytes_sent"));
                    EXPECT_EQ(stream.size(), bytes - packets * (btstandin::kRtpHeaderBytes + parts.payloadHeaderBytes));
                    EXPECT_GT(stream.size(), 0u);
                    sent[option] = stream;
                } else {
                    EXPECT_TRUE(stream == sent[option]) << option << ": " << stream.size() << " bytes against "
                                                        << sent[option].size();
                }
            }
        }
}

}  // namespace
