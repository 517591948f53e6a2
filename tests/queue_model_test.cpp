// The header queue against a reference model of its rules, over many random
// sequences of writes, ticks (packet, completion), break-loops and flushes.
//
// The model keeps the queue as a list of header numbers with the current
// header as an index into it, and applies the rules of the wave API's
// looping as written for the driver: loop marks decided when a header is
// written, passes counted on the loop's first header (0 meaning endless),
// rewinds with the position falling back at a loop's wrap, break-loop and
// flush, and members of a pass cut short handed back before the header that
// moves the queue's front past them.
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "host/host.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"
#include "support/routines_fixture.h"
#include "support/header_pool.h"

using namespace testing_support;

namespace {

constexpr int kHeaders = 8;
constexpr int kNull = -1;      // lpNext null
constexpr int kForeign = -2;   // lpNext as the application left it (0x1234)

struct ModelHeader {
    bool written = false;    // ever queued since it was prepared
    DWORD length = 0;
    DWORD consumed = 0;
    DWORD flags = 0;
    DWORD loops = 0;
    int next = kForeign;
    int rewrites = 0;        // times its callback writes it again
};

struct ModelPacket {
    std::vector<uint8_t> audio;
    bool refused = false;
};

class QueueModel {
public:
    ModelHeader h[kHeaders];
    std::deque<int> queue;   // from the queue's front (pLoopStart)
    size_t head = 0;         // index of the current header in `queue`
    bool inLoop = false;
    DWORD bytesDone = 0;
    std::vector<int> returned;
    const HeaderPool* pool = nullptr;

    bool Queued(int i) const { return (h[i].flags & WHDR_INQUEUE) != 0; }

    DWORD Write(int i)
    {
        ModelHeader& m = h[i];
        if (m.flags & WHDR_INQUEUE)
            return MMSYSERR_INVALPARAM;
        if (!(m.flags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        m.written = true;
        m.flags &= ~(WHDR_DONE | WHDR_LOOPMEMBER);
        m.consumed = 0;
        m.next = kNull;
        if (!queue.empty())
            h[queue.back()].next = i;
        else
            head = 0;
        queue.push_back(i);
        bool begin = (m.flags & WHDR_BEGINLOOP) != 0;
        bool end = (m.flags & WHDR_ENDLOOP) != 0;
        if (begin || inLoop)
            m.flags |= WHDR_LOOPMEMBER;
        if (begin)
            inLoop = !end;
        else if (inLoop && end)
            inLoop = false;
        m.flags |= WHDR_INQUEUE;
        return MMSYSERR_NOERROR;
    }

    // What one packet takes; empty and not taken when nothing is due or the
    // allocation fails.
    bool Post(DWORD requested, bool running, bool allocFails, bool refused, ModelPacket* out)
    {
        if (!running || queue.empty())
            return false;
        DWORD pending = 0;
        for (size_t k = head; k < queue.size(); ++k) {
            const ModelHeader& m = h[queue[k]];
            if (m.consumed < m.length)
                pending += m.length - m.consumed;
        }
        DWORD n = requested < pending ? requested : pending;
        if (n == 0 || allocFails)
            return false;
        out->audio.clear();
        out->refused = refused;
        for (size_t k = head; k < queue.size() && n > 0; ++k) {
            ModelHeader& m = h[queue[k]];
            const std::vector<uint8_t>& buf = pool->Buffer(queue[k]);
            while (m.consumed < m.length && n > 0) {
                out->audio.push_back(buf[m.consumed]);
                ++m.consumed;
                --n;
            }
        }
        return true;
    }

    void MarkConsumed()
    {
        for (size_t k = head; k < queue.size(); ++k)
            if (h[queue[k]].consumed >= h[queue[k]].length)
                h[queue[k]].flags |= WHDR_DONE;
    }
    void MarkAll()
    {
        for (size_t k = head; k < queue.size(); ++k)
            h[queue[k]].flags |= WHDR_DONE;
    }
    void ClearMarks()
    {
        for (size_t k = head; k < queue.size(); ++k)
            h[queue[k]].flags &= ~WHDR_LOOPMEMBER;
    }

    void ReturnDone()
    {
        while (!queue.empty()) {
            int cur = queue[head];
            ModelHeader& m = h[cur];
            if (!(m.flags & WHDR_DONE))
                return;
            if ((m.flags & WHDR_LOOPMEMBER) && (m.flags & WHDR_BEGINLOOP)) {
                if (m.loops == 1) {
                    for (size_t k = head; k < queue.size(); ++k)
                        h[queue[k]].flags &= ~WHDR_LOOPMEMBER;
                } else if (m.loops != 0xFFFFFFFFu) {
                    --m.loops;
                }
            }
            if (!(m.flags & WHDR_LOOPMEMBER)) {
                while (head > 0)
                    GiveBackFront();
                GiveBackFront();
                continue;
            }
            bool wraps = (m.flags & WHDR_ENDLOOP) || head + 1 == queue.size();
            if (wraps) {
                head = 0;
            } else {
                bytesDone += m.consumed;
                ++head;
            }
            m.flags &= ~WHDR_DONE;
            m.consumed = 0;
            return;
        }
    }

private:
    void GiveBackFront()
    {
        int id = queue.front();
        queue.pop_front();
        if (head > 0)
            --head;
        ModelHeader& m = h[id];
        bytesDone += m.consumed;
        m.flags = (m.flags & ~(WHDR_INQUEUE | WHDR_LOOPMEMBER)) | WHDR_DONE;
        returned.push_back(id);
        if (m.rewrites > 0) {
            --m.rewrites;
            Write(id);
        }
    }
};

class QueueModelTest : public RoutinesTest {
protected:
    void SetUp() override
    {
        RoutinesTest::SetUp();
        if (HasFatalFailure())
            return;
    }

    // The client's side: records each MM_WOM_DONE and writes the header
    // again while its budget lasts.
    static void CALLBACK OnDone(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
    {
        auto* self = reinterpret_cast<QueueModelTest*>(instance);
        self->callbackMsgsOk_ &= msg == MM_WOM_DONE;
        int id = self->pool_->IndexOf(reinterpret_cast<void*>(p1));
        self->returned_.push_back(id);
        if (id >= 0)
            ++self->backs_[id];
        if (id >= 0 && self->rewrites_[id] > 0) {
            --self->rewrites_[id];
            ++self->accepted_[id];
            self->rewriteResultsOk_ &= self->queue_(0, self->pool_->operator[](id)) == 0;
        }
    }

    void StartSequence(uint32_t seed)
    {
        pool_.reset(new HeaderPool(kHeaders));
        model_ = QueueModel();
        model_.pool = pool_.get();
        returned_.clear();
        for (int i = 0; i < kHeaders; ++i) {
            rewrites_[i] = 0;
            accepted_[i] = 0;
            backs_[i] = 0;
        }
        s_->pHead = s_->pLoopStart = nullptr;
        s_->bInLoop = FALSE;
        s_->dwBytesDone = 0;
        s_->pfnCallback = &OnDone;
        s_->dwInstance = reinterpret_cast<DWORD_PTR>(this);
        s_->hWave = reinterpret_cast<HWAVE>(0x77);
        rng_.seed(seed);
        for (int i = 0; i < kHeaders; ++i)
            PrepareRandom(i);
    }

    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    void PrepareRandom(int i)
    {
        static const DWORD kLoops[] = {0, 1, 1, 2, 2, 3, 0xFFFFFFFFu};
        DWORD flags = 0;
        uint32_t r = Pick(10);
        if (r < 2)
            flags |= WHDR_BEGINLOOP;
        else if (r < 4)
            flags |= WHDR_ENDLOOP;
        else if (r == 4)
            flags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
        if (Pick(4) == 0)
            flags |= WHDR_DONE;          // as a previous completion left it
        if (Pick(8) == 0)
            flags |= WHDR_LOOPMEMBER;    // not the application's to set
        if (Pick(3) == 0)
            flags |= 0x00200000u;        // a bit the driver must keep
        DWORD length = Pick(5) == 0 ? 0 : Pick(48) + 1;
        DWORD loops = kLoops[Pick(sizeof kLoops / sizeof kLoops[0])];
        pool_->Prepare(i, length, flags, loops, static_cast<uint8_t>(Pick(256)));
        ModelHeader& m = model_.h[i];
        m = ModelHeader();
        m.length = length;
        m.flags = flags | WHDR_PREPARED;
        m.loops = loops;
        m.consumed = 0xEEEEEEEEu;
        int budget = Pick(6) == 0 ? static_cast<int>(Pick(3)) + 1 : 0;
        m.rewrites = budget;
        rewrites_[i] = budget;
        if (Pick(20) == 0) {   // unprepared
            HSetFlags((*pool_)[i], HFlags((*pool_)[i]) & ~WHDR_PREPARED);
            m.flags &= ~WHDR_PREPARED;
        }
    }

    // One random operation on both sides.
    std::string Step()
    {
        uint32_t op = Pick(100);
        if (op < 35) {
            int i = static_cast<int>(Pick(kHeaders));
            if (!model_.Queued(i))
                PrepareRandom(i);
            DWORD expected = model_.Write(i);
            DWORD got = queue_(0, (*pool_)[i]);
            if (got == 0)
                ++accepted_[i];
            EXPECT_EQ(got, expected);
            return "write " + std::to_string(i);
        }
        if (op < 85) {
            DWORD requested = Pick(4) == 0 ? Pick(8) : Pick(160);
            bool running = Pick(20) != 0;
            bool allocFails = Pick(15) == 0;
            bool refused = Pick(10) == 0;
            para_->bRunning = running;
            if (allocFails)
                host::FailNext(host::Fault::Malloc);
            if (refused)
                btstandin::RefusePosts(1);
            unsigned long freesBefore = host::GetCounters().driverFrees;

            ModelPacket expected;
            bool posts = model_.Post(requested, running, allocFails, refused, &expected);
            DWORD got = post_(para_, requested);
            host::ClearFaults();
            btstandin::RefusePosts(0);

            std::vector<btstandin::Packet> packets = btstandin::Packets();
            btstandin::ClearPackets();
            unsigned long frees = host::GetCounters().driverFrees - freesBefore;
            EXPECT_EQ(packets.size(), posts ? 1u : 0u);
            EXPECT_EQ(got, posts ? expected.audio.size() : 0u);
            if (posts && packets.size() == 1) {
                EXPECT_EQ(packets[0].audio, expected.audio);
                EXPECT_EQ(packets[0].dataLen, expected.audio.size());
                EXPECT_EQ(packets[0].length, expected.audio.size() + 12);
                EXPECT_EQ(packets[0].refused, expected.refused);
                // A refused packet is the driver's to free, exactly once.
                EXPECT_EQ(frees, expected.refused ? 1u : 0u);
                if (expected.refused && frees == 1)
                    EXPECT_EQ(host::DriverFreedBlocks().back(), packets[0].address);
            } else {
                EXPECT_EQ(frees, 0u);
            }
            model_.MarkConsumed();
            markConsumed_(0);
            model_.ReturnDone();
            returnDone_(0);
            return "tick " + std::to_string(requested) + (running ? "" : " idle") + (allocFails ? " nomem" : "") +
                   (refused ? " refused" : "");
        }
        if (op < 90) {
            model_.ClearMarks();
            clearMarks_(0);
            return "breakloop";
        }
        if (op < 95) {
            model_.MarkAll();
            markAll_(0);
            model_.ClearMarks();
            clearMarks_(0);
            model_.ReturnDone();
            returnDone_(0);
            return "flush";
        }
        if (op < 98) {
            model_.ReturnDone();
            returnDone_(0);
            return "return";
        }
        model_.MarkConsumed();
        markConsumed_(0);
        return "markconsumed";
    }

    WAVEHDR* Addr(int i) const { return i >= 0 ? (*pool_)[i] : nullptr; }

    // Everything the model predicts, and the hand-back-once invariant.
    void Compare(const std::string& where)
    {
        SCOPED_TRACE(where);
        ASSERT_EQ(s_->pLoopStart, model_.queue.empty() ? nullptr : Addr(model_.queue.front()));
        ASSERT_EQ(s_->pHead, model_.queue.empty() ? nullptr : Addr(model_.queue[model_.head]));
        ASSERT_EQ(s_->bInLoop != 0, model_.inLoop);
        ASSERT_EQ(s_->dwBytesDone, model_.bytesDone);
        ASSERT_EQ(returned_, model_.returned);
        ASSERT_TRUE(callbackMsgsOk_);
        ASSERT_TRUE(rewriteResultsOk_);
        for (int i = 0; i < kHeaders; ++i) {
            const ModelHeader& m = model_.h[i];
            WAVEHDR* h = (*pool_)[i];
            ASSERT_EQ(HFlags(h), m.flags) << "header " << i;
            ASSERT_EQ(HLoops(h), m.loops) << "header " << i;
            ASSERT_EQ(HConsumed(h), m.consumed) << "header " << i;
            DWORD_PTR next = REC_GETPTR(h, WAVEHDR, lpNext);
            DWORD_PTR want = m.next == kForeign ? 0x1234u : reinterpret_cast<DWORD_PTR>(Addr(m.next));
            ASSERT_EQ(next, want) << "header " << i;
            if (m.written)
                ASSERT_EQ(HReserved(h), 0u);
            // Handed back once per accepted write, except while queued.
            size_t backs = backs_[i];
            bool queued = (HFlags(h) & WHDR_INQUEUE) != 0;
            ASSERT_EQ(backs + (queued ? 1 : 0), accepted_[i]) << "header " << i;
        }
    }

    void RunSequences(uint32_t firstSeed, int sequences, int steps)
    {
        for (int seq = 0; seq < sequences; ++seq) {
            uint32_t seed = firstSeed + static_cast<uint32_t>(seq);
            StartSequence(seed);
            std::string log;
            for (int step = 0; step < steps; ++step) {
                std::string what = Step();
                log += what + "; ";
                Compare("seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + what);
                if (HasFatalFailure() || HasNonfatalFailure()) {
                    ADD_FAILURE() << "sequence so far: " << log;
                    return;
                }
            }
            // Flushing at the end hands back everything still queued.
            model_.MarkAll();
            model_.ClearMarks();
            model_.ReturnDone();
            markAll_(0);
            clearMarks_(0);
            returnDone_(0);
            Compare("final flush, seed " + std::to_string(seed));
            if (HasFatalFailure() || HasNonfatalFailure())
                return;
        }
    }


    std::unique_ptr<HeaderPool> pool_;
    QueueModel model_;
    std::mt19937 rng_;
    std::vector<int> returned_;
    int rewrites_[kHeaders] = {};
    size_t accepted_[kHeaders] = {};   // writes the driver accepted
    size_t backs_[kHeaders] = {};      // MM_WOM_DONE calls
    bool callbackMsgsOk_ = true;
    bool rewriteResultsOk_ = true;
};

constexpr int kSequences = 3000;

TEST_F(QueueModelTest, RandomSequencesMatchTheModel)
{
    EnterCriticalSection(StreamLock());
    RunSequences(20240601u, kSequences, 80);
    LeaveCriticalSection(StreamLock());
}

}  // namespace
