// The wave mapper's side of one converted stream: for every header of the
// application a header of its own (a shadow) that carries the converted
// audio to the device, and the translation of positions back into the
// application's units.
//
// Locking: a mutex of its own guards the shadows; callers hold no lock of
// the wave API, and nothing here calls a device or the application.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "convert.h"
#include "host/platform.h"
#include "host/records.h"

namespace host {

class MappedStream {
public:
    MappedStream(const PcmFormat& client, const PcmFormat& device, std::unique_ptr<SampleConverter> converter);

    // Gives the application's header its shadow (once).
    void Prepare(WAVEHDR* client);
    // Drops the shadow.
    void Unprepare(WAVEHDR* client);
    // Converts the header's bytes into its shadow and marks the application's
    // header queued (WHDR_INQUEUE set, WHDR_DONE clear).  The shadow carries
    // the loop flags and dwLoops, so the device repeats the converted audio.
    // Null when the header has no shadow (it was prepared on another handle).
    WAVEHDR* BeginWrite(WAVEHDR* client);
    // The device refused the shadow: the application's flags go back.
    void UndoWrite(WAVEHDR* client, DWORD flagsBefore);
    // What follows a shadow's return: the application's header to hand
    // back (marked done: WHDR_DONE set, WHDR_INQUEUE clear, dwBytesRecorded
    // its whole length), or, when it was the last shadow queued, the tail
    // to write first: the samples the resampler still held, so that the
    // stream's end is heard.  The application's header then comes back
    // with the tail.  Both null for a header that is not of this stream.
    // The tail does not end the conversion: a write after it continues the
    // converted audio exactly where a stream without the underrun would be,
    // the frames the tail played not repeated, so the audio does not depend
    // on when the queue ran dry (only the tail's frames, which take the
    // input still to come as silence, can differ).
    struct Step {
        WAVEHDR* client = nullptr;
        WAVEHDR* tail = nullptr;
    };
    Step Complete(WAVEHDR* shadow);
    // The device refused the tail: the header it held is handed back now.
    WAVEHDR* TailRefused();
    // A reset begins: no tail is made until ResetConversion.
    void BeginReset();
    // Forgets the samples the converter holds (after a reset).
    void ResetConversion();
    // Writes the answer for wType into the application's MMTIME from the
    // device's byte position: bytes, samples and milliseconds of the
    // application's format; SMPTE, MIDI and ticks as bytes; nothing for any
    // other wType.
    void AnswerPosition(DWORD deviceBytes, BYTE* mmtime) const;

private:
    struct Shadow {
        WAVEHDR header{};
        std::vector<char> data;
    };

    const PcmFormat client_;
    const PcmFormat device_;
    std::unique_ptr<SampleConverter> converter_;
    // Guards the maps and the converter; a leaf.  Taken on the application's
    // thread (writes) and inside the driver's lock (completions, through
    // DeliverToClient).
    std::mutex mutex_;
    std::map<WAVEHDR*, std::unique_ptr<Shadow>> byClient_;
    std::map<WAVEHDR*, WAVEHDR*> clientOf_;
    unsigned queued_ = 0;             // shadows written and not yet back, the tail aside
    bool resetting_ = false;          // between BeginReset and ResetConversion
    Shadow tail_;                     // the stream's end, written after its last shadow
    WAVEHDR* tailClient_ = nullptr;   // the header handed back with the tail
};

}  // namespace host
