// The outputs of what the headset received: WAV frames joined across
// packets, whole SBC frames, and the list that feeds them all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio_files.h"
#include "report/outputs.h"

using namespace player;
using player_test::TempDir;

TEST(OutputTest, WavOutputJoinsFramesSplitAcrossPackets)
{
    TempDir dir;
    // A short stream (all of it written at the end) and one of several
    // write blocks, whose frames split across the blocks' edges too.
    for (size_t frames : {1000u, 100000u}) {
        player_test::Audio noise = player_test::Noise(frames, 44100, 2, 9);
        std::vector<uint8_t> bytes(noise.samples.size() * 2);
        std::memcpy(bytes.data(), noise.samples.data(), bytes.size());
        StagedFile file;
        std::string error;
        const std::string path = dir.File("w" + std::to_string(frames) + ".wav");
        ASSERT_TRUE(file.Create(path, &error));
        WavOutput sink(&file);
        ASSERT_TRUE(sink.Open(&error)) << error;
        // Packets of 1, 3, 5, ... bytes: frames split every way.
        size_t at = 0;
        for (size_t n = 1; at < bytes.size(); n += 2) {
            size_t take = std::min(n, bytes.size() - at);
            sink.Take(bytes.data() + at, take);
            at += take;
        }
        EXPECT_EQ(sink.TrailingBytes(), 0u);
        ASSERT_TRUE(sink.Finish(&error)) << error;
        ASSERT_TRUE(file.Commit(&error)) << error;
        player_test::Audio back = player_test::ReadAudio(path);
        EXPECT_EQ(back.rate, 44100);
        EXPECT_EQ(back.samples.size(), noise.samples.size()) << frames << " frames";
        EXPECT_TRUE(back.samples == noise.samples) << frames << " frames";
    }
}

// A codec's stream file through the codec table: SBC's frames at the top
// of its bitpool range, back to back, the last one padded.
TEST(OutputTest, EncodedOutputWritesWholeA2dpFrames)
{
    TempDir dir;
    StagedFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("s.sbc"), &error));
    EncodedOutput sink(&file, btstandin::Codec::Sbc);
    ASSERT_TRUE(sink.Open(&error)) << error;
    std::vector<uint8_t> pcm(1000, 0x11);
    sink.Take(pcm.data(), 700);
    sink.Take(pcm.data(), 300);
    ASSERT_TRUE(sink.Finish(&error)) << error;
    EXPECT_EQ(sink.FramesWritten(), 2u);   // 512 bytes of PCM per frame, the rest padded into a second
    ASSERT_TRUE(file.Commit(&error));
    std::string data = player_test::ReadText(dir.File("s.sbc"));
    ASSERT_EQ(data.size(), 2 * 119u);      // joint stereo, 16 blocks, 8 subbands, bitpool 53
    EXPECT_EQ(static_cast<uint8_t>(data[0]), 0x9Cu);     // SBC sync word
    EXPECT_EQ(static_cast<uint8_t>(data[119]), 0x9Cu);
    EXPECT_EQ(static_cast<uint8_t>(data[2]), 53u);       // bitpool
}

// A codec without a coder has no stream file to write.
TEST(OutputTest, EncodedOutputRefusesACodecWithoutACoder)
{
    TempDir dir;
    StagedFile file;
    std::string error;
    ASSERT_TRUE(file.Create(dir.File("s.pcm"), &error));
    EncodedOutput sink(&file, btstandin::Codec::Pcm);
    EXPECT_FALSE(sink.Open(&error));
    EXPECT_EQ(error, "cannot start the PCM encoder");
}

namespace {
struct RecordingOutput : Output {
    void Take(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
    bool Finish(std::string* error) override
    {
        finished = true;
        if (!failWith.empty())
            *error = failWith;
        return failWith.empty();
    }
    std::vector<uint8_t> bytes;
    bool finished = false;
    std::string failWith;
};
}  // namespace

TEST(OutputListTest, FeedsEveryOutputAndFinishesAllReportingTheFirstFailure)
{
    RecordingOutput a, b, c;
    b.failWith = "disk full";
    c.failWith = "pipe closed";
    OutputList list;
    EXPECT_TRUE(list.Empty());
    list.Add(&a);
    list.Add(&b);
    list.Add(&c);
    const uint8_t data[] = {1, 2, 3, 4, 5};
    list.Take(data, 3);
    list.Take(data + 3, 2);
    EXPECT_EQ(a.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(c.bytes, a.bytes);
    std::string error;
    EXPECT_FALSE(list.Finish(&error));
    EXPECT_EQ(error, "disk full");
    EXPECT_TRUE(a.finished && b.finished && c.finished);
}
