// What the driver knows of the Bluetooth audio library's conventions beyond
// its two functions: the link event codes, the refused-post answer and the
// layout of a packet.  The library's stand-in on the host reads packets by
// this same definition.
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

#endif
