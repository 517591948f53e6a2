// Decoding ahead of the refill.  A thread of its own reads the sound from
// another source (the decoder and its conversion) into a bounded ring of
// blocks while the refill takes bytes from the ring, so that on two cores
// decoding overlaps the pump instead of adding to it.  At most `blocks`
// blocks of `blockBytes` are held, whatever the sound's length; the decoding
// thread waits for room.
//
// Threads: Read and Error are called by one consumer at a time (the sound
// window's decoding side: the main thread or the refill callback on the
// timer thread, with the driver's stream lock held).  Read waits for the
// decoding thread when the ring is empty; that thread takes no lock but the
// ring's own mutex, so the wait cannot close a cycle with the driver's.
// Destruction stops the thread after the block it is decoding.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "input/audio.h"

namespace player {

class DecodeAhead : public SoundSource {
public:
    // `inner` is read only by the decoding thread from now on and outlives this.
    DecodeAhead(SoundSource* inner, size_t blockBytes, size_t blocks);
    ~DecodeAhead() override;
    DecodeAhead(const DecodeAhead&) = delete;
    DecodeAhead& operator=(const DecodeAhead&) = delete;

    // Stops the decoding thread after the block it is decoding and waits for
    // it; `inner` is then the caller's again.  Reads after it return what was
    // decoded, then 0.  Main thread.
    void Stop();

    size_t Read(uint8_t* out, size_t max) override;
    const std::string& Error() const override { return error_; }

private:
    struct Block {
        std::vector<uint8_t> bytes;
        size_t size = 0;   // bytes decoded into it
        size_t at = 0;     // bytes already read from it
    };
    void Decode();

    SoundSource* inner_;
    std::mutex mu_;   // guards the ring's indices, ended_, stop_ and error_ until ended_
    std::condition_variable cv_;
    std::vector<Block> ring_;
    size_t head_ = 0;    // the block Read takes from
    size_t count_ = 0;   // blocks decoded and not yet read whole
    bool ended_ = false;
    bool stop_ = false;
    std::string error_;   // set before ended_; read only after Read returned 0
    std::thread thread_;
};

}  // namespace player
