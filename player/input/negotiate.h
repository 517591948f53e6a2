// Format negotiation: what the application asks the device about its sound,
// and whether the sound is converted to the device's one format.
//
// The query carries the source's own format (its tag, channels, rate, sample
// width, block alignment and byte rate), with WAVE_FORMAT_DIRECT: the mapper
// would accept any format it can convert, and the player converts on its
// own.  The driver's query accepts exactly the format it plays (16-bit stereo
// PCM at 44,100 Hz), so the sound is converted when the query refuses it.  A
// device that accepted another format would still get the sound converted,
// as the player hands on as it is only 16-bit stereo 44,100 Hz.  Before a
// conversion the device is asked about that format too.
//
// Threads: the main thread only, before the device is opened; no lock held.
#pragma once

#include <functional>
#include <string>

#include "input/audio.h"
#include "host/platform.h"

namespace player {

// Asks the device whether it would play `format` (waveOutOpen with
// WAVE_FORMAT_QUERY and `flags` added).  Main thread, no lock held.
using FormatQuery = std::function<MMRESULT(const WAVEFORMATEX& format, DWORD flags)>;

struct FormatDecision {
    bool queryRefused = false;   // the device refused the source's own format
    bool converted = false;      // the sound is converted to 16-bit stereo 44,100 Hz
};

// The wave format an application would offer for this source.
WAVEFORMATEX SourceFormat(const SourceInfo& info);

// Queries and decides.  Throws Failure: kExitPlayback when a query fails
// otherwise than by refusing, or the device refuses its own format as well;
// kExitInput when the sound needs a conversion it cannot have.
FormatDecision NegotiateFormat(const SourceInfo& info, const FormatQuery& query);

// "WAV (Microsoft) 16-bit PCM, 48000 Hz, 1 channel, 4800 frames": the source
// as the report names it.
std::string DescribeSource(const SourceInfo& info);

}  // namespace player
