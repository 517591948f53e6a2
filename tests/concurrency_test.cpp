// One stream driven from several threads at once on the real clock, meant for
// the ThreadSanitizer build: writers, a thread that pauses, restarts, resets,
// breaks loops and asks positions, and link events, while ticks run.  Every
// header written must come back exactly once, and a watchdog ends the
// process if anything deadlocks.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "driver/config.h"
#include "host/registry.h"
#include "kit/watchdog.h"
#include "support/stream_fixture.h"

using testing_support::HeaderPool;
using testing_support::MakeFormat;
using testing_support::WaveApiTest;

namespace {

using Clock = std::chrono::steady_clock;

using kit::Watchdog;

constexpr size_t kWriters = 3;
constexpr size_t kPerWriter = 4;
constexpr size_t kHeaders = kWriters * kPerWriter;

// The application: counts each header's returns and checks that a header
// comes back only while it is out.  Not the kit's recorder: it is called on
// the timer's thread while the writers run, so it keeps atomic counts, not
// a list without a lock.
struct Client {
    std::map<const void*, size_t> index;   // filled before any thread starts
    std::atomic<bool> out[kHeaders] = {};
    std::atomic<unsigned> writes[kHeaders] = {};
    std::atomic<unsigned> returns[kHeaders] = {};
    std::atomic<unsigned> strays{0};

    static void CALLBACK Fn(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<Client*>(instance);
        if (msg != MM_WOM_DONE)
            return;
        auto it = self->index.find(reinterpret_cast<const void*>(p1));
        if (it == self->index.end()) {
            ++self->strays;
            return;
        }
        ++self->returns[it->second];
        if (!self->out[it->second].exchange(false))
            ++self->strays;   // handed back while not out: twice, or never written
    }
};

class ConcurrencyTest : public WaveApiTest {};

TEST_F(ConcurrencyTest, WritersControlAndLinkEventsOnTheRealClock)
{
    Watchdog watchdog(std::chrono::seconds(60), "the concurrency test");
    host::UseClock(host::ClockKind::Real);
    host::RegistrySetDword(BTWAV_PARAMS_KEY, "Timer", 5);

    Client client;
    HeaderPool pool(kHeaders);
    WAVEFORMATEX f = MakeFormat();
    HWAVEOUT hwo = nullptr;
    ASSERT_EQ(waveOutOpen(&hwo, 1, &f, reinterpret_cast<DWORD_PTR>(&Client::Fn), reinterpret_cast<DWORD_PTR>(&client),
                          CALLBACK_FUNCTION),
              0u);
    for (size_t i = 0; i < kHeaders; ++i) {
        // Header 0 is a loop of one header played twice.
        WAVEHDR* h = i == 0 ? pool.Prepare(i, 1764, WHDR_BEGINLOOP | WHDR_ENDLOOP, 2) : pool.Prepare(i, 1764 + 2 * i);
        client.index[h] = i;
    }

    std::atomic<bool> stop{false};
    std::atomic<unsigned> refused{0};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            while (!stop) {
                for (size_t k = 0; k < kPerWriter; ++k) {
                    size_t i = w * kPerWriter + k;
                    if (client.out[i].exchange(true))
                        continue;
                    if (i == 0)
                        testing_support::SetHeaderLoops(pool[0], 2);
                    ++client.writes[i];
                    if (waveOutWrite(hwo, pool[i], sizeof(WAVEHDR)) != 0) {
                        --client.writes[i];
                        client.out[i] = false;
                        ++refused;
                    }
                }
                std::this_thread::yield();
            }
        });
    threads.emplace_back([&] {
        for (unsigned n = 0; !stop; ++n) {
            MMTIME t{};
            t.wType = (n & 1) ? TIME_MS : TIME_BYTES;
            switch (n % 8) {
            case 0: waveOutPause(hwo); break;
            case 2: waveOutRestart(hwo); break;
            case 4: waveOutBreakLoop(hwo); break;
            case 6: if (n % 24 == 6) waveOutReset(hwo); break;
            default: EXPECT_EQ(waveOutGetPosition(hwo, &t, sizeof t), 0u); break;
            }
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            btstandin::RaiseEvent(BT_EVENT_LINK_UP);
            btstandin::RaiseEvent(BT_EVENT_LINK_DOWN);
            btstandin::WaitForEvents();
        }
    });

    auto until = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));   // the run's length, not a wait for a result
    stop = true;
    for (auto& t : threads)
        t.join();

    // Whatever is still queued comes back with the reset.
    ASSERT_EQ(waveOutReset(hwo), 0u);
    unsigned total = 0;
    for (size_t i = 0; i < kHeaders; ++i) {
        EXPECT_EQ(client.returns[i].load(), client.writes[i].load()) << "header " << i;
        EXPECT_FALSE(client.out[i]) << "header " << i;
        EXPECT_EQ(testing_support::HeaderFlags(pool[i]) & WHDR_INQUEUE, 0u) << "header " << i;
        total += client.returns[i];
    }
    EXPECT_EQ(client.strays.load(), 0u);
    EXPECT_EQ(refused.load(), 0u);
    EXPECT_GT(total, kHeaders);   // the run did play
    size_t stormPosted = PostedBytes();

    // During the storm the link is up only between two events, so whether a
    // tick fell inside such a window depends on the scheduler.  After it, with
    // the link held up, the same stream must still reach the library.
    btstandin::RaiseEvent(BT_EVENT_LINK_UP);
    btstandin::WaitForEvents();
    ASSERT_EQ(waveOutRestart(hwo), 0u);   // the storm may have ended paused
    client.out[1] = true;
    ++client.writes[1];
    ASSERT_EQ(waveOutWrite(hwo, pool[1], sizeof(WAVEHDR)), 0u);
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (client.out[1] && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(client.out[1]) << "the buffer written after the storm never came back";
    EXPECT_GT(PostedBytes(), stormPosted);
    EXPECT_EQ(client.returns[1].load(), client.writes[1].load());
    EXPECT_EQ(waveOutClose(hwo), 0u);
    std::printf("returned %u headers, posted %zu bytes in the storm, %zu in all\n", total, stormPosted, PostedBytes());
}

}  // namespace
