// The stand-in's test hooks: the record of every post (for tests that read
// what the driver posted) and the post observer (for the player's timeline).
// Both are fed by the poster with the stand-in's lock held.
#include <mutex>

#include "standin_state.h"

namespace btstandin {

void RecordPost(StandIn& s, const Packet& p, const PacketView& view, uint64_t nowNs)
{
    if (s.recording_) {
        Packet kept = p;
        if (s.recordBytes_ + view.size <= s.recordBound_) {
            kept.audio.assign(view.audio, view.audio + view.size);
            s.recordBytes_ += view.size;
        } else {
            s.recordOverflowed_ = true;
        }
        s.packets_.push_back(std::move(kept));
    }
    if (s.observer_)
        s.observer_(PostInfo{view.counter, view.size, p.refused, nowNs});
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

void SetPostObserver(std::function<void(const PostInfo&)> fn)
{
    std::lock_guard<host::PiMutex> lock(S().mutex_);
    S().observer_ = std::move(fn);
}

}  // namespace btstandin
