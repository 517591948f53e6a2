#include "report/comparison.h"

#include <algorithm>
#include <cstring>

namespace player {

void RunningComparison::Compare(const uint8_t* expected, const uint8_t* received, size_t n)
{
    if (firstDifference_ < 0 && std::memcmp(expected, received, n) != 0) {
        size_t i = 0;
        while (expected[i] == received[i])
            ++i;
        firstDifference_ = static_cast<int64_t>(received_ + i);
    }
    received_ += n;
}

void RunningComparison::Extra(size_t n)
{
    received_ += n;
}

Comparison RunningComparison::Result(uint64_t expectedTotal) const
{
    Comparison c;
    c.expected = expectedTotal;
    c.received = received_;
    c.firstDifference = firstDifference_;
    if (c.firstDifference < 0 && received_ != expectedTotal)
        c.firstDifference = static_cast<int64_t>(std::min(received_, expectedTotal));
    c.exact = c.firstDifference < 0;
    return c;
}

Comparison CompareStreams(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received)
{
    Comparison c;
    c.expected = expected.size();
    c.received = received.size();
    size_t n = std::min(expected.size(), received.size());
    auto mismatch = std::mismatch(expected.begin(), expected.begin() + static_cast<ptrdiff_t>(n), received.begin());
    if (mismatch.first != expected.begin() + static_cast<ptrdiff_t>(n))
        c.firstDifference = mismatch.first - expected.begin();
    else if (expected.size() != received.size())
        c.firstDifference = static_cast<int64_t>(n);
    c.exact = c.firstDifference < 0;
    return c;
}

}  // namespace player
