// Format negotiation: what the application asks the device about its sound,
// and who turns the sound into the device's one format.
//
// A device application opens WAVE_MAPPER with its sound's own format and
// lets the mapper convert; the player does the same.  It asks twice:
//   1. the source's own format (its tag, channels, rate, sample width, block
//      alignment and byte rate) with WAVE_FORMAT_DIRECT: whether the device
//      plays it as it is (the report's "format query refused");
//   2. when it does not, the format the player writes (the samples as the
//      decoder hands them over: 16-bit or 32-bit PCM, 32-bit or 64-bit
//      float) without WAVE_FORMAT_DIRECT: whether the mapper takes it and
//      converts it on the way.
// Samples the decoder already widened to the device's format (8-bit,
// mu-law, A-law at 44,100 Hz stereo) are written as they are.  Only a format
// the mapper refuses (more than 8 channels, a rate outside what it
// resamples, 64-bit float) is converted by the player itself, and then the
// device's format is asked for too.
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

// Who turns the written sound into the device's format.
enum class ConvertedBy {
    Nobody,    // the player writes the device's format (libsndfile may have widened the samples)
    Mapper,    // the player writes the decoder's samples; the wave mapper converts them
    Player,    // the mapper refuses the decoder's samples: the player converts (libswresample)
};

struct FormatDecision {
    bool queryRefused = false;   // the device refused the source's own format
    bool converted = false;      // what the device plays is not the source's own format
    ConvertedBy by = ConvertedBy::Nobody;
    WAVEFORMATEX written{};      // the format the player opens the device with and writes
};

// The wave format an application would offer for this source.
WAVEFORMATEX SourceFormat(const SourceInfo& info);
// The format of the samples as the decoder hands them over.
WAVEFORMATEX DecodedFormat(const SourceInfo& info);

// Queries and decides.  Throws Failure: kExitPlayback when a query fails
// otherwise than by refusing, or the device refuses its own format as well;
// kExitInput when the sound needs a conversion it cannot have.
FormatDecision NegotiateFormat(const SourceInfo& info, const FormatQuery& query);

// "48000 Hz, 12 channels, 64-bit float": a wave format record in words.
std::string DescribeFormat(const WAVEFORMATEX& f);

// "WAV (Microsoft) 16-bit PCM, 48000 Hz, 1 channel, 4800 frames": the source
// as the report names it.
std::string DescribeSource(const SourceInfo& info);

}  // namespace player
