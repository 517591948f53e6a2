// The Bluetooth audio library's stand-in, seen from tests and tools.  It
// records every registration and every packet, can refuse posts, raises link
// events from a thread of its own, and hands packets to sinks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "btlink/lmr.h"

namespace btstandin {

struct Registration {
    void* context;
    PFN_LMR_EVENT callback;
    HANDLE handle;
};

struct Packet {
    HANDLE handle;               // handle LMRPostData was given
    const void* address;         // the block's address as posted
    uint32_t length;             // length argument (12 + N)
    uint32_t dataLen;            // dwDataLen read from the packet
    std::vector<uint8_t> audio;  // the N audio bytes
    uint64_t counter;            // performance-counter value at the post
    bool refused;                // answered LMR_POST_REFUSED
};

// Back to the state at load: no registrations, no packets, posts accepted,
// no sinks, event thread idle.
void Reset();

std::vector<Registration> Registrations();
std::vector<Packet> Packets();
void ClearPackets();
// All accepted audio bytes, concatenated in arrival order.
std::vector<uint8_t> ReceivedAudio();

// Refuse the next `count` posts (LMR_POST_REFUSED), or all while `always`.
void RefusePosts(unsigned count);
void RefuseAllPosts(bool always);

// Sinks get every accepted packet's audio on the stand-in's own thread, after
// which the stand-in frees the packet.  Setting none keeps packets in memory
// only for the record above.
using Sink = std::function<void(const Packet&)>;
void AddSink(Sink sink);
// Returns once every accepted packet has gone through the sinks and been freed.
void Flush();
// Packets accepted and not yet freed by the stand-in's thread.
size_t PacketsInFlight();

// Raises a link event through every registered callback (the newest
// registration's callback, as the library would), from the stand-in's event
// thread.  Wait() returns once every raised event has been delivered, with
// the callback's answers.
void RaiseEvent(uint32_t code);
void WaitForEvents();
std::vector<uint32_t> EventAnswers();

}  // namespace btstandin
