// The one worker thread every input of a fuzz target runs on, started once,
// while libFuzzer's thread waits.  The host's fault guard leaves a caught
// fault with a long jump, and AddressSanitizer then finds the bounds of the
// jumping thread's stack; for the process's main thread that means reading
// the whole list of the process's mappings, for every caught fault.  Another
// thread's bounds come from its own record.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace fuzzing {

class Worker {
public:
    // `run` plays one input; it is called on the worker's thread only.
    explicit Worker(std::function<void(const uint8_t*, size_t)> run) : run_(std::move(run)), thread_([this] { Loop(); })
    {
        thread_.detach();
    }

    // Plays one input on the worker and returns when it has ended.
    void Run(const uint8_t* data, size_t size)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        data_ = data;
        size_ = size;
        pending_ = true;
        wake_.notify_one();
        done_.wait(lock, [this] { return !pending_; });
    }

private:
    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return pending_; });
            lock.unlock();
            run_(data_, size_);
            lock.lock();
            pending_ = false;
            done_.notify_one();
        }
    }

    std::function<void(const uint8_t*, size_t)> run_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool pending_ = false;
    std::thread thread_;
};

}  // namespace fuzzing
