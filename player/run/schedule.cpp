#include "run/schedule.h"

#include <algorithm>

namespace player {

ActionSchedule::ActionSchedule(const std::vector<TimedAction>& actions)
{
    for (const TimedAction& a : actions) {
        steps_.push_back({a.atMs / 1000.0, a, false});
        if (a.kind == TimedAction::Pause)
            steps_.push_back({(a.atMs + a.durationMs) / 1000.0, a, true});
    }
    std::stable_sort(steps_.begin(), steps_.end(), [](const Step& a, const Step& b) { return a.at < b.at; });
}

bool ActionSchedule::TakeDue(double now, Step* step)
{
    if (next_ >= steps_.size() || steps_[next_].at > now)
        return false;
    *step = steps_[next_++];
    return true;
}

bool ActionSchedule::NextAt(double* at) const
{
    if (next_ >= steps_.size())
        return false;
    *at = steps_[next_].at;
    return true;
}

std::vector<ActionSchedule::Step> ActionSchedule::NotReached() const
{
    std::vector<Step> out;
    for (size_t i = next_; i < steps_.size(); ++i)
        if (!steps_[i].restart)
            out.push_back(steps_[i]);
    return out;
}

}  // namespace player
