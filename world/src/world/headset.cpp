#include "world/headset.h"

#include "world/device.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace player {
namespace {

const uint64_t kFrameBytes = 4;
const double kRate = kDeviceRate;
const uint64_t kLevelEveryNs = 10000000;   // one level sample per 10 ms at most
const size_t kMaxLevels = 8192;            // then one per 20 ms, 40 ms, ...

}  // namespace

Headset::Headset(const HeadsetConfig& config, uint64_t originNs, Heard heard)
    : config_(config), originNs_(originNs), heard_(std::move(heard))
{
    config_.capacityFrames = std::max<uint32_t>(config_.capacityFrames, 1);
    config_.startFrames = std::min(std::max<uint32_t>(config_.startFrames, 1), config_.capacityFrames);
    framesPerNs_ = baseFramesPerNs_ = kRate * (1.0 + config_.ppm / 1e6) / 1e9;
    capacityBytes_ = static_cast<size_t>(config_.capacityFrames) * kFrameBytes;
    if (heard_)
        ring_.resize(capacityBytes_);
    levelEveryNs_ = kLevelEveryNs;
    silence_.assign(4096, 0);
    r_.minLevelFrames = config_.capacityFrames;
}

double Headset::Seconds(uint64_t ns) const
{
    return (static_cast<double>(ns) - static_cast<double>(originNs_)) / 1e9;
}

uint64_t Headset::FramesDue(uint64_t ns) const
{
    if (ns <= playStartNs_)
        return 0;
    return static_cast<uint64_t>(std::floor(static_cast<double>(ns - playStartNs_) * framesPerNs_));
}

uint64_t Headset::NsOfFrame(uint64_t frame) const
{
    return playStartNs_ + static_cast<uint64_t>(std::ceil(static_cast<double>(frame) / framesPerNs_));
}

void Headset::Play(uint64_t frames)
{
    size_t n = static_cast<size_t>(frames * kFrameBytes);
    if (heard_) {
        size_t first = std::min(n, capacityBytes_ - head_);
        if (first)
            heard_(ring_.data() + head_, first);
        if (n > first)
            heard_(ring_.data(), n - first);
    }
    head_ = (head_ + n) % capacityBytes_;
    bytes_ -= n;
    playedSinceStart_ += frames;
    r_.playedFrames += frames;
}

void Headset::Silence(uint64_t frames)
{
    r_.silentFrames += frames;
    if (!heard_)
        return;
    uint64_t left = frames * kFrameBytes;
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, silence_.size()));
        heard_(silence_.data(), n);
        left -= n;
    }
}

// Plays what the headset's clock has played by ns; notes when the buffer ran dry.
void Headset::Advance(uint64_t ns)
{
    if (!playing_)
        return;
    uint64_t need = FramesDue(ns) - playedSinceStart_;
    uint64_t have = bytes_ / kFrameBytes;
    if (need <= have) {
        Play(need);
        return;
    }
    Play(have);
    playing_ = false;
    gapOpen_ = true;
    gapStartNs_ = NsOfFrame(playedSinceStart_);
    NoteLevel(gapStartNs_, 0, 0);   // the level reaches 0 here, not at the next packet
}

void Headset::StartPlaying(uint64_t ns)
{
    if (gapOpen_) {
        gapOpen_ = false;
        double heardAt = static_cast<double>(r_.playedFrames + r_.silentFrames) / kRate;
        uint64_t frames = static_cast<uint64_t>(std::llround(static_cast<double>(ns - gapStartNs_) * framesPerNs_));
        r_.gaps.push_back({Seconds(gapStartNs_), heardAt, static_cast<double>(ns - gapStartNs_) / 1e9});
        Silence(frames);
    }
    if (!r_.started) {
        r_.started = true;
        r_.startLatency = Seconds(ns);
    }
    playing_ = true;
    catchingUp_ = false;
    framesPerNs_ = baseFramesPerNs_;
    playStartNs_ = ns;
    playedSinceStart_ = 0;
    for (const Waiting& w : waiting_) {
        double d = (static_cast<double>(NsOfFrame(w.frame)) - static_cast<double>(w.postNs)) / 1e9;
        postToEarSum_ += d;
        ++postToEarCount_;
        r_.maxPostToEar = std::max(r_.maxPostToEar, d);
    }
    waiting_.clear();
}

// Changes the playing rate at ns (the clock's count starts again there, the
// frames played so far behind it).
void Headset::SetCatchingUp(uint64_t ns, bool on)
{
    if (on == catchingUp_ || !playing_)
        return;
    catchingUp_ = on;
    framesPerNs_ = baseFramesPerNs_ * (on ? 1.0 + config_.catchUpPpm / 1e6 : 1.0);
    playStartNs_ = ns;
    playedSinceStart_ = 0;
}

void Headset::NoteLevel(uint64_t ns, uint32_t low, uint32_t high)
{
    const uint32_t after = static_cast<uint32_t>(bytes_ / kFrameBytes);
    if (anyLevel_ && ns >= lastLevelNs_ && ns - lastLevelNs_ < levelEveryNs_) {
        HeadsetLevel& b = r_.levels.back();
        b.frames = after;
        b.low = std::min(b.low, low);
        b.high = std::max(b.high, high);
        return;
    }
    anyLevel_ = true;
    lastLevelNs_ = ns;
    r_.levels.push_back({Seconds(ns), after, low, high});
    if (r_.levels.size() < kMaxLevels)
        return;
    // A long run: buckets twice as long, two merged into one, so the record
    // stays the same size whatever the length.
    for (size_t i = 0; 2 * i < r_.levels.size(); ++i) {
        HeadsetLevel b = r_.levels[2 * i];
        if (2 * i + 1 < r_.levels.size()) {
            const HeadsetLevel& n = r_.levels[2 * i + 1];
            b.frames = n.frames;
            b.low = std::min(b.low, n.low);
            b.high = std::max(b.high, n.high);
        }
        r_.levels[i] = b;
    }
    r_.levels.resize((r_.levels.size() + 1) / 2);
    levelEveryNs_ *= 2;
}

void Headset::Receive(uint64_t postNs, uint64_t arrivalNs, const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    arrivalNs = std::max(arrivalNs, lastArrivalNs_);
    lastArrivalNs_ = arrivalNs;
    Advance(arrivalNs);
    const uint32_t before = static_cast<uint32_t>(bytes_ / kFrameBytes);
    if (playing_)
        r_.minLevelFrames = std::min(r_.minLevelFrames, before);
    r_.receivedBytes += size;

    // What does not fit is dropped, in whole frames, from the packet's end.
    size_t room = capacityBytes_ - bytes_;
    size_t take = size;
    if (take > room) {
        size_t dropped = (size - room + kFrameBytes - 1) / kFrameBytes * kFrameBytes;
        take = dropped >= size ? 0 : size - dropped;
        r_.droppedBytes += size - take;
        // Packets that overflow one after another are one overflow.
        if (overflowing_)
            r_.overflows.back().bytes += size - take;
        else
            r_.overflows.push_back({Seconds(arrivalNs), size - take});
        overflowing_ = true;
    } else {
        overflowing_ = false;
    }
    if (take > 0) {
        uint64_t firstFrame = bytes_ / kFrameBytes;
        if (playing_) {
            double d = (static_cast<double>(NsOfFrame(playedSinceStart_ + firstFrame)) - static_cast<double>(postNs)) / 1e9;
            postToEarSum_ += d;
            ++postToEarCount_;
            r_.maxPostToEar = std::max(r_.maxPostToEar, d);
        } else {
            waiting_.push_back({postNs, firstFrame});
        }
        if (!ring_.empty()) {
            size_t tail = (head_ + bytes_) % capacityBytes_;
            size_t first = std::min(take, capacityBytes_ - tail);
            std::memcpy(ring_.data() + tail, data, first);
            if (take > first)
                std::memcpy(ring_.data(), data + first, take - first);
        }
        bytes_ += take;
    }
    if (!playing_ && bytes_ / kFrameBytes >= config_.startFrames)
        StartPlaying(arrivalNs);
    if (config_.catchUpPpm > 0) {
        const uint64_t level = bytes_ / kFrameBytes;
        if (level > static_cast<uint64_t>(config_.startFrames) + config_.catchUpMarginFrames)
            SetCatchingUp(arrivalNs, true);
        else if (level <= config_.startFrames)
            SetCatchingUp(arrivalNs, false);
    }
    if (playing_)
        r_.maxLevelFrames = std::max(r_.maxLevelFrames, static_cast<uint32_t>(bytes_ / kFrameBytes));
    NoteLevel(arrivalNs, before, static_cast<uint32_t>(bytes_ / kFrameBytes));
}

HeadsetResult Headset::Finish()
{
    if (!playing_ && bytes_ >= kFrameBytes)
        StartPlaying(lastArrivalNs_);
    if (playing_)
        Play(bytes_ / kFrameBytes);
    if (!waiting_.empty())
        waiting_.clear();
    r_.meanPostToEar = postToEarCount_ ? postToEarSum_ / static_cast<double>(postToEarCount_) : 0;
    if (r_.minLevelFrames > r_.maxLevelFrames)
        r_.minLevelFrames = r_.maxLevelFrames;
    return r_;
}

}  // namespace player
