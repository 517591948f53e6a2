// The refill engine against a device of the test's own (a FIFO of headers
// that it completes when told), the list of outputs, and the timeline.  The
// last refill case runs a second thread as the timer, which the
// ThreadSanitizer build checks.
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
#include "decode_ahead.h"
#include "failure.h"
#include "options.h"
#include "outputs.h"
#include "refill.h"
#include "timeline.h"
#include "window.h"

using namespace player;

namespace {

uint8_t SoundByte(uint64_t i)
{
    return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

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

// ---- Outputs ------------------------------------------------------------------------

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

// ---- Timeline -----------------------------------------------------------------------

TEST(TimelineTest, HappeningsAreTimedFromTheFirstWriteAndRestartsCounted)
{
    Timeline t(1000, false, false, nullptr);
    t.SetStart(5000);
    t.Happen("link down", 6500);
    t.OnDebugLine("not a configuration line\r\n", 5100);
    t.OnDebugLine("InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n", 5000);
    t.OnDebugLine("InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n", 7000);
    Report r;
    std::string error;
    ASSERT_TRUE(t.Fill(&r, false, &error));
    ASSERT_EQ(r.happenings.size(), 1u);
    EXPECT_DOUBLE_EQ(r.happenings[0].t, 1.5);
    EXPECT_EQ(r.configLine, "InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144");
    EXPECT_EQ(r.config.timer, 20u);
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_NE(r.notes[0].find("2 times"), std::string::npos);
}

TEST(TimelineTest, PacketLogIsWrittenForAFinishedRunOnly)
{
    player_test::TempDir dir;
    for (bool failed : {false, true}) {
        SCOPED_TRACE(failed ? "failed" : "finished");
        OutputFile log;
        std::string error;
        std::string path = dir.File(failed ? "failed.csv" : "done.csv");
        ASSERT_TRUE(log.Create(path, &error)) << error;
        Timeline t(1000, false, false, &log);
        t.SetStart(1000);
        t.OnDebugLine("InitBtAudioPara: Sample 176400, Timer 20, CacheLen 6144\r\n", 1000);
        t.Log(PlayEvent::Queued, 1000, 7056);
        for (uint64_t tick = 0; tick < 3; ++tick) {
            t.Log(PlayEvent::Tick, 1020 + 20 * tick);
            t.OnPost(1020 + 20 * tick, 3528, false);
        }
        Report r;
        ASSERT_TRUE(t.Fill(&r, failed, &error)) << error;
        ASSERT_TRUE(log.Commit(&error)) << error;
        std::ifstream in(path);
        std::stringstream buffer;
        buffer << in.rdbuf();
        std::string text = buffer.str();
        size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        EXPECT_EQ(lines, failed ? 0u : 3u) << text;
    }
}

// ---- Decoding ahead -------------------------------------------------------------------

namespace {
// A source of `length` bytes handed out in pieces of at most `piece`, that
// fails at its end when told to; counts its reads.
struct CountingSource : SoundSource {
    CountingSource(uint64_t length, size_t piece) : length(length), piece(piece) {}
    size_t Read(uint8_t* out, size_t max) override
    {
        reads.fetch_add(1);
        size_t n = static_cast<size_t>(std::min<uint64_t>({max, piece, length - at}));
        for (size_t i = 0; i < n; ++i)
            out[i] = SoundByte(at + i);
        at += n;
        if (n == 0 && failAtEnd)
            error = "the file is damaged";
        return n;
    }
    const std::string& Error() const override { return error; }
    uint64_t length, at = 0;
    size_t piece;
    bool failAtEnd = false;
    std::string error;
    std::atomic<int> reads{0};
};
}  // namespace

TEST(DecodeAheadTest, GivesTheSameBytesWhateverTheReadSizesAndPassesTheErrorOn)
{
    for (bool fail : {false, true}) {
        CountingSource inner(100003, 4000);
        inner.failAtEnd = fail;
        DecodeAhead ahead(&inner, 4096, 3);
        std::vector<uint8_t> got;
        const size_t sizes[] = {1, 4096, 333, 9000, 65536};
        std::vector<uint8_t> buf(65536);
        for (size_t i = 0;; ++i) {
            size_t n = ahead.Read(buf.data(), sizes[i % 5]);
            if (n == 0)
                break;
            EXPECT_LE(n, sizes[i % 5]);
            got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(n));
        }
        ASSERT_EQ(got.size(), 100003u);
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i], SoundByte(i)) << "byte " << i;
        EXPECT_EQ(ahead.Error(), fail ? "the file is damaged" : "");
        EXPECT_EQ(ahead.Read(buf.data(), 10), 0u);
    }
}

// Memory stays bounded: with nobody reading, the thread decodes as many
// blocks as the ring holds and waits; a stop then frees a waiting reader.
TEST(DecodeAheadTest, DecodesNoMoreThanTheRingHoldsAndStopsCleanly)
{
    CountingSource inner(1 << 30, 1000);
    DecodeAhead ahead(&inner, 1000, 4);
    while (inner.reads.load() < 4)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(inner.reads.load(), 4);
    std::vector<uint8_t> buf(1000);
    EXPECT_EQ(ahead.Read(buf.data(), buf.size()), 1000u);
    ahead.Stop();
    EXPECT_LE(inner.reads.load(), 5);
    // What was decoded is still given, then the end.
    size_t rest = 0, n;
    while ((n = ahead.Read(buf.data(), buf.size())) > 0)
        rest += n;
    EXPECT_EQ(rest, static_cast<size_t>(inner.reads.load() - 1) * 1000);
}

// ---- Silence --------------------------------------------------------------------------

TEST(SilenceWatchTest, SeesASilenceInsideAStepAndNotAcrossAPause)
{
    const uint64_t s = 1000000000ull;
    SilenceWatch w;
    w.Restart(0);
    // Arrivals every second, then six seconds of nothing, then more: all
    // before the main thread looks at 20 s.
    for (uint64_t t = 1; t <= 10; ++t)
        w.Note(t * s);
    for (uint64_t t = 16; t <= 20; ++t)
        w.Note(t * s);
    EXPECT_EQ(w.Longest(20 * s), 6 * s);
    // Taken once: the next look sees only what followed.
    w.Note(21 * s);
    EXPECT_EQ(w.Longest(21 * s + s / 2), 1 * s);
    // A later note from one thread and an earlier one from another: the
    // earlier one closes no gap and does not move the watch back.
    w.Note(24 * s);
    w.Note(23 * s);
    EXPECT_EQ(w.Longest(25 * s), 3 * s);
    // Still going on at the look.
    EXPECT_EQ(w.Longest(32 * s), 8 * s);
    // A pause: the watch starts again where playing resumes.
    w.Restart(40 * s);
    w.Note(41 * s);
    EXPECT_EQ(w.Longest(41 * s), 1 * s);
}

// ---- The window between two threads --------------------------------------------------

// The player's side copies buffers out of the window while the headset's
// side compares long packets on a thread of its own; the player runs ahead
// of the headset by more and more, so that the ring keeps growing while
// packets are compared with the window's lock released.  Every byte is compared, and a corrupted one
// is the first difference reported.
TEST(WindowTest, HeadsetSideComparesWhileThePlayerSideDecodesAndGrows)
{
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
