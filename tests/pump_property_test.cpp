// Long virtual runs of the pump: ticks late by random amounts, buffers of
// random sizes (whole 4-byte frames) written as they come back, and droughts
// in which the client writes nothing.  Every packet is whole frames.  After
// each start's first tick, the bytes posted never exceed what the elapsed
// counter time is worth at "Sample" bytes per second, and fall short of it
// by less than one frame plus what was not queued when it was due; every
// byte written arrives, in order, once.
#include <cstring>
#include <random>
#include <vector>

#include "driver/config.h"
#include "host/clock.h"
#include "host/registry.h"
#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "pump/pump.h"
#include "stream/stream.h"
#include "support/routines_fixture.h"

using namespace testing_support;

namespace {

const char kParamsKey[] = BTWAV_PARAMS_KEY;

// The client's endless stream: random bytes repeating with a prime period,
// so that a packet's bytes can be produced and checked with block copies.
// A byte lost, doubled or reordered shows unless the error were an exact
// multiple of the period; the total count catches the rest.
class Stream {
public:
    static constexpr size_t kPeriod = 65521;

    Stream()
    {
        std::mt19937 rng(99);
        table_.resize(2 * kPeriod);
        for (size_t i = 0; i < kPeriod; ++i)
            table_[i] = table_[i + kPeriod] = static_cast<uint8_t>(rng());
    }
    // The bytes at [offset, offset + n), n <= kPeriod.
    const uint8_t* At(uint64_t offset) const { return table_.data() + offset % kPeriod; }

    void Fill(uint64_t offset, uint8_t* out, size_t n) const
    {
        while (n > 0) {
            size_t take = n < kPeriod ? n : kPeriod;
            std::memcpy(out, At(offset), take);
            out += take;
            offset += take;
            n -= take;
        }
    }
    bool Matches(uint64_t offset, const uint8_t* in, size_t n) const
    {
        while (n > 0) {
            size_t take = n < kPeriod ? n : kPeriod;
            if (std::memcmp(in, At(offset), take) != 0)
                return false;
            in += take;
            offset += take;
            n -= take;
        }
        return true;
    }

private:
    std::vector<uint8_t> table_;
};

struct RunConfig {
    uint32_t seed;
    uint32_t sample;        // "Sample", bytes per second
    uint32_t timerMs;       // "Timer"
    uint32_t cacheLen;      // "CacheLen"
    uint64_t frequency;     // counter counts per second
    uint32_t maxLatePeriods;
    uint64_t audioSeconds;  // how much the client writes in all
};

// What the observer saw just before a tick ran.
struct TickSeen {
    uint64_t counter;
    uint64_t queued;   // bytes left in the queue
    bool first;        // nTicks 0: the first tick since a start
};

class PumpPropertyTest : public RoutinesTest {
protected:
    static constexpr size_t kHeaders = 24;
    static constexpr uint32_t kMaxHeader = 16384;
    static constexpr uint64_t kChunkNs = 500000000u;

    void SetUp() override
    {
        RoutinesTest::SetUp();
        if (HasFatalFailure())
            return;
        s_->bOpened = TRUE;
    }

    uint64_t QueuedBytes() const
    {
        uint64_t n = 0;
        for (WAVEHDR* h = s_->pHead; h; h = HeaderNext(h))
            if (HeaderConsumed(h) < HeaderLength(h))
                n += HeaderLength(h) - HeaderConsumed(h);
        return n;
    }

    // Writes every header the client has back, as WODM_WRITE would.
    void Refill(HeaderPool& pool, std::mt19937& rng, uint64_t* written, uint64_t target)
    {
        EnterCriticalSection(StreamLock());
        for (size_t i = 0; i < pool.Size() && *written < target; ++i) {
            if (HeaderFlags(pool[i]) & WHDR_INQUEUE)
                continue;
            // Whole frames of the device's format, of any count.
            uint32_t len = rng() % 20 == 0 ? 0 : 4 * (1 + rng() % (kMaxHeader / 4));
            if (len > target - *written)
                len = static_cast<uint32_t>(target - *written);
            std::vector<uint8_t> bytes(len);
            stream_.Fill(*written, bytes.data(), len);
            DWORD result = r_.queue(0, pool.PrepareWith(i, bytes));
            EXPECT_EQ(result, 0u);
            if (result != 0)
                break;
            r_.start();
            *written += len;
        }
        LeaveCriticalSection(StreamLock());
    }

    // Per start: counter at its first tick, bytes posted since, bytes that
    // were due while nothing was queued, bytes due so far; and counts over
    // the whole run.
    struct Segment {
        bool inSegment = false;
        uint64_t base = 0, posted = 0, unqueued = 0, dueSoFar = 0;
        uint64_t checks = 0, starts = 0, shortTicks = 0;
    };

    // Matches the packets posted during one advance to the ticks that ran
    // in it, and checks each tick's packet against the bytes due.
    void CheckTicks(const std::vector<TickSeen>& ticks, const RunConfig& cfg, Segment* seg, uint64_t* received)
    {
        const uint64_t F = cfg.frequency, S = cfg.sample;
        std::vector<btstandin::Packet> packets = btstandin::Packets();
        btstandin::ClearPackets();
        size_t p = 0;
        for (size_t t = 0; t < ticks.size(); ++t) {
            const TickSeen& tk = ticks[t];
            // The packet of this tick, if it posted one: a tick posts at
            // most once, at its own counter value.
            // Ticks that run at the same instant after a late one find
            // no time elapsed: only the first of them can post.
            bool firstAtInstant = t == 0 || ticks[t - 1].counter != tk.counter;
            uint64_t got = 0;
            if (firstAtInstant && p < packets.size() && packets[p].counter == tk.counter) {
                got = packets[p].dataLen;
                ASSERT_EQ(packets[p].audio.size(), got);
                ASSERT_EQ(got % 4, 0u) << "tick " << t;
                ASSERT_TRUE(stream_.Matches(*received, packets[p].audio.data(), got))
                    << "packet at stream byte " << *received;
                ASSERT_FALSE(packets[p].refused);
                *received += got;
                ++p;
            }
            if (tk.first) {
                // The reserve, however much time has passed.
                ASSERT_EQ(got, std::min<uint64_t>(cfg.cacheLen / 4 * 4, tk.queued)) << "tick " << t;
                seg->inSegment = true;
                seg->base = tk.counter;
                seg->posted = seg->unqueued = seg->dueSoFar = 0;
                ++seg->starts;
                continue;
            }
            ASSERT_TRUE(seg->inSegment);
            // Bytes due by now: the most whole frames that the time
            // since the first tick is worth.
            uint64_t worth = (tk.counter - seg->base) * S;
            uint64_t dueTotal = worth / F / 4 * 4;
            uint64_t due = dueTotal - seg->dueSoFar;
            seg->dueSoFar = dueTotal;
            if (tk.queued < due) {
                seg->unqueued += due - tk.queued;
                ++seg->shortTicks;
            }
            seg->posted += got;
            ASSERT_LE(seg->posted * F, worth) << "tick " << t;
            ASSERT_GT((seg->posted + seg->unqueued + 4) * F, worth) << "tick " << t;
            ++seg->checks;
        }
        ASSERT_EQ(p, packets.size()) << "packets not matched to ticks";
    }

    void Run(const RunConfig& cfg)
    {
        SCOPED_TRACE("seed " + std::to_string(cfg.seed));
        host::RegistrySetDword(kParamsKey, "Sample", cfg.sample);
        host::RegistrySetDword(kParamsKey, "Timer", cfg.timerMs);
        host::RegistrySetDword(kParamsKey, "CacheLen", cfg.cacheLen);
        host::SetCounterFrequency(cfg.frequency);

        std::mt19937 rng(cfg.seed);
        std::mt19937 lateRng(cfg.seed ^ 0x5A5A5A5Au);
        const uint64_t periodNs = uint64_t(cfg.timerMs) * 1000000u;
        host::SetVirtualTickLateness([&lateRng, periodNs, &cfg] {
            // Mostly on time, sometimes late by up to several periods.
            return lateRng() % 4 == 0 ? lateRng() % (cfg.maxLatePeriods * periodNs + 1) : 0;
        });
        std::vector<TickSeen> ticks;
        host::SetTickObserver([this, &ticks](uint64_t counter) {
            ticks.push_back({counter, QueuedBytes(), para_->nTicks == 0});
        });

        HeaderPool pool(kHeaders);
        const uint64_t target = cfg.audioSeconds * cfg.sample;
        uint64_t written = 0, received = 0;
        int drought = 0;

        Segment seg;

        for (;;) {
            if (drought > 0) {
                --drought;
            } else {
                if (rng() % 40 == 0)
                    drought = 1 + rng() % 6;
                Refill(pool, rng, &written, target);
                if (HasFailure())
                    return;
            }
            bool idle = !para_->bRunning;
            if (written >= target && idle && s_->pLoopStart == nullptr)
                break;
            ASSERT_LT(host::VirtualNowNs() / 1000000000u, 3 * cfg.audioSeconds) << "the run does not end";
            ticks.clear();
            host::AdvanceVirtualNs(kChunkNs);

            CheckTicks(ticks, cfg, &seg, &received);
            if (HasFatalFailure())
                return;
        }
        EXPECT_EQ(received, target);
        EXPECT_GE(received, 3600u * cfg.sample);
        EXPECT_EQ(host::ActiveTimerCount(), 0);
        EXPECT_EQ(host::TimerPeriodBalance(), 0);
        EXPECT_GT(seg.starts, 1u);       // droughts emptied the queue
        EXPECT_GT(seg.shortTicks, 0u);   // and starved some ticks before that
        EXPECT_GT(seg.checks, 3600u * 1000u / cfg.timerMs / 2);
        host::SetTickObserver(nullptr);
        host::SetVirtualTickLateness(nullptr);
    }

    Stream stream_;
};

TEST_F(PumpPropertyTest, DefaultConfigurationOverAnHour)
{
    Run({20240611u, 176400, 100, 6144, 10000000u, 4, 3600});
}

TEST_F(PumpPropertyTest, OddRateAndCounterOverAnHour)
{
    Run({777u, 88202, 170, 1000, 3579545u, 6, 3600});
}

}  // namespace
