// The world for an application of one's own, chosen by the environment:
// CEHOST_WORLD holds the world's options in the player's syntax; the report
// (CEHOST_REPORT text, CEHOST_REPORT_JSON), the plot (CEHOST_PLOT) and the
// heard audio (CEHOST_HEARD) are written at exit.  Built with libbtworld
// where the SDK has it (appworld.cpp); otherwise asking for any of these is
// an error at start (appworld_none.cpp).
//
// Threads: Start, AdvanceClock and Stop on the thread that starts or stops
// the platform, or the application's (CeHostAdvanceClock), with no driver
// lock held.
#pragma once

#include <cstdint>
#include <string>

namespace cehostapp {

// Whether the environment asks for the world.
bool WorldAsked();
// Parses CEHOST_WORLD, creates the outputs, models the link and attaches the
// world's hooks.  Before the driver loads.  False with *error.
bool StartWorld(std::string* error);
// Brings the link up as the world's options say (after --link-delay: on the
// virtual clock the clock is advanced by it, on the real one it is waited),
// and starts the thread that runs the link's timed changes on the real
// clock.  After the driver loaded.
void RaiseWorldLink();
// The virtual clock advanced by `ns`, stopping at each of the link's timed
// changes to raise it.
void AdvanceWorldClock(uint64_t ns);
// Ends the stream and writes the JSON report, the plot and the heard audio
// where asked; *text gets the text report (empty without the world).
// `bytes`: what the headset received.  After the application's last write.
void FinishWorld(uint64_t bytes, std::string* text);
// Detaches the world and drops it.  Before the host is reset.
void StopWorld();

}  // namespace cehostapp
