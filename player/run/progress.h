// Progress while playing: a bar redrawn in place on a terminal, plain lines
// at every tenth of the way otherwise.  Other messages to the same stream go
// through ConsoleLine so they never share the bar's line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace player {

// Writes `line` and a newline to `out`, first ending a bar drawn in place on
// it.  Any thread; takes the console's own lock and nothing else, so it may
// be called from inside the driver's callbacks and debug output.
void ConsoleLine(FILE* out, const std::string& line);

// -v: one event on standard error, timed from the first write (counter
// `firstWrite`; 0: it has not come yet).  Any thread.
void VerboseLine(uint64_t counter, uint64_t firstWrite, uint64_t frequency, const std::string& what);
// Ends a bar drawn in place, if any, so what follows starts a line of its own.
void EndProgressLine();

class Progress {
public:
    // out: where to print; terminal: whether it is a terminal.
    Progress(FILE* out, bool terminal, double totalSeconds);
    // Position in seconds of audio; the bar never goes backwards past a
    // redraw, but a reset may show a lower position.
    void Update(double seconds);
    // Last update at the full position and, on a terminal, a newline.
    void Finish(double seconds);
    // Text of the bar for a position (for the terminal form).
    std::string Bar(double seconds) const;
    // Whether an update is due at `at` seconds (of whichever clock the
    // caller shows progress by): a few times a second, every kEverySeconds.
    bool Due(double at);
    static constexpr double kEverySeconds = 0.1;

private:
    FILE* out_;
    bool terminal_;
    double total_;
    int lastTenth_ = -1;
    double lastDueAt_ = -1;
    std::string lastBar_;
    unsigned drawnGeneration_ = 0;   // the console's generation when the bar was drawn
};

}  // namespace player
