#include "progress.h"

#include <algorithm>
#include <cmath>

namespace player {

Progress::Progress(FILE* out, bool terminal, double totalSeconds)
    : out_(out), terminal_(terminal), total_(totalSeconds > 0 ? totalSeconds : 1e-9)
{
}

std::string Progress::Bar(double seconds) const
{
    const int width = 40;
    double fraction = std::min(1.0, std::max(0.0, seconds / total_));
    int filled = static_cast<int>(fraction * width);
    char tail[64];
    std::snprintf(tail, sizeof tail, "] %7.2f / %.2f s %3d%%", seconds, total_,
                  static_cast<int>(std::floor(fraction * 100)));
    return "[" + std::string(filled, '#') + std::string(width - filled, '-') + tail;
}

void Progress::Update(double seconds)
{
    if (!out_)
        return;
    if (terminal_) {
        std::string bar = Bar(seconds);
        if (bar != lastBar_) {
            std::fprintf(out_, "\r%s", bar.c_str());
            std::fflush(out_);
            lastBar_ = bar;
        }
        return;
    }
    int tenth = static_cast<int>(std::floor(std::min(1.0, std::max(0.0, seconds / total_)) * 10));
    if (tenth > lastTenth_) {
        std::fprintf(out_, "position %.2f s of %.2f s (%d%%)\n", seconds, total_, tenth * 10);
        std::fflush(out_);
        lastTenth_ = tenth;
    }
}

void Progress::Finish(double seconds)
{
    if (!out_)
        return;
    Update(seconds);
    if (terminal_) {
        std::fprintf(out_, "\n");
        std::fflush(out_);
    }
}

}  // namespace player
