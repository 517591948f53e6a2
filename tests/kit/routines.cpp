#include "kit/routines.h"

namespace kit {

namespace {

// Notes the first symbol that was not found.
template <class P>
bool Found(P p, const char* name, std::string* missing)
{
    if (p == nullptr && missing->empty())
        *missing = name;
    return p != nullptr;
}

}  // namespace

bool Routines::BindAll(const host::DriverModule& d, std::string* missing)
{
    missing->clear();
    bool all = true;
#define KIT_BIND_MEMBER(member, symbol) all &= Found(member = KIT_BIND(d, symbol), #symbol, missing)
    auto* streams = KIT_BIND(d, g_StreamContext);
    all &= Found(streams, "g_StreamContext", missing);
    stream = streams != nullptr ? &(*streams)[STREAM_OUTPUT] : nullptr;
    KIT_BIND_MEMBER(para, g_BtAudioPara);
    KIT_BIND_MEMBER(lock, g_StreamLock);
    KIT_BIND_MEMBER(deviceInit, g_bDeviceInit);
    KIT_BIND_MEMBER(btAudio, g_hBtAudio);
    KIT_BIND_MEMBER(queue, QueueWaveHeader);
    KIT_BIND_MEMBER(returnDone, ReturnDoneHeaders);
    KIT_BIND_MEMBER(markAll, MarkAllHeadersDone);
    KIT_BIND_MEMBER(clearMarks, ClearLoopMarks);
    KIT_BIND_MEMBER(markConsumed, MarkConsumedHeadersDone);
    KIT_BIND_MEMBER(scan, ScanPendingBytes);
    KIT_BIND_MEMBER(post, PostBtAudioData);
    KIT_BIND_MEMBER(due, GetBtAudioBytesDue);
    KIT_BIND_MEMBER(tick, BtAudioTimerProc);
    KIT_BIND_MEMBER(start, StartBtAudio);
    KIT_BIND_MEMBER(suspend, SuspendBtAudio);
    KIT_BIND_MEMBER(resume, ResumeBtAudio);
    KIT_BIND_MEMBER(restart, RestartBtAudio);
    KIT_BIND_MEMBER(stop, StopBtAudio);
#undef KIT_BIND_MEMBER
    return all;
}

}  // namespace kit
