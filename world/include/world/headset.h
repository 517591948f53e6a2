// The headset: a receiver with a jitter buffer and a clock of its own.
//
// Packets arrive at the times the radio delivers them.  The headset keeps
// their audio in a buffer of bounded size, starts playing once the buffer
// holds the start threshold, and then plays 44,100 frames per second of its
// own clock, which runs `ppm` parts per million fast (positive) or slow
// against the clock the device's world runs on.  When the buffer runs dry the
// listener hears a gap, and the headset waits for the threshold again before
// it plays on; audio that arrives while the buffer is full is dropped.
//
// Everything is computed from the arrival times: no thread, no timer, so a
// run on the virtual clock gives the same figures every time.  One thread at
// a time calls it (the stand-in's packet thread, then the player at the end).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace player {

struct HeadsetConfig {
    uint32_t capacityFrames = 11025;       // buffer size (250 ms)
    uint32_t startFrames = 4410;           // start threshold (100 ms)
    double ppm = 0;                        // its clock against the device's world
    // After an underrun the buffer holds more than its target (the start
    // threshold) once the late packets come: with catchUpPpm > 0 the
    // headset plays that much faster while the level is more than
    // catchUpMarginFrames above the target, until it is back at it (0: it
    // keeps the extra latency).
    double catchUpPpm = 0;
    uint32_t catchUpMarginFrames = 882;    // 20 ms
};

struct HeadsetGap {
    double at;           // seconds since the first write when the buffer ran dry
    double heardAt;      // seconds into what the listener heard (the heard file)
    double seconds;      // how long the silence lasted
};

struct HeadsetOverflow {
    double at;           // seconds since the first write
    uint64_t bytes;      // audio dropped
};

// The buffer's level over a stretch of time (a bucket): it falls while the
// headset plays and rises as packets arrive, so the lowest is just before a
// packet (or 0 once it ran dry) and the highest just after one.
struct HeadsetLevel {
    double t;            // seconds since the first write: the bucket's first packet (or the buffer running dry)
    uint32_t frames;     // frames in the buffer after the bucket's last packet arrived
    uint32_t low = 0;    // the lowest level in the bucket
    uint32_t high = 0;   // the highest
};

struct HeadsetResult {
    bool started = false;          // played at all
    double startLatency = 0;       // first write to first sound, seconds
    uint64_t receivedBytes = 0;    // audio that arrived
    uint64_t playedFrames = 0;     // audio the listener heard
    uint64_t silentFrames = 0;     // silence the listener heard inside the sound (gaps)
    uint64_t droppedBytes = 0;     // dropped by overflows
    uint64_t concealedFrames = 0;  // silence played for lost packets (counted in playedFrames)
    std::vector<HeadsetGap> gaps;
    std::vector<HeadsetOverflow> overflows;
    std::vector<HeadsetLevel> levels;   // buckets of at least 10 ms, at most kMaxLevels of them (the
                                        // buckets double, two merged into one, as a run grows)
    uint32_t minLevelFrames = 0;   // lowest level while playing, just before a packet arrived
                                   // (the buffer is lowest then), and the highest, just after one
    uint32_t maxLevelFrames = 0;
    double sinkDelay = 0;          // the delay the headset reports, seconds: its buffer target (the
                                   // start threshold) and its decoder's delay, as a sink's delay report
    double meanPostToEar = 0;      // post to first frame heard, over the packets that were heard
    double maxPostToEar = 0;
    double gapSeconds() const
    {
        double s = 0;
        for (const HeadsetGap& g : gaps)
            s += g.seconds;
        return s;
    }
};

class Headset {
public:
    // `heard` receives what the listener hears, in order: audio and, for the
    // gaps, silence (16-bit stereo frames).  May be empty.
    using Heard = std::function<void(const uint8_t* data, size_t size)>;
    Headset(const HeadsetConfig& config, uint64_t originNs, Heard heard);

    // Times in the results are measured from originNs (the first write).
    void SetOrigin(uint64_t originNs) { originNs_ = originNs; }
    // A packet that the radio delivered at clock time arrivalNs, posted at postNs.
    void Receive(uint64_t postNs, uint64_t arrivalNs, const uint8_t* data, size_t size);
    // The stream has ended: what is buffered plays out (a headset that had
    // not started, or was waiting after a gap, starts at the last arrival,
    // as on the stream's suspension).
    HeadsetResult Finish();

private:
    double Seconds(uint64_t ns) const;
    uint64_t FramesDue(uint64_t ns) const;     // frames the clock has played by ns since playing began
    uint64_t NsOfFrame(uint64_t frame) const;  // clock time at which frame (since playing began) is heard
    void Advance(uint64_t ns);
    void Play(uint64_t frames);
    void Silence(uint64_t frames);
    void StartPlaying(uint64_t ns);
    void NoteLevel(uint64_t ns, uint32_t low, uint32_t high);
    void SetCatchingUp(uint64_t ns, bool on);

    HeadsetConfig config_;
    uint64_t originNs_;
    Heard heard_;
    double framesPerNs_;
    double baseFramesPerNs_;      // its own clock's rate, without catching up
    bool catchingUp_ = false;

    // The buffered audio, kept only when someone hears it: without a
    // `heard` receiver the model needs the amounts alone.
    size_t capacityBytes_;        // capacity frames
    std::vector<uint8_t> ring_;   // capacityBytes_ of audio, or empty
    size_t head_ = 0;             // first buffered byte
    size_t bytes_ = 0;            // buffered bytes (whole frames are played)
    std::vector<uint8_t> silence_;

    bool playing_ = false;
    uint64_t playStartNs_ = 0;    // when playing (re)began
    uint64_t playedSinceStart_ = 0;
    bool gapOpen_ = false;        // ran dry, waiting for the threshold
    uint64_t gapStartNs_ = 0;
    uint64_t lastLevelNs_ = 0;
    uint64_t levelEveryNs_;       // grows so that the level samples stay few
    uint64_t lastArrivalNs_ = 0;
    struct Waiting {
        uint64_t postNs;
        uint64_t frame;   // its first frame's place in the buffer when it arrived
    };
    std::vector<Waiting> waiting_;   // arrived while not playing
    bool anyLevel_ = false;
    bool overflowing_ = false;    // the last packet overflowed
    uint64_t postToEarCount_ = 0;
    double postToEarSum_ = 0;
    HeadsetResult r_;
};

}  // namespace player
