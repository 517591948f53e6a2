// The sound window: what it keeps, how it grows and goes back, the running
// comparison with what arrives, and the two threads that share it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "audio_files.h"
#include "kit/watchdog.h"
#include "input/window.h"

using namespace player;
using player_test::SoundByte;

// ---- Window and running comparison ------------------------------------------------------

TEST(WindowTest, KeepsOnlyWhatTheHeadsetHasNotReachedAndComparesAsItArrives)
{
    std::string note, error;
    DeviceStream s;
    ASSERT_TRUE(s.Open(BuiltInSound(44100 * 60), &note, &error));
    DeviceStream ref;
    ASSERT_TRUE(ref.Open(BuiltInSound(44100 * 60), &note, &error));
    SoundWindow w(&s);
    std::vector<uint8_t> buf(8192), expect(8192);
    uint64_t at = 0;
    for (;;) {
        size_t n = 0;
        ASSERT_TRUE(w.Copy(at, buf.data(), buf.size(), &n, &error)) << error;
        if (n == 0)
            break;
        ASSERT_EQ(ref.Read(expect.data(), n), n);
        EXPECT_EQ(std::memcmp(buf.data(), expect.data(), n), 0);
        w.Receive(buf.data(), n);
        at += n;
    }
    EXPECT_EQ(w.Length(), static_cast<int64_t>(44100 * 60 * 4));
    EXPECT_TRUE(w.Result().exact);
    // A minute of sound passed through, never more than a few chunks kept.
    EXPECT_LT(w.PeakKept(), 256u * 1024);
    // The headset has passed byte 0: going back there is an error.
    size_t n = 0;
    EXPECT_FALSE(w.Copy(0, buf.data(), 4, &n, &error));
}

TEST(WindowTest, GrowsWhileTheHeadsetLagsAndGoesBackForAReset)
{
    // The player runs 1 MB ahead of the headset (the ring must grow), then a
    // reset takes it back to where the headset stands: the bytes there are
    // the same as the first time.
    std::string note, error;
    DeviceStream s, ref;
    ASSERT_TRUE(s.Open(BuiltInSound(44100 * 20), &note, &error));
    ASSERT_TRUE(ref.Open(BuiltInSound(44100 * 20), &note, &error));
    std::vector<uint8_t> sound(44100 * 20 * 4);
    ASSERT_EQ(ref.Read(sound.data(), sound.size()), sound.size());
    SoundWindow w(&s);
    std::vector<uint8_t> buf(6000);
    size_t n = 0;
    uint64_t at = 0;
    for (; at < (1u << 20); at += n) {
        ASSERT_TRUE(w.Copy(at, buf.data(), buf.size(), &n, &error)) << error;
        ASSERT_EQ(std::memcmp(buf.data(), sound.data() + at, n), 0) << at;
    }
    w.Receive(sound.data(), 300000);
    EXPECT_GE(w.PeakKept(), 1u << 20);
    ASSERT_TRUE(w.Copy(300000, buf.data(), buf.size(), &n, &error)) << error;
    EXPECT_EQ(std::memcmp(buf.data(), sound.data() + 300000, n), 0);
    // Then on to the end, the headset following.
    for (at = 300000; w.Copy(at, buf.data(), buf.size(), &n, &error) && n > 0; at += n) {
        ASSERT_EQ(std::memcmp(buf.data(), sound.data() + at, n), 0) << at;
        w.Receive(buf.data(), n);
    }
    EXPECT_EQ(at, sound.size());
    EXPECT_TRUE(w.Result().exact);
}

TEST(WindowTest, ReportsTheFirstDifferenceAndLengthMismatches)
{
    std::string note, error;
    DeviceStream s;
    ASSERT_TRUE(s.Open(BuiltInSound(1000), &note, &error));
    SoundWindow w(&s);
    std::vector<uint8_t> buf(4000);
    size_t n = 0;
    ASSERT_TRUE(w.Copy(0, buf.data(), buf.size(), &n, &error));
    ASSERT_EQ(n, 4000u);
    w.Receive(buf.data(), 1000);
    buf[1234] ^= 1;
    w.Receive(buf.data() + 1000, 500);
    w.Receive(buf.data() + 1500, 2500);
    Comparison c = w.Result();
    EXPECT_FALSE(c.exact);
    EXPECT_EQ(c.firstDifference, 1234);
    EXPECT_EQ(c.received, 4000u);

    // A loop's stream is the sound once per pass; a short stream differs
    // where it ends.
    DeviceStream t;
    ASSERT_TRUE(t.Open(BuiltInSound(1000), &note, &error));
    SoundWindow loop(&t);
    ASSERT_TRUE(loop.KeepWhole(3, &error));
    ASSERT_TRUE(loop.Copy(0, buf.data(), buf.size(), &n, &error));
    for (int pass = 0; pass < 3; ++pass)
        for (size_t i = 0; i < 4000; i += 1000)
            loop.Receive(buf.data() + i, 1000);
    EXPECT_TRUE(loop.Result().exact);
    EXPECT_EQ(loop.Result().expected, 12000u);

    RunningComparison r;
    r.Compare(buf.data(), buf.data(), 100);
    EXPECT_EQ(r.Result(150).firstDifference, 100);
    r.Extra(60);
    EXPECT_EQ(r.Result(150).firstDifference, 150);
}

// ---- The window between two threads --------------------------------------------------

// The player's side copies buffers out of the window while the headset's
// side compares long packets on a thread of its own; the player runs ahead
// of the headset by more and more, so that the ring keeps growing while
// packets are compared with the window's lock released.  Every byte is compared, and a corrupted one
// is the first difference reported.
TEST(WindowTest, HeadsetSideComparesWhileThePlayerSideDecodesAndGrows)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the headset's side of the window");
    const uint64_t kLength = 4u << 20;
    const uint64_t kBad = 3000001;
    for (bool corrupt : {false, true}) {
        SCOPED_TRACE(corrupt ? "one byte corrupted" : "clean");
        // The sound, handed out by copying: the player's side must outrun the headset's.
        std::vector<uint8_t> sound(kLength);
        for (uint64_t i = 0; i < kLength; ++i)
            sound[i] = SoundByte(i);
        struct Copying : SoundSource {
            size_t Read(uint8_t* out, size_t max) override
            {
                size_t n = std::min(max, bytes->size() - at);
                std::memcpy(out, bytes->data() + at, n);
                at += n;
                return n;
            }
            const std::string& Error() const override { return error; }
            const std::vector<uint8_t>* bytes = nullptr;
            size_t at = 0;
            std::string error;
        } source;
        source.bytes = &sound;
        SoundWindow w(&source);
        std::atomic<uint64_t> copied{0};
        std::atomic<bool> allCopied{false};
        // What reaches the headset: the sound, with one byte changed when told.
        std::vector<uint8_t> arrived = sound;
        if (corrupt)
            arrived[kBad] ^= 0x40;
        std::thread headset([&] {
            const uint64_t kPacket = 256u << 10;   // long compares, so that growths fall inside them
            uint64_t at = 0;
            while (at < kLength) {
                const bool all = allCopied.load();
                const uint64_t upTo = copied.load();
                if (upTo <= at || (!all && upTo - at < kPacket)) {
                    std::this_thread::yield();
                    continue;
                }
                size_t n = static_cast<size_t>(std::min(kPacket, upTo - at));
                w.Receive(arrived.data() + at, n);
                at += n;
            }
        });
        std::vector<uint8_t> buffer(8192);
        std::string error;
        uint64_t at = 0;
        bool copiedRight = true;
        for (;;) {
            // Ahead of the headset by 256 KiB and half of what it received.
            for (uint64_t r = w.Received(); at > r + (256u << 10) + r / 2; r = w.Received())
                std::this_thread::yield();
            size_t n = 0;
            ASSERT_TRUE(w.Copy(at, buffer.data(), buffer.size(), &n, &error)) << error;
            if (n == 0)
                break;
            copiedRight = copiedRight && buffer[0] == SoundByte(at) && buffer[n - 1] == SoundByte(at + n - 1);
            at += n;
            copied.store(at);
        }
        allCopied.store(true);
        headset.join();
        EXPECT_TRUE(copiedRight);
        EXPECT_EQ(at, kLength);
        EXPECT_GE(w.PeakKept(), 256u << 10);   // more than its first size: it grew
        Comparison c = w.Result();
        EXPECT_EQ(c.received, kLength);
        EXPECT_EQ(c.expected, kLength);
        EXPECT_EQ(c.exact, !corrupt);
        EXPECT_EQ(c.firstDifference, corrupt ? static_cast<int64_t>(kBad) : -1);
    }
}
