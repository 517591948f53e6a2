// What the driver knows of the Bluetooth audio library's conventions beyond
// its two functions: the link event codes and the refused-post answer.
#ifndef BTLINK_LMR_H
#define BTLINK_LMR_H

#include <wavlmr.h>

// Link events, passed by pointer to the event callback.
#define BT_EVENT_LINK_UP 0x21     // '!'
#define BT_EVENT_LINK_DOWN 0x22   // '"'

// LMRPostData's answer when the library did not take the packet.
#define LMR_POST_REFUSED 0xFFFFFFFFu

#endif
