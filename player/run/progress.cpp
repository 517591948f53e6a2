#include "run/progress.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace player {
namespace {

std::mutex g_consoleMutex;
FILE* g_openBar = nullptr;        // a stream whose last line is a bar without its newline
unsigned g_generation = 0;        // counts the times such a bar was ended by someone else

void EndBarLocked()
{
    if (g_openBar) {
        std::fputc('\n', g_openBar);
        std::fflush(g_openBar);
        g_openBar = nullptr;
        ++g_generation;
    }
}

}  // namespace

void ConsoleLine(FILE* out, const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (g_openBar == out)
        EndBarLocked();
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void EndProgressLine()
{
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    EndBarLocked();
}

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
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        // Redrawn when it changed, or when a message ended its line.
        if (bar != lastBar_ || g_openBar != out_ || drawnGeneration_ != g_generation) {
            std::fprintf(out_, "\r%s", bar.c_str());
            std::fflush(out_);
            lastBar_ = bar;
            g_openBar = out_;
            drawnGeneration_ = g_generation;
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
        std::lock_guard<std::mutex> lock(g_consoleMutex);
        if (g_openBar == out_) {
            std::fputc('\n', out_);
            std::fflush(out_);
            g_openBar = nullptr;
        }
    }
}

bool Progress::Due(double at)
{
    if (lastDueAt_ >= 0 && at - lastDueAt_ < kEverySeconds)
        return false;
    lastDueAt_ = at;
    return true;
}

void VerboseLine(uint64_t counter, uint64_t firstWrite, uint64_t frequency, const std::string& what)
{
    std::string text = what.substr(0, what.find_last_not_of("\r\n") + 1);
    if (!firstWrite) {
        ConsoleLine(stderr, "btwav-play: before the first write  " + text);
        return;
    }
    char t[32];
    std::snprintf(t, sizeof t, "%.3f s  ",
                  (static_cast<double>(counter) - static_cast<double>(firstWrite)) / static_cast<double>(frequency));
    ConsoleLine(stderr, "btwav-play: " + std::string(t) + text);
}

}  // namespace player
