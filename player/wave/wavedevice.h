// The wave device as the application holds it: opened on WAVE_MAPPER (or the
// driver's own device when the link is not up before the application opens)
// with a callback function or an event; the buffers' headers prepared, written
// and unprepared; the position asked; paused, restarted, reset and closed.
// Every failure of the wave API is thrown as Failure (kExitPlayback).
//
// Threads and locks:
// - The main thread calls everything but Write, which the refill engine also
//   calls from inside MM_WOM_DONE, and Position, which its sync hook calls.
// - The `done` hook is the MM_WOM_DONE callback: it runs on the timer thread
//   with the driver's stream lock held, or on the main thread inside
//   waveOutReset.  It must not wait for the main thread.  MM_WOM_OPEN and
//   MM_WOM_CLOSE only set flags (atomics) the main thread reads after the
//   open or close returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/platform.h"
#include "run/options.h"

namespace player {

class WaveDevice {
public:
    using Done = std::function<void(WAVEHDR* header)>;

    WaveDevice(Refill refill, Done done) : refill_(refill), done_(std::move(done)) {}
    ~WaveDevice() { Abandon(); }
    WaveDevice(const WaveDevice&) = delete;
    WaveDevice& operator=(const WaveDevice&) = delete;

    // Opens `target` for the device's format; returns what the timeline says
    // of it.
    std::string Open(UINT target, const std::string& targetName, const WAVEFORMATEX& format);
    // How the open stream reaches its device, as the wave API tells it
    // ("22050 Hz mono 16-bit to 44100 Hz stereo 16-bit on device 1").
    std::string MappingText() const;
    void Prepare(WAVEHDR* header);
    MMRESULT Write(WAVEHDR* header);
    // Bytes played since the open or the last reset; 0 when the device
    // cannot say.
    uint64_t Position();
    void Pause();
    // The counter (Counter()) before and after a call; the driver rebased
    // its clock in the middle.
    struct Span {
        uint64_t before, after;
        uint64_t Middle() const { return before + (after - before) / 2; }
    };
    Span Restart();
    Span Reset();
    // Unprepares every header and closes; returns what the timeline says.
    std::string Close();
    // A run that failed: resets, unprepares and closes, whatever fails.
    void Abandon();
    // Event refill: waits for the event, at most `ms`.
    void WaitEvent(uint32_t ms);

private:
    static void CALLBACK Callback(HDRVR, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    void Check(MMRESULT r, const char* call);
    // The call on the device, with the counter read just before and after it.
    Span Timed(MMRESULT(WINAPI* call)(HWAVEOUT), const char* name);

    const Refill refill_;
    const Done done_;
    HWAVEOUT hwo_ = nullptr;
    HANDLE event_ = nullptr;               // CALLBACK_EVENT's event
    std::vector<WAVEHDR*> prepared_;       // headers prepared on hwo_
    std::atomic<bool> sawOpen_{false}, sawClose_{false};   // set by the callback
};

}  // namespace player
