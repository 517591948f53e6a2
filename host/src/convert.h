// Conversion of interleaved integer PCM between rates, channel counts and
// sample widths, for the wave mapper.  The conversion keeps its state from
// one buffer to the next, so a stream split into buffers converts as one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace host {

struct PcmFormat {
    uint32_t rate = 0;       // frames per second
    uint16_t channels = 0;   // 1 .. 8
    uint16_t bits = 0;       // 8 (unsigned), 16 or 32 (signed, or float)
    bool isFloat = false;    // 32-bit IEEE float samples

    uint32_t FrameBytes() const { return channels * bits / 8u; }
    bool operator==(const PcmFormat& o) const
    {
        return rate == o.rate && channels == o.channels && bits == o.bits && isFloat == o.isFloat;
    }
};

// True when the format is one the converter can read or write.
bool IsConvertiblePcm(const PcmFormat& f);

// Output frames are numbered from the stream's start; each is handed out
// once, by Convert or by Tail.
class SampleConverter {
public:
    virtual ~SampleConverter() = default;
    // Output bytes that converting inBytes more can produce at most.
    virtual size_t MaxOutputBytes(size_t inBytes) const = 0;
    // Converts whole input frames; returns the output bytes written (whole
    // frames).  Samples the resampler still holds come out with later input.
    // Frames that a Tail already handed out are not written again, so the
    // output continues exactly where the stream without that Tail would be.
    virtual size_t Convert(const uint8_t* in, size_t inBytes, uint8_t* out, size_t outCapacity) = 0;
    // Output bytes that Tail can produce at most.
    virtual size_t MaxTailBytes() const = 0;
    // The frames the resampler still holds, as the stream's end would give
    // them (the input that has not come yet taken as silence), without
    // ending the stream: the conversion goes on with the next Convert as if
    // no Tail had been taken.  Returns the output bytes written.
    virtual size_t Tail(uint8_t* out, size_t outCapacity) = 0;
    // Forgets every sample still held, as after a reset of the stream.
    virtual void Reset() = 0;
};

// Null when no conversion library is built in or a format is not convertible.
std::unique_ptr<SampleConverter> MakeSampleConverter(const PcmFormat& from, const PcmFormat& to);
// True when this build carries a conversion library.
bool HaveSampleConversion();

}  // namespace host
