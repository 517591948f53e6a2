#include "world/quality.h"

#include "input/audio.h"

#include <algorithm>
#include <cmath>

namespace player {
namespace {

const uint32_t kSecondFrames = kDeviceRate;
// A second quieter than -60 dBFS has no signal to measure against.
const double kSilentMeanSquare = 32768.0 * 32768.0 * 1e-6;
// An error-free second counts as this, so that means stay finite.
const double kCeilingDb = 150;

}  // namespace

HeardQuality::HeardQuality(uint32_t delayFrames) : delayLine_(static_cast<size_t>(delayFrames) * 2, 0)
{
    r_.delayFrames = delayFrames;
}

void HeardQuality::Add(const int16_t* reference, const int16_t* heard, size_t frames)
{
    r_.measured = true;
    for (size_t i = 0; i < frames * 2; ++i) {
        double ref = reference[i];
        if (!delayLine_.empty()) {
            ref = delayLine_[delayAt_];
            delayLine_[delayAt_] = reference[i];
            delayAt_ = delayAt_ + 1 == delayLine_.size() ? 0 : delayAt_ + 1;
        }
        const double err = ref - heard[i];
        signal_ += ref * ref;
        noise_ += err * err;
        if ((i & 1) == 1 && ++frames_ == kSecondFrames)
            CloseSecond();
    }
}

void HeardQuality::CloseSecond()
{
    if (noise_ > 0)
        anyNoise_ = true;
    if (signal_ / (2.0 * frames_) >= kSilentMeanSquare) {
        const double db = noise_ > 0 ? std::min(10 * std::log10(signal_ / noise_), kCeilingDb) : kCeilingDb;
        if (r_.perSecond.empty() || db < r_.worstDb) {
            r_.worstDb = db;
            r_.worstAt = static_cast<double>(seconds_);
        }
        r_.perSecond.push_back(db);
    }
    ++seconds_;
    signal_ = noise_ = 0;
    frames_ = 0;
}

QualityResult HeardQuality::Finish()
{
    if (frames_ > kSecondFrames / 10)
        CloseSecond();   // a last part second of at least 100 ms counts
    double sum = 0;
    for (double d : r_.perSecond)
        sum += d;
    r_.segmentalDb = r_.perSecond.empty() ? 0 : sum / static_cast<double>(r_.perSecond.size());
    r_.exact = r_.measured && !anyNoise_ && noise_ == 0;
    return r_;
}

}  // namespace player
