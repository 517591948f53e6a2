// The refill engine against a device of the test's own (a FIFO of headers
// that it completes when told).  The last case runs a second thread as the
// timer, which the ThreadSanitizer build checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "audio_files.h"
#include "run/failure.h"
#include "kit/watchdog.h"
#include "run/options.h"
#include "wave/refill.h"

using namespace player;

namespace {

using player_test::SoundByte;

// A device of the test's own.  Written headers wait in a FIFO, as the
// driver's queue does; Complete gives the oldest back the way the driver
// does, under the device's lock: WHDR_INQUEUE cleared, WHDR_DONE set, then
// (with a callback) MM_WOM_DONE.  The lock is recursive because a callback
// may write again from inside, as waveOutWrite re-enters the driver.
struct FakeDevice {
    explicit FakeDevice(uint64_t soundLength) : soundLength(soundLength) {}

    RefillEngine::Source Source()
    {
        return [this](uint64_t offset, uint8_t* dst, size_t size, size_t* got, std::string* error) {
            if (failSourceAt >= 0 && offset >= static_cast<uint64_t>(failSourceAt)) {
                *error = "decoding failed";
                return false;
            }
            size_t n = offset >= soundLength ? 0 : static_cast<size_t>(std::min<uint64_t>(size, soundLength - offset));
            for (size_t i = 0; i < n; ++i)
                dst[i] = SoundByte(offset + i);
            *got = n;
            return true;
        };
    }

    RefillEngine::Writer Writer()
    {
        return [this](WAVEHDR* h, int64_t bytes) -> MMRESULT {
            std::lock_guard<std::recursive_mutex> lock(mu);
            if (duringWrite) {
                auto fn = duringWrite;
                duringWrite = nullptr;
                fn();
            }
            if (refuseWrites)
                return MMSYSERR_NOMEM;
            h->dwFlags |= WHDR_INQUEUE;
            queue.push_back(h);
            played.insert(played.end(), h->lpData, h->lpData + h->dwBufferLength);
            bytesPerWrite.push_back(bytes);
            return MMSYSERR_NOERROR;
        };
    }

    // Gives back the oldest header with `recorded` of its bytes played (all
    // when negative).  False when none is queued.
    bool Complete(RefillEngine* engine, bool callback, int64_t recorded = -1)
    {
        std::lock_guard<std::recursive_mutex> lock(mu);
        if (queue.empty())
            return false;
        WAVEHDR* h = queue.front();
        queue.pop_front();
        h->dwBytesRecorded = recorded < 0 ? h->dwBufferLength : static_cast<DWORD>(recorded);
        h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
        if (callback)
            engine->OnDone(h);
        return true;
    }

    bool PlayedIsTheSound() const
    {
        if (played.size() != soundLength)
            return false;
        for (size_t i = 0; i < played.size(); ++i)
            if (static_cast<uint8_t>(played[i]) != SoundByte(i))
                return false;
        return true;
    }

    uint64_t soundLength;
    int64_t failSourceAt = -1;
    bool refuseWrites = false;
    std::function<void()> duringWrite;
    std::recursive_mutex mu;
    std::deque<WAVEHDR*> queue;
    std::vector<char> played;   // every written buffer's bytes, in write order
    std::vector<int64_t> bytesPerWrite;
};

}  // namespace

// ---- Refill engine ------------------------------------------------------------------

TEST(RefillTest, CallbackRefillWritesTheWholeSoundInOrderAndEnds)
{
    FakeDevice dev(1050);
    RefillEngine engine(100, 0, dev.Source(), dev.Writer());
    engine.CreateBuffers(3, 0);
    engine.WriteAll();
    EXPECT_EQ(dev.queue.size(), 3u);
    EXPECT_FALSE(engine.Done());
    int completions = 0;
    while (dev.Complete(&engine, true))
        ++completions;
    EXPECT_EQ(completions, 11);   // ten whole buffers and a tail of 50
    EXPECT_TRUE(dev.PlayedIsTheSound());
    EXPECT_TRUE(engine.Done());
    EXPECT_EQ(engine.BytesWritten(), 1050u);
    EXPECT_EQ(engine.Returned(), 11u);
    EXPECT_TRUE(engine.Error().empty());
}

// A buffer that comes back while the main thread is between taking a chunk
// and writing it must not jump the queue: it is set aside and written after.
TEST(RefillTest, BufferBackWhileMainWritesIsDeferredToKeepTheOrder)
{
    FakeDevice dev(500);
    RefillEngine engine(100, 0, dev.Source(), dev.Writer());
    engine.CreateBuffers(2, 0);
    // While the second buffer is being written, the first comes back.
    bool first = true;
    dev.duringWrite = [&] {
        dev.duringWrite = [&] {
            if (first)
                dev.Complete(&engine, true);
            first = false;
        };
    };
    engine.WriteAll();
    while (dev.Complete(&engine, true)) {
    }
    EXPECT_TRUE(dev.PlayedIsTheSound());
    EXPECT_TRUE(engine.Done());
}

// With CALLBACK_EVENT the main thread finds what came back by its WHDR_DONE
// bit, refills in the order of the sound, and leaves queued headers alone.
TEST(RefillTest, EventRefillFindsDoneHeadersByTheirFlags)
{
    FakeDevice dev(400);
    int syncs = 0;
    RefillEngine engine(100, 0, dev.Source(), dev.Writer(), [&] {
        std::lock_guard<std::recursive_mutex> lock(dev.mu);
        ++syncs;
    });
    engine.CreateBuffers(3, 0);
    engine.WriteAll();
    engine.RefillReturned();   // nothing is back yet
    EXPECT_EQ(dev.played.size(), 300u);
    EXPECT_EQ(syncs, 0);
    ASSERT_TRUE(dev.Complete(&engine, false));
    engine.RefillReturned();
    EXPECT_EQ(dev.played.size(), 400u);
    EXPECT_EQ(engine.Returned(), 1u);
    // The device's lock was taken before the header was read and refilled.
    EXPECT_EQ(syncs, 1);
    while (dev.Complete(&engine, false))
        engine.RefillReturned();
    EXPECT_TRUE(dev.PlayedIsTheSound());
    EXPECT_TRUE(engine.Done());
}

// After a reset every buffer is back with what the device took from it; the
// sound goes on from the first byte that did not play, and what was written
// but not played is withdrawn.
TEST(RefillTest, ResetResumesAtTheFirstUnplayedByte)
{
    for (bool callback : {true, false}) {
        SCOPED_TRACE(callback ? "callback" : "event");
        FakeDevice dev(1000);
        RefillEngine engine(100, 0, dev.Source(), dev.Writer());
        engine.CreateBuffers(3, 0);
        engine.WriteAll();
        dev.Complete(&engine, callback);   // 0-99 played whole
        if (!callback)
            engine.RefillReturned();
        // Queued: 100-199, 200-299, 300-399.  The reset finds 40 bytes of
        // the first played.
        engine.BeginReset();
        dev.Complete(&engine, callback, 40);
        dev.Complete(&engine, callback, 0);
        dev.Complete(&engine, callback, 0);
        uint64_t resume = 0;
        int64_t withdrawn = 0;
        engine.EndReset(!callback, &resume, &withdrawn);
        EXPECT_EQ(resume, 140u);
        EXPECT_EQ(withdrawn, 60 + 100 + 100);
        size_t before = dev.played.size();
        engine.Resume();
        ASSERT_EQ(dev.played.size(), before + 300);
        EXPECT_EQ(static_cast<uint8_t>(dev.played[before]), SoundByte(140));
        EXPECT_EQ(static_cast<uint8_t>(dev.played[before + 299]), SoundByte(439));
        while (dev.Complete(&engine, callback))
            if (!callback)
                engine.RefillReturned();
        EXPECT_TRUE(engine.Done());
        EXPECT_EQ(static_cast<uint8_t>(dev.played.back()), SoundByte(999));
    }
}

TEST(RefillTest, FailuresOnTheMainThreadThrowAndOnTheCallbacksAreKept)
{
    {
        FakeDevice dev(1000);
        dev.failSourceAt = 100;
        RefillEngine engine(100, 0, dev.Source(), dev.Writer());
        engine.CreateBuffers(3, 0);
        try {
            engine.WriteAll();
            ADD_FAILURE() << "a decoding failure on the main thread must be thrown";
        } catch (const Failure& f) {
            EXPECT_EQ(f.code, kExitInput);
            EXPECT_EQ(f.message, "decoding failed");
        }
    }
    {
        FakeDevice dev(1000);
        dev.refuseWrites = true;
        RefillEngine engine(100, 0, dev.Source(), dev.Writer());
        engine.CreateBuffers(2, 0);
        try {
            engine.WriteAll();
            ADD_FAILURE() << "a refused write on the main thread must be thrown";
        } catch (const Failure& f) {
            EXPECT_EQ(f.code, kExitPlayback);
            EXPECT_NE(f.message.find("waveOutWrite failed"), std::string::npos);
        }
        EXPECT_EQ(engine.BytesWritten(), 0u);
    }
    {
        FakeDevice dev(1000);
        dev.failSourceAt = 300;
        RefillEngine engine(100, 0, dev.Source(), dev.Writer());
        engine.CreateBuffers(3, 0);
        engine.WriteAll();
        dev.Complete(&engine, true);
        EXPECT_EQ(engine.Error(), "decoding failed");
        EXPECT_FALSE(engine.Done());
    }
}

// A loop's buffers hold the whole sound: the first begins the loop with its
// count, the last ends it, and each write stands for every pass.
TEST(RefillTest, LoopMarksItsFirstAndLastBuffer)
{
    FakeDevice dev(250);
    RefillEngine engine(100, 3, dev.Source(), dev.Writer());
    engine.CreateBuffers(3, 250);
    engine.WriteAll();
    ASSERT_EQ(dev.queue.size(), 3u);
    EXPECT_TRUE(dev.queue[0]->dwFlags & WHDR_BEGINLOOP);
    EXPECT_EQ(dev.queue[0]->dwLoops, 3u);
    EXPECT_FALSE(dev.queue[1]->dwFlags & (WHDR_BEGINLOOP | WHDR_ENDLOOP));
    EXPECT_TRUE(dev.queue[2]->dwFlags & WHDR_ENDLOOP);
    EXPECT_EQ(dev.bytesPerWrite, (std::vector<int64_t>{300, 300, 150}));
    // Nothing is refilled when the buffers come back: the loop is whole.
    while (dev.Complete(&engine, true)) {
    }
    EXPECT_EQ(dev.played.size(), 250u);
    EXPECT_TRUE(engine.Done());
}

// The timer is a thread of its own, as on the platform: it gives buffers back
// while the main thread waits, or polls their flags with CALLBACK_EVENT, and
// the buffers are written again.  The sound must still arrive whole and in
// order (and the thread checker must find every access ordered but the poll).
TEST(RefillTest, TimerThreadAndMainThreadShareTheEngine)
{
    kit::Watchdog watchdog(std::chrono::seconds(120), "the timer thread and the main thread");
    for (bool callback : {true, false}) {
        SCOPED_TRACE(callback ? "callback" : "event");
        const uint64_t kLength = 200 * 64 + 17;
        FakeDevice dev(kLength);
        RefillEngine engine(64, 0, dev.Source(), dev.Writer(),
                            [&] { std::lock_guard<std::recursive_mutex> lock(dev.mu); });
        engine.CreateBuffers(4, 0);
        std::atomic<bool> stop{false};
        engine.WriteAll();
        std::thread timer([&] {
            while (!stop.load()) {
                if (!dev.Complete(&engine, callback))
                    std::this_thread::yield();
            }
        });
        while (!engine.Done() && engine.Error().empty()) {
            if (callback) {
                engine.WaitDoneOrError(0.01);
            } else {
                engine.RefillReturned();
                std::this_thread::yield();
            }
        }
        stop = true;
        timer.join();
        EXPECT_TRUE(engine.Error().empty());
        std::lock_guard<std::recursive_mutex> lock(dev.mu);
        EXPECT_TRUE(dev.PlayedIsTheSound());
        // The end is when the last buffer came back, not when it is asked for.
        auto asked = std::chrono::steady_clock::now();
        uint64_t counter = 0;
        std::chrono::steady_clock::time_point wall;
        engine.DoneTime(&counter, &wall);
        EXPECT_LE(wall, asked);
    }
}

