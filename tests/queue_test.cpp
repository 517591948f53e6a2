// The header queue: appending and refusals, loop marks, completion, loops,
// break-loop and flush mid-pass, and re-entrant callbacks.
#include <vector>

#include "kit/header_pool.h"
#include "kit/recorder.h"
#include "queue/queue.h"
#include "stream/stream.h"
#include "support/routines_fixture.h"

using namespace testing_support;

namespace {

const HWAVE kWave = reinterpret_cast<HWAVE>(0x3A3A);

class QueueTest : public RoutinesTest {
protected:
    void SetUp() override
    {
        RoutinesTest::SetUp();
        if (HasFatalFailure())
            return;
        AttachClient(rec_, kWave);
        EnterCriticalSection(StreamLock());
    }
    void TearDown() override
    {
        LeaveCriticalSection(StreamLock());
        DriverTest::TearDown();
    }

    DWORD Queue(WAVEHDR* h) { return r_.queue(0, h); }
    // Consumes header h whole (as the packet builder would), then runs the
    // tick's completion steps.
    void PlayAndComplete(WAVEHDR* h)
    {
        SetHeaderConsumed(h, HeaderLength(h));
        Complete();
    }
    void Complete()
    {
        r_.markConsumed(0);
        r_.returnDone(0);
    }
    void Flush()
    {
        r_.markAll(0);
        r_.clearMarks(0);
        r_.returnDone(0);
    }
    // Indices of the headers handed back so far, in order.
    std::vector<int> Returned() const
    {
        EXPECT_EQ(rec_.OnlyDoneFrom(reinterpret_cast<HDRVR>(kWave)), "");
        return rec_.DoneIndices(pool_);
    }
    std::vector<int> Chain() const
    {
        std::vector<int> out;
        for (WAVEHDR* h = s_->pLoopStart; h && out.size() < 64; h = HeaderNext(h))
            out.push_back(pool_.IndexOf(h));
        return out;
    }
    // Headers 0 to 2 (10, 20 and 30 bytes) a loop of `loops` passes, header 3
    // (40 bytes) behind it, all queued.
    void QueueLoopThenOne(DWORD loops)
    {
        pool_.Prepare(0, 10, WHDR_BEGINLOOP, loops);
        pool_.Prepare(1, 20);
        pool_.Prepare(2, 30, WHDR_ENDLOOP);
        pool_.Prepare(3, 40);
        for (int i = 0; i < 4; ++i)
            Queue(pool_[i]);
    }
    void ExpectReturnedState(int i)
    {
        DWORD f = HeaderFlags(pool_[i]);
        EXPECT_EQ(f & (WHDR_INQUEUE | WHDR_LOOPMEMBER | WHDR_DONE), static_cast<DWORD>(WHDR_DONE)) << "header " << i;
    }

    Recorder rec_;
    HeaderPool pool_{8};
};

using Bytes = std::vector<uint8_t>;
Bytes Raw(const WAVEHDR* h) { return Bytes(reinterpret_cast<const uint8_t*>(h), reinterpret_cast<const uint8_t*>(h + 1)); }

TEST_F(QueueTest, RefusedHeadersAndQueueStayUntouched)
{
    WAVEHDR* a = pool_.Prepare(0, 16);
    ASSERT_EQ(Queue(a), 0u);
    Bytes before = Raw(a);
    EXPECT_EQ(Queue(a), static_cast<DWORD>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(Raw(a), before);
    EXPECT_EQ(Chain(), (std::vector<int>{0}));

    // Queued and unprepared at once: the queued test comes first.
    WAVEHDR* b = pool_.Prepare(1, 16);
    SetHeaderFlags(b, WHDR_INQUEUE);
    before = Raw(b);
    EXPECT_EQ(Queue(b), static_cast<DWORD>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(Raw(b), before);

    SetHeaderFlags(b, WHDR_BEGINLOOP | WHDR_DONE);
    before = Raw(b);
    EXPECT_EQ(Queue(b), static_cast<DWORD>(WAVERR_UNPREPARED));
    EXPECT_EQ(Raw(b), before);
    EXPECT_EQ(Chain(), (std::vector<int>{0}));
    EXPECT_EQ(s_->bInLoop, FALSE);
    EXPECT_TRUE(rec_.calls.empty());
}

TEST_F(QueueTest, QueueingAppendsAndResetsTheDriversFieldsOnly)
{
    const DWORD kAppBits = 0x00400000u | 0x20u;
    for (int i = 0; i < 3; ++i) {
        pool_.Prepare(i, 10 + i, kAppBits | WHDR_DONE | WHDR_LOOPMEMBER, 7);
        ASSERT_EQ(Queue(pool_[i]), 0u);
    }
    EXPECT_EQ(s_->pLoopStart, pool_[0]);
    EXPECT_EQ(s_->pHead, pool_[0]);
    EXPECT_EQ(Chain(), (std::vector<int>{0, 1, 2}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(HeaderFlags(pool_[i]), kAppBits | WHDR_PREPARED | WHDR_INQUEUE) << i;
        EXPECT_EQ(HeaderConsumed(pool_[i]), 0u);
        EXPECT_EQ(HeaderReserved(pool_[i]), 0u);
        EXPECT_EQ(HeaderUser(pool_[i]), 0x5500u + i);
        EXPECT_EQ(HeaderLoops(pool_[i]), 7u);
    }
    EXPECT_EQ(HeaderNext(pool_[2]), nullptr);

    // Appending never moves the current header.
    s_->pHead = pool_[1];
    pool_.Prepare(3, 4);
    ASSERT_EQ(Queue(pool_[3]), 0u);
    EXPECT_EQ(s_->pHead, pool_[1]);
    EXPECT_EQ(Chain(), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(QueueTest, LoopMarkFollowsBeginEndAndOpenRun)
{
    struct Row {
        DWORD flags;
        BOOL inLoopBefore;
        bool marked;
        BOOL inLoopAfter;
    };
    const Row rows[] = {
        {WHDR_BEGINLOOP, FALSE, true, TRUE},
        {WHDR_BEGINLOOP, TRUE, true, TRUE},
        {WHDR_BEGINLOOP | WHDR_ENDLOOP, FALSE, true, FALSE},
        {WHDR_BEGINLOOP | WHDR_ENDLOOP, TRUE, true, FALSE},
        {0, TRUE, true, TRUE},
        {WHDR_ENDLOOP, TRUE, true, FALSE},
        {0, FALSE, false, FALSE},
        {WHDR_ENDLOOP, FALSE, false, FALSE},
    };
    int n = 0;
    for (const Row& r : rows) {
        s_->bInLoop = r.inLoopBefore;
        WAVEHDR* h = pool_.Prepare(n, 4, r.flags);
        ASSERT_EQ(Queue(h), 0u);
        EXPECT_EQ((HeaderFlags(h) & WHDR_LOOPMEMBER) != 0, r.marked) << "row " << n;
        EXPECT_EQ(s_->bInLoop, r.inLoopAfter) << "row " << n;
        ++n;
    }
}

TEST_F(QueueTest, ZeroLengthHeaderIsMarkedAtOnceButReturnedInItsTurn)
{
    pool_.Prepare(0, 100);
    pool_.Prepare(1, 0);
    Queue(pool_[0]);
    Queue(pool_[1]);
    SetHeaderConsumed(pool_[0], 50);
    Complete();
    EXPECT_NE(HeaderFlags(pool_[1]) & WHDR_DONE, 0u);
    EXPECT_EQ(HeaderFlags(pool_[0]) & WHDR_DONE, 0u);
    EXPECT_TRUE(Returned().empty());

    PlayAndComplete(pool_[0]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1}));
    EXPECT_EQ(s_->dwBytesDone, 100u);
    EXPECT_EQ(s_->pHead, nullptr);
    EXPECT_EQ(s_->pLoopStart, nullptr);
    ExpectReturnedState(0);
    ExpectReturnedState(1);
    // Handing back leaves the cursor and the link as they were.
    EXPECT_EQ(HeaderConsumed(pool_[0]), 100u);
    EXPECT_EQ(HeaderNext(pool_[0]), pool_[1]);
}

TEST_F(QueueTest, CallbackSeesTheHeaderAlreadyOutOfTheQueue)
{
    struct Seen {
        STREAM_CONTEXT* s;
        DWORD flags;
        WAVEHDR* head;
        DWORD done;
    } seen{s_, 0, nullptr, 0};
    rec_.onCall = [&seen](const Recorder::Call& call) {
        auto* v = &seen;
        WAVEHDR* h = call.Header();
        v->flags = HeaderFlags(h);
        v->head = v->s->pHead;
        v->done = v->s->dwBytesDone;
    };
    pool_.Prepare(0, 30);
    pool_.Prepare(1, 30);
    Queue(pool_[0]);
    Queue(pool_[1]);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(seen.flags & (WHDR_INQUEUE | WHDR_DONE), static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(seen.head, pool_[1]);
    EXPECT_EQ(seen.done, 30u);
    EXPECT_EQ(rec_.calls[0].instance, reinterpret_cast<DWORD_PTR>(&rec_));
}

TEST_F(QueueTest, NoCallbackStillHandsBack)
{
    s_->pfnCallback = nullptr;
    pool_.Prepare(0, 8);
    Queue(pool_[0]);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(s_->pLoopStart, nullptr);
    ExpectReturnedState(0);
    EXPECT_EQ(s_->dwBytesDone, 8u);
}

TEST_F(QueueTest, OneHeaderLoopWithTwoPassesRewindsThenReturns)
{
    pool_.Prepare(0, 40, WHDR_BEGINLOOP | WHDR_ENDLOOP, 2);
    Queue(pool_[0]);
    PlayAndComplete(pool_[0]);
    EXPECT_TRUE(Returned().empty());
    EXPECT_EQ(HeaderLoops(pool_[0]), 1u);
    EXPECT_EQ(HeaderConsumed(pool_[0]), 0u);
    EXPECT_EQ(HeaderFlags(pool_[0]) & (WHDR_DONE | WHDR_INQUEUE | WHDR_LOOPMEMBER),
              static_cast<DWORD>(WHDR_INQUEUE | WHDR_LOOPMEMBER));
    // The closing header's bytes are not counted at the wrap.
    EXPECT_EQ(s_->dwBytesDone, 0u);

    PlayAndComplete(pool_[0]);
    EXPECT_EQ(Returned(), (std::vector<int>{0}));
    EXPECT_EQ(s_->dwBytesDone, 40u);
    ExpectReturnedState(0);
}

TEST_F(QueueTest, LoopCountsZeroAsEndlessAndNeverCountsDownAllOnes)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP | WHDR_ENDLOOP, 0);
    Queue(pool_[0]);
    for (int pass = 0; pass < 5; ++pass) {
        PlayAndComplete(pool_[0]);
        ASSERT_EQ(HeaderLoops(pool_[0]), 0xFFFFFFFFu);
    }
    EXPECT_TRUE(Returned().empty());
    r_.clearMarks(0);
    EXPECT_EQ(s_->bInLoop, FALSE);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(Returned(), (std::vector<int>{0}));
}

TEST_F(QueueTest, PositionFallsBackAtEachWrapAndLoopEndsAfterItsCount)
{
    pool_.Prepare(0, 100, WHDR_BEGINLOOP, 2);
    pool_.Prepare(1, 60, WHDR_ENDLOOP);
    pool_.Prepare(2, 5);
    for (int i = 0; i < 3; ++i)
        Queue(pool_[i]);
    EXPECT_EQ(HeaderFlags(pool_[2]) & WHDR_LOOPMEMBER, 0u);

    PlayAndComplete(pool_[0]);   // member passes on: its bytes count
    EXPECT_EQ(s_->pHead, pool_[1]);
    EXPECT_EQ(s_->pLoopStart, pool_[0]);
    EXPECT_EQ(s_->dwBytesDone, 100u);
    PlayAndComplete(pool_[1]);   // closing member wraps: its bytes do not
    EXPECT_EQ(s_->pHead, pool_[0]);
    EXPECT_EQ(s_->dwBytesDone, 100u);
    EXPECT_EQ(HeaderLoops(pool_[0]), 1u);

    PlayAndComplete(pool_[0]);   // last pass: handed back as ordinary
    EXPECT_EQ(Returned(), (std::vector<int>{0}));
    EXPECT_EQ(HeaderFlags(pool_[1]) & WHDR_LOOPMEMBER, 0u);
    PlayAndComplete(pool_[1]);
    PlayAndComplete(pool_[2]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(s_->dwBytesDone, 100u + 100u + 60u + 5u);
}

TEST_F(QueueTest, OneCompletionRewindsAtMostOneMember)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP, 3);
    pool_.Prepare(1, 10);
    pool_.Prepare(2, 10, WHDR_ENDLOOP);
    for (int i = 0; i < 3; ++i) {
        Queue(pool_[i]);
        SetHeaderConsumed(pool_[i], 10);
    }
    Complete();
    EXPECT_EQ(s_->pHead, pool_[1]);
    EXPECT_EQ(HeaderConsumed(pool_[0]), 0u);
    EXPECT_EQ(HeaderConsumed(pool_[1]), 10u);
    // The rest are rewound on the following completions, one each.
    Complete();
    EXPECT_EQ(s_->pHead, pool_[2]);
    LPWAVEHDR first;
    DWORD count, bytes;
    EXPECT_EQ(r_.scan(0, &first, &count, &bytes), TRUE);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(count, 0u);
    Complete();
    EXPECT_EQ(s_->pHead, pool_[0]);
    EXPECT_EQ(s_->dwBytesDone, 20u);
    EXPECT_TRUE(Returned().empty());
}

TEST_F(QueueTest, ScanRunsPastTheLoopIntoLaterHeaders)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP | WHDR_ENDLOOP, 0xFFFFFFFFu);
    pool_.Prepare(1, 0);
    pool_.Prepare(2, 25);
    for (int i = 0; i < 3; ++i)
        Queue(pool_[i]);
    SetHeaderConsumed(pool_[0], 4);
    SetHeaderConsumed(pool_[2], 5);
    LPWAVEHDR first = nullptr;
    DWORD count = 99, bytes = 99;
    r_.scan(0, &first, &count, &bytes);
    EXPECT_EQ(first, pool_[0]);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bytes, 6u + 20u);
    SetHeaderConsumed(pool_[0], 10);
    r_.scan(0, &first, &count, &bytes);
    EXPECT_EQ(first, pool_[2]);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bytes, 20u);
}

// The total only bounds a packet: bytes left past 32 bits stay at the
// largest count instead of wrapping to a few bytes (a 4 GB header, possible
// where lengths are a 64-bit host's, and another one would otherwise make
// every tick post almost nothing).
TEST_F(QueueTest, ScanTotalSaturatesInsteadOfWrapping)
{
    pool_.Prepare(0, 0);
    pool_.Prepare(1, 0x20);
    Queue(pool_[0]);
    Queue(pool_[1]);
    REC_SET32(pool_[0], WAVEHDR, dwBufferLength, 0xFFFFFFFFu);   // no buffer is read by the scan
    SetHeaderConsumed(pool_[0], 0x0F);
    LPWAVEHDR first = nullptr;
    DWORD count = 0, bytes = 0;
    r_.scan(0, &first, &count, &bytes);
    EXPECT_EQ(first, pool_[0]);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bytes, 0xFFFFFFFFu);
}

// The rewound members of a pass cut short lie behind pHead where nothing
// else reaches them; they must come back once, in queue order, before the
// header that moves the front past them.
TEST_F(QueueTest, BreakLoopMidPassHandsBackEarlierMembersOnceInOrder)
{
    QueueLoopThenOne(0xFFFFFFFFu);
    PlayAndComplete(pool_[0]);
    ASSERT_EQ(s_->pHead, pool_[1]);
    r_.clearMarks(0);   // break-loop
    EXPECT_TRUE(Returned().empty());
    // Not yet handed back: nothing moved past the earlier member.
    EXPECT_NE(HeaderFlags(pool_[0]) & WHDR_INQUEUE, 0u);

    PlayAndComplete(pool_[1]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1}));
    ExpectReturnedState(0);
    ExpectReturnedState(1);
    EXPECT_EQ(s_->pLoopStart, pool_[2]);
    EXPECT_EQ(s_->pHead, pool_[2]);
    EXPECT_EQ(s_->dwBytesDone, 30u);

    PlayAndComplete(pool_[2]);
    PlayAndComplete(pool_[3]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(s_->dwBytesDone, 100u);
}

TEST_F(QueueTest, FlushMidPassHandsBackEveryHeaderOnceInOrder)
{
    QueueLoopThenOne(5);
    PlayAndComplete(pool_[0]);
    PlayAndComplete(pool_[1]);
    ASSERT_EQ(s_->pHead, pool_[2]);
    SetHeaderConsumed(pool_[2], 7);
    Flush();
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1, 2, 3}));
    for (int i = 0; i < 4; ++i)
        ExpectReturnedState(i);
    EXPECT_EQ(s_->pLoopStart, nullptr);
    EXPECT_EQ(s_->pHead, nullptr);
    EXPECT_EQ(s_->dwBytesDone, 10u + 20u + 7u);
    EXPECT_EQ(HeaderLoops(pool_[0]), 4u);
}

TEST_F(QueueTest, InnerBeginLoopEndingItsCountHandsBackTheLoopsStart)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP, 3);
    pool_.Prepare(1, 10, WHDR_BEGINLOOP, 1);
    pool_.Prepare(2, 10, WHDR_ENDLOOP);
    for (int i = 0; i < 3; ++i)
        Queue(pool_[i]);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(HeaderLoops(pool_[0]), 2u);
    PlayAndComplete(pool_[1]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1}));
    ExpectReturnedState(0);
    EXPECT_EQ(HeaderFlags(pool_[2]) & WHDR_LOOPMEMBER, 0u);
    PlayAndComplete(pool_[2]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1, 2}));
}

TEST_F(QueueTest, FirstLoopsLastPassClearsTheSecondLoopToo)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP | WHDR_ENDLOOP, 1);
    pool_.Prepare(1, 10, WHDR_BEGINLOOP | WHDR_ENDLOOP, 3);
    Queue(pool_[0]);
    Queue(pool_[1]);
    EXPECT_NE(HeaderFlags(pool_[1]) & WHDR_LOOPMEMBER, 0u);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(HeaderFlags(pool_[1]) & WHDR_LOOPMEMBER, 0u);
    PlayAndComplete(pool_[1]);
    EXPECT_EQ(Returned(), (std::vector<int>{0, 1}));
    EXPECT_EQ(HeaderLoops(pool_[1]), 3u);
}

TEST_F(QueueTest, OpenRunSurvivesClearLoopMarks)
{
    pool_.Prepare(0, 10, WHDR_BEGINLOOP, 2);
    Queue(pool_[0]);
    r_.clearMarks(0);
    EXPECT_EQ(s_->bInLoop, TRUE);
    pool_.Prepare(1, 10);
    Queue(pool_[1]);
    EXPECT_NE(HeaderFlags(pool_[1]) & WHDR_LOOPMEMBER, 0u);
}

// Double buffering: the callback writes back the header it was just given.
TEST_F(QueueTest, CallbackRewritingItsHeaderRequeuesItAtTheEnd)
{
    struct Ctx {
        DWORD (*queue)(DWORD, LPWAVEHDR);
        int budget;
        DWORD lastResult;
    } ctx{r_.queue, 1, 99};
    rec_.onCall = [&ctx](const Recorder::Call& call) {
        auto* c = &ctx;
        WAVEHDR* h = call.Header();
        if (c->budget-- > 0)
            c->lastResult = c->queue(0, h);
    };
    pool_.Prepare(0, 16);
    Queue(pool_[0]);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(ctx.lastResult, 0u);
    EXPECT_EQ(Returned(), (std::vector<int>{0}));
    // The only queued header again; the same call stopped at it.
    EXPECT_EQ(s_->pLoopStart, pool_[0]);
    EXPECT_EQ(s_->pHead, pool_[0]);
    EXPECT_EQ(HeaderFlags(pool_[0]) & (WHDR_DONE | WHDR_INQUEUE), static_cast<DWORD>(WHDR_INQUEUE));
    EXPECT_EQ(HeaderConsumed(pool_[0]), 0u);

    // Behind another queued header it is linked at the end.
    ctx.budget = 1;
    pool_.Prepare(1, 16);
    Queue(pool_[1]);
    PlayAndComplete(pool_[0]);
    EXPECT_EQ(Chain(), (std::vector<int>{1, 0}));
}

}  // namespace
