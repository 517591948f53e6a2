// A watchdog for a test that runs threads: it aborts the process, naming what
// still runs, unless it is dismissed (destroyed) within the limit, so a test
// that hangs fails at once instead of waiting out the suite's time limit.
//
// Threads: constructed and destroyed on the test's thread; the watchdog's own
// thread only waits on its condition and, when the limit passes, aborts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace kit {

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return dismissed_; })) {
                  std::fprintf(stderr, "watchdog: %s still running after %lld s\n", what,
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dismissed_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;   // guards dismissed_
    std::condition_variable cv_;
    bool dismissed_ = false;
    std::thread thread_;
};

}  // namespace kit
