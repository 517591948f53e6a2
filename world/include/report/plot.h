// The pacing timeline as a picture (SVG): bytes due and posted per tick, the
// bytes queued after each tick, the headset's buffer when the listener is
// modelled, and the run's happenings and late ticks as marks.  Drawn once, on
// the main thread, from the finished report; it keeps no state.
#pragma once

#include <string>

#include "report/report.h"

namespace player {

std::string FormatSvg(const Report& r);

}  // namespace player
