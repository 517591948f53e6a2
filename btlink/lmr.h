// What the driver knows of the Bluetooth audio library's conventions beyond
// its two functions: the link event codes, the refused-post answer, the
// layout of a packet, and how the driver calls the library.  The library's
// stand-in on the host reads packets by this same definition.
//
// How the driver calls the library:
// - LMRPostData is called on the timer service's thread, from the tick, with
//   g_StreamLock held.  The library returns promptly: it must neither wait
//   for another thread nor block on anything that lock holds up, nor call
//   back into the driver from inside it (no event callback, no wave
//   message).  A post that the link cannot carry (no connection, a full
//   send queue) is refused at once (LMR_POST_REFUSED), and the driver frees
//   the packet; one it accepts is the library's, which frees it once sent.
// - LMRRegCBK is called from every WAV_Open, on the thread that opens the
//   driver, with no lock of the driver held.
// - The event callback runs on a thread of the library, with none of the
//   driver's locks held; it takes g_StreamLock itself for its own updates
//   and calls the wave API (it enumerates the wave devices) without it.  The
//   library must not call it from inside LMRPostData or LMRRegCBK.
#ifndef BTLINK_LMR_H
#define BTLINK_LMR_H

#include <wavlmr.h>

// Link events, passed by pointer to the event callback.
#define BT_EVENT_LINK_UP 0x21     // '!'
#define BT_EVENT_LINK_DOWN 0x22   // '"'

// LMRPostData's answer when the library did not take the packet.
#define LMR_POST_REFUSED 0xFFFFFFFFu

// A packet handed to LMRPostData: 12 + N bytes, from malloc; the library
// owns it (and frees it with free) once a post is not refused.
typedef struct BT_AUDIO_PACKET {
    DWORD dwReserved;   // not written
    DWORD dwDataLen;    // N, the audio bytes that follow
    BYTE abData[4];     // N audio bytes, then 4 trailing bytes that are not written
} BT_AUDIO_PACKET;

// Bytes of a packet besides its N audio bytes: dwLength = N + this.
#define BT_AUDIO_PACKET_OVERHEAD 12
// The overhead is the record's own size (two DWORDs and the 4 trailing
// bytes): a compile-time check that holds in every language the header
// meets (an array of negative size does not compile).
typedef char BT_AUDIO_PACKET_OVERHEAD_IS_THE_RECORD[(sizeof(BT_AUDIO_PACKET) == BT_AUDIO_PACKET_OVERHEAD) ? 1 : -1];

#endif
