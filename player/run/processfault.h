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

#include <functional>
#include <string>

namespace player {
namespace processfault {

// `end` gets the platform's exception code's name and the faulting thread's
// name, and must not return (it ends the process).
void Watch(std::function<void(const std::string& what, const std::string& thread)> end);
// Stops watching (the hook goes; a later fault ends the process at once).
void Stop();

}  // namespace processfault
}  // namespace player
