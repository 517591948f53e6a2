// The stand-in's three threads: the encoder thread, which fills the media
// packets' payload when someone listens; the packet thread, which hands
// accepted posts and the media packets they made to the sinks and frees the
// posted blocks, as the library would after sending; and the event thread,
// which raises link events.
//
// The encoder thread takes entries from a hand-off the poster never waits
// on (handoff.h), one at a time in posting order, encodes their media
// packets with no lock held and passes each on to the packet thread.  The
// poster wakes it with a semaphore post per entry.
//
// The packet thread takes the whole hand-off queue at once, and a poster
// wakes it only when it sleeps and either a batch has gathered or 250 ms
// have passed since the last wake-up: at the audio's pace (one post per
// 20 ms tick) it wakes four times a second, and a fast run pays one hand-off
// per batch, not per packet.  The sinks therefore see a packet up to 250 ms
// after its post.  Anyone waiting for the queue to drain wakes it too.
#include <time.h>

#include <algorithm>

#include "host/host.h"
#include "host/platform.h"
#include "standin_state.h"

namespace btstandin {
namespace {

// A poster wakes the sleeping packet thread once this many entries wait, or
// when this long has passed since the last wake-up.  Two thirds of the
// virtual clock's bound on packets in flight: each wake-up is a pair of
// context switches for the poster's CPU, so batches are large, and the
// poster has a third of the bound to go on posting while the packet thread
// comes up (tens of microseconds when it wakes on another CPU of a VM).
const size_t kWakeBatch = kMaxPacketsInFlight * 2 / 3;
const uint64_t kWakeAfterNs = 250000000;
// The packet thread gives room back to waiting posters every this many entries.
const size_t kRoomEvery = 16;

}  // namespace

uint64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

StandIn::StandIn()
{
    sem_init(&packetWake_, 0, 0);
    sem_init(&encodeWake_, 0, 0);
    encodeThread_ = std::thread([this] { EncodeLoop(); });
    packetThread_ = std::thread([this] { PacketLoop(); });
    eventThread_ = std::thread([this] { EventLoop(); });
}

StandIn::~StandIn()
{
    // The encoder thread passes on what it holds before the packet thread
    // is told to end.
    encodeQuit_ = true;
    WakeEncoderThread();
    encodeThread_.join();
    sem_destroy(&encodeWake_);
    {
        std::lock_guard<host::PiMutex> lock(mutex_);
        quit_ = true;
    }
    eventCv_.notify_all();
    sem_post(&packetWake_);
    packetThread_.join();
    eventThread_.join();
    sem_destroy(&packetWake_);
}

StandIn& S()
{
    static StandIn instance;
    return instance;
}

void StandIn::Admit(std::unique_lock<host::PiMutex>& lock, Queued q)
{
    ++inFlight_;
    stats_.peakInFlight = std::max<uint64_t>(stats_.peakInFlight, inFlight_);
    if (!ThroughEncoder()) {
        Deliver(lock, std::move(q));
        return;
    }
    q.encoder = encoder_;
    toEncode_.Push(&q);
    lock.unlock();
    WakeEncoderThread();
}

void StandIn::Deliver(std::unique_lock<host::PiMutex>& lock, Queued q, bool fromEncoder)
{
    const uint64_t wallNs = q.wallNs;
    toDeliver_.push_back(std::move(q));
    bool wake = false;
    if (packetThreadAsleep_) {
        // A waiter for room or a flush wakes it once a few entries have
        // gathered, or with the encoder's last.
        const bool drain =
            fromEncoder && drainWaiters_ > 0 && (toDeliver_.size() >= kRoomEvery || toEncode_.Waiting() == 0);
        wake = drain || toDeliver_.size() >= kWakeBatch || wallNs - lastWakeNs_ >= kWakeAfterNs;
        if (wake)
            lastWakeNs_ = wallNs;
    }
    lock.unlock();
    if (wake)
        WakePacketThread();
}

// The encoder thread: takes one entry at a time, encodes its media packets
// with no lock held, and passes it on to the packet thread.  Whoever waits
// for room in the hand-off (EndStream) is told as it passes each on.
void StandIn::EncodeLoop()
{
    host::NameThisThread("stand-in encoder");
    Queued q{};
    for (;;) {
        if (!toEncode_.Pop(&q)) {
            if (encodeQuit_)
                return;
            while (sem_wait(&encodeWake_) != 0) {
            }
            continue;
        }
        if (q.encoder) {
            for (MediaPacket& m : q.media)
                q.encoder->Encode(&m);
            q.encoder.reset();
        }
        std::unique_lock<host::PiMutex> lock(mutex_);
        if (drainWaiters_ > 0)
            cv_.notify_all();
        Deliver(lock, std::move(q), true);
        q = Queued{};
    }
}

// The packet thread: takes the whole hand-off queue at once and, with no
// lock held, hands each post and media packet to every sink of its kind and
// frees the block.
void StandIn::PacketLoop()
{
    host::NameThisThread("stand-in packets");
    std::vector<Queued> batch;
    std::vector<PacketSink> sinks;
    std::vector<MediaSink> mediaSinks;
    std::unique_lock<host::PiMutex> lock(mutex_);
    for (;;) {
        if (toDeliver_.empty()) {
            if (quit_)
                return;
            packetThreadAsleep_ = true;
            lock.unlock();
            while (sem_wait(&packetWake_) != 0) {
            }
            lock.lock();
            packetThreadAsleep_ = false;
            continue;
        }
        batch.swap(toDeliver_);
        sinks = sinks_;
        mediaSinks = mediaSinks_;
        lock.unlock();
        uint64_t lag = 0;
        size_t done = 0;   // entries handled and not yet given back as room
        for (size_t i = 0; i < batch.size(); ++i) {
            Queued& q = batch[i];
            const uint64_t now = MonotonicNs();
            lag = std::max(lag, now > q.wallNs ? now - q.wallNs : 0);
            if (q.block) {
                for (auto& sink : sinks)
                    sink(q.view);
                host::DriverHeapFree(q.block);
            }
            for (const MediaPacket& m : q.media)
                for (auto& sink : mediaSinks)
                    sink(m);
            // Room goes back as the batch is worked off, not at its end: a
            // poster waiting at the bound (a fast run) posts on meanwhile,
            // so slow sinks (a decoding headset) and the driver overlap.
            if (++done == kRoomEvery && i + 1 < batch.size()) {
                lock.lock();
                inFlight_ -= done;
                done = 0;
                if (drainWaiters_ > 0)
                    cv_.notify_all();
                lock.unlock();
            }
        }
        // The media lists go back to the posters emptied, their capacity
        // kept; the packets' own buffers (kept PCM, payload) are freed here.
        for (Queued& q : batch)
            q.media.clear();
        lock.lock();
        stats_.maxLagNs = std::max(stats_.maxLagNs, lag);
        inFlight_ -= done;
        for (Queued& q : batch)
            if (q.media.capacity() > 0 && spareMedia_.size() < kMaxPacketsInFlight)
                spareMedia_.push_back(std::move(q.media));
        batch.clear();
        if (drainWaiters_ > 0)
            cv_.notify_all();
    }
}

// The event thread: delivers raised events one at a time through the
// newest registration's callback, with no lock of the stand-in held (the
// driver's callback takes its stream lock and enumerates the wave devices,
// which may wait for a message in flight).
void StandIn::EventLoop()
{
    host::NameThisThread("stand-in events");
    std::unique_lock<host::PiMutex> lock(mutex_);
    for (;;) {
        eventCv_.wait(lock, [this] { return quit_ || !events_.empty(); });
        if (events_.empty() && quit_)
            return;
        uint32_t code = events_.front();
        events_.pop_front();
        Registration reg{};
        bool have = !registrations_.empty();
        if (have)
            reg = registrations_.back();
        lock.unlock();
        DWORD answer = 0xFFFFFFFFu;
        if (have && reg.callback) {
            DWORD word = code;
            answer = reg.callback(reinterpret_cast<DWORD_PTR>(reg.context), &word);
        }
        lock.lock();
        answers_.push_back(answer);
        --eventsBusy_;
        eventCv_.notify_all();
    }
}

}  // namespace btstandin
