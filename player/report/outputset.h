// The run's output files, and the outputs that write them: what the headset
// received (--wav, a codec's stream file: --sbc), what the listener heard (--heard), the packet log
// (--packets), the plot (--plot) and the JSON report (--report).  Each file
// is made under a temporary name and put in place only when the run ends
// well; a failed run drops them all and leaves its report alone.
//
// Threads: the main thread creates, commits and drops; the outputs' Take
// runs on the stand-in's thread in between (outputs.h), the packet log's
// lines on the timeline's writer (timeline.h).  No lock of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "btstandin/codec.h"
#include "run/options.h"
#include "report/stagedfile.h"
#include "report/outputs.h"
#include "report/report.h"

namespace player {

class OutputSet {
public:
    // Creates every file the options name, and adds to `warnings` a line
    // for each stale partial file of a killed run that it removed.  Throws
    // Failure: kExitUsage for two outputs or an output and the input that
    // reach one file (by its device and inode, however named), kExitOutput
    // when a file cannot be made.  `expectedBytes`: the length of the audio
    // the headset will receive when known beforehand (not an estimate), else
    // -1; it chooses between WAV and RF64 (outputs.h).
    void Create(const Options& options, std::vector<std::string>* warnings, int64_t expectedBytes = -1);

    // The bit-exact stream the headset received.
    Output* Received() { return &received_; }
    // The heard WAV output, or null.
    Output* HeardFile() { return heardWav_.get(); }
    // One media packet as the library sent it: the stream file of the
    // run's codec gets its frames, the stream as sent (bitpool changes and
    // all).  Stand-in's thread.
    void SentStream(const btstandin::MediaPacket& p);
    // The packet log, open when asked for (with its header written).
    StagedFile* PacketLog() { return &csvFile_; }

    // The run ended well: finishes the outputs, draws the plot, puts every
    // file in place and then writes the JSON report, listing them all in
    // report->outputs, and a note for each WAV output written as RF64.
    // Throws Failure (kExitOutput).  A stop signal (run/failure.h) before the
    // renames throws Interrupted() with nothing put in place; the renames and
    // the report are not interrupted, and a signal that came during them
    // sets the report's exit code and error (the outputs stand).
    void Commit(Report* report);
    // The run failed: every audio output is dropped with its temporary; the
    // report of the failure is written to `jsonPath` when one is named, and
    // listed.  Once nothing feeds the outputs any more.
    void Drop(Report* report, const std::string& jsonPath);

private:
    [[noreturn]] static void Fail(const std::string& error);
    StagedFile wavFile_, streamFile_, csvFile_, jsonFile_, plotFile_, heardFile_;
    std::unique_ptr<WavOutput> wav_, heardWav_;
    std::unique_ptr<EncodedOutput> encoded_;   // another codec's stream file: the received PCM, encoded here
    bool sentStream_ = false;             // the run's codec's stream file: the frames as sent
    size_t sentHeaders_ = 0;              // the packet headers before its frames
    std::string sentError_;               // the first write error of the frames as sent
    OutputList received_;
};

}  // namespace player
