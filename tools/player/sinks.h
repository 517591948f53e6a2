// The headset: what the Bluetooth stand-in's packets turn into.  Each sink
// takes the audio bytes of one packet at a time, on the stand-in's thread,
// in arrival order.  Packets may end in the middle of a frame (the driver
// counts bytes, not frames), so every sink carries the odd bytes over.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "outfile.h"

struct sf_private_tag;
struct sbc_struct;

namespace player {

class Sink {
public:
    virtual ~Sink() = default;
    // One packet's audio bytes.  Called on the stand-in's thread.
    virtual void Take(const uint8_t* data, size_t size) = 0;
    // After the last packet: writes what is left and closes.  False with
    // *error on any write failure during the run.
    virtual bool Finish(std::string* error) = 0;
};

// 16-bit stereo 44,100 Hz WAV through libsndfile.
class WavSink : public Sink {
public:
    explicit WavSink(OutputFile* file) : file_(file) {}
    ~WavSink() override;
    bool Open(std::string* error);
    void Take(const uint8_t* data, size_t size) override;
    bool Finish(std::string* error) override;
    // Bytes left over after the last whole frame (0 unless the stream is broken).
    size_t TrailingBytes() const { return carry_.size(); }

private:
    OutputFile* file_;
    sf_private_tag* sf_ = nullptr;
    std::vector<uint8_t> carry_;
    std::string error_;
};

// The A2DP codec's stream: SBC at 44.1 kHz, joint stereo, 16 blocks,
// 8 subbands, loudness allocation, bitpool 53.  The last partial frame is
// padded with silence.
class SbcSink : public Sink {
public:
    explicit SbcSink(OutputFile* file);
    ~SbcSink() override;
    bool Open(std::string* error);
    void Take(const uint8_t* data, size_t size) override;
    bool Finish(std::string* error) override;
    uint64_t FramesWritten() const { return frames_; }
    size_t FrameLength() const { return frameLength_; }

private:
    void EncodeWhole(bool padLast);
    OutputFile* file_;
    std::unique_ptr<sbc_struct> sbc_;
    size_t codeSize_ = 0;      // PCM bytes per SBC frame
    size_t frameLength_ = 0;   // encoded bytes per SBC frame
    std::vector<uint8_t> carry_;
    std::vector<uint8_t> out_;
    uint64_t frames_ = 0;
    std::string error_;
};

}  // namespace player
