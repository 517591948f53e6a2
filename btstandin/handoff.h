// A bounded hand-off from one producer to one consumer on which neither side
// ever waits: a ring of slots that entries are moved into and out of (no
// allocation once it is built), and two counters, each written by one side
// and read by the other.  A full ring refuses the entry; an empty one gives
// nothing.  Producers may be several threads as long as something else
// orders them (the stand-in's lock: the poster and EndStream); the consumer
// is one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace btstandin {

template <typename T>
class Handoff {
public:
    explicit Handoff(size_t capacity) : slots_(capacity) {}

    size_t Capacity() const { return slots_.size(); }

    // Producer side.
    size_t Waiting() const
    {
        return tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire);
    }
    bool Full() const { return Waiting() == slots_.size(); }
    // Moves *entry in; false (and *entry untouched) when the ring is full.
    bool Push(T* entry)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == slots_.size())
            return false;
        slots_[tail % slots_.size()] = std::move(*entry);
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: moves the oldest entry out; false when there is none.
    bool Pop(T* entry)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire))
            return false;
        *entry = std::move(slots_[head % slots_.size()]);
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

private:
    std::vector<T> slots_;
    alignas(64) std::atomic<size_t> head_{0};   // entries taken: the consumer's
    alignas(64) std::atomic<size_t> tail_{0};   // entries given: the producers'
};

}  // namespace btstandin
