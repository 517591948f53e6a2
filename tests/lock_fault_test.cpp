// A fault caught inside each region that holds g_StreamLock leaves the lock
// free and the stream usable.  The host's guard releases nothing, as the
// platform's exception handling does, so what is checked here is the
// driver's own unwinding: the dispatcher and WODM_RESET give back exactly the
// levels their guarded stretch took.
#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "host/clock.h"
#include "kit/watchdog.h"
#include "support/stream_fixture.h"

using namespace testing_support;

namespace {

// One header alone on a page of its own, so that the test can take the
// page away while the driver still has the header queued.
class PageHeader {
public:
    explicit PageHeader(DWORD length) : buffer_(length, 0x5A)
    {
        page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        h_ = static_cast<WAVEHDR*>(page_);
        *h_ = WAVEHDR{};
        h_->lpData = reinterpret_cast<LPSTR>(buffer_.data());
        h_->dwBufferLength = length;
        h_->dwFlags = WHDR_PREPARED;
    }
    ~PageHeader() { munmap(page_, 4096); }
    WAVEHDR* get() const { return h_; }
    void Revoke() { mprotect(page_, 4096, PROT_NONE); }
    void Restore() { mprotect(page_, 4096, PROT_READ | PROT_WRITE); }

private:
    std::vector<uint8_t> buffer_;
    void* page_;
    WAVEHDR* h_;
};

class LockFaultTest : public StreamTest {
protected:
    // A lock still held after a failed case would keep the driver from
    // being deinitialised (WAV_Deinit waits for it): end the run instead of
    // hanging.
    void TearDown() override
    {
        if (!host::IsFree(StreamLock())) {
            ADD_FAILURE() << "g_StreamLock is still held; the driver cannot be unloaded";
            std::fflush(nullptr);
            std::_Exit(1);
        }
        StreamTest::TearDown();
    }

    void Open(Recorder& client)
    {
        format_ = MakeFormat();
        ASSERT_EQ(OpenRaw(client, &format_).result, 0u);
    }

    static void Poke() { *static_cast<volatile int*>(UnmappedPage()) = 1; }

    // The call was ended by a caught fault: TRUE and no result word.
    static void ExpectCaught(const MessageAnswer& a)
    {
        EXPECT_EQ(a.returned, TRUE);
        EXPECT_FALSE(a.wroteResult);
    }

    // Nobody holds the lock, and a message sent from another thread gets
    // through (with a watchdog, so that a held lock fails the test instead of
    // hanging it).
    void ExpectLockFree()
    {
        ASSERT_EQ(host::HeldLevels(StreamLock()), 0u);
        ASSERT_TRUE(host::IsFree(StreamLock()));
        // A format query takes the lock and changes nothing.
        auto answer = std::async(std::launch::async, [this] {
            Recorder probe;
            WAVEFORMATEX format = MakeFormat();
            return OpenRaw(probe, &format, WAVE_FORMAT_QUERY);
        });
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(answer.get().result, 0u);
    }

    // A whole playback by a new client after the fault: the first client
    // returns its headers and closes, then the new one opens, has a header
    // played to the end and handed back, and closes.
    void ExpectStreamUsable()
    {
        ASSERT_EQ(Message(WODM_RESET).result, 0u);
        ASSERT_EQ(Message(WODM_CLOSE).result, 0u);
        Recorder next;
        WAVEFORMATEX format = MakeFormat();
        ASSERT_EQ(OpenRaw(next, &format).result, 0u);
        HeaderPool pool(1);
        const size_t before = PostedBytes();
        ASSERT_EQ(Write(pool.Prepare(0, 3000)).result, 0u);
        host::AdvanceVirtualMs(60);
        EXPECT_EQ(next.Done(), std::vector<const void*>{pool[0]});
        EXPECT_EQ(PostedBytes() - before, 3000u);
        EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
        EXPECT_TRUE(host::IsFree(StreamLock()));
    }

    WAVEFORMATEX format_{};
    // Every case sends a message from another thread (ExpectLockFree); a
    // lock left held would block it, and the wait for its answer, for good.
    kit::Watchdog watchdog_{std::chrono::seconds(60), "a lock-fault case"};
};

TEST_F(LockFaultTest, OpenWithUnreadableRecords)
{
    Recorder client;
    const auto* badFormat = static_cast<const WAVEFORMATEX*>(UnmappedPage());
    ExpectCaught(OpenRaw(client, badFormat, WAVE_FORMAT_QUERY));
    ExpectCaught(OpenRaw(client, badFormat, 0));
    ExpectCaught(Message(WODM_OPEN, reinterpret_cast<DWORD_PTR>(UnmappedPage()), 0));
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, OpenWhoseAnnouncementFaults)
{
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    client.onCall = [](const Recorder::Call& c) {
        if (c.msg == MM_WOM_OPEN)
            Poke();
    };
    format_ = MakeFormat();
    ExpectCaught(OpenRaw(client, &format_));
    EXPECT_EQ(client.Messages(), std::vector<UINT>{MM_WOM_OPEN});
    // No answer, so the wave API forgets the handle: the open is undone, or
    // the stream would stay taken by a client nobody can close.
    EXPECT_EQ(Ctx().bOpened, FALSE);
    EXPECT_EQ(Ctx().bLinkUp, TRUE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, CloseWhoseTimerStopFaults)
{
    Recorder client;
    Open(client);
    HeaderPool pool(1);
    ASSERT_EQ(Write(pool.Prepare(0, 1000)).result, 0u);
    ASSERT_EQ(Message(WODM_RESET).result, 0u);   // queue empty, timer running
    ASSERT_EQ(host::ActiveTimerCount(), 1);

    host::FailNext(host::Fault::TimerAccess);
    ExpectCaught(Message(WODM_CLOSE));
    EXPECT_EQ(Ctx().bOpened, TRUE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());

    // The close can be made again; it stops the timer this time.
    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    EXPECT_EQ(client.Messages(), (std::vector<UINT>{MM_WOM_DONE, MM_WOM_CLOSE}));
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, CloseWhoseCallbackFaults)
{
    Recorder client;
    client.onCall = [](const Recorder::Call& c) {
        if (c.msg == MM_WOM_CLOSE)
            Poke();
    };
    Open(client);
    ExpectCaught(Message(WODM_CLOSE));
    EXPECT_EQ(client.Messages(), std::vector<UINT>{MM_WOM_CLOSE});
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, WriteOfAnUnreadableHeader)
{
    Recorder client;
    Open(client);
    ExpectCaught(Write(static_cast<WAVEHDR*>(UnmappedPage())));
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, PauseWhoseTimerStopFaults)
{
    Recorder client;
    Open(client);
    HeaderPool pool(1);
    ASSERT_EQ(Write(pool.Prepare(0, 20000)).result, 0u);
    host::AdvanceVirtualMs(20);

    host::FailNext(host::Fault::TimerAccess);
    ExpectCaught(Message(WODM_PAUSE));
    EXPECT_EQ(Ctx().bPaused, FALSE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());

    // The pause can be made again.
    EXPECT_EQ(Message(WODM_PAUSE).result, 0u);
    EXPECT_EQ(Ctx().bPaused, TRUE);
    EXPECT_EQ(host::ActiveTimerCount(), 0);
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, RestartWhoseTimerStartFaults)
{
    Recorder client;
    Open(client);
    HeaderPool pool(1);
    ASSERT_EQ(Write(pool.Prepare(0, 20000)).result, 0u);
    host::AdvanceVirtualMs(20);
    ASSERT_EQ(Message(WODM_PAUSE).result, 0u);

    host::FailNext(host::Fault::TimerAccess);
    ExpectCaught(Message(WODM_RESTART));
    EXPECT_EQ(Ctx().bPaused, TRUE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());

    EXPECT_EQ(Message(WODM_RESTART).result, 0u);
    EXPECT_EQ(Ctx().bPaused, FALSE);
    EXPECT_EQ(host::ActiveTimerCount(), 1);
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, BreakLoopOverAHeaderThatIsGone)
{
    Recorder client;
    Open(client);
    PageHeader header(20000);
    ASSERT_EQ(Write(header.get()).result, 0u);
    header.Revoke();
    ExpectCaught(Message(WODM_BREAKLOOP));
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    header.Restore();
    ExpectStreamUsable();
}

// WODM_GETPOS holds the lock twice (the position is read under a second
// holding) when the current header faults: both levels are given back.
TEST_F(LockFaultTest, PositionOverAHeaderThatIsGone)
{
    Recorder client;
    Open(client);
    PageHeader header(20000);
    ASSERT_EQ(Write(header.get()).result, 0u);
    host::AdvanceVirtualMs(20);
    header.Revoke();
    MMTIME t{};
    t.wType = TIME_BYTES;
    ExpectCaught(Message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&t), sizeof t));
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    header.Restore();
    ExpectStreamUsable();
}

// WODM_RESET's own guard, with a level of the lock above its own at the
// moment of the exception: the client's MM_WOM_DONE sends WODM_OPEN for a
// second client, whose MM_WOM_OPEN throws.  The dispatcher of that open does
// not catch a C++ exception (only access faults), so it passes through the
// open's holding to the reset's guard, which gives back both levels.
TEST_F(LockFaultTest, ResetCatchesAnExceptionFromANestedHolding)
{
    // The last header handed back closes the stream from inside its
    // MM_WOM_DONE, and the close's MM_WOM_CLOSE throws: the exception leaves
    // a nested holding of the lock.
    LinkEvent(BT_EVENT_LINK_UP);
    Recorder client;
    Open(client);
    HeaderPool pool(2);
    client.onCall = [this, &pool](const Recorder::Call& c) {
        if (c.msg == MM_WOM_DONE && c.Header() == pool[1])
            Message(WODM_CLOSE);
        else if (c.msg == MM_WOM_CLOSE)
            throw std::runtime_error("client trouble");
    };
    ASSERT_EQ(Write(pool.Prepare(0, 4000)).result, 0u);
    ASSERT_EQ(Write(pool.Prepare(1, 4000)).result, 0u);
    auto a = Message(WODM_RESET);
    EXPECT_TRUE(a.wroteResult);
    EXPECT_EQ(a.result, 0u);
    EXPECT_EQ(client.Messages(), (std::vector<UINT>{MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_DONE, MM_WOM_CLOSE}));
    EXPECT_EQ(Ctx().bOpened, FALSE);
    EXPECT_EQ(Ctx().bLinkUp, TRUE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    client.onCall = nullptr;
    ExpectStreamUsable();
}

// A message sent from inside a callback that faults there is caught by that
// message's own dispatch: only the level it took is given back, and the
// outer holder (a close, a tick) goes on with its own.
TEST_F(LockFaultTest, FaultingMessageFromACallbackKeepsTheOuterHolding)
{
    Recorder client;
    client.onCall = [this](const Recorder::Call& c) {
        if (c.msg == MM_WOM_DONE) {
            ExpectCaught(Write(static_cast<WAVEHDR*>(UnmappedPage())));
        } else if (c.msg == MM_WOM_CLOSE) {
            // The close is complete before the client hears of it: a write
            // to the closed stream answers 0 without reading the header.
            MessageAnswer a = Write(static_cast<WAVEHDR*>(UnmappedPage()));
            EXPECT_TRUE(a.wroteResult);
            EXPECT_EQ(a.result, 0u);
        }
    };
    Open(client);
    HeaderPool pool(2);
    ASSERT_EQ(Write(pool.Prepare(0, 4000)).result, 0u);
    ASSERT_EQ(Write(pool.Prepare(1, 4000)).result, 0u);
    host::AdvanceVirtualMs(100);   // both handed back from the tick
    EXPECT_EQ(client.Done(), (std::vector<const void*>{pool[0], pool[1]}));
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());

    EXPECT_EQ(Message(WODM_CLOSE).result, 0u);
    EXPECT_EQ(Ctx().bOpened, FALSE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

// A faulting MM_WOM_DONE reached from a message sent on the tick's thread:
// the tick hands a header back, the client's callback sends WODM_RESET, and
// the reset's flush reaches another MM_WOM_DONE that faults.  The reset's
// guard catches it, gives back only its own levels, and the tick goes on.
TEST_F(LockFaultTest, FaultingCompletionInsideAResetSentFromTheTick)
{
    Recorder client;
    int done = 0;
    client.onCall = [this, &done](const Recorder::Call& c) {
        if (c.msg != MM_WOM_DONE)
            return;
        if (++done == 1)
            EXPECT_EQ(Message(WODM_RESET).result, 0u);
        else
            Poke();
    };
    Open(client);
    HeaderPool pool(2);
    ASSERT_EQ(Write(pool.Prepare(0, 3000)).result, 0u);
    ASSERT_EQ(Write(pool.Prepare(1, 40000)).result, 0u);
    host::AdvanceVirtualMs(40);
    EXPECT_EQ(done, 2);
    EXPECT_EQ(Ctx().bOpened, FALSE);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

TEST_F(LockFaultTest, FaultsOnSeveralThreadsEachGiveBackTheirOwnLevels)
{
    Recorder client;
    Open(client);
    std::vector<std::thread> threads;
    std::atomic<int> caught{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto a = Write(static_cast<WAVEHDR*>(UnmappedPage()));
                if (a.returned && !a.wroteResult)
                    ++caught;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(caught.load(), 200);
    ASSERT_NO_FATAL_FAILURE(ExpectLockFree());
    ExpectStreamUsable();
}

}  // namespace
