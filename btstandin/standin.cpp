// Stand-in for the Bluetooth audio library: its face to the driver
// (LMRRegCBK, LMRPostData) and its control side.  A post is checked and,
// when accepted, queued for the stand-in's packet thread (threads.cpp),
// which hands the block's audio to the sinks and frees it, as the library
// would after sending.
//
// The post returns promptly, as the library's contract has it.  On the real
// clock it never waits for the packet thread: what the sinks have not taken
// yet waits in memory, however much it is, and the stand-in reports the
// longest backlog and lag.  On the virtual clock, where a fast run posts far
// faster than the sinks take, a post waits for room once kMaxPacketsInFlight
// packets are in flight, so memory stays bounded.  That wait is for the
// packet thread, which holds no lock of the driver's (nor may a sink wait
// for a tick), and it costs no virtual time: in the time the driver sees,
// the post still returns at once.
//
// The link model, when a test or the player turns it on, decides at the post
// with no thread of its own: the send path (sendpath.h) makes media packets,
// queues them to the radio and gives their arrival times on the host's
// clock, so the virtual clock gives the same answers every run.  Faults from
// the host's fault table (refused and slow posts) are decided before the
// stand-in's lock is taken; lost packets, which the link makes, under it.
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/clock.h"
#include "host/faults.h"
#include "host/host.h"
#include "host/platform.h"
#include "host/records.h"
#include "standin_state.h"

namespace btstandin {
namespace {

// The post as the library reads it: the block's audio, and the times.
PacketView ReadPost(HANDLE hAudio, LPVOID pPacket, DWORD dwLength, uint32_t* dataLen)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t nowNs = host::ClockNowNs();
    PacketView view{hAudio, nullptr, 0, static_cast<uint64_t>(now.QuadPart), nowNs, nowNs};
    *dataLen = 0;
    if (pPacket && dwLength >= offsetof(BT_AUDIO_PACKET, abData)) {
        *dataLen = host::RecReadU32(host::RecField(pPacket, offsetof(BT_AUDIO_PACKET, dwDataLen)));
        // Only the bytes that the length covers are audio: N + the overhead.
        uint32_t n = dwLength >= BT_AUDIO_PACKET_OVERHEAD ? dwLength - BT_AUDIO_PACKET_OVERHEAD : 0;
        view.size = *dataLen < n ? *dataLen : n;
        view.audio = host::RecField(pPacket, offsetof(BT_AUDIO_PACKET, abData));
    }
    return view;
}

// Why a post was not taken.  Caller holds the stand-in's lock.
enum class Refusal { None, Fault, LinkDown, EncoderBehind, QueueFull };
Refusal Decide(StandIn& s, bool refuseFault, uint64_t nowNs, uint32_t bytes)
{
    if (refuseFault)
        return Refusal::Fault;
    if (s.modelled_ && !s.linkUp_)
        return Refusal::LinkDown;
    // Decided before the link takes the post: a refused post leaves the
    // send path as it was.
    if (s.EncoderBehind())
        return Refusal::EncoderBehind;
    if (s.modelled_ && !s.send_->Admits(nowNs, bytes))
        return Refusal::QueueFull;
    return Refusal::None;
}

void CountRefusal(PostStats& st, Refusal why, uint32_t bytes)
{
    switch (why) {
    case Refusal::Fault: ++st.refusedFault; st.refusedFaultBytes += bytes; break;
    case Refusal::LinkDown: ++st.refusedLinkDown; st.refusedLinkDownBytes += bytes; break;
    case Refusal::EncoderBehind: ++st.refusedEncoderBehind; st.refusedEncoderBehindBytes += bytes; break;
    case Refusal::QueueFull: ++st.refusedQueueFull; st.refusedQueueFullBytes += bytes; break;
    case Refusal::None: break;
    }
}

// The lose fault takes media packets the radio sent, every one of them a
// candidate (those the stream's end sends too).  Caller holds the lock.
void LoseSome(StandIn& s, bool faults, std::vector<MediaPacket>* media)
{
    for (MediaPacket& m : *media) {
        if (!m.flushed && faults && host::ShouldFail(host::Fault::LosePacket)) {
            m.lost = true;
            ++s.stats_.lost;
            s.stats_.lostFrames += m.frames;
            s.stats_.lostBytes += static_cast<uint64_t>(m.samples) * kPcmFrameBytes;
        }
    }
}

// The modelled link takes an accepted post: media packets, sent, some lost
// to the fault.  Caller holds the stand-in's lock.
void SendOverLink(StandIn& s, const PacketView& view, bool faults, std::vector<MediaPacket>* media)
{
    s.send_->Take(view.postNs, view.audio, view.size, media);
    LoseSome(s, faults, media);
}

DWORD Post(StandIn& s, HANDLE hAudio, LPVOID pPacket, DWORD dwLength)
{
    uint32_t dataLen = 0;
    const PacketView view = ReadPost(hAudio, pPacket, dwLength, &dataLen);
    const uint64_t nowNs = view.postNs;
    // The faults are decided before the stand-in's lock: a slow post sleeps
    // with no lock of the stand-in held.
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
    const Refusal why = Decide(s, refuseFault, nowNs, view.size);
    CountRefusal(st, why, view.size);
    const bool refused = why != Refusal::None;
    bool lose = false;
    std::vector<MediaPacket> media;
    if (!refused && s.modelled_) {
        if (!s.spareMedia_.empty()) {
            media.swap(s.spareMedia_.back());
            s.spareMedia_.pop_back();
        }
        SendOverLink(s, view, faults, &media);
        ++st.carried;
        st.carriedBytes += view.size;
    } else if (!refused) {
        // The perfect transport loses whole posts.
        lose = faults && host::ShouldFail(host::Fault::LosePacket);
        if (lose) {
            ++st.lost;
            st.lostBytes += view.size;
        } else {
            ++st.carried;
            st.carriedBytes += view.size;
        }
    }
    RecordPost(s, Packet{hAudio, pPacket, dwLength, dataLen, {}, view.counter, refused}, view, nowNs);
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
    // The encoder, when someone listens, runs on its own thread: the post
    // only hands the media packets on (Decide refused it if that hand-off
    // was full, and the bound above keeps the virtual clock from filling it).
    s.Admit(lock, Queued{pPacket, view, MonotonicNs(), std::move(media), nullptr});
    return 0;
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
    s.modelled_ = false;
    s.send_.reset();
    s.linkUp_ = false;
    s.stats_ = PostStats{};
    for (host::Fault f : {host::Fault::RefusePost, host::Fault::LosePacket, host::Fault::SlowPost})
        host::Arm(f, 0, 0, 0);
    s.sinks_.clear();
    s.mediaSinks_.clear();
    s.encoder_.reset();
    s.observer_ = nullptr;
    s.freeOnPost_ = false;
    s.answers_.clear();
    s.spareMedia_.clear();
}

std::vector<Registration> Registrations()
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    return S().registrations_;
}

void RefusePosts(unsigned count)
{
    host::FailNext(host::Fault::RefusePost, count);
}

void ModelLink(const LinkModel& model)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().modelled_ = model.modelled;
    S().send_.reset(model.modelled ? new SendPath(model.send) : nullptr);
}

void SetInterference(const Interference& interference)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    if (S().send_)
        S().send_->SetInterference(interference);
}

void EndStream()
{
    StandIn& s = S();
    std::unique_lock<host::PiMutex> lock(s.mutex_);
    if (!s.send_)
        return;
    Queued q{nullptr, PacketView{}, MonotonicNs(), {}, nullptr};
    // The posts stopped at the last one: the library sends then, not when
    // the caller gets round to saying so.
    s.send_->SendHeld(s.send_->LastPostNs(), &q.media);
    if (q.media.empty())
        return;
    LoseSome(s, host::AnyFaultArmed(), &q.media);
    // Unlike a post, the stream's end may wait for room behind the encoder.
    if (s.EncoderBehind()) {
        ++s.drainWaiters_;
        s.cv_.wait(lock, [&] { return !s.EncoderBehind() || s.quit_; });
        --s.drainWaiters_;
    }
    s.Admit(lock, std::move(q));
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
    PostStats st = S().stats_;
    if (S().send_)
        st.send = S().send_->Stats();
    return st;
}

void AddSink(PacketSink sink)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().sinks_.push_back(std::move(sink));
}

void AddMediaSink(MediaSink sink)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().mediaSinks_.push_back(std::move(sink));
}

void SetEncoder(std::shared_ptr<PacketEncoder> encoder)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().encoder_ = std::move(encoder);
}

void FreeOnPost(bool atOnce)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().freeOnPost_ = atOnce;
}

void Flush()
{
    StandIn& s = S();
    std::unique_lock<host::PiMutex> lock(s.mutex_);
    ++s.drainWaiters_;
    s.WakePacketThread();
    s.cv_.wait(lock, [&] { return s.inFlight_ == 0; });
    --s.drainWaiters_;
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

extern "C" {

// Called from the driver's Init (the device manager's or a test's thread),
// under no lock of the driver's that the event thread needs.
HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback)
{
    auto& s = btstandin::S();
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
// record, the media packets' samples (when someone listens), a media list
// until the packet thread has given enough back, and when the hand-off queue
// grows; the encoder (when someone listens) runs later on the stand-in's
// encoder thread, and the sinks after it on the packet thread.
DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength)
{
    const uint64_t partBegin = host::TickPartBegin(host::TickPart::Post);
    const DWORD answer = btstandin::Post(btstandin::S(), hAudio, pPacket, dwLength);
    host::TickPartEnd(host::TickPart::Post, partBegin);
    return answer;
}

}  // extern "C"
