// The stand-in's one record and its lock, shared by its three files: the
// face to the driver and the control side (standin.cpp), its three threads
// (threads.cpp) and the test hooks, the record and the post observer
// (hooks.cpp).  The link's arithmetic lives in units of its own with no
// thread (sendpath.h and what it holds).
#pragma once

#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "btstandin/btstandin.h"
#include "handoff.h"
#include "host/realtime.h"

namespace btstandin {

// One entry of the hand-offs to the encoder thread and on to the packet
// thread: an accepted post, the media packets it completed (encoded on the
// way when someone listens), or both.
struct Queued {
    void* block;                     // the posted block, freed after the sinks (null: media alone)
    PacketView view;                 // its audio
    uint64_t wallNs;                 // CLOCK_MONOTONIC at the post, for the lag
    std::vector<MediaPacket> media;  // media packets the post completed (modelled link)
    std::shared_ptr<PacketEncoder> encoder;   // the encoder set at the post, for the encoder thread
};

uint64_t MonotonicNs();

// The encoder's hand-off holds more than the virtual clock lets be in
// flight (and the stream end's entry), so only the real clock fills it.
static_assert(kEncodeBacklog > kMaxPacketsInFlight + 1, "the virtual clock's bound must hold first");

class StandIn {
public:
    StandIn();
    ~StandIn();

    // Wakes the packet thread; never blocks.
    void WakePacketThread() { sem_post(&packetWake_); }
    // Wakes the encoder thread; never blocks (one count per entry pushed).
    void WakeEncoderThread() { sem_post(&encodeWake_); }

    // The one lock of the stand-in.  It guards every field below, which
    // four kinds of thread share: the poster (the driver's timer thread in
    // LMRPostData, holding the driver's stream lock), the packet thread, the
    // event thread, and the control side (a test's or the player's thread,
    // and the driver's Init/Deinit thread for registrations).  It is a leaf
    // for the poster: held there only for bookkeeping and the send path's
    // arithmetic, never while a sink, the encoder or the driver is called,
    // and released before any wait.  The post observer and the fault table's
    // lose check are the calls made with it held.  A waiter lends the holder
    // its priority.
    host::PiMutex mutex_;
    std::condition_variable_any cv_;       // to waiters: packets freed (room in the queue, flushes)
    std::condition_variable_any eventCv_;  // to the event thread and its waiters
    sem_t packetWake_;                     // to the packet thread: packets queued, or a drain waits
    int drainWaiters_ = 0;             // threads waiting on cv_: posters at the bound, Flush callers
    bool quit_ = false;                // set at process exit; both threads end

    // Set by the control side, read by the poster and the threads.
    std::vector<Registration> registrations_;   // LMRRegCBK (driver's Init thread); the event thread reads the newest
    uintptr_t nextHandle_ = 0x4C4D5200;         // any non-zero value
    bool modelled_ = false;                     // ModelLink
    std::unique_ptr<SendPath> send_;            // ModelLink: the modelled link's send path; the poster drives it
    bool linkUp_ = false;                       // SetLink; the poster refuses while down
    std::vector<PacketSink> sinks_;             // AddSink; copied by the packet thread per batch
    std::vector<MediaSink> mediaSinks_;         // AddMediaSink; likewise
    std::shared_ptr<PacketEncoder> encoder_;    // SetEncoder; each entry takes it to the encoder thread
    std::function<void(const PostInfo&)> observer_;   // SetPostObserver; called by the poster
    bool freeOnPost_ = false;                   // FreeOnPost
    bool recording_ = false;                    // KeepPackets
    size_t recordBound_ = 0;                    // audio bytes the record may keep

    // Written by the poster (and the packet thread for the lag), read by
    // the control side.
    PostStats stats_;
    size_t recordBytes_ = 0;          // audio bytes the record keeps
    bool recordOverflowed_ = false;
    std::vector<Packet> packets_;

    // The hand-off from posters (and EndStream), under mutex_, to the
    // encoder thread, which takes with no lock: every accepted entry while
    // an encoder is set, or while entries wait in it (order is kept).
    Handoff<Queued> toEncode_{kEncodeBacklog};
    sem_t encodeWake_;                          // to the encoder thread: one count per entry pushed
    std::atomic<bool> encodeQuit_{false};       // set at process exit, before quit_: it drains and ends

    // The hand-off to the packet thread, from posters (no encoder) or the
    // encoder thread.
    std::vector<Queued> toDeliver_;   // accepted, not yet taken by the packet thread (appended)
    // Emptied media lists the packet thread gives back, each with its
    // capacity, so that a post allocates none (at most kMaxPacketsInFlight).
    std::vector<std::vector<MediaPacket>> spareMedia_;
    size_t inFlight_ = 0;             // accepted and not yet freed (posters add, the packet thread subtracts;
                                      // those waiting for the encoder included)
    bool packetThreadAsleep_ = false; // written by the packet thread
    uint64_t lastWakeNs_ = 0;         // when a poster last woke the packet thread

    // The hand-off from the control side to the event thread.
    std::deque<uint32_t> events_;     // raised, not yet delivered
    size_t eventsBusy_ = 0;           // raised and not yet answered
    std::vector<uint32_t> answers_;   // the callback's answers, appended by the event thread

    // Takes an accepted entry: counts it in flight and hands it to the
    // encoder thread when one encodes (or entries wait there), else to the
    // packet thread.  Caller holds mutex_ through `lock`, which it leaves
    // released.  The caller has made sure the encoder's hand-off has room.
    void Admit(std::unique_lock<host::PiMutex>& lock, Queued q);
    // Whether Admit would hand an entry to the encoder thread, and whether
    // that hand-off is full.  Caller holds mutex_.
    bool ThroughEncoder() const { return encoder_ || toEncode_.Waiting() > 0; }
    bool EncoderBehind() const { return ThroughEncoder() && toEncode_.Full(); }
    // Hands an entry to the packet thread, waking it when a batch has
    // gathered or a while has passed, and (from the encoder thread, whose
    // entries come after a drainer's own wake-up) when someone waits for the
    // queue to drain.  Caller holds mutex_ through `lock`, which it leaves
    // released.
    void Deliver(std::unique_lock<host::PiMutex>& lock, Queued q, bool fromEncoder = false);

private:
    void PacketLoop();
    void EncodeLoop();
    void EventLoop();

    std::thread encodeThread_;
    std::thread packetThread_;
    std::thread eventThread_;
};

// The one stand-in of the process.
StandIn& S();

// The record and the observer for one post (hooks.cpp).  Caller holds mutex_.
void RecordPost(StandIn& s, const Packet& p, const PacketView& view, uint64_t nowNs);

}  // namespace btstandin
