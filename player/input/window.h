// The sound between the decoder and the headset.  The player copies the
// sound's bytes into its buffers from here, by offset, decoding more as it
// goes; the headset's bytes are compared with the same offsets as they
// arrive.  Only the bytes between the headset's position and the decoder's
// are kept: a few buffers' and packets' worth, whatever the sound's length.
// A reset may take the player back to any offset the headset has not
// reached.  For a loop the whole sound is kept, since its buffers hold it
// all anyway, and the headset's stream is the sound once per pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "report/comparison.h"
#include "input/audio.h"

namespace player {

class SoundWindow {
public:
    // The stream is read only through the window from now on.
    explicit SoundWindow(SoundSource* stream) : stream_(stream) {}

    // ---- The player's side: one thread at a time (the player's lock).
    // Keeps the whole sound and expects it `passes` times at the headset.
    // Decodes all of it now; false with *error on a decoding failure.
    bool KeepWhole(uint32_t passes, std::string* error);
    // Copies up to n bytes of the sound from `offset` to dst, decoding as
    // needed; fewer only at the sound's end.  False with *error when
    // decoding fails or the offset lies before what is kept.
    bool Copy(uint64_t offset, uint8_t* dst, size_t n, size_t* copied, std::string* error);
    // The sound's length once its end has been decoded, else -1.
    int64_t Length() const;
    // The headset's bytes are counted, not compared (they are a conversion
    // of what the player wrote), and what is kept follows the player's
    // side: `keepBehind` bytes behind the furthest byte copied out.  Before
    // any Copy or Receive.
    void CountOnly(uint64_t keepBehind);
    bool Counting() const { return countOnly_; }

    // ---- The headset's side: the stand-in's thread.
    // Compares received bytes with the sound at the headset's position.
    void Receive(const uint8_t* data, size_t n);
    uint64_t Received() const { return received_.load(std::memory_order_relaxed); }

    // After the run: the whole comparison.
    Comparison Result() const;
    // The most bytes ever kept at once.
    size_t PeakKept() const { return peakKept_; }

private:
    bool DecodeMoreLocked(std::unique_lock<std::mutex>& lock, std::string* error);
    void DropLocked();

    // A ring of `size` bytes (a power of two) as the sound's offsets see it:
    // the byte at offset x lies at x & (size - 1).  Copies and compares for
    // offsets [at, at + n), which the ring must hold.
    static void ReadRing(const uint8_t* ring, size_t size, uint64_t at, uint8_t* dst, size_t n);
    static int CompareRing(const uint8_t* ring, size_t size, uint64_t at, const uint8_t* data, size_t n);
    // Makes room for `need` kept bytes (player's side, mu_ held).
    void GrowLocked(size_t need);

    SoundSource* stream_;

    // Who touches the ring.  Only the player's side writes it: it decodes
    // into the free part, past end_, and replaces it when it grows, and it
    // reads [base_, end_) from it.  The headset's side reads only
    // [expectedPos_, end_), and the player's side never drops below
    // expectedPos_, so both sides copy and compare with mu_ released; the
    // lock covers the offsets and the swap of a grown ring.  A ring replaced
    // while the headset's side compares is kept in retired_ until it is done.
    mutable std::mutex mu_;          // guards what follows
    // The kept bytes, [base_, end_) of the sound.  The ring grows (doubling)
    // only when more must be kept at once.
    std::unique_ptr<uint8_t[]> ring_;
    size_t ringSize_ = 0;
    bool comparing_ = false;         // the headset's side reads the ring with mu_ released
    std::vector<std::unique_ptr<uint8_t[]>> retired_;
    uint64_t base_ = 0;
    uint64_t end_ = 0;
    bool ended_ = false;             // the decoder reached the sound's end
    bool whole_ = false;             // nothing is dropped (a loop)
    uint32_t passes_ = 1;
    uint64_t expectedPos_ = 0;       // headset's position within the sound (a loop wraps it)
    uint32_t pass_ = 0;              // the headset's pass (a loop)
    bool countOnly_ = false;         // see CountOnly
    uint64_t keepBehind_ = 0;
    uint64_t copiedEnd_ = 0;         // the furthest offset copied out (count-only)
    RunningComparison comparison_;
    size_t peakKept_ = 0;
    std::atomic<uint64_t> received_{0};
};

}  // namespace player
