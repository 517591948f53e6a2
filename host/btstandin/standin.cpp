// Stand-in for the Bluetooth audio library.  Registrations and posts are
// recorded synchronously; accepted packets then travel to a worker thread
// that hands them to the sinks and frees them, as the library would after
// sending.  Link events are raised from a second thread of its own.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "host/btstandin.h"
#include "host/platform.h"
#include "driver/record.h"

namespace btstandin {
namespace {

struct Pending {
    void* block;
    size_t packetIndex;   // index into the record, or SIZE_MAX when cleared
};

class StandIn {
public:
    StandIn()
    {
        packetThread_ = std::thread([this] { PacketLoop(); });
        eventThread_ = std::thread([this] { EventLoop(); });
    }
    ~StandIn()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        cv_.notify_all();
        packetThread_.join();
        eventThread_.join();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool quit_ = false;

    std::vector<Registration> registrations_;
    uintptr_t nextHandle_ = 0x4C4D5200;   // any non-zero value
    std::vector<Packet> packets_;
    unsigned refuseCount_ = 0;
    bool refuseAll_ = false;
    std::vector<Sink> sinks_;

    std::deque<std::pair<void*, Packet>> toDeliver_;
    size_t inFlight_ = 0;

    std::deque<uint32_t> events_;
    size_t eventsBusy_ = 0;
    std::vector<uint32_t> answers_;

private:
    void PacketLoop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return quit_ || !toDeliver_.empty(); });
            if (toDeliver_.empty() && quit_)
                return;
            auto item = std::move(toDeliver_.front());
            toDeliver_.pop_front();
            std::vector<Sink> sinks = sinks_;
            lock.unlock();
            for (auto& sink : sinks)
                sink(item.second);
            std::free(item.first);
            lock.lock();
            --inFlight_;
            cv_.notify_all();
        }
    }

    void EventLoop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return quit_ || !events_.empty(); });
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
            cv_.notify_all();
        }
    }

    std::thread packetThread_;
    std::thread eventThread_;
};

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
    std::lock_guard<std::mutex> lock(s.mutex_);
    s.registrations_.clear();
    s.packets_.clear();
    s.refuseCount_ = 0;
    s.refuseAll_ = false;
    s.sinks_.clear();
    s.answers_.clear();
}

std::vector<Registration> Registrations()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    return S().registrations_;
}

std::vector<Packet> Packets()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    return S().packets_;
}

void ClearPackets()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    S().packets_.clear();
}

std::vector<uint8_t> ReceivedAudio()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    std::vector<uint8_t> out;
    for (const Packet& p : S().packets_)
        if (!p.refused)
            out.insert(out.end(), p.audio.begin(), p.audio.end());
    return out;
}

void RefusePosts(unsigned count)
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    S().refuseCount_ = count;
}

void RefuseAllPosts(bool always)
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    S().refuseAll_ = always;
}

void AddSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    S().sinks_.push_back(std::move(sink));
}

void Flush()
{
    StandIn& s = S();
    std::unique_lock<std::mutex> lock(s.mutex_);
    s.cv_.wait(lock, [&] { return s.inFlight_ == 0; });
}

size_t PacketsInFlight()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    return S().inFlight_;
}

void RaiseEvent(uint32_t code)
{
    StandIn& s = S();
    {
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.events_.push_back(code);
        ++s.eventsBusy_;
    }
    s.cv_.notify_all();
}

void WaitForEvents()
{
    StandIn& s = S();
    std::unique_lock<std::mutex> lock(s.mutex_);
    s.cv_.wait(lock, [&] { return s.eventsBusy_ == 0; });
}

std::vector<uint32_t> EventAnswers()
{
    std::lock_guard<std::mutex> lock(S().mutex_);
    return S().answers_;
}

}  // namespace btstandin

using btstandin::S;

extern "C" {

HANDLE LMRRegCBK(LPVOID pContext, PFN_LMR_EVENT pfnCallback)
{
    auto& s = S();
    std::lock_guard<std::mutex> lock(s.mutex_);
    HANDLE h = reinterpret_cast<HANDLE>(s.nextHandle_++);
    s.registrations_.push_back({pContext, pfnCallback, h});
    return h;
}

DWORD LMRPostData(HANDLE hAudio, LPVOID pPacket, DWORD dwLength)
{
    auto& s = S();
    btstandin::Packet p{};
    p.handle = hAudio;
    p.address = pPacket;
    p.length = dwLength;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    p.counter = static_cast<uint64_t>(now.QuadPart);
    if (pPacket && dwLength >= 8) {
        p.dataLen = RecReadU32(static_cast<BYTE*>(pPacket) + 4);
        // Only the bytes that the length covers are audio: 12 + N.
        uint32_t n = dwLength >= 12 ? dwLength - 12 : 0;
        if (p.dataLen < n)
            n = p.dataLen;
        const BYTE* audio = static_cast<BYTE*>(pPacket) + 8;
        p.audio.assign(audio, audio + n);
    }
    std::unique_lock<std::mutex> lock(s.mutex_);
    if (s.refuseAll_ || s.refuseCount_ > 0) {
        if (s.refuseCount_ > 0)
            --s.refuseCount_;
        p.refused = true;
        s.packets_.push_back(std::move(p));
        return LMR_POST_REFUSED;
    }
    s.packets_.push_back(p);
    s.toDeliver_.emplace_back(pPacket, std::move(p));
    ++s.inFlight_;
    lock.unlock();
    s.cv_.notify_all();
    return 0;
}

}  // extern "C"
