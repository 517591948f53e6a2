// Audio in: files decoded with libsndfile, the built-in test sound, and the
// conversion to the device's format (16-bit stereo at 44,100 Hz).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace player {

constexpr uint32_t kDeviceRate = 44100;
constexpr uint32_t kDeviceChannels = 2;
constexpr uint32_t kDeviceFrameBytes = 4;
constexpr double kDeviceBytesPerSecond = kDeviceRate * kDeviceFrameBytes;

// Decoded audio at its own rate and channel count, 16-bit samples.
struct DecodedAudio {
    std::string origin;                  // file name, or "built-in sound"
    std::string format;                  // container and encoding as libsndfile names them
    uint32_t rate = 0;                   // frames per second
    uint32_t channels = 0;               // samples per frame
    std::vector<int16_t> samples;        // interleaved
    std::vector<std::string> notes;      // what decoding did (e.g. depth reduced to 16 bits)

    uint64_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// Reads a whole file.  False with a message that names the file when it is
// missing, unreadable, of a format libsndfile does not know, or empty.
bool LoadAudioFile(const std::string& path, DecodedAudio* out, std::string* error);

// The built-in sound: three seconds of stereo at 44,100 Hz, a 440 Hz tone on
// the left and a 660 Hz tone on the right, faded in and out.  Computed the
// same way every time.
DecodedAudio BuiltInSound();

// Whether ConvertToDevice can convert this audio; *why says why not.
bool CanConvert(const DecodedAudio& in, std::string* why);

// Converts to 16-bit stereo at 44,100 Hz: mono is copied to both sides, more
// than two channels keep the first two (front left and right), and the rate
// goes through libsamplerate's best sinc converter.  *note describes what was
// done.  False with *error when the conversion fails.
bool ConvertToDevice(const DecodedAudio& in, std::vector<int16_t>* out, std::string* note,
                     std::string* error);

}  // namespace player
