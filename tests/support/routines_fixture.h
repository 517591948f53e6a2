// A driver that is initialised but not opened through messages, with its
// stream and pacing records and its internal routines at hand, for tests that
// drive the queue and the pump directly.
#pragma once

#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"
#include "support/driver_fixture.h"

namespace testing_support {

class RoutinesTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (HasFatalFailure())
            return;
        hDevice_ = Entry().Init(nullptr, nullptr);
        ASSERT_NE(hDevice_, 0u);
        s_ = &Sym<STREAM_CONTEXT>("g_StreamContext")[0];
        para_ = Sym<BT_AUDIO_PARA>("g_BtAudioPara");
        queue_ = Sym<DWORD(DWORD, LPWAVEHDR)>("QueueWaveHeader");
        returnDone_ = Sym<void(DWORD)>("ReturnDoneHeaders");
        markAll_ = Sym<void(DWORD)>("MarkAllHeadersDone");
        clearMarks_ = Sym<void(DWORD)>("ClearLoopMarks");
        markConsumed_ = Sym<void(DWORD)>("MarkConsumedHeadersDone");
        scan_ = Sym<BOOL(DWORD, LPWAVEHDR*, LPDWORD, LPDWORD)>("ScanPendingBytes");
        post_ = Sym<DWORD(BT_AUDIO_PARA*, DWORD)>("PostBtAudioData");
        due_ = Sym<DWORD(BT_AUDIO_PARA*)>("GetBtAudioBytesDue");
        tick_ = Sym<void(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>("BtAudioTimerProc");
        start_ = Sym<void()>("StartBtAudio");
        suspend_ = Sym<void()>("SuspendBtAudio");
        resume_ = Sym<void()>("ResumeBtAudio");
        restart_ = Sym<void()>("RestartBtAudio");
        stop_ = Sym<void()>("StopBtAudio");
    }

    STREAM_CONTEXT* s_ = nullptr;
    BT_AUDIO_PARA* para_ = nullptr;
    DWORD (*queue_)(DWORD, LPWAVEHDR) = nullptr;
    void (*returnDone_)(DWORD) = nullptr;
    void (*markAll_)(DWORD) = nullptr;
    void (*clearMarks_)(DWORD) = nullptr;
    void (*markConsumed_)(DWORD) = nullptr;
    BOOL (*scan_)(DWORD, LPWAVEHDR*, LPDWORD, LPDWORD) = nullptr;
    DWORD (*post_)(BT_AUDIO_PARA*, DWORD) = nullptr;
    DWORD (*due_)(BT_AUDIO_PARA*) = nullptr;
    void (*tick_)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = nullptr;
    void (*start_)() = nullptr;
    void (*suspend_)() = nullptr;
    void (*resume_)() = nullptr;
    void (*restart_)() = nullptr;
    void (*stop_)() = nullptr;
};

}  // namespace testing_support
