// The sound as the player writes it: the decoder's frames, as decoded for
// the wave mapper to convert, or converted to the device's format by the
// player when the negotiation says so (audio.h), decoded ahead on a
// thread of its own when that costs real work (decode_ahead.h), and the
// window (window.h) that the refill engine copies from and the headset's
// packets are compared with.  Nothing grows with the sound's length except
// for a loop, whose buffers hold the whole sound.
//
// Threads: Open, ExpectedSeconds and Stop on the main thread; the window's
// own contract says who else calls it (the refill, the stand-in's thread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "input/audio.h"
#include "input/decode_ahead.h"
#include "input/negotiate.h"
#include "input/window.h"

namespace player {

class SoundChain {
public:
    // Opens the chain on `decoder`.  With `loops`, the window keeps the
    // whole sound.  The sound must hold at least one frame.  Returns what
    // the conversion note says ("" without one).  Throws Failure (kExitInput).
    std::string Open(std::unique_ptr<Decoder> decoder, bool converted, uint32_t loops);
    // Opens the chain as the negotiation decided: for the mapper, on the
    // decoder's own samples, with buffers of whole frames of them (`buffers`
    // of about `bufferBytes`); else with Open, converting when the player
    // must.  Returns the conversion's note; throws as Open.
    std::string OpenFor(const FormatDecision& d, std::unique_ptr<Decoder> decoder, uint32_t loops, uint32_t buffers,
                        uint32_t bufferBytes);
    // The headset's stream against the sound (all passes of a loop); through
    // the mapper only counted, with *judged false and the length expected.
    Comparison Result(uint32_t loops, bool* judged) const;
    // The buffer size OpenFor chose.
    uint32_t BufferBytes() const { return bufferBytes_; }
    // Bytes written as the device's bytes they become (the mapper changes
    // the rate and the frame).
    int64_t AsDeviceBytes(int64_t written) const;
    // Opens the chain on the decoder's own samples, which the wave mapper
    // converts on their way to the device: the window hands them on as
    // decoded and keeps `keepBehind` bytes behind the last one handed on
    // (what a reset may take the player back to); the headset's bytes are
    // counted, not compared (they are the mapper's conversion, not what was
    // written).  Returns what the mapper is to do.  Throws as Open.
    std::string OpenAsDecoded(std::unique_ptr<Decoder> decoder, uint32_t loops, uint64_t keepBehind);
    const SourceInfo& Info() const { return audio_.Info(); }
    // Bytes per second of the stream the window holds.
    double BytesPerSecond() const { return audio_.BytesPerSecond(); }
    // Null until opened.
    SoundWindow* Window() const { return window_.get(); }
    // The sound's length at the headset (all passes of a loop), or the
    // decoder's estimate until its end is known.
    double ExpectedSeconds(uint32_t loops) const;
    // Stops decoding ahead; the decoder's notes are the main thread's from
    // then on.
    const std::vector<std::string>& StopAndNotes();

private:
    void Start(const std::string& origin, bool ahead, uint32_t loops);
    DeviceStream audio_;                   // the sound in the device's format
    std::unique_ptr<DecodeAhead> ahead_;   // decodes audio_ ahead, for costly sources
    std::unique_ptr<SoundWindow> window_;
    WAVEFORMATEX written_{};   // what the player writes (OpenFor)
    uint32_t bufferBytes_ = 0;
};

}  // namespace player
