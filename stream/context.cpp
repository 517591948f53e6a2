// The stream record and its lock.
#include "stream/stream.h"

extern "C" {

STREAM_CONTEXT g_StreamContext[STREAM_COUNT];
CRITICAL_SECTION g_StreamLock;

void ResetStreamContext(DWORD dwStream)
{
    STREAM_CONTEXT* s = &g_StreamContext[dwStream];
    s->bOpened = FALSE;
    s->bPaused = FALSE;
    s->bLinkUp = FALSE;
    s->bInLoop = FALSE;
    s->pHead = 0;
    s->pLoopStart = 0;
    s->pwfx = 0;
    s->pfnCallback = 0;
    s->dwBytesDone = 0;
    s->dwInstance = 0;
    s->hWave = STREAM_NO_HANDLE;
    s->dwAvgBytesPerSec = 0;
    s->dwChannels = 0;
    s->dwBitsPerSample = 0;
}

}  // extern "C"
