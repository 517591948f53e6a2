// The world's options from one string (CEHOST_WORLD): the same parsers and
// checks as the player's command line, and a clear error for anything else.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace player
