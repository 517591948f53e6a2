// What the listener hears, played on this machine's sound system through
// ALSA's libasound.  libasound is the sound system's own client library: it
// reaches the hardware directly, and PipeWire and PulseAudio through their
// ALSA plugins, so one sink serves every desktop; a configuration file can
// point it at a file or at nothing (the null device) where there is no card.
//
// The headset hands its audio over on the stand-in's thread; a thread of the
// sink's own writes it to the device, which paces it.  At most two seconds
// wait between them: beyond that the headset's thread waits, so a fast run
// that plays out loud slows to the device's pace.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "report/outputs.h"

struct _snd_pcm;

namespace player {

class SoundOut : public Output {
public:
    SoundOut() = default;
    ~SoundOut() override;
    // Opens `device` ("default" when empty) for 16-bit stereo 44,100 Hz.  An
    // absent or busy device is an error at once, with ALSA's reason.
    bool Open(const std::string& device, std::string* error);
    // Audio bytes in order (whole frames or not).  Any one thread at a time.
    void Take(const uint8_t* data, size_t size) override;
    // Plays out what is left and closes.  False with *error when writing failed.
    bool Finish(std::string* error) override;
    const std::string& Device() const { return device_; }

private:
    void Writer();
    _snd_pcm* pcm_ = nullptr;
    std::string device_;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<uint8_t> queue_;
    bool closing_ = false;
    std::string error_;
};

}  // namespace player
