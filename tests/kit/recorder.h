// The client's callback: records every message the driver sends it, with the
// stream's bOpened at the moment of the call when a stream is given, and runs
// onCall after recording (for clients that act from inside the callback).
// The instance word points at the recorder.  The named expectations describe
// the first call that breaks them, "" when none does.
//
// Threads: the callback runs on whatever thread the driver calls from (the
// test's, the timer's, the stand-in's), with g_StreamLock held where the
// driver holds it; the recorder has no lock of its own, so a test reads it
// only while no tick or event can run.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/platform.h"
#include "stream/stream.h"

namespace kit {

class HeaderPool;

struct Recorder {
    struct Call {
        HDRVR handle;
        UINT msg;
        DWORD_PTR instance;
        DWORD_PTR p1;
        DWORD_PTR p2;
        BOOL openedAtCall;   // -1 without a stream to look at
        WAVEHDR* Header() const { return reinterpret_cast<WAVEHDR*>(p1); }
    };

    std::vector<Call> calls;
    const STREAM_CONTEXT* stream = nullptr;
    std::function<void(const Call&)> onCall;

    static void CALLBACK Fn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

    // The callback and instance words that make a driver call this recorder.
    DWORD_PTR CallbackWord() const { return reinterpret_cast<DWORD_PTR>(&Recorder::Fn); }
    DWORD_PTR InstanceWord() const { return reinterpret_cast<DWORD_PTR>(this); }

    // Every message, in order.
    std::vector<UINT> Messages() const;
    size_t Count(UINT msg) const;
    // Headers handed back with MM_WOM_DONE, in order.
    std::vector<const void*> Done() const;
    // The same as numbers in `pool` (-1 for an address that is none of its).
    std::vector<int> DoneIndices(const HeaderPool& pool) const;

    // Named expectations.
    // Every call is MM_WOM_DONE, from `handle`, with dwParam2 0.
    std::string OnlyDoneFrom(HDRVR handle) const;
};

}  // namespace kit
