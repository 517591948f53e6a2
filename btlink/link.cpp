// The driver's side of the Bluetooth link: the link events and the system's
// preferred wave-out device.

#include "btlink/link.h"
#include "driver/config.h"
#include "driver/driver.h"
#include "pump/pump.h"
#include "queue/queue.h"
#include "stream/stream.h"

namespace {

// What the callback answers for an event code it does not know.
const DWORD kUnknownEventAnswer = 12;

// The flags word that goes with device 0 on link-down.
const DWORD kRestoreFlags = 0xFFFFFFFFu;

// Link up: bLinkUp set, then the driver's device made preferred.  When the
// link comes up while it was down and no stream is open, the pump and the
// queue are first brought to rest.  Caller has entered async use.
//
// That rest finds nothing to do on this system: every way into the closed
// state (the load, WODM_CLOSE with an empty queue, an open whose
// announcement faulted, a reset's fault path) clears the record, leaving
// the queue empty and the stream not paused.  It is kept because the
// link's contract asks a link-up to flush a closed stream; only a test that
// forges the stream's flags sees it act (link_test).
void OnLinkUp(void)
{
    STREAM_CONTEXT* s = &g_StreamContext[STREAM_OUTPUT];
    EnterStreamLock();
    if (!s->bLinkUp && !s->bOpened) {
        if (s->bPaused)
            SuspendBtAudio();
        MarkAllHeadersDone(STREAM_OUTPUT);
        ClearLoopMarks(STREAM_OUTPUT);
        ReturnDoneHeaders(STREAM_OUTPUT);
    }
    s->bLinkUp = TRUE;
    LeaveStreamLock();

    // Without the lock: the wave API may ask this driver for its
    // capabilities from the enumeration.
    SetPreferredOnLinkUp();
}

// Link down: device 0 made preferred again first, then bLinkUp cleared.
// Playback goes on.  Caller has entered async use.
void OnLinkDown(void)
{
    RestorePreferredOnLinkDown();
    EnterStreamLock();
    g_StreamContext[STREAM_OUTPUT].bLinkUp = FALSE;
    LeaveStreamLock();
}

}  // namespace

extern "C" {

HANDLE g_hBtAudio;

DWORD BtEventCallback(DWORD_PTR dwContext, const DWORD* pdwEvent)
{
    (void)dwContext;
    DWORD dwCode = RecReadU32(pdwEvent);
    if (dwCode != BT_EVENT_LINK_UP && dwCode != BT_EVENT_LINK_DOWN)
        return kUnknownEventAnswer;

    // The whole handling counts as async use, so that WAV_Deinit waits until
    // it has left the driver.  Once the device is deinitialised the lock is
    // gone, and so is the device: the event changes nothing.
    if (!EnterAsyncUse())
        return 0;
    if (dwCode == BT_EVENT_LINK_UP)
        OnLinkUp();
    else
        OnLinkDown();
    LeaveAsyncUse();
    return 0;
}

BOOL FindOwnWaveDevice(LPDWORD pdwIndex)
{
    // The count is compared as a signed value: "0 or less" finds nothing.
    LONG nDevices = static_cast<LONG>(waveOutGetNumDevs());
    for (LONG i = 0; i < nDevices; ++i) {
        WAVEOUTCAPS caps = WAVEOUTCAPS();
        if (waveOutGetDevCaps(static_cast<UINT>(i), &caps, sizeof caps) != MMSYSERR_NOERROR)
            continue;
        if (IsDeviceName(caps.szPname)) {
            *pdwIndex = static_cast<DWORD>(i);
            return TRUE;
        }
    }
    return FALSE;
}

DWORD SetPreferredOnLinkUp(void)
{
    DWORD dwIndex = 0;
    if (!FindOwnWaveDevice(&dwIndex) || dwIndex == 0)
        return ERROR_INTERNAL_ERROR;
    return waveOutMessage(WAVE_MAPPER_HANDLE, DRVM_MAPPER_PREFERRED_SET, dwIndex, 0);
}

DWORD RestorePreferredOnLinkDown(void)
{
    DWORD dwIndex = 0;
    if (!FindOwnWaveDevice(&dwIndex) || dwIndex == 0)
        return ERROR_INTERNAL_ERROR;
    return waveOutMessage(WAVE_MAPPER_HANDLE, DRVM_MAPPER_PREFERRED_SET, 0, kRestoreFlags);
}

}  // extern "C"
