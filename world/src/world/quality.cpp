#include "world/quality.h"

#include "world/device.h"

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
    const size_t n = frames * 2;
    const int16_t* ref = reference;
    if (!delayLine_.empty()) {
        // The delayed reference: the line's samples, then this call's; the
        // line keeps the last of them for the next call.
        const size_t d = delayLine_.size();
        delayed_.resize(d + n);
        std::copy(delayLine_.begin(), delayLine_.end(), delayed_.begin());
        std::copy(reference, reference + n, delayed_.begin() + static_cast<std::ptrdiff_t>(d));
        std::copy(delayed_.begin() + static_cast<std::ptrdiff_t>(n), delayed_.end(), delayLine_.begin());
        ref = delayed_.data();
    }
    // A stretch at a time up to the second's end, summed in integers: the
    // sums are exact (a second's energies stay far below 2^63) and the loop
    // carries no dependency through floating point.
    for (size_t i = 0; i < n;) {
        const size_t take = std::min(n - i, static_cast<size_t>(kSecondFrames - frames_) * 2);
        uint64_t signal = 0, noise = 0;
        for (size_t k = i; k < i + take; ++k) {
            const int32_t r = ref[k];
            const int32_t e = r - heard[k];
            signal += static_cast<uint32_t>(r * r);
            noise += static_cast<uint64_t>(static_cast<int64_t>(e) * e);
        }
        signal_ += signal;
        noise_ += noise;
        frames_ += static_cast<uint32_t>(take / 2);
        i += take;
        if (frames_ == kSecondFrames)
            CloseSecond();
    }
}

void HeardQuality::CloseSecond()
{
    if (noise_ > 0)
        anyNoise_ = true;
    const double signal = static_cast<double>(signal_), noise = static_cast<double>(noise_);
    if (signal / (2.0 * frames_) >= kSilentMeanSquare) {
        const double db = noise_ > 0 ? std::min(10 * std::log10(signal / noise), kCeilingDb) : kCeilingDb;
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

void CountGaps(QualityResult* q, double gapSeconds)
{
    q->gapSeconds = gapSeconds;
    const double seconds = static_cast<double>(q->perSecond.size()) + gapSeconds;
    q->withGapsDb = seconds > 0 ? q->segmentalDb * static_cast<double>(q->perSecond.size()) / seconds : 0;
}

}  // namespace player
