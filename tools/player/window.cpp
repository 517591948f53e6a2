#include "window.h"

#include <algorithm>
#include <cstring>

namespace player {
namespace {
// Bytes decoded at a time.
const size_t kDecodeBytes = 64 * 1024;
}  // namespace

void SoundWindow::ReadRingLocked(uint64_t at, uint8_t* dst, size_t n) const
{
    const size_t mask = ring_.size() - 1;
    size_t i = static_cast<size_t>(at) & mask;
    size_t first = std::min(n, ring_.size() - i);
    std::memcpy(dst, ring_.data() + i, first);
    std::memcpy(dst + first, ring_.data(), n - first);
}

void SoundWindow::WriteRingLocked(uint64_t at, const uint8_t* src, size_t n)
{
    const size_t mask = ring_.size() - 1;
    size_t i = static_cast<size_t>(at) & mask;
    size_t first = std::min(n, ring_.size() - i);
    std::memcpy(ring_.data() + i, src, first);
    std::memcpy(ring_.data(), src + first, n - first);
}

int SoundWindow::CompareRingLocked(uint64_t at, const uint8_t* data, size_t n) const
{
    const size_t mask = ring_.size() - 1;
    size_t i = static_cast<size_t>(at) & mask;
    size_t first = std::min(n, ring_.size() - i);
    int c = std::memcmp(ring_.data() + i, data, first);
    return c != 0 ? c : std::memcmp(ring_.data(), data + first, n - first);
}

bool SoundWindow::DecodeMoreLocked(std::unique_lock<std::mutex>& lock, std::string* error)
{
    // The decoder runs without the window's lock, so the headset's side is
    // never held up by it.  Only the player's side decodes, one at a time.
    scratch_.resize(kDecodeBytes);
    lock.unlock();
    size_t n = stream_->Read(scratch_.data(), scratch_.size());
    lock.lock();
    if (n == 0) {
        ended_ = true;
        if (!stream_->Error().empty()) {
            *error = stream_->Error();
            return false;
        }
        return true;
    }
    // Drop what the headset has passed; grow only if the rest and the new
    // bytes do not fit.
    DropLocked();
    if (end_ - base_ + n > ring_.size()) {
        size_t size = ring_.empty() ? 4 * kDecodeBytes : ring_.size();
        while (size < end_ - base_ + n)
            size *= 2;
        // The kept bytes move to their places in the bigger ring.
        std::vector<uint8_t> bigger(size);
        std::vector<uint8_t> kept(static_cast<size_t>(end_ - base_));
        if (!kept.empty())
            ReadRingLocked(base_, kept.data(), kept.size());
        ring_.swap(bigger);
        if (!kept.empty())
            WriteRingLocked(base_, kept.data(), kept.size());
    }
    WriteRingLocked(end_, scratch_.data(), n);
    end_ += n;
    peakKept_ = std::max(peakKept_, static_cast<size_t>(end_ - base_));
    return true;
}

void SoundWindow::DropLocked()
{
    if (whole_)
        return;
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
    ReadRingLocked(offset, dst, take);
    *copied = take;
    return true;
}

int64_t SoundWindow::Length() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return ended_ ? static_cast<int64_t>(end_) : -1;
}

void SoundWindow::Receive(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(mu_);
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
        if (comparison_.Clean() && CompareRingLocked(expectedPos_, data, take) == 0) {
            comparison_.Matched(take);
        } else {
            std::vector<uint8_t> expected(take);
            ReadRingLocked(expectedPos_, expected.data(), take);
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
