// The header queue against the test kit's reference model of its rules
// (kit/queue_model.h), over many random sequences of writes, ticks (packet,
// completion), break-loops and flushes.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "host/host.h"
#include "kit/header_pool.h"
#include "kit/queue_model.h"
#include "kit/recorder.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"
#include "support/routines_fixture.h"

using namespace testing_support;

namespace {

constexpr int kHeaders = kModelHeaders;

class QueueModelTest : public RoutinesTest {
protected:
    // The client's side: the recorder keeps every call; the client notes
    // each header handed back and writes it again while its budget lasts.
    void OnDone(const Recorder::Call& c)
    {
        callbackMsgsOk_ &= c.msg == MM_WOM_DONE;
        int id = pool_->IndexOf(c.Header());
        returned_.push_back(id);
        if (id >= 0)
            ++backs_[id];
        if (id >= 0 && rewrites_[id] > 0) {
            --rewrites_[id];
            ++accepted_[id];
            rewriteResultsOk_ &= r_.queue(0, (*pool_)[id]) == 0;
        }
    }

    void StartSequence(uint32_t seed)
    {
        pool_.reset(new HeaderPool(kHeaders));
        model_ = QueueModel();
        model_.pool = pool_.get();
        rec_ = Recorder();
        returned_.clear();
        rec_.onCall = [this](const Recorder::Call& c) { OnDone(c); };
        for (int i = 0; i < kHeaders; ++i) {
            rewrites_[i] = 0;
            accepted_[i] = 0;
            backs_[i] = 0;
        }
        s_->pHead = s_->pLoopStart = nullptr;
        s_->bInLoop = FALSE;
        s_->dwBytesDone = 0;
        s_->pfnCallback = &Recorder::Fn;
        s_->dwInstance = rec_.InstanceWord();
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
            SetHeaderFlags((*pool_)[i], HeaderFlags((*pool_)[i]) & ~WHDR_PREPARED);
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
            DWORD got = r_.queue(0, (*pool_)[i]);
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
            DWORD got = r_.post(para_, requested);
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
                EXPECT_EQ(packets[0].length, expected.audio.size() + BT_AUDIO_PACKET_OVERHEAD);
                EXPECT_EQ(packets[0].refused, expected.refused);
                // A refused packet is the driver's to free, exactly once.
                EXPECT_EQ(frees, expected.refused ? 1u : 0u);
                if (expected.refused && frees == 1)
                    EXPECT_EQ(host::DriverFreedBlocks().back(), packets[0].address);
            } else {
                EXPECT_EQ(frees, 0u);
            }
            model_.MarkConsumed();
            r_.markConsumed(0);
            model_.ReturnDone();
            r_.returnDone(0);
            return "tick " + std::to_string(requested) + (running ? "" : " idle") + (allocFails ? " nomem" : "") +
                   (refused ? " refused" : "");
        }
        if (op < 90) {
            model_.ClearMarks();
            r_.clearMarks(0);
            return "breakloop";
        }
        if (op < 95) {
            model_.MarkAll();
            r_.markAll(0);
            model_.ClearMarks();
            r_.clearMarks(0);
            model_.ReturnDone();
            r_.returnDone(0);
            return "flush";
        }
        if (op < 98) {
            model_.ReturnDone();
            r_.returnDone(0);
            return "return";
        }
        model_.MarkConsumed();
        r_.markConsumed(0);
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
            ASSERT_EQ(HeaderFlags(h), m.flags) << "header " << i;
            ASSERT_EQ(HeaderLoops(h), m.loops) << "header " << i;
            ASSERT_EQ(HeaderConsumed(h), m.consumed) << "header " << i;
            DWORD_PTR next = REC_GETPTR(h, WAVEHDR, lpNext);
            DWORD_PTR want = m.next == kModelForeign ? 0x1234u : reinterpret_cast<DWORD_PTR>(Addr(m.next));
            ASSERT_EQ(next, want) << "header " << i;
            if (m.written)
                ASSERT_EQ(HeaderReserved(h), 0u);
            // Handed back once per accepted write, except while queued.
            size_t backs = backs_[i];
            bool queued = (HeaderFlags(h) & WHDR_INQUEUE) != 0;
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
            r_.markAll(0);
            r_.clearMarks(0);
            r_.returnDone(0);
            Compare("final flush, seed " + std::to_string(seed));
            if (HasFatalFailure() || HasNonfatalFailure())
                return;
        }
    }


    std::unique_ptr<HeaderPool> pool_;
    QueueModel model_;
    std::mt19937 rng_;
    Recorder rec_;
    std::vector<int> returned_;         // headers handed back, in order
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
