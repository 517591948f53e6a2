// What the headset received set against what was written, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace player {

struct Comparison {
    bool exact = false;
    uint64_t expected = 0;
    uint64_t received = 0;
    int64_t firstDifference = -1;   // byte offset, -1 when none
};

Comparison CompareStreams(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received);

// A running comparison of a received stream with the expected one, fed
// piece by piece as both come; the first differing byte is kept.
class RunningComparison {
public:
    // Bytes of the expected stream at the received position, then the
    // received bytes themselves: both must be of the same length n.
    void Compare(const uint8_t* expected, const uint8_t* received, size_t n);
    // Received bytes beyond the end of the expected stream.
    void Extra(size_t n);
    // No difference found so far.
    bool Clean() const { return firstDifference_ < 0; }
    // n received bytes known to equal the expected ones.
    void Matched(size_t n) { received_ += n; }
    uint64_t Received() const { return received_; }
    Comparison Result(uint64_t expectedTotal) const;

private:
    uint64_t received_ = 0;
    int64_t firstDifference_ = -1;
};

}  // namespace player
