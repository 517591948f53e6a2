#include "window.h"

#include <algorithm>
#include <cstring>

namespace player {
namespace {
// Bytes decoded at a time.
const size_t kDecodeBytes = 64 * 1024;
}  // namespace

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
    // Drop what the headset has passed before growing.
    DropLocked();
    bytes_.insert(bytes_.end(), scratch_.data(), scratch_.data() + n);
    peakKept_ = std::max(peakKept_, bytes_.size() - head_);
    return true;
}

void SoundWindow::DropLocked()
{
    if (whole_)
        return;
    // The headset has compared everything below expectedPos_.
    uint64_t drop = std::min<uint64_t>(expectedPos_ - base_, bytes_.size() - head_);
    head_ += static_cast<size_t>(drop);
    base_ += drop;
    // Compact once the dead front is at least as large as what is kept.
    if (head_ > 0 && head_ >= bytes_.size() - head_) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
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
    while (!ended_ && base_ + (bytes_.size() - head_) < offset + n)
        if (!DecodeMoreLocked(lock, error))
            return false;
    uint64_t end = base_ + (bytes_.size() - head_);
    if (offset >= end)
        return true;
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, end - offset));
    std::memcpy(dst, bytes_.data() + head_ + (offset - base_), take);
    *copied = take;
    return true;
}

int64_t SoundWindow::Length() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return ended_ ? static_cast<int64_t>(base_ + (bytes_.size() - head_)) : -1;
}

void SoundWindow::Receive(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(mu_);
    while (n > 0) {
        uint64_t end = base_ + (bytes_.size() - head_);
        if (whole_ && expectedPos_ == end && pass_ + 1 < passes_) {
            // The next pass of the loop.
            ++pass_;
            expectedPos_ = 0;
            continue;
        }
        if (expectedPos_ >= end || (whole_ && pass_ >= passes_)) {
            // Nothing is expected here: the headset got more than was decoded.
            comparison_.Extra(n);
            break;
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(n, end - expectedPos_));
        comparison_.Compare(bytes_.data() + head_ + (expectedPos_ - base_), data, take);
        expectedPos_ += take;
        data += take;
        n -= take;
    }
    received_.store(comparison_.Received(), std::memory_order_relaxed);
}

Comparison SoundWindow::Result() const
{
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t length = base_ + (bytes_.size() - head_);
    return comparison_.Result(length * (whole_ ? passes_ : 1));
}

}  // namespace player
