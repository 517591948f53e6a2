#include "report/timeline.h"

#include <algorithm>

namespace player {

Timeline::Timeline(uint64_t frequency, bool realClock, bool looping, StagedFile* packetLog)
    : frequency_(frequency), packetLog_(packetLog), pacing_(frequency, realClock, looping)
{
    if (packetLog_ && packetLog_->IsOpen()) {
        logWriter_.reset(new LogWriter(packetLog_));
        // Called by the analyser, so under mu_.
        pacing_.SetPacketLine([this](const PacketInfo& p, uint32_t due) {
            double t = (static_cast<double>(p.counter) - static_cast<double>(start_)) /
                       static_cast<double>(frequency_);
            pending_ += FormatPacketLine(t, p, due);
            if (pending_.size() >= 64 * 1024)
                FlushPacketLogLocked();
        });
    }
}

void Timeline::SetStart(uint64_t counter, uint64_t clockNs)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    start_ = counter;
    startNs_ = clockNs;
    pacing_.SetStart(counter);
}

uint64_t Timeline::Start() const
{
    std::lock_guard<host::PiMutex> lock(mu_);
    return start_;
}

void Timeline::Log(PlayEvent::Kind kind, uint64_t counter, int64_t bytes)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    pacing_.Add({kind, counter, bytes});
}

void Timeline::LogTick(uint64_t counter, uint64_t lateNs)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    PlayEvent e{PlayEvent::Tick, counter, 0};
    e.lateNs = static_cast<int64_t>(lateNs);
    pacing_.Add(e);
}

void Timeline::Happen(const std::string& what, uint64_t counter)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    happenings_.emplace_back(counter, what);
}

void Timeline::OnPost(uint64_t counter, uint32_t bytes, bool refused)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    pacing_.AddPacket({counter, bytes, refused});
}

void Timeline::OnMedia(const btstandin::MediaPacket& p)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    if (!logWriter_)
        return;
    const double origin = static_cast<double>(startNs_);
    pending_ += FormatMediaLine((static_cast<double>(p.arrivalNs) - origin) / 1e9,
                                (static_cast<double>(p.sentNs) - origin) / 1e9, p);
    if (pending_.size() >= 64 * 1024)
        FlushPacketLogLocked();
}

void Timeline::OnPacing(const std::string& line, const PacingConfig& c, uint64_t counter)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    if (!config_.known) {
        config_ = c;
        configLine_ = line;
        while (!configLine_.empty() && (configLine_.back() == '\n' || configLine_.back() == '\r'))
            configLine_.pop_back();
    }
    ++configLines_;
    pacing_.SetConfig(c);
    pacing_.Add({PlayEvent::Init, counter, 0});
}

void Timeline::FlushPacketLogLocked()
{
    if (logWriter_)
        logWriter_->Write(&pending_);
}

bool Timeline::Fill(Report* r, bool failed, std::string* error)
{
    std::lock_guard<host::PiMutex> lock(mu_);
    r->configLine = configLine_;
    r->config = config_;
    for (const auto& h : happenings_)
        r->happenings.push_back(
            {(static_cast<double>(h.first) - static_cast<double>(start_)) / static_cast<double>(frequency_), h.second});
    if (configLines_ > 1)
        r->notes.push_back("the driver started from idle " + std::to_string(configLines_) +
                           " times (its queue ran dry in between)");
    r->pacing = pacing_.Finish();
    // A failed run drops its packet log; only a finished one must have written it whole.
    if (!logWriter_)
        return true;
    if (!failed)
        FlushPacketLogLocked();
    std::unique_ptr<LogWriter> writer = std::move(logWriter_);
    if (!writer->Finish(error) && !failed)
        return false;
    return true;
}

// ---- Silence ------------------------------------------------------------------------

}  // namespace player
