// The fuzz target's oracle for the header queue: the test kit's reference
// model (kit::QueueModel) kept in step with the driver through everything
// the session does and sees.  The session tells it what it sends (writes,
// flushes, opens that drop the queue, break-loops); the timer's ticks tell it
// when a tick begins; every packet posted must be whole 4-byte frames, go
// through the model's Post and carry exactly the bytes the model takes; every MM_WOM_DONE must be the
// model's next hand-back; and after every operation the driver's queue and
// every header's flags, loop count, cursor and link are compared with the
// model's.
//
// Threads: called on the session's thread, on the timer service's thread
// inside a tick, and on the stand-in's event thread inside a link event,
// never two at once (each runs while the others wait for it).
#pragma once

#include <cstdint>
#include <functional>

#include "host/platform.h"
#include "kit/header_pool.h"
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

    // A tick is about to run (on the timer's thread): the one before it ended.
    void TickBegins();
    // The tick is inside LMRPostData: its copy is done, nothing marked yet.
    void Posting();
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
    unsigned long mallocsBefore_ = 0;             // the driver's allocations when the tick began
    DWORD postCursor_[kit::kModelHeaders] = {};   // each header's cursor at the tick's post
    uint64_t acceptedPosts_ = 0;
};

}  // namespace fuzzing
