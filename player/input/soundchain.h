// The sound as the device plays it: the decoder's frames, converted to the
// device's format when the negotiation says so (audio.h), decoded ahead on a
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
#include "input/window.h"

namespace player {

class SoundChain {
public:
    // Opens the chain on `decoder`.  With `loops`, the window keeps the
    // whole sound.  The sound must hold at least one frame.  Returns what
    // the conversion note says ("" without one).  Throws Failure (kExitInput).
    std::string Open(std::unique_ptr<Decoder> decoder, bool converted, uint32_t loops);
    // Null until opened.
    SoundWindow* Window() const { return window_.get(); }
    // The sound's length at the headset (all passes of a loop), or the
    // decoder's estimate until its end is known.
    double ExpectedSeconds(uint32_t loops) const;
    // Stops decoding ahead; the decoder's notes are the main thread's from
    // then on.
    const std::vector<std::string>& StopAndNotes();

private:
    DeviceStream audio_;                   // the sound in the device's format
    std::unique_ptr<DecodeAhead> ahead_;   // decodes audio_ ahead, for costly sources
    std::unique_ptr<SoundWindow> window_;
};

}  // namespace player
