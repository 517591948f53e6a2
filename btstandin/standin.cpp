// Stand-in for the Bluetooth audio library.  A post is checked and, when
// accepted, queued for the stand-in's packet thread, which hands the block's
// audio to the sinks and frees it, as the library would after sending.  The
// packet thread takes the whole queue at once, and a poster wakes it only
// when it sleeps and either a batch has gathered or 250 ms have passed since
// the last wake-up: at the audio's pace (one post per 20 ms tick) it wakes
// four times a second, and a fast run pays one hand-off per batch, not per
// packet.  The sinks therefore see a packet up to 250 ms after its post.
// Anyone waiting for the queue to drain wakes it too.  Link events are
// raised from a second thread of its own.
//
// The post returns promptly, as the library's contract has it.  On the real
// clock it never waits for the packet thread: what the sinks have not taken
// yet waits in memory, however much it is, and the stand-in reports the
// longest backlog and lag.  It wakes the packet thread through a semaphore,
// which never blocks the poster, and its one lock lends the poster's
// priority to a holder (a PiMutex).  On the virtual clock, where a fast run
// posts far faster than the sinks take, a post waits for room once
// kMaxPacketsInFlight packets are in flight, so memory stays bounded.  That
// wait is for the packet thread, which holds no lock of the driver's (nor
// may a sink wait for a tick), and it costs no virtual time: in the time the
// driver sees, the post still returns at once.
//
// The link model, when a test or the player turns it on, decides at the post
// with no thread of its own: the radio's backlog is the time it still needs
// for what it accepted, on the host's clock, so the virtual clock gives the
// same answers every run.  Faults from the host's fault table (refused,
// slow and lost posts) are decided before the stand-in's lock is taken.
#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <chrono>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/realtime.h"
#include "host/records.h"

namespace btstandin {
namespace {

// A poster wakes the sleeping packet thread once this many packets wait, or
// when this long has passed since the last wake-up.
const size_t kWakeBatch = 64;
const uint64_t kWakeAfterNs = 250000000;

uint64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Queued {
    void* block;          // the posted block, freed after the sinks
    PacketView view;      // its audio
    uint64_t wallNs;      // CLOCK_MONOTONIC at the post, for the lag
};

class StandIn {
public:
    StandIn()
    {
        sem_init(&packetWake_, 0, 0);
        packetThread_ = std::thread([this] { PacketLoop(); });
        eventThread_ = std::thread([this] { EventLoop(); });
    }
    ~StandIn()
    {
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

    // Wakes the packet thread; never blocks.
    void WakePacketThread() { sem_post(&packetWake_); }

    // The one lock of the stand-in.  It guards every field below, which
    // four kinds of thread share: the poster (the driver's timer thread in
    // LMRPostData, holding the driver's stream lock), the packet thread, the
    // event thread, and the control side (a test's or the player's thread,
    // and the driver's Init/Deinit thread for registrations).  It is a leaf
    // for the poster: held there only for bookkeeping, never while a sink,
    // the driver or the fault table is called, and released before any
    // wait.  The post observer is the one call made with it held.  A waiter
    // lends the holder its priority.
    host::PiMutex mutex_;
    std::condition_variable_any cv_;       // to waiters: packets freed (room in the queue, flushes)
    std::condition_variable_any eventCv_;  // to the event thread and its waiters
    sem_t packetWake_;                     // to the packet thread: packets queued, or a drain waits
    int drainWaiters_ = 0;             // threads waiting on cv_: posters at the bound, Flush callers
    bool quit_ = false;                // set at process exit; both threads end

    // Set by the control side, read by the poster and the threads.
    std::vector<Registration> registrations_;   // LMRRegCBK (driver's Init thread); the event thread reads the newest
    uintptr_t nextHandle_ = 0x4C4D5200;         // any non-zero value
    LinkModel link_;                            // ModelLink
    bool linkUp_ = false;                       // SetLink; the poster refuses while down
    std::vector<PacketSink> sinks_;             // AddSink; copied by the packet thread per batch
    std::function<void(const PostInfo&)> observer_;   // SetPostObserver; called by the poster
    bool freeOnPost_ = false;                   // FreeOnPost
    bool recording_ = false;                    // KeepPackets
    size_t recordBound_ = 0;                    // audio bytes the record may keep

    // Written by the poster (and the packet thread for the lag), read by
    // the control side.
    uint64_t radioFreeNs_ = 0;        // when the radio will have sent everything queued
    PostStats stats_;
    size_t recordBytes_ = 0;          // audio bytes the record keeps
    bool recordOverflowed_ = false;
    std::vector<Packet> packets_;

    // The hand-off from posters to the packet thread.
    std::vector<Queued> toDeliver_;   // accepted, not yet taken by the packet thread (posters append)
    size_t inFlight_ = 0;             // accepted and not yet freed (posters add, the packet thread subtracts)
    bool packetThreadAsleep_ = false; // written by the packet thread
    uint64_t lastWakeNs_ = 0;         // when a poster last woke the packet thread

    // The hand-off from the control side to the event thread.
    std::deque<uint32_t> events_;     // raised, not yet delivered
    size_t eventsBusy_ = 0;           // raised and not yet answered
    std::vector<uint32_t> answers_;   // the callback's answers, appended by the event thread

private:
    // The packet thread: takes the whole hand-off queue at once and, with
    // no lock held, hands each packet to every sink and frees it.
    void PacketLoop()
    {
        host::NameThisThread("stand-in packets");
        std::vector<Queued> batch;
        std::vector<PacketSink> sinks;
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
            lock.unlock();
            uint64_t lag = 0;
            for (const Queued& q : batch) {
                const uint64_t now = MonotonicNs();
                lag = std::max(lag, now > q.wallNs ? now - q.wallNs : 0);
                for (auto& sink : sinks)
                    sink(q.view);
                host::DriverHeapFree(q.block);
            }
            lock.lock();
            stats_.maxLagNs = std::max(stats_.maxLagNs, lag);
            inFlight_ -= batch.size();
            batch.clear();
            if (drainWaiters_ > 0)
                cv_.notify_all();
        }
    }

    // The event thread: delivers raised events one at a time through the
    // newest registration's callback, with no lock of the stand-in held (the
    // driver's callback takes its stream lock and enumerates the wave
    // devices, which may wait for a message in flight).
    void EventLoop()
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

    std::thread packetThread_;
    std::thread eventThread_;
};

// The post's work, for LMRPostData.
DWORD Post(StandIn& s, HANDLE hAudio, LPVOID pPacket, DWORD dwLength);

StandIn& S()
{
    static StandIn instance;
    return instance;
}

}  // namespace

void Reset()
{
    StandIn& s = S();
    WaitForEvents();
    Flush();
    std::lock_guard<host::PiMutex> lock(s.mutex_);
    s.registrations_.clear();
    s.packets_.clear();
    s.recording_ = false;
    s.recordBound_ = s.recordBytes_ = 0;
    s.recordOverflowed_ = false;
    s.link_ = LinkModel{};
    s.linkUp_ = false;
    s.radioFreeNs_ = 0;
    s.stats_ = PostStats{};
    for (host::Fault f : {host::Fault::RefusePost, host::Fault::LosePacket, host::Fault::SlowPost})
        host::Arm(f, 0, 0, 0);
    s.sinks_.clear();
    s.observer_ = nullptr;
    s.freeOnPost_ = false;
    s.answers_.clear();
}

std::vector<Registration> Registrations()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().registrations_;
}

void KeepPackets(size_t maxAudioBytes)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().recording_ = maxAudioBytes > 0;
    S().recordBound_ = maxAudioBytes;
}

bool RecordOverflowed()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().recordOverflowed_;
}

std::vector<Packet> Packets()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().packets_;
}

void ClearPackets()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().packets_.clear();
    S().recordBytes_ = 0;
    S().recordOverflowed_ = false;
}

std::vector<uint8_t> ReceivedAudio()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    std::vector<uint8_t> out;
    for (const Packet& p : S().packets_)
        if (!p.refused)
            out.insert(out.end(), p.audio.begin(), p.audio.end());
    return out;
}

void RefusePosts(unsigned count)
{
    host::FailNext(host::Fault::RefusePost, count);
}

void ModelLink(const LinkModel& model)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().link_ = model;
    if (S().link_.radioBytesPerSecond == 0)
        S().link_.radioBytesPerSecond = 1;
}

void SetLink(bool up)
{
    {
        std::lock_guard<host::PiMutex> lock(S().mutex_);
        S().linkUp_ = up;
    }
    RaiseEvent(up ? BT_EVENT_LINK_UP : BT_EVENT_LINK_DOWN);
}

bool LinkIsUp()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().linkUp_;
}

PostStats Stats()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().stats_;
}

void AddSink(PacketSink sink)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().sinks_.push_back(std::move(sink));
}

void FreeOnPost(bool atOnce)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().freeOnPost_ = atOnce;
}

void SetPostObserver(std::function<void(const PostInfo&)> fn)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().observer_ = std::move(fn);
}

void WaitInFlightAtMost(size_t count)
{
    StandIn& s = S();
    std::unique_lock<host::PiMutex> lock(s.mutex_);
    ++s.drainWaiters_;
    s.WakePacketThread();
    s.cv_.wait(lock, [&] { return s.inFlight_ <= count; });
    --s.drainWaiters_;
}

void Flush()
{
    WaitInFlightAtMost(0);
}

size_t PacketsInFlight()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().inFlight_;
}

void RaiseEvent(uint32_t code)
{
    StandIn& s = S();
    {
        std::lock_guard<host::PiMutex> lock(s.mutex_);
        s.events_.push_back(code);
        ++s.eventsBusy_;
    }
    s.eventCv_.notify_all();
}

void WaitForEvents()
{
    StandIn& s = S();
    std::unique_lock<host::PiMutex> lock(s.mutex_);
    s.eventCv_.wait(lock, [&] { return s.eventsBusy_ == 0; });
}

std::vector<uint32_t> EventAnswers()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().answers_;
}

}  // namespace btstandin

using btstandin::S;

extern "C" {

// Called from the driver's Init (the device manager's or a test's thread),
// under no lock of the driver's that the event thread needs.
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback)
{
    auto& s = S();
    std::lock_guard<host::PiMutex> lock(s.mutex_);
    HANDLE h = reinterpret_cast<HANDLE>(s.nextHandle_++);
    s.registrations_.push_back({pContext, pfnCallback, h});
    return h;
}

// Called on the driver's timer thread, in its tick, with the driver's stream
// lock held.  It must neither block on anything the driver's lock holds up
// nor call back into the driver: it raises no link event and sends no wave
// message.  It returns promptly: on the real clock it waits for nobody (a
// slow-post fault sleeps its amount), and on the virtual clock a slow post
// costs its amount of virtual time and a post waits for room only once
// kMaxPacketsInFlight packets wait for the sinks.  It allocates only for the
// record and when the hand-off queue grows; the sinks run later, on the
// packet thread.
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength)
{
    auto& s = S();
    const uint64_t partBegin = host::TickPartBegin(host::TickPart::Post);
    const DWORD answer = btstandin::Post(s, hAudio, pPacket, dwLength);
    host::TickPartEnd(host::TickPart::Post, partBegin);
    return answer;
}

}  // extern "C"

namespace btstandin {
namespace {

DWORD Post(StandIn& s, HANDLE hAudio, LPVOID pPacket, DWORD dwLength)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t nowNs = host::ClockNowNs();
    PacketView view{hAudio, nullptr, 0, static_cast<uint64_t>(now.QuadPart), nowNs, nowNs};
    uint32_t dataLen = 0;
    if (pPacket && dwLength >= offsetof(BT_AUDIO_PACKET, abData)) {
        dataLen = host::RecReadU32(host::RecField(pPacket, offsetof(BT_AUDIO_PACKET, dwDataLen)));
        // Only the bytes that the length covers are audio: N + the overhead.
        uint32_t n = dwLength >= BT_AUDIO_PACKET_OVERHEAD ? dwLength - BT_AUDIO_PACKET_OVERHEAD : 0;
        view.size = dataLen < n ? dataLen : n;
        view.audio = host::RecField(pPacket, offsetof(BT_AUDIO_PACKET, abData));
    }
    // The faults are decided before the stand-in's lock: the table's own
    // lock is a leaf, and a slow post sleeps with no lock of the stand-in held.
    const bool faults = host::AnyFaultArmed();
    int64_t slowMs = 0;
    const bool slow = faults && host::ShouldFail(host::Fault::SlowPost, &slowMs) && slowMs > 0;
    const bool refuseFault = faults && host::ShouldFail(host::Fault::RefusePost);
    const bool virtualClock = host::VirtualClockInUse();
    if (slow && virtualClock)
        host::SpendVirtualNs(static_cast<uint64_t>(slowMs) * 1000000u);
    else if (slow)
        std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));

    std::unique_lock<host::PiMutex> lock(s.mutex_);
    PostStats& st = s.stats_;
    ++st.posts;
    if (slow) {
        ++st.slow;
        st.slowMs += static_cast<uint64_t>(slowMs);
    }
    bool refused = true;
    bool lose = false;
    if (refuseFault) {
        ++st.refusedFault;
        st.refusedFaultBytes += view.size;
    } else if (s.link_.modelled && !s.linkUp_) {
        ++st.refusedLinkDown;
        st.refusedLinkDownBytes += view.size;
    } else {
        refused = false;
        if (s.link_.modelled) {
            // The radio sends the queue in order at its throughput; what is
            // still queued now is what it has not had the time to send.
            const uint64_t rate = s.link_.radioBytesPerSecond;
            const uint64_t backlogNs = s.radioFreeNs_ > nowNs ? s.radioFreeNs_ - nowNs : 0;
            const uint64_t queued = (backlogNs * rate + 999999999u) / 1000000000u;
            if (queued + view.size > s.link_.queueBytes) {
                refused = true;
                ++st.refusedQueueFull;
                st.refusedQueueFullBytes += view.size;
            } else {
                const uint64_t start = s.radioFreeNs_ > nowNs ? s.radioFreeNs_ : nowNs;
                s.radioFreeNs_ = start + (static_cast<uint64_t>(view.size) * 1000000000u + rate - 1) / rate;
                view.arrivalNs = s.radioFreeNs_;
                const uint64_t after = queued + view.size;
                if (after > st.peakQueueBytes)
                    st.peakQueueBytes = static_cast<uint32_t>(after);
            }
        }
        if (!refused) {
            lose = faults && host::ShouldFail(host::Fault::LosePacket);
            if (lose) {
                ++st.lost;
                st.lostBytes += view.size;
            } else {
                ++st.carried;
                st.carriedBytes += view.size;
            }
        }
    }
    if (s.recording_) {
        Packet p{hAudio, pPacket, dwLength, dataLen, {}, view.counter, refused};
        if (s.recordBytes_ + view.size <= s.recordBound_) {
            p.audio.assign(view.audio, view.audio + view.size);
            s.recordBytes_ += view.size;
        } else {
            s.recordOverflowed_ = true;
        }
        s.packets_.push_back(std::move(p));
    }
    if (s.observer_)
        s.observer_(PostInfo{view.counter, view.size, refused, nowNs});
    if (refused)
        return LMR_POST_REFUSED;
    if (s.freeOnPost_ || lose) {
        lock.unlock();
        host::DriverHeapFree(pPacket);
        return 0;
    }
    if (virtualClock && s.inFlight_ >= kMaxPacketsInFlight) {
        ++s.drainWaiters_;
        s.WakePacketThread();
        s.cv_.wait(lock, [&] { return s.inFlight_ < kMaxPacketsInFlight || s.quit_; });
        --s.drainWaiters_;
    }
    const uint64_t wallNs = MonotonicNs();
    s.toDeliver_.push_back({pPacket, view, wallNs});
    ++s.inFlight_;
    st.peakInFlight = std::max<uint64_t>(st.peakInFlight, s.inFlight_);
    bool wake = false;
    if (s.packetThreadAsleep_) {
        wake = s.toDeliver_.size() >= kWakeBatch || wallNs - s.lastWakeNs_ >= kWakeAfterNs;
        if (wake)
            s.lastWakeNs_ = wallNs;
    }
    lock.unlock();
    if (wake)
        s.WakePacketThread();
    return 0;
}

}  // namespace
}  // namespace btstandin
