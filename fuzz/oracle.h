// The fuzz target's oracle for the header queue: the test kit's reference
// model (kit::QueueModel) kept in step with the driver through everything
// the session does and sees.  The session tells it what it sends (writes,
// flushes, opens that drop the queue, break-loops); the timer's ticks tell it
// when a tick begins.  How many bytes a tick may take comes from outside the
// driver: the pacing's documented rule (kit::PacingClock) over the counter,
// with the values the registry holds, paid from each start (the driver's
// announcement of its configuration says when one happened) or timer
// replacement (the timer service's count of timers made says when).  Each
// tick's packet must be exactly the next bytes of the stream the
// application wrote for that request (kit::QueueModel::Post), which also
// decides which unreadable buffers the tick reached; every MM_WOM_DONE must
// be the model's next hand-back; and after every operation the driver's
// queue and every header's flags, loop count, cursor and link are compared
// with the model's.
//
// Threads: called on the session's thread, on the timer service's thread
// inside a tick, and on the stand-in's event thread inside a link event,
// never two at once (each runs while the others wait for it).
#pragma once

#include <cstdint>
#include <functional>

#include "host/host.h"
#include "host/platform.h"
#include "kit/header_pool.h"
#include "kit/pacing_clock.h"
#include "kit/queue_model.h"
#include "stream/stream.h"

namespace fuzzing {

class QueueOracle {
public:
    // `hears` answers whether the stream's client gets MM_WOM_DONE (it has a
    // callback); without one, hand-backs are seen only in the flags.
    QueueOracle(const kit::HeaderPool& pool, std::function<bool()> hears);

    // The client prepared header i afresh.
    void Prepared(int i, DWORD length, DWORD flags, DWORD loops, bool unreadable);
    // Whether header i is in the model's queue.
    bool Queued(int i) const;
    bool Empty() const { return model_.queue.empty(); }
    // QueueWaveHeader ran for header i: the model's answer, applied.
    DWORD Write(int i);
    // The driver's queue routines outside a tick.
    void FlushBegins();   // a flush's marks (WODM_RESET, the link-up), before its walk
    void WalkEnds();      // a walk of ReturnDoneHeaders has returned: nothing left to hand back
    void BreakLoop();
    void Drop();          // ResetStreamContext
    void ZeroPosition();  // WODM_RESET's end
    DWORD Position() const { return model_.Position(); }

    // A tick is about to run (on the timer's thread) at counter `counter`:
    // the one before it ended.
    void TickBegins(uint64_t counter);
    // A line on the debug output: the driver's announcement of the values a
    // start from idle configured.
    void DebugLine(const host::DebugRecord& r);
    // A message (or link event) has returned: a timer it made pays the
    // counter time from now.
    void AfterMessage();
    // MM_WOM_DONE for header i, on whatever thread the driver sent it.
    void HandedBack(int i);

    // After an operation: ends a tick still open, then compares the driver's
    // queue anchors and every header with the model.
    void Compare(const STREAM_CONTEXT* s, const char* op);
    // Headers an open or a fault dropped without handing them back still say
    // WHDR_INQUEUE; their client takes them back and clears it.
    void ReclaimDropped();

    uint64_t AcceptedPosts() const { return acceptedPosts_; }

private:
    void TakeTick();   // the tick's packets, cursors and marks, once per tick
    void EndTick();

    const kit::HeaderPool& pool_;
    std::function<bool()> hears_;
    kit::QueueModel model_;
    bool tickOpen_ = false;
    bool tickTaken_ = false;
    kit::PacingClock clock_;
    DWORD request_ = 0;           // what the open tick asks for
    uint64_t mallocFaults_ = 0;   // allocation faults fired when the tick began
    uint64_t timersSeen_ = 0;     // timers the timer service had made
    uint64_t regFaults_ = 0;      // registry faults fired at the last look
    uint64_t acceptedPosts_ = 0;
};

}  // namespace fuzzing
