// The client: the callback the driver calls, what it checks there, and what
// the input has it do from inside the callback.
#include <cstdarg>
#include <cstdio>

#include "check.h"
#include "kit/records.h"
#include "session_impl.h"

namespace fuzzing {

using kit::HeaderFlags;
using kit::Mem;

void Session::Trace(const char* fmt, ...)
{
    if (!trace_)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "%*s", depth_ * 4, "");
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
}

void CALLBACK Session::ClientFn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    reinterpret_cast<Session*>(instance)->OnCallback(h, msg, p1);
}

void Session::OnCallback(HDRVR h, UINT msg, DWORD_PTR p1)
{
    Trace("callback %u %p", msg, reinterpret_cast<void*>(p1));
    if (msg == MM_WOM_DONE) {
        int i = pool_.IndexOf(reinterpret_cast<void*>(p1));
        EXPECT(i >= 0, "MM_WOM_DONE for %p, which is no header of the client's", reinterpret_cast<void*>(p1));
        DWORD flags = HeaderFlags(pool_[i]);
        EXPECT((flags & WHDR_DONE) && !(flags & (WHDR_INQUEUE | WHDR_LOOPMEMBER)),
               "header %d handed back with flags %#x", i, flags);
        oracle_.HandedBack(i);
    } else if (msg == MM_WOM_CLOSE) {
        EXPECT(h == reinterpret_cast<HDRVR>(hWave_), "MM_WOM_CLOSE with handle %p, the open's was %p",
               static_cast<void*>(h), static_cast<void*>(hWave_));
    } else {
        EXPECT(msg == MM_WOM_OPEN, "callback with message %u", msg);
    }
    React(msg, p1);
}

void Session::React(UINT msg, DWORD_PTR p1)
{
    if (depth_ > 0 || reactionsLeft_ == 0 || msg != reactTo_)
        return;
    --reactionsLeft_;
    ++depth_;
    size_t other = reactArg_ % kHeaders;
    switch (reaction_) {
    case Reaction::WriteSame: {
        int i = pool_.IndexOf(reinterpret_cast<void*>(p1));
        Write(i >= 0 ? static_cast<size_t>(i) : other, Mem::Good, Mem::Good, Mem::Good);
        break;
    }
    case Reaction::WriteOther: Write(other, Mem::Good, Mem::Good, Mem::Good); break;
    case Reaction::Reset: Reset(); break;
    case Reaction::Pause: Simple(WODM_PAUSE); break;
    case Reaction::Restart: Simple(WODM_RESTART); break;
    case Reaction::BreakLoop: BreakLoop(); break;
    case Reaction::Close: Close(); break;
    case Reaction::GetPos: GetPos(Mem::Good, TIME_BYTES); break;
    case Reaction::Open: Open(0, Mem::Good, Mem::Good, true, true); break;
    case Reaction::Fault:
        if (resetting_ && std::this_thread::get_id() == runner_) {
            Trace("client faults");
            clientFaulted_ = true;
            --depth_;   // the fault leaves this call for good
            (void)*static_cast<volatile const char*>(kit::UnmappedPage());
        }
        break;
    case Reaction::Count: break;
    }
    --depth_;
}

}  // namespace fuzzing
