// Writes text to an output file on a thread of its own, so that the thread
// that produces it (the timer thread, for the packet log) does no file I/O.
// Threads: Write from any thread, under any lock of the caller's: it moves
// the text into a queue under the writer's own lock (a PiMutex, held for a
// few statements) and wakes the writer thread without waiting for it.
// Finish on the main thread, after the last Write.
#pragma once

#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "host/realtime.h"
#include "report/stagedfile.h"

namespace player {

class LogWriter {
public:
    // `file` is open and outlives the writer.
    explicit LogWriter(StagedFile* file);
    ~LogWriter();   // stops the thread; what was not written is dropped
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Takes `text` (leaving it empty) for writing.
    void Write(std::string* text);
    // Writes everything handed over so far and stops the thread.  False with
    // *error when a write failed.
    bool Finish(std::string* error);

private:
    void Loop();
    void Stop();

    StagedFile* file_;
    host::PiMutex mu_;                  // guards the fields below
    std::condition_variable_any wake_;  // to the thread: text queued, or stop
    std::vector<std::string> queue_;
    std::string error_;                 // the first write failure
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace player
