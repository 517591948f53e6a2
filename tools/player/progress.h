// Progress while playing: a bar redrawn in place on a terminal, plain lines
// at every tenth of the way otherwise.
#pragma once

#include <cstdio>
#include <string>

namespace player {

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

private:
    FILE* out_;
    bool terminal_;
    double total_;
    int lastTenth_ = -1;
    std::string lastBar_;
};

}  // namespace player
