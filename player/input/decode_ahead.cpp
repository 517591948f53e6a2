#include "input/decode_ahead.h"

#include <algorithm>
#include <cstring>

namespace player {

DecodeAhead::DecodeAhead(SoundSource* inner, size_t blockBytes, size_t blocks) : inner_(inner), ring_(blocks)
{
    for (Block& b : ring_)
        b.bytes.resize(blockBytes);
    thread_ = std::thread([this] { Decode(); });
}

DecodeAhead::~DecodeAhead()
{
    Stop();
}

void DecodeAhead::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void DecodeAhead::Decode()
{
    size_t tail = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return stop_ || count_ < ring_.size(); });
            if (stop_)
                return;
            tail = (head_ + count_) % ring_.size();
        }
        // The block at the tail is this thread's until it is counted.
        Block& b = ring_[tail];
        size_t n = inner_->Read(b.bytes.data(), b.bytes.size());
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (n == 0) {
                error_ = inner_->Error();
                ended_ = true;
            } else {
                b.size = n;
                b.at = 0;
                ++count_;
            }
        }
        cv_.notify_all();
        if (n == 0)
            return;
    }
}

size_t DecodeAhead::Read(uint8_t* out, size_t max)
{
    size_t done = 0;
    std::unique_lock<std::mutex> lock(mu_);
    while (done < max) {
        // Waits only for the first bytes: what is decoded is enough after that.
        if (done == 0)
            cv_.wait(lock, [&] { return count_ > 0 || ended_ || stop_; });
        if (count_ == 0)
            break;
        // The block at the head is the reader's while it is counted, so it
        // is copied without the lock.
        Block& b = ring_[head_];
        lock.unlock();
        size_t n = std::min(max - done, b.size - b.at);
        std::memcpy(out + done, b.bytes.data() + b.at, n);
        b.at += n;
        done += n;
        bool whole = b.at == b.size;
        lock.lock();
        if (whole) {
            head_ = (head_ + 1) % ring_.size();
            --count_;
            cv_.notify_all();
        }
    }
    return done;
}

}  // namespace player
