// The heard audio's quality against what the library was given: a
// segmental signal-to-noise ratio, one segment a second, over the decoded
// stream in packet order (the headset's gaps are timing, reported apart).
// The decoder's output lags its input by the codec's delay; the reference is
// delayed by as much before they are compared.  Lost packets count as the
// silence the headset plays for them.  No thread of its own; one thread at a
// time (the listener's, under its mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace player {

struct QualityResult {
    bool measured = false;          // something was compared
    bool exact = false;             // every compared sample was equal (no noise at all)
    uint32_t delayFrames = 0;       // the codec's delay, audio frames
    std::vector<double> perSecond;  // SNR of each second with sound, dB (silent seconds: not counted)
    double segmentalDb = 0;         // their mean
    double worstDb = 0;             // the lowest
    double worstAt = 0;             // where it starts, seconds into the stream
    double gapSeconds = 0;          // silence the listener heard in gaps (the headset ran dry)
    double withGapsDb = 0;          // the mean with each second of gap counted as a second at 0 dB
};

// Counts the gaps into the figure: a second of silence where the stream had
// sound is a second whose noise equals its signal, 0 dB, so the figure with
// gaps is the mean over the measured seconds and the gaps' seconds together.
void CountGaps(QualityResult* q, double gapSeconds);

class HeardQuality {
public:
    explicit HeardQuality(uint32_t delayFrames);
    // `frames` audio frames (16-bit stereo): what the library was given and
    // what the listener hears for it.
    void Add(const int16_t* reference, const int16_t* heard, size_t frames);
    QualityResult Finish();

private:
    void CloseSecond();

    std::vector<int16_t> delayLine_;  // the reference's last delay x 2 samples, oldest first
    std::vector<int16_t> delayed_;    // scratch: the delayed reference of one call
    uint64_t signal_ = 0, noise_ = 0; // energies of the second being summed (exact integer sums)
    uint32_t frames_ = 0;             // frames in it
    uint64_t seconds_ = 0;            // seconds closed
    bool anyNoise_ = false;
    QualityResult r_;
};

}  // namespace player
