#include "oracle.h"

#include <algorithm>
#include <vector>

#include "btlink/lmr.h"
#include "check.h"
#include "btstandin/btstandin.h"
#include "host/host.h"
#include "kit/records.h"

namespace fuzzing {

using kit::HeaderConsumed;
using kit::HeaderFlags;
using kit::HeaderLength;

QueueOracle::QueueOracle(const kit::HeaderPool& pool, std::function<bool()> hears)
    : pool_(pool), hears_(std::move(hears))
{
    model_.pool = &pool_;
    for (int i = 0; i < kit::kModelHeaders; ++i) {
        // As the pool leaves a header it has not filled.
        model_.h[i].flags = HeaderFlags(pool_[i]);
        model_.h[i].consumed = HeaderConsumed(pool_[i]);
        model_.h[i].length = HeaderLength(pool_[i]);
    }
}

void QueueOracle::Prepared(int i, DWORD length, DWORD flags, DWORD loops, bool unreadable)
{
    kit::ModelHeader& m = model_.h[i];
    m = kit::ModelHeader();
    m.length = length;
    m.flags = flags;
    m.loops = loops;
    m.consumed = 0xEEEEEEEEu;   // HeaderPool::Fill
    m.unreadable = unreadable;
}

bool QueueOracle::Queued(int i) const
{
    return std::find(model_.queue.begin(), model_.queue.end(), i) != model_.queue.end();
}

DWORD QueueOracle::Write(int i)
{
    return model_.Write(i);
}

void QueueOracle::FlushBegins()
{
    model_.MarkAll();
    model_.ClearMarks();
}

void QueueOracle::WalkEnds()
{
    int id;
    if (hears_()) {
        // Every hand-back of the walk came with its MM_WOM_DONE; the round
        // that ended it may still rewind a loop member.
        bool more = model_.ReturnNext(&id);
        EXPECT(!more, "header %d was due back and the driver did not hand it back", id);
    } else {
        model_.ReturnDone();
    }
}

void QueueOracle::BreakLoop()
{
    model_.ClearMarks();
}

void QueueOracle::Drop()
{
    model_.Drop();
}

void QueueOracle::ZeroPosition()
{
    model_.bytesDone = 0;
}

void QueueOracle::TickBegins()
{
    EndTick();
    tickOpen_ = true;
    tickTaken_ = false;
    mallocsBefore_ = host::GetCounters().driverMallocs;
}

void QueueOracle::Posting()
{
    for (int i = 0; i < kit::kModelHeaders; ++i)
        postCursor_[i] = HeaderConsumed(pool_[i]);
}

// What a tick did before it handed anything back: its one packet (if any)
// carries exactly the bytes the model takes, unreadable headers it reached
// are dropped whole, and the consumed headers are marked done.
void QueueOracle::TakeTick()
{
    tickTaken_ = true;
    std::vector<btstandin::Packet> packets = btstandin::Packets();
    btstandin::ClearPackets();
    EXPECT(packets.size() <= 1, "a tick posted %zu packets", packets.size());
    for (const btstandin::Packet& p : packets) {
        EXPECT(p.length == p.dataLen + BT_AUDIO_PACKET_OVERHEAD, "packet of %u bytes says dwDataLen %u", p.length,
               p.dataLen);
        EXPECT(p.audio.size() == p.dataLen && p.dataLen > 0, "packet carries %zu audio bytes, dwDataLen %u",
               p.audio.size(), p.dataLen);
        // Every packet is whole frames of the device's format, the first
        // included, however the client cut its buffers.
        EXPECT(p.dataLen % 4 == 0, "a packet of %u audio bytes is not whole 4-byte frames", p.dataLen);
        kit::ModelPacket expected;
        bool posts = model_.Post(p.dataLen, true, false, p.refused, &expected);
        EXPECT(posts && expected.audio == p.audio,
               "a packet of %u bytes is not the queue's next %u readable bytes (first byte %#x, expected %#x)",
               p.dataLen, p.dataLen, p.audio.empty() ? 0u : p.audio[0],
               expected.audio.empty() ? 0u : expected.audio[0]);
        if (!p.refused)
            ++acceptedPosts_;
    }
    // Unreadable headers the walk reached were dropped whole; how far it
    // went depends on the bytes due, so the cursors say.  With a packet,
    // their cursors at the post; with a packet allocated and freed unposted,
    // every one (nothing could be copied, so the walk ran to the end); with
    // none allocated (nothing due, or no memory), none.
    bool allocated = host::GetCounters().driverMallocs > mallocsBefore_;
    for (size_t k = model_.head; k < model_.queue.size(); ++k) {
        int i = model_.queue[k];
        kit::ModelHeader& m = model_.h[i];
        if (!m.unreadable || m.consumed >= m.length)
            continue;
        if (packets.empty()) {
            if (allocated)
                m.consumed = m.length;
            continue;
        }
        DWORD got = postCursor_[i];
        EXPECT(got == m.consumed || got == m.length,
               "unreadable header %d's cursor is %u: neither untouched (%u) nor dropped whole (%u)", i, got,
               m.consumed, m.length);
        m.consumed = got;
    }
    model_.MarkConsumed();
}

void QueueOracle::EndTick()
{
    if (!tickOpen_)
        return;
    if (!tickTaken_)
        TakeTick();
    tickOpen_ = false;
    WalkEnds();
}

void QueueOracle::HandedBack(int i)
{
    if (tickOpen_ && !tickTaken_)
        TakeTick();
    int id = -1;
    bool back = model_.ReturnNext(&id);
    EXPECT(back && id == i, "MM_WOM_DONE for header %d, where the queue's next hand-back is %d", i, back ? id : -1);
}

void QueueOracle::Compare(const STREAM_CONTEXT* s, const char* op)
{
    EndTick();
    const std::deque<int>& q = model_.queue;
    auto at = [&](int i) -> const void* { return i >= 0 ? static_cast<const void*>(pool_[i]) : nullptr; };
    EXPECT(s->pLoopStart == (q.empty() ? nullptr : at(q.front())), "the queue's front is %p, the model's %d after %s",
           static_cast<void*>(s->pLoopStart), q.empty() ? -1 : q.front(), op);
    EXPECT(s->pHead == (q.empty() ? nullptr : at(q[model_.head])), "pHead is %p, the model's header %d after %s",
           static_cast<void*>(s->pHead), q.empty() ? -1 : q[model_.head], op);
    EXPECT((s->bInLoop != 0) == model_.inLoop, "bInLoop %d, the model's %d after %s", s->bInLoop, model_.inLoop, op);
    EXPECT(s->dwBytesDone == model_.bytesDone, "dwBytesDone %u, the model's %u after %s", s->dwBytesDone,
           model_.bytesDone, op);
    for (int i = 0; i < kit::kModelHeaders; ++i) {
        const kit::ModelHeader& m = model_.h[i];
        WAVEHDR* h = pool_[i];
        EXPECT(HeaderFlags(h) == m.flags, "header %d's flags %#x, the model's %#x after %s", i, HeaderFlags(h), m.flags, op);
        EXPECT(REC_GET32(h, WAVEHDR, dwLoops) == m.loops, "header %d's loop count %u, the model's %u after %s", i,
               REC_GET32(h, WAVEHDR, dwLoops), m.loops, op);
        EXPECT(HeaderConsumed(h) == m.consumed, "header %d's cursor %u, the model's %u after %s", i, HeaderConsumed(h),
               m.consumed, op);
        DWORD_PTR next = REC_GETPTR(h, WAVEHDR, lpNext);
        DWORD_PTR want = m.next == kit::kModelForeign ? 0x1234u : reinterpret_cast<DWORD_PTR>(at(m.next));
        EXPECT(next == want, "header %d's lpNext %#lx, the model's %#lx after %s", i, static_cast<unsigned long>(next),
               static_cast<unsigned long>(want), op);
        if (m.written)
            EXPECT(REC_GETPTR(h, WAVEHDR, reserved) == 0, "header %d's reserved word is not 0 after %s", i, op);
    }
}

void QueueOracle::ReclaimDropped()
{
    for (int i = 0; i < kit::kModelHeaders; ++i) {
        kit::ModelHeader& m = model_.h[i];
        if (!(m.flags & WHDR_INQUEUE) || Queued(i) || !m.written)
            continue;
        m.flags &= ~WHDR_INQUEUE;
        REC_SET32(pool_[i], WAVEHDR, dwFlags, HeaderFlags(pool_[i]) & ~WHDR_INQUEUE);
    }
}

}  // namespace fuzzing
