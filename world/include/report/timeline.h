// The run's timeline: the driver's ticks, writes, rebases and packets as they
// happen, analysed for pacing as they come; the packet log written as its
// lines become known; and the run's happenings (link changes, pauses, resets)
// with their times.  Times are performance-counter values; the report gives
// them in seconds from the first write (SetStart).
//
// Threads: Log and Happen are called from the main thread, the timer thread
// (the tick observer, and the refill callback with the driver's stream lock
// held) and the stand-in's posting side (OnPost, on the timer thread inside
// the driver's tick).  OnPacing runs wherever the driver prints, which may
// be under the stream lock.  Every entry takes the timeline's own mutex (a
// PiMutex, so a main thread holding it runs at the timer thread's priority
// while the timer thread waits) for a few statements and calls nothing
// outside this unit and the analyser while holding it, so it cannot close a
// cycle with the stream lock.  The packet log's lines are handed to a writer
// thread of their own: the timer thread does no file I/O.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "btstandin/codec.h"
#include "report/analysis.h"
#include "report/pacing.h"
#include "host/realtime.h"
#include "report/logwriter.h"
#include "report/stagedfile.h"
#include "report/report.h"

namespace player {

class Timeline {
public:
    // `packetLog` receives the packet log when it is open (it already holds
    // the header); it outlives the timeline.
    Timeline(uint64_t frequency, bool realClock, bool looping, StagedFile* packetLog);

    // Time 0: the first write.  Main thread, before that write.
    // clockNs: the same instant on the host clock, which the media
    // packets' times use.
    void SetStart(uint64_t counter, uint64_t clockNs = 0);
    uint64_t Start() const;

    void Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes = 0);
    // A tick that the clock began `lateNs` after its deadline.
    void LogTick(uint64_t counter, uint64_t lateNs);
    void Happen(const std::string& what, uint64_t counter);
    // One post of the driver's, in order.
    void OnPost(uint64_t counter, uint32_t bytes, bool refused);
    // One media packet as the radio delivered (or lost) it, for the packet
    // log beside the posts.  The stand-in's packet thread.
    void OnMedia(const btstandin::MediaPacket& p);
    // The driver's configuration record (its printed line and the values
    // from its arguments): the pump started from idle.
    void OnPacing(const std::string& line, const PacingConfig& values, uint64_t counter);

    // Puts the configuration, the happenings and the pacing into `r`.  Unless
    // the run `failed`, the packet log is written out whole; false with
    // *error when it could not be.  Main thread, after playback.
    bool Fill(Report* r, bool failed, std::string* error);

private:
    // Caller holds mu_.
    void FlushPacketLogLocked();

    const uint64_t frequency_;
    StagedFile* packetLog_;
    std::unique_ptr<LogWriter> logWriter_;   // while the packet log is open
    mutable host::PiMutex mu_;   // guards everything below
    uint64_t start_ = 0;
    uint64_t startNs_ = 0;   // start_ on the host clock
    PacingAnalyser pacing_;
    std::string pending_;     // packet log lines not yet handed to the writer
    std::vector<std::pair<uint64_t, std::string>> happenings_;
    std::string configLine_;
    PacingConfig config_;   // the values of the first configuration record
    unsigned configLines_ = 0;
};

}  // namespace player
