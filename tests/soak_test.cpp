// Soak: ten hours of playback on the virtual clock, with ticks running up to
// five periods late and posts refused at random, checked to the byte.  The
// client keeps eight one-second buffers queued (more than the latest tick
// asks for), refilling each from MM_WOM_DONE with the next stretch of one
// long stream whose every byte is known; every packet, refused or not, must
// carry exactly the next bytes of that stream, so that nothing is lost but
// the refused packets' bytes and nothing is played twice or out of order.
// Every packet is whole 4-byte frames (the buffers are not: a second is
// 22,050 bytes), and the pacing keeps to the counter within one frame: the
// bytes posted since the first tick are never more than the time is worth
// and fall short of it by less than 4.  A one-second timer period and a
// modest byte rate keep the run to seconds.
#include <cstdint>
#include <cstring>
#include <random>

#include "driver/config.h"
#include "host/clock.h"
#include "host/registry.h"
#include "pump/pump.h"
#include "support/stream_fixture.h"

using testing_support::HeaderPool;
using testing_support::MakeFormat;
using testing_support::StreamTest;

namespace {

const char kParams[] = BTWAV_PARAMS_KEY;

// The stream repeats with a prime period, so no buffer, packet or tick
// length lines up with it: a byte taken twice or skipped shows.
constexpr size_t kPeriod = 1000003;

const std::vector<uint8_t>& Pattern()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(2 * kPeriod);
        std::mt19937 rng(1);
        for (size_t k = 0; k < kPeriod; ++k)
            b[k] = b[k + kPeriod] = static_cast<uint8_t>(rng());
        return b;
    }();
    return bytes;
}

// n bytes of the stream from position p (n at most kPeriod).
const uint8_t* StreamAt(uint64_t p)
{
    return Pattern().data() + p % kPeriod;
}

class SoakTest : public StreamTest {
protected:
    // The byte rate is the registry's "Sample"; a lower one than the default
    // keeps ten hours of audio to 794 MB.
    static constexpr uint64_t kRate = 22050;             // bytes per second
    static constexpr uint64_t kHours = 10;
    static constexpr uint64_t kTotal = kRate * 3600 * kHours;
    static constexpr DWORD kBuffer = kRate;             // one second each
    static constexpr size_t kBuffers = 8;
    static constexpr uint64_t kMaxLatePeriods = 5;

    // Refills from MM_WOM_DONE and keeps nothing: the kit's recorder would
    // keep ten hours of calls that nobody reads.
    struct Client {
        SoakTest* test;
        static void CALLBACK Fn(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
        {
            if (msg == MM_WOM_DONE)
                reinterpret_cast<Client*>(instance)->test->Done(reinterpret_cast<WAVEHDR*>(p1));
        }
    };

    // Fills header i with the next stretch of the stream and writes it.
    void Refill(size_t i)
    {
        DWORD n = static_cast<DWORD>(std::min<uint64_t>(kBuffer, kTotal - written_));
        const uint8_t* from = StreamAt(written_);
        pool_.PrepareWith(i, std::vector<uint8_t>(from, from + n));
        written_ += n;
        ++outstanding_;
        ASSERT_EQ(Write(pool_[i]).result, 0u);
    }

    // On the timer's thread, with the stream lock held.
    void Done(WAVEHDR* h)
    {
        int i = pool_.IndexOf(h);
        ASSERT_GE(i, 0);
        --outstanding_;
        Verify();
        if (written_ < kTotal)
            Refill(static_cast<size_t>(i));
    }

    // Every packet since the last call carries the next bytes of the stream.
    void Verify()
    {
        auto packets = btstandin::Packets();
        btstandin::ClearPackets();
        const uint64_t f = host::CounterFrequency();
        for (const auto& p : packets) {
            ASSERT_EQ(p.length, p.dataLen + BT_AUDIO_PACKET_OVERHEAD);
            ASSERT_EQ(p.audio.size(), p.dataLen);
            ASSERT_EQ(p.dataLen % 4, 0u) << "the packet at byte " << consumed_ << " is not whole frames";
            if (!p.audio.empty() && std::memcmp(p.audio.data(), StreamAt(consumed_), p.audio.size()) != 0)
                FAIL() << "the packet at byte " << consumed_ << " of the stream is wrong";
            if (packets_ == 0) {
                firstCounter_ = p.counter;   // the reserve: the clock starts here
            } else if (consumed_ + p.dataLen < kTotal) {
                // Not the last packet, which takes what is left: the pacing.
                paced_ += p.dataLen;
                const uint64_t worth = (p.counter - firstCounter_) * kRate;   // in 1/f bytes
                ASSERT_LE(paced_ * f, worth) << "ahead of the clock at byte " << consumed_;
                ASSERT_GT((paced_ + 4) * f, worth) << "behind the clock by a frame or more at byte " << consumed_;
                ++pacedChecks_;
            }
            consumed_ += p.dataLen;
            if (p.refused)
                refused_ += p.dataLen;
            ++packets_;
        }
    }

    HeaderPool pool_{kBuffers};
    uint64_t written_ = 0;
    uint64_t consumed_ = 0;
    uint64_t refused_ = 0;
    uint64_t packets_ = 0;
    uint64_t firstCounter_ = 0;   // counter at the first tick's post
    uint64_t paced_ = 0;          // bytes posted after the first tick
    uint64_t pacedChecks_ = 0;
    size_t outstanding_ = 0;
};

TEST_F(SoakTest, TenHoursWithLateTicksAndRefusedPostsLoseOnlyTheRefusedBytesAndKeepPace)
{
    host::RegistrySetDword(kParams, "Sample", static_cast<DWORD>(kRate));
    host::RegistrySetDword(kParams, "Timer", 1000);
    host::RegistrySetDword(kParams, "CacheLen", 6144);
    std::mt19937 rng(20260);
    // Each tick runs up to five periods late; one post in forty is refused.
    // Both are decided on the timer's service thread.
    host::SetVirtualTickLateness(
        [&rng] { return std::uniform_int_distribution<uint64_t>(0, kMaxLatePeriods * 1000000000ull)(rng); });
    std::mt19937 refuse(7);
    host::SetTickObserver([&refuse](uint64_t) {
        if (refuse() % 40 == 0)
            btstandin::RefusePosts(1);
    });

    Client client{this};
    WAVEFORMATEX f = MakeFormat();
    desc_ = WAVEOPENDESC{};
    desc_.lpFormat = &f;
    desc_.dwCallback = reinterpret_cast<DWORD_PTR>(&Client::Fn);
    desc_.dwInstance = reinterpret_cast<DWORD_PTR>(&client);
    ASSERT_EQ(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(&desc_), 0).result, 0u);
    for (size_t i = 0; i < kBuffers; ++i)
        Refill(i);

    const uint64_t minute = 60ull * 1000;
    uint64_t minutes = 0;
    while ((outstanding_ > 0 || written_ < kTotal) && minutes < kHours * 60 + 10 && !HasFatalFailure()) {
        host::AdvanceVirtualMs(minute);
        ++minutes;
    }
    host::SetTickObserver(nullptr);
    host::SetVirtualTickLateness(nullptr);
    Verify();

    EXPECT_EQ(outstanding_, 0u);
    EXPECT_EQ(written_, kTotal);
    EXPECT_EQ(consumed_, kTotal) << "every byte written was taken exactly once";
    EXPECT_GT(refused_, 0u);
    EXPECT_LT(refused_, kTotal / 20);
    EXPECT_GT(pacedChecks_, kHours * 3600 / (kMaxLatePeriods + 1));
    // The driver paced it: the stream took ten hours (and less than a
    // minute more: the last buffers and the first-tick reserve).
    EXPECT_GE(minutes, kHours * 60);
    EXPECT_LE(minutes, kHours * 60 + 1);
    auto c = host::GetCounters();
    EXPECT_EQ(c.driverMallocs, packets_);
    btstandin::Flush();
    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    std::printf("%llu packets, %llu bytes, %llu refused\n", static_cast<unsigned long long>(packets_),
                static_cast<unsigned long long>(consumed_), static_cast<unsigned long long>(refused_));
}

}  // namespace
