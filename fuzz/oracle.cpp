#include "oracle.h"

#include <algorithm>
#include <vector>

#include "btlink/lmr.h"
#include "check.h"
#include "btstandin/btstandin.h"
#include "driver/config.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "kit/counter.h"
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

namespace {

uint64_t RegistryFaultsFired()
{
    return host::FaultsFired(host::Fault::RegistryOpen) + host::FaultsFired(host::Fault::RegistryQuery);
}

// The number labelled `label` in a debug record, as the unsigned word it
// prints; false when the record has none.
bool Labelled(const host::DebugRecord& r, const char* label, uint32_t* out)
{
    for (const host::DebugArgument& a : r.arguments) {
        if (a.label == label) {
            *out = static_cast<uint32_t>(a.number);
            return true;
        }
    }
    return false;
}

// A value a start read while a registry fault fired: the registry's by the
// rules, or the default where the fault hid it.  Which read failed is the
// driver's order of reads, which nothing documents; the announced value
// must be one of the two, and is then the one in use.
uint32_t OneOf(uint32_t announced, uint32_t fromRegistry, uint32_t fallback, const char* name)
{
    EXPECT(announced == fromRegistry || announced == fallback,
           "the driver announced %s %u: neither the registry's %u nor the default %u", name, announced, fromRegistry,
           fallback);
    return announced;
}

}  // namespace

void QueueOracle::DebugLine(const host::DebugRecord& r)
{
    kit::PacingValues said;
    if (r.format.compare(0, 16, "InitBtAudioPara:") != 0 || !Labelled(r, "Sample", &said.sample) ||
        !Labelled(r, "CacheLen", &said.cacheLen))
        return;
    kit::PacingValues v = kit::PacingFromRegistry();
    uint64_t fired = RegistryFaultsFired();
    if (fired != regFaults_) {
        v.sample = OneOf(said.sample, v.sample, BT_AUDIO_DEFAULT_SAMPLE, "Sample");
        v.cacheLen = OneOf(said.cacheLen, v.cacheLen, kit::ReserveOf(BT_AUDIO_DEFAULT_CACHELEN), "CacheLen");
        regFaults_ = fired;
    } else {
        EXPECT(said.sample == v.sample && said.cacheLen == v.cacheLen,
               "the driver announced Sample %u, CacheLen %u; the registry says %u, %u", said.sample, said.cacheLen,
               v.sample, v.cacheLen);
    }
    clock_.Configure(v, host::CounterFrequency(), kit::Counter());
}

void QueueOracle::AfterMessage()
{
    // On the virtual clock the counter stands still through a message (and
    // through a tick's callbacks, where a client's reaction sends one), so
    // the counter now is the counter when the timer was made.
    uint64_t made = host::TimersCreated();
    if (made != timersSeen_)
        clock_.Rebase(kit::Counter());
    timersSeen_ = made;
    regFaults_ = RegistryFaultsFired();
}

void QueueOracle::TickBegins(uint64_t counter)
{
    EndTick();
    tickOpen_ = true;
    tickTaken_ = false;
    // A tick with nothing queued takes the time and leaves the pump idle.
    request_ = clock_.Tick(counter, !model_.queue.empty());
    mallocFaults_ = host::FaultsFired(host::Fault::Malloc);
}

// What a tick did before it handed anything back: its one packet, if the
// model expects one, carries exactly the next bytes of the written stream
// for the clock's request; unreadable buffers the stream reached are lost
// whole; the consumed headers are marked done.
void QueueOracle::TakeTick()
{
    tickTaken_ = true;
    std::vector<btstandin::Packet> packets = btstandin::Packets();
    btstandin::ClearPackets();
    // The allocation's answer is the platform's: a fault the session armed.
    bool allocFails = host::FaultsFired(host::Fault::Malloc) != mallocFaults_;
    bool refused = !packets.empty() && packets[0].refused;
    kit::ModelPacket expected;
    bool posts = model_.Post(request_, true, allocFails, refused, &expected);
    EXPECT(packets.size() == (posts ? 1u : 0u), "a tick asked for %u bytes posted %zu packets, the model %d", request_,
           packets.size(), posts ? 1 : 0);
    if (!posts)
        return model_.MarkConsumed();
    const btstandin::Packet& p = packets[0];
    EXPECT(p.length == p.dataLen + BT_AUDIO_PACKET_OVERHEAD, "packet of %u bytes says dwDataLen %u", p.length,
           p.dataLen);
    EXPECT(p.audio.size() == p.dataLen, "packet carries %zu audio bytes, dwDataLen %u", p.audio.size(), p.dataLen);
    EXPECT(p.dataLen == expected.audio.size(), "a tick asked for %u bytes posted %u, the written stream gives %zu",
           request_, p.dataLen, expected.audio.size());
    size_t at = 0;
    while (at < p.audio.size() && p.audio[at] == expected.audio[at])
        ++at;
    EXPECT(at == p.audio.size(), "packet byte %zu of %u is %#x, the written stream's next is %#x", at, p.dataLen,
           p.audio[at], expected.audio[at]);
    if (!p.refused)
        ++acceptedPosts_;
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
