// The world's options from one string (CEHOST_WORLD): the same parsers and
// checks as the player's command line, and a clear error for anything else.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "btstandin/sendpath.h"
#include "world/options.h"

namespace player {
namespace {

WorldOptions Parsed(const std::string& text)
{
    WorldOptions o;
    std::string error;
    EXPECT_TRUE(ParseWorldOptions(text, &o, &error)) << text << ": " << error;
    return o;
}

std::string ErrorOf(const std::string& text)
{
    WorldOptions o;
    std::string error;
    EXPECT_FALSE(ParseWorldOptions(text, &o, &error)) << text;
    return error;
}

TEST(WorldOptionsTest, TakesTheLinkAndListenerOptionsInThePlayersSyntax)
{
    WorldOptions o = Parsed("--headset-buffer 150ms --link-down 2s --link-back=2.5s --interference 3s:5s:50%");
    EXPECT_EQ(o.headsetBufferFrames, BTWAV_DEVICE_RATE * 150 / 1000);
    ASSERT_EQ(o.actions.size(), 2u);
    EXPECT_EQ(o.actions[0].kind, TimedAction::LinkDown);
    EXPECT_EQ(o.actions[0].atMs, 2000u);
    EXPECT_EQ(o.actions[1].kind, TimedAction::LinkBack);
    EXPECT_EQ(o.actions[1].atMs, 2500u);
    EXPECT_TRUE(o.interference.on);
    EXPECT_EQ(o.interference.startMs, 3000u);
    EXPECT_EQ(o.interference.lengthMs, 5000u);
    EXPECT_DOUBLE_EQ(o.interference.share, 0.5);
}

TEST(WorldOptionsTest, NothingGivenIsThePlayersDefaults)
{
    WorldOptions o = Parsed("  ");
    WorldOptions d;
    EXPECT_EQ(o.linkDelayMs, d.linkDelayMs);
    EXPECT_EQ(o.mtu, d.mtu);
    EXPECT_EQ(o.headsetBufferFrames, d.headsetBufferFrames);
    EXPECT_TRUE(o.actions.empty());
    EXPECT_TRUE(o.linkAtBoot);
}

TEST(WorldOptionsTest, ActionsAreSortedAndTheLinkScriptChecked)
{
    WorldOptions o = Parsed("--link-back 4s --link-down 1s");
    ASSERT_EQ(o.actions.size(), 2u);
    EXPECT_EQ(o.actions[0].kind, TimedAction::LinkDown);
    EXPECT_NE(ErrorOf("--link-back 1s").find("needs an earlier --link-down"), std::string::npos);
    EXPECT_NE(ErrorOf("--link-down 1s --link-down 2s").find("already down"), std::string::npos);
}

TEST(WorldOptionsTest, QuotedWordsKeepTheirBlanks)
{
    WorldOptions o = Parsed("--heard '/tmp/a b.wav' --codec \"pcm\"");
    EXPECT_EQ(o.heardOut, "/tmp/a b.wav");
    EXPECT_EQ(o.codec, WorldOptions::Codec::Pcm);
    EXPECT_NE(ErrorOf("--heard 'x.wav").find("unclosed"), std::string::npos);
}

TEST(WorldOptionsTest, AnythingElseIsAOneLineErrorNamingIt)
{
    EXPECT_NE(ErrorOf("--buffers 8").find("'--buffers' is not an option of the world"), std::string::npos);
    EXPECT_NE(ErrorOf("tone.wav").find("'tone.wav'"), std::string::npos);
    EXPECT_NE(ErrorOf("--headset-buffer").find("needs a value"), std::string::npos);
    EXPECT_NE(ErrorOf("--headset-buffer 2min").find("from 1ms to 60s"), std::string::npos);
    EXPECT_NE(ErrorOf("--headset-start 300ms --headset-buffer 200ms").find("longer than the headset's buffer"),
              std::string::npos);
    EXPECT_NE(ErrorOf("--mtu 50").find("holds no SBC frame"), std::string::npos);
    EXPECT_NE(ErrorOf("--no-headset --heard x.wav").find("needs the headset model"), std::string::npos);
}

// Every line of the codec table: its id finds it, its name is a --codec
// value, and its carrier makes whole media packets, in order, of a frame of
// audio (a packet of its own or the stream end's).
TEST(WorldOptionsTest, EveryCodecOfTheTableCarriesAFrameAndIsACodecValue)
{
    size_t count = 0;
    const btstandin::CodecInfo* codecs = btstandin::Codecs(&count);
    ASSERT_GE(count, 2u);
    EXPECT_NE(btstandin::CodecNamed("sbc"), nullptr);
    EXPECT_NE(btstandin::CodecNamed("pcm"), nullptr);
    std::set<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        const btstandin::CodecInfo& c = codecs[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(&btstandin::CodecOf(c.id), &c);
        EXPECT_TRUE(names.insert(c.name).second) << "two lines of one name";
        EXPECT_EQ(Parsed(std::string("--codec ") + c.name).codec, c.id);
        btstandin::SendPathConfig link;
        link.codec = c.id;
        link.keepPcm = true;
        std::unique_ptr<btstandin::Carrier> carrier = c.make(link);
        std::vector<uint8_t> pcm(128 * btstandin::kPcmFrameBytes);
        for (size_t b = 0; b < pcm.size(); ++b)
            pcm[b] = static_cast<uint8_t>(b * 7 + 1);
        std::vector<btstandin::MediaPacket> out;
        carrier->Take(pcm.data(), static_cast<uint32_t>(pcm.size()), 0, &out);
        carrier->SendHeld(1, &out);
        ASSERT_FALSE(out.empty());
        std::vector<uint8_t> carried;
        uint64_t samples = 0;
        for (size_t k = 0; k < out.size(); ++k) {
            EXPECT_EQ(out[k].sequence, k);
            EXPECT_EQ(out[k].timestamp, samples);
            EXPECT_GT(out[k].bytes, btstandin::kRtpHeaderBytes);
            EXPECT_EQ(out[k].pcm.size(), uint64_t{out[k].samples} * btstandin::kPcmFrameBytes);
            carried.insert(carried.end(), out[k].pcm.begin(), out[k].pcm.end());
            samples += out[k].samples;
        }
        ASSERT_GE(carried.size(), pcm.size());
        EXPECT_EQ(std::vector<uint8_t>(carried.begin(), carried.begin() + pcm.size()), pcm);
    }
    EXPECT_NE(ErrorOf("--codec none").find(btstandin::CodecNames(" or ")), std::string::npos);
}

}  // namespace
}  // namespace player
