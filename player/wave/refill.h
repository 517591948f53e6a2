// The refill engine: the application's buffers, and the threads that give
// them back to the device.  It keeps N buffers of B bytes (or, for a loop,
// enough to hold the whole sound), writes them all, and fills every buffer
// that comes back with the next bytes of the sound and writes it again, so
// the buffers in the device's queue always follow the order of the sound.
//
// Threads and locks:
// - The main thread calls everything except OnDone.
// - OnDone is the MM_WOM_DONE callback (CALLBACK_FUNCTION): it runs on the
//   timer thread with the driver's stream lock held, or on the main thread
//   inside waveOutReset.  It fills the buffer and writes it again from there,
//   unless the main thread is itself filling and writing (then the buffer is
//   set aside and the main thread writes it afterwards, keeping the order).
// - The engine's mutex guards the cursor and every buffer's bookkeeping.  It
//   is held only for a few statements and while a chunk of the sound is
//   taken, never across a call of the writer, so it cannot close a cycle with
//   the driver's stream lock (which the writer's waveOutWrite takes).
// - With CALLBACK_EVENT the main thread polls the WHDR_DONE bit of each
//   header it gave away, as an application does, after the event woke it.
//   The device may be writing the flags of a header it still holds at that
//   moment, so the poll is a single read of the word and nothing else; once
//   it saw a header done, the main thread calls the Sync hook, which takes
//   the device's own lock (the device marks headers done under it), before
//   it reads anything else of the header or touches its buffer.
//
// Failures of the source or the writer on the main thread are thrown as
// Failure; on the callback's thread they are kept for Error().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/platform.h"

namespace player {

class RefillEngine {
public:
    // Copies up to `size` bytes of the sound from `offset` into `dst`; fewer
    // (*got) only at the sound's end.  False with *error when decoding
    // failed.  Called with the engine's mutex held, on the main thread or
    // the callback's: it must not call the wave API.
    using Source = std::function<bool(uint64_t offset, uint8_t* dst, size_t size, size_t* got, std::string* error)>;
    // Hands a filled header to the device (waveOutWrite), whose buffer will
    // play `bytes` in all (a loop's passes counted).  Called without the
    // engine's mutex, on the main thread or the callback's.
    using Writer = std::function<MMRESULT(WAVEHDR* header, int64_t bytes)>;

    // Orders the device's completion of the headers before what follows:
    // a call into the device that takes the lock under which it marks them
    // done.  Called on the main thread without the engine's mutex.
    using Sync = std::function<void()>;

    RefillEngine(uint32_t bufferBytes, uint32_t loops, Source source, Writer writer, Sync sync = nullptr);

    // Creates `count` buffers.  With a loop, `soundLength` is the whole
    // sound's length and the count is what holds it; otherwise 0.  Main
    // thread, before anything else.
    void CreateBuffers(size_t count, uint64_t soundLength);
    size_t Count() const { return slots_.size(); }
    // The header of buffer `i`, for waveOutPrepareHeader and Unprepare.
    WAVEHDR* Header(size_t i) { return &slots_[i]->hdr; }

    // Fills and writes every buffer.  Main thread.
    void WriteAll();
    // CALLBACK_FUNCTION's MM_WOM_DONE.
    void OnDone(WAVEHDR* header);
    // CALLBACK_EVENT: fills and writes again every buffer that came back
    // since the last look.  Main thread, after the event (or the virtual
    // clock's advance) returned.
    void RefillReturned();

    // Around waveOutReset: BeginReset before the call, EndReset after it
    // (`scan` with CALLBACK_EVENT, which gets its buffers back by looking).
    // EndReset returns the sound's offset where playing goes on and the bytes
    // that had been written and will not play; Resume then writes from there.
    // The offset is the first byte a returned buffer's device did not take,
    // or `played` when it is given (>= 0): the position asked before the
    // reset, where the buffers' counts are not the device's (the wave
    // mapper's conversion).  Main thread.
    void BeginReset();
    void EndReset(bool scan, uint64_t* resume, int64_t* withdrawn, int64_t played = -1);
    void Resume();

    // No more writes, from any thread.
    void Close();

    // Every byte of the sound has been written and every buffer is back.
    bool Done();
    // A failure of the callback's own refill, or empty.
    std::string Error();
    // Buffers that came back so far.
    uint64_t Returned();
    uint64_t BytesWritten() const { return bytesWritten_.load(); }
    // Waits until Done or an error, at most `seconds`.  Main thread.
    void WaitDoneOrError(double seconds);
    // When the last buffer came back (stamped now if not yet).
    void DoneTime(uint64_t* counter, std::chrono::steady_clock::time_point* wall);

private:
    struct Slot {
        WAVEHDR hdr{};            // handed to the device; dwUser holds the slot's index
        std::vector<char> data;   // the buffer's bytes
        uint64_t srcOffset = 0;   // where in the sound its bytes come from
        uint32_t length = 0;      // bytes written with it
        uint32_t recorded = 0;    // bytes the device had consumed when it came back
        bool queued = false;      // written and not yet back
    };
    // Caller holds mu_.
    bool TakeChunkLocked(Slot* s, std::string* error);
    bool DoneLocked() const { return soundEnded_ && cursor_ >= soundEnd_ && outstanding_ == 0; }
    bool MoreLocked() const { return !soundEnded_ || cursor_ < soundEnd_; }
    void ReturnedLocked(Slot* s, DWORD recorded);
    void NoteDoneLocked();
    bool WriteSlot(Slot* s, std::string* error);
    void MainWrite(std::deque<Slot*> todo);
    std::deque<Slot*> ScanReturned();

    const uint32_t bufferBytes_;
    const uint32_t loops_;
    const Source source_;
    const Writer writer_;
    const Sync sync_;
    uint64_t loopEnd_ = 0;                       // a loop's whole length, fixed once created
    std::vector<std::unique_ptr<Slot>> slots_;   // fixed once created

    std::mutex mu_;   // guards everything below, and every Slot's fields but hdr
    std::condition_variable cv_;
    bool soundEnded_ = false;      // the sound's end has been reached at soundEnd_
    uint64_t soundEnd_ = 0;        // the sound's length in bytes, once known
    uint64_t cursor_ = 0;          // next byte of the sound to write
    unsigned outstanding_ = 0;     // buffers written and not back
    uint64_t returned_ = 0;        // buffers that came back
    bool mainBusy_ = false;        // the main thread is taking and writing chunks
    bool resetting_ = false;       // waveOutReset in progress
    bool closing_ = false;         // no more writes at all
    std::deque<Slot*> deferred_;   // came back while the main thread was busy
    std::vector<Slot*> resetReturned_;
    std::deque<Slot*> resumeTodo_;
    std::string callbackError_;    // a refill from the callback failed
    bool doneSeen_ = false;
    uint64_t doneCounter_ = 0;
    std::chrono::steady_clock::time_point doneWall_;

    std::atomic<uint64_t> bytesWritten_{0};
};

}  // namespace player
