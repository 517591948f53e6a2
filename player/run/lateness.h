// The options of the virtual clock's timing model (host/lateness.h):
// --timer-lateness PROFILE|PERCENTILES, --timer-lateness-from REPORT.json and
// --seed N, parsed for the options' table.
#pragma once

#include <string>

#include "run/optiontable.h"

namespace player {

bool ParseTimerLateness(Arg& a);
bool ParseTimerLatenessFrom(Arg& a);
bool ParseSeed(Arg& a);
// The model needs the virtual clock: false with a message without --fast.
bool CheckTimerLateness(const Options& o, std::string* error);
// The percentiles of tick lateness a report (JSON) states, in the form
// --timer-lateness takes; false with a message when it has none.
bool LatenessFromReport(const std::string& json, std::string* percentiles, std::string* error);
// The usage's lines on the named profiles.
std::string LatenessProfilesHelp();

}  // namespace player
