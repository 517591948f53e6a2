// The player's outputs: where the audio the headset received, or what the
// listener heard, is written.  Every output goes through one interface,
// Output, so the run feeds a list of them without knowing what each one is.
//
// Threads: Take is called on the Bluetooth stand-in's thread, one packet at a
// time in arrival order, with no lock of the stand-in or the driver held; it
// must not wait for the driver's tick.  Finish is called on the main thread
// once the stand-in's thread has passed the last packet (after a flush), so
// the two never overlap and an output needs no lock of its own for them.
// Packets may end in the middle of a frame (the driver counts bytes, not
// frames), so every output carries the odd bytes over.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "btstandin/codec.h"
#include "report/stagedfile.h"

struct sf_private_tag;

namespace player {

class Output {
public:
    virtual ~Output() = default;
    // One packet's audio bytes.  Called on the stand-in's thread.
    virtual void Take(const uint8_t* data, size_t size) = 0;
    // After the last packet: writes what is left and closes.  False with
    // *error on any write failure during the run.
    virtual bool Finish(std::string* error) = 0;
};

// Several outputs fed the same bytes, in the order they were added.  Finish
// finishes every one of them, even after one failed, and reports the first
// failure.  The outputs are not owned.
class OutputList : public Output {
public:
    void Add(Output* output) { outputs_.push_back(output); }
    bool Empty() const { return outputs_.empty(); }
    void Take(const uint8_t* data, size_t size) override;
    bool Finish(std::string* error) override;

private:
    std::vector<Output*> outputs_;
};

// The bytes of audio past which a WAV output is written as RF64: a WAV
// file's sizes are 32-bit, so its data chunk holds at most 4 GiB less its
// header's 36 bytes.  The environment variable BTWAV_WAV_LIMIT (a number of
// bytes) lowers it, for the tests.
uint64_t WavLimitBytes();

// 16-bit stereo 44,100 Hz WAV through libsndfile.  A WAV file's sizes are
// 32-bit: an output whose length is known beforehand is a plain WAV file when
// it fits and RF64 (the 64-bit form of WAV, which libsndfile and sox read)
// when it does not; one whose length is not known is written as RF64 that
// libsndfile turns into a WAV file (with a JUNK chunk, in WAVE_FORMAT_EXTENSIBLE)
// when it ends under 4 GiB.  A size is never wrapped: more audio than a plain
// WAV file holds fails the output.
class WavOutput : public Output {
public:
    explicit WavOutput(StagedFile* file) : file_(file) {}
    ~WavOutput() override;
    // `expectedBytes`: the audio's length when known beforehand, else -1.
    bool Open(std::string* error, int64_t expectedBytes = -1);
    // After Finish: whether the file is RF64 (its first four bytes say so).
    bool IsRf64() const { return rf64_; }
    const std::string& Path() const { return file_->Path(); }
    void Take(const uint8_t* data, size_t size) override;
    bool Finish(std::string* error) override;
    // Bytes left over after the last whole frame (0 unless the stream is broken).
    size_t TrailingBytes() const;

private:
    static const size_t kBlockFrames = 16384;   // audio frames a write (64 KiB)
    void WriteBlock();   // the block's whole frames to the file
    StagedFile* file_;
    sf_private_tag* sf_ = nullptr;
    std::unique_ptr<short[]> block_;   // audio not yet written, kBlockFrames frames' room
    size_t fill_ = 0;                  // bytes in block_
    uint64_t room_ = UINT64_MAX;       // bytes of audio the file's format holds
    uint64_t written_ = 0;             // bytes of audio written
    bool rf64_ = false;
    std::string error_;
};

// A codec's stream file: the audio it is given, encoded as the codec's
// table line and file encode it for the link (codec.h), at the top of its
// rate range, one frame after another with no packet headers.  The last
// partial frame is padded with silence.  Needs the codec's coder.
class EncodedOutput : public Output {
public:
    EncodedOutput(StagedFile* file, btstandin::Codec codec);
    ~EncodedOutput() override;
    bool Open(std::string* error);
    void Take(const uint8_t* data, size_t size) override;
    bool Finish(std::string* error) override;
    uint64_t FramesWritten() const { return frames_; }

private:
    void Write();
    StagedFile* file_;
    const btstandin::CodecInfo& codec_;
    std::unique_ptr<btstandin::Carrier> carrier_;
    std::unique_ptr<btstandin::PacketEncoder> encoder_;
    std::vector<btstandin::MediaPacket> packets_;   // completed, not yet written
    uint64_t frames_ = 0;
    std::string error_;
};

}  // namespace player
