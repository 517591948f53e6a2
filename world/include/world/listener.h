// The listener's side of the run: the headset, fed every media packet as
// the radio delivers it, and what the listener hears going to the heard
// outputs (the heard WAV file, and the sound device with --play-out).  When
// someone hears it the headset decodes each packet with the codec's decoder
// (codec.h; a codec without one is heard as its packets carry it) and
// the decoded audio is measured against what the library was given; when
// nobody does, the model takes the packets' sizes alone.  A lost packet
// (the lose fault) is heard as silence of its length in its place in the
// stream, so the headset's timing goes on as the stream's.  Without a sound device the run goes on: the other outputs
// and the report lose nothing.
//
// Threads and locks: Receive runs on the stand-in's packet thread, with no
// lock of the stand-in or the driver held; SetOrigin (at the first write)
// and Finish on the main thread.  The listener's mutex guards the headset
// model and whether it finished; it is held for one packet's arithmetic and
// the heard outputs' Take, which only queue, never wait for the driver.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "world/headset.h"
#include "btstandin/btstandin.h"
#include "world/options.h"
#include "world/quality.h"
#include "report/outputs.h"
#include "report/report.h"
#include "world/soundout.h"

namespace player {

class Listener {
public:
    // `heardFile` is the heard WAV output, or null; it outlives the listener.
    // A sound device that cannot be opened is a warning in *warnings, which
    // the application prints.
    Listener(const WorldOptions& options, Output* heardFile, std::vector<std::string>* warnings);

    const HeadsetConfig& Config() const { return config_; }
    bool Modelled() const { return headset_ != nullptr; }
    // Time 0 of the headset's clock: host::ClockNowNs() at the first write.
    void SetOrigin(uint64_t clockNs);
    // One media packet as the radio delivered it (or lost it).  Stand-in's thread.
    void Receive(const btstandin::MediaPacket& packet);
    // Ends the model (later packets are not taken) and plays out what the
    // sound device still holds; says so in *r (its listener, notes and
    // warnings).  Main thread, after the stand-in was flushed; again after a
    // failure, when it adds only what it did not already.
    void Finish(Report* r);

private:
    HeadsetConfig config_;
    OutputList heard_;                     // what the listener hears goes to these
    std::unique_ptr<SoundOut> soundOut_;   // the sound device, with --play-out
    std::mutex mu_;                        // guards headset_'s use and done_
    std::unique_ptr<Headset> headset_;     // null with --no-headset
    std::unique_ptr<btstandin::PacketDecoder> decoder_;   // when someone hears a coded codec
    std::unique_ptr<HeardQuality> quality_;                       // when someone hears
    std::vector<uint8_t> decoded_;         // one packet's decoded audio
    std::vector<uint8_t> silence_;         // for lost packets
    uint64_t concealedFrames_ = 0;         // heard as silence for lost packets
    uint32_t codecDelayFrames_ = 0;        // the decoder's delay, for the sink's delay report
    bool done_ = false;
    HeadsetResult result_;
};

}  // namespace player
