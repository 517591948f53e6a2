// Audio in, as a stream: a file decoded in chunks with libsndfile, or the
// built-in sound generated in chunks, turned into the device's format
// (16-bit stereo at 44,100 Hz) as it is read.  Rate, channel layout, sample
// format and dither are all libswresample's work; a source that already is in
// the device's format passes untouched.  Nothing here holds more than one
// chunk of audio, whatever the length of the sound.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/config.h"
#include "world/device.h"

namespace player {


// Rates the player converts from.
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 768000;

// How samples come out of a decoder.
enum class SampleType { Int16, Int32, Float, Double };

// What a source holds, before any conversion.
struct SourceInfo {
    std::string origin;            // file name, or "built-in sound"
    std::string format;            // container and encoding as libsndfile names them
    uint32_t rate = 0;             // frames per second
    uint32_t channels = 0;         // samples per frame
    uint16_t formatTag = 1;        // the wave format tag an application would offer (1 PCM, 3 float, 6 A-law, 7 mu-law)
    uint16_t bits = 16;            // bits per sample as stored (what the format query carries)
    SampleType type = SampleType::Int16;   // how the decoder hands samples over, without loss
    int64_t frames = -1;           // frames the source says it holds; -1 when unknown
    bool framesEstimated = false;  // `frames` is the decoder's estimate (MP3), not a count
    bool compressed = false;       // decoding costs real work (FLAC, Vorbis, Opus, MP3, ...)
    std::vector<std::string> notes;   // what decoding found (a truncated file, ...)

    // "16-bit PCM", "32-bit float", "8-bit mu-law"...
    std::string SampleDescription() const;
};

// The length of the audio the headset will receive, when the source knows
// it beforehand (not an estimate); else -1.
int64_t ExpectedBytes(const SourceInfo& in, uint32_t loops);

// A source of frames at its own rate and channel count.
class Decoder {
public:
    virtual ~Decoder() = default;
    const SourceInfo& Info() const { return info_; }
    // Reads up to `frames` frames into `out` (interleaved, of Info().type).
    // Returns the frames read; 0 at the end or on an error (see Error()).
    virtual size_t Read(void* out, size_t frames) = 0;
    // Empty unless decoding failed.
    const std::string& Error() const { return error_; }

protected:
    SourceInfo info_;
    std::string error_;
};

// What opening a pipe waits on.  `stopped` is asked between waits of at most
// 100 ms (a stop signal); `waiting` is called once when nothing has come in
// the first of them (a FIFO with no writer yet).  Either may be empty.
struct InputWait {
    std::function<bool()> stopped;
    std::function<void()> waiting;
};

// Opens a file, once.  A regular file is decoded where it is; a pipe, a FIFO
// or a device is read once, to its end, into an unnamed temporary file
// (libsndfile's readers seek, and a stream cannot be read again), which is
// then decoded.  Null with a message that names the file when it is missing,
// unreadable, of a format libsndfile does not know, or has no usable rate or
// channel count; with *error "interrupted" when `wait.stopped` said so.
std::unique_ptr<Decoder> OpenAudioFile(const std::string& path, std::string* error, const InputWait& wait = {});

// The built-in sound: stereo at 44,100 Hz, a 440 Hz tone on the left and a
// 660 Hz tone on the right, faded in and out over 10 ms, `frames` long
// (three seconds unless asked otherwise).  The same samples every time.
constexpr uint64_t kBuiltInFrames = 3 * kDeviceRate;
std::unique_ptr<Decoder> BuiltInSound(uint64_t frames = kBuiltInFrames);

// Whether the device's format needs a conversion from this source, and
// whether one is possible; *why says why not.
bool NeedsConversion(const SourceInfo& in);
bool CanConvert(const SourceInfo& in, std::string* why);

// Bytes of the device's format, read in order.
class SoundSource {
public:
    virtual ~SoundSource() = default;
    // Fills up to `max` bytes (whole frames) of 16-bit stereo 44,100 Hz
    // little-endian PCM.  Returns the bytes; 0 at the end.  After the end,
    // Error() says whether it ended by a failure.
    virtual size_t Read(uint8_t* out, size_t max) = 0;
    virtual const std::string& Error() const = 0;
};

// The device's stream from a decoder, converted by libswresample when
// NeedsConversion says so: mono is copied to both sides at full level; more
// channels are downmixed (5.1 keeps centre, LFE and surrounds in the mix);
// the rate goes through libswresample's resampler; deeper or float samples
// are reduced to 16 bits with triangular dither.
class DeviceStream : public SoundSource {
public:
    DeviceStream();
    ~DeviceStream() override;
    DeviceStream(const DeviceStream&) = delete;
    DeviceStream& operator=(const DeviceStream&) = delete;

    // Takes the decoder.  False with *error when a needed conversion cannot
    // be set up.  *note describes what the conversion does ("" when none).
    bool Open(std::unique_ptr<Decoder> decoder, std::string* note, std::string* error);
    // Takes the decoder and hands its frames on as they are decoded (the
    // wave mapper converts them): Read fills whole frames of the decoder's
    // samples, and *note says what the mapper is to do.
    void OpenAsDecoded(std::unique_ptr<Decoder> decoder, std::string* note);
    // Bytes of one frame as Read hands it on, and of one second.
    uint32_t FrameBytes() const { return frameBytes_; }
    double BytesPerSecond() const;
    const SourceInfo& Info() const;
    size_t Read(uint8_t* out, size_t max) override;
    const std::string& Error() const override { return error_; }
    // Frames the device will get, when known beforehand (-1 otherwise).
    int64_t ExpectedFrames() const;

private:
    bool Refill();
    struct Converter;
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<Converter> converter_;
    uint32_t frameBytes_ = kDeviceFrameBytes;   // of the bytes Read hands on
    std::vector<uint8_t> in_;     // one chunk as decoded
    std::vector<uint8_t> out_;    // converted bytes, [outAt_, outSize_) not yet read
    size_t outAt_ = 0;
    size_t outSize_ = 0;
    bool ended_ = false;
    std::string error_;
};

}  // namespace player
