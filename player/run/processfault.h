// A fault that no guard catches, on a thread of the player's process other
// than the main thread (the timer thread in the driver's tick, the stand-in's
// threads): on the device it ends the process.  Here it ends the run the
// same way, but with its record: the faulting thread is parked for good (it
// may hold the driver's stream lock, so nothing may call the driver again),
// and a watcher thread of its own calls the player's ending, which writes
// the report, drops the audio outputs and their temporaries, and ends the
// process without calling the driver.  A fault on the main thread ends the
// process at once, as before.
//
// Threads: Watch and Stop on the main thread; the ending runs on the
// watcher thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace player {
namespace processfault {

// `end` gets the platform's exception code's name and the faulting thread's
// name, and must not return (it ends the process).
void Watch(std::function<void(const std::string& what, const std::string& thread)> end);
// Stops watching (the hook goes; a later fault ends the process at once).
void Stop();
// On the watcher thread, in the ending: waits until the main thread says it
// stopped at its next step (`parked`), at most kParkWaitMs.  A main thread
// blocked on the faulted thread (an advance of the virtual clock, a link
// event) never gets there, and touches nothing meanwhile.
constexpr int kParkWaitMs = 1500;
void AwaitParked(const std::atomic<bool>& parked);

}  // namespace processfault
}  // namespace player
