#include "input/window.h"

#include <algorithm>
#include <cstring>

namespace player {
namespace {
// Bytes decoded at a time.
const size_t kDecodeBytes = 64 * 1024;
}  // namespace

void SoundWindow::ReadRing(const uint8_t* ring, size_t size, uint64_t at, uint8_t* dst, size_t n)
{
    size_t i = static_cast<size_t>(at) & (size - 1);
    size_t first = std::min(n, size - i);
    std::memcpy(dst, ring + i, first);
    std::memcpy(dst + first, ring, n - first);
}

int SoundWindow::CompareRing(const uint8_t* ring, size_t size, uint64_t at, const uint8_t* data, size_t n)
{
    size_t i = static_cast<size_t>(at) & (size - 1);
    size_t first = std::min(n, size - i);
    int c = std::memcmp(ring + i, data, first);
    return c != 0 ? c : std::memcmp(ring, data + first, n - first);
}

void SoundWindow::GrowLocked(size_t need)
{
    size_t size = ringSize_ ? ringSize_ : 4 * kDecodeBytes;
    while (size < need)
        size *= 2;
    if (size == ringSize_)
        return;
    // Left uninitialised: only bytes the decoder wrote are ever read.
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[size]);
    // The kept bytes move to their places in the bigger ring, a stretch
    // at a time that is whole in both.
    for (uint64_t at = base_; at < end_;) {
        size_t from = static_cast<size_t>(at) & (ringSize_ - 1);
        size_t to = static_cast<size_t>(at) & (size - 1);
        size_t n = static_cast<size_t>(std::min<uint64_t>(end_ - at, std::min(ringSize_ - from, size - to)));
        std::memcpy(bigger.get() + to, ring_.get() + from, n);
        at += n;
    }
    if (comparing_ && ring_)
        retired_.push_back(std::move(ring_));
    ring_ = std::move(bigger);
    ringSize_ = size;
}

bool SoundWindow::DecodeMoreLocked(std::unique_lock<std::mutex>& lock, std::string* error)
{
    // Drop what the headset has passed; grow only if the rest and a new
    // chunk do not fit.
    DropLocked();
    const size_t kept = static_cast<size_t>(end_ - base_);
    if (kept + kDecodeBytes > ringSize_)
        GrowLocked(kept + kDecodeBytes);
    // The decoder writes straight into the free part of the ring, up to its
    // wrap, without the lock: only this side decodes, one chunk at a time,
    // and the headset's side reads nothing past end_.
    const size_t at = static_cast<size_t>(end_) & (ringSize_ - 1);
    const size_t room = std::min(kDecodeBytes, std::min(ringSize_ - at, ringSize_ - kept));
    uint8_t* dst = ring_.get() + at;
    lock.unlock();
    size_t n = stream_->Read(dst, room);
    lock.lock();
    if (n == 0) {
        ended_ = true;
        if (!stream_->Error().empty()) {
            *error = stream_->Error();
            return false;
        }
        return true;
    }
    end_ += n;
    peakKept_ = std::max(peakKept_, static_cast<size_t>(end_ - base_));
    return true;
}

void SoundWindow::DropLocked()
{
    if (whole_)
        return;
    if (countOnly_) {
        if (copiedEnd_ > keepBehind_)
            base_ = std::max(base_, std::min(copiedEnd_ - keepBehind_, end_));
        return;
    }
    // The headset has compared everything below expectedPos_.
    if (expectedPos_ > base_)
        base_ = std::min(expectedPos_, end_);
}

bool SoundWindow::KeepWhole(uint32_t passes, std::string* error)
{
    std::unique_lock<std::mutex> lock(mu_);
    whole_ = true;
    passes_ = passes ? passes : 1;
    while (!ended_)
        if (!DecodeMoreLocked(lock, error))
            return false;
    return true;
}

bool SoundWindow::Copy(uint64_t offset, uint8_t* dst, size_t n, size_t* copied, std::string* error)
{
    std::unique_lock<std::mutex> lock(mu_);
    *copied = 0;
    if (offset < base_) {
        *error = "the player asked for byte " + std::to_string(offset) + " of the sound, which the headset has "
                 "already passed";
        return false;
    }
    while (!ended_ && end_ < offset + n)
        if (!DecodeMoreLocked(lock, error))
            return false;
    if (offset >= end_)
        return true;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, end_ - offset));
    copiedEnd_ = std::max(copiedEnd_, offset + take);
    // This side alone writes, drops or replaces the ring: the bytes stay
    // put with the lock released.
    const uint8_t* ring = ring_.get();
    const size_t size = ringSize_;
    lock.unlock();
    ReadRing(ring, size, offset, dst, take);
    *copied = take;
    return true;
}

int64_t SoundWindow::Length() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return ended_ ? static_cast<int64_t>(end_) : -1;
}

void SoundWindow::CountOnly(uint64_t keepBehind)
{
    std::lock_guard<std::mutex> lock(mu_);
    countOnly_ = true;
    keepBehind_ = keepBehind;
}

void SoundWindow::Receive(const uint8_t* data, size_t n)
{
    std::unique_lock<std::mutex> lock(mu_);
    if (countOnly_) {
        comparison_.Matched(n);
        received_.store(comparison_.Received(), std::memory_order_relaxed);
        return;
    }
    while (n > 0) {
        if (whole_ && expectedPos_ == end_ && ended_ && pass_ + 1 < passes_) {
            // The next pass of the loop.
            ++pass_;
            expectedPos_ = 0;
            continue;
        }
        if (expectedPos_ >= end_ || expectedPos_ < base_ || (whole_ && pass_ >= passes_)) {
            // Nothing is expected here: the headset got more than was decoded.
            comparison_.Extra(n);
            break;
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(n, end_ - expectedPos_));
        bool same = false;
        if (comparison_.Clean()) {
            // [expectedPos_, expectedPos_ + take) stays put until
            // expectedPos_ moves past it, which only this side does; a ring
            // replaced meanwhile waits in retired_.
            const uint8_t* ring = ring_.get();
            const size_t size = ringSize_;
            const uint64_t at = expectedPos_;
            comparing_ = true;
            lock.unlock();
            same = CompareRing(ring, size, at, data, take) == 0;
            lock.lock();
            comparing_ = false;
            retired_.clear();
        }
        if (same) {
            comparison_.Matched(take);
        } else {
            std::vector<uint8_t> expected(take);
            ReadRing(ring_.get(), ringSize_, expectedPos_, expected.data(), take);
            comparison_.Compare(expected.data(), data, take);
        }
        expectedPos_ += take;
        data += take;
        n -= take;
    }
    received_.store(comparison_.Received(), std::memory_order_relaxed);
}

Comparison SoundWindow::Result() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return comparison_.Result(end_ * (whole_ ? passes_ : 1));
}

}  // namespace player
